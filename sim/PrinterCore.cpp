#include "sim/PrinterCore.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <string_view>

#include "platform/Text.h"

namespace sim {
namespace {

bool Reached(DWORD now, DWORD when) { return static_cast<std::int32_t>(now - when) >= 0; }
DWORD Until(DWORD now, DWORD when) { return Reached(now, when) ? 0 : when - now; }
const char* SetName(CmdSet s) {
    return s == CmdSet::Standard ? "standard" : s == CmdSet::Extended ? "extended" : "shared";
}
constexpr std::size_t kMaxBlocksListed = 512;

}  // namespace

PrinterCore::PrinterCore(const Config& config, Transcript& transcript)
    : m_transcript(transcript), m_timing(config.timing), m_state(config.state), m_faults(config.faults),
      m_szStoreDir(config.szStoreDir) {
    if (m_state.szVersion.empty()) m_state.szVersion = DefaultVersionText(m_state.bTypeId, m_state.bRomId);
}

void PrinterCore::Begin(DWORD now) {
    m_dwTokenTick = now;
    if (m_faults.dwBusyMs) {
        m_bBusy = true;
        m_dwBusyEnd = now + m_faults.dwBusyMs;
        m_transcript.Add("busy", std::move(Fields().Int("ms", m_faults.dwBusyMs)));
    }
}

// A slow reader still takes bites of some size, about 50 a second, not one per tick.
double PrinterCore::MinBite() const { return std::max(1.0, m_faults.dwReadRate / 50.0); }

bool PrinterCore::IsBusy(DWORD now) const { return m_bBusy && !Reached(now, m_dwBusyEnd); }

bool PrinterCore::DataReadable(DWORD now) const { return m_phase != Phase::Down && !IsBusy(now); }

std::size_t PrinterCore::DataBudget(DWORD now) {
    if (m_faults.dwReadRate == 0) return std::numeric_limits<std::size_t>::max();
    double burst = std::max(1.0, m_faults.dwReadRate / 20.0);
    m_dTokens = std::min(burst, m_dTokens + m_faults.dwReadRate * double(now - m_dwTokenTick) / 1000.0);
    m_dwTokenTick = now;
    return m_dTokens < MinBite() ? 0 : static_cast<std::size_t>(m_dTokens);
}

void PrinterCore::OnDataBytes(std::span<const BYTE> data, DWORD now, unsigned nConn) {
    if (m_faults.dwReadRate) m_dTokens -= static_cast<double>(data.size());
    if (m_phase == Phase::Flashing) {
        m_cbFlashIgnored += data.size();
        return;
    }
    if (m_phase == Phase::Down) return;
    m_nConn = nConn;
    if (m_faults.bImagePerConnection && m_mode != Mode::Command && nConn != m_nTransferConn) {
        // The image ended with its connection; what comes on another one is no part of it.
        AbortTransfer("incomplete");
        m_pending.clear();
    }
    m_pending.insert(m_pending.end(), data.begin(), data.end());
    ParseCommands(now);
}

void PrinterCore::ParseCommands(DWORD now) {
    while (!m_pending.empty() && m_phase == Phase::Up) {
        if (m_mode == Mode::Firmware) {
            FeedFirmware(m_pending, now);
            continue;
        }
        if (m_mode == Mode::Data) {
            std::size_t cb = m_pending.size();
            if (!CountTransfer(cb)) return;
            std::span<const BYTE> bytes(m_pending);
            // The leading bytes a kind's checksum leaves out are received but not counted.
            DWORD cbSkip = m_pKind->cbSkip > m_cbData ? std::min<DWORD>(m_pKind->cbSkip - m_cbData, DWORD(cb)) : 0;
            m_wDataSum = Sum16(bytes.subspan(cbSkip), m_wDataSum);
            m_image.insert(m_image.end(), bytes.begin(), bytes.end());
            m_cbData += static_cast<DWORD>(cb);
            m_dwLastData = now;
            m_pending.clear();
            continue;
        }
        const CommandPattern* pFull = nullptr;
        bool bPartial = false;
        for (const CommandPattern& p : CommandPatterns()) {
            Match m = MatchPattern(p, m_pending);
            if (m == Match::Full) {
                pFull = &p;
                break;
            }
            bPartial = bPartial || m == Match::Partial;
        }
        if (pFull) {
            std::vector<BYTE> frame(m_pending.begin(), m_pending.begin() + pFull->bytes.size());
            m_pending.erase(m_pending.begin(), m_pending.begin() + pFull->bytes.size());
            FlushIgnored();
            HandleCommand(*pFull, frame, now);
        } else if (bPartial) {
            return;  // wait for the rest of the frame
        } else {
            // Anything else is text to a printer; NUL padding included.
            ++m_cbIgnored;
            m_pending.erase(m_pending.begin());
        }
    }
}

void PrinterCore::FlushIgnored() {
    if (!m_cbIgnored) return;
    m_transcript.Add("ignored", std::move(Fields().Int("bytes", static_cast<long long>(m_cbIgnored))));
    m_cbIgnored = 0;
}

void PrinterCore::HandleCommand(const CommandPattern& p, std::span<const BYTE> frame, DWORD now) {
    BYTE bArg = p.wildIndex >= 0 ? frame[p.wildIndex] : 0;
    bool bSetRefused = (p.set == CmdSet::Standard && m_state.sets == CommandSets::Extended) ||
                       (p.set == CmdSet::Extended && m_state.sets == CommandSets::Standard);
    switch (p.cmd) {
    case Cmd::DeviceId: {
        BYTE b = m_state.bTypeId;
        Answer(p, bArg, p.set, FrameNibbles(p.set, {&b, 1}),
               bSetRefused ? "command set" : m_state.bBootMode ? "boot mode" : nullptr);
        break;
    }
    case Cmd::RomId: {
        BYTE b = m_state.bRomId;
        Answer(p, bArg, p.set, FrameNibbles(p.set, {&b, 1}), bSetRefused ? "command set" : nullptr);
        break;
    }
    case Cmd::FwVersion:
        Answer(p, bArg, p.set, FrameText(p.set, m_state.szVersion), bSetRefused ? "command set" : nullptr);
        break;
    case Cmd::FontChecksum: {
        const KindInfo* pKind = KindByQueryLetter(bArg);
        WORD w = pKind ? m_state.wChecksum[pKind->kind] : 0;
        BYTE le[2] = {static_cast<BYTE>(w & 0xFF), static_cast<BYTE>(w >> 8)};
        Answer(p, bArg, CmdSet::Standard, FrameNibbles(CmdSet::Standard, le), pKind ? nullptr : "unknown kind");
        break;
    }
    case Cmd::Download: {
        const KindInfo* pKind = KindByHeaderLetter(bArg);
        if (!pKind) {
            Answer(p, bArg, CmdSet::None, {}, "unknown kind");
            break;
        }
        m_pKind = pKind;
        m_cbData = 0;
        m_wDataSum = 0;
        m_dwLastData = now;
        m_mode = Mode::Data;
        BeginTransfer(pKind->pszPrefix, p.bytes.size());
        m_image.assign(frame.begin(), frame.end());
        break;
    }
    case Cmd::FirmwareImage:
        m_mode = Mode::Firmware;
        m_bFwHeader = false;
        m_fwHeaderBytes.assign(frame.begin(), frame.end());
        m_cbFwPayload = 0;
        m_wFwSum = 0;
        BeginTransfer("FW", p.bytes.size());
        m_image.assign(frame.begin(), frame.end());
        break;
    case Cmd::PostUpdate:
        m_transcript.Add("post_update", std::move(Fields().Str("command", p.pszName)));
        break;
    case Cmd::RealReset:
        m_transcript.Add("command", std::move(Fields().Str("name", p.pszName).Str("set", "shared").Bool("answered", false)));
        GoDown(now, "real_reset", m_timing.dwRestartMs);
        break;
    case Cmd::Unknown:
        Answer(p, bArg, p.set, {}, "unknown function");
        break;
    }
}

void PrinterCore::Answer(const CommandPattern& p, BYTE bArg, CmdSet set, std::vector<BYTE> answer,
                         const char* pszNoAnswer) {
    if (!pszNoAnswer && m_faults.bSilent) pszNoAnswer = "silent";
    if (!pszNoAnswer && m_faults.bGarbage) answer = Garbage(answer.size(), &m_nFill);
    if (!pszNoAnswer && m_state.bSprinkle) answer = Sprinkle(answer, &m_nFill);
    Fields f;
    f.Str("name", p.pszName).Str("set", SetName(set));
    if (p.wildIndex >= 0) f.Int("arg", bArg);
    if (pszNoAnswer) {
        f.Bool("answered", false).Str("reason", pszNoAnswer);
    } else {
        f.Bool("answered", true).Str("answer", HexBytes(answer));
        m_answers.insert(m_answers.end(), answer.begin(), answer.end());
    }
    m_transcript.Add("command", std::move(f));
}

void PrinterCore::BeginTransfer(const char* pszKind, std::size_t cbHeader) {
    m_szTransferKind = pszKind;
    m_cbTransfer = 0;
    m_nTransferConn = m_nConn;
    m_image.clear();
    // Firmware is announced once its own header has been read and checked.
    if (m_szTransferKind != "FW") m_transcript.Add("transfer_begin", std::move(Fields().Str("kind", pszKind)));
    // The recognised header counts as the first bytes of the transfer; the read sizes
    // list what came after it.
    CountTransfer(cbHeader);
    m_reads.clear();
    m_nReads = 0;
}

bool PrinterCore::CountTransfer(std::size_t cb) {
    bool bArmed = m_faults.cbDropAfter && m_nDropsDone < m_faults.nDropCount;
    if (bArmed && m_cbTransfer + cb >= m_faults.cbDropAfter) {
        ++m_nDropsDone;
        m_cbTransfer = m_faults.cbDropAfter;
        m_transcript.Add("drop", std::move(Fields().Str("kind", m_szTransferKind).Int("after", m_faults.cbDropAfter)));
        AbortTransfer("dropped");
        m_pending.clear();
        m_actions.bDropData = true;
        return false;
    }
    m_cbTransfer += static_cast<DWORD>(cb);
    ++m_nReads;
    if (m_reads.size() < kMaxBlocksListed) m_reads.push_back(static_cast<DWORD>(cb));
    return true;
}

void PrinterCore::FeedFirmware(std::span<const BYTE> data, DWORD now) {
    std::size_t cbUsed = 0;
    if (!m_bFwHeader) {
        cbUsed = std::min(data.size(), FW_HEADER_LEN - m_fwHeaderBytes.size());
        m_fwHeaderBytes.insert(m_fwHeaderBytes.end(), data.begin(), data.begin() + cbUsed);
        if (m_fwHeaderBytes.size() == FW_HEADER_LEN) {
            if (!ParseFirmwareHeader(m_fwHeaderBytes, &m_fw)) {
                m_pending.erase(m_pending.begin(), m_pending.begin() + cbUsed);
                AbortTransfer("rejected");
                return;
            }
            m_bFwHeader = true;
            m_transcript.Add("transfer_begin", std::move(Fields()
                                                             .Str("kind", "FW")
                                                             .Int("type_id", m_fw.bTypeId)
                                                             .Int("rom_id", m_fw.bRomId)
                                                             .Str("version", m_fw.szVersion)
                                                             .Int("length", m_fw.cbPayload)));
        }
    }
    std::size_t cbPayload = 0;
    if (m_bFwHeader) cbPayload = std::min<std::size_t>(data.size() - cbUsed, m_fw.cbPayload - m_cbFwPayload);
    std::size_t cbTotal = cbUsed + cbPayload;
    // Count first: the drop fault may cut the link inside this read.
    if (!CountTransfer(cbTotal)) return;
    m_image.insert(m_image.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cbTotal));
    m_wFwSum = Sum16(data.subspan(cbUsed, cbPayload), m_wFwSum);
    m_cbFwPayload += static_cast<DWORD>(cbPayload);
    m_pending.erase(m_pending.begin(), m_pending.begin() + cbTotal);
    if (m_bFwHeader && m_cbFwPayload == m_fw.cbPayload) FinishFirmware(now);
}

