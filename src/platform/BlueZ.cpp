#include "platform/BlueZ.h"

#include <systemd/sd-bus.h>

#include <cctype>
#include <cstring>

#include "platform/LastError.h"
#include "platform/SdBus.h"
#include "platform/Text.h"
#include "platform/WinError.h"

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// One a{sv}: the values of the types kept, the rest skipped.
bool ReadProps(sd_bus_message* m, BluezProps* pProps) {
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return false;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* pszKey = nullptr;
        const char* pszContents = nullptr;
        char type = 0;
        if (sd_bus_message_read(m, "s", &pszKey) < 0 || sd_bus_message_peek_type(m, &type, &pszContents) < 0)
            return false;
        BluezValue value;
        int r = 0;
        if (pszContents != nullptr && std::strcmp(pszContents, "b") == 0) {
            int b = 0;
            r = sd_bus_message_read(m, "v", "b", &b);
            value = b != 0;
        } else if (pszContents != nullptr && std::strcmp(pszContents, "u") == 0) {
            std::uint32_t u = 0;
            r = sd_bus_message_read(m, "v", "u", &u);
            value = u;
        } else if (pszContents != nullptr && (std::strcmp(pszContents, "s") == 0 || std::strcmp(pszContents, "o") == 0)) {
            const char* psz = nullptr;
            r = sd_bus_message_read(m, "v", pszContents, &psz);
            value = std::string(psz != nullptr ? psz : "");
        } else {
            r = sd_bus_message_skip(m, "v");
        }
        if (r < 0) return false;
        if (value.index() != 0) (*pProps)[pszKey] = std::move(value);
        if (sd_bus_message_exit_container(m) < 0) return false;
    }
    return sd_bus_message_exit_container(m) >= 0;
}

bool ReadObjects(sd_bus_message* m, std::vector<BluezObject>* pObjects) {
    if (sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}") < 0) return false;
    while (sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}") > 0) {
        const char* pszPath = nullptr;
        if (sd_bus_message_read(m, "o", &pszPath) < 0 || sd_bus_message_enter_container(m, 'a', "{sa{sv}}") < 0)
            return false;
        while (sd_bus_message_enter_container(m, 'e', "sa{sv}") > 0) {
            const char* pszIface = nullptr;
            if (sd_bus_message_read(m, "s", &pszIface) < 0) return false;
            if (std::strcmp(pszIface, BLUEZ_ADAPTER_IFACE) == 0 || std::strcmp(pszIface, BLUEZ_DEVICE_IFACE) == 0) {
                BluezObject obj{pszPath, pszIface, {}};
                if (!ReadProps(m, &obj.props)) return false;
                pObjects->push_back(std::move(obj));
            } else if (sd_bus_message_skip(m, "a{sv}") < 0) {
                return false;
            }
            if (sd_bus_message_exit_container(m) < 0) return false;
        }
        if (sd_bus_message_exit_container(m) < 0 || sd_bus_message_exit_container(m) < 0) return false;
    }
    return true;
}

const std::string* StringProp(const BluezProps& props, const char* pszName) {
    auto it = props.find(pszName);
    return it == props.end() ? nullptr : std::get_if<std::string>(&it->second);
}

bool BoolProp(const BluezProps& props, const char* pszName) {
    auto it = props.find(pszName);
    const bool* p = it == props.end() ? nullptr : std::get_if<bool>(&it->second);
    return p != nullptr && *p;
}

}  // namespace

BOOL BluezGetObjects(sd_bus* pBus, std::vector<BluezObject>* pObjects) noexcept {
    pObjects->clear();
    BusError error;
    BusMessage reply;
    int r = sd_bus_call_method(pBus, "org.bluez", "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
                               &error.e, &reply.p, "");
    if (r < 0) {
        bool bDenied = sd_bus_error_has_name(&error.e, SD_BUS_ERROR_ACCESS_DENIED) != 0;
        SetLastError(bDenied ? ERROR_ACCESS_DENIED : ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    return BluezReadObjects(reply.p, pObjects);
}

BOOL BluezReadObjects(sd_bus_message* pReply, std::vector<BluezObject>* pObjects) noexcept {
    pObjects->clear();
    try {
        if (ReadObjects(pReply, pObjects)) return TRUE;
    } catch (...) {
    }
    pObjects->clear();
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
}

std::uint64_t ParseBthAddress(const char* pszName) noexcept {
    if (pszName == nullptr || std::strlen(pszName) != 17) return 0;
    std::uint64_t addr = 0;
    for (int i = 0; i < 6; ++i) {
        const char* p = pszName + i * 3;
        int hi = HexDigit(p[0]), lo = HexDigit(p[1]);
        if (hi < 0 || lo < 0 || (i < 5 && p[2] != ':')) return 0;
        addr = addr << 8 | static_cast<std::uint64_t>(hi << 4 | lo);
    }
    return addr;
}

bool ParseBthDevice(const BluezObject& obj, BthDeviceInfo* pInfo) {
    if (obj.iface != BLUEZ_DEVICE_IFACE) return false;
    BthDeviceInfo info;
    info.path = obj.path;
    if (const std::string* pAddress = StringProp(obj.props, "Address")) info.address = ParseBthAddress(pAddress->c_str());
    if (auto it = obj.props.find("Class"); it != obj.props.end())
        if (const std::uint32_t* p = std::get_if<std::uint32_t>(&it->second)) info.cod = *p;
    info.bConnected = BoolProp(obj.props, "Connected");
    info.bAuthenticated = BoolProp(obj.props, "Paired");
    info.bRemembered = BoolProp(obj.props, "Trusted") || BoolProp(obj.props, "Bonded");
    if (const std::string* pName = StringProp(obj.props, "Name")) {
        std::string name = Utf8Sanitize(*pName);
        info.name = std::string(Utf8Prefix(name, kMaxBthNameChars));
    }
    *pInfo = std::move(info);
    return true;
}

bool IsPoweredAdapter(const BluezObject& obj) {
    return obj.iface == BLUEZ_ADAPTER_IFACE && BoolProp(obj.props, "Powered");
}

BthDevicePick PickPairedDevice(const std::vector<BluezObject>& objects, std::uint64_t address, std::string* pPath) {
    BthDevicePick pick = BthDevicePick::NotKnown;
    for (const BluezObject& obj : objects) {
        BthDeviceInfo info;
        if (address == 0 || !ParseBthDevice(obj, &info) || info.address != address) continue;
        if (!info.bAuthenticated) continue;
        pick = BthDevicePick::AdapterOff;
        // The adapter is named by the device's Adapter property, else by its parent path.
        const std::string* pAdapter = StringProp(obj.props, "Adapter");
        const std::string adapter = pAdapter != nullptr ? *pAdapter : obj.path.substr(0, obj.path.rfind('/'));
        for (const BluezObject& a : objects) {
            if (a.path != adapter || !IsPoweredAdapter(a)) continue;
            *pPath = obj.path;
            return BthDevicePick::Found;
        }
    }
    if (pick == BthDevicePick::NotKnown) {
        for (const BluezObject& obj : objects) {
            BthDeviceInfo info;
            if (address != 0 && ParseBthDevice(obj, &info) && info.address == address) return BthDevicePick::NotPaired;
        }
    }
    return pick;
}
