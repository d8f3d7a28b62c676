#include "MockSystemd.h"

#include <poll.h>

#include <cstdlib>
#include <cstring>

#include "platform/Tick.h"
#include "platform/UniqueFd.h"

namespace {

constexpr const char* kService = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kMockIface = "org.freedesktop.DBus.Mock";
constexpr const char* kUnitIface = "org.freedesktop.systemd1.Unit";
constexpr DWORD kStartLimit = 30000;  // a loaded machine may take long to start Python

struct BusError {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&e); }
};
struct BusMessage {
    sd_bus_message* p = nullptr;
    ~BusMessage() { sd_bus_message_unref(p); }
};

// Reads one line from fd, waiting at most until the deadline.
bool ReadLine(int fd, const Deadline& deadline, std::string* pLine) {
    char c;
    while (true) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, TimeoutToPoll(deadline.Remaining())) <= 0) return false;
        if (::read(fd, &c, 1) != 1) return false;
        if (c == '\n') return true;
        pLine->push_back(c);
    }
}

}  // namespace

MockSystemd::MockSystemd(bool withSystemd) {
    const char* pszOld = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    m_hadAddress = pszOld != nullptr;
    if (m_hadAddress) m_savedAddress = pszOld;
    if (!StartBus()) return;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.c_str(), 1);
    if (withSystemd && !StartSystemd()) return;
}

MockSystemd::~MockSystemd() {
    sd_bus_flush_close_unref(m_pBus);
    m_mock.Stop();
    m_busDaemon.Stop();
    if (m_hadAddress)
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", m_savedAddress.c_str(), 1);
    else
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

bool MockSystemd::StartBus() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        m_error = "pipe";
        return false;
    }
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    if (!m_busDaemon.Start({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"}, {},
                           writeEnd.Get())) {
        m_error = "cannot start /usr/bin/dbus-daemon";
        return false;
    }
    writeEnd.Reset();
    if (!ReadLine(readEnd.Get(), Deadline(kStartLimit), &m_address) || m_address.empty()) {
        m_error = "dbus-daemon printed no address";
        return false;
    }
    return true;
}

