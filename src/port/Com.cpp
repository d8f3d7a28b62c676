#include "port/Com.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/IniFile.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/ComRate.h"
#include "port/PortLog.h"

namespace {

constexpr std::string_view kFallbackConfig = "115200,n,8,1,p";
constexpr std::size_t kMaxConfigChars = 32;
constexpr DWORD kWriteTotalTimeout = 0xFFFFFF9B;
constexpr DWORD kOpenRetrySleepMs = 5;
constexpr DWORD kBreakMs = 30;
constexpr DWORD kCtsHoldPollMs = 10;
constexpr DWORD kOverCountPollMs = 2;
constexpr DWORD kMaxOtherRate = 16000000;
constexpr DWORD kCloseDrainMs = 2000;
constexpr DWORD kCloseDrainStepMs = 10;

// Clear-comm error bits, as the log shows them.
constexpr DWORD CE_OVERRUN = 0x0002;
constexpr DWORD CE_RXPARITY = 0x0004;
constexpr DWORD CE_FRAME = 0x0008;
constexpr DWORD CE_BREAK = 0x0010;

struct BaudConstant {
    DWORD dwBaud;
    speed_t speed;
};
constexpr BaudConstant kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},         {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},       {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},     {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1500000, B1500000}, {2000000, B2000000},
};

bool IsHeldError(int err) noexcept { return err == EBUSY || err == EWOULDBLOCK; }

// open + flock + TIOCEXCL: another program (or another port object) holding the line
// makes this fail with EBUSY or EWOULDBLOCK.
int OpenExclusive(const char* pszPath, int* pErr) noexcept {
    const int fd = ::open(pszPath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *pErr = errno;
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        *pErr = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

bool MakeRaw(int fd) noexcept {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    const speed_t ispeed = ::cfgetispeed(&tio);
    const speed_t ospeed = ::cfgetospeed(&tio);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, ispeed);
    ::cfsetospeed(&tio, ospeed);
    if (::tcsetattr(fd, TCSANOW, &tio) == 0) return true;
    SetLastErrorFromErrno(errno);
    return false;
}

int ReadComPortType() {
    CIniFile ini;
    if (!ini.Load(SysPath("/etc/ZAQ/ThermalPrinterSdk.ini"))) return -1;
    const auto value = ini.GetDword("ThermalPrinterSdk", "ComPortType");
    return value ? static_cast<int>(*value) : -1;
}

}  // namespace

// ---- Configuration strings ----

ComConfigFix CompleteComConfig(std::string_view config, std::string* pUsed, bool* pbXonXoff) {
    *pbXonXoff = false;
    if (config.size() > kMaxConfigChars) {
        pUsed->assign(config);
        return ComConfigFix::TooLong;
    }
    std::string copy(config);
    ComConfigFix fix = ComConfigFix::Kept;
    for (;;) {
        const char last = copy.empty() ? '\0' : copy.back();
        if (last == ' ') {
            if (copy.size() >= 2 && copy[copy.size() - 2] == ',') {
                copy.back() = 'p';
                break;
            }
            copy.pop_back();
            fix = ComConfigFix::Complained;
            continue;
        }
        if (last == ',') {
            copy += 'p';
        } else if (last == '1' || last == '2' || last == '5') {
            copy += ",p";
        } else if (last == 'x') {
            *pbXonXoff = true;
        } else if (last != 'p') {
            *pUsed = kFallbackConfig;
            return ComConfigFix::Fallback;
        }
        break;
    }
    *pUsed = std::move(copy);
    return fix;
}

