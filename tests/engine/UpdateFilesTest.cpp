#include "engine/UpdateFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/WinError.h"
#include "ui/RecordingMessageBox.h"
#include "support/LogCapture.h"
#include "ui/Util.h"

namespace {

class UpdateFilesTest : public ::testing::Test {
protected:
    void SetUp() override { SetMessageBox(&m_box); }
    void TearDown() override {
        SetMessageBox(nullptr);
        m_tables.Clear();
    }
    // A file of n bytes 0, 1, 2, ... (mod 256).
    void WriteCounting(const std::string& name, std::size_t n) {
        std::string data(n, '\0');
        for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<char>(i & 0xFF);
        m_dir.Write(name, data);
    }
    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> texts;
        for (const auto& box : m_box.Boxes()) texts.push_back(box.text);
        return texts;
    }

    TempDir m_dir;
    LogCapture m_log{m_dir.Path()};
    ScopedChdir m_cwd{m_dir.Path()};
    CRecordingMessageBox m_box;
    UpdateTables m_tables;
};

WORD CountingSum(std::size_t nFrom, std::size_t nTo) {
    unsigned sum = 0;
    for (std::size_t i = nFrom; i < nTo; ++i) sum += i & 0xFF;
    return static_cast<WORD>(sum);
}

TEST(HexPair, DigitsOfBothCasesAndOthersAsZero) {
    const std::tuple<char, char, BYTE> cases[] = {
        {'0', '0', 0x00}, {'1', 'F', 0x1F}, {'1', 'f', 0x1F}, {'a', 'B', 0xAB}, {'F', 'F', 0xFF},
        {'G', '1', 0x01}, {'1', 'G', 0x10}, {'x', 'z', 0x00}, {'9', ' ', 0x90},
    };
    for (auto [chHigh, chLow, bValue] : cases) EXPECT_EQ(HexPairValue(chHigh, chLow), bValue) << chHigh << chLow;
}

TEST(DownloadHeader, LayoutAndLetters) {
    const BYTE expected[] = {0x11, 0x40, 0xAA, 0x55, 0x00, 0xFF, 0xAA, 0x55, 0x00, 0xFF,
                             0xAA, 0x55, 0x00, 0xFF, 0xAA, 0x55, 0x00, 0xFF, 0x4B, 0x43};
    auto header = MakeDownloadHeader('K', 'C');
    EXPECT_TRUE(std::equal(header.begin(), header.end(), std::begin(expected)));
}

struct KindCase {
    const char* pszName;
    UpdateTable UpdateTables::*pTable;
    DWORD cbSkip;
    BYTE bTypeId;
    BYTE bVersion;
    const char* pszHeaderLetters;  // null: held as stored
};

TEST_F(UpdateFilesTest, EachKindWithItsHeaderVersionAndChecksum) {
    const std::size_t cbFile = 300;
    const KindCase cases[] = {
        {"FW1F05A.bin", &UpdateTables::FW, 0, 0x1F, 0x05, nullptr},
        {"CG2a07x.bin", &UpdateTables::CG, 0, 0x2A, 0, nullptr},
        {"CF1205X.bin", &UpdateTables::CF, 20, 0x12, 0, "KC"},
        {"EE0001x.bin", &UpdateTables::EE, 0, 0x00, 0, nullptr},
        {"KF3Fzzz.bin", &UpdateTables::KF, 0, 0x3F, 0, "KK"},
        {"ZF1Gabc.bin", &UpdateTables::ZF, 0, 0x10, 0, "KZ"},
        {"YF0912-.bin", &UpdateTables::YF, 0, 0x09, 0, "KY"},
    };
    for (const KindCase& c : cases) {
        WriteCounting(c.pszName, cbFile);
        UpdateTable& table = m_tables.*c.pTable;
        BYTE bTypeId = 0xEE;
        ASSERT_EQ(LoadUpdateFiles(c.pszName, &table, c.cbSkip, &bTypeId), ERROR_SUCCESS) << c.pszName;
        EXPECT_EQ(bTypeId, c.bTypeId);
        const UpdateDataEntry& entry = table[c.bTypeId];
        ASSERT_TRUE(entry.bLoaded) << c.pszName;
        EXPECT_EQ(entry.bTypeId, c.bTypeId);
        EXPECT_EQ(entry.bVersion, c.bVersion) << c.pszName;
        EXPECT_EQ(entry.strFileName, c.pszName);  // for people: "Firmware FW1F05A.bin"
        EXPECT_EQ(entry.wChecksum, CountingSum(c.cbSkip, cbFile)) << c.pszName;
        std::size_t cbHeader = c.pszHeaderLetters ? DOWNLOAD_HEADER_SIZE : 0;
        EXPECT_EQ(entry.cbData, cbFile + cbHeader) << c.pszName;
        if (c.pszHeaderLetters != nullptr) {
            auto header = MakeDownloadHeader(c.pszHeaderLetters[0], c.pszHeaderLetters[1]);
            EXPECT_TRUE(std::equal(header.begin(), header.end(), entry.pData.get())) << c.pszName;
        }
        for (std::size_t i = 0; i < cbFile; ++i) ASSERT_EQ(entry.pData[cbHeader + i], i & 0xFF) << c.pszName;
        bool bFirstBlock = c.bTypeId == 0x1F;
        EXPECT_EQ(entry.cbFirstBlock[2], bFirstBlock ? 20u : 0u);
        EXPECT_EQ(entry.dwFirstBlockWait[2], bFirstBlock ? 15000u : 0u);
        for (int kind : {0, 1, 3}) EXPECT_EQ(entry.cbFirstBlock[kind] | entry.dwFirstBlockWait[kind], 0u);
    }
}

