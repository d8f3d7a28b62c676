#include <filesystem>
#include <string>
#include <vector>

#include "UsbFixture.h"
#include "discovery/UsbDeviceId.h"
#include "discovery/UtilUsb.h"

namespace {

namespace fs = std::filesystem;

TEST(UsbDeviceId, OnlyAnIdThatStartsWithTheMakerNamesAModel) {
    struct Case {
        std::string szId;
        bool bMaker;
        std::string szModel;
    } cases[] = {
        {"MFG:ZAQ;CMD:ESC;MDL:KV-80;CLS:PRINTER;", true, "KV-80"},
        {"mfg:zaq;MDL:KV-58 II;", true, "KV-58 II"},
        {"MFG:ZAQ;MDL:;", true, ""},
        {"MFG:ZAQ;MDL:" + std::string(200, 'x') + ";", true, std::string(USB_MODEL_MAX, 'x')},
        {"MFG:ZAQ;mdl:KV-80;", false, ""},         // the field name as written
        {"CMD:ESC;MFG:ZAQ;MDL:KV-80;", false, ""}, // MFG not first
        {"MFG:OTHER;MDL:KV-80;", false, ""},
        {"MFG:ZAQX;MDL:KV-80;", false, ""},
        {"MFG:ZAQ;", false, ""},
        {"MFG:ZAQ;MDL:KV-80", false, ""},          // not closed
        {"MFG:ZAQ;MDL:K\x01V;", false, ""},        // not text
        {"MFG:ZA", false, ""},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        std::string model = "unchanged";
        EXPECT_EQ(ParseMakerModel(c.szId, &model), c.bMaker) << c.szId;
        if (c.bMaker) {
            EXPECT_EQ(model, c.szModel) << c.szId;
        }
    }
}

class UtilUsbTest : public UsbFixture {
protected:
    sim::UsbIdentity Maker(const std::string& szModel) {
        sim::UsbIdentity id;
        id.szDeviceId = "MFG:ZAQ;CMD:ESC;MDL:" + szModel + ";";
        return id;
    }
};

TEST_F(UtilUsbTest, TheMakersPrintersGetTheirModelOthersOfTheVendorAreBareTheRestUnlisted) {
    AddNode(1, Maker("KV-80"));
    AddNode(0, Maker("KV-58"));
    sim::UsbIdentity other;
    other.szDeviceId = "MFG:OTHER;MDL:X1;";
    AddNode(2, other);
    sim::UsbIdentity vendor;
    vendor.wVendor = 0x1234;
    AddNode(3, vendor);
    sim::UsbIdentity product;
    product.wProduct = 0x0201;
    AddNode(4, product);
    sim::UsbIdentity notFirst;
    notFirst.szDeviceId = "CMD:ESC;MFG:ZAQ;MDL:KV-80;";
    AddNode(5, notFirst);
    sim::UsbIdentity noId;
    noId.bNoDeviceId = true;
    AddNode(6, noId);
    AddNode(7, Maker("KV-80"));
    WriteWholeFile(m_root / "sys/devices/kelvo-sim/usb1/1-1.8/idVendor", "zz!\n");  // garbage

    CUtilUsb usb(0x0F0F);
    CPortLineList list;
    std::vector<std::string> entries(16);
    EXPECT_EQ(usb.EnumPorts(&list, entries), 5);
    const std::vector<std::string> expected = {"USB001\t (ZAQ KV-58)", "USB002\t (ZAQ KV-80)", "USB003", "USB006",
                                               "USB007"};
    EXPECT_EQ(list.Lines(), expected);
    // Index for index with the nodes counted, in the order of their numbers.
    EXPECT_EQ(entries[0], m_root / "dev/usb/lp0");
    EXPECT_EQ(entries[1], m_root / "dev/usb/lp1");
    EXPECT_EQ(entries[4], m_root / "dev/usb/lp6");
    EXPECT_EQ(entries[5], "");
    EXPECT_EQ(usb.ppSeenNames[0], "USB001");
    EXPECT_EQ(usb.ppSeenNames[1], "USB002");
    for (std::size_t i = 2; i < usb.ppSeenNames.size(); ++i) EXPECT_EQ(usb.ppSeenNames[i], "") << i;
    EXPECT_NE(LogText().find("- Detected USB device [ USB001 : " + (m_root / "dev/usb/lp0") + " : KV-58 ]"),
              std::string::npos);

    // Only names: the engine's own search.
    std::array<std::string, CUtilUsb::kMaxNames> names;
    EXPECT_EQ(usb.FindUsbPrinters(nullptr, {}, names), 5);
    EXPECT_EQ(names[0], "USB001");
    EXPECT_EQ(names[1], "USB002");
    EXPECT_EQ(names[2], "");
}

// usblp refuses a second open, so the node a run holds cannot be opened: the ID sysfs
// cached names it all the same; only a node without one is listed bare.
TEST_F(UtilUsbTest, ANodeThatCannotBeOpenedIsNamedByItsSysfsIdAndBareWithoutOne) {
    AddNode(0, Maker("KV-80"));
    sim::UsbIdentity noId;
    noId.bNoDeviceId = true;
    AddNode(1, noId);
    for (const char* psz : {"dev/usb/lp0", "dev/usb/lp1"}) {
        fs::remove(m_root / psz);
        fs::create_directories(m_root / psz);
    }
    CUtilUsb usb(0x0F0F);
    CPortLineList list;
    std::vector<std::string> entries(4);
    EXPECT_EQ(usb.EnumPorts(&list, entries), 2);
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"USB001\t (ZAQ KV-80)", "USB002"}));
    EXPECT_EQ(usb.ppSeenNames[0], "USB001");
    EXPECT_EQ(usb.ppSeenNames[1], "");
    EXPECT_EQ(usb.SeenIdentity("USB001").szChain, "1-1.1");
    EXPECT_FALSE(usb.SeenIdentity("USB002").Known());
}