BOOL ComConfigDcb(std::string_view used, DCB* pDcb) noexcept {
    DCB dcb;
    if (!BuildCommDCB(used, &dcb)) return FALSE;
    const bool bXon = dcb.fOutX && !dcb.fOutxCtsFlow;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fInX = 0;
    if (!bXon) {
        dcb.fOutxCtsFlow = 1;
        dcb.fOutX = 0;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        dcb.fOutxCtsFlow = 0;
        dcb.fOutX = 1;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
    *pDcb = dcb;
    return TRUE;
}

BOOL DcbToTermios(const DCB& dcb, termios* pTio, DWORD* pdwOtherRate) noexcept {
    speed_t speed = 0;
    bool bFound = false;
    for (const auto& b : kBauds) {
        if (b.dwBaud == dcb.BaudRate) {
            speed = b.speed;
            bFound = true;
        }
    }
    if (pdwOtherRate != nullptr) *pdwOtherRate = 0;
    if (!bFound && pdwOtherRate != nullptr && dcb.BaudRate > 0 && dcb.BaudRate <= kMaxOtherRate) {
        // Set afterwards through termios2; the table's rate stands in until then.
        *pdwOtherRate = dcb.BaudRate;
        speed = B38400;
        bFound = true;
    }
    if (!bFound || dcb.ByteSize < 5 || dcb.ByteSize > 8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    termios& t = *pTio;
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dcb.ByteSize - 5] | CLOCAL | CREAD;
    switch (dcb.Parity) {
        case ODDPARITY: t.c_cflag |= PARENB | PARODD; break;
        case EVENPARITY: t.c_cflag |= PARENB; break;
        case MARKPARITY: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case SPACEPARITY: t.c_cflag |= PARENB | CMSPAR; break;
        default: break;
    }
    if (dcb.fParity && dcb.Parity != NOPARITY) t.c_iflag |= INPCK;
    if (dcb.StopBits != ONESTOPBIT) t.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow) t.c_cflag |= CRTSCTS;
    if (dcb.fOutX) t.c_iflag |= IXON;
    if (dcb.fInX) t.c_iflag |= IXOFF;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    return TRUE;
}

// ---- Construction ----

std::unique_ptr<CCommon> MakeComPort(const char* pszName) { return std::make_unique<CCom>(pszName); }

CCom::CCom(const char* pszName, IComLines* pLines) : m_lines(pLines != nullptr ? *pLines : SystemComLines()) {
    ClearStatusBits(PM_STATUS_VIRTUAL_COM | PM_STATUS_MAKER_USB_VCP);
    dwLastCloseTick = GetTickCount() + kReopenGapMs;
    if (pszName != nullptr && pszName[0] != '\0') {
        pszPortName = pszName;
        pszBaseName = pszPortName;
        if (pszBaseName.back() == ':') pszBaseName.pop_back();
    }
    if (pszBaseName.empty() || !hEvtTerm.Valid() || !hEvtCancel.Valid()) return;
    DetectKind();
    bSuccessInit = TRUE;
}

void CCom::DetectKind() {
    m_nPortType = ReadComPortType();
    if (m_nPortType < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        PORT_LOG(LOG_ERROR, "[%s] CCom RegQueryValueEx()", PortName());
        m_nPortType = 0;
    } else {
        PORT_LOG(LOG_INFO, "[%s] CCom RegQueryValueEx() [ComPortType:%d].", PortName(), m_nPortType);
    }
    if (m_nPortType == 1) return;
    if (m_nPortType == 2) {
        SetStatusBits(PM_STATUS_VIRTUAL_COM);
        return;
    }
    switch (TtyKindOf(pszBaseName)) {
        case TtyKind::Uart:
            PORT_LOG(LOG_INFO, "[%s] CCom [Detected physical serial port]", PortName());
            break;
        case TtyKind::UsbAcm:
            // A CDC-ACM device reports DSR only if it sends serial-state notifications, and
            // printers rarely do: its port is virtual, as one without modem lines is.
            SetStatusBits(PM_STATUS_VIRTUAL_COM);
            if (TtyUsbVendorId(pszBaseName) == MAKER_USB_VENDOR_ID) {
                PORT_LOG(LOG_INFO, "[%s] CCom [Detected ZAQ USB virtual port]", PortName());
                SetStatusBits(PM_STATUS_MAKER_USB_VCP);
                break;
            }
            PORT_LOG(LOG_INFO, "[%s] CCom [Detected virtual port]", PortName());
            break;
        case TtyKind::UsbSerial:
            PORT_LOG(LOG_INFO, "[%s] CCom [Detected virtual port]", PortName());
            break;
        default:
            break;
    }
}

CCom::~CCom() {
    bSuccessInit = FALSE;
    IoCancelRequest();
    Term();
    m_resetInterval.WaitForEnd(INFINITE);
    std::lock_guard lock(csDevice);
    if (hDevice) ::ioctl(hDevice.Get(), TIOCNXCL);
    hDevice.Reset();
}

BOOL CCom::Init() {
    if (bSuccessInit) return TRUE;
    SetLastError(ERROR_OUTOFMEMORY);
    PORT_LOG(LOG_ERROR, "[%s] Init()", PortName());
    return FALSE;
}

