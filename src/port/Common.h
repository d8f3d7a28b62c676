#pragma once
// CCommon: the base of every port driver. It owns what all drivers share: the port name,
// the status word, the locks that serialise writes and control operations, the use counter
// that keeps a driver alive while a service call runs on it, and the sending thread that
// lets a write give up waiting without giving up the bytes it already took.
//
// The sending thread is made at the port's first write and kept until IoCancelRequest
// (the driver's destruction, at the port's close); each write hands it one run of the
// chunk loop. Below, "the sending thread" of a write means that run: it starts when the
// write hands it over, "ends" when the loop returns (the thread then waits for the next
// write), and is "forgotten" once a wait has seen it end.
//
// How a driver plugs in:
//  - derive from CCommon (or CLegacy), set pszPortName in the constructor, set
//    bSuccessInit when every resource was obtained, and implement Close plus the virtual
//    operations the device supports (the others keep the failing base behaviour);
//  - register a factory for its port kind with RegisterPortKind (Globals.h);
//  - a Write that may block calls WriteOnSendingThread; the thread runs the base's chunk
//    loop, and the driver gives only "write these bytes now" (WriteNow) and "wait until
//    writable" (WaitUntilWritable), plus the optional hooks around them;
//  - every wait on the device puts hEvtTerm and hEvtCancel into the same WaitForAny set
//    (TermCancelItems), so destruction and cancellation wake it.
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/Types.h"
#include "platform/UniqueFd.h"

// The opaque value that names one open port. 0 is no handle. Values are never reused, so a
// closed handle can never reach another port.
using HSDK = std::uint64_t;

// Status word bits shared by several drivers.
inline constexpr DWORD PM_STATUS_OFFLINE = 0x00000001;
inline constexpr DWORD PM_STATUS_NOT_SUPPORT_REAL_RESET_CMD = 0x00000004;
inline constexpr DWORD PM_STATUS_UNSUPPORT_COM_DSR = 0x00000800;
inline constexpr DWORD PM_STATUS_TCP_CON_WITHOUT_OPEN = 0x00002000;
inline constexpr DWORD PM_STATUS_COM_DIS_DOSDEVNAME = 0x00004000;
inline constexpr DWORD PM_STATUS_VIRTUAL_COM = 0x00010000;
inline constexpr DWORD PM_STATUS_LAN26100_UDP = 0x00100000;
inline constexpr DWORD PM_STATUS_LAN_READ26100_WITHOUT9100 = 0x00200000;
inline constexpr DWORD PM_STATUS_BT_SLEEP_BEFORE_SHUT = 0x00400000;
inline constexpr DWORD PM_STATUS_CLOSED = 0x10000000;
inline constexpr DWORD PM_STATUS_INITIAL = PM_STATUS_CLOSED | PM_STATUS_OFFLINE;

// The printer's real-time reset: DC3 "(reset" DC3 "reset)" NUL, sent in one write.
inline constexpr BYTE REAL_RESET_CMD[15] = {0x13, 0x28, 0x72, 0x65, 0x73, 0x65, 0x74, 0x13,
                                            0x72, 0x65, 0x73, 0x65, 0x74, 0x29, 0x00};

class CCommon {
public:
    // Base construction: every field 0, the status offline and closed, the five events
    // made. Event failures are not checked here; a driver that needs them leaves
    // bSuccessInit at 0.
    CCommon() noexcept;
    // A driver with a sending thread calls IoCancelRequest in its own destructor, so the
    // thread never outlives the driver's fields.
    virtual ~CCommon();
    CCommon(const CCommon&) = delete;
    CCommon& operator=(const CCommon&) = delete;

    // ---- Virtual operations, in slot order after the destructor. ----
    // Unless a contract says otherwise they are called by the port service while it holds a
    // use of the driver (nCallStartDoc > 0); they may block for the time they are given.

