// The printer core on its own: fed the host's bytes, timers driven by given ticks. The
// expected bytes are written out by hand from the printer's wire contract.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/Contract.h"
#include "sim/FirmwareImage.h"
#include "sim/PrinterCore.h"
#include "sim/Transcript.h"

namespace sim {
namespace {

using Bytes = std::vector<BYTE>;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes Zeros(std::size_t n) { return Bytes(n, 0x00); }
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
const Bytes kExtPrefix = {0x1F, 0x4C, 0x44, 0x31, 0x04, 0x00, 0x00, 0x00, 0x49, 0x44, 0x54};
Bytes Ext(BYTE fn) { return Cat({kExtPrefix, {fn}}); }
Bytes HeaderLetters(BYTE a, BYTE b) {
    return {0x11, 0x40, 0xAA, 0x55, 0x00, 0xFF, 0xAA, 0x55, 0x00, 0xFF, 0xAA, 0x55, 0x00, 0xFF, 0xAA, 0x55, 0x00, 0xFF, a, b};
}

class CoreTest : public ::testing::Test {
protected:
    void Make(const Config& config) { m_pCore = std::make_unique<PrinterCore>(config, m_transcript); m_pCore->Begin(m_now); }
    Bytes Send(const Bytes& b) {
        m_pCore->OnDataBytes(b, m_now);
        return m_pCore->TakeAnswers(4096);
    }
    void Advance(DWORD ms) {
        m_now += ms;
        m_pCore->OnTimer(m_now);
    }
    std::vector<SimEvent> Named(const std::string& name) const {
        std::vector<SimEvent> out;
        for (const SimEvent& e : m_transcript.Snapshot())
            if (e.szName == name) out.push_back(e);
        return out;
    }
    static Config Cfg() {
        Config c;
        c.timing = Timing{1000, 2000, 500};
        return c;
    }

    Transcript m_transcript;
    std::unique_ptr<PrinterCore> m_pCore;
    DWORD m_now = 0xFFFFF000u;  // close to the wrap of the tick count on purpose
};

struct AnswerCase {
    const char* pszName;
    BYTE bTypeId;
    BYTE bRomId;
    std::string szVersion;
    Bytes command;
    Bytes answer;
};

class AnswerTest : public CoreTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, AnswersAsFramed) {
    const AnswerCase& c = GetParam();
    Config cfg = Cfg();
    cfg.state.bTypeId = c.bTypeId;
    cfg.state.bRomId = c.bRomId;
    cfg.state.szVersion = c.szVersion;
    cfg.state.wChecksum = {0x1234, 0xBEEF, 0x0102, 0xA55A};
    Make(cfg);
    EXPECT_EQ(Send(c.command), c.answer);
}

INSTANTIATE_TEST_SUITE_P(
    BothSets, AnswerTest,
    ::testing::Values(
        AnswerCase{"StdDeviceId", 0x1F, 0x05, "", Cat({Zeros(32), {0x1D, 0x49, 0x01}}), {0x0E, 0xEF, 0xF1, 0x00}},
        AnswerCase{"ExtDeviceId", 0x26, 0x05, "", Cat({Zeros(32), Ext(0x01)}), {0x10, 0x3E, 0xE6, 0xF2, 0x00}},
        AnswerCase{"StdRomId", 0x1F, 0xA7, "", {0x1D, 0x49, 0x03}, {0x0E, 0xE7, 0xFA, 0x00}},
        AnswerCase{"ExtRomId", 0x26, 0x05, "", Ext(0x03), {0x10, 0x3E, 0xE5, 0xF0, 0x00}},
        AnswerCase{"StdVersion", 0x1F, 0x05, "1.05 AB", {0x1D, 0x49, 0x41}, Cat({{0x02}, Text("1.05 AB"), {0x00}})},
        AnswerCase{"ExtVersion", 0x26, 0x05, "1.05 AB", Ext(0x41), Cat({{0x10, 0x32}, Text("1.05 AB"), {0x00}})},
        AnswerCase{"DefaultVersion7", 0x1F, 0x05, "", {0x1D, 0x49, 0x41}, Cat({{0x02}, Text("VER1F05"), {0x00}})},
        AnswerCase{"DefaultVersion8", 0x1F, 0xF1, "", {0x1D, 0x49, 0x41}, Cat({{0x02}, Text("VER1FF1B"), {0x00}})},
        AnswerCase{"ChecksumKanji", 0x1F, 0x05, "", HeaderLetters(0x46, 0x4B), {0x0E, 0xE4, 0xF3, 0xE2, 0xF1, 0x00}},
        AnswerCase{"ChecksumCodePage", 0x1F, 0x05, "", HeaderLetters(0x46, 0x43), {0x0E, 0xEF, 0xFE, 0xEE, 0xFB, 0x00}},
        AnswerCase{"ChecksumCpcl", 0x1F, 0x05, "", HeaderLetters(0x46, 0x5A), {0x0E, 0xE2, 0xF0, 0xE1, 0xF0, 0x00}},
        AnswerCase{"ChecksumZplLowerZ", 0x26, 0x05, "", HeaderLetters(0x46, 0x7A), {0x0E, 0xEA, 0xF5, 0xE5, 0xFA, 0x00}},
        AnswerCase{"ChecksumUnknownLetter", 0x1F, 0x05, "", HeaderLetters(0x46, 0x59), {}},
        AnswerCase{"TextAndPaddingIgnored", 0x1F, 0x05, "", Cat({Text("hello\n"), Zeros(100), {0x1D, 0x49, 0x01}}),
                   {0x0E, 0xEF, 0xF1, 0x00}},
        AnswerCase{"PostUpdateNoAnswer", 0x26, 0x05, "", {0x12, 0x40}, {}},
        AnswerCase{"UnknownFunctionNoAnswer", 0x1F, 0x05, "", {0x1D, 0x49, 0x77}, {}}),
    [](const auto& info) { return std::string(info.param.pszName); });

TEST_F(CoreTest, CommandSplitAcrossReadsIsAnsweredOnce) {
    Make(Cfg());
    Bytes cmd = Ext(0x03);
    EXPECT_TRUE(Send(Bytes(cmd.begin(), cmd.begin() + 5)).empty());
    EXPECT_EQ(Send(Bytes(cmd.begin() + 5, cmd.end())), (Bytes{0x10, 0x3E, 0xE5, 0xF0, 0x00}));
}

TEST_F(CoreTest, BootModeIsSilentToDeviceIdOnly) {
    Config cfg = Cfg();
    cfg.state.bBootMode = true;
    cfg.state.bRomId = 0xF3;
    Make(cfg);
    EXPECT_TRUE(Send(Cat({Zeros(32), {0x1D, 0x49, 0x01}})).empty());
    EXPECT_EQ(Send({0x1D, 0x49, 0x03}), (Bytes{0x0E, 0xE3, 0xFF, 0x00}));
    auto cmds = Named("command");
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[0].Str("reason"), "boot mode");
}

