#pragma once
// CCom: the driver of serial printers on a tty (/dev/ttyS*, ttyUSB*, ttyACM*, or a tty
// without modem lines, such as a pty, which is a virtual port). Line settings come from
// the process's default configuration of the port (GetDefaultCommString) and are applied
// with termios; a low DSR on a port with modem lines means the printer is absent; the
// sending thread keeps the output queue at most 1024 bytes deep (a deeper one, as cdc-acm
// reports, is waited out) and holds while CTS is low; the device is opened exclusively (TIOCEXCL and flock), so two programs never write
// into one printer.
//
// Where the contract differs from CCommon's:
//  - Open never blocks longer than the 500 ms of open retries (plus the 300 ms gap a
//    virtual port keeps after a close): open(O_NONBLOCK) of a tty does not hang, so no
//    opening thread is needed.
//  - Reset of a virtual port sends the real-time reset command and keeps the port closed
//    for 5000 ms (bSoftReset set: writes fail with ERROR_BUSY, opens with
//    ERROR_DEVICE_NOT_CONNECTED).
//  - Read returns within about 30 ms (the serial read timing of CLegacy).
#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/Thread.h"
#include "platform/UniqueFd.h"
#include "port/ComConf.h"
#include "port/ComLines.h"
#include "port/Legacy.h"

struct termios;

// Status bits of this driver.
inline constexpr DWORD PM_STATUS_COM_CONFIG_CHANGED = 0x00000040;
inline constexpr DWORD PM_STATUS_COM_NO_CONFIG = 0x00000080;
inline constexpr DWORD PM_STATUS_COM_XONXOFF = 0x00000100;
inline constexpr DWORD PM_STATUS_MAKER_USB_VCP = 0x00020000;

// The configuration string actually applied: the suffix rules (stop bits get ",p", a
// trailing comma "p", a trailing space after a comma "p", another trailing space is
// dropped, "p" and "x" are kept) on a copy. *pbXonXoff tells that it ends in x.
enum class ComConfigFix {
    Kept,       // used as completed
    Complained, // a stray space was dropped: worth an error line, then used
    Fallback,   // no usable ending: *pUsed is "115200,n,8,1,p"
    TooLong,    // more than 32 characters: nothing is applied
};
ComConfigFix CompleteComConfig(std::string_view config, std::string* pUsed, bool* pbXonXoff);
// The DCB of a completed string with the flow control the driver always uses: RTS/CTS
// with DTR on, or, when the string asks for XON/XOFF, XON/XOFF output with DTR and RTS on.
// FALSE with ERROR_INVALID_PARAMETER when the string does not parse.
BOOL ComConfigDcb(std::string_view used, DCB* pDcb) noexcept;
// termios for a DCB, raw, CLOCAL and CREAD set; FALSE with ERROR_INVALID_PARAMETER for a
// baud rate termios has no constant for, unless pdwOtherRate is given: then that rate is
// stored there (0 for a rate of the table) for termios2, to be set after the termios.
BOOL DcbToTermios(const DCB& dcb, termios* pTio, DWORD* pdwOtherRate = nullptr) noexcept;

class CCom : public CLegacy {
public:
    // pLines: the modem line requests (nullptr: the kernel's).
    explicit CCom(const char* pszName, IComLines* pLines = nullptr);
    ~CCom() override;

    BOOL Init() override;
    // Logs "[%s] Term()"; nothing outlives Close on a tty.
    void Term() override;
    BOOL Write(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) override;
    BOOL Read(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout) override;
    BOOL Reset() override;
    // No control requests pass on a tty: FALSE with ERROR_INVALID_FUNCTION.
    BOOL DevIo(DWORD dwIoControlCode, const void* pInBuffer, DWORD cbInBuffer, void* pOutBuffer, DWORD cbOutBuffer,
               DWORD* pcbReturned) override;
    // Drops what waits in the output queue. Never blocks. TRUE.
    BOOL Cancel() override;
    BOOL Open() override;
    // Closes the tty without holding csDevice across the close: queued output drains for
    // at most 2000 ms, and is flushed at once after a cancel or a failed write.
    void Close(BOOL bFlag) override;
    BOOL IsConnect() override;

    BOOL OpenCore();
    BOOL ChkComConfig();
    BOOL SetComConfig();
    // Raises DTR on a port with modem lines, so that DSR handshaking never holds the line.
    BOOL SetIgnoredDsrPin(int hFile);

    bool IsVirtual() const noexcept { return HasStatus(PM_STATUS_VIRTUAL_COM); }
    // The descriptor of the open device, -1 when closed (tests).
    int DeviceFd() const;

    static constexpr DWORD kQueueSize = 1024;
    static constexpr DWORD kOpenRetryMs = 500;
    static constexpr DWORD kReopenGapMs = 300;
    static constexpr DWORD kConfigCheckMs = 3000;
    static constexpr DWORD kResetIntervalMs = 5000;

protected:
    const char* SendThreadName() const noexcept override { return "ThreadSendCom"; }
    DWORD SendChunkSize() const noexcept override { return kQueueSize; }
    bool BeginSending() override;
    bool SendingBlocked() override;
    long WriteNow(const BYTE* pData, DWORD cbData) override;
    bool WaitUntilWritable() override;
    DWORD OnSendFault(DWORD dwError) override;
    void EndSending() override;

private:
    void DetectKind();
    bool LineErrorsSinceLastLook(int fd, DWORD* pdwErrors);
    // Under csDevice: is the printer there by the modem lines (TRUE also without them)?
    BOOL IsConnectLocked();
    void StartResetInterval();
    BOOL SetComConfigLocked();
    void DrainOrFlush(int fd);

public:
    UniqueFd hDevice;                      // guarded by csDevice
    mutable std::mutex csDevice;
    std::atomic<DWORD> dwLastCloseTick{0};
    std::string szComConfig;               // guarded by csDevice

private:
    IComLines& m_lines;
    std::atomic<DWORD> m_dwBaud{115200};   // of the applied settings, for queue timing
    std::atomic<bool> m_bCrtscts{false};
    std::atomic<bool> m_bCtsHeld{false};
    std::atomic<DWORD> m_dwLastQueue{0};
    ComErrorCounts m_lastErrors{};         // guarded by csDevice
    bool m_bHaveErrorCounts = false;       // guarded by csDevice
    Thread m_resetInterval;                // started by the sending thread, joined here
    int m_nPortType = 0;                   // ComPortType: 1 physical, 2 virtual, else detected
    bool m_bHeldLogged = false;            // the "held by another program" line, once per failure run
    std::atomic<bool> m_bQueueFull{false};
    // The queue read deeper than the limit (a USB device's count): it drains at USB pace.
    bool m_bOverCount = false;             // sending thread only
    bool m_bOverLogged = false;            // sending thread only: the OVERRUN line, once per write
};

std::unique_ptr<CCommon> MakeComPort(const char* pszName);
