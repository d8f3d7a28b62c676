#include "discovery/UtilUsb.h"

#include <fcntl.h>
#include <unistd.h>

#include "discovery/UsbDeviceId.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/UniqueFd.h"
#include "port/UsbLp.h"

namespace {

constexpr const char* kNotDetected = "- USB device is NOT detected.";

}  // namespace

int CUtilUsb::EnumPorts(IPortList* pListBox, std::span<std::string> entries) {
    if (entries.size() > kMaxNames) return 0;
    if (pListBox != nullptr) pListBox->Clear();
    for (std::string& entry : entries) entry.clear();
    for (std::string& name : ppSeenNames) name.clear();
    const int nCount = FindUsbPrinters(pListBox, entries, ppSeenNames);
    m_seen = m_found;
    return nCount;
}

UsbIdentity CUtilUsb::Lookup(const IdentityList& list, const std::string& portName) {
    for (const auto& [name, identity] : list) {
        if (name == portName) return identity;
    }
    return {};
}

UsbIdentity CUtilUsb::SeenIdentity(const std::string& portName) const { return Lookup(m_seen, portName); }
UsbIdentity CUtilUsb::FoundIdentity(const std::string& portName) const { return Lookup(m_found, portName); }

void CUtilUsb::KeepFound(std::array<std::string, kMaxNames> names) {
    ppSeenNames = std::move(names);
    m_seen = m_found;
}

void CUtilUsb::SetFound(const std::string& portName, const UsbIdentity& identity) {
    m_found.emplace_back(portName, identity);
}

int CUtilUsb::FindUsbPrinters(IPortList* pListBox, std::span<std::string> ppPaths, std::span<std::string> ppNames) {
    int nCount = 0;
    m_found.clear();
    for (unsigned nLp : ListUsbLpNumbers()) {
        unsigned wVendor = 0, wProduct = 0;
        if (!ReadUsbIds(nLp, &wVendor, &wProduct)) continue;
        if (wVendor != m_wVendorId || (wProduct & 0xFF00) != 0x0100) continue;
        const std::string name = UsbPortName(nLp);
        const std::string node = UsbNodePath(nLp);
        const auto index = static_cast<std::size_t>(nCount);
        if (index < ppPaths.size()) ppPaths[index] = node;

        // sysfs first: no open, no request to the printer. A node without a cached ID
        // that cannot be opened (held by another program) is listed bare.
        std::string model;
        std::string deviceId;
        bool bHaveId = ReadUsbDeviceId(-1, nLp, &deviceId) && !deviceId.empty();
        if (!bHaveId) {
            UniqueFd fd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
            bHaveId = fd && ReadUsbDeviceId(fd.Get(), nLp, &deviceId);
        }
        const bool bMaker = bHaveId && ParseMakerModel(deviceId, &model);
        if (bMaker) {
            if (pListBox != nullptr) {
                LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "- Detected USB device [ %s : %s : %s ]", name.c_str(),
                           node.c_str(), model.c_str());
                pListBox->AddSorted(name + "\t (ZAQ " + model + ")");
            }
            if (index < ppNames.size()) ppNames[index] = name;
            SetFound(name, ReadUsbLpIdentity(nLp));
        } else if (pListBox != nullptr) {
            pListBox->AddSorted(name);
        }
        ++nCount;
    }
    if (nCount == 0) LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "%s", kNotDetected);
    return nCount;
}
