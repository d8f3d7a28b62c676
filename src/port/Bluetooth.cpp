#include "port/Bluetooth.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/BlueZ.h"
#include "platform/LastError.h"
#include "platform/SdBus.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/PortLog.h"

namespace {

constexpr DWORD kConnectLimitMs = 5000;
constexpr DWORD kSleepBeforeShutMs = 1500;
constexpr const char* kBlueZ = "org.bluez";

// Open connections of every Bluetooth port, for the log only.
std::atomic<int> g_nConnectCount{0};
std::atomic<unsigned> g_nProfileSerial{0};

// What one connect learns from the bus: the socket from NewConnection and the answer to
// ConnectProfile.
struct ProfileConnect {
    UniqueFd fd;
    bool bReplied = false;
    std::string szError;  // the error name of a refused ConnectProfile
};

int OnNewConnection(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* pConnect = static_cast<ProfileConnect*>(userdata);
    const char* pszDevice = nullptr;
    int fd = -1;
    int r = sd_bus_message_read(m, "oh", &pszDevice, &fd);
    if (r < 0) return r;
    // The message owns its descriptor; the connection gets a copy of its own.
    if (!pConnect->fd) pConnect->fd.Reset(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
    return sd_bus_reply_method_return(m, "");
}

int OnProfileCall(sd_bus_message* m, void*, sd_bus_error*) { return sd_bus_reply_method_return(m, ""); }

const sd_bus_vtable kProfileVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("NewConnection", "oha{sv}", "", OnNewConnection, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestDisconnection", "o", "", OnProfileCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Release", "", "", OnProfileCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

int OnConnectProfileReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* pConnect = static_cast<ProfileConnect*>(userdata);
    pConnect->bReplied = true;
    if (sd_bus_message_is_method_error(m, nullptr)) {
        const sd_bus_error* pError = sd_bus_message_get_error(m);
        pConnect->szError = pError != nullptr && pError->name != nullptr ? pError->name : "?";
    }
    return 0;
}

bool IsAccessDenied(const std::string& name) {
    return name == SD_BUS_ERROR_ACCESS_DENIED || name == SD_BUS_ERROR_INTERACTIVE_AUTHORIZATION_REQUIRED ||
           name == "org.bluez.Error.NotPermitted";
}

// The object of the device whose Address is btAddr, among BlueZ's managed objects.
bool FindDevicePath(sd_bus* pBus, std::uint64_t btAddr, std::string* pPath) {
    std::vector<BluezObject> objects;
    if (!BluezGetObjects(pBus, &objects)) return false;
    for (const BluezObject& obj : objects) {
        BthDeviceInfo info;
        if (ParseBthDevice(obj, &info) && info.address == btAddr) {
            *pPath = info.path;
            return true;
        }
    }
    return false;
}

}  // namespace

std::unique_ptr<CCommon> MakeBluetoothPort(const char* pszName) { return std::make_unique<CBluetooth>(pszName); }

CBluetooth::CBluetooth(const char* pszName) : CSocketPort(false) {
    if (pszName != nullptr && pszName[0] != '\0') pszPortName = pszName;
    btAddr = ParseBthAddress(pszName);
    if (!pszPortName.empty() && btAddr != 0) {
        bSuccessInit = TRUE;
        pszHostAddress = true;
        PORT_LOG(LOG_INFO, "[%s] CBluetooth", PortName());
    } else {
        m_dwInitError = pszPortName.empty() ? ERROR_OUTOFMEMORY : ERROR_INVALID_NAME;
        SetLastError(m_dwInitError);
        PORT_LOG(LOG_ERROR, "[%s] CBluetooth [PARAMETER] [hSockEvent:%08x,hSyncOpt:%08x,pszPortName:%08x,hIcmp:%08x]",
                 PortName(), 1u, 1u, pszPortName.empty() ? 0u : 1u, 1u);
    }
}

CBluetooth::~CBluetooth() {
    PORT_LOG(LOG_INFO, "[%s] ~CBluetooth IoCancelRequest()", PortName());
    IoCancelRequest();
    PORT_LOG(LOG_INFO, "[%s] ~CBluetooth Term()", PortName());
    Term();
    PORT_LOG(LOG_DEBUG, "[%s] ~CBluetooth FreeSplStr()", PortName());
}

BOOL CBluetooth::SetSockAddr() {
    if (std::uint64_t addr = ParseBthAddress(pszPortName.c_str()); addr != 0) btAddr = addr;
    pszHostAddress = true;
    return TRUE;
}

BOOL CBluetooth::IsConnect() {
    ClearStatusBits(PM_STATUS_OFFLINE);
    return TRUE;
}

BOOL CBluetooth::Open() {
    if (HasStatus(PM_STATUS_OFFLINE | PM_STATUS_CLOSED)) {
        IsConnect();
        ClearStatusBits(PM_STATUS_CLOSED);
    }
    if (!OpenSocket()) return FALSE;
    PORT_LOG(LOG_DEBUG, "[%s] Open()", PortName());
    return TRUE;
}

// Under csSocket. BlueZ finds the SPP channel through the service record and connects;
// the wait for its NewConnection wakes on terminate and cancel.
UniqueFd CBluetooth::ConnectProfile() {
    Deadline limit(kConnectLimitMs);
    sd_bus* pBus = nullptr;
    if (sd_bus_open_system(&pBus) < 0) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        PORT_LOG(LOG_ERROR, "[%s] connect() [WSAERR:%d,count:%d]", PortName(), static_cast<int>(GetLastError()),
                 g_nConnectCount.load());
        return {};
    }
    struct BusGuard {
        sd_bus*& p;
        ~BusGuard() { sd_bus_flush_close_unref(p); }
    } busGuard{pBus};
    // The calls before the wait are quick on a working BlueZ; a hung one still ends in time.
    sd_bus_set_method_call_timeout(pBus, static_cast<std::uint64_t>(kConnectLimitMs) * 1000);
    std::string devicePath;
    if (!FindDevicePath(pBus, btAddr, &devicePath)) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        PORT_LOG(LOG_ERROR, "[%s] connect() [WSAERR:%d,count:%d]", PortName(), static_cast<int>(GetLastError()),
                 g_nConnectCount.load());
        return {};
    }
    ProfileConnect connect;
    const std::string profilePath = StrPrintf("/org/kelvo/bluetooth/spp%u", ++g_nProfileSerial);
    BusSlot object;
    BusError error;
    int r = sd_bus_add_object_vtable(pBus, &object.p, profilePath.c_str(), "org.bluez.Profile1", kProfileVtable,
                                     &connect);
    if (r >= 0)
        r = sd_bus_call_method(pBus, kBlueZ, "/org/bluez", "org.bluez.ProfileManager1", "RegisterProfile", &error.e,
                               nullptr, "osa{sv}", profilePath.c_str(), SPP_UUID, 2, "Role", "s", "client", "Name",
                               "s", "Kelvo serial port");
    if (r < 0) {
        SetLastError(IsAccessDenied(error.e.name != nullptr ? error.e.name : "") ? ERROR_ACCESS_DENIED
                                                                                 : ERROR_DEVICE_NOT_CONNECTED);
        PORT_LOG(LOG_ERROR, "[%s] connect() [WSAERR:%d,count:%d]", PortName(), static_cast<int>(GetLastError()),
                 g_nConnectCount.load());
        return {};
    }
    BusSlot call;
    r = sd_bus_call_method_async(pBus, &call.p, kBlueZ, devicePath.c_str(), BLUEZ_DEVICE_IFACE, "ConnectProfile",
                                 OnConnectProfileReply, &connect, "s", SPP_UUID);
    while (r >= 0 && !connect.fd && connect.szError.empty()) {
        r = sd_bus_process(pBus, nullptr);
        if (r != 0) continue;
        if (limit.Expired()) break;
        const short events = static_cast<short>(sd_bus_get_events(pBus));
        std::array items{TermItem(), CancelItem(), WaitItem::ForFd(sd_bus_get_fd(pBus), events)};
        DWORD dwWait = WaitForAny(items, limit.Remaining());
        if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_OBJECT_0 + 1) {
            SetLastError(ERROR_CANCELLED);
            PORT_LOG(LOG_ERROR, "[%s] OpenSocket WSAWaitForMultipleEvents() [UNKNOWN:%08x]", PortName(), dwWait);
            return {};
        }
    }
    if (connect.fd) {
        int nCount = ++g_nConnectCount;
        PORT_LOG(LOG_DEBUG, "[%s] OpenSocket connect() [count:%d]", PortName(), nCount);
        // The profile object goes with this call; the bus connection stays with the socket.
        m_pBus = pBus;
        pBus = nullptr;
        return std::move(connect.fd);
    }
    if (!connect.szError.empty()) {
        SetLastError(IsAccessDenied(connect.szError) ? ERROR_ACCESS_DENIED : WSAECONNREFUSED);
        PORT_LOG(GetLastError() == WSAECONNREFUSED ? LOG_WARNING : LOG_ERROR,
                 "[%s] OpenSocket connect() [iError:%d / count:%d]", PortName(), static_cast<int>(GetLastError()),
                 g_nConnectCount.load());
    } else if (r < 0) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        PORT_LOG(LOG_ERROR, "[%s] OpenSocket connect() WSAEnumNetworkEvzents [SOCKET_ERROR / count:%d]", PortName(),
                 g_nConnectCount.load());
    } else {
        SetLastError(ERROR_TIMEOUT);
        if (!HasStatus(PM_STATUS_OFFLINE))
            PORT_LOG(LOG_WARNING, "[%s] OpenSocket connect() [TIMEOUT:%d/%dms,WSAERR:%d]", PortName(),
                     static_cast<int>(limit.Elapsed()), static_cast<int>(kConnectLimitMs), static_cast<int>(WSAETIMEDOUT));
    }
    return {};
}

