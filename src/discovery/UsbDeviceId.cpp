#include "discovery/UsbDeviceId.h"

#include <strings.h>

bool ParseMakerModel(std::string_view deviceId, std::string* pModel) {
    constexpr std::string_view kMaker = "MFG:ZAQ;";
    if (deviceId.size() < kMaker.size() || ::strncasecmp(deviceId.data(), kMaker.data(), kMaker.size()) != 0) {
        return false;
    }
    const std::size_t mdl = deviceId.find("MDL:");
    if (mdl == std::string_view::npos) return false;
    const std::size_t begin = mdl + 4;
    const std::size_t end = deviceId.find(';', begin);
    if (end == std::string_view::npos) return false;
    std::string_view model = deviceId.substr(begin, end - begin);
    if (model.size() > USB_MODEL_MAX) model = model.substr(0, USB_MODEL_MAX);
    // Text the list can show: control characters mean the ID is not text.
    for (char c : model) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    pModel->assign(model);
    return true;
}
