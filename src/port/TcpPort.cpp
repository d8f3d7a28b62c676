// The status channel (TCP 26100): the exchange and the Read and Reset built on it.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/Globals.h"
#include "port/Lan2.h"
#include "port/PortLog.h"

namespace {

constexpr std::size_t kHeaderSize = STATUS_HEADER_SIZE;
constexpr BYTE kOptCommand[3] = {0x40, 0x00, 0x80};  // OPT_RESET, OPT_GET_ASB, OPT_REC_RAW
constexpr DWORD kAsbSize = 8;
constexpr DWORD kHeaderWaitMs = 5000;
constexpr DWORD kDataWaitMs = 100;
constexpr DWORD kRecRawCollectMs = 1000;
constexpr DWORD kScratchSize = 4096;

int Pending(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

// FALSE at the time limit, and at once when the run is cancelled.
bool WaitReadable(int fd, DWORD dwTimeout) {
    std::array items{WaitItem::ForFd(fd, POLLIN), WaitItem::For(PortAbortEvent())};
    return WaitForAny(items, dwTimeout) == WAIT_OBJECT_0;
}

// Drops whatever the channel holds; a receive error is returned (negative).
int Drain(int fd) {
    BYTE scratch[256];
    while (Pending(fd) > 0) {
        ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n < 0) return static_cast<int>(n);
        if (n == 0) break;
    }
    return 0;
}

}  // namespace

int CLan::GetOptPortData(int nMode, BYTE* pBuffer, DWORD cbBuffer) {
    BYTE request[kHeaderSize] = {0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, kOptCommand[nMode], 0x00, 0x00, 0x00, 0x00, 0x08, 0x00};
    WaitForEvent(hSyncOpt, INFINITE);
    if (nMode == OPT_REC_RAW) {
        request[9] = static_cast<BYTE>(wRecBufCounter & 0xFF);
        request[10] = static_cast<BYTE>(wRecBufCounter >> 8);
        request[11] = static_cast<BYTE>(cbBuffer & 0xFF);
        request[12] = static_cast<BYTE>((cbBuffer >> 8) & 0xFF);
    }
    int nResult = Exchange(nMode, request, pBuffer, cbBuffer);
    hSyncOpt.Set();
    return nResult;
}

int CLan::Exchange(int nMode, const BYTE* pRequest, BYTE* pBuffer, DWORD cbBuffer) {
    if (!OpenSocket(SOCK_STATUS)) return -1;
    int fd;
    {
        std::lock_guard lock(csSocket);
        fd = sockPort[SOCK_STATUS].Get();
    }
    if (int nDrain = Drain(fd); nDrain < 0) return nDrain;
    ssize_t nSent = ::send(fd, pRequest, kHeaderSize, MSG_NOSIGNAL);
    if (nSent != static_cast<ssize_t>(kHeaderSize)) {
        if (nSent < 0) SetLastErrorFromSocketErrno(errno);
        PORT_LOG(LOG_ERROR, "[%s] GetOptPortData send() [WSAERR:%d] [nSuccess:%d]", PortName(),
                 static_cast<int>(GetLastError()), static_cast<int>(nSent));
        return -1;  // a short send is a failed exchange, never a count of data
    }
    BYTE header[kHeaderSize] = {};
    ssize_t nGot = WaitReadable(fd, kHeaderWaitMs) ? ::recv(fd, header, kHeaderSize, MSG_WAITALL) : 0;
    if (nGot < 0) {
        SetLastErrorFromSocketErrno(errno);
        PORT_LOG(LOG_ERROR, "[%s] recv [WSAERR:%d]", PortName(), static_cast<int>(GetLastError()));
    }
    if (nGot != static_cast<ssize_t>(kHeaderSize)) {
        PORT_LOG(LOG_ERROR, "[%s] GetOptPortData bad header size (%d)", PortName(), static_cast<int>(nGot < 0 ? 0 : nGot));
        return 0;
    }
    StatusHeader parsed = ParseStatusHeader(header, pRequest[6]);
    if (parsed.check == StatusHeader::BadMagic) {
        PORT_LOG(LOG_ERROR, "[%s] GetOptPortData bad header data (%02x)", PortName(), header[0]);
        return 0;
    }
    if (parsed.check == StatusHeader::BadCommand) {
        PORT_LOG(LOG_ERROR, "[%s] GetOptPortData bad header cmd [%02x] [%02x]", PortName(), header[6], pRequest[6]);
        return 0;
    }
    DWORD cbAnnounced = parsed.cbAnnounced;
    if (cbAnnounced == 0) {
        if (nMode != OPT_REC_RAW) PORT_LOG(LOG_INFO, "[%s] GetOptPortData (nMode=%d)", PortName(), nMode);
        return 0;
    }
    if (nMode == OPT_REC_RAW) {
        wRecBufCounter = parsed.wCounter;
        PORT_LOG(LOG_DEBUG, "[%s] GetOptPortData [OPT_REC_RAW] (wRecBufCounter:%dbyte)", PortName(),
                 static_cast<int>(wRecBufCounter));
    }
    return ReceiveData(fd, nMode, pBuffer, cbBuffer, cbAnnounced);
}

