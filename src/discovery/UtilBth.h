#pragma once
// Finds the printers paired over Bluetooth: a powered radio must exist, and the paired
// devices whose class of device is exactly a printer's are listed by address and name.
// No inquiry is made; BlueZ reports what it already knows.
#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "discovery/UtilPort.h"
#include "platform/BlueZ.h"
#include "platform/Types.h"

// The device search's filter: a test switched on ignores a device whose flag differs from
// the wanted value.
struct BthDeviceFilter {
    bool bKnownTest = false;
    bool bAuthenticatedTest = false;
    bool bWantRemembered = true;
    bool bWantAuthenticated = true;
};

class CUtilBth : public CUtilPort {
public:
    static constexpr int kMaxDevices = 32;
    // Rendering service, Imaging major class, Printer minor class; nothing more.
    static constexpr std::uint32_t kPrinterClass = 0x040680;

    CUtilBth() = default;
    CUtilBth(const CUtilBth&) = delete;
    CUtilBth& operator=(const CUtilBth&) = delete;

    // Reads BlueZ's objects on the system bus once and lists the printers. Blocks for as
    // long as BlueZ takes to answer.
    int EnumPorts(IPortList* pListBox, std::span<std::string> entries) override;

    // The first powered adapter among objects; its path is kept in hRadio. FALSE when none.
    bool FindHostDevice(std::span<const BluezObject> objects);
    // Keeps the paired printer-class devices of objects in pDevices (up to 32, in the order
    // given) and stores their number in *pnDevices. TRUE when at least one printer-class
    // device passed the filter, even one left out for lack of a name.
    bool FindDevice(std::span<const BluezObject> objects, std::array<BthDeviceInfo, kMaxDevices>* pDevices,
                    DWORD* pnDevices, const BthDeviceFilter* pFilter);

    std::string hRadio;  // the adapter's object path; empty until a powered one is found
    DWORD nDevices = 0;
    std::array<BthDeviceInfo, kMaxDevices> btDevices{};
};

// The list line of a device: "%02X:%02X:%02X:%02X:%02X:%02X\t [\"%s\"]", at most 511 characters.
std::string BthListLine(const BthDeviceInfo& device);
