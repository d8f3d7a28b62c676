#pragma once
// CSocketPort: what the LAN and Bluetooth drivers share. Both write a stream socket on the
// base's sending thread, keep the socket under csSocket, set their address up lazily from
// the port name and stop sending once the printer is offline.
//
// How a driver plugs in: set m_dwInitError (with bSuccessInit 0) when construction was
// incomplete, implement SetSockAddr, OpenSendSocket and SendSocket, and pass to the
// constructor whether its Write logs the time it waits.
#include <atomic>
#include <mutex>

#include "platform/UniqueFd.h"
#include "port/Common.h"

class CSocketPort : public CCommon {
public:
    // Re-reads the address from the name at most every 3000 ms. Entry lock held.
    // Non-blocking. TRUE, or FALSE with the construction's error when it was incomplete.
    BOOL Init() override;
    // Sends on a sending thread in the driver's chunks; see CCommon::Write. bSendThread
    // stays set until the thread ends.
    BOOL Write(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) override;
    // Nothing to pass on a socket: TRUE with nothing returned.
    BOOL DevIo(DWORD dwIoControlCode, const void* pInBuffer, DWORD cbInBuffer, void* pOutBuffer, DWORD cbOutBuffer,
               DWORD* pcbReturned) override;

protected:
    explicit CSocketPort(bool bLogWriteTimeout) noexcept : m_bLogWriteTimeout(bLogWriteTimeout) {}

    // ---- The driver's part. ----
    // Takes the address from pszPortName and sets pszHostAddress. Called by Init.
    virtual BOOL SetSockAddr() = 0;
    // Connects the socket the sending thread writes, when it is not connected. FALSE with
    // the last error.
    virtual BOOL OpenSendSocket() = 0;
    // That socket; called with csSocket held.
    virtual const UniqueFd& SendSocket() const noexcept = 0;

    // ---- The sending thread's hooks. ----
    // Connects and takes a descriptor of the socket's own.
    bool BeginSending() override;
    // Stops before a chunk once the offline bit is set (ERROR_DEVICE_NOT_CONNECTED).
    bool SendingBlocked() override;
    // An aborted wait counts as the last send for the keep-connected rule.
    bool WaitUntilWritable() override;
    // Drops the thread's descriptor and clears bSendThread.
    void EndSending() override;

    // For OnSendFault: waits for the control lock, as a reset or cancel holding it is about
    // to act on the socket itself. 0 with the lock taken (the caller releases it), else the
    // error the thread ends with: ERROR_CANCELLED (aborted) or ERROR_WRITE_FAULT.
    DWORD TakeCtrlAfterSendFault();
    // The send buffer and the 100 ms receive timeout. FALSE with the last error.
    BOOL SetStreamOptions(int fd, int cbSendBuffer);
    // The orderly close's wait, between the half-close and the shutdown: receives until the
    // printer closes its side, a receive fails for good, or 60000 ms pass. csSocket held.
    void DrainForClose(int fd);
    // A receive of that wait failed with dwError (WSAETIMEDOUT: the printer still holds
    // the line). FALSE ends the wait. Base: TRUE.
    virtual bool KeepDraining(DWORD dwError);

public:
    std::atomic<BOOL> bSendThread{FALSE};
    std::atomic<bool> pszHostAddress{false};  // the address has been set up
    // Guards the sockets, the connect and the close. Not the base's csLock: a cancel takes
    // that lock before it wakes a connect, which must not hold it meanwhile.
    std::mutex csSocket;

protected:
    DWORD m_dwInitError = 0;

private:
    const bool m_bLogWriteTimeout;
};
