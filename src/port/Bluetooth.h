#pragma once
// CBluetooth: the driver of printers paired over Bluetooth. One RFCOMM stream to the
// printer's Serial Port Profile carries writes and answers. BlueZ makes the connection:
// the driver registers an SPP client profile, asks the device to connect it, takes the
// socket bluetoothd hands to the profile's NewConnection, and unregisters the profile
// (one live profile may hold the UUID; the socket keeps the link on its own).
// Where a contract differs from CCommon's, it is written here.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/BlueZ.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "port/SocketPort.h"

struct sd_bus;

inline constexpr const char* SPP_UUID = "00001101-0000-1000-8000-00805f9b34fb";

class CBluetooth : public CSocketPort {
public:
    static constexpr DWORD kChunk = 1460;

    explicit CBluetooth(const char* pszName);
    ~CBluetooth() override;

    // Orderly close of the connection: ends the link at once and drains what had come.
    void Term() override;
    // One receive of at most 100 ms whatever dwTimeout says. TRUE with 0 bytes when nothing
    // came or the link failed; FALSE (ERROR_DEVICE_NOT_CONNECTED) only without a connection.
    BOOL Read(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout) override;
    // Sends the real-time reset command on the open connection (nothing with
    // PM_STATUS_NOT_SUPPORT_REAL_RESET_CMD, then always TRUE).
    BOOL Reset() override;
    // Orderly close, as Term; never waits for a connect's bus call (the cancel wakes it). TRUE.
    BOOL Cancel() override;
    // Connects through BlueZ within 5000 ms; every bus call is woken by terminate and
    // cancel. FALSE with ERROR_DEVICE_NOT_CONNECTED (no bus, no BlueZ, no device paired on
    // a powered adapter, adapter off), ERROR_ACCESS_DENIED (the bus policy refused, or
    // another program held the SPP registration all that time), WSAECONNREFUSED (the
    // device refused or did not offer the profile), ERROR_CANCELLED or ERROR_TIMEOUT (page
    // time-out, BlueZ busy, no answer).
    BOOL Open() override;
    // RFCOMM has no half-close. bAbortive FALSE: both directions shut at once, then what
    // had come is drained; TRUE: drained until the printer ends the link, then shut.
    void Close(BOOL bAbortive) override;
    // No probe: clears the offline bit, TRUE.
    BOOL IsConnect() override;

protected:
    const char* SendThreadName() const noexcept override { return "ThreadSendBth"; }
    DWORD SendChunkSize() const noexcept override { return kChunk; }
    DWORD OnSendFault(DWORD dwError) override;
    // A name that no longer parses keeps the address it had. Always TRUE.
    BOOL SetSockAddr() override;
    BOOL OpenSendSocket() override { return OpenSocket(); }
    const UniqueFd& SendSocket() const noexcept override { return sockBth; }

private:
    BOOL OpenSocket();
    void CloseSocket(BOOL bAbortive);
    void ShutdownSocket(int fd, BOOL bAbortive);
    // The BlueZ part of the connect: a connected stream or an invalid fd with the last error.
    UniqueFd ConnectProfile();
    enum class BusWait { Done, Cancelled, Expired, Broken };
    enum class Attempt { Connected, Retry, Failed };
    BusWait WaitBus(sd_bus* pBus, const Deadline& limit, const std::function<bool()>& done);
    void FailWait(BusWait wait, const Deadline& limit);
    void FailConnect(DWORD dwError);
    bool FindDevice(sd_bus* pBus, const Deadline& limit, std::string* pPath, std::string* pOwner);
    // Retry comes with the last error the connect ends with if no time is left for another.
    Attempt ConnectOnce(sd_bus* pBus, const Deadline& limit, const std::string& devicePath, const std::string& owner,
                        UniqueFd* pFd);

public:
    UniqueFd sockBth;                       // guarded by csSocket
    std::atomic<std::uint64_t> btAddr{0};

private:
    DWORD m_dwWakeUp = 0;  // the wait result that ended a connect early; under csSocket
};

std::unique_ptr<CCommon> MakeBluetoothPort(const char* pszName);
