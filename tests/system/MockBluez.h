#pragma once
// python3-dbusmock's bluez5 template on a private bus standing in for the system bus, made
// as strict as bluetoothd 5.66 where the Bluetooth port relies on it (kelvo_bluez5.py): one
// live profile per UUID, registrations that go with their owner, ConnectProfile answered
// only after NewConnection, a non-blocking socket handed over and kept until the profile
// goes, newer objects listed first; and the faults a device's connect can meet.
#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string>

#include "MockSystemd.h"
#include "Spawn.h"

class MockBluez {
public:
    // withBluez false: the bus alone, nobody owns org.bluez.
    explicit MockBluez(bool withBluez = true);
    // The template on a bus that already stands in for the system bus (a MockSystemd's),
    // so that BlueZ and systemd answer on the same one.
    explicit MockBluez(const std::string& busAddress);
    ~MockBluez();
    MockBluez(const MockBluez&) = delete;
    MockBluez& operator=(const MockBluez&) = delete;

    bool Ok() const { return m_error.empty(); }
    const std::string& Error() const { return m_error; }

    // An adapter "hci0" (powered, as the template makes it).
    bool AddAdapter(const std::string& name = "hci0");
    bool SetAdapterPowered(bool bPowered, const std::string& name = "hci0");
    // A device on an adapter; paired ones carry the class of device.
    bool AddDevice(const std::string& address, const std::string& name, std::uint32_t cod, bool bPaired,
                   const std::string& adapter = "hci0");
    // Sets a Device1 property of string or unsigned type, or drops Name.
    bool SetDeviceName(const std::string& address, const std::string& name);
    static std::string DevicePath(const std::string& address, const std::string& adapter = "hci0");

    // What ConnectProfile does: connect to the Unix stream socket at path and hand that
    // stream to the registered profile; refuse (Failed "br-connection-refused"); or keep
    // the connect pending past the port's time limit.
    bool ServeProfile(const std::string& address, const std::string& socketPath, const std::string& adapter = "hci0");
    bool RefuseProfile(const std::string& address);
    bool IgnoreProfile(const std::string& address);
    // Any mode of kelvo_bluez5.py's SetConnectMode: pagetimeout, notready, notavailable,
    // nonewconn, refuse, hang, or inprogress:N (N InProgress answers first).
    bool SetConnectMode(const std::string& address, const std::string& mode, const std::string& adapter = "hci0");
    // ConnectProfile calls on the device so far.
    int ConnectProfileCalls(const std::string& address, const std::string& adapter = "hci0");
    // Live profile registrations, and the sockets BlueZ still keeps a copy of.
    int Profiles();
    int HeldSockets();

    // bluetoothd stops answering anything (the mock is stopped), or goes on.
    bool Freeze(bool bFrozen);

    // Another program on the bus registers uuid as a profile and keeps it until
    // ReleaseUuid (it leaves the bus).
    bool HoldUuid(const std::string& uuid);
    void ReleaseUuid();

private:
    bool StartBluez();
    bool Call(const char* pszPath, const char* pszIface, const char* pszMember, const char* pszTypes, ...);
    int TestCount(const char* pszMember, const std::string& devicePath);

    std::unique_ptr<MockSystemd> m_pOwnBus;  // none when joining another bus
    std::string m_address;
    TestProcess m_mock;
    sd_bus* m_pBus = nullptr;
    sd_bus* m_pHolder = nullptr;  // the other program holding a UUID
    std::string m_error;
};
