#include "log/LogFormat.h"

#include <algorithm>
#include <cstring>

#include "log/Log.h"
#include "platform/Text.h"

namespace {

constexpr const char kColumnLine[] = "Addr : +0 +1 +2 +3 +4 +5 +6 +7 +8 +9 +A +B +C +D +E +F";
constexpr std::size_t kMaxTitleChars = 1023;
constexpr DWORD kLargestDecimalCode = 9999;

// Every entry is on the transfer path (a line per step, a dump per block): its fixed parts
// are put together by hand, as printf's "%0<width>d" would write them, rather than
// through printf's format parser.
void AppendPadded(std::string& out, long long value, int nWidth) {
    char digits[24];
    int n = 0;
    unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value)
                                             : static_cast<unsigned long long>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        out += '-';
        --nWidth;  // the sign takes one place of the width
    }
    for (int i = n; i < nWidth; ++i) out += '0';
    while (n > 0) out += digits[--n];
}

// "[%02d/%02d %02d:%02d(%02d.%03d)]", the stamp that begins every entry.
void AppendStamp(std::string& out, const LocalTime& lt) {
    const struct {
        char chBefore;
        int nValue;
        int nWidth;
    } fields[] = {{'[', lt.month, 2}, {'/', lt.day, 2},    {' ', lt.hour, 2},
                  {':', lt.minute, 2}, {'(', lt.second, 2}, {'.', lt.millisecond, 3}};
    for (const auto& f : fields) {
        out += f.chBefore;
        AppendPadded(out, f.nValue, f.nWidth);
    }
    out += ")]";
}

// " XY" for each byte value; the fourth character is room for a four-byte copy.
struct HexCells {
    char cell[256][4];
    constexpr HexCells() : cell() {
        constexpr char kHex[] = "0123456789ABCDEF";
        for (int b = 0; b < 256; ++b) {
            cell[b][0] = ' ';
            cell[b][1] = kHex[b >> 4];
            cell[b][2] = kHex[b & 0x0F];
            cell[b][3] = ' ';
        }
    }
};
constexpr HexCells kHexCells;

}  // namespace

std::string LogFormatLine(const LocalTime& lt, char chLevel, DWORD dwError, int nLine, const std::string& message) {
    // As "%s" took it: up to a NUL the text may hold.
    std::size_t cbMessage = std::min(message.size(), message.find('\0'));
    while (cbMessage > 0 && (message[cbMessage - 1] == '\r' || message[cbMessage - 1] == '\n')) --cbMessage;
    std::string line;
    line.reserve(48 + cbMessage);
    AppendStamp(line, lt);
    line += " [";
    line += chLevel;
    line += "] [";
    if (dwError > kLargestDecimalCode) {
        // Codes above 9999 are HRESULTs or Winsock numbers; hexadecimal reads better there.
        line += StrPrintf("%#08x", static_cast<unsigned>(dwError));
    } else {
        AppendPadded(line, dwError, 4);
    }
    line += " : ";
    AppendPadded(line, nLine, 4);
    line += "] : ";
    line.append(message, 0, cbMessage);
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
    const std::size_t cbShown = cbData < cbLimit ? cbData : cbLimit;
    constexpr std::size_t kRowChars = 4 + 2 + 16 * 3 + 2;
    constexpr std::size_t kColumnChars = sizeof kColumnLine - 1;
    std::string out;
    // One allocation: the heading, the rows (longer offsets past 64 KiB), the ending.
    out.reserve(64 + title.size() + kColumnChars + (cbShown + 15) / 16 * (kRowChars + 4) + 64);
    AppendStamp(out, lt);
    out += ' ';
    out += title;
    out += " [";
    AppendPadded(out, static_cast<int>(cbData), 0);
    out += "byte]\r\n";
    out.append(kColumnLine, kColumnChars);
    out += "\r\n";
    const std::size_t cbHead = out.size();
    // Room for the rows plus one: each byte's cell is copied four characters at a time.
    out.resize(cbHead + (cbShown + 15) / 16 * kRowChars + 1);
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
            std::memcpy(p, kHexCells.cell[pData[i]], 4);
            p += 3;
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
