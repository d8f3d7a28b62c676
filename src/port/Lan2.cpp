#include "port/Lan2.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/PortLog.h"

namespace {

constexpr const char* kChannelName[2] = {"26100", "9100"};
constexpr DWORD kIcmpIntervalMs = 500;
constexpr DWORD kIcmpTimeoutMs = 2000;
constexpr DWORD kConnectStepMs = 5000;
constexpr char kEchoPayload[] = "ZAQ VK";

// Successful connects per channel, for the log only.
std::atomic<int> g_nConnectCount[2];

const char* WsaErrorName(DWORD dwError) {
    switch (dwError) {
        case WSAEPROTONOSUPPORT: return "WSA_EPROTONOSUPPORT";
        case WSAECONNABORTED: return "WSA_ECONNABORTED";
        case WSAECONNRESET: return "WSA_ECONNRESET";
        case WSAESHUTDOWN: return "WSA_ESHUTDOWN";
        default: return nullptr;
    }
}

}  // namespace

std::unique_ptr<CCommon> MakeLanPort(const char* pszName) { return std::make_unique<CLan>(pszName); }

// KELVO_LAN_PORTS="data,status" moves the two TCP ports, for printers behind a port
// forward and for tests that must not depend on 9100 and 26100 being free.
static void LanPortsFromEnvironment(std::uint16_t* pwData, std::uint16_t* pwStatus) {
    const char* pszPorts = std::getenv("KELVO_LAN_PORTS");
    unsigned data = 0, status = 0;
    if (pszPorts == nullptr || std::sscanf(pszPorts, "%u,%u", &data, &status) != 2) return;
    if (data == 0 || data > 65535 || status == 0 || status > 65535) return;
    *pwData = static_cast<std::uint16_t>(data);
    *pwStatus = static_cast<std::uint16_t>(status);
}

CLan::CLan(const char* pszName) : CSocketPort(true) {
    DWORD dwIcmpError = hIcmp.Valid() ? 0 : GetLastError();
    dwLastIcmpTick = GetTickCount() - 3500;  // the first probe goes out at once
    std::uint16_t wPort[2] = {kPort[SOCK_STATUS], kPort[SOCK_DATA]};
    LanPortsFromEnvironment(&wPort[SOCK_DATA], &wPort[SOCK_STATUS]);
    for (int i = 0; i < 2; ++i) {
        addrPort[i].sin_family = AF_INET;
        addrPort[i].sin_port = htons(wPort[i]);
    }
    if (pszName != nullptr && pszName[0] != '\0') pszPortName = pszName;
    if (hSyncOpt.Valid() && !pszPortName.empty() && hIcmp.Valid()) {
        bSuccessInit = TRUE;
        PORT_LOG(LOG_INFO, "[%s] CLan", PortName());
    } else {
        m_dwInitError = dwIcmpError != 0 ? dwIcmpError : ERROR_OUTOFMEMORY;
        SetLastError(m_dwInitError);
        PORT_LOG(LOG_ERROR, "[%s] CLan [PARAMETER] [hSyncOpt:%08x,pszPortName:%08x,hIcmp:%08x]", PortName(),
                 hSyncOpt.Valid() ? 1u : 0u, pszPortName.empty() ? 0u : 1u, hIcmp.Valid() ? 1u : 0u);
    }
}

CLan::~CLan() {
    PORT_LOG(LOG_INFO, "[%s] ~CLan IoCancelRequest()", PortName());
    IoCancelRequest();
    PORT_LOG(LOG_INFO, "[%s] ~CLan Term()", PortName());
    Term();
    PORT_LOG(LOG_INFO, "[%s] ~CLan WaitForSingleObject()", PortName());
    WaitForEvent(hSyncOpt, INFINITE);
    PORT_LOG(LOG_DEBUG, "[%s] ~CLan FreeSplStr()", PortName());
}

// ---- Address and reachability ----

// Init runs under the service's entry lock, so it takes only the address lock: csSocket may
// be held for a whole connect, probe or orderly close, and every other call on the port,
// cancel and close among them, would stall behind the entry lock meanwhile.
BOOL CLan::Init() {
    std::lock_guard lock(csAddress);
    return CSocketPort::Init();
}

