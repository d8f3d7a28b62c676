// BlueZ's managed objects, from the fuzz bytes: a list of objects with properties of every
// D-Bus type, put into a GetManagedObjects answer and read back, then searched for paired
// printers as discovery does. The answer is read back exactly (Adapter1 and Device1, the
// four kept types, a later duplicate key winning); a message of another shape is refused
// or read without harm; the listed printers are paired printer-class devices, each address
// once, with bounded valid names and list lines that give their address back.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <systemd/sd-bus.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "QuietLog.h"
#include "discovery/UtilBth.h"
#include "platform/BlueZ.h"
#include "platform/Text.h"

namespace {

sd_bus* g_pBus = nullptr;

const char* const kIfaces[] = {BLUEZ_ADAPTER_IFACE, BLUEZ_DEVICE_IFACE, "org.bluez.Battery1",
                               "org.freedesktop.DBus.Properties"};
const char* const kKeys[] = {"Address", "Class", "Name", "Paired", "Trusted", "Bonded", "Connected", "Powered", "Alias"};
const char* const kPaths[] = {"/org/bluez/hci0", "/org/bluez/hci1", "/org/bluez/hci0/dev_02_00_5A_00_00_01",
                              "/org/bluez/hci0/dev_02_00_5A_00_00_02", "/org/bluez/hci1/dev_02_00_5A_00_00_01"};
// The all-zero address names no device; built so no address literal stands for it.
const std::string kAddresses[] = {"02:00:5A:00:00:01", "02:00:5a:00:00:02", "00:00:00:00:00:" + std::string("00"),
                                  "02:00:5A:00:00", "02-00-5A-00-00-03"};

// The types a property value may have; the first four are the ones kept.
enum ValueKind { kBool, kU32, kString, kPath, kInt64, kByte, kDouble, kStrings, kBytes, kDict, kNested, kStruct, kKinds };

struct Prop {
    std::string key;
    ValueKind kind = kBool;
    bool b = false;
    std::uint32_t u = 0;
    std::string raw;  // any bytes but NUL: the search takes them as they are
};

struct Object {
    std::string path;
    std::string iface;
    std::vector<Prop> props;
};

// D-Bus carries only valid UTF-8 without NUL; the message gets the printable ASCII part.
std::string BusText(const std::string& raw) {
    std::string s;
    for (char c : raw)
        if (c >= 0x20 && c < 0x7f) s += c;
    return s;
}

std::string BusPath(const std::string& raw) {
    std::string name;
    for (char c : raw)
        if (std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_') name += c;
    return name.empty() ? "/org/bluez" : "/org/bluez/" + name;
}

std::vector<Object> MakeObjects(FuzzedDataProvider& fdp) {
    std::vector<Object> objects(fdp.ConsumeIntegralInRange<std::size_t>(0, 40));
    for (Object& obj : objects) {
        obj.path = fdp.ConsumeBool() ? kPaths[fdp.ConsumeIntegralInRange<std::size_t>(0, 4)]
                                     : BusPath(fdp.ConsumeRandomLengthString(16));
        obj.iface = fdp.ConsumeIntegralInRange<int>(0, 7) < 7 ? kIfaces[fdp.ConsumeIntegralInRange<std::size_t>(0, 3)]
                                                              : BusText(fdp.ConsumeRandomLengthString(12));
        obj.props.resize(fdp.ConsumeIntegralInRange<std::size_t>(0, 10));
        for (Prop& p : obj.props) {
            p.key = fdp.ConsumeIntegralInRange<int>(0, 7) < 7 ? kKeys[fdp.ConsumeIntegralInRange<std::size_t>(0, 8)]
                                                              : BusText(fdp.ConsumeRandomLengthString(8));
            p.kind = static_cast<ValueKind>(fdp.ConsumeIntegralInRange<int>(0, kKinds - 1));
            p.b = fdp.ConsumeBool();
            p.u = fdp.ConsumeBool() ? CUtilBth::kPrinterClass : fdp.ConsumeIntegral<std::uint32_t>();
            // Strings off the bus end at their first NUL.
            p.raw = fdp.ConsumeBool() ? kAddresses[fdp.ConsumeIntegralInRange<std::size_t>(0, 4)]
                                      : fdp.ConsumeRandomLengthString(300).c_str();
        }
        // Often what BlueZ gives first: a powered radio, or a paired printer with a name.
        if (fdp.ConsumeBool()) {
            std::vector<Prop> first(obj.iface == BLUEZ_ADAPTER_IFACE ? 1 : 4);
            first[0] = {"Powered", kBool, true, 0, {}};
            if (first.size() == 4) {
                first[0] = {"Address", kString, false, 0, kAddresses[fdp.ConsumeIntegralInRange<std::size_t>(0, 2)]};
                first[1] = {"Class", kU32, false, CUtilBth::kPrinterClass, {}};
                first[2] = {"Paired", kBool, true, 0, {}};
                first[3] = {"Name", kString, false, 0, fdp.ConsumeRandomLengthString(300).c_str()};
            }
            obj.props.insert(obj.props.begin(), first.begin(), first.end());
        }
    }
    return objects;
}

BluezValue KeptValue(const Prop& p, bool bBus) {
    switch (p.kind) {
        case kBool: return p.b;
        case kU32: return p.u;
        case kString: return bBus ? BusText(p.raw) : p.raw;
        case kPath: return BusPath(p.raw);
        default: return std::monostate{};
    }
}

// What reading should give (bBus: as the message carries it) or what the search is given.
std::vector<BluezObject> Expected(const std::vector<Object>& objects, bool bBus) {
    std::vector<BluezObject> out;
    for (const Object& obj : objects) {
        if (obj.iface != BLUEZ_ADAPTER_IFACE && obj.iface != BLUEZ_DEVICE_IFACE) continue;
        BluezObject o{obj.path, obj.iface, {}};
        for (const Prop& p : obj.props) {
            BluezValue v = KeptValue(p, bBus);
            if (v.index() != 0) o.props[p.key] = std::move(v);
        }
        out.push_back(std::move(o));
    }
    return out;
}

int AppendValue(sd_bus_message* m, const Prop& p) {
    const std::string text = BusText(p.raw);
    switch (p.kind) {
        case kBool: return sd_bus_message_append(m, "v", "b", static_cast<int>(p.b));
        case kU32: return sd_bus_message_append(m, "v", "u", p.u);
        case kString: return sd_bus_message_append(m, "v", "s", text.c_str());
        case kPath: return sd_bus_message_append(m, "v", "o", BusPath(p.raw).c_str());
        case kInt64: return sd_bus_message_append(m, "v", "x", static_cast<std::int64_t>(p.u));
        case kByte: return sd_bus_message_append(m, "v", "y", static_cast<std::uint8_t>(p.u));
        case kDouble: return sd_bus_message_append(m, "v", "d", static_cast<double>(p.u));
        case kStrings: return sd_bus_message_append(m, "v", "as", 2, text.c_str(), "x");
        case kBytes: return sd_bus_message_append(m, "v", "ay", 1, static_cast<std::uint8_t>(p.u));
        case kDict: return sd_bus_message_append(m, "v", "a{sv}", 1, p.key.c_str(), "s", text.c_str());
        case kNested: return sd_bus_message_append(m, "v", "v", "s", text.c_str());
        case kStruct: return sd_bus_message_append(m, "v", "(su)", text.c_str(), p.u);
        default: return -1;
    }
}

// The answer as BlueZ gives it (shape 0), with a value after it (1), with the interface
// level left out (2), or empty (3).
int AppendObjects(sd_bus_message* m, const std::vector<Object>& objects, int nShape) {
    if (nShape == 3) return 0;
    const bool bFlat = nShape == 2;
    int r = sd_bus_message_open_container(m, 'a', bFlat ? "{oa{sv}}" : "{oa{sa{sv}}}");
    for (const Object& obj : objects) {
        if (r >= 0) r = sd_bus_message_open_container(m, 'e', bFlat ? "oa{sv}" : "oa{sa{sv}}");
        if (r >= 0) r = sd_bus_message_append(m, "o", obj.path.c_str());
        if (r >= 0 && !bFlat) r = sd_bus_message_open_container(m, 'a', "{sa{sv}}");
        if (r >= 0 && !bFlat) r = sd_bus_message_open_container(m, 'e', "sa{sv}");
        if (r >= 0 && !bFlat) r = sd_bus_message_append(m, "s", obj.iface.c_str());
        if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
        for (const Prop& p : obj.props) {
            if (r >= 0) r = sd_bus_message_open_container(m, 'e', "sv");
            if (r >= 0) r = sd_bus_message_append(m, "s", p.key.c_str());
            if (r >= 0) r = AppendValue(m, p);
            if (r >= 0) r = sd_bus_message_close_container(m);
        }
        for (int i = bFlat ? 2 : 0; i < 4 && r >= 0; ++i) r = sd_bus_message_close_container(m);
    }
    if (r >= 0) r = sd_bus_message_close_container(m);
    if (r >= 0 && nShape == 1) r = sd_bus_message_append(m, "s", "after");
    return r;
}

void CheckRead(const std::vector<Object>& objects, int nShape) {
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_method_call(g_pBus, &m, "org.bluez", "/", "org.freedesktop.DBus.ObjectManager",
                                       "GetManagedObjects") < 0)
        std::abort();
    if (AppendObjects(m, objects, nShape) < 0 || sd_bus_message_seal(m, 1, 0) < 0 || sd_bus_message_rewind(m, 1) < 0)
        std::abort();
    std::vector<BluezObject> read;
    const BOOL bRead = BluezReadObjects(m, &read);
    sd_bus_message_unref(m);
    if (nShape < 2) {
        const std::vector<BluezObject> want = Expected(objects, true);
        if (!bRead || read.size() != want.size()) std::abort();
        for (std::size_t i = 0; i < want.size(); ++i)
            if (read[i].path != want[i].path || read[i].iface != want[i].iface || read[i].props != want[i].props)
                std::abort();
    } else if (bRead || !read.empty()) {
        std::abort();
    }
}

// As the list line writes an address.
std::string AddressText(std::uint64_t a) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", static_cast<unsigned>(a >> 40 & 0xFF),
                  static_cast<unsigned>(a >> 32 & 0xFF), static_cast<unsigned>(a >> 24 & 0xFF),
                  static_cast<unsigned>(a >> 16 & 0xFF), static_cast<unsigned>(a >> 8 & 0xFF),
                  static_cast<unsigned>(a & 0xFF));
    return text;
}

