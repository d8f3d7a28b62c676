#pragma once
// python3-dbusmock's bluez5 template on a private bus standing in for the system bus, with
// what the template lacks for serial-port printers: it learns who registered a profile,
// and a device's ConnectProfile can hand that profile a connected stream (the simulated
// printer's end on the other side), refuse, or never call NewConnection.
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
    // A device on hci0; paired ones carry the class of device.
    bool AddDevice(const std::string& address, const std::string& name, std::uint32_t cod, bool bPaired);
    // Sets a Device1 property of string or unsigned type, or drops Name.
    bool SetDeviceName(const std::string& address, const std::string& name);
    static std::string DevicePath(const std::string& address, const std::string& adapter = "hci0");

    // What ConnectProfile does: connect to the Unix stream socket at path and hand that
    // stream to the registered profile; fail with a BlueZ error; or answer and do nothing.
    bool ServeProfile(const std::string& address, const std::string& socketPath);
    bool RefuseProfile(const std::string& address);
    bool IgnoreProfile(const std::string& address);
    // ConnectProfile calls on the device so far.
    int ConnectProfileCalls(const std::string& address);

private:
    bool StartBluez();
    bool Call(const char* pszPath, const char* pszIface, const char* pszMember, const char* pszTypes, ...);
    bool SetConnectProfile(const std::string& address, const std::string& code);

    std::unique_ptr<MockSystemd> m_pOwnBus;  // none when joining another bus
    std::string m_address;
    TestProcess m_mock;
    sd_bus* m_pBus = nullptr;
    std::string m_error;
};