    // Is the driver usable? Called with the entry lock held, when the entry is created and
    // on every service call. Non-blocking. TRUE, or FALSE with the last error (a driver
    // whose construction was incomplete: ERROR_OUTOFMEMORY). Base: ERROR_INVALID_FUNCTION.
    virtual BOOL Init();
    // Releases device resources that outlive Close. Called once, after Close, by the close
    // of the port, when no other call uses the driver. Base: nothing.
    virtual void Term();
    // Sends cbBuffer bytes within dwTimeout ms and adds the count taken to *pcbWritten.
    // Called with the send lock held and the previous sending thread ended. Blocks up to
    // dwTimeout. TRUE with a count below cbBuffer and ERROR_TIMEOUT when time ran out; FALSE
    // with the last error on failure (ERROR_CANCELLED when cancelled). The caller's buffer
    // must not be touched after return: use WriteOnSendingThread. Base: ERROR_INVALID_FUNCTION.
    virtual BOOL Write(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout);
    // Reads what the device has, at most cbBuffer bytes, within dwTimeout ms (0: the
    // driver's default) and stores the count in *pcbRead. Called with the control lock held
    // (reads) or the send lock held (the drain before a write); may run beside the sending
    // thread. No data in time is not a failure. FALSE with the last error on a device
    // fault. Base: ERROR_INVALID_FUNCTION.
    virtual BOOL Read(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout);
    // Resets the printer or the channel to it. Called with both locks held and the sending
    // thread ended. TRUE, or FALSE with the last error. Base: ERROR_INVALID_FUNCTION.
    virtual BOOL Reset();
    // Passes a device control request. Blocking per driver. TRUE, or FALSE with the last
    // error. Base: ERROR_INVALID_FUNCTION.
    virtual BOOL DevIo(DWORD dwIoControlCode, const void* pInBuffer, DWORD cbInBuffer, void* pOutBuffer,
                       DWORD cbOutBuffer, DWORD* pcbReturned);
    // Aborts the I/O pending on the device now. Called with the control lock held, while a
    // sending thread may be writing; must not block. TRUE, or FALSE with the last error.
    // Base: ERROR_INVALID_FUNCTION.
    virtual BOOL Cancel();
    // Makes the device usable; cheap when it already is. Called before every write (send
    // lock held), read and reset (control lock held). Clears PM_STATUS_CLOSED on success.
    // FALSE with the last error, as a rule ERROR_DEVICE_NOT_CONNECTED with the offline bit
    // set. Base: ERROR_INVALID_FUNCTION.
    virtual BOOL Open();
    // Closes the device and sets PM_STATUS_CLOSED; the flag's meaning is the driver's.
    // Called after a failed read (control lock held, a sending thread may still run: it
    // must keep a device handle of its own, hSendHandle) and by the close of the port.
    // Non-failing.
    virtual void Close(BOOL bFlag) = 0;
    // Is the device present? Updates the offline bit. TRUE, or FALSE with the last error.
    // Base: ERROR_INVALID_FUNCTION.
    virtual BOOL IsConnect();

    // ---- Operations of the base, used by the service and the drivers. ----
    void IncUseCounter() noexcept;
    // Never goes below 0 (logs an error instead); always signals hEvtUseDec. The driver may
    // be destroyed as soon as the count reaches 0: the caller must not touch it afterwards.
    void DecUseCounter() noexcept;
    DWORD UseCount() const noexcept;