TEST_F(CoreTest, RestrictedCommandSetIgnoresTheOther) {
    Config cfg = Cfg();
    cfg.state.bTypeId = 0x26;
    cfg.state.sets = CommandSets::Extended;
    Make(cfg);
    EXPECT_TRUE(Send({0x1D, 0x49, 0x01}).empty());
    EXPECT_EQ(Send(Ext(0x01)), (Bytes{0x10, 0x3E, 0xE6, 0xF2, 0x00}));
}

TEST_F(CoreTest, SprinkledAnswerHoldsTheFrameBetweenIgnorableBytes) {
    Config cfg = Cfg();
    cfg.state.bSprinkle = true;
    Make(cfg);
    Bytes a = Send({0x1D, 0x49, 0x01});
    Bytes kept;
    std::copy_if(a.begin(), a.end(), std::back_inserter(kept), [](BYTE b) { return !IsIgnorable(b); });
    EXPECT_GT(a.size(), kept.size());
    EXPECT_EQ(kept, (Bytes{0x0E, 0xEF, 0xF1, 0x00}));
}

TEST_F(CoreTest, FaultsSilentAndGarbage) {
    Config cfg = Cfg();
    cfg.faults.bSilent = true;
    Make(cfg);
    EXPECT_TRUE(Send({0x1D, 0x49, 0x01}).empty());
    EXPECT_EQ(Named("command").back().Str("reason"), "silent");

    Faults f;
    f.bGarbage = true;
    m_pCore->SetFaults(f);
    Bytes g = Send({0x1D, 0x49, 0x41});
    EXPECT_EQ(g.size(), 9u);  // as long as the real answer
    for (BYTE b : g) {
        EXPECT_TRUE(b != 0x00 && b != 0x01 && b != 0x02 && b != 0x0E && b != 0x10) << int(b);
    }
}

