#pragma once
// CLan: the driver of printers on Ethernet or wireless LAN. Raw data goes to TCP 9100;
// every answer, the automatic status and the soft reset come through the status channel
// on TCP 26100; reachability is judged by ICMP echo. Channels are connected lazily.
#include <netinet/in.h>

#include <atomic>
#include <mutex>

#include "platform/Event.h"
#include "platform/UniqueFd.h"
#include "port/Icmp.h"
#include "port/SocketPort.h"
#include "port/StatusReply.h"

class CLan : public CSocketPort {
public:
    static constexpr int SOCK_STATUS = 0;  // TCP 26100
    static constexpr int SOCK_DATA = 1;    // TCP 9100
    static constexpr std::uint16_t kPort[2] = {26100, 9100};
    static constexpr DWORD kChunk = 1460;

    explicit CLan(const char* pszName);
    ~CLan() override;

    // Sets up the address at most every 3000 ms. Entry lock held. Non-blocking. FALSE with
    // ERROR_OUTOFMEMORY only when construction was incomplete.
    BOOL Init() override;
    // Closes the data channel in the orderly way (up to 60 s while the printer holds it).
    void Term() override;
    // The automatic status on first use, then the printer's queued replies through the
    // status channel. TRUE with 0 bytes when nothing is queued; FALSE (ERROR_DEVICE_NOT_
    // CONNECTED) only when the status channel fails and the printer stops answering ICMP.
    BOOL Read(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout) override;
    // Closes the data channel and sends OPT_RESET. Always TRUE.
    BOOL Reset() override;
    // Closes the data channel in the orderly way, which also stops a blocked send. TRUE.
    BOOL Cancel() override;
    // Probes reachability when offline or closed; connects nothing. FALSE with
    // ERROR_DEVICE_NOT_CONNECTED when the printer does not answer.
    BOOL Open() override;
    // Closes both channels and sets the closed bit; keeps the caller's last error.
    void Close(BOOL bFlag) override;
    // ICMP probe, at most one per 500 ms (blocks up to 2000 ms); updates the offline bit.
    // FALSE with ERROR_DEVICE_NOT_CONNECTED.
    BOOL IsConnect() override;

    // One status channel exchange: data bytes delivered, 0 for none or a rejected reply,
    // negative when the channel could not be used.
    int GetOptPortData(int nMode, BYTE* pBuffer, DWORD cbBuffer);

protected:
    const char* SendThreadName() const noexcept override { return "ThreadSendTcp"; }
    DWORD SendChunkSize() const noexcept override { return kChunk; }
    DWORD OnSendFault(DWORD dwError) override;
    // A name that is not a dotted IPv4 address leaves the port without an address.
    BOOL SetSockAddr() override;
    BOOL OpenSendSocket() override { return OpenSocket(SOCK_DATA); }
    const UniqueFd& SendSocket() const noexcept override { return sockPort[SOCK_DATA]; }
    // Waits for the wireless link while the printer holds the line; names the error else.
    bool KeepDraining(DWORD dwError) override;

private:
    BOOL OpenSocket(int index);
    void CloseSocket(int index);
    void CloseDataChannel();
    void ShutdownSocket(int fd);
    BOOL SetSocketOptions(int fd, int index);
    BOOL IsSendBusy(int fd);
    BOOL WaitWlan(BOOL bConnect, DWORD dwTimeout);
    bool ConnectSocket(UniqueFd& sock, int index);
    bool WaitForConnect(int fd, int index);
    int Exchange(int nMode, const BYTE* pRequest, BYTE* pBuffer, DWORD cbBuffer);
    int ReceiveData(int fd, int nMode, BYTE* pBuffer, DWORD cbBuffer, DWORD cbAnnounced);
    int CollectRecRaw(int fd, BYTE* pBuffer, DWORD cbBuffer, DWORD cbHave, DWORD cbAnnounced);
    int ReadFirstAccess(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, bool* pbGoOn);
    bool SkipPollWhileSending();

public:
    // Fields beyond the base, as the driver's design names them.
    UniqueFd sockPort[2];                 // guarded by csSocket
    CIcmpEcho hIcmp;
    sockaddr_in addrPort[2]{};             // guarded by csAddress
    std::uint16_t wRecBufCounter = 0;      // used under hSyncOpt
    BOOL bFirstAccessDone = FALSE;         // guarded by csRead
    DWORD dwLastPollTick = 0;              // guarded by csRead
    std::atomic<DWORD> dwLastIcmpTick{0};
    Event hSyncOpt{false, true};
    std::mutex csAddress;                  // guards addrPort and the address setup
    std::mutex csRead;                     // one Read at a time: a drain and a control read
    std::mutex csIcmp;                     // one probe at a time on the echo socket

private:
    std::atomic<std::uint32_t> m_dwHostAddr{0};
};

std::unique_ptr<CCommon> MakeLanPort(const char* pszName);