// Nothing is connected or probed without an address: an unset one would reach this
// machine itself. Under csAddress.
BOOL CLan::SetSockAddr() {
    in_addr addr{};
    if (::inet_pton(AF_INET, pszPortName.c_str(), &addr) != 1) {
        SetLastError(ERROR_INVALID_NAME);
        PORT_LOG(LOG_ERROR, "[%s] SetSockAddr Init() not an IPv4 address", PortName());
        pszHostAddress = false;
        return FALSE;
    }
    for (auto& a : addrPort) a.sin_addr = addr;
    m_dwHostAddr = addr.s_addr;
    pszHostAddress = true;
    return TRUE;
}

BOOL CLan::Open() {
    if (HasStatus(PM_STATUS_OFFLINE | PM_STATUS_CLOSED)) {
        if (!IsConnect()) return FALSE;
        ClearStatusBits(PM_STATUS_CLOSED);
    }
    PORT_LOG(LOG_DEBUG, "[%s] Open()", PortName());
    return TRUE;
}

BOOL CLan::IsConnect() {
    std::lock_guard probe(csIcmp);
    DWORD dwNow = GetTickCount();
    bool bReachable;
    if (dwNow - dwLastIcmpTick < kIcmpIntervalMs) {
        bReachable = !HasStatus(PM_STATUS_OFFLINE);
    } else {
        dwLastIcmpTick = dwNow;
        DWORD cbData = 0;
        in_addr addr{m_dwHostAddr.load()};
        bReachable = hIcmp.Valid() && pszHostAddress &&
                     hIcmp.Echo(addr, kEchoPayload, sizeof kEchoPayload - 1, kIcmpTimeoutMs, &cbData);
        if (!bReachable) PORT_LOG(LOG_ERROR, "[%s] IsConnect [dwRetVal=0]", PortName());
    }
    bool bOffline = HasStatus(PM_STATUS_OFFLINE);
    if (bReachable && bOffline) {
        ClearStatusBits(PM_STATUS_OFFLINE);
        PORT_LOG(LOG_INFO, "[%s] [ONLINE]", PortName());
    } else if (!bReachable && !bOffline) {
        SetStatusBits(PM_STATUS_OFFLINE);
        PORT_LOG(LOG_WARNING, "[%s] [OFFLINE]", PortName());
    }
    if (bReachable) return TRUE;
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
}

BOOL CLan::WaitWlan(BOOL bConnect, DWORD dwTimeout) {
    const char* pszWait = bConnect ? "Waiting wlan connect" : "Waiting wlan disconnect";
    PORT_LOG(LOG_ACTION, "[%s] %s", PortName(), pszWait);
    Deadline deadline(dwTimeout);
    for (;;) {
        BOOL bReachable = IsConnect();
        if (bReachable && bConnect) {
            PORT_LOG(LOG_DEBUG, "[ Online : (IP : %s) ]", PortName());
            return TRUE;
        }
        if (!bReachable && !bConnect) {
            PORT_LOG(LOG_DEBUG, "[ Offline ]");
            return TRUE;
        }
        if (deadline.Expired()) {
            PORT_LOG(LOG_ERROR, " %s : Timeout( %dms )", pszWait, static_cast<int>(dwTimeout));
            return FALSE;
        }
        if (WaitForEvent(hEvtTerm, 1000) == WAIT_OBJECT_0) return FALSE;
    }
}

// ---- Channels ----

BOOL CLan::SetSocketOptions(int fd, int index) {
    if (!SetStreamOptions(fd, index == SOCK_DATA ? static_cast<int>(kChunk) : 0)) return FALSE;
    timeval snd{1, 0};
    if (index == SOCK_STATUS && ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &snd, sizeof snd) != 0) {
        SetLastErrorFromSocketErrno(errno);
        PORT_LOG(LOG_ERROR, "[%s] setsockopt SO_SNDTIMEO. [WSAERR:%d]", PortName(), static_cast<int>(GetLastError()));
        return FALSE;
    }
    return TRUE;
}

