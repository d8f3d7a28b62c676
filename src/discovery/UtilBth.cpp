#include "discovery/UtilBth.h"

#include <systemd/sd-bus.h>

#include <vector>

#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Text.h"

std::string BthListLine(const BthDeviceInfo& d) {
    std::string line;
    const std::uint64_t a = d.address;
    FormatBounded(line, 511, "%02X:%02X:%02X:%02X:%02X:%02X\t [\"%s\"]", static_cast<unsigned>(a >> 40 & 0xFF),
                  static_cast<unsigned>(a >> 32 & 0xFF), static_cast<unsigned>(a >> 24 & 0xFF),
                  static_cast<unsigned>(a >> 16 & 0xFF), static_cast<unsigned>(a >> 8 & 0xFF),
                  static_cast<unsigned>(a & 0xFF), d.name.c_str());
    return line;
}

int CUtilBth::EnumPorts(IPortList* pListBox, std::span<std::string> /*entries*/) {
    nDevices = 0;
    if (pListBox != nullptr) pListBox->Clear();
    const DWORD nFirst = pListBox != nullptr ? static_cast<DWORD>(pListBox->Count()) : 0;
    btDevices = {};
    // One reading of BlueZ's objects serves the radio and the device search.
    std::vector<BluezObject> objects;
    sd_bus* pBus = nullptr;
    if (sd_bus_open_system(&pBus) >= 0) BluezGetObjects(pBus, &objects);
    sd_bus_flush_close_unref(pBus);

    LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Bluetooth::FindHostDevice");
    if (!FindHostDevice(objects)) {
        LogMessage(LOG_ERROR, 'E', __LINE__, 0, "Bluetooth::Found no host device");
        return static_cast<int>(nDevices);
    }
    LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Bluetooth::FindDevice");
    const BthDeviceFilter filter;
    if (!FindDevice(objects, &btDevices, &nDevices, &filter)) {
        LogMessage(LOG_ERROR, 'E', __LINE__, 0, "Bluetooth::Found no device");
        return static_cast<int>(nDevices);
    }
    for (DWORD i = nFirst; pListBox != nullptr && i < nDevices; ++i) {
        std::string line = BthListLine(btDevices[i]);
        pListBox->Append(line);
        LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Add bluetoooth device on list [%s]", line.c_str());
    }
    return static_cast<int>(nDevices);
}

// A path proves less than a handle: the adapter kept from an earlier search must still be
// there and powered.
bool CUtilBth::FindHostDevice(std::span<const BluezObject> objects) {
    LogMessage(LOG_APP, 'I', __LINE__, 0, "Bluetooth::FindHostDevice");
    for (const BluezObject& obj : objects)
        if (obj.path == hRadio && IsPoweredAdapter(obj)) return true;
    hRadio.clear();
    LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Bluetooth::BluetoothFindFirstRadio");
    bool bAnyRadio = false;
    for (const BluezObject& obj : objects) {
        if (obj.iface != BLUEZ_ADAPTER_IFACE) continue;
        bAnyRadio = true;
        if (IsPoweredAdapter(obj)) {
            hRadio = obj.path;
            return true;
        }
        LogMessage(LOG_ERROR, 'E', __LINE__, 0, "Bluetooth::BluetoothGetRadioInfo error [%s]", obj.path.c_str());
    }
    if (!bAnyRadio) LogMessage(LOG_ERROR, 'E', __LINE__, 0, "Bluetooth::BluetoothFindFirstRadio error");
    return false;
}

bool CUtilBth::FindDevice(std::span<const BluezObject> objects, std::array<BthDeviceInfo, kMaxDevices>* pDevices,
                          DWORD* pnDevices, const BthDeviceFilter* pFilter) {
    LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Bluetooth::FindDevice");
    if (pDevices == nullptr || pFilter == nullptr) {
        if (pnDevices != nullptr) *pnDevices = 0;
        return false;
    }
    // Records already in use are those with a path, consecutive from the start.
    DWORD nUsed = 0;
    while (nUsed < kMaxDevices && !(*pDevices)[nUsed].path.empty()) ++nUsed;
    bool bResult = false;
    bool bAny = false;
    for (const BluezObject& obj : objects) {
        BthDeviceInfo dev;
        // Only the authenticated (paired) devices come back from the search.
        if (!ParseBthDevice(obj, &dev) || !dev.bAuthenticated) continue;
        bAny = true;
        if (dev.cod != kPrinterClass) {
            LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Bluetooth:: Other class device  [%08x(!=0x000040680)]", dev.cod);
            continue;
        }
        const std::uint64_t a = dev.address;
        LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Bluetooth:: Printer class device [%s,%02x:%02x:%02x:%02x:%02x:%02x]",
                   dev.name.c_str(), static_cast<unsigned>(a >> 40 & 0xFF), static_cast<unsigned>(a >> 32 & 0xFF),
                   static_cast<unsigned>(a >> 24 & 0xFF), static_cast<unsigned>(a >> 16 & 0xFF),
                   static_cast<unsigned>(a >> 8 & 0xFF), static_cast<unsigned>(a & 0xFF));
        if (pFilter->bKnownTest && dev.bRemembered != pFilter->bWantRemembered) {
            LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Bluetooth:: [%s] This entry is already known, ignored.", dev.name.c_str());
            continue;
        }
        if (pFilter->bAuthenticatedTest && dev.bAuthenticated != pFilter->bWantAuthenticated) {
            LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Bluetooth:: [%s] This entry is already authenticated, ignored.",
                       dev.name.c_str());
            continue;
        }
        bResult = true;
        bool bFound = false;
        for (DWORD i = 0; i < nUsed; ++i) {
            if ((*pDevices)[i].address != dev.address) continue;
            (*pDevices)[i] = dev;
            bFound = true;
            LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Bluetooth:: [%s] This is already found entry, ignored.", dev.name.c_str());
            break;
        }
        if (dev.name.empty()) {
            LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Bluetooth:: Bluetooth Device Name has not been acquired yet, skipped.");
            continue;
        }
        if (!bFound && nUsed < kMaxDevices) {
            (*pDevices)[nUsed++] = dev;
            if (dev.address == 0) LogMessage(LOG_WARNING, 'W', __LINE__, 0, "Bluetooth:: Device information is not enough");
        }
    }
    if (!bAny) LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Bluetooth::BluetoothFindFirstDevice [%08x]", 259u);
    LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "Done [Found devices:%d]", static_cast<int>(nUsed));
    if (pnDevices != nullptr) *pnDevices = nUsed;
    return bResult;
}