void CCom::Term() {
    DeleteDeviceName();
    PORT_LOG(LOG_INFO, "[%s] Term()", PortName());
}

int CCom::DeviceFd() const {
    std::lock_guard lock(csDevice);
    return hDevice.Get();
}

// ---- Opening and closing ----

BOOL CCom::Open() {
    if (bSoftReset) {
        SetStatusBits(PM_STATUS_OFFLINE);
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        PORT_LOG(LOG_WARNING, "[%s] Open() [Waiting for real-cmd-reset]", PortName());
        return FALSE;
    }
    bool bHaveConfig = false;
    {
        std::lock_guard lock(csDevice);
        bHaveConfig = !szComConfig.empty();
    }
    if (bHaveConfig && GetTickCount() - dwLastInitTick <= kConfigCheckMs) return OpenCore();
    dwLastInitTick = GetTickCount();
    return ChkComConfig() ? OpenCore() : FALSE;
}

BOOL CCom::OpenCore() {
    ClearStatusBits(PM_STATUS_CLOSED);
    std::lock_guard lock(csDevice);
    if (hDevice) {
        const BOOL bResult = IsConnectLocked();
        if (bResult && HasStatus(PM_STATUS_COM_CONFIG_CHANGED)) SetComConfigLocked();
        return bResult;
    }
    if (MakeDeviceName(pszBaseName.c_str())) {
        if (IsVirtual()) {
            const DWORD dwSince = GetTickCount() - dwLastCloseTick;
            if (dwSince < kReopenGapMs) Sleep(kReopenGapMs - dwSince);
        }
        Deadline retry(kOpenRetryMs);
        int err = 0;
        for (;;) {
            PORT_LOG(LOG_DEBUG, "[%s] Call Open::CreateFile", PortName());
            UniqueFd fd(OpenExclusive(pszDevicePath.c_str(), &err));
            if (fd) {
                m_bHeldLogged = false;
                int bits = 0;
                // A tty without modem lines (a pty) has no DSR to read: a virtual port.
                if (m_nPortType != 1 && !IsVirtual() && m_lines.GetModemBits(fd.Get(), &bits) != 0 &&
                    (errno == ENOTTY || errno == EINVAL)) {
                    SetStatusBits(PM_STATUS_VIRTUAL_COM);
                    PORT_LOG(LOG_INFO, "[%s] CCom [Detected virtual port]", PortName());
                }
                if (!SetComTimeouts(fd.Get(), kWriteTotalTimeout) || !SetIgnoredDsrPin(fd.Get())) {
                    fd.Reset();
                    DeleteDeviceName();
                    dwLastCloseTick = GetTickCount();
                    break;
                }
                PORT_LOG(LOG_INFO, "[%s] Open CreateFile(%s)", PortName(), pszDevicePath.c_str());
                SetStatusBits(PM_STATUS_COM_CONFIG_CHANGED);
                hDevice = std::move(fd);
                m_bHaveErrorCounts = m_lines.ErrorCounts(hDevice.Get(), &m_lastErrors) == 0;
                // Raw whatever the settings do next (echo and newline translation would
                // change firmware bytes), and an open whose settings did not take fails.
                if (!MakeRaw(hDevice.Get()) || !SetComConfigLocked()) {
                    LastErrorGuard keep;
                    ::ioctl(hDevice.Get(), TIOCNXCL);
                    hDevice.Reset();
                    dwLastCloseTick = GetTickCount();
                    szComConfig.clear();
                    DeleteDeviceName();
                    SetStatusBits(PM_STATUS_CLOSED);
                    return FALSE;
                }
                // A line just opened tells at once whether the printer is there.
                return IsConnectLocked();
            }
            if (IsHeldError(err) && !m_bHeldLogged) {
                m_bHeldLogged = true;
                SetLastErrorFromErrno(err);
                PORT_LOG(LOG_ERROR, "[%s] Open [the port is in use by another program: %s]", PortName(),
                         pszDevicePath.c_str());
            }
            if (retry.Expired()) {
                SetLastErrorFromErrno(err);
                if (!HasStatus(PM_STATUS_OFFLINE)) {
                    PORT_LOG(LOG_ERROR, "[%s] Open CreateFile(%s)", PortName(), pszDevicePath.c_str());
                }
                SetStatusBits(PM_STATUS_OFFLINE);
                SetLastError(ERROR_DEVICE_NOT_CONNECTED);
                break;
            }
            Sleep(kOpenRetrySleepMs);
            PORT_LOG(LOG_DEBUG, "[%s] Error Open CreateFile", PortName());
        }
    }
    if (IsVirtual()) {
        LastErrorGuard keep;
        DeleteDeviceName();
        SetStatusBits(PM_STATUS_CLOSED);
    }
    return FALSE;
}

