#pragma once
// BlueZ as this program sees it: the radios and devices bluetoothd reports on the system
// bus (ObjectManager.GetManagedObjects of org.bluez), read into plain values, and the pure
// functions that turn them into the facts the Bluetooth port and discovery use.
#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "platform/Types.h"

struct sd_bus;
struct sd_bus_message;

// A property value of the types read: boolean, unsigned 32-bit, string or object path.
using BluezValue = std::variant<std::monostate, bool, std::uint32_t, std::string>;
using BluezProps = std::map<std::string, BluezValue>;

// One interface of one object, in the order BlueZ reported them.
struct BluezObject {
    std::string path;
    std::string iface;
    BluezProps props;
};

inline constexpr const char* BLUEZ_ADAPTER_IFACE = "org.bluez.Adapter1";
inline constexpr const char* BLUEZ_DEVICE_IFACE = "org.bluez.Device1";

// Reads the Adapter1 and Device1 interfaces of every object on pBus. Properties of other
// types are left out. FALSE with the last error: ERROR_DEVICE_NOT_CONNECTED (no BlueZ on
// the bus, or an answer that is not the managed objects), ERROR_ACCESS_DENIED.
BOOL BluezGetObjects(sd_bus* pBus, std::vector<BluezObject>* pObjects) noexcept;
// The reading part of BluezGetObjects, on its answer (a{oa{sa{sv}}}). FALSE with
// ERROR_DEVICE_NOT_CONNECTED and no objects when the answer has another shape.
BOOL BluezReadObjects(sd_bus_message* pReply, std::vector<BluezObject>* pObjects) noexcept;

// "%02x:%02x:%02x:%02x:%02x:%02x" in either letter case, most significant byte first, and
// nothing else. 0 for any other text (0 is never a device's address).
std::uint64_t ParseBthAddress(const char* pszName) noexcept;

// What the Windows device record holds, from a Device1's properties.
struct BthDeviceInfo {
    std::string path;
    std::uint64_t address = 0;      // 0 when missing or malformed
    std::uint32_t cod = 0;          // class of device
    bool bConnected = false;
    bool bRemembered = false;       // Trusted or Bonded
    bool bAuthenticated = false;    // Paired
    std::string name;               // empty when not known yet; valid UTF-8, at most kMaxNameChars
};
inline constexpr std::size_t kMaxBthNameChars = 247;

// FALSE when obj is not a Device1.
bool ParseBthDevice(const BluezObject& obj, BthDeviceInfo* pInfo);
// A working radio: an Adapter1 whose Powered is true.
bool IsPoweredAdapter(const BluezObject& obj);

// The Device1 to connect to the device at address. BlueZ keeps one per adapter that has
// seen the device, newer ones listed first: the one taken is paired, on a powered adapter.
enum class BthDevicePick { Found, NotKnown, NotPaired, AdapterOff };
BthDevicePick PickPairedDevice(const std::vector<BluezObject>& objects, std::uint64_t address, std::string* pPath);
