// The command tables, the answer decoder and the flag rules of a run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/Command.h"
#include "engine/Kelvo.h"
#include "engine/RunRules.h"
#include "platform/WinError.h"

namespace {

using Step = AnswerDecoder::Step;

std::vector<BYTE> Bytes(std::span<const BYTE> s) { return {s.begin(), s.end()}; }

TEST(CommandTables, StandardAndExtendedBytes) {
    std::vector<BYTE> stdId(32, 0x00);
    stdId.insert(stdId.end(), {0x1D, 0x49, 0x01});
    EXPECT_EQ(Bytes(STANDARD_COMMANDS.deviceId.bytes), stdId);
    EXPECT_EQ(Bytes(STANDARD_COMMANDS.romId.bytes), (std::vector<BYTE>{0x1D, 0x49, 0x03}));
    EXPECT_EQ(Bytes(STANDARD_COMMANDS.fwVersion.bytes), (std::vector<BYTE>{0x1D, 0x49, 0x41}));

    std::vector<BYTE> ext{0x1F, 0x4C, 0x44, 0x31, 0x04, 0x00, 0x00, 0x00, 0x49, 0x44, 0x54};
    std::vector<BYTE> extId(32, 0x00);
    extId.insert(extId.end(), ext.begin(), ext.end());
    extId.push_back(0x01);
    EXPECT_EQ(Bytes(EXTENDED_COMMANDS.deviceId.bytes), extId);
    EXPECT_EQ(EXTENDED_COMMANDS.deviceId.bytes.size(), 44u);
    std::vector<BYTE> extRom = ext;
    extRom.push_back(0x03);
    EXPECT_EQ(Bytes(EXTENDED_COMMANDS.romId.bytes), extRom);
    std::vector<BYTE> extVer = ext;
    extVer.push_back(0x41);
    EXPECT_EQ(Bytes(EXTENDED_COMMANDS.fwVersion.bytes), extVer);
    EXPECT_EQ(Bytes(CMD_POST_UPDATE.bytes), (std::vector<BYTE>{0x12, 0x40}));

    EXPECT_EQ(STANDARD_COMMANDS.idFormat.bMode, 0x0E);
    EXPECT_EQ(EXTENDED_COMMANDS.idFormat.bMode, 0x1E);
    EXPECT_EQ(STANDARD_COMMANDS.versionFormat.bMode, 0x02);
    EXPECT_EQ(EXTENDED_COMMANDS.versionFormat.bMode, 0x12);
    EXPECT_EQ(FONT_CHECKSUM_FORMAT.cbExpected, 2u);
}

TEST(CommandTables, FontChecksumCommand) {
    BYTE command[FONT_CHECKSUM_LEN];
    BuildFontChecksumCommand(FONT_LETTER_ZPL, command);
    std::vector<BYTE> want{0x11, 0x40};
    for (int i = 0; i < 4; ++i) want.insert(want.end(), {0xAA, 0x55, 0x00, 0xFF});
    want.insert(want.end(), {0x46, 0x7A});
    EXPECT_EQ(std::vector<BYTE>(command, command + FONT_CHECKSUM_LEN), want);
}

TEST(CommandTables, SelectCommandSetFollowsTypeId) {
    struct Case {
        int nTypeId;
        const CommandSet* pWant;
        bool bExtFlag;
    };
    for (Case c : {Case{0x26, &EXTENDED_COMMANDS, true}, Case{0x1F, &STANDARD_COMMANDS, false},
                   Case{0x26, &EXTENDED_COMMANDS, true}, Case{0, &STANDARD_COMMANDS, false}}) {
        theApp.nTypeId = c.nTypeId;
        SelectCommandSet();
        EXPECT_EQ(&CurrentCommandSet(), c.pWant) << c.nTypeId;
        EXPECT_EQ(theApp.TestFlags(UF_EXT_COMMANDS), c.bExtFlag) << c.nTypeId;
    }
    theApp.Reset();
}

TEST(IgnorableBytes, ExactRanges) {
    for (int b = 0; b < 256; ++b) {
        bool bWant = b == 0x11 || b == 0x13 || (b >= 0xA0 && b <= 0xAF) || (b >= 0xC0 && b <= 0xDF);
        EXPECT_EQ(IsIgnorableByte(static_cast<BYTE>(b)) != FALSE, bWant) << b;
    }
}

struct DecodeCase {
    const char* pszName;
    ResponseFormat format;
    std::vector<BYTE> reply;
    Step want;
    std::string payload;  // payload bytes when Done
};

class Decoder : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decoder, Table) {
    const DecodeCase& c = GetParam();
    BYTE answer[64] = {};
    Step step = DecodeAnswer(c.format, c.reply, answer, sizeof answer);
    EXPECT_EQ(step, c.want);
    if (c.want == Step::Done) {
        EXPECT_EQ(std::string(reinterpret_cast<char*>(answer), c.payload.size()), c.payload);
        EXPECT_EQ(answer[c.payload.size()], 0) << "nothing beyond the payload";
    }
}