void CCom::Close(BOOL /*bFlag*/) {
    LastErrorGuard keep;
    UniqueFd fd;
    {
        std::lock_guard lock(csDevice);
        if (hDevice) {
            // The exclusive mode stays on the tty while anyone else keeps it open.
            ::ioctl(hDevice.Get(), TIOCNXCL);
            fd = std::move(hDevice);
            PORT_LOG(LOG_INFO, "[%s] Close CloseHandle()", PortName());
            dwLastCloseTick = GetTickCount();
            szComConfig.clear();
            if (!bSoftReset) DeleteDeviceName();
        }
    }
    if (fd) {
        // The tty core's close waits up to closing_wait (30 s) for queued output, which a
        // printer holding CTS never takes: what a cancel or a failure left is flushed, the
        // rest drains for a bounded time, and no lock is held meanwhile.
        DrainOrFlush(fd.Get());
        fd.Reset();
    }
    SetStatusBits(PM_STATUS_CLOSED);
}

void CCom::DrainOrFlush(int fd) {
    DWORD dwSendError = 0;
    {
        std::lock_guard lock(csLock);
        dwSendError = this->dwSendError;
    }
    bool bFlush = dwSendError != 0 || IsSendAborted() || hEvtCancel.IsSet() || hEvtTerm.IsSet();
    for (Deadline drain(kCloseDrainMs); !bFlush;) {
        int nQueued = 0;
        if (m_lines.OutQueue(fd, &nQueued) != 0 || nQueued <= 0) return;
        std::array items{TermItem(), CancelItem()};
        bFlush = drain.Expired() || WaitForAny(items, kCloseDrainStepMs) != WAIT_TIMEOUT;
    }
    ::tcflush(fd, TCOFLUSH);
}

// ---- Presence ----

BOOL CCom::IsConnect() {
    std::lock_guard lock(csDevice);
    return IsConnectLocked();
}

