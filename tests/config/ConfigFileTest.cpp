#include "config/ConfigFile.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "ui/RecordingMessageBox.h"
#include "support/LogCapture.h"
#include "ui/Util.h"

namespace {

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("LC_ALL", "C", 1);
        SetMessageBox(&m_box);
        ResetModelTable(m_table);
    }
    void TearDown() override {
        SetMessageBox(nullptr);
        ::unsetenv("LC_ALL");
    }
    // The one box shown, or "" when none was.
    std::string OnlyBox() const {
        auto boxes = m_box.Boxes();
        EXPECT_LE(boxes.size(), 1u);
        return boxes.empty() ? std::string() : boxes[0].text;
    }

    TempDir m_dir;
    LogCapture m_log{m_dir.Path()};
    ScopedChdir m_cwd{m_dir.Path()};
    CRecordingMessageBox m_box;
    ModelTableRows m_table;
};

std::string FormatBox(int nLine, const char* pszCode) {
    return "Bad configuration file format. (line:" + std::to_string(nLine) + ")\n\nErrorCode = [ " + pszCode +
           ", 2000000B ]";
}

TEST(ConfigTokens, SplitTrimAndSkipSeparatorRuns) {
    struct Case {
        const char* pszText;
        const char* pszSeparators;
        std::vector<std::string> tokens;
    };
    const Case cases[] = {
        {"a,b", ",", {"a", "b"}},
        {",,a,,,b,", ",", {"a", "b"}},
        {"  a  ,\tb c ", ",", {"a", "b c"}},
        {"a, ,b", ",", {"a", "", "b"}},
        {"", ",", {}},
        {",,,", ",", {}},
        {"M|K", "|", {"M", "K"}},
        {"\"x\" , 1 ,", ",", {"\"x\"", "1"}},
    };
    for (const Case& c : cases) {
        std::string_view context = c.pszText;
        std::vector<std::string> got;
        while (auto token = NextConfigToken(&context, c.pszSeparators)) got.emplace_back(*token);
        EXPECT_EQ(got, c.tokens) << c.pszText;
    }
}

TEST(ConfigSymbols, EverySymbolAndNothingElse) {
    const std::pair<const char*, DWORD> symbols[] = {
        {"M", 0x1},     {"K", 0x10},        {"H", 0x100},       {"C", 0x1000},          {"Z", 0x10000},
        {"IF_USB", 1},  {"IF_BT", 2},       {"IF_TCP", 4},      {"IF_COM", 8},          {"NO_BOOT_DEVID", 1},
        {"WIRELESS_LAN", 2}, {"REWRITE_AFTER_SEND", 4}, {"BT_SLEEP_BEFORE_CLOSE", 8}, {"ETHERNET_OR_WIRELESS_LAN", 0x10},
    };
    for (auto [pszName, dwValue] : symbols) EXPECT_EQ(LookupConfigSymbol(pszName), dwValue) << pszName;
    for (const char* psz : {"m", "if_usb", "IF_USB ", "", "MK", "0x1"}) EXPECT_FALSE(LookupConfigSymbol(psz)) << psz;
}

struct GoodCase {
    const char* pszName;
    std::string content;
    int nRows;
    DWORD dwTypeId;
    const char* pszModel;
    DWORD dwDataKinds;
    DWORD dwInterfaces;
    DWORD dwOptions;
};

