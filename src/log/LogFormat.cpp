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
    // Rows are written straight into the string: a dump of every block sent is on the
    // transfer path, and character-by-character appends were most of its cost.
    constexpr std::size_t kRowChars = 4 + 2 + 16 * 3 + 2;
    const std::size_t cbHead = out.size();
    out.resize(cbHead + (cbShown + 15) / 16 * kRowChars);
    char* p = out.data() + cbHead;
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t row = 0; row < cbShown; row += 16) {
        if (row <= 0xFFFF) {
            for (int shift = 12; shift >= 0; shift -= 4) *p++ = kHex[(row >> shift) & 0x0F];
            *p++ = ' ';
            *p++ = ':';
        } else {
            std::string offset = StrPrintf("%04X :", static_cast<unsigned>(row));
            // Longer than four digits only past 64 KiB; the row is then that much longer.
            const std::size_t used = static_cast<std::size_t>(p - out.data());
            out.resize(out.size() + offset.size() - 6);
            p = out.data() + used;
            for (char ch : offset) *p++ = ch;
        }
        const std::size_t end = row + 16 < cbShown ? row + 16 : cbShown;
        for (std::size_t i = row; i < end; ++i) {
            *p++ = ' ';
            *p++ = kHex[pData[i] >> 4];
            *p++ = kHex[pData[i] & 0x0F];
        }
        *p++ = '\r';
        *p++ = '\n';
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
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
