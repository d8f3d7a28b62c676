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
    return FindUsbPrinters(pListBox, entries, ppSeenNames);
}

int CUtilUsb::FindUsbPrinters(IPortList* pListBox, std::span<std::string> ppPaths, std::span<std::string> ppNames) {
    int nCount = 0;
    for (unsigned nLp : ListUsbLpNumbers()) {
        unsigned wVendor = 0, wProduct = 0;
        if (!ReadUsbIds(nLp, &wVendor, &wProduct)) continue;
        if (wVendor != m_wVendorId || (wProduct & 0xFF00) != 0x0100) continue;
        const std::string name = UsbPortName(nLp);
        const std::string node = UsbNodePath(nLp);
        const auto index = static_cast<std::size_t>(nCount);
        if (index < ppPaths.size()) ppPaths[index] = node;

        // A node that cannot be opened (held by another program) is listed bare.
        std::string model;
        bool bMaker = false;
        UniqueFd fd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        if (fd) {
            std::string deviceId;
            bMaker = ReadUsbDeviceId(fd.Get(), nLp, &deviceId) && ParseMakerModel(deviceId, &model);
            fd.Reset();
        }
        if (bMaker) {
            if (pListBox != nullptr) {
                LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "- Detected USB device [ %s : %s : %s ]", name.c_str(),
                           node.c_str(), model.c_str());
                pListBox->AddSorted(name + "\t (ZAQ " + model + ")");
            }
            if (index < ppNames.size()) ppNames[index] = name;
        } else if (pListBox != nullptr) {
            pListBox->AddSorted(name);
        }
        ++nCount;
    }
    if (nCount == 0) LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "%s", kNotDetected);
    return nCount;
}