bool MockSystemd::StartSystemd() {
    if (!m_mock.Start({"/usr/bin/python3", "-m", "dbusmock", "--template", "systemd"},
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
    return WaitForSystemdName();
}

bool MockSystemd::WaitForSystemdName() {
    // The match is added before the first look, so the name cannot appear unseen.
    bool bAppeared = false;
    auto onOwnerChanged = [](sd_bus_message* m, void* userdata, sd_bus_error*) -> int {
        const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) >= 0 && std::strcmp(name, kService) == 0 &&
            *newOwner != '\0')
            *static_cast<bool*>(userdata) = true;
        return 0;
    };
    sd_bus_slot* pSlot = nullptr;
    int r = sd_bus_match_signal(m_pBus, &pSlot, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                "org.freedesktop.DBus", "NameOwnerChanged", onOwnerChanged, &bAppeared);
    if (r < 0) {
        m_error = "match NameOwnerChanged";
        return false;
    }
    BusError error;
    BusMessage reply;
    r = sd_bus_call_method(m_pBus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", &error.e, &reply.p, "s", kService);
    int hasOwner = 0;
    if (r >= 0 && sd_bus_message_read(reply.p, "b", &hasOwner) >= 0 && hasOwner) bAppeared = true;
    Deadline deadline(kStartLimit);
    while (!bAppeared && !deadline.Expired() && m_mock.Running()) {
        r = sd_bus_process(m_pBus, nullptr);
        if (r < 0) break;
        if (r == 0) sd_bus_wait(m_pBus, static_cast<uint64_t>(deadline.Remaining()) * 1000);
    }
    sd_bus_slot_unref(pSlot);
    if (!bAppeared) m_error = "python3-dbusmock did not take the systemd name";
    return bAppeared;
}

std::string MockSystemd::UnitPath(const std::string& unit) {
    std::string escaped = unit;
    for (char& c : escaped)
        if (c == '.' || c == '-') c = '_';
    return std::string(kManagerPath) + "/unit/" + escaped;
}

bool MockSystemd::AddRunningUnit(const std::string& unit) {
    return AddUnit(unit) && SetUnitProperty(unit, "ActiveState", "active");
}

bool MockSystemd::AddUnit(const std::string& unit) {
    BusError error;
    return sd_bus_call_method(m_pBus, kService, kManagerPath, kMockIface, "AddMockUnit", &error.e, nullptr, "s",
                              unit.c_str()) >= 0;
}

bool MockSystemd::SetUnitProperty(const std::string& unit, const char* pszName, const std::string& value) {
    BusError error;
    return sd_bus_call_method(m_pBus, kService, UnitPath(unit).c_str(), kMockIface, "UpdateProperties", &error.e,
                              nullptr, "sa{sv}", kUnitIface, 1, pszName, "s", value.c_str()) >= 0;
}

bool MockSystemd::AddUnitProperty(const std::string& unit, const char* pszName,
                                  const std::vector<std::string>& values) {
    BusMessage call;
    BusError error;
    std::vector<const char*> strv;
    for (const std::string& v : values) strv.push_back(v.c_str());
    strv.push_back(nullptr);
    int r = sd_bus_message_new_method_call(m_pBus, &call.p, kService, UnitPath(unit).c_str(), kMockIface,
                                           "AddProperty");
    if (r >= 0) r = sd_bus_message_append(call.p, "ss", kUnitIface, pszName);
    if (r >= 0) r = sd_bus_message_open_container(call.p, 'v', "as");
    if (r >= 0) r = sd_bus_message_append_strv(call.p, const_cast<char**>(strv.data()));
    if (r >= 0) r = sd_bus_message_close_container(call.p);
    if (r >= 0) r = sd_bus_call(m_pBus, call.p, 0, &error.e, nullptr);
    return r >= 0;
}

std::string MockSystemd::ActiveState(const std::string& unit) {
    BusError error;
    char* pszState = nullptr;
    if (sd_bus_get_property_string(m_pBus, kService, UnitPath(unit).c_str(), kUnitIface, "ActiveState", &error.e,
                                   &pszState) < 0)
        return "?";
    std::string state = pszState;
    std::free(pszState);
    return state;
}

int MockSystemd::CallsFor(const std::string& method, const std::string& unit) {
    BusError error;
    BusMessage reply;
    if (sd_bus_call_method(m_pBus, kService, kManagerPath, kMockIface, "GetMethodCalls", &error.e, &reply.p, "s",
                           method.c_str()) < 0)
        return -1;
    // a(tav): a timestamp and the arguments of each call.
    int n = 0;
    if (sd_bus_message_enter_container(reply.p, 'a', "(tav)") < 0) return -1;
    while (sd_bus_message_enter_container(reply.p, 'r', "tav") > 0) {
        uint64_t t = 0;
        sd_bus_message_read(reply.p, "t", &t);
        sd_bus_message_enter_container(reply.p, 'a', "v");
        std::string first;
        for (bool bFirst = true; sd_bus_message_at_end(reply.p, 0) == 0; bFirst = false) {
            char type = 0;
            const char* pszContents = nullptr;
            sd_bus_message_peek_type(reply.p, &type, &pszContents);
            if (bFirst && pszContents != nullptr && std::strcmp(pszContents, "s") == 0) {
                const char* psz = nullptr;
                sd_bus_message_enter_container(reply.p, 'v', "s");
                sd_bus_message_read(reply.p, "s", &psz);
                sd_bus_message_exit_container(reply.p);
                if (psz != nullptr) first = psz;
            } else if (sd_bus_message_skip(reply.p, "v") < 0) {
                return -1;
            }
        }
        if (unit.empty() || unit == first) ++n;
        sd_bus_message_exit_container(reply.p);
        sd_bus_message_exit_container(reply.p);
    }
    return n;
}

int MockSystemd::Calls(const std::string& method) {
    return CallsFor(method, "");
}

bool MockSystemd::ClearCalls() {
    BusError error;
    return sd_bus_call_method(m_pBus, kService, kManagerPath, kMockIface, "ClearCalls", &error.e, nullptr, "") >= 0;
}

bool MockSystemd::ReplaceManagerMethod(const std::string& name, const std::string& inSig, const std::string& outSig,
                                       const std::string& code) {
    BusError error;
    return sd_bus_call_method(m_pBus, kService, kManagerPath, kMockIface, "AddMethod", &error.e, nullptr, "sssss",
                              "org.freedesktop.systemd1.Manager", name.c_str(), inSig.c_str(), outSig.c_str(),
                              code.c_str()) >= 0;
}
