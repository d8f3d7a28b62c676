#include "log/LogFormat.h"

#include "log/Log.h"
#include "platform/Text.h"

namespace {

constexpr const char kColumnLine[] = "Addr : +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F";
constexpr std::size_t kMaxTitleChars = 1023;
constexpr DWORD kLargestDecimalCode = 9999;

}  // namespace

std::string LogFormatLine(const LocalTime& lt, char chLevel, DWORD dwError, int nLine, const std::string& message) {
    // Codes above 9999 are HRESULTs or Winsock numbers; hexadecimal reads better there.
    const char* pszFormat = dwError > kLargestDecimalCode ? "[%02d/%02d %02d:%02d(%02d.%03d)] [%c] [%#08x : %04d] : %s\r\n"
                                                          : "[%02d/%02d %02d:%02d(%02d.%03d)] [%c] [%04d : %04d] : %s\r\n";
    std::string line = StrPrintf(pszFormat, lt.month, lt.day, lt.hour, lt.minute, lt.second, lt.millisecond, chLevel,
                                 static_cast<unsigned>(dwError), nLine, message.c_str());
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    line += "\r\n";
    return line;
}

std::string LogDumpTitle(DWORD dwCategory, const char* pszText) {
    const char* pszSafe = pszText != nullptr ? pszText : "";
    std::string text(Utf8Prefix(pszSafe, kMaxTitleChars));
    switch (dwCategory) {
        case LOG_RECEIVED: return "Received (" + text + ")";
        case LOG_TRANSMITTED: return "Transmitted (" + text + ")";
        case LOG_DUMP: return "Dump data (" + text + ")";
        default: return text;
    }
}

std::string LogFormatDump(const LocalTime& lt, const std::string& title, const unsigned char* pData, std::size_t cbData,
                          std::size_t cbLimit) {
    std::string out = StrPrintf("[%02d/%02d %02d:%02d(%02d.%03d)] %s [%dbyte]\r\n%s\r\n", lt.month, lt.day, lt.hour,
                                lt.minute, lt.second, lt.millisecond, title.c_str(), static_cast<int>(cbData), kColumnLine);
    std::size_t cbShown = cbData < cbLimit ? cbData : cbLimit;
    out.reserve(out.size() + (cbShown / 16 + 1) * 56 + 64);
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t row = 0; row < cbShown; row += 16) {
        // The row offset by hand: a formatted print per row was most of a dump's cost.
        if (row <= 0xFFFF) {
            for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(row >> shift) & 0x0F];
            out += " :";
        } else {
            out += StrPrintf("%04X :", static_cast<unsigned>(row));
        }
        for (std::size_t i = row; i < row + 16 && i < cbShown; ++i) {
            out += ' ';
            out += kHex[pData[i] >> 4];
            out += kHex[pData[i] & 0x0F];
        }
        out += "\r\n";
    }
    if (cbData > cbShown) {
        out += StrPrintf("       ... %02X (%d byte data continues yet)\r\n", pData[cbData - 1],
                         static_cast<int>(cbData - cbShown));
    }
    out += "\r\n";
    return out;
}

std::string LogDatedName(const std::string& folder, const LocalTime& lt) {
    return StrPrintf("%s/%04d%02d%02d.log", folder.c_str(), lt.year, lt.month, lt.day);
}

std::string LogRotatedName(const std::string& folder, const LocalTime& lt) {
    return StrPrintf("%s/%04d%02d%02d_%02d%02d%02d.log", folder.c_str(), lt.year, lt.month, lt.day, lt.hour, lt.minute,
                     lt.second);
}