// Where each printer sits, as the list saw it: its socket's chain, serial number and
// enumeration; a printer published again into the same socket is the same printer in a
// new enumeration.
TEST_F(UtilUsbTest, TheListKeepsWhereEachPrinterSits) {
    sim::UsbIdentity withSerial = Maker("KV-80");
    withSerial.szChain = "3-2.4.1";
    withSerial.szSerial = "KVSIM0042";
    sim::UsbNode& node = AddNode(5, withSerial);
    AddNode(0, Maker("KV-58"));
    CUtilUsb usb(0x0F0F);
    std::vector<std::string> entries(4);
    EXPECT_EQ(usb.EnumPorts(nullptr, entries), 2);
    const UsbIdentity seen = usb.SeenIdentity("USB006");
    EXPECT_EQ(seen.szChain, "3-2.4.1");
    EXPECT_EQ(seen.szSerial, "KVSIM0042");
    EXPECT_EQ(seen.nBus, 1u);
    EXPECT_EQ(seen.nDev, node.DevNum());
    EXPECT_EQ(usb.SeenIdentity("USB001").szChain, "1-1.1");
    EXPECT_EQ(usb.SeenIdentity("USB001").szSerial, "");

    node.SetLp(2);
    ASSERT_TRUE(node.Publish());
    const UsbIdentity again = ReadUsbLpIdentity(2);
    EXPECT_TRUE(again.SamePrinter(seen));
    EXPECT_FALSE(again.SameEnumeration(seen));
    EXPECT_FALSE(ReadUsbLpIdentity(0).SamePrinter(seen));
}

TEST_F(UtilUsbTest, OnlyTheFirst127NodesAreLookedAt) {
    for (unsigned n = 0; n < 130; ++n) {
        const std::string dir = m_root / ("sys/class/usbmisc/lp" + std::to_string(n));
        fs::create_directories(dir + "/device");
        WriteWholeFile(dir + "/idVendor", "0f0f\n");
        WriteWholeFile(dir + "/idProduct", "0101\n");
    }
    CUtilUsb usb(0x0F0F);
    CPortLineList list;
    std::vector<std::string> entries(256);
    EXPECT_EQ(usb.EnumPorts(&list, entries), 127);
    EXPECT_EQ(list.Lines().back(), "USB127");
}

TEST_F(UtilUsbTest, TooManyEntriesLeavesTheListAloneAndNoNodesIsLogged) {
    CUtilUsb usb(0x0F0F);
    CPortLineList list;
    list.Append("kept");
    std::vector<std::string> entries(257);
    EXPECT_EQ(usb.EnumPorts(&list, entries), 0);
    EXPECT_EQ(list.Lines(), std::vector<std::string>{"kept"});
    std::vector<std::string> fewer(8);
    EXPECT_EQ(usb.EnumPorts(&list, fewer), 0);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_NE(LogText().find("- USB device is NOT detected."), std::string::npos);
}

}  // namespace

namespace {

TEST(UsbIdentityText, PortChainsAndTheDeviceDirectoryOfAPath) {
    struct Case {
        const char* psz;
        bool bChain;
    };
    for (const Case& c : {Case{"1-1", true}, Case{"3-2.4.1", true}, Case{"12-10.3", true}, Case{"usb1", false},
                          Case{"1-1.2:1.0", false}, Case{"1-", false}, Case{"-1", false}, Case{"1-1.", false},
                          Case{"1-1..2", false}, Case{"a-1", false}, Case{"", false}, Case{"1-1.2 ", false},
                          Case{"1234-1", false}}) {
        EXPECT_EQ(IsUsbPortChain(c.psz), c.bChain) << c.psz;
    }
    struct DirCase {
        const char* pszPath;
        const char* pszDir;
    };
    for (const DirCase& c : {
             DirCase{"/sys/devices/pci0000:00/usb1/1-1/1-1.2/1-1.2:1.0", "/sys/devices/pci0000:00/usb1/1-1/1-1.2"},
             DirCase{"/sys/devices/usb1/1-1/1-1.2/1-1.2:1.0/ttyUSB0", "/sys/devices/usb1/1-1/1-1.2"},
             DirCase{"/sys/devices/usb1/1-1/1-1.2/", "/sys/devices/usb1/1-1/1-1.2"},
             DirCase{"/sys/devices/platform/serial8250/tty/ttyS0", ""},
             DirCase{"/sys/devices/usb1/1-1/a/b/c/d", ""},
             DirCase{"", ""},
         }) {
        EXPECT_EQ(UsbDeviceDirOf(c.pszPath), c.pszDir) << c.pszPath;
    }
    EXPECT_EQ(UsbAttrText("KV0042\n"), "KV0042");
    EXPECT_EQ(UsbAttrText(std::string("KV\0\n", 4)), "KV");
    EXPECT_EQ(UsbAttrText("K\x01V\n"), "");
    EXPECT_EQ(UsbAttrText(std::string(127, 'x')), "");
}

}  // namespace