// Waits for a non-blocking connect in 5000 ms steps; destruction, cancel and the run's
// abort end the wait.
bool CLan::WaitForConnect(int fd, int index) {
    const char* pszChannel = kChannelName[index];
    Deadline step(kConnectStepMs);
    std::array items{TermItem(), CancelItem(), WaitItem::ForFd(fd, POLLOUT), AbortItem()};
    DWORD dwWait = WaitForAny(items, kConnectStepMs);
    if (dwWait == WAIT_TIMEOUT) {
        SetLastError(ERROR_TIMEOUT);
        if (!HasStatus(PM_STATUS_OFFLINE)) {
            PORT_LOG(LOG_WARNING, "[%s] OpenSocket connect() [%s,TIMEOUT:%d/%dms,WSAERR:%d]", PortName(), pszChannel,
                     static_cast<int>(step.Elapsed()), static_cast<int>(kConnectStepMs), static_cast<int>(WSAETIMEDOUT));
        }
        return false;
    }
    if (dwWait != WAIT_OBJECT_0 + 2) {
        SetLastError(dwWait == WAIT_FAILED ? GetLastError() : ERROR_CANCELLED);
        PORT_LOG(LOG_ERROR, "[%s] OpenSocket WSAWaitForMultipleEvents() [%s,UNKNOWN:%08x]", PortName(), pszChannel, dwWait);
        return false;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    int nCount = g_nConnectCount[index];
    if (err == 0) {
        nCount = ++g_nConnectCount[index];
        PORT_LOG(LOG_DEBUG, "[%s] OpenSocket connect() [%s / count:%d]", PortName(), pszChannel, nCount);
        return true;
    }
    SetLastErrorFromSocketErrno(err);
    PORT_LOG(GetLastError() == WSAECONNREFUSED ? LOG_WARNING : LOG_ERROR, "[%s] OpenSocket connect() [%s] [iError:%d / count:%d]",
             PortName(), pszChannel, static_cast<int>(GetLastError()), nCount);
    return false;
}

bool CLan::ConnectSocket(UniqueFd& sock, int index) {
    const char* pszChannel = kChannelName[index];
    PORT_LOG(LOG_DEBUG, "[%s] OpenSocket connect() [%s,count:%d]", PortName(), pszChannel,
             static_cast<int>(g_nConnectCount[index]));
    sockaddr_in addr{};
    {
        std::lock_guard lock(csAddress);
        addr = addrPort[index];
    }
    if (::connect(sock.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
        int nCount = ++g_nConnectCount[index];
        PORT_LOG(LOG_DEBUG, "[%s] OpenSocket connect() [%s] [Non blocking mode / count:%d]", PortName(), pszChannel, nCount);
        return true;
    }
    if (errno != EINPROGRESS) {
        SetLastErrorFromSocketErrno(errno);
        PORT_LOG(LOG_ERROR, "[%s] connect() [%s,WSAERR:%d,count:%d]", PortName(), pszChannel,
                 static_cast<int>(GetLastError()), static_cast<int>(g_nConnectCount[index]));
        return false;
    }
    return WaitForConnect(sock.Get(), index);
}

BOOL CLan::OpenSocket(int index) {
    if (index < 0 || index >= 2) {
        SetLastError(ERROR_INVALID_PARAMETER);
        PORT_LOG(LOG_ERROR, "[%s] OpenSocket [BAD_PORTTYPE:%d]", PortName(), index);
        return FALSE;
    }
    std::lock_guard lock(csSocket);
    if (HasStatus(PM_STATUS_OFFLINE) && !IsConnect()) return sockPort[index].Valid() ? TRUE : FALSE;
    if (sockPort[index]) return TRUE;
    const char* pszChannel = kChannelName[index];
    PORT_LOG(LOG_DEBUG, "[%s] OpenSocket socket() [%s,count:%d]", PortName(), pszChannel,
             static_cast<int>(g_nConnectCount[index]));
    UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!sock) {
        SetLastErrorFromSocketErrno(errno);
        PORT_LOG(LOG_ERROR, "[%s] OpenSocket socket() error [WSAERR:%d]", PortName(), static_cast<int>(GetLastError()));
    } else if (pszHostAddress && ConnectSocket(sock, index)) {
        int flags = ::fcntl(sock.Get(), F_GETFL);
        ::fcntl(sock.Get(), F_SETFL, flags & ~O_NONBLOCK);
        SetSocketOptions(sock.Get(), index);
        sockPort[index] = std::move(sock);
        return TRUE;
    }
    DWORD dwError = GetLastError();
    if (sock) {
        PORT_LOG(LOG_WARNING, "[%s] OpenSocket closesocket() by connect() error [%s]", PortName(), pszChannel);
        ::shutdown(sock.Get(), SHUT_RDWR);
        sock.Reset();
    }
    if (index == SOCK_STATUS) IsConnect();
    // A refused or reset connect keeps its own code; everything else reads as a timeout.
    SetLastError(dwError >= WSAEINTR && dwError <= WSAEHOSTUNREACH && dwError != WSAETIMEDOUT ? dwError : ERROR_TIMEOUT);
    return FALSE;
}

BOOL CLan::IsSendBusy(int fd) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0) return FALSE;
    dwLastSendTick = GetTickCount();
    return TRUE;
}

