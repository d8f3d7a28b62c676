#include "TestPort.h"

#include <sys/socket.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <mutex>

#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/Globals.h"

namespace {

constexpr DWORD DEFAULT_READ_TIME = 30;
constexpr int SMALL_SOCKET_BUFFER = 4096;

std::mutex g_devicesMutex;
// The last device made under each name stays, so a test can inspect it after the close.
std::map<std::string, std::shared_ptr<TestDevice>> g_devices;

}  // namespace

std::shared_ptr<TestDevice> MakeTestDevice(const std::string& name) {
    auto pDevice = std::make_shared<TestDevice>();
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) {
        pDevice->fdPort.Reset(fds[0]);
        pDevice->fdPeer.Reset(fds[1]);
        ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &SMALL_SOCKET_BUFFER, sizeof SMALL_SOCKET_BUFFER);
        ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &SMALL_SOCKET_BUFFER, sizeof SMALL_SOCKET_BUFFER);
    }
    std::lock_guard lock(g_devicesMutex);
    g_devices[name] = pDevice;
    return pDevice;
}

namespace {

std::shared_ptr<TestDevice> MakeDevice(const std::string& name) { return MakeTestDevice(name); }

void RunSink(TestDevice& device) {
    char buf[8192];
    for (;;) {
        std::array<WaitItem, 2> items = {WaitItem::For(device.evtStopSink), WaitItem::ForFd(device.fdPeer.Get(), POLLIN)};
        if (WaitForAny(items, INFINITE) != WAIT_OBJECT_0 + 1) return;
        while (::read(device.fdPeer.Get(), buf, sizeof buf) > 0) {
        }
    }
}

std::unique_ptr<CCommon> MakeTestPort(const char* pszName) {
    return std::make_unique<CTestPort>(pszName, MakeDevice(pszName), true);
}

std::unique_ptr<CCommon> MakeTestPortNoInit(const char* pszName) {
    return std::make_unique<CTestPort>(pszName, MakeDevice(pszName), false);
}

std::unique_ptr<CCommon> MakeTestPortSink(const char* pszName) {
    auto pDevice = MakeDevice(pszName);
    TestDevice* pRaw = pDevice.get();
    pDevice->sink.Start([pRaw]() { RunSink(*pRaw); });
    return std::make_unique<CTestPort>(pszName, std::move(pDevice), true);
}

}  // namespace

TestDevice::~TestDevice() {
    evtStopSink.Set();
    sink.WaitForEnd(INFINITE);
}

std::shared_ptr<TestDevice> TestDevice::Find(const std::string& name) {
    std::lock_guard lock(g_devicesMutex);
    auto it = g_devices.find(name);
    return it != g_devices.end() ? it->second : nullptr;
}

std::vector<pid_t> TestDevice::SendingThreads() const {
    std::lock_guard lock(m_tidMutex);
    return m_sendingTids;
}

void TestDevice::NoteSendingThread() {
    const pid_t tid = ::gettid();
    std::lock_guard lock(m_tidMutex);
    if (std::find(m_sendingTids.begin(), m_sendingTids.end(), tid) == m_sendingTids.end()) m_sendingTids.push_back(tid);
}

