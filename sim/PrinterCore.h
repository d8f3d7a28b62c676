#pragma once
// The printer itself, without any transport: it takes the host's bytes, answers commands
// into a queue, receives transfers, writes its flash and restarts on timers. Every member
// runs under the owner's lock; the owner (PrinterLoop) carries out the actions it asks for.
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "platform/Types.h"
#include "sim/Contract.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "sim/Transcript.h"

namespace sim {

// What the transports must do after a call into the core.
struct CoreActions {
    bool bDropData = false;  // close the data links now
    bool bGoDown = false;    // restart begins: drop every link, refuse new ones
    bool bComeUp = false;    // restart over: take connections again
};

class PrinterCore {
public:
    PrinterCore(const Config& config, Transcript& transcript);

    void Begin(DWORD now);
    bool IsUp() const { return m_phase != Phase::Down; }
    bool IsBusy(DWORD now) const;
    // Data channel: may the transport read now, and how many bytes.
    bool DataReadable(DWORD now) const;
    std::size_t DataBudget(DWORD now);
    // nConn names the data connection the bytes came on (one number per connection).
    void OnDataBytes(std::span<const BYTE> data, DWORD now, unsigned nConn = 0);
    void NoteReads(std::size_t cb);  // a transport read of cb bytes (block sizes as received)
    void OnDataLinkEnd(DWORD now, unsigned nConn = 0);
    std::vector<BYTE> LastTransferImage() const { return m_lastImage; }
    std::vector<StoredImage> StoredImages() const { return {m_stored.begin(), m_stored.end()}; }

    // Answers for the host, oldest first.
    std::vector<BYTE> TakeAnswers(std::size_t cbMax);
    std::size_t AnswersQueued() const { return m_answers.size(); }

    // Status channel request (13 bytes): the whole reply, or nothing.
    std::vector<BYTE> OnStatusRequest(std::span<const BYTE> request, DWORD now);
    // Discovery query: FALSE when it is not one or the printer is down.
    bool OnDiscoveryQuery(std::span<const BYTE> query, const std::string& address, std::vector<BYTE>* pReply);

    // Milliseconds until the next timer (INFINITE for none), and the timers' work.
    DWORD NextWake(DWORD now) const;
    void OnTimer(DWORD now);
    void PowerCycle(DWORD now, const char* pszReason);

    CoreActions TakeActions();
    PrinterState State() const { return m_state; }
    void SetState(const PrinterState& state);
    Faults GetFaults() const { return m_faults; }
    // New faults start their counts afresh (the drop hits nDropCount more transfers).
    void SetFaults(const Faults& faults) {
        m_faults = faults;
        m_nDropsDone = 0;
    }

private:
    enum class Phase { Up, Flashing, Down };
    enum class Mode { Command, Firmware, Data };

    void ParseCommands(DWORD now);
    void HandleCommand(const CommandPattern& p, std::span<const BYTE> frame, DWORD now);
    void Answer(const CommandPattern& p, BYTE bArg, CmdSet set, std::vector<BYTE> answer, const char* pszNoAnswer);
    void BeginTransfer(const char* pszKind, std::size_t cbHeader);
    bool CountTransfer(std::size_t cb);  // FALSE: the drop fault hit
    void FeedFirmware(std::span<const BYTE> data, DWORD now);
    void FinishFirmware(DWORD now);
    void FinishData(DWORD now, const char* pszEnd);
    void AbortTransfer(const char* pszResult);
    void EndTransferEvent(const char* pszResult, Fields extra);
    void WriteStored(const std::vector<BYTE>& image);
    void FlushIgnored();
    void GoDown(DWORD now, const char* pszReason, DWORD dwMs);
    void ComeUp(DWORD now);
    std::vector<BYTE> StatusBytes(DWORD now) const;
    double MinBite() const;

    Transcript& m_transcript;
    Timing m_timing;
    PrinterState m_state;
    Faults m_faults;

    Phase m_phase = Phase::Up;
    DWORD m_dwPhaseEnd = 0;
    DWORD m_dwBusyEnd = 0;
    bool m_bBusy = false;
    std::string m_szRestartReason;

    Mode m_mode = Mode::Command;
    std::vector<BYTE> m_pending;  // command bytes not yet recognised
    std::size_t m_cbIgnored = 0;
    std::size_t m_cbFlashIgnored = 0;

    // The transfer under way.
    std::string m_szTransferKind;
    DWORD m_cbTransfer = 0;  // bytes of this transfer so far, headers included
    std::vector<DWORD> m_reads;
    DWORD m_nReads = 0;
    FirmwareHeader m_fw;
    bool m_bFwHeader = false;
    std::vector<BYTE> m_fwHeaderBytes;
    DWORD m_cbFwPayload = 0;
    WORD m_wFwSum = 0;
    FirmwareHeader m_fwPending;  // image that becomes active at the restart
    bool m_bFwPending = false;
    const KindInfo* m_pKind = nullptr;
    DWORD m_cbData = 0;
    WORD m_wDataSum = 0;
    DWORD m_dwLastData = 0;
    DWORD m_nDropsDone = 0;
    unsigned m_nConn = 0;          // connection of the bytes being parsed
    unsigned m_nTransferConn = 0;  // connection the transfer under way began on
    std::vector<BYTE> m_image;     // bytes of the transfer under way
    std::vector<BYTE> m_lastImage;  // of the last transfer that ended
    std::deque<StoredImage> m_stored;  // transfers that ended stored
    std::string m_szStoreDir;
    unsigned m_nStoredWritten = 0;

    std::deque<BYTE> m_answers;
    unsigned m_nFill = 0;
    WORD m_wRecCounter = 0;

    double m_dTokens = 0;
    DWORD m_dwTokenTick = 0;

    CoreActions m_actions;
};

}  // namespace sim