const ResponseFormat kId{1, 0x0E};
const ResponseFormat kIdExt{1, 0x1E};
const ResponseFormat kVer{7, 0x02};
const ResponseFormat kVerExt{7, 0x12};
const ResponseFormat kSum{2, 0x0E};

INSTANTIATE_TEST_SUITE_P(
    Answers, Decoder,
    ::testing::Values(
        DecodeCase{"nibble_pair", kId, {0x0E, 0xEF, 0xF1, 0x00}, Step::Done, "\x1F"},
        DecodeCase{"high_missing_hunts", kId, {0x0E, 0xEF, 0x00}, Step::More, ""},
        DecodeCase{"ignorable_between_nibbles", kId, {0x0E, 0xEF, 0x11, 0xF1, 0x00}, Step::Done, "\x1F"},
        DecodeCase{"every_ignorable_kind", kId, {0xA5, 0x0E, 0xC0, 0xEF, 0x13, 0xDF, 0xF1, 0xAF, 0x00}, Step::Done,
                   "\x1F"},
        DecodeCase{"extended_header", kIdExt, {0x10, 0x3E, 0xE6, 0xF2, 0x00}, Step::Done, "\x26"},
        DecodeCase{"extended_ignorable_in_header", kIdExt, {0x10, 0xA1, 0x3E, 0xE6, 0xF2, 0x00}, Step::Done, "\x26"},
        DecodeCase{"extended_bad_second_byte", kIdExt, {0x10, 0x3F, 0xE6, 0xF2, 0x00}, Step::More, ""},
        DecodeCase{"lone_01_aborts", kId, {0x01}, Step::Abort, ""},
        DecodeCase{"01_in_payload_aborts", kId, {0x0E, 0xE1, 0x01}, Step::Abort, ""},
        DecodeCase{"01_after_dle_aborts", kIdExt, {0x10, 0x01}, Step::Abort, ""},
        DecodeCase{"header_restarts_payload", kSum, {0x0E, 0xE4, 0xF3, 0x0E, 0xE1, 0xF2, 0xE3, 0xF4, 0x00}, Step::Done,
                   "\x21\x43"},
        DecodeCase{"checksum_low_first", kSum, {0x0E, 0xE4, 0xF3, 0xE2, 0xF1, 0x00}, Step::Done, "\x34\x12"},
        DecodeCase{"surplus_nibble_hunts", kId, {0x0E, 0xE1, 0xF1, 0xE2, 0xF2, 0x00}, Step::More, ""},
        DecodeCase{"garbage_before_header", kId, {0x55, 0xEE, 0xF3, 0x0E, 0xE5, 0xF0, 0x00}, Step::Done, "\x05"},
        DecodeCase{"stray_byte_in_payload_hunts", kId, {0x0E, 0xE5, 0x42, 0xF0, 0x00}, Step::More, ""},
        DecodeCase{"later_answer_after_hunt", kId, {0x0E, 0xE5, 0x42, 0x0E, 0xE7, 0xF0, 0x00}, Step::Done, "\x07"},
        DecodeCase{"text_seven", kVer, {0x02, 'V', '1', '.', '0', '5', 'S', 'M', 0x00}, Step::Done, "V1.05SM"},
        DecodeCase{"text_short_hunts", kVer, {0x02, 'V', '1', '.', 0x00}, Step::More, ""},
        DecodeCase{"text_long_hunts", kVer, {0x02, 'V', '1', '.', '0', '5', 'S', 'M', 'X', 0x00}, Step::More, ""},
        DecodeCase{"text_ignorable_skipped", kVer, {0x02, 'V', 0x11, '1', '.', '0', '5', 0xC3, 'S', 'M', 0x00},
                   Step::Done, "V1.05SM"},
        DecodeCase{"text_ignorable_before_end", kVer, {0x02, 'V', '1', '.', '0', '5', 'S', 'M', 0xA5, 0x00},
                   Step::Done, "V1.05SM"},
        DecodeCase{"text_sprinkled", kVer,
                   {0x11, 0x02, 0xA5, 'V', 0xC3, '1', 0x13, '.', 0xDF, '0', 0xA0, '5', 0xCF, 'S', 0x11, 'M', 0xA5, 0x00},
                   Step::Done, "V1.05SM"},
        DecodeCase{"nibble_ignorable_before_end", kId, {0x0E, 0xEF, 0xF1, 0xC3, 0x00}, Step::Done, "\x1F"},
        DecodeCase{"text_control_hunts", kVer, {0x02, 'V', 0x0A, '1', '.', '0', '5', 'S', 'M', 0x00}, Step::More, ""},
        DecodeCase{"text_7f_counts", kVer, {0x02, 0x7F, ' ', '2', '3', '4', '5', '6', 0x00}, Step::Done,
                   "\x7F 23456"},
        DecodeCase{"text_extended", kVerExt, {0x10, 0x32, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 0x00}, Step::Done,
                   "ABCDEFG"},
        DecodeCase{"done_needs_end_mark", kId, {0x0E, 0xEF, 0xF1}, Step::More, ""}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.pszName); });