TEST_F(ConfigTest, GoodFilesFillTheirRows) {
    const std::string longName(1100, 'n');
    const GoodCase cases[] = {
        {"example", "31, \"KV-T30\", M|K, IF_USB|IF_TCP, WIRELESS_LAN // a model\r\n", 1, 31, "KV-T30", 0x11, 0x5, 0x2},
        {"numbers", "0x3F,\"x\",0x11,17,021\n", 1, 0x3F, "x", 0x11, 17, 17},
        {"symbols in any field", "2,\"\",IF_COM,M,Z|C\n", 1, 2, "", 8, 1, 0x11000},
        {"comments and blanks", "// head\n   \n\t// x\n5,\"a b\",M,IF_BT,0\n", 1, 5, "a b", 1, 2, 0},
        {"no final line end", "5,\"end\",M,1,0", 1, 5, "end", 1, 1, 0},
        {"comma runs and trailing comma", "5,,\"r\",,M,IF_USB,,0,,\n", 1, 5, "r", 1, 1, 0},
        {"later line replaces", "7,\"a\",M|K,15,1\n7,\"b\",K,2,0\n", 2, 7, "b", 0x10, 2, 0},
        {"blank sixth field", "7,\"a\",M,1,0, \n", 1, 7, "a", 1, 1, 0},
        {"empty line ends the file", "7,\"a\",M,1,0\n\n8,\"b\",M,1,0\n", 1, 7, "a", 1, 1, 0},
        {"a NUL ends the file", std::string("7,\"a\",M,1,0\n", 12) + '\0' + "8,\"b\"", 1, 7, "a", 1, 1, 0},
        {"type ID parts ORed", "1|2|0x10,\"t\",0,0,0\n", 1, 0x13, "t", 0, 0, 0},
        // The file names' form where no decimal reading exists; "20" stays twenty.
        {"type ID as in file names", "1F,\"f\",M,1,0\n", 1, 0x1F, "f", 1, 1, 0},
        {"type ID as in file names, small letter", "0a,\"f\",M,1,0\n", 1, 0x0A, "f", 1, 1, 0},
        {"type ID of two digits is decimal", "20,\"d\",M,1,0\n", 1, 20, "d", 1, 1, 0},
        {"bytes of the name kept", "9,\"\xB0\xB1 \xE8\xA8\xAD\",0,0,0\n", 1, 9, "\xB0\xB1 \xE8\xA8\xAD", 0, 0, 0},
        // Cut at 1023 bytes: the rest of the line (the too-big option) is never read.
        {"long line cut", "9,\"" + longName.substr(0, 1010) + "\",1,2,3" + std::string(200, ' ') + ",4\n", 1, 9,
         nullptr, 1, 2, 3},
    };
    for (const GoodCase& c : cases) {
        ResetModelTable(m_table);
        m_box.Clear();
        EXPECT_EQ(ParseConfigText(c.content, m_table), c.nRows) << c.pszName;
        EXPECT_EQ(OnlyBox(), "") << c.pszName;
        const ModelEntry& row = m_table[c.dwTypeId];
        if (c.pszModel != nullptr) {
            EXPECT_EQ(row.pszModelName, c.pszModel) << c.pszName;
        }
        EXPECT_EQ(row.dwDataKinds, c.dwDataKinds) << c.pszName;
        EXPECT_EQ(row.dwInterfaces, c.dwInterfaces) << c.pszName;
        EXPECT_EQ(row.dwOptions, c.dwOptions) << c.pszName;
    }
}

TEST_F(ConfigTest, RowsAfterAnEmptyLineStayUntouched) {
    ASSERT_EQ(ParseConfigText("7,\"a\",M,1,0\r\n\r\n8,\"b\",M,1,0\r\n", m_table), 1);
    EXPECT_EQ(m_table[8].pszModelName, "");
    EXPECT_EQ(m_table[8].dwInterfaces, 0u);
    EXPECT_EQ(m_table[0].dwInterfaces, IF_ALL);
}

TEST_F(ConfigTest, OnlyCommentsLoadNoRow) {
    EXPECT_EQ(ParseConfigText("// nothing\n// here\n", m_table), 0);
    EXPECT_EQ(OnlyBox(), "");
}

struct BadCase {
    const char* pszContent;
    std::string box;
};

