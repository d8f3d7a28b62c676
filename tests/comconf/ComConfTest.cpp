#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/LastError.h"
#include "platform/WinError.h"
#include "port/ComConf.h"
#include "system/LogReader.h"

namespace {

// Every test starts with a fresh table read from its own system root.
class ComConfTest : public LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        ResetDefaultCommConfigsForTest();
    }
    void TearDown() override {
        ResetDefaultCommConfigsForTest();
        LoggedTest::TearDown();
    }
    std::string Default(const char* pszPort) {
        std::string config;
        EXPECT_EQ(GetDefaultCommString(pszPort, &config), TRUE) << pszPort;
        return config;
    }
    int ComConfigLines() const {
        int n = 0;
        for (const std::string& line : LogLines())
            if (line.find("ComConfig") != std::string::npos) ++n;
        return n;
    }
    static COMMCONFIG Config(const char* pszDefinition) {
        COMMCONFIG cc;
        EXPECT_EQ(BuildCommDCB(pszDefinition, &cc.dcb), TRUE) << pszDefinition;
        return cc;
    }
};

TEST(SerialPortName, TtyDeviceNamesAndComNames) {
    for (const char* pszName : {"ttyS0", "ttyS10", "ttyUSB0", "ttyACM12", "ttyAMA0", "ttymxc1", "ttyXR_USB0", "COM1",
                                "com10"})
        EXPECT_TRUE(IsSerialPortName(pszName)) << pszName;
    for (const char* pszName : {"", "tty", "tty0", "ttyS", "ttyS0x", "TTYS0", "ttyS0/", "../ttyS0", "pts/3", "COM",
                                "COM1a", "COM1:", "LPT1", "USB001", "192.168.0.10", "ttyS-1"})
        EXPECT_FALSE(IsSerialPortName(pszName)) << pszName;
}

TEST(CommConfigStrings, ParseAndFormat) {
    struct Case {
        const char* pszIn;
        const char* pszOut;  // nullptr: refused
    } cases[] = {
        {"9600,n,8,1", "9600,n,8,1"},
        {"115200,n,8,1,p", "115200,n,8,1,p"},
        {"4800,E,7,2,X", "4800,e,7,2,x"},
        {" 19200 , o , 8 , 1.5 ", "19200,o,8,1.5"},
        {"9600,m,5,1,", "9600,m,5,1"},
        {"9600,s,6,2", "9600,s,6,2"},
        {"0,n,8,1", nullptr},
        {"9600,q,8,1", nullptr},
        {"9600,n,9,1", nullptr},
        {"9600,n,4,1", nullptr},
        {"9600,n,8,3", nullptr},
        {"9600,n,8", nullptr},
        {"9600,n,8,1,z", nullptr},
        {"9600,n,8,1,p,x", nullptr},
        {"-9600,n,8,1", nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        DCB dcb;
        dcb.BaudRate = 1;
        BOOL bOk = BuildCommDCB(c.pszIn, &dcb);
        EXPECT_EQ(bOk, c.pszOut != nullptr ? TRUE : FALSE) << c.pszIn;
        if (c.pszOut != nullptr)
            EXPECT_EQ(CommConfigString(dcb), c.pszOut);
        else
            EXPECT_EQ(dcb.BaudRate, 1u) << c.pszIn << ": left unchanged";
    }
    DCB dcb;
    ASSERT_EQ(BuildCommDCB("9600,e,7,2,p", &dcb), TRUE);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_HANDSHAKE);
}

