#pragma once
// A private message bus with python3-dbusmock's systemd template on it, standing in for
// the system bus: DBUS_SYSTEM_BUS_ADDRESS points at it while the object lives.
#include <systemd/sd-bus.h>

#include <string>
#include <vector>

#include "Spawn.h"

class MockSystemd {
public:
    // withSystemd false: the bus alone, nobody owns the systemd name.
    explicit MockSystemd(bool withSystemd = true);
    ~MockSystemd();
    MockSystemd(const MockSystemd&) = delete;
    MockSystemd& operator=(const MockSystemd&) = delete;

    // Empty when the set-up failed; Error() says why.
    bool Ok() const { return m_error.empty(); }
    const std::string& Error() const { return m_error; }
    const std::string& Address() const { return m_address; }

    static std::string UnitPath(const std::string& unit);
    bool AddUnit(const std::string& unit);
    // AddUnit, and the unit running ("active").
    bool AddRunningUnit(const std::string& unit);
    bool SetUnitProperty(const std::string& unit, const char* pszName, const std::string& value);
    // Adds a string-array property the template's units lack (e.g. TriggeredBy).
    bool AddUnitProperty(const std::string& unit, const char* pszName, const std::vector<std::string>& values);
    std::string ActiveState(const std::string& unit);
    // How often the manager's method was called since the last ClearCalls.
    int Calls(const std::string& method);
    // Calls of the method with this unit name as first argument.
    int CallsFor(const std::string& method, const std::string& unit);
    bool ClearCalls();
    // Replaces a manager method with Python code (dbusmock's AddMethod).
    bool ReplaceManagerMethod(const std::string& name, const std::string& inSig, const std::string& outSig,
                              const std::string& code);

private:
    bool StartBus();
    bool StartSystemd();
    bool WaitForSystemdName();

    TestProcess m_busDaemon;
    TestProcess m_mock;
    sd_bus* m_pBus = nullptr;
    std::string m_address;
    std::string m_savedAddress;
    bool m_hadAddress = false;
    std::string m_error;
};
