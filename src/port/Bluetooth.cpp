#include "port/Bluetooth.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <random>
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
constexpr DWORD kFirstBackOffMs = 100;
constexpr DWORD kLastBackOffMs = 800;
constexpr const char* kBlueZ = "org.bluez";
constexpr const char* kProfileManager = "org.bluez.ProfileManager1";

// Open connections of every Bluetooth port, for the log only.
std::atomic<int> g_nConnectCount{0};
std::atomic<unsigned> g_nProfileSerial{0};

struct BusOwner {
    sd_bus* p = nullptr;
    BusOwner() = default;
    BusOwner(const BusOwner&) = delete;
    BusOwner& operator=(const BusOwner&) = delete;
    ~BusOwner() { sd_bus_flush_close_unref(p); }
};

// The answer to one asynchronous call.
struct BusReply {
    bool bDone = false;
    bool bOk = false;
    std::string szName;     // the D-Bus error's name and message when it failed
    std::string szMessage;
    BusMessage reply;
};

int OnBusReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* pReply = static_cast<BusReply*>(userdata);
    pReply->bDone = true;
    if (sd_bus_message_is_method_error(m, nullptr)) {
        const sd_bus_error* pError = sd_bus_message_get_error(m);
        pReply->szName = pError != nullptr && pError->name != nullptr ? pError->name : "?";
        pReply->szMessage = pError != nullptr && pError->message != nullptr ? pError->message : "";
    } else {
        pReply->bOk = true;
        pReply->reply.p = sd_bus_message_ref(m);
    }
    return 0;
}

// What the profile object learns while one connect is under way.
struct ProfileConnect {
    std::string devicePath;  // NewConnection is taken only for this device
    std::string bluezOwner;  // and only from org.bluez's unique name
    const char* pszPort = "";
    UniqueFd fd;
};