TEST_F(CoreTest, FirmwareTransferFlashesRestartsAndComesBackWithItsRomId) {
    Make(Cfg());
    Bytes img = BuildFirmwareImage(0x1F, 0x07, "NEW 1.7", FillerBytes(10000, 3));
    for (std::size_t off = 0; off < img.size(); off += 4096)
        EXPECT_TRUE(Send(Bytes(img.begin() + off, img.begin() + std::min(img.size(), off + 4096))).empty());
    auto ends = Named("transfer_end");
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].Str("result"), "stored");
    EXPECT_EQ(ends[0].Int("bytes"), static_cast<long long>(img.size()));
    EXPECT_EQ(Named("flash_write").size(), 1u);
    // While the flash is written nothing is answered and the link stays.
    EXPECT_TRUE(Send({0x1D, 0x49, 0x03}).empty());
    EXPECT_FALSE(m_pCore->TakeActions().bGoDown);
    Advance(999);
    EXPECT_TRUE(m_pCore->IsUp());
    Advance(1);
    EXPECT_FALSE(m_pCore->IsUp());
    EXPECT_TRUE(m_pCore->TakeActions().bGoDown);
    Advance(2000);
    EXPECT_TRUE(m_pCore->IsUp());
    EXPECT_TRUE(m_pCore->TakeActions().bComeUp);
    EXPECT_EQ(Send({0x1D, 0x49, 0x03}), (Bytes{0x0E, 0xE7, 0xF0, 0x00}));
    EXPECT_EQ(Send({0x1D, 0x49, 0x41}), Cat({{0x02}, Text("NEW 1.7"), {0x00}}));
    EXPECT_EQ(Named("restart_end").back().Int("rom_id"), 7);
}

TEST_F(CoreTest, ExtendedSetUpdateTakesPostUpdateAndAnswersInItsFraming) {
    Config cfg = Cfg();
    cfg.state.bTypeId = 0x26;
    cfg.state.bRomId = 0x10;
    Make(cfg);
    EXPECT_EQ(Send(Ext(0x03)), (Bytes{0x10, 0x3E, 0xE0, 0xF1, 0x00}));
    Send(BuildFirmwareImage(0x26, 0x11, "EXT 1.1", FillerBytes(5000, 4)));
    Advance(1000);
    Advance(2000);
    EXPECT_TRUE(Send({0x12, 0x40}).empty());
    EXPECT_EQ(Named("post_update").size(), 1u);
    EXPECT_EQ(Send(Ext(0x03)), (Bytes{0x10, 0x3E, 0xE1, 0xF1, 0x00}));
    EXPECT_EQ(Send(Ext(0x41)), Cat({{0x10, 0x32}, Text("EXT 1.1"), {0x00}}));
}

TEST_F(CoreTest, StateCanBeReplacedWhileRunning) {
    Make(Cfg());
    PrinterState st = m_pCore->State();
    st.bBootMode = true;
    st.bRomId = 0xF2;
    st.szVersion.clear();
    m_pCore->SetState(st);
    EXPECT_TRUE(Send({0x1D, 0x49, 0x01}).empty());
    EXPECT_EQ(Send({0x1D, 0x49, 0x41}), Cat({{0x02}, Text("VER1FF2B"), {0x00}}));
    EXPECT_EQ(Named("state").size(), 1u);
}

TEST_F(CoreTest, WrongRomIdFaultAndBootModeLeftAfterFirmware) {
    Config cfg = Cfg();
    cfg.state.bBootMode = true;
    cfg.faults.nWrongRomId = 0x04;
    Make(cfg);
    Send(BuildFirmwareImage(0x1F, 0x07, "NEW 1.7", FillerBytes(100, 1)));
    Advance(1000);
    Advance(2000);
    EXPECT_EQ(Send({0x1D, 0x49, 0x03}), (Bytes{0x0E, 0xE4, 0xF0, 0x00}));
    EXPECT_EQ(Send({0x1D, 0x49, 0x01}), (Bytes{0x0E, 0xEF, 0xF1, 0x00}));  // out of the boot loader
}

TEST_F(CoreTest, FirmwareForAnotherTypeOrCorruptedIsRejected) {
    Make(Cfg());
    Send(BuildFirmwareImage(0x20, 0x07, "NEW 1.7", FillerBytes(100, 1)));
    Bytes bad = BuildFirmwareImage(0x1F, 0x07, "NEW 1.7", FillerBytes(100, 1));
    bad.back() ^= 0x40;
    Send(bad);
    auto ends = Named("transfer_end");
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0].Str("reason"), "type");
    EXPECT_EQ(ends[1].Str("reason"), "checksum");
    EXPECT_TRUE(Named("flash_write").empty());
    EXPECT_EQ(Send({0x1D, 0x49, 0x03}), (Bytes{0x0E, 0xE5, 0xF0, 0x00}));
}

struct KindCase {
    BYTE bHeaderLetter;
    BYTE bQueryLetter;
    DWORD cbSkip;
};