TEST_F(ConfigTest, BadLinesShowTheirLineAndCode) {
    const BadCase cases[] = {
        {"1,\"a\",M,1\n", FormatBox(1, "120301")},
        {"1\n", FormatBox(1, "120301")},
        {"// c\n\n", ""},  // the empty line ends the file before anything is wrong
        {"// c\n1,\"a\", ,1,0\n", FormatBox(2, "120301")},
        {"1,\"a\",|||,1,0\n", FormatBox(1, "120302")},
        {"1,\"a\",M| |K,1,0\n", FormatBox(1, "120303")},
        {"1,\"a\",12a,1,0\n", FormatBox(1, "120303")},
        {"1,\"a\",m,1,0\n", FormatBox(1, "120303")},
        {"1,\"a\",M,-1,0\n", FormatBox(1, "120303")},
        {"1,\"a\",M,08,0\n", FormatBox(1, "120303")},
        {"1,\"a\",M,0x,0\n", FormatBox(1, "120303")},
        {"1,\"a\",M,0x100000000,0\n", FormatBox(1, "120303")},
        {"1,\"\",M,1,0\n2,ab,M,1,0\n", FormatBox(2, "120306")},
        {"1,\",M,1,0\n", FormatBox(1, "120305")},
        {"1,x,M,1,0\n", FormatBox(1, "120305")},
        {"1,\"a,b\",M,1,0\n", FormatBox(1, "120306")},
        {"1,'ab',M,1,0\n", FormatBox(1, "120306")},
        {"1,\"a\",M,1,0,x\n", FormatBox(1, "120307")},
        {"1,\"a\",M,1,WIRELESS_LAN|ETHERNET_OR_WIRELESS_LAN\n", FormatBox(1, "120308")},
        {"1,\"a\",M,1,0x12\n", FormatBox(1, "120308")},
        {"64,\"a\",M,1,0\n",
         "The value of Type ID specified in configuration file exceeds the maximum. (64)\n\nErrorCode = [ 120304, "
         "2000000B ]"},
        {"1|0x100,\"a\",M,1,0\n",
         "The value of Type ID specified in configuration file exceeds the maximum. (256)\n\nErrorCode = [ 120304, "
         "2000000B ]"},
        {"4F,\"a\",M,1,0\n",
         "The value of Type ID specified in configuration file exceeds the maximum. (79)\n\nErrorCode = [ 120304, "
         "2000000B ]"},
        {"1G,\"a\",M,1,0\n", FormatBox(1, "120303")},
        {"1F,\"a\",1F,1,0\n", FormatBox(1, "120303")},  // only the Type ID takes that form
    };
    for (const BadCase& c : cases) {
        m_box.Clear();
        ResetModelTable(m_table);
        int nResult = ParseConfigText(c.pszContent, m_table);
        EXPECT_EQ(OnlyBox(), c.box) << c.pszContent;
        EXPECT_EQ(nResult, c.box.empty() ? 0 : -1) << c.pszContent;
    }
}