// The address parser against its own definition: six hex pairs joined by ':'.
void CheckAddress(const std::string& raw) {
    const std::string text = raw.c_str();
    bool bForm = text.size() == 17;
    std::uint64_t want = 0;
    for (std::size_t i = 0; bForm && i < 17; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (i % 3 == 2) {
            bForm = c == ':';
        } else if (std::isxdigit(c) != 0) {
            want = want << 4 | static_cast<std::uint64_t>(std::isdigit(c) != 0 ? c - '0' : std::tolower(c) - 'a' + 10);
        } else {
            bForm = false;
        }
    }
    if (ParseBthAddress(raw.c_str()) != (bForm ? want : 0)) std::abort();
}

void CheckSearch(const std::vector<BluezObject>& objects, FuzzedDataProvider& fdp) {
    CUtilBth util;
    if (fdp.ConsumeBool()) util.hRadio = kPaths[fdp.ConsumeIntegralInRange<std::size_t>(0, 4)];
    bool bPowered = false;
    for (const BluezObject& obj : objects) bPowered = bPowered || IsPoweredAdapter(obj);
    if (util.FindHostDevice(objects) != bPowered) std::abort();
    if (bPowered) {
        bool bFound = false;
        for (const BluezObject& obj : objects) bFound = bFound || (obj.path == util.hRadio && IsPoweredAdapter(obj));
        if (!bFound) std::abort();
    } else if (!util.hRadio.empty()) {
        std::abort();
    }
    BthDeviceFilter filter;
    filter.bKnownTest = fdp.ConsumeBool();
    filter.bAuthenticatedTest = fdp.ConsumeBool();
    filter.bWantRemembered = fdp.ConsumeBool();
    filter.bWantAuthenticated = fdp.ConsumeBool();
    DWORD nDevices = 0;
    util.FindDevice(objects, &util.btDevices, &nDevices, &filter);
    // A second search adds to the records of the first.
    if (fdp.ConsumeBool()) util.FindDevice(objects, &util.btDevices, &nDevices, &filter);
    if (nDevices > CUtilBth::kMaxDevices) std::abort();
    std::set<std::uint64_t> addresses;
    for (DWORD i = 0; i < nDevices; ++i) {
        const BthDeviceInfo& d = util.btDevices[i];
        if (d.path.empty() || d.cod != CUtilBth::kPrinterClass || !d.bAuthenticated) std::abort();
        if (!addresses.insert(d.address).second) std::abort();
        if (Utf8Sanitize(d.name) != d.name || Utf8Length(d.name) > kMaxBthNameChars) std::abort();
        const std::string line = BthListLine(d);
        if (line != AddressText(d.address) + "\t [\"" + d.name + "\"]") std::abort();
        if (ParseBthAddress(line.substr(0, 17).c_str()) != d.address) std::abort();
    }
    for (DWORD i = nDevices; i < CUtilBth::kMaxDevices; ++i)
        if (!util.btDevices[i].path.empty()) std::abort();
}

