// The command line of kelvo: the input split at NUL bytes is an argument vector, made
// into the command-line text as main does and parsed. The raw input is parsed as text too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/CommandLine.h"
#include "QuietLog.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    std::string input(reinterpret_cast<const char*>(pData), cbData);
    CommandLineOptions direct = ParseCommandLine(input);
    if (direct.nInitialPortKind < 0 || direct.nInitialPortKind > 3) std::abort();

    std::vector<std::string> args;
    std::size_t nStart = 0;
    for (;;) {
        std::size_t nNul = input.find('\0', nStart);
        args.push_back(input.substr(nStart, nNul == std::string::npos ? std::string::npos : nNul - nStart));
        if (nNul == std::string::npos) break;
        nStart = nNul + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    std::string text = CommandLineFromArgs(static_cast<int>(argv.size()), argv.data());
    CommandLineOptions options = ParseCommandLine(text);
    if (options.nInitialPortKind < 0 || options.nInitialPortKind > 3) std::abort();
    return 0;
}