void PrinterCore::FinishFirmware(DWORD now) {
    m_mode = Mode::Command;
    const char* pszProblem = nullptr;
    if (m_fw.bTypeId != m_state.bTypeId)
        pszProblem = "type";
    else if (m_fw.wPayloadSum != m_wFwSum)
        pszProblem = "checksum";
    if (pszProblem) {
        EndTransferEvent("rejected", std::move(Fields().Str("reason", pszProblem)));
        return;
    }
    EndTransferEvent("stored", std::move(Fields().Int("rom_id", m_fw.bRomId)));
    m_fwPending = m_fw;
    m_bFwPending = true;
    m_phase = Phase::Flashing;
    m_dwPhaseEnd = now + m_timing.dwFlashMs;
    m_cbFlashIgnored = 0;
    m_pending.clear();
    m_transcript.Add("flash_write", std::move(Fields().Int("ms", m_timing.dwFlashMs)));
}

void PrinterCore::FinishData(DWORD now, const char* pszEnd) {
    (void)now;
    m_mode = Mode::Command;
    WORD wOld = m_state.wChecksum[m_pKind->kind];
    if (m_cbData == 0) {
        EndTransferEvent("empty", std::move(Fields().Str("end", pszEnd)));
        return;
    }
    m_state.wChecksum[m_pKind->kind] = m_wDataSum;
    EndTransferEvent("stored", std::move(Fields().Str("end", pszEnd).Int("data_bytes", m_cbData).Int("checksum", m_wDataSum).Int("old_checksum", wOld)));
}

