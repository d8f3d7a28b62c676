#pragma once
// CUsb: the driver of printers on USB, driven by the kernel's printer class driver (usblp).
// The port name USB%03u is lp(N-1); the node is found through sysfs each time the port is
// opened after a request or while offline, so a printer that left and came back under the
// same number is taken again. usblp allows one open at a time: one non-blocking descriptor
// serves writing, reading and control, opened by the first request and kept while the
// device is present. A write sends its first bytes at once and the rest on the sending
// thread; its bytes count once usblp's transfer has ended, and a printer that leaves
// during a write ends that write (the rest never goes to a device that comes back).
// usblp's soft reset waits inside the kernel for the printer's answer (up to its 5 s
// control time-out, not interruptible) holding the lock that every read, write and request
// of the device takes: it runs on a thread of its own with a descriptor of its own, and a
// cancel answers at once while it is still under way.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/UniqueFd.h"
#include "port/Common.h"
#include "port/UsbIdentity.h"

class CUsb : public CCommon {
public:
    static constexpr DWORD kSyncBytes = 64;
    static constexpr DWORD kChunk = 4096;
    static constexpr DWORD kReadUnit = 64;
    static constexpr DWORD kReadDefaultMs = 30;
    static constexpr DWORD kResetMs = 500;
    // Longer than usblp's own bound on the soft reset (5 s).
    static constexpr DWORD kResetWaitMs = 6000;

    explicit CUsb(const char* pszName);
    ~CUsb() override;

    // FALSE with ERROR_OUTOFMEMORY when construction was incomplete.
    BOOL Init() override;
    // Closes the device.
    void Term() override;
    // The first 64 bytes now, the rest on the sending thread in 4096-byte chunks; see
    // CCommon::Write. ERROR_BUSY when nothing could be written in time.
    BOOL Write(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) override;
    // At most cbBuffer rounded down to 64 bytes within dwTimeout (0: 30 ms). When the
    // request fails the result is IsConnect: TRUE with 0 bytes while the device is present
    // (a buffer under 64 bytes: ERROR_INSUFFICIENT_BUFFER kept as the last error).
    BOOL Read(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout) override;
    // usblp's soft reset. FALSE with ERROR_NOT_SUPPORTED on a node without usblp's
    // requests (the printer is left as it is); ERROR_CANCELLED at once on term, cancel or
    // the engine's abort while the reset is still under way (it ends on its own thread,
    // and requests wait for it meanwhile).
    BOOL Reset() override;
    // IOCTL_USBPRINT_GET_1284_ID (the ioctl, else sysfs) and IOCTL_USBPRINT_SOFT_RESET;
    // other codes: ERROR_NOT_SUPPORTED.
    BOOL DevIo(DWORD dwIoControlCode, const void* pInBuffer, DWORD cbInBuffer, void* pOutBuffer, DWORD cbOutBuffer,
               DWORD* pcbReturned) override;
    // Nothing is pending in the kernel beyond what usblp already took: logs, TRUE.
    BOOL Cancel() override;
    // Looks the device up when offline or closed; opens nothing.
    BOOL Open() override;
    // Sets the closed bit only; the descriptor stays while the device is present.
    void Close(BOOL bFlag) override;
    // GetUsbDevicePath.
    BOOL IsConnect() override;

    // Finds lpN for the port name through sysfs and stores its node in pszDevicePath;
    // updates the offline bit, logging each transition once. FALSE with
    // ERROR_DEVICE_NOT_CONNECTED.
    BOOL GetUsbDevicePath();

protected:
    const char* SendThreadName() const noexcept override { return "ThreadSendUsb"; }
    DWORD SendChunkSize() const noexcept override { return kChunk; }
    bool BeginSending() override;
    long WriteNow(const BYTE* pData, DWORD cbData) override;
    bool FinishLastChunk() override;
    void EndSending() override;

private:
    // bReopen false: only the descriptor already open on the same enumeration (a transfer
    // under way never moves to a device that came back); FALSE with
    // ERROR_DEVICE_NOT_CONNECTED otherwise.
    BOOL OpenDevice(bool bReopen = true);
    // hDev is open and its device still enumerated where it was (the cheap check of every
    // request; anything else reads the whole identity).
    bool OpenOnSameEnumeration();
    // A descriptor of the caller's own for one request, so that a close elsewhere cannot
    // hand the number to another file while the request still uses it.
    UniqueFd DupDevice(bool bReopen = true);
    void CloseDevice();
    // An I/O error: the printer went away (ERROR_DEVICE_NOT_CONNECTED, the device closed)
    // or the request failed (ERROR_REQUEST_ABORTED).
    void FailIo(int err, int nType);
    // pKeep (when given) receives the request's descriptor once all of it was sent.
    BOOL SyncWrite(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout, UniqueFd* pKeep = nullptr);
    BOOL SyncRead(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout);
    BOOL SoftReset();
    // No reset under way: TRUE. Else waits up to dwTimeout for its end; FALSE with
    // ERROR_CANCELLED (term, cancel, the engine's abort) or ERROR_BUSY (still under way);
    // *pdwWait gets the wait's result.
    BOOL WaitResetEnded(DWORD dwTimeout, DWORD* pdwWait = nullptr);
    bool ResetUnderWay();
    // An I/O error means the printer left: ENODEV, ESHUTDOWN, or its sysfs entry gone.
    bool Gone(int err) const;
    // usblp reports a descriptor writable once its last transfer has ended (a non-blocking
    // write returns while the transfer is still under way). TRUE when it ended within
    // dwTimeout; FALSE with ERROR_TIMEOUT, ERROR_CANCELLED (term, cancel, abort) or the
    // device's error.
    BOOL WaitTransferEnded(int fd, DWORD dwTimeout);

    std::mutex csDev;  // guards hDev and pszDevicePath
    UniqueFd hDev;
    // The device hDev was opened on; usblp gives a printer plugged back in the number it
    // had, so only the bus and device numbers tell a dead descriptor from a live one.
    UsbIdentity m_idOpen;
    // usblp refuses every read (EINVAL) of a printer without an input pipe: said once per
    // device, not per read.
    std::atomic<bool> m_bReadsRefused{false};
    unsigned m_nLp = 0;
    bool m_bNameValid = false;
    // One soft reset: its descriptor (closed only once the ioctl has returned), its result
    // and end. Shared with its thread, which touches nothing else of the port.
    struct ResetCall;
    std::shared_ptr<ResetCall> m_pReset;  // the last reset; guarded by csDev
    // The first bytes' descriptor, handed to the sending thread of the same write: the
    // file those bytes went to, so the rest can never reach a device that came back, and
    // no second sysfs look-up between two transfers. Guarded by csDev.
    UniqueFd m_fdHandOff;
    Thread m_resetThread;                 // started and joined under the control lock, or by the destructor
};

std::unique_ptr<CCommon> MakeUsbPort(const char* pszName);