TEST_F(ComConfTest, RecordCarriesTheSerialPortNameAndTheSafeChoice) {
    struct Case {
        const char* pszIn;
        const char* pszName;
    } cases[] = {{"ttyS3", "ttyS3"}, {"ttyS3:", "ttyS3"}, {"COM3", "COM3"}, {"COM3:", "COM3"}, {"LPT1", ""},
                 {"192.168.0.10", ""}, {"", ""}};
    for (const Case& c : cases) {
        ComConfigRecord record = NewComConfigRecord(c.pszIn);
        EXPECT_EQ(record.pszPortName, c.pszName) << c.pszIn;
        EXPECT_EQ(record.ccRemembered, COMMCONFIG{});
        EXPECT_EQ(record.ccRestore, COMMCONFIG{});
        EXPECT_EQ(record.ccChosen, SafeComConfig());
    }
    const DCB& d = SafeComConfig().dcb;
    EXPECT_EQ(d.BaudRate, 115200u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.fParity, 0u);
    EXPECT_EQ(d.fOutxCtsFlow, 1u);
    EXPECT_EQ(d.fOutxDsrFlow, 0u);
    EXPECT_EQ(d.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(d.fOutX, 0u);
    EXPECT_EQ(d.fInX, 0u);
    EXPECT_EQ(d.fRtsControl, RTS_CONTROL_HANDSHAKE);
}

TEST_F(ComConfTest, RecordWithoutPortNameChangesNothing) {
    ComConfigRecord record = NewComConfigRecord("LPT1");
    record.ccRestore = Config("4800,n,8,1");
    SetupComConfig(record);
    PushComConfigAndDefault(record);
    ResetComConfig(record);
    EXPECT_EQ(record.ccRemembered, COMMCONFIG{});
    EXPECT_EQ(record.ccRestore, Config("4800,n,8,1"));
    EXPECT_EQ(ComConfigLines(), 0) << LogText();
}

TEST_F(ComConfTest, SetupTwiceRemembersTheFirst) {
    ComConfigRecord record = NewComConfigRecord("ttyS0");
    record.ccChosen = Config("9600,e,7,2,x");
    SetupComConfig(record);
    EXPECT_EQ(Default("ttyS0"), "9600,e,7,2,x");
    EXPECT_TRUE(HasLine('A', 0, "Set ComConfig. [9600,7,2,0,0,1,1,1,1,2,1]")) << LogText();

    record.ccChosen = Config("19200,n,8,1,p");
    SetupComConfig(record);
    EXPECT_EQ(Default("ttyS0"), "19200,n,8,1,p");
    EXPECT_TRUE(HasLine('A', 0, "Set ComConfig. [19200,8,0,1,1,2,0,0,0,0,2]")) << LogText();
    EXPECT_EQ(record.ccRemembered, Config("9600,e,7,2,x"));
    EXPECT_EQ(Default("ttyS1"), "9600,n,8,1");  // other ports keep theirs
}

TEST_F(ComConfTest, PushThenResetRestoresTheFirstSetup) {
    ComConfigRecord record = NewComConfigRecord("ttyUSB0:");
    record.ccChosen = Config("38400,o,8,1");
    SetupComConfig(record);
    record.ccChosen = Config("57600,n,8,1");
    SetupComConfig(record);

    PushComConfigAndDefault(record);
    EXPECT_EQ(Default("ttyUSB0"), "115200,n,8,1,p");
    EXPECT_EQ(record.ccRestore, Config("38400,o,8,1"));
    EXPECT_TRUE(HasLine('A', 0, "Set ComConfig default. [115200,8,0,1,0,1,0,0,0,0,2]")) << LogText();

    ResetComConfig(record);
    EXPECT_EQ(Default("ttyUSB0"), "38400,o,8,1");
    EXPECT_TRUE(HasLine('A', 0, "Reset ComConfig. [38400,8,0,0,0,1,0,0,1,1,1]")) << LogText();
}

TEST_F(ComConfTest, ResetBeforePushDoesNothing) {
    ComConfigRecord record = NewComConfigRecord("COM2");
    record.ccChosen = Config("2400,n,8,1");
    SetupComConfig(record);
    ResetComConfig(record);
    EXPECT_EQ(Default("com2:"), "2400,n,8,1");
    EXPECT_EQ(ComConfigLines(), 1) << LogText();
}

TEST_F(ComConfTest, TableRefusesWhatNoPortCanHave) {
    COMMCONFIG cc = Config("9600,n,8,1");
    EXPECT_EQ(SetDefaultCommConfig("LPT1", &cc), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetDefaultCommConfig("LPT1", &cc), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    cc.dcb.ByteSize = 9;
    EXPECT_EQ(SetDefaultCommConfig("ttyS0", &cc), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Default("ttyS0"), "9600,n,8,1");

    // A chosen configuration the table refuses is neither logged nor remembered.
    ComConfigRecord record = NewComConfigRecord("ttyS0");
    record.ccChosen.dcb.BaudRate = 0;
    SetupComConfig(record);
    EXPECT_EQ(record.ccRemembered, COMMCONFIG{});
    EXPECT_EQ(ComConfigLines(), 0) << LogText();
}

TEST_F(ComConfTest, TableStartsFromPortsIni) {
    std::filesystem::create_directories(m_root / "etc/ZAQ");
    WriteWholeFile(m_root / "etc/ZAQ/Ports.ini",
                   "; serial defaults\n"
                   "[Ports]\n"
                   "ttyS0=115200,n,8,1,p\n"
                   " COM2: = 4800,e,7,2,x \r\n"
                   "ttyUSB0=fast\n"
                   "LPT1=9600,n,8,1\n"
                   "[Other]\n"
                   "ttyS1=19200,n,8,1\n");
    EXPECT_EQ(Default("ttyS0"), "115200,n,8,1,p");
    EXPECT_EQ(Default("COM2"), "4800,e,7,2,x");
    EXPECT_EQ(Default("com2:"), "4800,e,7,2,x");
    EXPECT_EQ(Default("ttyUSB0"), "9600,n,8,1");
    EXPECT_EQ(Default("ttyS1"), "9600,n,8,1");
    std::string config;
    EXPECT_EQ(GetDefaultCommString("LPT1", &config), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // Changes live in the table; the file is read once and never written.
    COMMCONFIG cc = Config("1200,n,8,1");
    ASSERT_EQ(SetDefaultCommConfig("ttyS0", &cc), TRUE);
    EXPECT_EQ(Default("ttyS0"), "1200,n,8,1");
    EXPECT_NE(ReadWholeFile(m_root / "etc/ZAQ/Ports.ini").find("ttyS0=115200,n,8,1,p"), std::string::npos);
}

}  // namespace