class DataKindTest : public CoreTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(DataKindTest, ChecksumBecomesThatOfTheDataReceived) {
    const KindCase& k = GetParam();
    Make(Cfg());
    Bytes data = FillerBytes(9000, k.bHeaderLetter);
    WORD sum = Sum16(std::span<const BYTE>(data).subspan(k.cbSkip));
    Send(Cat({HeaderLetters(0x4B, k.bHeaderLetter), Bytes(data.begin(), data.begin() + 100)}));
    Advance(499);  // a pause inside the transfer shorter than the idle time
    Send(Bytes(data.begin() + 100, data.end()));
    EXPECT_TRUE(Named("transfer_end").empty());
    Advance(500);
    auto ends = Named("transfer_end");
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].Str("end"), "idle");
    EXPECT_EQ(ends[0].Int("checksum"), sum);
    EXPECT_EQ(ends[0].Int("bytes"), 9020);
    EXPECT_EQ(Send(HeaderLetters(0x46, k.bQueryLetter)),
              (Bytes{0x0E, BYTE(0xE0 | (sum & 0xF)), BYTE(0xF0 | ((sum >> 4) & 0xF)), BYTE(0xE0 | ((sum >> 8) & 0xF)),
                     BYTE(0xF0 | (sum >> 12)), 0x00}));
}

INSTANTIATE_TEST_SUITE_P(Kinds, DataKindTest,
                         ::testing::Values(KindCase{0x4B, 0x4B, 0}, KindCase{0x43, 0x43, 20}, KindCase{0x5A, 0x5A, 0},
                                           KindCase{0x59, 0x7A, 0}));

TEST_F(CoreTest, DataHeaderAloneWaitsForItsBytesAndEndsWithTheLink) {
    Make(Cfg());
    Send(HeaderLetters(0x4B, 0x4B));
    Advance(15000);  // a long pause after the first block does not end the transfer
    EXPECT_TRUE(Named("transfer_end").empty());
    Send({1, 2, 3});
    m_pCore->OnDataLinkEnd(m_now);
    auto ends = Named("transfer_end");
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].Str("end"), "link");
    EXPECT_EQ(m_pCore->State().wChecksum[KIND_KANJI], 6);
}

TEST_F(CoreTest, DropAfterCutsTheFirstTransferOnly) {
    Config cfg = Cfg();
    cfg.faults.cbDropAfter = 5000;
    Make(cfg);
    Bytes img = BuildFirmwareImage(0x1F, 0x07, "NEW 1.7", FillerBytes(8000, 3));
    Send(Bytes(img.begin(), img.begin() + 4096));
    EXPECT_FALSE(m_pCore->TakeActions().bDropData);
    Send(Bytes(img.begin() + 4096, img.end()));
    EXPECT_TRUE(m_pCore->TakeActions().bDropData);
    auto drops = Named("drop");
    ASSERT_EQ(drops.size(), 1u);
    EXPECT_EQ(drops[0].Int("after"), 5000);
    EXPECT_EQ(Named("transfer_end").back().Str("result"), "dropped");
    EXPECT_EQ(Named("transfer_end").back().Int("bytes"), 5000);
    Send(img);
    EXPECT_EQ(Named("transfer_end").back().Str("result"), "stored");
}

TEST_F(CoreTest, RealResetRestartsWithoutNewFirmware) {
    Make(Cfg());
    Send({0x13, 0x28, 0x72, 0x65, 0x73, 0x65, 0x74, 0x13, 0x72, 0x65, 0x73, 0x65, 0x74, 0x29, 0x00});
    EXPECT_TRUE(m_pCore->TakeActions().bGoDown);
    EXPECT_EQ(Named("restart_begin").back().Str("reason"), "real_reset");
    Advance(2000);
    EXPECT_TRUE(m_pCore->IsUp());
    EXPECT_EQ(Send({0x1D, 0x49, 0x03}), (Bytes{0x0E, 0xE5, 0xF0, 0x00}));
}