TEST(DecoderState, DoneOnlyWhenComplete) {
    BYTE answer[8] = {};
    AnswerDecoder decoder(kSum, answer, sizeof answer);
    EXPECT_EQ(decoder.Feed(0x0E), Step::More);
    EXPECT_EQ(decoder.CurrentState(), AnswerDecoder::State::Payload);
    decoder.Feed(0xE1);
    decoder.Feed(0xF0);
    EXPECT_EQ(decoder.Stored(), 1u);
    EXPECT_EQ(decoder.Feed(0x00), Step::More);
    EXPECT_EQ(decoder.CurrentState(), AnswerDecoder::State::Hunting);
    // A later header still restarts the answer at the start of the buffer.
    for (BYTE b : {0x0E, 0xE2, 0xF0, 0xE3, 0xF0}) decoder.Feed(b);
    EXPECT_EQ(decoder.Feed(0x00), Step::Done);
    EXPECT_EQ(answer[0], 0x02);
    EXPECT_EQ(answer[1], 0x03);
}

TEST(RunRules, FlagsClearedAtRunStart) {
    EXPECT_EQ(FlagsClearedAtRunStart(0), UF_NO_DATA_UPDATE | UF_NO_FW_UPDATE);
    EXPECT_EQ(FlagsClearedAtRunStart(UF_NO_FW_UPDATE | UF_FORCE_UPDATE), UF_NO_DATA_UPDATE | UF_NO_FW_UPDATE);
    EXPECT_EQ(FlagsClearedAtRunStart(UF_RETRY | UF_NO_FW_UPDATE), UF_NO_DATA_UPDATE);
}

TEST(RunRules, FirmwareMustBeSent) {
    struct Case {
        BYTE bCurrent, bUpdate;
        bool bForce, bWant;
    };
    for (Case c : {Case{0x05, 0x05, false, false}, Case{0x04, 0x05, false, true}, Case{0x06, 0x05, false, false},
                   Case{0x05, 0x05, true, true}, Case{0x09, 0x05, true, true}, Case{0xF3, 0x05, false, true},
                   Case{0x05, 0xF1, false, true}, Case{0xEF, 0x05, false, false}}) {
        EXPECT_EQ(FirmwareMustBeSent(c.bCurrent, c.bUpdate, c.bForce), c.bWant)
            << int(c.bCurrent) << " " << int(c.bUpdate) << " " << c.bForce;
    }
}

