#pragma once
// A port driver that replays scripted reads and writes, for engine steps driven through
// the port service without a device.
#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/LastError.h"
#include "platform/WinError.h"
#include "port/Common.h"
#include "port/Globals.h"

inline constexpr DWORD kScriptKind = 0x51;

// One reply of the driver's Read: bytes, or a failure with a last error.
struct ReadStep {
    std::vector<BYTE> bytes;
    bool bFail = false;
    DWORD dwError = 0;
};

// One answer of the driver's Write: how many bytes it takes, or a failure.
struct WriteStep {
    DWORD cbTake = 0xFFFFFFFF;  // all by default
    bool bFail = false;
    DWORD dwError = 0;          // last error of a failure, or of a partial take
};

struct Script {
    std::mutex mutex;
    std::deque<ReadStep> reads;    // after these: no data
    std::deque<WriteStep> writeSteps;  // after these: every byte taken
    bool bWriteFails = false;      // every write fails with dwWriteError
    DWORD dwWriteError = 0;
    std::vector<std::vector<BYTE>> writes;  // what was taken, write by write
    // Replies to commands: a write of exactly the key's bytes makes the reply readable
    // (once the scripted reads above are used up).
    std::vector<std::pair<std::vector<BYTE>, std::vector<BYTE>>> replies;
    std::vector<BYTE> pending;
    void Clear() {
        std::lock_guard lock(mutex);
        reads.clear();
        replies.clear();
        pending.clear();
        writeSteps.clear();
        writes.clear();
        bWriteFails = false;
        dwWriteError = 0;
    }
};
inline Script g_script;

class CScriptPort : public CCommon {
public:
    explicit CScriptPort(const char* pszName) {
        pszPortName = pszName;
        bSuccessInit = TRUE;
    }
    BOOL Init() override { return TRUE; }
    BOOL Open() override {
        ClearStatusBits(PM_STATUS_OFFLINE | PM_STATUS_CLOSED);
        return TRUE;
    }
    BOOL IsConnect() override { return TRUE; }
    void Close(BOOL) override {}
    BOOL Write(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD) override {
        std::lock_guard lock(g_script.mutex);
        if (g_script.bWriteFails) {
            SetLastError(g_script.dwWriteError);
            return FALSE;
        }
        WriteStep step;
        if (!g_script.writeSteps.empty()) {
            step = g_script.writeSteps.front();
            g_script.writeSteps.pop_front();
        }
        if (step.bFail) {
            SetLastError(step.dwError);
            return FALSE;
        }
        DWORD cbTake = std::min(step.cbTake, cbBuffer);
        g_script.writes.emplace_back(pBuffer, pBuffer + cbTake);
        for (const auto& [command, reply] : g_script.replies) {
            if (command == g_script.writes.back()) g_script.pending.insert(g_script.pending.end(), reply.begin(), reply.end());
        }
        *pcbWritten += cbTake;
        if (cbTake < cbBuffer) SetLastError(step.dwError != 0 ? step.dwError : ERROR_TIMEOUT);
        return TRUE;
    }
    BOOL Read(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD) override {
        std::lock_guard lock(g_script.mutex);
        *pcbRead = 0;
        if (g_script.reads.empty()) {
            DWORD cb = std::min<DWORD>(cbBuffer, static_cast<DWORD>(g_script.pending.size()));
            std::copy(g_script.pending.begin(), g_script.pending.begin() + cb, pBuffer);
            g_script.pending.erase(g_script.pending.begin(), g_script.pending.begin() + cb);
            *pcbRead = cb;
            return TRUE;
        }
        ReadStep step = std::move(g_script.reads.front());
        g_script.reads.pop_front();
        if (step.bFail) {
            // A device that fails a read is offline until it is opened again.
            SetStatusBits(PM_STATUS_OFFLINE);
            SetLastError(step.dwError);
            return FALSE;
        }
        DWORD cb = std::min<DWORD>(cbBuffer, static_cast<DWORD>(step.bytes.size()));
        std::copy(step.bytes.begin(), step.bytes.begin() + cb, pBuffer);
        *pcbRead = cb;
        return TRUE;
    }
    static std::unique_ptr<CCommon> Make(const char* pszName) { return std::make_unique<CScriptPort>(pszName); }
};