int CLan::ReceiveData(int fd, int nMode, BYTE* pBuffer, DWORD cbBuffer, DWORD cbAnnounced) {
    // Data that follows the header in another segment is waited for briefly, so it is not
    // left behind for the next exchange to throw away.
    if (Pending(fd) == 0) WaitReadable(fd, kDataWaitMs);
    DWORD cbAvail = static_cast<DWORD>(Pending(fd));
    if (cbAvail == 0) return 0;
    StatusDataPlan plan = PlanStatusData(nMode, cbAvail, cbBuffer, cbAnnounced);
    if (plan.action == StatusDataPlan::DropTooBig) {
        PORT_LOG(LOG_ERROR, "[%s] GetOptPortData [RecData:%d],[Buf:%d],[RecDataLen:%d]", PortName(),
                 static_cast<int>(cbAvail), static_cast<int>(cbBuffer), static_cast<int>(cbAnnounced));
    }
    if (plan.action != StatusDataPlan::Take) {
        Drain(fd);
        return 0;
    }
    DWORD cbWant = plan.cbFirst;
    ssize_t nGot = ::recv(fd, pBuffer, cbWant, 0);
    DWORD cbGot = nGot > 0 ? static_cast<DWORD>(nGot) : 0;
    if (nMode == OPT_RESET) {
        PORT_LOG(LOG_INFO, "[%s] GetOptPortData [OPT_RESET]", PortName());
        return 0;
    }
    if (nMode == OPT_GET_ASB) {
        if (cbGot == kAsbSize) {
            PORT_LOG(LOG_INFO, "[%s] GetOptPortData [OPT_GET_ASB]", PortName());
            return static_cast<int>(kAsbSize);
        }
        PORT_LOG(LOG_ERROR, "[%s] GetOptPortData [OPT_GET_ASB] (bad data len:%d!=8)", PortName(), static_cast<int>(cbGot));
        return 0;
    }
    return CollectRecRaw(fd, pBuffer, cbBuffer, cbGot, cbAnnounced);
}

int CLan::CollectRecRaw(int fd, BYTE* pBuffer, DWORD cbBuffer, DWORD cbHave, DWORD cbAnnounced) {
    if (cbHave > 0 && pBuffer[0] == 0) {
        PORT_LOG(LOG_WARNING, "[%s] GetOptPortData [OPT_REC_RAW (ignore null)] (%dbyte)", PortName(), 0);
    }
    PORT_LOG(LOG_DEBUG, "[%s] GetOptPortData [OPT_REC_RAW] (%d/%dbyte)", PortName(), static_cast<int>(cbHave),
             static_cast<int>(cbAnnounced));
    DWORD cbWanted = cbAnnounced < cbBuffer ? cbAnnounced : cbBuffer;
    Deadline collect(kRecRawCollectMs);
    while (cbHave < cbWanted) {
        ssize_t n = ::recv(fd, pBuffer + cbHave, cbWanted - cbHave, MSG_DONTWAIT);
        if (n > 0) {
            cbHave += static_cast<DWORD>(n);
            PORT_LOG(LOG_DEBUG, "[%s] GetOptPortData [OPT_REC_RAW] (%d/%dbyte)", PortName(), static_cast<int>(cbHave),
                     static_cast<int>(cbAnnounced));
            continue;
        }
        if (collect.Expired()) {
            PORT_LOG(LOG_ERROR, "[%s] GetOptPortData [OPT_REC_RAW] timeout (%d/%dbyte)", PortName(),
                     static_cast<int>(cbHave), static_cast<int>(cbAnnounced));
            break;
        }
        WaitReadable(fd, 5);
    }
    PORT_LOG(LOG_DEBUG, "[%s] GetOptPortData [OPT_REC_RAW] (%d/%dbyte)", PortName(), static_cast<int>(cbHave),
             static_cast<int>(cbAnnounced));
    return static_cast<int>(cbHave);
}

