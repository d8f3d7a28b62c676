#include "sim/Contract.h"

#include <algorithm>
#include <cstring>

#include "platform/Text.h"

namespace sim {
namespace {

std::vector<BYTE> Ext(BYTE fn) { return {0x1F, 0x4C, 0x44, 0x31, 0x04, 0x00, 0x00, 0x00, 0x49, 0x44, 0x54, fn}; }

std::vector<BYTE> HeaderWith(BYTE first, BYTE second) {
    std::vector<BYTE> v{0x11, 0x40};
    for (int i = 0; i < 4; ++i) v.insert(v.end(), {0xAA, 0x55, 0x00, 0xFF});
    v.push_back(first);
    v.push_back(second);
    return v;
}

std::vector<CommandPattern> MakePatterns() {
    std::vector<CommandPattern> v = {
        {"CMD_DEVICE_ID", Cmd::DeviceId, CmdSet::Standard, {0x1D, 0x49, 0x01}, -1},
        {"CMD_ROM_ID", Cmd::RomId, CmdSet::Standard, {0x1D, 0x49, 0x03}, -1},
        {"CMD_FW_VERSION", Cmd::FwVersion, CmdSet::Standard, {0x1D, 0x49, 0x41}, -1},
        {"UNKNOWN_1D49", Cmd::Unknown, CmdSet::Standard, {0x1D, 0x49, 0x00}, 2},
        {"CMD_DEVICE_ID", Cmd::DeviceId, CmdSet::Extended, Ext(0x01), -1},
        {"CMD_ROM_ID", Cmd::RomId, CmdSet::Extended, Ext(0x03), -1},
        {"CMD_FW_VERSION", Cmd::FwVersion, CmdSet::Extended, Ext(0x41), -1},
        {"UNKNOWN_EXT", Cmd::Unknown, CmdSet::Extended, Ext(0x00), 11},
        {"CMD_FONT_CHECKSUM", Cmd::FontChecksum, CmdSet::None, HeaderWith(0x46, 0x00), 19},
        {"DOWNLOAD", Cmd::Download, CmdSet::None, HeaderWith(0x4B, 0x00), 19},
        {"CMD_POST_UPDATE", Cmd::PostUpdate, CmdSet::None, {0x12, 0x40}, -1},
        {"REAL_RESET_CMD", Cmd::RealReset, CmdSet::None,
         {0x13, 0x28, 0x72, 0x65, 0x73, 0x65, 0x74, 0x13, 0x72, 0x65, 0x73, 0x65, 0x74, 0x29, 0x00}, -1},
        {"FIRMWARE", Cmd::FirmwareImage, CmdSet::None, {'K', 'V', 'F', 'W'}, -1},
    };
    return v;
}

const KindInfo kKinds[KIND_COUNT] = {
    {KIND_KANJI, 0x4B, 0x4B, "KF", 0},
    {KIND_CODEPAGE, 0x43, 0x43, "CF", 20},
    {KIND_CPCL, 0x5A, 0x5A, "ZF", 0},
    {KIND_ZPL, 0x59, 0x7A, "YF", 0},
};

// Header and payload style bytes of the two command sets.
void PutHeader(std::vector<BYTE>& out, CmdSet set, BYTE style) {
    if (set == CmdSet::Extended) {
        out.push_back(0x10);
        out.push_back(static_cast<BYTE>(0x30 | style));
    } else {
        out.push_back(style);
    }
}

}  // namespace

const std::vector<CommandPattern>& CommandPatterns() {
    static const std::vector<CommandPattern> patterns = MakePatterns();
    return patterns;
}

Match MatchPattern(const CommandPattern& p, std::span<const BYTE> data) {
    std::size_t n = std::min(data.size(), p.bytes.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (static_cast<int>(i) == p.wildIndex) continue;
        if (data[i] != p.bytes[i]) return Match::None;
    }
    return n == p.bytes.size() ? Match::Full : Match::Partial;
}

std::vector<BYTE> FrameNibbles(CmdSet set, std::span<const BYTE> payload) {
    std::vector<BYTE> out;
    PutHeader(out, set, 0x0E);
    for (BYTE b : payload) {
        out.push_back(static_cast<BYTE>(0xE0 | (b & 0x0F)));
        out.push_back(static_cast<BYTE>(0xF0 | (b >> 4)));
    }
    out.push_back(0x00);
    return out;
}

std::vector<BYTE> FrameText(CmdSet set, std::string_view text) {
    std::vector<BYTE> out;
    PutHeader(out, set, 0x02);
    for (char c : text) out.push_back(static_cast<BYTE>(c));
    out.push_back(0x00);
    return out;
}

bool IsIgnorable(BYTE b) { return b == 0x11 || b == 0x13 || (b >= 0xA0 && b <= 0xAF) || (b >= 0xC0 && b <= 0xDF); }

std::vector<BYTE> Sprinkle(std::span<const BYTE> answer, unsigned* pCounter) {
    static const BYTE kFill[] = {0x11, 0xA5, 0xC3, 0x13, 0xDF, 0xA0, 0xCF};
    std::vector<BYTE> out;
    out.push_back(kFill[(*pCounter)++ % sizeof kFill]);
    for (BYTE b : answer) {
        out.push_back(b);
        out.push_back(kFill[(*pCounter)++ % sizeof kFill]);
    }
    return out;
}

std::vector<BYTE> Garbage(std::size_t cb, unsigned* pCounter) {
    // Nothing here starts a frame (02, 0E, 10), ends one (00) or aborts an exchange (01).
    static const BYTE kJunk[] = {0x3C, 0x5A, 0x7E, 0x99, 0xF5, 0xE1, 0x42, 0x8D, 0x2B, 0x67};
    std::vector<BYTE> out(std::max<std::size_t>(cb, 1));
    for (BYTE& b : out) b = kJunk[(*pCounter)++ % sizeof kJunk];
    return out;
}

const KindInfo* KindByHeaderLetter(BYTE b) {
    for (const KindInfo& k : kKinds)
        if (k.bHeaderLetter == b) return &k;
    return nullptr;
}

const KindInfo* KindByQueryLetter(BYTE b) {
    for (const KindInfo& k : kKinds)
        if (k.bQueryLetter == b) return &k;
    return nullptr;
}

const KindInfo& KindInfoOf(DataKind kind) { return kKinds[kind]; }

WORD Sum16(std::span<const BYTE> data, WORD wStart) {
    DWORD sum = wStart;
    for (BYTE b : data) sum += b;
    return static_cast<WORD>(sum);
}

bool IsStatusSignature(std::span<const BYTE> msg) {
    return msg.size() >= 3 && msg[0] == 'Z' && msg[1] == 'A' && msg[2] == 'Q';
}

std::vector<BYTE> StatusReplyHeader(std::span<const BYTE> request, WORD wCounter, WORD cbData) {
    std::vector<BYTE> h(STATUS_MSG_LEN, 0);
    h[0] = 'Z';
    h[1] = 'A';
    h[2] = 'Q';
    h[3] = 0x00;
    h[4] = request.size() > 4 ? request[4] : 0;
    h[5] = request.size() > 5 ? request[5] : 0;
    h[6] = request.size() > 6 ? request[6] : 0;
    h[9] = static_cast<BYTE>(wCounter & 0xFF);
    h[10] = static_cast<BYTE>(wCounter >> 8);
    h[11] = static_cast<BYTE>(cbData & 0xFF);
    h[12] = static_cast<BYTE>(cbData >> 8);
    return h;
}

const char* StatusCommandName(BYTE cmd) {
    switch (cmd) {
    case OPT_RESET: return "OPT_RESET";
    case OPT_GET_ASB: return "OPT_GET_ASB";
    case OPT_REC_RAW: return "OPT_REC_RAW";
    default: return "unknown";
    }
}

std::vector<BYTE> DiscoveryReply(std::span<const BYTE> query, const std::array<BYTE, 6>& mac,
                                 const std::string& address, const std::string& name) {
    std::vector<BYTE> r(DISCOVERY_REPLY_LEN, 0);
    std::vector<BYTE> h = StatusReplyHeader(query, 0, static_cast<WORD>(DISCOVERY_REPLY_LEN - STATUS_MSG_LEN));
    std::copy(h.begin(), h.end(), r.begin());
    std::string macText = StrPrintf("%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    std::memcpy(&r[29], macText.data(), 12);
    // The address field is 16 bytes and the name 33, each zero-padded.
    std::memcpy(&r[41], address.data(), std::min<std::size_t>(address.size(), 15));
    std::memcpy(&r[57], name.data(), std::min<std::size_t>(name.size(), 32));
    return r;
}

std::string HexBytes(std::span<const BYTE> data) {
    std::string s;
    s.reserve(data.size() * 3);
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i) s.push_back(' ');
        s += StrPrintf("%02X", data[i]);
    }
    return s;
}

}  // namespace sim
