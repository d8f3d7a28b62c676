// The command line of kelvo-cli: the input split at NUL bytes is the argument vector. A
// refused line says why; an accepted one holds a known kind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/Options.h"
#include "QuietLog.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    std::string input(reinterpret_cast<const char*>(pData), cbData);
    std::vector<std::string> args;
    std::size_t nStart = 0;
    while (nStart < input.size()) {
        std::size_t nNul = input.find('\0', nStart);
        if (nNul == std::string::npos) nNul = input.size();
        args.push_back(input.substr(nStart, nNul - nStart));
        nStart = nNul + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    CliOptions options;
    std::string error;
    bool bOk = ParseCliOptions(static_cast<int>(args.size()), argv.data(), &options, &error);
    if (!bOk && error.empty()) std::abort();
    if (bOk && options.nKind && *PortKindWord(*options.nKind) == '\0') std::abort();
    return 0;
}