    // Control lock (reads, resets, cancels). Blocks without limit. FALSE with
    // ERROR_CANCELLED once the driver is being destroyed.
    BOOL WaitForCtrlFunc() noexcept;
    void ReleaseCtrlFunc() noexcept { hEvtCtrl.Set(); }
    // Send lock (writes; resets and cancels after the control lock). *pdwTimeout is the
    // limit (NULL: none) and loses the time spent on success. FALSE with ERROR_CANCELLED
    // (termination, or a cancel unless bIgnoreCancel), ERROR_TIMEOUT or ERROR_REQUEST_ABORTED.
    BOOL WaitForLastSending(DWORD* pdwTimeout, BOOL bIgnoreCancel) noexcept;
    void ReleaseSending() noexcept { hEvtSend.Set(); }
    // Waits for the previous sending thread to end and forgets it. Caller holds the send
    // lock. FALSE with ERROR_TIMEOUT (thread left running), ERROR_CANCELLED or
    // ERROR_WRITE_FAULT; a thread that ended during a cancel gives ERROR_CANCELLED and
    // returns bIgnoreCancel.
    BOOL WaitForLastTrdSending(DWORD* pdwTimeout, BOOL bIgnoreCancel) noexcept;
    // Waits up to dwTimeout ms for the current sending thread and adds the count that left
    // to *pcbWritten. TRUE (done, or ERROR_TIMEOUT with a partial count); FALSE with the
    // thread's error, ERROR_CANCELLED or ERROR_WRITE_FAULT. When time runs out the thread is
    // told to stop before its next chunk and given up to SEND_CHUNK_GRACE ms to finish the
    // one it took; after that it is stopped inside the chunk. Either way the count is read
    // once the thread has ended, so it is exactly what left, never a chunk still pending.
    BOOL WaitForTrdSending(DWORD dwTimeout, DWORD* pcbWritten) noexcept;
    // Stops all activity before destruction; the locks can never be taken again. Blocks
    // until the sending thread has ended, then ends and joins the thread itself (nothing of
    // the port runs afterwards). A repeated call only waits for the thread.
    BOOL IoCancelRequest() noexcept;

    // Status word helpers; the word is shared with the sending thread.
    DWORD Status() const noexcept { return dwPmStatus.load(); }
    void SetStatusBits(DWORD dwBits) noexcept { dwPmStatus.fetch_or(dwBits); }
    void ClearStatusBits(DWORD dwBits) noexcept { dwPmStatus.fetch_and(~dwBits); }
    bool HasStatus(DWORD dwBits) const noexcept { return (dwPmStatus.load() & dwBits) != 0; }
    const char* PortName() const noexcept { return pszPortName.c_str(); }

    // Sets bAbortSend under csLock (cancel, reset).
    void AbortSend() noexcept;

    // How long a writer whose time ran out lets the sending thread finish the chunk it took.
    static constexpr DWORD SEND_CHUNK_GRACE = 2000;

protected:
    // ---- For a driver's Write and its sending thread. ----
    // Hands the caller's data to a new thread running the chunk loop and waits for it with
    // WaitForTrdSending. On every return the thread can no longer take from pBuffer.
    // FALSE with the last error when the thread cannot start.
    BOOL WriteOnSendingThread(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) noexcept;
    // After a failed WriteOnSendingThread: its thread was never created (the driver logs it).
    bool SendingThreadNotCreated() const noexcept { return !m_bThreadRan && !hThread.Attached(); }

    // ---- The sending thread's hooks; all run on the sending thread. ----
    // The thread's name in its log lines ("ThreadSendTcp").
    virtual const char* SendThreadName() const noexcept { return "ThreadSend"; }
    // Bytes taken per chunk.
    virtual DWORD SendChunkSize() const noexcept { return 4096; }
    // Makes the device ready for the thread (connect, own fd). FALSE: the thread ends; the
    // hook has recorded the error with SetSendError.
    virtual bool BeginSending() { return true; }
    // The driver's own reasons to stop, asked only before a chunk is taken (never inside
    // one). TRUE: stop; the hook has logged and recorded the error.
    virtual bool SendingBlocked() { return false; }
    // Writes what the device takes now, without blocking: the count written (> 0), 0 when
    // the device takes nothing now, or -1 with the last error on a device fault.
    virtual long WriteNow(const BYTE* pData, DWORD cbData);
    // Waits a short while (at most about 100 ms) for the device to take data; wakes on
    // hEvtTerm and hEvtCancel. FALSE when the pending I/O was aborted (term, cancel).
    virtual bool WaitUntilWritable();
    // After the last chunk of the write left whole: TRUE when it counts as sent (the device
    // has finished with it); FALSE with the last error takes it back and stops the thread.
    // Waits as long as the device needs; wakes on hEvtTerm, hEvtCancel and an abort.
    virtual bool FinishLastChunk() { return true; }
    // A device fault in WriteNow (the thread stops). Returns the error to record.
    virtual DWORD OnSendFault(DWORD dwError) { return dwError; }
    // Runs when the thread ends, whatever the reason.
    virtual void EndSending() {}