// The device the port connects to against its definition: a Device1 of that address that
// is paired, whose adapter (its Adapter property, else its parent path) is a powered one.
void CheckPick(const std::vector<BluezObject>& objects, FuzzedDataProvider& fdp) {
    std::uint64_t address = 0;
    for (const BluezObject& obj : objects) {
        BthDeviceInfo info;
        if (ParseBthDevice(obj, &info) && fdp.ConsumeBool()) address = info.address;
    }
    std::string path;
    const BthDevicePick pick = PickPairedDevice(objects, address, &path);
    bool bAny = false, bPaired = false, bUsable = false;
    for (const BluezObject& obj : objects) {
        BthDeviceInfo info;
        if (address == 0 || !ParseBthDevice(obj, &info) || info.address != address) continue;
        bAny = true;
        if (!info.bAuthenticated) continue;
        bPaired = true;
        auto it = obj.props.find("Adapter");
        const std::string* pAdapter = it == obj.props.end() ? nullptr : std::get_if<std::string>(&it->second);
        const std::string adapter = pAdapter != nullptr ? *pAdapter : obj.path.substr(0, obj.path.rfind('/'));
        for (const BluezObject& a : objects) bUsable = bUsable || (a.path == adapter && IsPoweredAdapter(a));
        if (bUsable && (pick != BthDevicePick::Found || path != obj.path)) std::abort();
        if (bUsable) return;
    }
    const BthDevicePick want = bPaired ? BthDevicePick::AdapterOff : bAny ? BthDevicePick::NotPaired : BthDevicePick::NotKnown;
    if (pick != want || !path.empty()) std::abort();
}

}  // namespace

// A bus that only makes messages: started on one end of a socket pair nobody answers.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLog();
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
    if (sd_bus_new(&g_pBus) < 0 || sd_bus_set_fd(g_pBus, sv[0], sv[0]) < 0 || sd_bus_start(g_pBus) < 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    FuzzedDataProvider fdp(pData, cbData);
    const int nShape = fdp.ConsumeIntegralInRange<int>(0, 7) < 5 ? 0 : fdp.ConsumeIntegralInRange<int>(1, 3);
    const std::vector<Object> objects = MakeObjects(fdp);
    for (const Object& obj : objects)
        for (const Prop& p : obj.props) CheckAddress(p.raw);
    CheckRead(objects, nShape);
    CheckSearch(Expected(objects, false), fdp);
    CheckPick(Expected(objects, false), fdp);
    return 0;
}
