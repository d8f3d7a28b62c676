#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "log/Log.h"
#include "log/LogFormat.h"

namespace {

LocalTime At(int month, int day, int hour, int minute, int second, int ms) {
    LocalTime lt;
    lt.year = 2026;
    lt.month = month;
    lt.day = day;
    lt.hour = hour;
    lt.minute = minute;
    lt.second = second;
    lt.millisecond = ms;
    return lt;
}

TEST(LogFormatLine, ErrorCodeFormsAndLineEnds) {
    const LocalTime lt = At(3, 7, 9, 5, 2, 45);
    const struct {
        char letter;
        DWORD error;
        int line;
        const char* text;
        const char* expected;
    } cases[] = {
        {'E', 87, 12, "failed", "[03/07 09:05(02.045)] [E] [0087 : 0012] : failed\r\n"},
        {'I', 0, 3, "plain", "[03/07 09:05(02.045)] [I] [0000 : 0003] : plain\r\n"},
        {'W', 9999, 1, "edge", "[03/07 09:05(02.045)] [W] [9999 : 0001] : edge\r\n"},
        {'W', 10000, 1, "winsock", "[03/07 09:05(02.045)] [W] [0x002710 : 0001] : winsock\r\n"},
        {'E', 0x80070057u, 44, "hr", "[03/07 09:05(02.045)] [E] [0x80070057 : 0044] : hr\r\n"},
        {'A', 0, 123456, "wide line", "[03/07 09:05(02.045)] [A] [0000 : 123456] : wide line\r\n"},
        {'I', 0, 1, "ends in LF\n", "[03/07 09:05(02.045)] [I] [0000 : 0001] : ends in LF\r\n"},
        {'I', 0, 1, "ends in CRLF\r\n\r\n", "[03/07 09:05(02.045)] [I] [0000 : 0001] : ends in CRLF\r\n"},
        {'I', 0, 1, "two\nlines", "[03/07 09:05(02.045)] [I] [0000 : 0001] : two\nlines\r\n"},
        {'I', 0, -5, "negative line", "[03/07 09:05(02.045)] [I] [0000 : -005] : negative line\r\n"},
        {'I', 0, 1, "\r\n", "[03/07 09:05(02.045)] [I] [0000 : 0001] : \r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LogFormatLine(lt, c.letter, c.error, c.line, c.text), c.expected) << c.text;
    }
}

std::vector<unsigned char> Bytes(std::size_t n) {
    std::vector<unsigned char> data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(i * 7 + 1);
    return data;
}

TEST(LogFormatDump, TwentyBytesGiveTwoRows) {
    auto data = Bytes(20);
    std::string dump = LogFormatDump(At(12, 10, 14, 30, 0, 7), LogDumpTitle(LOG_TRANSMITTED, "192.168.0.5"), data.data(),
                                     data.size(), LOG_DEFAULT_DUMP_LIMIT);
    EXPECT_EQ(dump,
              "[12/10 14:30(00.007)] Transmitted (192.168.0.5) [20byte]\r\n"
              "Addr : +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F\r\n"
              "0000 : 01 08 0F 16 1D 24 2B 32 39 40 47 4E 55 5C 63 6A\r\n"
              "0010 : 71 78 7F 86\r\n"
              "\r\n");
}

TEST(LogFormatLine, TextEndsAtANulAsPrintfTookIt) {
    EXPECT_EQ(LogFormatLine(At(3, 7, 9, 5, 2, 45), 'I', 0, 1, std::string("cut\0off\n", 8)),
              "[03/07 09:05(02.045)] [I] [0000 : 0001] : cut\r\n");
}

TEST(LogFormatDump, EveryByteValueAsPrintfWritesIt) {
    std::vector<unsigned char> data(256 + 7);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(255 - i % 256);
    std::string expected = "[11/30 23:59(59.999)] t [263byte]\r\nAddr : +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F\r\n";
    char cell[8];
    for (std::size_t row = 0; row < data.size(); row += 16) {
        std::snprintf(cell, sizeof cell, "%04X :", static_cast<unsigned>(row));
        expected += cell;
        for (std::size_t i = row; i < row + 16 && i < data.size(); ++i) {
            std::snprintf(cell, sizeof cell, " %02X", data[i]);
            expected += cell;
        }
        expected += "\r\n";
    }
    expected += "\r\n";
    EXPECT_EQ(LogFormatDump(At(11, 30, 23, 59, 59, 999), "t", data.data(), data.size(), LOG_DEFAULT_DUMP_LIMIT),
              expected);
}

TEST(LogFormatDump, RowsPast64KiBHaveLongerOffsets) {
    std::vector<unsigned char> data(0x10000 + 2, 0xAB);
    std::string dump = LogFormatDump(At(1, 1, 0, 0, 0, 0), "t", data.data(), data.size(), 70000);
    EXPECT_TRUE(dump.ends_with("\r\nFFF0 : AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB\r\n10000 : AB AB\r\n\r\n"));
}

TEST(LogFormatDump, DataBeyondTheLimitEndsWithTheContinuationLine) {
    auto data = Bytes(70000);
    std::string dump = LogFormatDump(At(1, 1, 0, 0, 0, 0), "t", data.data(), data.size(), LOG_DEFAULT_DUMP_LIMIT);
    // 65535 bytes shown: 4095 full rows and one row of 15.
    EXPECT_NE(dump.find("\r\nFFF0 :"), std::string::npos);
    EXPECT_EQ(dump.find("\r\n10000 :"), std::string::npos);
    char last[64];
    std::snprintf(last, sizeof last, "       ... %02X (4465 byte data continues yet)\r\n\r\n", data.back());
    EXPECT_TRUE(dump.ends_with(last)) << dump.substr(dump.size() - 120);
    std::size_t lastRow = dump.rfind("FFF0 :");
    std::size_t rowEnd = dump.find("\r\n", lastRow);
    EXPECT_EQ(rowEnd - lastRow, 6 + 15 * 3u);
}

TEST(LogDumpTitle, ByCategory) {
    EXPECT_EQ(LogDumpTitle(LOG_RECEIVED, "USB001"), "Received (USB001)");
    EXPECT_EQ(LogDumpTitle(LOG_TRANSMITTED, "USB001"), "Transmitted (USB001)");
    EXPECT_EQ(LogDumpTitle(LOG_DUMP, "reply"), "Dump data (reply)");
    EXPECT_EQ(LogDumpTitle(LOG_INFO, "as is"), "as is");
    EXPECT_EQ(LogDumpTitle(LOG_INFO, std::string(2000, 'x').c_str()).size(), 1023u);
}

TEST(LogNames, DatedAndRotated) {
    LocalTime lt = At(2, 3, 4, 5, 6, 7);
    EXPECT_EQ(LogDatedName("/f", lt), "/f/20260203.log");
    EXPECT_EQ(LogRotatedName("/f", lt), "/f/20260203_040506.log");
}

}  // namespace