int OnNewConnection(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* pConnect = static_cast<ProfileConnect*>(userdata);
    const char* pszDevice = nullptr;
    int fd = -1;
    int r = sd_bus_message_read(m, "oh", &pszDevice, &fd);
    if (r < 0) return r;
    const char* pszSender = sd_bus_message_get_sender(m);
    // The message owns its descriptor: a socket not taken here closes with it.
    bool bOurs = !pConnect->fd && pszSender != nullptr && pConnect->bluezOwner == pszSender &&
                 pConnect->devicePath == pszDevice;
    if (bOurs) pConnect->fd.Reset(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
    if (!bOurs || !pConnect->fd) {
        PORT_LOG(LOG_WARNING, "[%s] NewConnection() rejected [device:%s,sender:%s]", pConnect->pszPort, pszDevice,
                 pszSender != nullptr ? pszSender : "?");
        return sd_bus_reply_method_errorf(m, "org.bluez.Error.Rejected", "Not the connection asked for");
    }
    return sd_bus_reply_method_return(m, "");
}

// The profile exists only while a connect runs: a disconnection asked meanwhile drops the
// socket taken, so the connect fails rather than hand over a link BlueZ gave up.
int OnRequestDisconnection(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* pConnect = static_cast<ProfileConnect*>(userdata);
    const char* pszDevice = nullptr;
    if (sd_bus_message_read(m, "o", &pszDevice) >= 0 && pConnect->devicePath == pszDevice) pConnect->fd.Reset();
    return sd_bus_reply_method_return(m, "");
}

int OnProfileCall(sd_bus_message* m, void*, sd_bus_error*) { return sd_bus_reply_method_return(m, ""); }

const sd_bus_vtable kProfileVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("NewConnection", "oha{sv}", "", OnNewConnection, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestDisconnection", "o", "", OnRequestDisconnection, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Release", "", "", OnProfileCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Cancel", "", "", OnProfileCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

bool Contains(const std::string& text, const char* pszPart) { return text.find(pszPart) != std::string::npos; }

bool IsAccessDenied(const std::string& name) {
    return name == SD_BUS_ERROR_ACCESS_DENIED || name == SD_BUS_ERROR_INTERACTIVE_AUTHORIZATION_REQUIRED ||
           name == "org.bluez.Error.NotPermitted" || name == "org.bluez.Error.NotAuthorized";
}

// What a refused ConnectProfile means for the open. bluetoothd 5.66 words a failed link as
// "br-connection-..." (older ones as strerror text).
DWORD ConnectProfileError(const std::string& name, const std::string& message) {
    if (IsAccessDenied(name)) return ERROR_ACCESS_DENIED;
    if (name == "org.bluez.Error.NotReady") return ERROR_DEVICE_NOT_CONNECTED;
    if (name == "org.bluez.Error.InProgress") return ERROR_TIMEOUT;
    if (name == SD_BUS_ERROR_SERVICE_UNKNOWN || name == SD_BUS_ERROR_NAME_HAS_NO_OWNER ||
        name == SD_BUS_ERROR_UNKNOWN_OBJECT || name == SD_BUS_ERROR_UNKNOWN_METHOD)
        return ERROR_DEVICE_NOT_CONNECTED;
    if (Contains(message, "page-timeout") || Contains(message, "Host is down") ||
        Contains(message, "br-connection-timeout") || Contains(message, "timed out"))
        return ERROR_TIMEOUT;
    if (Contains(message, "adapter-not-powered") || Contains(message, "No route to host") ||
        Contains(message, "aborted-by-local") || Contains(message, "connection abort"))
        return ERROR_DEVICE_NOT_CONNECTED;
    return WSAECONNREFUSED;
}

bool SendNoReply(sd_bus* pBus, const char* pszPath, const char* pszIface, const char* pszMember, const char* pszArg) {
    BusMessage call;
    int r = sd_bus_message_new_method_call(pBus, &call.p, kBlueZ, pszPath, pszIface, pszMember);
    if (r >= 0) r = sd_bus_message_append(call.p, "o", pszArg);
    if (r >= 0) r = sd_bus_message_set_expect_reply(call.p, 0);
    if (r >= 0) r = sd_bus_send(pBus, call.p, nullptr);
    return r >= 0;
}

unsigned Jitter(unsigned nMax) {
    thread_local std::minstd_rand rng{std::random_device{}()};
    return nMax == 0 ? 0 : static_cast<unsigned>(rng() % nMax);
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

// One bus wait of the connect: until done() holds, terminate or cancel, the deadline, or a
// broken bus.
CBluetooth::BusWait CBluetooth::WaitBus(sd_bus* pBus, const Deadline& limit, const std::function<bool()>& done) {
    for (;;) {
        if (done()) return BusWait::Done;
        int r = sd_bus_process(pBus, nullptr);
        if (r < 0) return BusWait::Broken;
        if (r > 0) continue;
        if (done()) return BusWait::Done;
        if (limit.Expired()) return BusWait::Expired;
        const short events = static_cast<short>(sd_bus_get_events(pBus));
        // The run's abort too: a cancelled run must not sit out a connect that may take 5 s.
        std::array items{TermItem(), CancelItem(), WaitItem::ForFd(sd_bus_get_fd(pBus), events),
                         AbortItem()};
        DWORD dwWait = WaitForAny(items, limit.Remaining());
        if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_OBJECT_0 + 1 || dwWait == WAIT_OBJECT_0 + 3) {
            m_dwWakeUp = dwWait;
            return BusWait::Cancelled;
        }
    }
}

// The last error and log line of a wait that did not end with its answer.
void CBluetooth::FailWait(BusWait wait, const Deadline& limit) {
    if (wait == BusWait::Cancelled) {
        SetLastError(ERROR_CANCELLED);
        PORT_LOG(LOG_ERROR, "[%s] OpenSocket WSAWaitForMultipleEvents() [UNKNOWN:%08x]", PortName(), m_dwWakeUp);
    } else if (wait == BusWait::Broken) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        PORT_LOG(LOG_ERROR, "[%s] OpenSocket connect() WSAEnumNetworkEvzents [SOCKET_ERROR / count:%d]", PortName(),
                 g_nConnectCount.load());
    } else {
        SetLastError(ERROR_TIMEOUT);
        if (!HasStatus(PM_STATUS_OFFLINE))
            PORT_LOG(LOG_WARNING, "[%s] OpenSocket connect() [TIMEOUT:%d/%dms,WSAERR:%d]", PortName(),
                     static_cast<int>(limit.Elapsed()), static_cast<int>(kConnectLimitMs), static_cast<int>(WSAETIMEDOUT));
    }
}

void CBluetooth::FailConnect(DWORD dwError) {
    SetLastError(dwError);
    PORT_LOG(dwError == WSAECONNREFUSED ? LOG_WARNING : LOG_ERROR, "[%s] OpenSocket connect() [iError:%d / count:%d]",
             PortName(), static_cast<int>(dwError), g_nConnectCount.load());
}

// The device's object on BlueZ's bus and org.bluez's unique name. FALSE with the last error.
bool CBluetooth::FindDevice(sd_bus* pBus, const Deadline& limit, std::string* pPath, std::string* pOwner) {
    BusReply objects;
    BusSlot call;
    int r = sd_bus_call_method_async(pBus, &call.p, kBlueZ, "/", "org.freedesktop.DBus.ObjectManager",
                                     "GetManagedObjects", OnBusReply, &objects, "");
    BusWait wait = r < 0 ? BusWait::Broken : WaitBus(pBus, limit, [&] { return objects.bDone; });
    if (wait != BusWait::Done) {
        FailWait(wait, limit);
        return false;
    }
    std::vector<BluezObject> list;
    BthDevicePick pick = BthDevicePick::NotKnown;
    if (!objects.bOk) {
        PORT_LOG(LOG_ERROR, "[%s] GetManagedObjects() [%s: %s]", PortName(), objects.szName.c_str(),
                 objects.szMessage.c_str());
        SetLastError(objects.szName == SD_BUS_ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : ERROR_DEVICE_NOT_CONNECTED);
    } else if (BluezReadObjects(objects.reply.p, &list)) {
        pick = PickPairedDevice(list, btAddr, pPath);
        const char* pszSender = sd_bus_message_get_sender(objects.reply.p);
        if (pszSender != nullptr) *pOwner = pszSender;
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        if (pick != BthDevicePick::Found)
            PORT_LOG(LOG_ERROR, "[%s] connect() [%s]", PortName(),
                     pick == BthDevicePick::NotKnown    ? "not known to BlueZ"
                     : pick == BthDevicePick::NotPaired ? "not paired"
                                                        : "its adapter is off");
    }
    if (pick == BthDevicePick::Found && !pOwner->empty()) return true;
    PORT_LOG(LOG_ERROR, "[%s] connect() [WSAERR:%d,count:%d]", PortName(), static_cast<int>(GetLastError()),
             g_nConnectCount.load());
    return false;
}

// One registration of the profile and one ConnectProfile. The registration is held only
// for the connect: bluetoothd lets one live profile hold a UUID, and the socket taken keeps
// the link without it.
CBluetooth::Attempt CBluetooth::ConnectOnce(sd_bus* pBus, const Deadline& limit, const std::string& devicePath,
                                            const std::string& owner, UniqueFd* pFd) {
    ProfileConnect connect{devicePath, owner, PortName(), {}};
    const std::string profilePath = StrPrintf("/org/kelvo/bluetooth/spp%u", ++g_nProfileSerial);
    BusSlot object;
    BusReply registered;
    BusSlot registerCall;
    int r = sd_bus_add_object_vtable(pBus, &object.p, profilePath.c_str(), "org.bluez.Profile1", kProfileVtable,
                                     &connect);
    if (r >= 0)
        r = sd_bus_call_method_async(pBus, &registerCall.p, kBlueZ, "/org/bluez", kProfileManager, "RegisterProfile",
                                     OnBusReply, &registered, "osa{sv}", profilePath.c_str(), SPP_UUID, 2, "Role", "s",
                                     "client", "Name", "s", "Kelvo serial port");
    BusWait wait = r < 0 ? BusWait::Broken : WaitBus(pBus, limit, [&] { return registered.bDone; });
    if (wait != BusWait::Done) {
        // A registration that may have happened goes with the bus connection.
        FailWait(wait, limit);
        return Attempt::Failed;
    }
    if (!registered.bOk) {
        const bool bHeld = registered.szName == "org.bluez.Error.NotPermitted";
        PORT_LOG(bHeld ? LOG_WARNING : LOG_ERROR, "[%s] RegisterProfile() [%s: %s]", PortName(),
                 registered.szName.c_str(), registered.szMessage.c_str());
        // Another program's registration of the UUID: most hold it only for their connect.
        if (bHeld) {
            SetLastError(ERROR_ACCESS_DENIED);
            return Attempt::Retry;
        }
        FailConnect(IsAccessDenied(registered.szName) ? ERROR_ACCESS_DENIED : ERROR_DEVICE_NOT_CONNECTED);
        return Attempt::Failed;
    }
    BusReply connected;
    BusSlot connectCall;
    r = sd_bus_call_method_async(pBus, &connectCall.p, kBlueZ, devicePath.c_str(), BLUEZ_DEVICE_IFACE, "ConnectProfile",
                                 OnBusReply, &connected, "s", SPP_UUID);
    wait = r < 0 ? BusWait::Broken : WaitBus(pBus, limit, [&] { return connected.bDone; });
    SendNoReply(pBus, "/org/bluez", kProfileManager, "UnregisterProfile", profilePath.c_str());
    if (wait != BusWait::Done) {
        FailWait(wait, limit);
        return Attempt::Failed;
    }
    if (!connected.bOk) {
        const bool bBusy = connected.szName == "org.bluez.Error.InProgress";
        PORT_LOG(bBusy ? LOG_WARNING : LOG_ERROR, "[%s] ConnectProfile() [%s: %s]", PortName(),
                 connected.szName.c_str(), connected.szMessage.c_str());
        const DWORD dwError = ConnectProfileError(connected.szName, connected.szMessage);
        if (bBusy) {
            SetLastError(dwError);
            return Attempt::Retry;
        }
        FailConnect(dwError);
        return Attempt::Failed;
    }
    if (!connect.fd) {
        // bluetoothd answers only after NewConnection was: none came, none will.
        PORT_LOG(LOG_ERROR, "[%s] ConnectProfile() [answered without a connection]", PortName());
        FailConnect(WSAECONNREFUSED);
        return Attempt::Failed;
    }
    *pFd = std::move(connect.fd);
    return Attempt::Connected;
}

// Under csSocket. BlueZ finds the SPP channel through the service record and connects.
// Every bus wait runs against the one time limit and wakes on terminate and cancel; a
// busy BlueZ or another program's registration is tried again after a short, jittered
// pause while time remains.
UniqueFd CBluetooth::ConnectProfile() {
    Deadline limit(kConnectLimitMs);
    BusOwner bus;
    if (sd_bus_open_system(&bus.p) < 0) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        PORT_LOG(LOG_ERROR, "[%s] connect() [WSAERR:%d,count:%d]", PortName(), static_cast<int>(GetLastError()),
                 g_nConnectCount.load());
        return {};
    }
    std::string devicePath, owner;
    if (!FindDevice(bus.p, limit, &devicePath, &owner)) return {};
    DWORD dwBackOff = kFirstBackOffMs;
    for (;;) {
        UniqueFd fd;
        const Attempt attempt = ConnectOnce(bus.p, limit, devicePath, owner, &fd);
        if (attempt == Attempt::Connected) {
            int nCount = ++g_nConnectCount;
            PORT_LOG(LOG_DEBUG, "[%s] OpenSocket connect() [count:%d]", PortName(), nCount);
            return fd;  // the bus goes: the socket keeps the link
        }
        if (attempt == Attempt::Failed) return {};
        const DWORD dwRetryError = GetLastError();
        const DWORD dwPause = std::min(dwBackOff / 2 + Jitter(dwBackOff), limit.Remaining());
        dwBackOff = std::min(dwBackOff * 2, kLastBackOffMs);
        std::array items{TermItem(), CancelItem(), AbortItem()};
        DWORD dwWait = WaitForAny(items, dwPause);
        if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_OBJECT_0 + 1 || dwWait == WAIT_OBJECT_0 + 2) {
            m_dwWakeUp = dwWait;
            FailWait(BusWait::Cancelled, limit);
            return {};
        }
        if (limit.Expired()) {
            FailConnect(dwRetryError);
            return {};
        }
    }
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

// RFCOMM has no half-close: the kernel's RFCOMM shutdown ignores which direction is asked
// and disconnects the channel (what was queued to send still goes out first). So the
// orderly close ends the link at once and drains only what had already come, up to the
// link's end; the abortive one drains until the printer ends the link (or the drain's
// limit), then shuts down. While the printer holds the line there is no wireless wait.
void CBluetooth::ShutdownSocket(int fd, BOOL bAbortive) {
    if (!bAbortive) ::shutdown(fd, SHUT_RDWR);
    DrainForClose(fd);
    if (bAbortive) ::shutdown(fd, SHUT_RDWR);
}

void CBluetooth::CloseSocket(BOOL bAbortive) {
    std::lock_guard lock(csSocket);
    if (!sockBth) return;
    if (HasStatus(PM_STATUS_BT_SLEEP_BEFORE_SHUT)) Sleep(kSleepBeforeShutMs);
    ShutdownSocket(sockBth.Get(), bAbortive);
    sockBth.Reset();
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