BOOL CCom::IsConnectLocked() {
    if (!HasStatus(PM_STATUS_VIRTUAL_COM | PM_STATUS_COM_XONXOFF)) {
        if (!hDevice) {
            SetLastError(ERROR_INVALID_HANDLE);
            PORT_LOG(LOG_ERROR, "[%s] IsConnect [handle=NULL]", PortName());
            if (!HasStatus(PM_STATUS_OFFLINE)) return TRUE;
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        int bits = 0;
        if (m_lines.GetModemBits(hDevice.Get(), &bits) != 0) {
            SetLastErrorFromErrno(errno);
            PORT_LOG(LOG_ERROR, "[%s] IsConnect GetCommModemStatus()", PortName());
            if (!HasStatus(PM_STATUS_OFFLINE)) return TRUE;
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        if ((bits & TIOCM_DSR) == 0 && !HasStatus(PM_STATUS_UNSUPPORT_COM_DSR)) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            if (!HasStatus(PM_STATUS_OFFLINE)) {
                PORT_LOG(LOG_WARNING, "[%s] [OFFLINE]", PortName());
                SetStatusBits(PM_STATUS_OFFLINE);
            }
            return FALSE;
        }
    }
    if (HasStatus(PM_STATUS_OFFLINE)) {
        PORT_LOG(LOG_INFO, "[%s] [ONLINE]", PortName());
        ClearStatusBits(PM_STATUS_OFFLINE);
    }
    return TRUE;
}

// ---- Line settings ----

BOOL CCom::ChkComConfig() {
    if (HasStatus(PM_STATUS_COM_NO_CONFIG)) return TRUE;
    std::string config;
    if (!GetDefaultCommString(pszPortName.c_str(), &config) && !GetDefaultCommString(pszBaseName.c_str(), &config)) {
        // Not a name the table keeps: the tty's own settings stay.
        SetStatusBits(PM_STATUS_COM_NO_CONFIG);
        return TRUE;
    }
    std::lock_guard lock(csDevice);
    if (config != szComConfig) {
        szComConfig = config;
        SetStatusBits(PM_STATUS_COM_CONFIG_CHANGED);
    }
    return TRUE;
}

BOOL CCom::SetComConfig() {
    std::lock_guard lock(csDevice);
    return SetComConfigLocked();
}

BOOL CCom::SetComConfigLocked() {
    std::string used;
    bool bXon = false;
    switch (CompleteComConfig(szComConfig, &used, &bXon)) {
        case ComConfigFix::TooLong:
            SetLastError(ERROR_INVALID_PARAMETER);
            PORT_LOG(LOG_ERROR, "[%s] SetComConfig [BAD_PARAM:%s]", PortName(), szComConfig.c_str());
            return FALSE;
        case ComConfigFix::Complained:
        case ComConfigFix::Fallback:
            SetLastError(ERROR_INVALID_PARAMETER);
            PORT_LOG(LOG_ERROR, "[%s] SetComConfig [dcb:%s]", PortName(), szComConfig.c_str());
            break;
        case ComConfigFix::Kept:
            break;
    }
    ClearStatusBits(PM_STATUS_COM_XONXOFF);
    if (bXon) SetStatusBits(PM_STATUS_COM_XONXOFF);
    DCB dcb;
    termios tio{};
    DWORD dwOtherRate = 0;
    if (!hDevice || ::tcgetattr(hDevice.Get(), &tio) != 0 || !ComConfigDcb(used, &dcb) ||
        !DcbToTermios(dcb, &tio, &dwOtherRate)) {
        if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_INVALID_PARAMETER);
        PORT_LOG(LOG_ERROR, "[%s] SetComConfig SetCommState(%s)", PortName(), used.c_str());
        return FALSE;
    }
    if (::tcsetattr(hDevice.Get(), TCSANOW, &tio) != 0) {
        SetLastErrorFromErrno(errno);
        PORT_LOG(LOG_ERROR, "[%s] SetComConfig SetCommState(%s)", PortName(), used.c_str());
        return FALSE;
    }
    // A rate outside the table, and one the driver rounds beyond 2 %, is not the rate chosen.
    if (dwOtherRate != 0) {
        unsigned dwHeld = 0;
        int err = 0;
        if (SetLineRate(hDevice.Get(), dwOtherRate) != 0 || GetLineRate(hDevice.Get(), &dwHeld) != 0) {
            err = errno;
        } else if (dwHeld < dwOtherRate - dwOtherRate / 50 || dwHeld > dwOtherRate + dwOtherRate / 50) {
            err = EINVAL;
        }
        if (err != 0) {
            SetLastErrorFromErrno(err);
            PORT_LOG(LOG_ERROR, "[%s] SetComConfig SetCommState(%s)", PortName(), used.c_str());
            return FALSE;
        }
    }
    if (!IsVirtual()) m_lines.RaiseModemBits(hDevice.Get(), TIOCM_DTR | (dcb.fOutX ? TIOCM_RTS : 0));
    m_dwBaud = dcb.BaudRate;
    m_bCrtscts = dcb.fOutxCtsFlow != 0;
    ClearStatusBits(PM_STATUS_COM_CONFIG_CHANGED);
    PORT_LOG(LOG_INFO, "[%s] SetComConfig SetCommState(%s) ", PortName(), used.c_str());
    return TRUE;
}

BOOL CCom::SetIgnoredDsrPin(int hFile) {
    if (IsVirtual()) return TRUE;
    if (::tcflush(hFile, TCIOFLUSH) != 0) {
        SetLastErrorFromErrno(errno);
        PORT_LOG(LOG_ERROR, "[%s] SetIgnoredDsrPin PurgeComm()", PortName());
    }
    if (m_lines.RaiseModemBits(hFile, TIOCM_DTR) != 0 && errno != ENOTTY && errno != EINVAL) {
        SetLastErrorFromErrno(errno);
        PORT_LOG(LOG_ERROR, "[%s] SetIgnoredDsr DeviceIoControl(IOCTL_SERIAL_SET_HANDFLOW)", PortName());
        return FALSE;
    }
    return TRUE;
}

// ---- Reading ----

bool CCom::LineErrorsSinceLastLook(int fd, DWORD* pdwErrors) {
    *pdwErrors = 0;
    ComErrorCounts now;
    if (m_lines.ErrorCounts(fd, &now) != 0) return false;
    if (m_bHaveErrorCounts) {
        if (now.nOverrun != m_lastErrors.nOverrun || now.nBufOverrun != m_lastErrors.nBufOverrun)
            *pdwErrors |= CE_OVERRUN;
        if (now.nParity != m_lastErrors.nParity) *pdwErrors |= CE_RXPARITY;
        if (now.nFrame != m_lastErrors.nFrame) *pdwErrors |= CE_FRAME;
        if (now.nBreak != m_lastErrors.nBreak) *pdwErrors |= CE_BREAK;
    }
    m_lastErrors = now;
    m_bHaveErrorCounts = true;
    return *pdwErrors != 0;
}