TEST_F(UpdateFilesTest, ChecksumWrapsAt65536) {
    m_dir.Write("KF1200A.bin", std::string(1000, '\xFF'));
    ASSERT_EQ(LoadUpdateFiles("KF*.bin", &m_tables.KF, 0, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(m_tables.KF[0x12].wChecksum, static_cast<WORD>(1000u * 255u));
}

struct ErrorCase {
    const char* pszWhat;
    std::vector<std::pair<std::string, std::string>> files;  // name, content ("/" + name: a directory)
    const char* pszLoad;
    DWORD dwResult;
    std::vector<BYTE> loadedTypeIds;
};

TEST_F(UpdateFilesTest, ResultCodes) {
    const ErrorCase cases[] = {
        {"nothing matches", {}, "KF*.bin", ERROR_FILE_NOT_FOUND, {}},
        {"ten characters", {{"FW1F05.bin", "x"}}, "FW1F05.bin", ERROR_BAD_FILE_TYPE, {}},
        {"unknown prefix", {{"XX1F05A.bin", "x"}}, "XX1F05A.bin", ERROR_BAD_FILE_TYPE, {}},
        {"type ID 0x40", {{"KF4000A.bin", "x"}}, "KF*.bin", ERROR_BAD_FILE_TYPE, {}},
        {"type ID 0xFF", {{"KFFF00A.bin", "x"}}, "KFFF00A.bin", ERROR_BAD_FILE_TYPE, {}},
        {"empty file", {{"KF1200A.bin", ""}}, "KF*.bin", ERROR_BAD_LENGTH, {}},
        {"missing named file", {}, "KF1200A.bin", ERROR_FILE_NOT_FOUND, {}},
        {"named directory", {{"KF1200A.bin", "/"}}, "KF1200A.bin", ERROR_ACCESS_DENIED, {}},
        {"other case refuses the pattern", {{"KF1100A.bin", "x"}, {"kf1200A.bin", "x"}}, "KF*.bin",
         ERROR_FILE_NOT_FOUND, {}},
        {"directory stops at its place", {{"KF1100A.bin", "x"}, {"KF_dir.bin", "/"}, {"KFa200A.bin", "x"}}, "KF*.bin",
         ERROR_FILE_NOT_FOUND, {0x11}},
        {"short name stops the rest", {{"KF11.bin", "x"}, {"KF2200A.bin", "x"}}, "KF*.bin", ERROR_BAD_FILE_TYPE, {}},
        {"empty file stops the rest", {{"KF1100A.bin", "x"}, {"KF2200A.bin", ""}, {"KF3300A.bin", "x"}}, "KF*.bin",
         ERROR_BAD_LENGTH, {0x11}},
    };
    for (const ErrorCase& c : cases) {
        TempDir dir;
        ScopedChdir cwd(dir.Path());
        for (const auto& [name, content] : c.files) {
            if (content == "/") {
                ASSERT_EQ(::mkdir((dir / name).c_str(), 0755), 0);
            } else {
                dir.Write(name, content);
            }
        }
        UpdateTable table;
        EXPECT_EQ(LoadUpdateFiles(c.pszLoad, &table, 0, nullptr), c.dwResult) << c.pszWhat;
        std::vector<BYTE> loaded;
        for (const UpdateDataEntry& entry : table) {
            if (entry.bLoaded) loaded.push_back(entry.bTypeId);
        }
        EXPECT_EQ(loaded, c.loadedTypeIds) << c.pszWhat;
    }
    EXPECT_EQ(LoadUpdateFiles("KF*.bin", nullptr, 0, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(LoadUpdateFiles("", &m_tables.KF, 0, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(m_box.Boxes().empty());
}

TEST_F(UpdateFilesTest, UnreadableFileKeepsItsErrorButLaterFilesLoad) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
    m_dir.Write("KF1100A.bin", "a");
    m_dir.Write("KF2200A.bin", "b");
    ASSERT_EQ(::chmod((m_dir / "KF1100A.bin").c_str(), 0), 0);
    EXPECT_EQ(LoadUpdateFiles("KF*.bin", &m_tables.KF, 0, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(m_tables.KF[0x22].bLoaded);
}

TEST_F(UpdateFilesTest, ReplaceRules) {
    // Data files have version 0: the later name in the list wins.
    m_dir.Write("KF1200A.bin", "first");
    m_dir.Write("KF1200B.bin", "second!");
    ASSERT_EQ(LoadUpdateFiles("KF*.bin", &m_tables.KF, 0, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(m_tables.KF[0x12].cbData, 20u + 7u);

    // Firmware: a lower version never replaces a higher one; equal versions, the later.
    m_dir.Write("FW1F05A.bin", "five");
    m_dir.Write("FW1F03A.bin", "three");
    m_dir.Write("FW1F05B.bin", "five b");
    ASSERT_EQ(LoadUpdateFiles("FW1F05A.bin", &m_tables.FW, 0, nullptr), ERROR_SUCCESS);
    BYTE bTypeId = 0;
    ASSERT_EQ(LoadUpdateFiles("FW1F03A.bin", &m_tables.FW, 0, &bTypeId), ERROR_SUCCESS);
    EXPECT_EQ(bTypeId, 0x1F);  // reported although not stored
    EXPECT_EQ(m_tables.FW[0x1F].bVersion, 5);
    EXPECT_EQ(m_tables.FW[0x1F].cbData, 4u);
    ASSERT_EQ(LoadUpdateFiles("FW1F05B.bin", &m_tables.FW, 0, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(m_tables.FW[0x1F].cbData, 6u);
}

TEST_F(UpdateFilesTest, ListingIsSortedCaseBlindAndCappedAt64) {
    for (int i = 70; i-- > 0;) m_dir.Write("KF" + std::to_string(1000 + i) + "A.bin", "x");
    m_dir.Write("kf0000A.bin", "x");
    m_dir.Write("KF0000A.txt", "x");
    ASSERT_EQ(::mkdir((m_dir / "KF0500.bin").c_str(), 0755), 0);
    std::vector<std::string> names = ListUpdateFiles("KF*.bin");
    ASSERT_EQ(names.size(), 64u);
    EXPECT_EQ(names[0], "");  // the directory KF0500.bin keeps its place
    EXPECT_EQ(names[1], "KF1000A.bin");
    EXPECT_EQ(names[62], "KF1061A.bin");
    EXPECT_EQ(names[63], "KF1062A.bin");
    EXPECT_EQ(ListUpdateFiles("KF0*.bin"), (std::vector<std::string>{"", "kf0000A.bin"}));
}

TEST_F(UpdateFilesTest, FirmwareSetsTheTypeId) {
    WriteCounting("FW1F05A.bin", 64);
    int nTypeId = 0;
    EXPECT_TRUE(LoadFirmwareFile(m_tables, &nTypeId));
    EXPECT_EQ(nTypeId, 0x1F);
    EXPECT_TRUE(m_tables.FW[0x1F].bLoaded);
    EXPECT_TRUE(m_box.Boxes().empty());
}

TEST_F(UpdateFilesTest, NoFirmwareIsNoError) {
    int nTypeId = 0;
    EXPECT_TRUE(LoadFirmwareFile(m_tables, &nTypeId));
    EXPECT_EQ(nTypeId, 0);
}

struct FirmwareCase {
    const char* pszWhat;
    std::vector<std::string> files;
    BOOL bResult;
    int nTypeId;
    std::vector<std::string> boxes;
};

TEST_F(UpdateFilesTest, FirmwareErrors) {
    const FirmwareCase cases[] = {
        {"ten characters", {"FW1F05.bin"}, FALSE, 0,
         {"Failed to read firmware update file!!\n[FW1F05.bin]\n\n\nErrorCode = [ 090102, 200000DE ]"}},
        {"lower-case prefix skipped", {"fw1f05A.bin"}, TRUE, 0,
         {"Bad firmware update file!!\n[fw1f05A.bin]\n\nThe file name chooses the one that starts from \"FW\"."
          "\n\nErrorCode = [ 090101, 2000007B ]"}},
        {"lower-case prefix then a good one", {"fw1105A.bin", "FW1F05A.bin"}, TRUE, 0x1F,
         {"Bad firmware update file!!\n[fw1105A.bin]\n\nThe file name chooses the one that starts from \"FW\"."
          "\n\nErrorCode = [ 090101, 2000007B ]"}},
        {"two files", {"FW1F03A.bin", "FW1F05A.bin"}, FALSE, 0x1F,
         {"Two or more firmware update file is specified.\n[FW1F05A.bin]\n\n\nErrorCode = [ 090104, 2000000D ]"}},
        {"two files after Type ID 0", {"FW0001A.bin", "FW1F05A.bin"}, FALSE, 0,
         {"Two or more firmware update file is specified.\n[FW1F05A.bin]\n\n\nErrorCode = [ 090104, 2000000D ]"}},
        {"type ID 0x40", {"FW4001A.bin"}, FALSE, 0,
         {"Failed to read firmware update file!!\n[FW4001A.bin]\n\n\nErrorCode = [ 090102, 200000DE ]"}},
    };
    for (const FirmwareCase& c : cases) {
        TempDir dir;
        ScopedChdir cwd(dir.Path());
        for (const std::string& name : c.files) dir.Write(name, "fw");
        m_box.Clear();
        UpdateTables tables;
        int nTypeId = 0;
        EXPECT_EQ(LoadFirmwareFile(tables, &nTypeId), c.bResult) << c.pszWhat;
        EXPECT_EQ(nTypeId, c.nTypeId) << c.pszWhat;
        EXPECT_EQ(BoxTexts(), c.boxes) << c.pszWhat;
    }
}

TEST_F(UpdateFilesTest, DataFilesLoadInOrderAndStopAtTheFirstBadKind) {
    m_dir.Write("CG1200A.bin", "cg");
    WriteCounting("CF1205X.bin", 100);
    m_dir.Write("KF1200A.bin", "");  // empty: bad
    m_dir.Write("ZF1200A.bin", "zf");
    EXPECT_FALSE(LoadDataFiles(m_tables));
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Invalid Kanji font data file!!\n\nErrorCode = [ 090204, 20000018 ]"}));
    EXPECT_TRUE(m_tables.CG[0x12].bLoaded);
    EXPECT_EQ(m_tables.CF[0x12].cbData, 120u);
    EXPECT_EQ(m_tables.CF[0x12].wChecksum, CountingSum(20, 100));
    EXPECT_FALSE(m_tables.ZF[0x12].bLoaded);  // after the bad kind: not loaded

    m_box.Clear();
    m_dir.Write("KF1200A.bin", "kf");
    UpdateTables tables;
    EXPECT_TRUE(LoadDataFiles(tables));
    EXPECT_TRUE(m_box.Boxes().empty());
    EXPECT_TRUE(tables.ZF[0x12].bLoaded);
    tables.Clear();
}

TEST_F(UpdateFilesTest, EachDataKindHasItsMessage) {
    const std::pair<const char*, const char*> cases[] = {
        {"CG", "Invalid CG font data file!!\n\nErrorCode = [ 090201, 200000DE ]"},
        {"CF", "Invalid codepage data.\n\nErrorCode = [ 090202, 200000DE ]"},
        {"EE", "Invalid cutter flag command data!!\n\nErrorCode = [ 090203, 200000DE ]"},
        {"KF", "Invalid Kanji font data file!!\n\nErrorCode = [ 090204, 200000DE ]"},
        {"ZF", "Invalid CPCL font data file!!\n\nErrorCode = [ 090205, 200000DE ]"},
        {"YF", "Invalid ZPL font data file!!\n\nErrorCode = [ 090206, 200000DE ]"},
    };
    for (auto [pszPrefix, pszBox] : cases) {
        TempDir dir;
        ScopedChdir cwd(dir.Path());
        dir.Write(std::string(pszPrefix) + "7F00A.bin", "x");  // Type ID 0x7F: refused
        m_box.Clear();
        UpdateTables tables;
        EXPECT_FALSE(LoadDataFiles(tables)) << pszPrefix;
        EXPECT_EQ(BoxTexts(), std::vector<std::string>{pszBox});
    }
}

}  // namespace
