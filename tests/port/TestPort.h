#pragma once
// A real driver over a socket pair that the test controls: the test holds the peer end, so
// writes block until the test reads and reads return what the test sent.
#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"
#include "port/Common.h"

inline constexpr DWORD KIND_TEST = 50;        // the test driver
inline constexpr DWORD KIND_TEST_NOINIT = 51;  // its construction fails
inline constexpr DWORD KIND_TEST_SINK = 52;   // the peer swallows everything by itself

class CTestPort;

// The device behind one test port; outlives the driver so the test can inspect it.
struct TestDevice {
    UniqueFd fdPort;  // the driver's end
    UniqueFd fdPeer;  // the test's end
    Event evtBlocked{true, false};  // the sending thread found the device full
    std::atomic<CTestPort*> pPort{nullptr};
    std::atomic<DWORD> dwOpenError{0};
    std::atomic<DWORD> dwReadError{0};
    std::atomic<BOOL> bResetOk{TRUE};
    std::atomic<BOOL> bCancelOk{TRUE};
    std::atomic<int> nOpen{0}, nClose{0}, nReset{0}, nCancel{0}, nTerm{0}, nDestroyed{0};
    std::atomic<BOOL> bLastCloseFlag{FALSE};
    std::atomic<DWORD> nUseCountAtClose{0xFFFFFFFFu};
    // The sink for KIND_TEST_SINK.
    Event evtStopSink{true, false};
    Thread sink;

    ~TestDevice();
    // The device of the open port of that name (or the last one made under it).
    static std::shared_ptr<TestDevice> Find(const std::string& name);
    // Reads from the peer until cb bytes came or the peer saw nothing for dwIdle ms.
    std::string DrainPeer(size_t cbWanted, DWORD dwIdle = 2000);
    void SendFromPeer(const std::string& data);
    // The threads that ran the driver's writes, each once, in the order they first did.
    std::vector<pid_t> SendingThreads() const;
    void NoteSendingThread();

private:
    mutable std::mutex m_tidMutex;
    std::vector<pid_t> m_sendingTids;
};

class CTestPort : public CCommon {
public:
    CTestPort(const char* pszName, std::shared_ptr<TestDevice> pDevice, bool bInitOk);
    ~CTestPort() override;

    BOOL Init() override;
    void Term() override;
    BOOL Write(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) override;
    BOOL Read(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout) override;
    BOOL Reset() override;
    BOOL Cancel() override;
    BOOL Open() override;
    void Close(BOOL bFlag) override;
    BOOL IsConnect() override { return TRUE; }

protected:
    bool BeginSending() override;
    bool WaitUntilWritable() override;
    DWORD OnSendFault(DWORD) override { return ERROR_WRITE_FAULT; }

private:
    std::shared_ptr<TestDevice> m_pDevice;
    Event m_evtAbortIo{true, false};  // what Cancel does to pending device I/O
};

// A device for a driver made directly by a test.
std::shared_ptr<TestDevice> MakeTestDevice(const std::string& name);

// Registers the test kinds; idempotent.
void RegisterTestPortKinds();