std::string TestDevice::DrainPeer(size_t cbWanted, DWORD dwIdle) {
    std::string data;
    char buf[8192];
    while (data.size() < cbWanted) {
        WaitItem item = WaitItem::ForFd(fdPeer.Get(), POLLIN);
        if (WaitForAny(std::span<const WaitItem>(&item, 1), dwIdle) != WAIT_OBJECT_0) break;
        ssize_t n = ::read(fdPeer.Get(), buf, sizeof buf);
        if (n <= 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    return data;
}

void TestDevice::SendFromPeer(const std::string& data) {
    (void)!::write(fdPeer.Get(), data.data(), data.size());
}

void RegisterTestPortKinds() {
    RegisterPortKind(KIND_TEST, MakeTestPort);
    RegisterPortKind(KIND_TEST_NOINIT, MakeTestPortNoInit);
    RegisterPortKind(KIND_TEST_SINK, MakeTestPortSink);
}

// ---- The driver ----

CTestPort::CTestPort(const char* pszName, std::shared_ptr<TestDevice> pDevice, bool bInitOk)
    : m_pDevice(std::move(pDevice)) {
    pszPortName = pszName;
    bSuccessInit = bInitOk && m_pDevice->fdPort.Valid() ? TRUE : FALSE;
    m_pDevice->pPort = this;
}

CTestPort::~CTestPort() {
    IoCancelRequest();
    m_pDevice->pPort = nullptr;
    ++m_pDevice->nDestroyed;
}

BOOL CTestPort::Init() {
    if (bSuccessInit) return TRUE;
    SetLastError(ERROR_OUTOFMEMORY);
    return FALSE;
}

void CTestPort::Term() { ++m_pDevice->nTerm; }

BOOL CTestPort::Open() {
    ++m_pDevice->nOpen;
    if (DWORD dwError = m_pDevice->dwOpenError) {
        SetStatusBits(PM_STATUS_OFFLINE);
        SetLastError(dwError);
        return FALSE;
    }
    ClearStatusBits(PM_STATUS_OFFLINE | PM_STATUS_CLOSED);
    return TRUE;
}

void CTestPort::Close(BOOL bFlag) {
    ++m_pDevice->nClose;
    m_pDevice->bLastCloseFlag = bFlag;
    m_pDevice->nUseCountAtClose = UseCount();
    SetStatusBits(PM_STATUS_CLOSED);
}

BOOL CTestPort::Reset() {
    ++m_pDevice->nReset;
    if (m_pDevice->bResetOk) return TRUE;
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
}

BOOL CTestPort::Cancel() {
    ++m_pDevice->nCancel;
    if (!m_pDevice->bCancelOk) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    m_evtAbortIo.Set();
    return TRUE;
}

BOOL CTestPort::Read(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout) {
    *pcbRead = 0;
    if (DWORD dwError = m_pDevice->dwReadError) {
        SetStatusBits(PM_STATUS_OFFLINE);
        SetLastError(dwError);
        return FALSE;
    }
    std::array<WaitItem, 2> items = {TermItem(), WaitItem::ForFd(m_pDevice->fdPort.Get(), POLLIN)};
    DWORD dwWait = WaitForAny(items, dwTimeout != 0 ? dwTimeout : DEFAULT_READ_TIME);
    if (dwWait == WAIT_OBJECT_0) {
        SetLastError(ERROR_CANCELLED);
        return FALSE;
    }
    if (dwWait == WAIT_OBJECT_0 + 1) {
        ssize_t n = ::read(m_pDevice->fdPort.Get(), pBuffer, cbBuffer);
        if (n > 0) *pcbRead = static_cast<DWORD>(n);
    }
    return TRUE;
}

BOOL CTestPort::Write(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) {
    // The thread keeps a device fd of its own, so a Close beside it cannot pull it away.
    hSendHandle.Reset(::dup(m_pDevice->fdPort.Get()));
    if (!hSendHandle.Valid()) return SetLastErrorFromErrno(errno);
    m_evtAbortIo.Reset();
    return WriteOnSendingThread(pBuffer, cbBuffer, pcbWritten, dwTimeout);
}

bool CTestPort::BeginSending() {
    m_pDevice->NoteSendingThread();
    return true;
}

// The device is full: the test sees it, and a Cancel aborts the wait as it would abort
// pending device I/O.
bool CTestPort::WaitUntilWritable() {
    m_pDevice->evtBlocked.Set();
    std::array<WaitItem, 4> items = {TermItem(), CancelItem(), WaitItem::For(m_evtAbortIo),
                                     WaitItem::ForFd(hSendHandle.Get(), POLLOUT)};
    const DWORD dwWait = WaitForAny(items, 100);
    return dwWait == WAIT_OBJECT_0 + 3 || dwWait == WAIT_TIMEOUT;
}