TEST(RunRules, ErrorLocations) {
    for (DWORD e : {13u, 29u, 170u, 1167u, 1460u}) EXPECT_EQ(DeviceIdErrorLocation(e), 0x040302u) << e;
    for (DWORD e : {1003u, 186u, 5u}) EXPECT_EQ(DeviceIdErrorLocation(e), 0x040303u) << e;
    for (DWORD e : {13u, 29u, 170u, 1167u}) EXPECT_EQ(RomIdErrorLocation(e), 0x040305u) << e;
    for (DWORD e : {1460u, 1003u}) EXPECT_EQ(RomIdErrorLocation(e), 0x040306u) << e;
}

TEST(RunRules, SuccessMessage) {
    EXPECT_EQ(SuccessMessageId(UF_NO_FW_UPDATE), 250u);
    EXPECT_EQ(SuccessMessageId(UF_NO_FW_UPDATE | UF_NO_DATA_UPDATE), 208u);
    EXPECT_EQ(SuccessMessageId(0), 208u);
    EXPECT_EQ(SuccessMessageId(UF_NO_DATA_UPDATE), 208u);
}

TEST(RunRules, DataSelection) {
    struct Case {
        DWORD dwRun, r, dwFlags;
        DataSelectionOutcome want;
    };
    for (Case c : {
             Case{0, 0, 0, {0, false, false}},
             Case{0, 1242, 0, {0, false, false}},
             Case{0, 1003, 0, {1003, true, false}},
             Case{1242, 1003, UF_NO_FW_UPDATE, {1242, true, false}},  // the query's box, result kept
             Case{1242, 1242, UF_NO_FW_UPDATE, {1242, false, true}},
             Case{1242, 0, UF_NO_FW_UPDATE, {0, false, false}},
             Case{0, 1242, UF_NO_FW_UPDATE, {1242, false, true}},
             Case{1242, 1223, UF_NO_FW_UPDATE, {1223, true, false}},  // a cancel outweighs "current"
             Case{0, 1223, UF_NO_FW_UPDATE, {1223, true, false}},
         }) {
        DataSelectionOutcome o = ApplyDataSelection(c.dwRun, c.r, c.dwFlags);
        EXPECT_EQ(o.dwResult, c.want.dwResult) << c.dwRun << " " << c.r;
        EXPECT_EQ(o.bEndRun, c.want.bEndRun) << c.dwRun << " " << c.r;
        EXPECT_EQ(o.bShowCurrent, c.want.bShowCurrent) << c.dwRun << " " << c.r;
    }
}

TEST(RunRules, WaitsByKind) {
    EXPECT_EQ(IdentifyTimeLimit(0), 1000u);
    for (int k : {1, 2, 3}) EXPECT_EQ(IdentifyTimeLimit(k), 15000u);
    EXPECT_EQ(CommandDelay(0), 100u);
    EXPECT_EQ(CommandDelay(3), 100u);
    EXPECT_EQ(CommandDelay(1), 500u);
    EXPECT_EQ(CommandDelay(2), 500u);
    EXPECT_EQ(VerifyTimeLimit(0), 20000u);
    EXPECT_EQ(VerifyTimeLimit(1), 60000u);
    EXPECT_EQ(VerifyTimeLimit(2), 100000u);
    EXPECT_EQ(VerifyTimeLimit(3), 20000u);
    EXPECT_EQ(ChecksumDelay(2, 0x1C), 1000u);
    EXPECT_EQ(ChecksumDelay(1, 0x1A), 1000u);
    EXPECT_EQ(ChecksumDelay(2, 0x1F), 500u);
    EXPECT_EQ(ChecksumDelay(0, 0x1C), 100u);
    EXPECT_EQ(ChecksumDelay(3, 0x1E), 100u);
}

TEST(RunRules, TransferPercent) {
    // 10000 bytes in 4096-byte blocks: 40 %, 81 %, 100 %.
    EXPECT_EQ(TransferPercent(4096, 10000, 0), 40u);
    EXPECT_EQ(TransferPercent(8192, 10000, 0), 81u);
    EXPECT_EQ(TransferPercent(10000, 10000, 0), 100u);
    // The first-block pause weighs a tenth of the total: 100000 bytes, 20 sent, pause over.
    EXPECT_EQ(TransferPercent(20, 100000, 10000), 9u);
    // Big files do not overflow.
    EXPECT_EQ(TransferPercent(0x80000000u, 0xF0000000u, 0), 53u);
}

}  // namespace
