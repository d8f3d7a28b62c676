#include "MockBluez.h"

#include <csignal>
#include <cctype>
#include <cstdarg>
#include <cstring>

#include "platform/SdBus.h"
#include "platform/Tick.h"

namespace {

constexpr const char* kBluez = "org.bluez";
constexpr const char* kMockIface = "org.freedesktop.DBus.Mock";
constexpr const char* kBluezMockIface = "org.bluez.Mock";
constexpr const char* kTestIface = "org.kelvo.Test";
constexpr DWORD kStartLimit = 30000;

}  // namespace

MockBluez::MockBluez(bool withBluez) : m_pOwnBus(std::make_unique<MockSystemd>(false)) {
    if (!m_pOwnBus->Ok()) {
        m_error = m_pOwnBus->Error();
        return;
    }
    m_address = m_pOwnBus->Address();
    if (withBluez) StartBluez();
}

MockBluez::MockBluez(const std::string& busAddress) : m_address(busAddress) {
    if (m_address.empty()) {
        m_error = "no bus to join";
        return;
    }
    StartBluez();
}

MockBluez::~MockBluez() {
    Freeze(false);
    ReleaseUuid();
    sd_bus_flush_close_unref(m_pBus);
    m_mock.Stop();
}

bool MockBluez::StartBluez() {
    if (!m_mock.Start({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", KELVO_BLUEZ_TEMPLATE},
                      {"DBUS_SYSTEM_BUS_ADDRESS=" + m_address})) {
        m_error = "cannot start python3-dbusmock";
        return false;
    }
    int r = sd_bus_new(&m_pBus);
    if (r >= 0) r = sd_bus_set_address(m_pBus, m_address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(m_pBus, 1);
    if (r >= 0) r = sd_bus_start(m_pBus);
    if (r < 0) {
        m_error = std::string("test bus connection: ") + std::strerror(-r);
        return false;
    }
    Deadline deadline(kStartLimit);
    for (;;) {
        BusError error;
        BusMessage reply;
        int hasOwner = 0;
        if (sd_bus_call_method(m_pBus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                               "NameHasOwner", &error.e, &reply.p, "s", kBluez) >= 0 &&
            sd_bus_message_read(reply.p, "b", &hasOwner) >= 0 && hasOwner)
            break;
        if (deadline.Expired() || !m_mock.Running()) {
            m_error = "python3-dbusmock did not take the org.bluez name";
            return false;
        }
        Sleep(20);
    }
    return true;
}

bool MockBluez::Call(const char* pszPath, const char* pszIface, const char* pszMember, const char* pszTypes, ...) {
    BusMessage call;
    BusError error;
    int r = sd_bus_message_new_method_call(m_pBus, &call.p, kBluez, pszPath, pszIface, pszMember);
    if (r >= 0 && *pszTypes != '\0') {
        va_list ap;
        va_start(ap, pszTypes);
        r = sd_bus_message_appendv(call.p, pszTypes, ap);
        va_end(ap);
    }
    if (r >= 0) r = sd_bus_call(m_pBus, call.p, 0, &error.e, nullptr);
    if (r < 0) m_error = std::string(pszMember) + ": " + (error.e.message != nullptr ? error.e.message : std::strerror(-r));
    return r >= 0;
}

std::string MockBluez::DevicePath(const std::string& address, const std::string& adapter) {
    std::string dev = address;
    for (char& c : dev) c = c == ':' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return "/org/bluez/" + adapter + "/dev_" + dev;
}

bool MockBluez::AddAdapter(const std::string& name) {
    return Call("/", kBluezMockIface, "AddAdapter", "ss", name.c_str(), "kelvo-test-host");
}

bool MockBluez::SetAdapterPowered(bool bPowered, const std::string& name) {
    std::string path = "/org/bluez/" + name;
    return Call(path.c_str(), kMockIface, "UpdateProperties", "sa{sv}", "org.bluez.Adapter1", 1, "Powered", "b",
                bPowered ? 1 : 0);
}

bool MockBluez::AddDevice(const std::string& address, const std::string& name, std::uint32_t cod, bool bPaired,
                          const std::string& adapter) {
    if (!Call("/", kBluezMockIface, "AddDevice", "sss", adapter.c_str(), address.c_str(), name.c_str())) return false;
    if (bPaired && !Call("/", kBluezMockIface, "PairDevice", "ssi", adapter.c_str(), address.c_str(), static_cast<int>(cod)))
        return false;
    // The template keeps the class it made the device with; the printer's is set here.
    std::string path = DevicePath(address, adapter);
    return Call(path.c_str(), kMockIface, "UpdateProperties", "sa{sv}", "org.bluez.Device1", 1, "Class", "u", cod);
}

bool MockBluez::SetDeviceName(const std::string& address, const std::string& name) {
    std::string path = DevicePath(address);
    return Call(path.c_str(), kMockIface, "UpdateProperties", "sa{sv}", "org.bluez.Device1", 1, "Name", "s",
                name.c_str());
}

bool MockBluez::SetConnectMode(const std::string& address, const std::string& mode, const std::string& adapter) {
    std::string path = DevicePath(address, adapter);
    return Call("/", kTestIface, "SetConnectMode", "oss", path.c_str(), mode.c_str(), "");
}

bool MockBluez::ServeProfile(const std::string& address, const std::string& socketPath, const std::string& adapter) {
    std::string path = DevicePath(address, adapter);
    return Call("/", kTestIface, "SetConnectMode", "oss", path.c_str(), "serve", socketPath.c_str());
}

bool MockBluez::RefuseProfile(const std::string& address) { return SetConnectMode(address, "refuse"); }

bool MockBluez::IgnoreProfile(const std::string& address) { return SetConnectMode(address, "hang"); }

int MockBluez::TestCount(const char* pszMember, const std::string& devicePath) {
    BusError error;
    BusMessage reply;
    int r = devicePath.empty()
                ? sd_bus_call_method(m_pBus, kBluez, "/", kTestIface, pszMember, &error.e, &reply.p, "")
                : sd_bus_call_method(m_pBus, kBluez, "/", kTestIface, pszMember, &error.e, &reply.p, "o",
                                     devicePath.c_str());
    int n = -1;
    if (r < 0 || sd_bus_message_read(reply.p, "i", &n) < 0) return -1;
    return n;
}

int MockBluez::ConnectProfileCalls(const std::string& address, const std::string& adapter) {
    return TestCount("ConnectProfileCalls", DevicePath(address, adapter));
}

int MockBluez::Profiles() { return TestCount("Profiles", ""); }

int MockBluez::HeldSockets() { return TestCount("HeldSockets", ""); }

bool MockBluez::HoldUuid(const std::string& uuid) {
    ReleaseUuid();
    int r = sd_bus_new(&m_pHolder);
    if (r >= 0) r = sd_bus_set_address(m_pHolder, m_address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(m_pHolder, 1);
    if (r >= 0) r = sd_bus_start(m_pHolder);
    BusError error;
    if (r >= 0)
        r = sd_bus_call_method(m_pHolder, kBluez, "/org/bluez", "org.bluez.ProfileManager1", "RegisterProfile", &error.e,
                               nullptr, "osa{sv}", "/org/other/serial", uuid.c_str(), 0);
    if (r < 0) m_error = std::string("HoldUuid: ") + (error.e.message != nullptr ? error.e.message : std::strerror(-r));
    return r >= 0;
}

void MockBluez::ReleaseUuid() {
    sd_bus_flush_close_unref(m_pHolder);
    m_pHolder = nullptr;
}

bool MockBluez::Freeze(bool bFrozen) { return m_mock.Signal(bFrozen ? SIGSTOP : SIGCONT); }
