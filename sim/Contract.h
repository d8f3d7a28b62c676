#pragma once
// The printer's side of the wire: the commands it recognises in the host's byte stream,
// the framing of its answers, its checksum rule per data kind, and the status channel
// and discovery datagrams. Declared once, as data.
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "platform/Types.h"
#include "sim/Sim.h"

namespace sim {

enum class Cmd {
    DeviceId,
    RomId,
    FwVersion,
    FontChecksum,  // argument: query letter
    Download,      // argument: header letter of a data kind
    PostUpdate,
    RealReset,
    FirmwareImage, // the simulator's own firmware header follows
    Unknown,       // a recognised frame with a function this printer does not know
};

enum class CmdSet { None, Standard, Extended };

// One pattern of the host's stream. '?' positions (wild[i]) take any byte; the byte at
// argIndex (when >= 0) is the command's argument.
struct CommandPattern {
    const char* pszName;
    Cmd cmd;
    CmdSet set;
    std::vector<BYTE> bytes;
    int wildIndex;  // one position that takes any byte, -1 for none
};

const std::vector<CommandPattern>& CommandPatterns();

enum class Match { None, Partial, Full };
// How the start of data matches the pattern.
Match MatchPattern(const CommandPattern& p, std::span<const BYTE> data);

// Answer framing. Header style 0: one byte equal to the payload style; style 1: 10 then
// 30 | payload style. Payload style E: nibble pairs (E0|low, F0|high); 2: printable text.
// Every answer ends with 00.
std::vector<BYTE> FrameNibbles(CmdSet set, std::span<const BYTE> payload);
std::vector<BYTE> FrameText(CmdSet set, std::string_view text);

// Ignorable bytes a printer may put anywhere in an answer.
bool IsIgnorable(BYTE b);
std::vector<BYTE> Sprinkle(std::span<const BYTE> answer, unsigned* pCounter);
// Bytes of the same length that hold no frame header, no end mark and no 01.
std::vector<BYTE> Garbage(std::size_t cb, unsigned* pCounter);

// Data kinds: header letter of the download, query letter of the checksum, file prefix,
// and how many leading bytes the checksum leaves out.
struct KindInfo {
    DataKind kind;
    BYTE bHeaderLetter;
    BYTE bQueryLetter;
    const char* pszPrefix;
    DWORD cbSkip;
};
const KindInfo* KindByHeaderLetter(BYTE b);
const KindInfo* KindByQueryLetter(BYTE b);
const KindInfo& KindInfoOf(DataKind kind);
// Mod-65536 sum, the way the update files are checked.
WORD Sum16(std::span<const BYTE> data, WORD wStart = 0);

// Status channel (TCP) and discovery (UDP) messages.
inline constexpr std::size_t STATUS_MSG_LEN = 13;
inline constexpr BYTE OPT_RESET = 0x40;
inline constexpr BYTE OPT_GET_ASB = 0x00;
inline constexpr BYTE OPT_REC_RAW = 0x80;
inline constexpr BYTE OPT_DISCOVER = 0x88;
inline constexpr std::size_t DISCOVERY_REPLY_LEN = 90;
bool IsStatusSignature(std::span<const BYTE> msg);  // "ZAQ" at the start
// Reply header: ZAQ 00, request bytes 4-5, command, 00 00, counter, data length.
std::vector<BYTE> StatusReplyHeader(std::span<const BYTE> request, WORD wCounter, WORD cbData);
const char* StatusCommandName(BYTE cmd);
std::vector<BYTE> DiscoveryReply(std::span<const BYTE> query, const std::array<BYTE, 6>& mac,
                                 const std::string& address, const std::string& name);

std::string HexBytes(std::span<const BYTE> data);  // "0E EF F1 00"

}  // namespace sim