BOOL CCom::Read(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD /*dwTimeout*/) {
    *pcbRead = 0;
    {
        std::lock_guard lock(csDevice);
        if (IsConnectLocked()) {
            if (!hDevice) {
                SetLastError(ERROR_INVALID_HANDLE);
                PORT_LOG(LOG_ERROR, "[%s] Read ReadFile() [UNKNOWN]", PortName());
            } else {
                const std::array wake{TermItem()};
                if (ReadComData(hDevice.Get(), pBuffer, cbBuffer, pcbRead, wake)) {
                    DWORD dwErrors = 0;
                    if (LineErrorsSinceLastLook(hDevice.Get(), &dwErrors)) {
                        PORT_LOG(LOG_WARNING, "[%s] ClearCommError() [ERR:%08x]", PortName(), dwErrors);
                        ::tcflush(hDevice.Get(), TCIFLUSH);
                        *pcbRead = 0;
                    }
                    SetLastError(ERROR_SUCCESS);
                    return TRUE;
                }
                if (GetLastError() == ERROR_OPERATION_ABORTED) {
                    SetLastError(ERROR_CANCELLED);
                    PORT_LOG(LOG_WARNING, "[%s] Read ReadFile() [CANCEL]", PortName());
                } else {
                    PORT_LOG(LOG_WARNING, "[%s] Read ReadFile()", PortName());
                }
            }
        }
    }
    PORT_LOG(LOG_WARNING, "[%s] Read Close()", PortName());
    return FALSE;
}

// ---- Writing ----

BOOL CCom::Write(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) {
    if (WriteOnSendingThread(pBuffer, cbBuffer, pcbWritten, dwTimeout)) return TRUE;
    if (!hThread.Attached()) PORT_LOG(LOG_ERROR, "[%s] Write CreateThread()", PortName());
    return FALSE;
}

bool CCom::BeginSending() {
    m_bCtsHeld = false;
    m_bQueueFull = false;
    m_bOverLogged = false;
    std::lock_guard lock(csDevice);
    if (!hDevice) {
        SetSendError(ERROR_DEVICE_NOT_CONNECTED);
        PORT_LOG(LOG_ERROR, "[%s] ThreadSendCom [hDevice==null]", PortName());
        return false;
    }
    // A descriptor of its own: a Close beside the thread cannot hand this number to another file.
    hSendHandle.Reset(::fcntl(hDevice.Get(), F_DUPFD_CLOEXEC, 0));
    if (hSendHandle) return true;
    SetSendError(ERROR_WRITE_FAULT);
    return false;
}

bool CCom::SendingBlocked() {
    std::lock_guard lock(csDevice);
    if (!hDevice) {
        SetSendError(ERROR_DEVICE_NOT_CONNECTED);
        PORT_LOG(LOG_ERROR, "[%s] ThreadSendCom [hDevice==null]", PortName());
        return true;
    }
    if (!IsConnectLocked()) {
        SetSendError(ERROR_DEVICE_NOT_CONNECTED);
        PORT_LOG(LOG_WARNING, "[%s] ThreadSendCom() [OFFLINE]", PortName());
        return true;
    }
    return false;
}