BOOL CBluetooth::OpenSocket() {
    std::lock_guard lock(csSocket);
    if (HasStatus(PM_STATUS_OFFLINE)) IsConnect();
    if (sockBth) return TRUE;
    PORT_LOG(LOG_DEBUG, "[%s] OpenSocket socket() [count:%d]", PortName(), g_nConnectCount.load());
    PORT_LOG(LOG_DEBUG, "[%s] OpenSocket connect() [count:%d]", PortName(), g_nConnectCount.load());
    UniqueFd sock = ConnectProfile();
    if (sock) {
        int flags = ::fcntl(sock.Get(), F_GETFL);
        ::fcntl(sock.Get(), F_SETFL, flags & ~O_NONBLOCK);
        SetStreamOptions(sock.Get(), static_cast<int>(kChunk));
        sockBth = std::move(sock);
        return TRUE;
    }
    DWORD dwError = GetLastError();
    // A refusal, a cancel and a missing device keep their own codes; the rest is a timeout.
    if (dwError != WSAECONNREFUSED && dwError != ERROR_CANCELLED && dwError != ERROR_DEVICE_NOT_CONNECTED &&
        dwError != ERROR_ACCESS_DENIED)
        dwError = ERROR_TIMEOUT;
    SetLastError(dwError);
    return FALSE;
}

