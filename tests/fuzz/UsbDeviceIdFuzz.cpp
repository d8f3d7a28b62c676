// The device ID parser on arbitrary printer answers: a model is only ever taken from an
// ID that names the maker first, and it is bounded, printable and a part of the ID.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "discovery/UsbDeviceId.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    const std::string_view id(reinterpret_cast<const char*>(pData), cbData);
    std::string model;
    if (!ParseMakerModel(id, &model)) return 0;
    if (cbData < 8 || model.size() > USB_MODEL_MAX) std::abort();
    if (id.find(model) == std::string_view::npos) std::abort();
    for (char c : model) {
        if (static_cast<unsigned char>(c) < 0x20) std::abort();
    }
    return 0;
}