// For a printer in another process (or machine) than the test that checks what it stored.
void PrinterCore::WriteStored(const std::vector<BYTE>& image) {
    ++m_nStoredWritten;
    const std::string path = StrPrintf("%s/%u-%s.bin", m_szStoreDir.c_str(), m_nStoredWritten, m_szTransferKind.c_str());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
}

void PrinterCore::EndTransferEvent(const char* pszResult, Fields extra) {
    m_lastImage = std::move(m_image);
    m_image.clear();
    if (std::string_view(pszResult) == "stored") {
        m_stored.push_back(StoredImage{m_szTransferKind, m_lastImage});
        if (m_stored.size() > 16) m_stored.pop_front();
        if (!m_szStoreDir.empty()) WriteStored(m_lastImage);
    }
    Fields f;
    f.Str("kind", m_szTransferKind).Str("result", pszResult).Int("bytes", m_cbTransfer).Int("reads", m_nReads).IntList("blocks", m_reads);
    f.Append(std::move(extra));
    m_transcript.Add("transfer_end", std::move(f));
}

void PrinterCore::AbortTransfer(const char* pszResult) {
    if (m_mode == Mode::Command) return;
    m_mode = Mode::Command;
    EndTransferEvent(pszResult, Fields());
}

void PrinterCore::OnDataLinkEnd(DWORD now, unsigned nConn) {
    if (m_phase != Phase::Up) return;
    if (m_faults.bImagePerConnection && m_mode != Mode::Command) {
        if (nConn != m_nTransferConn) return;
        AbortTransfer("incomplete");
        m_pending.clear();
        return;
    }
    if (m_mode == Mode::Data) FinishData(now, "link");
    else if (m_mode == Mode::Firmware) AbortTransfer("incomplete");
    m_pending.clear();
}

