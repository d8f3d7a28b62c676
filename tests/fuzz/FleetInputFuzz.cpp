// What a fleet run reads from files: a ports file (one port a line) and an earlier
// result (--retry-failed). Each accepted port is one CheckPortName accepts; a refusal
// says why and never carries a control character.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/Fleet.h"
#include "cli/Json.h"
#include "QuietLog.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    if (cbData == 0) return 0;
    // The first byte picks the kind (-1: any), the rest is the file.
    const int nKind = static_cast<int>(pData[0] % 5) - 1;
    const std::string text(reinterpret_cast<const char*>(pData + 1), cbData - 1);
    auto check = [nKind](bool bOk, const std::vector<std::string>& ports, const std::string& error) {
        if (!bOk && error.empty()) std::abort();
        for (char ch : error) {
            if (static_cast<unsigned char>(ch) < 0x20) std::abort();
        }
        for (const std::string& port : ports) {
            std::string why;
            if (!CheckPortName(port, nKind, &why)) std::abort();
        }
    };
    std::vector<std::string> ports;
    std::string error;
    check(ParsePortsText(text, nKind, &ports, &error), ports, error);
    ports.clear();
    error.clear();
    check(FailedPortsOfResult(text, nKind, &ports, &error), ports, error);
    JsonValue value;
    ParseJson(text, &value);
    return 0;
}