// The first Read delivers the automatic status after a silent poll that drops old replies.
// Returns the count so far (negative: the channel failed); *pbGoOn when the read goes on
// as a normal one.
int CLan::ReadFirstAccess(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, bool* pbGoOn) {
    *pbGoOn = false;
    PORT_LOG(LOG_INFO, "[%s] Read [FIRST ACCESS]", PortName());
    BYTE scratch[kScratchSize];
    int nScratch = GetOptPortData(OPT_REC_RAW, scratch, sizeof scratch);
    if (nScratch < 0) return nScratch;
    if (cbBuffer >= kAsbSize) {
        if (GetOptPortData(OPT_GET_ASB, pBuffer, kAsbSize) != static_cast<int>(kAsbSize)) return -1;
        if (pcbRead != nullptr) *pcbRead = kAsbSize;
        bFirstAccessDone = TRUE;
        return 0;
    }
    PORT_LOG(LOG_ERROR, "[%s] Read GetOptPortData(cbOutBuf:%d < 8)", PortName(), static_cast<int>(cbBuffer));
    // What the scratch poll took is gone; the read reports nothing rather than bytes the
    // caller never received.
    *pbGoOn = nScratch == 0;
    return 0;
}

// While a send runs, input on the data channel is dropped and the status channel is polled
// at most once per second. True when this read skips its poll.
bool CLan::SkipPollWhileSending() {
    int fd = -1;
    {
        std::lock_guard lock(csSocket);
        if (bSendThread && sockPort[SOCK_DATA]) fd = sockPort[SOCK_DATA].Get();
        if (fd >= 0 && Pending(fd) > 0) {
            BYTE scratch[kScratchSize];
            ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
            if (n < 0) {
                PORT_LOG(LOG_ERROR, "[%s] Read recv() [9100] error", PortName());
            } else {
                PORT_LOG(LOG_DEBUG, "[%s] Read recv() (%d)", PortName(), static_cast<int>(n));
            }
            return false;
        }
    }
    if (!bSendThread) return false;
    DWORD dwNow = GetTickCount();
    if (dwNow - dwLastPollTick <= 1000) return true;
    dwLastPollTick = dwNow;
    PORT_LOG(LOG_DEBUG, "[%s] Read over interval time", PortName());
    return false;
}

// Reads run one at a time: the drain before a write and a control read would otherwise
// share the first-access state and close each other's status channel.
BOOL CLan::Read(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout) {
    std::lock_guard reading(csRead);
    if (pcbRead != nullptr) *pcbRead = 0;
    BOOL bResult = TRUE;
    int nCount = 0;
    bool bGoOn = true;
    if (!bFirstAccessDone) nCount = ReadFirstAccess(pBuffer, cbBuffer, pcbRead, &bGoOn);
    if (bGoOn && HasStatus(PM_STATUS_LAN_READ26100_WITHOUT9100)) {
        nCount = GetOptPortData(OPT_REC_RAW, pBuffer, cbBuffer);
    } else if (bGoOn) {
        OpenSocket(SOCK_DATA);
        if (!SkipPollWhileSending()) {
            Sleep(1);
            Deadline poll(dwTimeout);
            nCount = GetOptPortData(OPT_REC_RAW, pBuffer, cbBuffer);
            while (dwTimeout != 0 && nCount == 0 && !poll.Expired()) {
                Sleep(5);
                nCount = GetOptPortData(OPT_REC_RAW, pBuffer, cbBuffer);
            }
        }
    }
    CloseSocket(SOCK_STATUS);
    if (nCount < 0) {
        bResult = IsConnect();
    } else if (nCount > 0 && pcbRead != nullptr) {
        *pcbRead = static_cast<DWORD>(nCount);
    }
    // The drain before a write keeps the data channel: that write uses it next, and a
    // printer that takes one image per connection must get all of it on one.
    if (!bDrainRead) CloseSocket(SOCK_DATA);
    return bResult;
}

BOOL CLan::Reset() {
    PORT_LOG(LOG_INFO, "[%s] Reset CloseSocket() [9100]", PortName());
    {
        std::lock_guard lock(csSocket);
        CloseDataChannel();
    }
    Sleep(100);
    PORT_LOG(LOG_INFO, "[%s] Reset GetOptPortData(OPT_RESET)", PortName());
    GetOptPortData(OPT_RESET, nullptr, 0);
    CloseSocket(SOCK_STATUS);
    return TRUE;
}