// Beside each box, a note that names the line, the field and what it takes.
TEST_F(ConfigTest, BadLinesAlsoSayWhereAndWhatIsExpected) {
    const std::pair<const char*, const char*> cases[] = {
        {"1G,\"a\",M,1,0\n",
         "config.ini line 1, field 1 (Type ID): '1G' is not a number or a word of this file; write a number from 0 to "
         "63: 31, 0x1F, or the two hexadecimal digits of the file names when one is a letter (1F)"},
        {"// c\n1,\"a\",M,if_usb,0\n",
         "config.ini line 2, field 4 (interfaces): 'if_usb' must be written IF_USB (capitals); write the connections "
         "joined by |: IF_USB, IF_BT, IF_TCP, IF_COM"},
        {"1,\"a\",M|X,1,0\n", "config.ini line 1, field 3 (data kinds): 'X' is not a number or a word of this file; "
                             "write the data kinds joined by |: M (firmware), K (Kanji font), H (code page), C (CPCL "
                             "font), Z (ZPL font)"},
        {"1,\"a\",M,1,||\n", "config.ini line 1, field 5 (options): only | and no value; write 0 or options joined by "
                            "|: NO_BOOT_DEVID, WIRELESS_LAN, REWRITE_AFTER_SEND, BT_SLEEP_BEFORE_CLOSE, "
                            "ETHERNET_OR_WIRELESS_LAN"},
        {"1,\"a\",M,1\n", "config.ini line 1, field 5 (options) is missing or empty; a line holds five fields "
                         "separated by commas: Type ID, \"name\", data kinds, interfaces, options"},
        {"1,ab,M,1,0\n", "config.ini line 1, field 2 (name): 'ab' is not in double quotes; write the model's name in "
                         "double quotes, \"ZAQ Counter 20\"; it cannot hold a comma or //"},
        {"1,\"a\",M|\x1b[2J,1,0\n", "config.ini line 1, field 3 (data kinds): '?[2J' is not a number or a word of "
                                    "this file; write the data kinds joined by |: M (firmware), K (Kanji font), H (code "
                                    "page), C (CPCL font), Z (ZPL font)"},
        {"1,\"a\",M,1,0,x\n",
         "config.ini line 1: a sixth field 'x'; a line holds five fields (a comma inside the name splits it)"},
        {"1,\"a\",M,1,WIRELESS_LAN|ETHERNET_OR_WIRELESS_LAN\n",
         "config.ini line 1, field 5 (options): WIRELESS_LAN and ETHERNET_OR_WIRELESS_LAN exclude each other; keep one"},
        {"64,\"a\",M,1,0\n", "config.ini line 1, field 1 (Type ID): 64 is above 63, the largest Type ID; the Type ID "
                            "is the number in the update file names (FW1F... is 0x1F, 31)"},
    };
    TakeConfigNotes();
    for (auto [pszContent, pszNote] : cases) {
        ResetModelTable(m_table);
        EXPECT_EQ(ParseConfigText(pszContent, m_table), -1) << pszContent;
        EXPECT_EQ(TakeConfigNotes(), std::vector<std::string>{pszNote}) << pszContent;
        EXPECT_TRUE(m_log.Contains(pszNote)) << pszContent;
    }
}

// An empty line still ends the file (stored files rely on it), but not silently.
TEST_F(ConfigTest, LinesHiddenByAnEmptyLineAreReported) {
    TakeConfigNotes();
    ASSERT_EQ(ParseConfigText("7,\"a\",M,1,0\r\n\r\n// more\r\n8,\"b\",M,1,0\r\n", m_table), 1);
    EXPECT_EQ(TakeConfigNotes(), std::vector<std::string>{
                                     "config.ini line 2 is empty, and an empty line ends the file: line 4 and those "
                                     "after it are not read. Remove the empty line to use them."});
    // Nothing hidden: nothing said.
    for (const char* psz : {"7,\"a\",M,1,0\n\n", "7,\"a\",M,1,0\n\n// only a comment\n  \n", "7,\"a\",M,1,0\n"}) {
        ResetModelTable(m_table);
        EXPECT_EQ(ParseConfigText(psz, m_table), 1) << psz;
        EXPECT_EQ(TakeConfigNotes(), std::vector<std::string>{}) << psz;
    }
}

TEST_F(ConfigTest, FailedLineLeavesItsRowAsItWas) {
    ASSERT_EQ(ParseConfigText("3,\"old\",M,1,0\n3,\"new\",K,2,0,x\n", m_table), -1);
    EXPECT_EQ(m_table[3].pszModelName, "old");
    EXPECT_EQ(m_table[3].dwDataKinds, DK_FIRMWARE);
}

TEST_F(ConfigTest, LoadConfigFileReadsTheWorkingFolder) {
    m_dir.Write("config.ini", "// models\r\n31,\"KV-T30\",M|K,IF_USB|IF_TCP,WIRELESS_LAN\r\n18,\"KV-P20\",M,15,0\r\n");
    EXPECT_EQ(LoadConfigFile(m_table), 2);
    EXPECT_EQ(m_table[31].pszModelName, "KV-T30");
    EXPECT_EQ(m_table[18].dwInterfaces, 15u);
    EXPECT_TRUE(m_log.Contains("Loading config file..."));
}

