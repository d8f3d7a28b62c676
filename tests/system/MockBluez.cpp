#include "MockBluez.h"

#include <cctype>
#include <cstdarg>
#include <cstring>

#include "platform/SdBus.h"
#include "platform/Tick.h"

namespace {

constexpr const char* kBluez = "org.bluez";
constexpr const char* kMockIface = "org.freedesktop.DBus.Mock";
constexpr const char* kBluezMockIface = "org.bluez.Mock";
constexpr DWORD kStartLimit = 30000;

// Runs in the mock: notes the sender and object of every RegisterProfile, per UUID, so
// that ConnectProfile can call the right NewConnection.
constexpr const char* kWatchProfiles = R"(
import dbus.lowlevel
def _kelvo_watch(bus, msg):
    if msg.get_type() == 1 and msg.get_member() == 'RegisterProfile':
        a = msg.get_args_list()
        objects['/'].kelvo_profiles[str(a[1]).lower()] = (msg.get_sender(), str(a[0]))
    return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
self.kelvo_profiles = {}
self.connection.add_message_filter(_kelvo_watch)
)";

std::string PythonString(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\\' || c == '\'') out += '\\';
        out += c;
    }
    return out + "'";
}

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
    sd_bus_flush_close_unref(m_pBus);
    m_mock.Stop();
}

bool MockBluez::StartBluez() {
    if (!m_mock.Start({"/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "bluez5"},
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
    if (!Call("/", kMockIface, "AddMethod", "sssss", "org.kelvo.Test", "WatchProfiles", "", "", kWatchProfiles) ||
        !Call("/", "org.kelvo.Test", "WatchProfiles", "")) {
        if (m_error.empty()) m_error = "cannot watch profile registrations";
        return false;
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

bool MockBluez::AddDevice(const std::string& address, const std::string& name, std::uint32_t cod, bool bPaired) {
    if (!Call("/", kBluezMockIface, "AddDevice", "sss", "hci0", address.c_str(), name.c_str())) return false;
    if (bPaired && !Call("/", kBluezMockIface, "PairDevice", "ssi", "hci0", address.c_str(), static_cast<int>(cod)))
        return false;
    // The template keeps the class it made the device with; the printer's is set here.
    std::string path = DevicePath(address);
    return Call(path.c_str(), kMockIface, "UpdateProperties", "sa{sv}", "org.bluez.Device1", 1, "Class", "u", cod);
}

bool MockBluez::SetDeviceName(const std::string& address, const std::string& name) {
    std::string path = DevicePath(address);
    return Call(path.c_str(), kMockIface, "UpdateProperties", "sa{sv}", "org.bluez.Device1", 1, "Name", "s",
                name.c_str());
}

bool MockBluez::SetConnectProfile(const std::string& address, const std::string& code) {
    std::string path = DevicePath(address);
    return Call(path.c_str(), kMockIface, "AddMethod", "sssss", "org.bluez.Device1", "ConnectProfile", "s", "",
                code.c_str());
}

bool MockBluez::ServeProfile(const std::string& address, const std::string& socketPath) {
    return SetConnectProfile(address, R"(
import socket
p = objects['/'].kelvo_profiles.get(str(args[0]).lower())
if p is None:
    raise dbus.exceptions.DBusException('Profile not registered', name='org.bluez.Error.NotAvailable')
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
try:
    s.connect()" + PythonString(socketPath) + R"()
except OSError:
    s.close()
    raise dbus.exceptions.DBusException('Connection refused (111)', name='org.bluez.Error.Failed')
self.connection.call_async(p[0], p[1], 'org.bluez.Profile1', 'NewConnection', 'oha{sv}',
                           (dbus.ObjectPath(self.path), dbus.types.UnixFd(s), dbus.Dictionary({}, signature='sv')),
                           lambda *a: None, lambda *a: None)
s.close()
)");
}

bool MockBluez::RefuseProfile(const std::string& address) {
    return SetConnectProfile(
        address, "raise dbus.exceptions.DBusException('Connection refused (111)', name='org.bluez.Error.Failed')");
}

bool MockBluez::IgnoreProfile(const std::string& address) { return SetConnectProfile(address, "pass"); }

int MockBluez::ConnectProfileCalls(const std::string& address) {
    std::string path = DevicePath(address);
    BusError error;
    BusMessage reply;
    if (sd_bus_call_method(m_pBus, kBluez, path.c_str(), kMockIface, "GetMethodCalls", &error.e, &reply.p, "s",
                           "ConnectProfile") < 0)
        return -1;
    int n = 0;
    if (sd_bus_message_enter_container(reply.p, 'a', "(tav)") < 0) return -1;
    while (sd_bus_message_at_end(reply.p, 0) == 0) {
        if (sd_bus_message_skip(reply.p, "(tav)") < 0) return -1;
        ++n;
    }
    return n;
}