// Takes only what keeps the output queue at most kQueueSize deep, and nothing while CTS
// holds the line or DSR says the printer went away (then the rest of the chunk never left).
long CCom::WriteNow(const BYTE* pData, DWORD cbData) {
    const int fd = hSendHandle.Get();
    if (!HasStatus(PM_STATUS_VIRTUAL_COM | PM_STATUS_COM_XONXOFF)) {
        int bits = 0;
        if (m_lines.GetModemBits(fd, &bits) == 0) {
            if ((bits & TIOCM_DSR) == 0 && !HasStatus(PM_STATUS_UNSUPPORT_COM_DSR)) {
                if (!HasStatus(PM_STATUS_OFFLINE)) {
                    SetStatusBits(PM_STATUS_OFFLINE);
                    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
                    PORT_LOG(LOG_WARNING, "[%s] [OFFLINE]", PortName());
                }
                SetLastError(ERROR_DEVICE_NOT_CONNECTED);
                PORT_LOG(LOG_WARNING, "[%s] ThreadSendCom() [OFFLINE]", PortName());
                return -1;
            }
            const bool bHeld = m_bCrtscts && (bits & TIOCM_CTS) == 0;
            if (bHeld && !m_bCtsHeld) PORT_LOG(LOG_DEBUG, "[%s] ThreadSendCom [cts pin is mark]", PortName());
            m_bCtsHeld = bHeld;
            if (bHeld) return 0;
        }
    }
    DWORD cbFree = kQueueSize;
    int nQueued = 0;
    m_bOverCount = false;
    if (m_lines.OutQueue(fd, &nQueued) == 0 && nQueued > 0) {
        // Deeper than the limit is no fault: cdc-acm counts a whole buffer per transfer
        // under way (10240 bytes after a write of 100). Wait for it to drain; the writer's
        // time bounds the wait.
        if (static_cast<DWORD>(nQueued) > kQueueSize) {
            if (!m_bOverLogged) {
                PORT_LOG(LOG_WARNING, "[%s] ThreadSendCom [OVERRUN;%d<%dbyte]", PortName(),
                         static_cast<int>(kQueueSize), nQueued);
            }
            m_bOverLogged = true;
            m_bOverCount = true;
            nQueued = static_cast<int>(kQueueSize);
        }
        cbFree = kQueueSize - static_cast<DWORD>(nQueued);
    }
    m_dwLastQueue = static_cast<DWORD>(nQueued > 0 ? nQueued : 0);
    if (cbFree == 0) {
        if (!m_bQueueFull) PORT_LOG(LOG_TRACE, "[%s] ThreadSendCom [BUFFER FULL]", PortName());
        m_bQueueFull = true;
        return 0;
    }
    m_bQueueFull = false;
    PORT_LOG(LOG_TRACE, "[%s] ThreadSendCom WriteFile(%dbyte)", PortName(),
             static_cast<int>(cbData < cbFree ? cbData : cbFree));
    const ssize_t n = ::write(fd, pData, cbData < cbFree ? cbData : cbFree);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EAGAIN || errno == EINTR) return 0;
    SetLastErrorFromErrno(errno);
    return -1;
}

// A full queue drains at the line rate: wake when half of it has left, so the line never
// runs dry and the thread does not spin.
bool CCom::WaitUntilWritable() {
    DWORD dwWait = 0;
    if (m_bCtsHeld) {
        dwWait = kCtsHoldPollMs;
    } else if (m_bQueueFull && m_bOverCount) {
        dwWait = kOverCountPollMs;
    } else if (m_bQueueFull) {
        const DWORD cbToDrain = m_dwLastQueue > kQueueSize / 2 ? m_dwLastQueue - kQueueSize / 2 : 1;
        const DWORD dwBaudNow = m_dwBaud.load();
        const DWORD dwBaud = dwBaudNow != 0 ? dwBaudNow : 9600;
        dwWait = static_cast<DWORD>(static_cast<ULONGLONG>(cbToDrain) * 10 * 1000 / dwBaud);
        if (dwWait == 0) dwWait = 1;
        if (dwWait > 100) dwWait = 100;
    } else {
        return CCommon::WaitUntilWritable();
    }
    std::array items{TermItem(), CancelItem()};
    return WaitForAny(items, dwWait) == WAIT_TIMEOUT;
}

DWORD CCom::OnSendFault(DWORD dwError) {
    SetLastError(dwError);
    if (dwError == ERROR_DEVICE_NOT_CONNECTED || dwError == ERROR_INVALID_HANDLE || HasStatus(PM_STATUS_OFFLINE)) {
        if (dwError != ERROR_DEVICE_NOT_CONNECTED) PORT_LOG(LOG_ERROR, "[%s] ThreadSendCom WriteFile() [unknown]", PortName());
        return ERROR_DEVICE_NOT_CONNECTED;
    }
    PORT_LOG(LOG_ERROR, "[%s] ThreadSendCom WriteFile() [unknown]", PortName());
    return ERROR_WRITE_FAULT;
}

void CCom::EndSending() {
    hSendHandle.Reset();
    DWORD dwError = 0;
    {
        std::lock_guard lock(csLock);
        dwError = dwSendError;
    }
    if (dwError != 0) {
        PORT_LOG(LOG_WARNING, "[%s] ThreadSendCom Cancel()", PortName());
        Cancel();
        bSoftReset = FALSE;
        return;
    }
    if (bSoftReset) StartResetInterval();
}