TEST_F(ConfigTest, MissingFile) {
    EXPECT_EQ(LoadConfigFile(m_table), -1);
    EXPECT_EQ(OnlyBox(), "Can't open configuration file.\n\nErrorCode = [ 120601, 00000002 ]");
    EXPECT_TRUE(m_log.Contains("Fail to open [./config.ini, e:2]"));
}

TEST_F(ConfigTest, DirectoryInPlaceOfTheFile) {
    ASSERT_EQ(::mkdir((m_dir / "config.ini").c_str(), 0755), 0);
    EXPECT_EQ(LoadConfigFile(m_table), -1);
    EXPECT_EQ(OnlyBox(), "Can't open configuration file.\n\nErrorCode = [ 120601, 00000005 ]");
    EXPECT_TRUE(m_log.Contains("Fail to open [./config.ini, e:5]"));
}

// The file is only read, so a folder nobody may write (a root-owned update folder, a
// read-only mount) still loads.
TEST_F(ConfigTest, WriteProtectedFileLoads) {
    m_dir.Write("config.ini", "1,\"a\",M,1,0\n");
    ASSERT_EQ(::chmod((m_dir / "config.ini").c_str(), 0444), 0);
    if (::geteuid() != 0) {
        EXPECT_EQ(LoadConfigFile(m_table), 1);
        EXPECT_EQ(OnlyBox(), "");
        return;
    }
    // Root may write any file whatever its mode: a read-only mount refuses even root.
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        bool bMounted = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                        ::mount(m_dir.Path().c_str(), m_dir.Path().c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                        ::mount(nullptr, m_dir.Path().c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
        if (!bMounted) ::_exit(77);
        if (::chdir(m_dir.Path().c_str()) != 0) ::_exit(3);
        // A write here must fail, or the test proves nothing.
        if (::open("config.ini", O_RDWR) >= 0 || errno != EROFS) ::_exit(4);
        ModelTableRows table;
        ResetModelTable(table);
        ::_exit(LoadConfigFile(table) == 1 && table[1].pszModelName == "a" ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ConfigTest, MissingFileSaysWhereItWasLookedFor) {
    TakeConfigNotes();
    EXPECT_EQ(LoadConfigFile(m_table), -1);
    std::vector<std::string> notes = TakeConfigNotes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_TRUE(notes[0].starts_with("There is no config.ini in " + std::filesystem::canonical(m_dir.Path()).string() + ":"))
        << notes[0];
}

TEST_F(ConfigTest, EmptyFile) {
    m_dir.Write("config.ini", "");
    EXPECT_EQ(LoadConfigFile(m_table), -1);
    EXPECT_EQ(OnlyBox(), "Bad configuration file size.\n\nErrorCode = [ 120603, 20000018 ]");
}

TEST_F(ConfigTest, FileOf4GiBOrMore) {
    m_dir.Write("config.ini", "");
    ASSERT_EQ(::truncate((m_dir / "config.ini").c_str(), 0x100000005LL), 0);  // sparse
    EXPECT_EQ(LoadConfigFile(m_table), -1);
    EXPECT_EQ(OnlyBox(), "Bad configuration file size.\n\nErrorCode = [ 120602, 20000000 ]");
    EXPECT_TRUE(m_log.Contains("Bad size. [size:0x0000000100000005byte, ./config.ini]"));
}

TEST_F(ConfigTest, JapaneseMessages) {
    ::setenv("LC_ALL", "ja_JP.UTF-8", 1);
    EXPECT_EQ(ParseConfigText("1,\"a\",M,1\n", m_table), -1);
    EXPECT_EQ(OnlyBox(), "設定ファイルに異常があります(1行目)\n\nErrorCode = [ 120301, 2000000B ]");
}

}  // namespace
