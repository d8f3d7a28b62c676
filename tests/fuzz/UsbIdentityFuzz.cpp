// The sysfs identity parsers on arbitrary text: a port chain is only ever digits, one
// '-' and dots; the device directory of a path is a prefix of it ending in a chain; an
// attribute's text is printable, bounded and a prefix of the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "port/UsbIdentity.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    const std::string_view text(reinterpret_cast<const char*>(pData), cbData);
    if (IsUsbPortChain(text)) {
        if (text.find_first_not_of("0123456789-.") != std::string_view::npos) std::abort();
        if (text.find('-') != text.rfind('-')) std::abort();
    }
    const std::string_view dir = UsbDeviceDirOf(text);
    if (!dir.empty()) {
        if (!text.starts_with(dir)) std::abort();
        const std::size_t slash = dir.rfind('/');
        if (!IsUsbPortChain(slash == std::string_view::npos ? dir : dir.substr(slash + 1))) std::abort();
    }
    const std::string attr = UsbAttrText(text);
    if (attr.size() > 126 || !text.starts_with(attr)) std::abort();
    for (char c : attr) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) std::abort();
    }
    return 0;
}