// The printer restarts after the real-time reset command: the port stays closed for
// kResetIntervalMs, and the service refuses writes while bSoftReset is set.
void CCom::StartResetInterval() {
    PORT_LOG(LOG_INFO, "[%s] Enter interval ThreadSendCom [Real-cmd-reset]", PortName());
    Close(FALSE);
    m_resetInterval.WaitForEnd(INFINITE);
    const BOOL bStarted = m_resetInterval.Start([this]() {
        WaitForEvent(hEvtTerm, kResetIntervalMs);
        PORT_LOG(LOG_INFO, "[%s] Escape interval ThreadSendCom [Real-cmd-reset]", PortName());
        bSoftReset = FALSE;
    });
    if (!bStarted) {
        PORT_LOG(LOG_ERROR, "[%s] Escape interval ThreadSendCom [Real-cmd-reset]", PortName());
        bSoftReset = FALSE;
    }
}

// ---- Reset, cancel, control ----

BOOL CCom::Reset() {
    {
        std::lock_guard lock(csDevice);
        if (hDevice) ::tcflush(hDevice.Get(), TCOFLUSH);
    }
    if (IsVirtual()) {
        if (HasStatus(PM_STATUS_NOT_SUPPORT_REAL_RESET_CMD)) {
            PORT_LOG(LOG_INFO, "[%s] Reset [NO ACTION,status:%08x]", PortName(), Status());
            return TRUE;
        }
        PORT_LOG(LOG_INFO, "[%s] Reset Write(REAL_RESET_CMD)", PortName());
        bSoftReset = TRUE;
        DWORD cbWritten = 0;
        const BOOL bWritten = Write(REAL_RESET_CMD, sizeof REAL_RESET_CMD, &cbWritten, 500);
        if (bWritten && cbWritten == sizeof REAL_RESET_CMD) return TRUE;
        bSoftReset = FALSE;
        if (bWritten) {
            SetLastError(ERROR_TIMEOUT);
            PORT_LOG(LOG_ERROR, "[%s] Reset Write(REAL_RESET_CMD) [TIMEOUT]", PortName());
        } else {
            PORT_LOG(LOG_ERROR, "[%s] Reset Write(REAL_RESET_CMD)", PortName());
        }
        return FALSE;
    }
    std::lock_guard lock(csDevice);
    if (!hDevice) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        PORT_LOG(LOG_WARNING, "[%s] Reset DevIo(IOCTL_SERIAL_PURGE)", PortName());
        return FALSE;
    }
    const int fd = hDevice.Get();
    if (::tcflush(fd, TCOFLUSH) != 0) {
        SetLastErrorFromErrno(errno);
        PORT_LOG(LOG_WARNING, "[%s] Reset DevIo(IOCTL_SERIAL_PURGE)", PortName());
        return FALSE;
    }
    if (m_lines.SetBreak(fd, true) != 0) {
        SetLastErrorFromErrno(errno);
        PORT_LOG(LOG_WARNING, "[%s] Reset DevIo(IOCTL_SERIAL_SET_BREAK_ON)", PortName());
        return FALSE;
    }
    PORT_LOG(LOG_INFO, "[%s] Reset DevIo(IOCTL_SERIAL_SET_BREAK_OFF)", PortName());
    Sleep(kBreakMs);
    if (m_lines.SetBreak(fd, false) != 0) {
        SetLastErrorFromErrno(errno);
        PORT_LOG(LOG_WARNING, "[%s] Reset DevIo(IOCTL_SERIAL_SET_BREAK_OFF)", PortName());
        return FALSE;
    }
    ::tcflow(fd, TCOON);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CCom::Cancel() {
    std::lock_guard lock(csDevice);
    if (hDevice) ::tcflush(hDevice.Get(), TCOFLUSH);
    return TRUE;
}

BOOL CCom::DevIo(DWORD dwIoControlCode, const void*, DWORD, void*, DWORD, DWORD* pcbReturned) {
    if (pcbReturned != nullptr) *pcbReturned = 0;
    SetLastError(ERROR_INVALID_FUNCTION);
    PORT_LOG(LOG_ERROR, "[%s] DevIo DeviceIoContro(%08x)", PortName(), dwIoControlCode);
    return FALSE;
}