// While the printer holds the line there is no wireless wait, only the drain's limit.
void CBluetooth::ShutdownSocket(int fd, BOOL bAbortive) {
    if (!bAbortive) ::shutdown(fd, SHUT_WR);
    DrainForClose(fd);
    ::shutdown(fd, bAbortive ? SHUT_RDWR : SHUT_RD);
}

void CBluetooth::CloseSocket(BOOL bAbortive) {
    std::lock_guard lock(csSocket);
    if (!sockBth) return;
    if (HasStatus(PM_STATUS_BT_SLEEP_BEFORE_SHUT)) Sleep(kSleepBeforeShutMs);
    ShutdownSocket(sockBth.Get(), bAbortive);
    sockBth.Reset();
    sd_bus_flush_close_unref(m_pBus);
    m_pBus = nullptr;
    int nCount = g_nConnectCount--;
    PORT_LOG(LOG_DEBUG, "[%s] closesocket() [count:%d]", PortName(), nCount);
}

void CBluetooth::Term() {
    PORT_LOG(LOG_INFO, "[%s] Term CloseSocket()", PortName());
    CloseSocket(FALSE);
}

BOOL CBluetooth::Cancel() {
    PORT_LOG(LOG_INFO, "[%s] Cancel CloseSocket", PortName());
    CloseSocket(FALSE);
    return TRUE;
}

void CBluetooth::Close(BOOL bAbortive) {
    LastErrorGuard keep;
    PORT_LOG(LOG_DEBUG, "[%s] Close CloseSocket()", PortName());
    CloseSocket(bAbortive);
    SetStatusBits(PM_STATUS_CLOSED);
}

// The receive waits at most the socket's 100 ms; a close waits for it (csSocket), so the
// descriptor cannot change under it.
BOOL CBluetooth::Read(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD /*dwTimeout*/) {
    if (pcbRead != nullptr) *pcbRead = 0;
    std::lock_guard lock(csSocket);
    if (!sockBth) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    ssize_t n = ::recv(sockBth.Get(), pBuffer, cbBuffer, 0);
    if (n < 0) return IsConnect();
    if (n > 0 && pcbRead != nullptr) *pcbRead = static_cast<DWORD>(n);
    return TRUE;
}

BOOL CBluetooth::Reset() {
    PORT_LOG(LOG_INFO, "[%s] Reset()", PortName());
    if (HasStatus(PM_STATUS_NOT_SUPPORT_REAL_RESET_CMD)) return TRUE;
    std::lock_guard lock(csSocket);
    if (!sockBth) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    PORT_LOG(LOG_DEBUG, "[%s] Reset Write(REAL_RESET_CMD)", PortName());
    ssize_t n = ::send(sockBth.Get(), REAL_RESET_CMD, sizeof REAL_RESET_CMD, MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(sizeof REAL_RESET_CMD)) {
        if (n < 0) SetLastErrorFromSocketErrno(errno);
        else SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    return TRUE;
}

// ---- Writing ----

// The connection stays: the next write reuses it. The control lock is taken only around
// the log line, as a reset or cancel holding it is about to act on the connection.
DWORD CBluetooth::OnSendFault(DWORD dwError) {
    if (const DWORD dwStop = TakeCtrlAfterSendFault(); dwStop != 0) return dwStop;
    PORT_LOG(LOG_WARNING, "[%s] ThreadSendBth CloseSocket(9100) rerty [WSAERR:%d]", PortName(), static_cast<int>(dwError));
    ReleaseCtrlFunc();
    return ERROR_WRITE_FAULT;
}