std::vector<BYTE> PrinterCore::TakeAnswers(std::size_t cbMax) {
    std::size_t n = std::min(cbMax, m_answers.size());
    std::vector<BYTE> out(m_answers.begin(), m_answers.begin() + n);
    m_answers.erase(m_answers.begin(), m_answers.begin() + n);
    return out;
}

std::vector<BYTE> PrinterCore::StatusBytes(DWORD now) const {
    std::vector<BYTE> s(8, 0);
    s[0] = static_cast<BYTE>((IsBusy(now) ? 0x08 : 0) | (m_state.bBootMode ? 0x01 : 0) |
                             (m_phase == Phase::Flashing ? 0x20 : 0));
    s[4] = m_state.bTypeId;
    s[5] = m_state.bRomId;
    s[6] = static_cast<BYTE>(std::min<std::size_t>(m_answers.size(), 255));
    return s;
}

std::vector<BYTE> PrinterCore::OnStatusRequest(std::span<const BYTE> req, DWORD now) {
    if (m_phase == Phase::Down || req.size() < STATUS_MSG_LEN) return {};
    if (!IsStatusSignature(req)) {
        m_transcript.Add("status", std::move(Fields().Str("request", "invalid").Str("bytes", HexBytes(req))));
        return {};
    }
    BYTE cmd = req[6];
    WORD wHostCounter = static_cast<WORD>(req[9] | (req[10] << 8));
    WORD wSize = static_cast<WORD>(req[11] | (req[12] << 8));
    std::vector<BYTE> reply;
    if (cmd == OPT_GET_ASB) {
        std::vector<BYTE> st = StatusBytes(now);
        reply = StatusReplyHeader(req, 0, 8);
        reply.insert(reply.end(), st.begin(), st.end());
        m_transcript.Add("status", std::move(Fields().Str("request", "OPT_GET_ASB").Str("status", HexBytes(st))));
    } else if (cmd == OPT_REC_RAW) {
        std::vector<BYTE> data = TakeAnswers(wSize);
        m_wRecCounter = static_cast<WORD>(m_wRecCounter + data.size());
        reply = StatusReplyHeader(req, m_wRecCounter, static_cast<WORD>(data.size()));
        reply.insert(reply.end(), data.begin(), data.end());
        // Empty polls come every few milliseconds; only the ones that carry data are kept.
        if (!data.empty())
            m_transcript.Add("status", std::move(Fields()
                                                     .Str("request", "OPT_REC_RAW")
                                                     .Int("host_counter", wHostCounter)
                                                     .Int("size", wSize)
                                                     .Int("counter", m_wRecCounter)
                                                     .Str("data", HexBytes(data))));
    } else if (cmd == OPT_RESET) {
        reply = StatusReplyHeader(req, 0, 0);
        if (m_phase == Phase::Up) {
            AbortTransfer("reset");
            m_pending.clear();
        }
        m_answers.clear();
        m_transcript.Add("reset", std::move(Fields().Str("source", "OPT_RESET")));
    } else {
        reply = StatusReplyHeader(req, 0, 0);
        m_transcript.Add("status", std::move(Fields().Str("request", "unknown").Int("command", cmd)));
    }
    return reply;
}

