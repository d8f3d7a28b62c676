#include "engine/CommandLine.h"

#include "platform/Text.h"

namespace {

constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

std::string_view Trim(std::string_view text) {
    std::size_t nFirst = text.find_first_not_of(kWhiteSpace);
    if (nFirst == std::string_view::npos) return {};
    return text.substr(nFirst, text.find_last_not_of(kWhiteSpace) - nFirst + 1);
}

// The next raw token, or an empty one at the end of the text.
std::string_view NextToken(std::string_view* pRest) {
    std::string_view rest = *pRest;
    std::size_t nStart = rest.find_first_not_of(' ');
    if (nStart == std::string_view::npos) {
        *pRest = {};
        return {};
    }
    rest.remove_prefix(nStart);
    std::string_view token;
    if (rest[0] == '"') {
        std::size_t nClose = rest.find('"', 1);
        token = rest.substr(1, nClose == std::string_view::npos ? std::string_view::npos : nClose - 1);
        *pRest = nClose == std::string_view::npos ? std::string_view{} : rest.substr(nClose + 1);
    } else {
        std::size_t nSpace = rest.find(' ');
        token = rest.substr(0, nSpace);
        *pRest = nSpace == std::string_view::npos ? std::string_view{} : rest.substr(nSpace);
    }
    return token;
}

}  // namespace

CommandLineOptions ParseCommandLine(std::string_view text) {
    static constexpr std::string_view kKinds[] = {"USB", "Bluetooth", "Ethernet", "Serial"};
    CommandLineOptions options;
    std::string_view rest = text;
    for (;;) {
        std::string_view token = Trim(NextToken(&rest));
        if (token.empty()) break;
        if (AsciiEqualNoCase(token, "/s")) {
            options.bSilent = true;
            continue;
        }
        for (int nKind = 0; nKind < 4; ++nKind) {
            if (AsciiEqualNoCase(token, kKinds[nKind])) options.nInitialPortKind = nKind;
        }
    }
    return options;
}

std::string CommandLineFromArgs(int argc, const char* const* argv) {
    std::string text;
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i] != nullptr ? argv[i] : "";
        if (!text.empty()) text += ' ';
        bool bQuote = arg.empty() || arg.find_first_of(kWhiteSpace) != std::string_view::npos;
        if (bQuote) {
            text += '"';
            text += arg;
            text += '"';
        } else {
            text += arg;
        }
    }
    return text;
}