    // Copies up to cbMax bytes of the caller's data into pChunk under csLock and counts
    // them in cbSent. Returns 0 when everything was taken or the thread must stop; then
    // *pdwStopError is ERROR_CANCELLED (abort) or ERROR_TIMEOUT (writer gave up), else 0.
    DWORD TakeChunk(BYTE* pChunk, DWORD cbMax, DWORD* pdwStopError) noexcept;
    // Between partial writes of a chunk.
    bool IsSendAborted() const noexcept { return bAbortSend.load(); }
    // Records the error the sending thread ends with.
    void SetSendError(DWORD dwError) noexcept;
    // The two events that every device wait must also wake on.
    WaitItem TermItem() noexcept { return WaitItem::For(hEvtTerm); }
    // The run's abort (PortAbortEvent): set while the run using the port is cancelled.
    static WaitItem AbortItem() noexcept;
    WaitItem CancelItem() noexcept { return WaitItem::For(hEvtCancel); }

public:
    // ---- Fields, in the order drivers and the service know them. ----
    std::atomic<BOOL> bSuccessInit{FALSE};
    std::atomic<BOOL> bSoftReset{FALSE};
    HSDK hSdk = 0;
    Event hEvtTerm{true, false};
    Event hEvtCancel{true, false};
    Event hEvtUseDec{false, false};
    Event hEvtCtrl{false, true};
    std::string pszPortName;
    std::atomic<DWORD> dwPmStatus{PM_STATUS_INITIAL};
    std::atomic<DWORD> dwDefWriteTimeout{0};
    DWORD nCallStartDoc = 0;              // guarded by csLock
    mutable std::mutex csLock;
    std::atomic<BOOL> bAbortSend{FALSE};  // written under csLock
    std::atomic<BOOL> bCancelling{FALSE};
    std::atomic<BOOL> bThreadTimeout{FALSE};  // written under csLock
    std::atomic<BOOL> bReadDone{FALSE};
    // The read running is the drain before a write: a driver keeps open what that write
    // is about to use (set by the service around that read only).
    std::atomic<BOOL> bDrainRead{FALSE};
    std::atomic<DWORD> dwLastInitTick{0};
    std::atomic<DWORD> dwLastSendTick{0};
    std::string pszDevicePath;
    JobThread hThread;                    // guarded by the send lock; one run per write
    Event hEvtSend{false, true};
    UniqueFd hSendHandle;                 // the sending thread's own device fd
    const BYTE* pSendData = nullptr;      // guarded by csLock
    DWORD cbSendRemain = 0;               // guarded by csLock
    DWORD cbSent = 0;                     // guarded by csLock
    DWORD dwSendError = 0;                // guarded by csLock
    // The service's table: its link and the entry lock, which outlives the driver so that a
    // caller still waiting on it wakes safely after the close.
    CCommon* pNext = nullptr;
    std::shared_ptr<Event> pEntryLock;

private:
    // The sending thread's body: take a chunk, send all of it, repeat.
    void SendingThread();
    bool SendWholeChunk(const BYTE* pChunk, DWORD cbChunk);
    bool StopBeforeChunk();
    // The chunk just taken was the write's last.
    bool NothingLeftToTake() const noexcept;
    // A chunk stopped part-way: what never left comes off cbSent.
    void Unsend(DWORD cbUnsent) noexcept;
    // After the writer's own wait ended without the thread: lets it finish its chunk (time
    // out) or stop (cancel), so cbSent is final.
    void SettleSendingThread(bool bTimedOut) noexcept;
    // IoCancelRequest has taken the send lock for good.
    std::atomic<bool> m_bSendLockKept{false};
    // The sending thread of the last WriteOnSendingThread has started running.
    std::atomic<bool> m_bThreadRan{false};
    bool ThreadRunning() const noexcept { return hThread.Attached(); }
    void ForgetEndedThread() noexcept;
    void DetachCallerBuffer() noexcept;
};