void CLan::ShutdownSocket(int fd) {
    ::shutdown(fd, SHUT_WR);
    DrainForClose(fd);
    ::shutdown(fd, SHUT_RD);
}

bool CLan::KeepDraining(DWORD dwError) {
    if (dwError == WSAETIMEDOUT) return WaitWlan(TRUE, 3000) != FALSE;
    if (const char* pszName = WsaErrorName(dwError)) PORT_LOG(LOG_ERROR, "%s", pszName);
    return true;
}

// Under csSocket: the orderly close of the data channel, when it is open.
void CLan::CloseDataChannel() {
    if (!sockPort[SOCK_DATA]) return;
    ShutdownSocket(sockPort[SOCK_DATA].Get());
    sockPort[SOCK_DATA].Reset();
}

void CLan::CloseSocket(int index) {
    std::lock_guard lock(csSocket);
    UniqueFd& sock = sockPort[index];
    if (!sock) return;
    if (index == SOCK_STATUS) {
        ::shutdown(sock.Get(), SHUT_WR);
        char scratch[1024];
        while (::recv(sock.Get(), scratch, sizeof scratch, 0) > 0) {
        }
        ::shutdown(sock.Get(), SHUT_RD);
        sock.Reset();
        return;
    }
    bool bKeep = bSendThread || GetTickCount() - dwLastSendTick < 1000 || HasStatus(PM_STATUS_OFFLINE) ||
                 IsSendBusy(sock.Get());
    if (bKeep) {
        PORT_LOG(LOG_DEBUG, "[%s] CloseSocket bKeepConnect=TRUE [%s]", PortName(), kChannelName[SOCK_DATA]);
        return;
    }
    CloseDataChannel();
}

BOOL CLan::Cancel() {
    PORT_LOG(LOG_INFO, "[%s] Cancel CloseSocket(9100)", PortName());
    std::lock_guard lock(csSocket);
    CloseDataChannel();
    return TRUE;
}

void CLan::Term() {
    PORT_LOG(LOG_INFO, "[%s] Term CloseSocket() [9100]", PortName());
    std::lock_guard lock(csSocket);
    CloseDataChannel();
}

void CLan::Close(BOOL /*bFlag*/) {
    LastErrorGuard keep;
    PORT_LOG(LOG_DEBUG, "[%s] Close CloseSocket() [26100]", PortName());
    CloseSocket(SOCK_STATUS);
    PORT_LOG(LOG_DEBUG, "[%s] Close CloseSocket() [9100]", PortName());
    {
        std::lock_guard lock(csSocket);
        CloseDataChannel();
    }
    SetStatusBits(PM_STATUS_CLOSED);
}

// ---- Writing ----

// The data channel broke under the sending thread: close it in the orderly way under the
// control lock. A reset or cancel that is stopping this thread holds that lock and closes
// the channel itself, so the thread never waits for it then.
DWORD CLan::OnSendFault(DWORD dwError) {
    SetLastError(dwError);
    PORT_LOG(LOG_WARNING, "[%s] ThreadSendTcp CloseSocket(9100) [WSAERR:%d]", PortName(), static_cast<int>(dwError));
    if (const DWORD dwStop = TakeCtrlAfterSendFault(); dwStop != 0) return dwStop;
    {
        std::lock_guard lock(csSocket);
        CloseDataChannel();
    }
    ReleaseCtrlFunc();
    return ERROR_WRITE_FAULT;
}