bool PrinterCore::OnDiscoveryQuery(std::span<const BYTE> q, const std::string& address, std::vector<BYTE>* pReply) {
    if (m_phase == Phase::Down || q.size() < STATUS_MSG_LEN || !IsStatusSignature(q) || q[6] != OPT_DISCOVER) return false;
    *pReply = DiscoveryReply(q, m_state.mac, address, m_state.szName);
    return true;
}

DWORD PrinterCore::NextWake(DWORD now) const {
    DWORD ms = INFINITE;
    if (m_phase != Phase::Up) ms = std::min(ms, Until(now, m_dwPhaseEnd));
    if (m_bBusy) ms = std::min(ms, Until(now, m_dwBusyEnd));
    if (m_phase == Phase::Up && m_mode == Mode::Data && m_cbData > 0)
        ms = std::min(ms, Until(now, m_dwLastData + m_timing.dwDataIdleMs));
    if (m_faults.dwReadRate && m_dTokens < MinBite())
        ms = std::min(ms, static_cast<DWORD>((MinBite() - m_dTokens) * 1000.0 / m_faults.dwReadRate) + 1);
    return ms;
}

void PrinterCore::OnTimer(DWORD now) {
    if (m_phase == Phase::Flashing && Reached(now, m_dwPhaseEnd)) {
        if (m_cbFlashIgnored)
            m_transcript.Add("ignored", std::move(Fields().Int("bytes", static_cast<long long>(m_cbFlashIgnored)).Str("while", "flash_write")));
        GoDown(now, "firmware", m_timing.dwRestartMs);
    }
    if (m_phase == Phase::Down && Reached(now, m_dwPhaseEnd)) ComeUp(now);
    if (m_bBusy && Reached(now, m_dwBusyEnd)) {
        m_bBusy = false;
        m_transcript.Add("ready");
    }
    if (m_phase == Phase::Up && m_mode == Mode::Data && m_cbData > 0 && Reached(now, m_dwLastData + m_timing.dwDataIdleMs))
        FinishData(now, "idle");
}

void PrinterCore::PowerCycle(DWORD now, const char* pszReason) {
    m_bFwPending = false;
    GoDown(now, pszReason, m_timing.dwRestartMs);
}

void PrinterCore::GoDown(DWORD now, const char* pszReason, DWORD dwMs) {
    if (m_phase == Phase::Up) AbortTransfer("restart");
    m_mode = Mode::Command;
    m_phase = Phase::Down;
    m_dwPhaseEnd = now + dwMs;
    m_pending.clear();
    m_answers.clear();
    m_cbIgnored = 0;
    m_actions.bGoDown = true;
    m_transcript.Add("restart_begin", std::move(Fields().Str("reason", pszReason).Int("ms", dwMs)));
}

void PrinterCore::ComeUp(DWORD now) {
    m_phase = Phase::Up;
    m_wRecCounter = 0;
    if (m_bFwPending) {
        m_bFwPending = false;
        m_state.bRomId = m_faults.nWrongRomId >= 0 ? static_cast<BYTE>(m_faults.nWrongRomId) : m_fwPending.bRomId;
        m_state.szVersion = m_fwPending.szVersion;
        m_state.bBootMode = false;
    }
    m_actions.bComeUp = true;
    m_transcript.Add("restart_end", std::move(Fields()
                                                  .Int("type_id", m_state.bTypeId)
                                                  .Int("rom_id", m_state.bRomId)
                                                  .Str("version", m_state.szVersion)
                                                  .Bool("boot_mode", m_state.bBootMode)));
    Begin(now);
}

void PrinterCore::SetState(const PrinterState& state) {
    m_state = state;
    if (m_state.szVersion.empty()) m_state.szVersion = DefaultVersionText(m_state.bTypeId, m_state.bRomId);
    m_transcript.Add("state", std::move(Fields()
                                            .Int("type_id", m_state.bTypeId)
                                            .Int("rom_id", m_state.bRomId)
                                            .Str("version", m_state.szVersion)
                                            .Bool("boot_mode", m_state.bBootMode)));
}

CoreActions PrinterCore::TakeActions() {
    CoreActions a = m_actions;
    m_actions = CoreActions();
    return a;
}

}  // namespace sim