TEST_F(CoreTest, StatusChannelRepliesByteExact) {
    Config cfg = Cfg();
    cfg.faults.dwBusyMs = 100;
    Make(cfg);
    Bytes asb = m_pCore->OnStatusRequest(Bytes{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00}, m_now);
    ASSERT_EQ(asb.size(), 21u);
    EXPECT_EQ(Bytes(asb.begin(), asb.begin() + 13),
              (Bytes{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00}));
    EXPECT_EQ(asb[13] & 0x08, 0x08);  // busy
    EXPECT_FALSE(m_pCore->DataReadable(m_now));
    Advance(100);
    EXPECT_TRUE(m_pCore->DataReadable(m_now));

    m_pCore->OnDataBytes(Bytes{0x1D, 0x49, 0x01, 0x1D, 0x49, 0x03}, m_now);  // two answers queued: 8 bytes
    Bytes rec = m_pCore->OnStatusRequest(Bytes{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x80, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00}, m_now);
    EXPECT_EQ(rec, (Bytes{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x80, 0x00, 0x00, 0x05, 0x00, 0x05, 0x00,  //
                          0x0E, 0xEF, 0xF1, 0x00, 0x0E}));
    rec = m_pCore->OnStatusRequest(Bytes{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x80, 0x00, 0x00, 0x05, 0x00, 0x00, 0x10}, m_now);
    EXPECT_EQ(rec, (Bytes{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x80, 0x00, 0x00, 0x08, 0x00, 0x03, 0x00, 0xE5, 0xF0, 0x00}));
    rec = m_pCore->OnStatusRequest(Bytes{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x80, 0x00, 0x00, 0x08, 0x00, 0x00, 0x10}, m_now);
    EXPECT_EQ(rec, (Bytes{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x80, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00}));

    m_pCore->OnDataBytes(Bytes{0x1D, 0x49, 0x01}, m_now);
    ASSERT_EQ(m_pCore->AnswersQueued(), 4u);
    Bytes rst = m_pCore->OnStatusRequest(Bytes{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x40, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00}, m_now);
    EXPECT_EQ(rst, (Bytes{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(m_pCore->AnswersQueued(), 0u);  // the reset dropped the queued answer
    EXPECT_TRUE(m_pCore->OnStatusRequest(Bytes{'X', 'A', 'Q', 0, 0, 0xC0, 0, 0, 0, 0, 0, 8, 0}, m_now).empty());
}

TEST_F(CoreTest, DiscoveryReplyCarriesMacAddressAndName) {
    Config cfg = Cfg();
    cfg.state.szName = "Front Desk";
    cfg.state.mac = {0x02, 0x4B, 0x56, 0xAB, 0xCD, 0xEF};
    Make(cfg);
    Bytes q{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x88, 0x00, 0x00, 0x00, 0x00, 0x73, 0x00};
    Bytes r;
    ASSERT_TRUE(m_pCore->OnDiscoveryQuery(q, "127.1.2.3", &r));
    ASSERT_GE(r.size(), 90u);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 4), (Bytes{0x5A, 0x41, 0x51, 0x00}));
    EXPECT_EQ(r[6], 0x88);
    EXPECT_EQ(std::string(r.begin() + 29, r.begin() + 41), "024B56ABCDEF");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[41])), "127.1.2.3");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[57])), "Front Desk");
    q[6] = 0x80;
    EXPECT_FALSE(m_pCore->OnDiscoveryQuery(q, "127.1.2.3", &r));
}

TEST_F(CoreTest, ReadRateLimitsTheBytesOfferedPerRead) {
    Config cfg = Cfg();
    cfg.faults.dwReadRate = 1000;
    Make(cfg);
    std::size_t cb = m_pCore->DataBudget(m_now);
    EXPECT_EQ(cb, 0u);
    EXPECT_GT(m_pCore->NextWake(m_now), 0u);
    m_now += 1000;
    cb = m_pCore->DataBudget(m_now);
    EXPECT_GE(cb, 1u);
    EXPECT_LE(cb, 50u);  // a burst of at most 1/20 s of the rate
}

TEST(FirmwareImageTest, HeaderRoundTripsAndFileNamesFollowTheUpdateFiles) {
    Bytes img = BuildFirmwareImage(0x1F, 0xF1, "VER1FF1B", FillerBytes(77, 9));
    ASSERT_EQ(img.size(), FW_HEADER_LEN + 77);
    EXPECT_EQ(Bytes(img.begin(), img.begin() + 12), (Bytes{'K', 'V', 'F', 'W', 1, 0x1F, 0xF1, 8, 77, 0, 0, 0}));
    FirmwareHeader h;
    ASSERT_TRUE(ParseFirmwareHeader(img, &h));
    EXPECT_EQ(h.szVersion, "VER1FF1B");
    EXPECT_EQ(h.cbPayload, 77u);
    img[4] = 2;
    EXPECT_FALSE(ParseFirmwareHeader(img, &h));

    UpdateFileRequest s;
    s.bTypeId = 0x2A;
    s.bRomId = 0x0C;
    EXPECT_EQ(UpdateFileName(s), "FW2A0CSIM.bin");
    s.szKind = "YF";
    EXPECT_EQ(UpdateFileName(s), "YF2ASIM.bin");
}

}  // namespace
}  // namespace sim
