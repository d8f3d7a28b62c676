#include "config/ConfigFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"
#include "ui/StringTable.h"
#include "ui/Util.h"

ModelTableRows ModelTable;

namespace {

constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";
constexpr DWORD kFormatError = APP_ERROR_FLAG | ERROR_BAD_FORMAT;

struct ConfigSymbol {
    std::string_view name;
    DWORD dwValue;
};

// Looked up in this order; any symbol is accepted in any numeric field.
constexpr ConfigSymbol kSymbols[] = {
    {"M", DK_FIRMWARE},
    {"K", DK_KANJI_FONT},
    {"H", DK_CODE_PAGE},
    {"C", DK_CPCL_FONT},
    {"Z", DK_ZPL_FONT},
    {"IF_USB", IF_USB},
    {"IF_BT", IF_BT},
    {"IF_TCP", IF_TCP},
    {"IF_COM", IF_COM},
    {"NO_BOOT_DEVID", OPT_NO_BOOT_DEVID},
    {"WIRELESS_LAN", OPT_WIRELESS_LAN},
    {"REWRITE_AFTER_SEND", OPT_REWRITE_AFTER_SEND},
    {"BT_SLEEP_BEFORE_CLOSE", OPT_BT_SLEEP_BEFORE_CLOSE},
    {"ETHERNET_OR_WIRELESS_LAN", OPT_ETHERNET_OR_WIRELESS_LAN},
};

void ShowFormatError(int nLine, DWORD dwLocation) {
    ShowError(dwLocation, kFormatError, LoadResString(IDS_CONFIG_BAD_FORMAT).c_str(), nLine);
}

// A whole part as an unsigned 32-bit number: decimal, 0x hexadecimal or 0 octal. A sign,
// blanks or a value beyond 32 bits make it no number.
bool ParseConfigNumber(std::string_view part, DWORD* pValue) {
    if (part.empty() || part[0] < '0' || part[0] > '9') return false;
    std::string text(part);
    char* pEnd = nullptr;
    errno = 0;
    unsigned long long ull = std::strtoull(text.c_str(), &pEnd, 0);
    if (errno != 0 || pEnd != text.c_str() + text.size() || ull > 0xFFFFFFFFull) return false;
    *pValue = static_cast<DWORD>(ull);
    return true;
}

// One numeric field: the OR of its "|" parts. Shows the error and returns false.
bool ParseValueField(std::string_view field, bool bTypeId, int nLine, DWORD* pValue) {
    DWORD dwValue = 0;
    bool bAnyPart = false;
    std::string_view context = field;
    while (std::optional<std::string_view> part = NextConfigToken(&context, "|")) {
        bAnyPart = true;
        DWORD dwPart = 0;
        if (std::optional<DWORD> symbol = LookupConfigSymbol(*part)) {
            dwPart = *symbol;
        } else if (part->empty() || !ParseConfigNumber(*part, &dwPart)) {
            ShowFormatError(nLine, LOC_CONFIG_BAD_PART);
            return false;
        }
        if (bTypeId && dwPart >= MODEL_TABLE_SIZE) {
            ShowError(LOC_CONFIG_TYPE_ID_TOO_BIG, kFormatError, LoadResString(IDS_CONFIG_TYPE_ID_TOO_BIG).c_str(),
                      static_cast<int>(dwPart));
            return false;
        }
        dwValue |= dwPart;
    }
    if (!bAnyPart) {
        ShowFormatError(nLine, LOC_CONFIG_ONLY_BARS);
        return false;
    }
    *pValue = dwValue;
    return true;
}

bool ParseNameField(std::string_view field, int nLine, std::string* pName) {
    if (field.size() < 2) {
        ShowFormatError(nLine, LOC_CONFIG_NAME_TOO_SHORT);
        return false;
    }
    if (field.front() != '"' || field.back() != '"') {
        ShowFormatError(nLine, LOC_CONFIG_NAME_NOT_QUOTED);
        return false;
    }
    *pName = std::string(field.substr(1, field.size() - 2));
    return true;
}

// One model line (comment cut, not empty). The row changes only when the whole line is
// good, so a failed load never leaves a half-filled row behind.
bool ParseConfigLine(std::string_view line, int nLine, ModelTableRows& table) {
    std::string_view context = line;
    auto nextField = [&]() -> std::optional<std::string_view> {
        std::optional<std::string_view> field = NextConfigToken(&context, ",");
        if (!field || field->empty()) {
            ShowFormatError(nLine, LOC_CONFIG_FIELD_MISSING);
            return std::nullopt;
        }
        return field;
    };

    DWORD dwTypeId = 0;
    ModelEntry entry;
    std::optional<std::string_view> field = nextField();
    if (!field || !ParseValueField(*field, true, nLine, &dwTypeId)) return false;
    if (!(field = nextField()) || !ParseNameField(*field, nLine, &entry.pszModelName)) return false;
    if (!(field = nextField()) || !ParseValueField(*field, false, nLine, &entry.dwDataKinds)) return false;
    if (!(field = nextField()) || !ParseValueField(*field, false, nLine, &entry.dwInterfaces)) return false;
    if (!(field = nextField()) || !ParseValueField(*field, false, nLine, &entry.dwOptions)) return false;

    std::optional<std::string_view> extra = NextConfigToken(&context, ",");
    if (extra && !extra->empty()) {
        ShowFormatError(nLine, LOC_CONFIG_EXTRA_FIELD);
        return false;
    }
    if ((entry.dwOptions & OPT_WIRELESS_LAN) && (entry.dwOptions & OPT_ETHERNET_OR_WIRELESS_LAN)) {
        ShowFormatError(nLine, LOC_CONFIG_BOTH_LAN_OPTIONS);
        return false;
    }
    table[dwTypeId] = std::move(entry);
    return true;
}

std::string_view TrimRight(std::string_view text) {
    std::size_t nLast = text.find_last_not_of(kWhiteSpace);
    return nLast == std::string_view::npos ? std::string_view{} : text.substr(0, nLast + 1);
}

}  // namespace

void ResetModelTable(ModelTableRows& table) {
    for (ModelEntry& row : table) row = ModelEntry{};
    table[0].dwInterfaces = IF_ALL;
}

std::optional<DWORD> LookupConfigSymbol(std::string_view text) noexcept {
    for (const ConfigSymbol& symbol : kSymbols) {
        if (symbol.name == text) return symbol.dwValue;
    }
    return std::nullopt;
}

std::optional<std::string_view> NextConfigToken(std::string_view* pContext, std::string_view separators) noexcept {
    std::string_view text = *pContext;
    std::size_t nStart = text.find_first_not_of(separators);
    if (nStart == std::string_view::npos) {
        *pContext = {};
        return std::nullopt;
    }
    std::size_t nEnd = text.find_first_of(separators, nStart);
    std::string_view token = text.substr(nStart, nEnd == std::string_view::npos ? std::string_view::npos : nEnd - nStart);
    *pContext = nEnd == std::string_view::npos ? std::string_view{} : text.substr(nEnd + 1);

    std::size_t nFirst = token.find_first_not_of(kWhiteSpace);
    if (nFirst == std::string_view::npos) return std::string_view{};
    token.remove_prefix(nFirst);
    return TrimRight(token);
}

long long ReadConfigFile(std::vector<char>* pContent) {
    pContent->clear();
    pContent->shrink_to_fit();
    const char* pszPath = CONFIG_FILE_NAME;

    UniqueFd fd(::open(pszPath, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        DWORD dwError = ErrnoToWinError(errno);
        SetLastError(dwError);
        ShowError(LOC_CONFIG_OPEN, dwError, "%s", LoadResString(IDS_CONFIG_CANNOT_OPEN).c_str());
        LogMessage(LOG_ERROR, 'E', __LINE__, dwError, "Fail to open [%s, e:%d]", pszPath, static_cast<int>(dwError));
        return -1;
    }
    SetLastError(ERROR_SUCCESS);

    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        DWORD dwError = ErrnoToWinError(errno);
        ShowError(LOC_CONFIG_SIZE_TOO_BIG, dwError | APP_ERROR_FLAG, "%s", LoadResString(IDS_CONFIG_BAD_SIZE).c_str());
        return -1;
    }
    unsigned long long cbFile = static_cast<unsigned long long>(st.st_size);
    if ((cbFile >> 32) != 0) {
        ShowError(LOC_CONFIG_SIZE_TOO_BIG, GetLastError() | APP_ERROR_FLAG, "%s", LoadResString(IDS_CONFIG_BAD_SIZE).c_str());
        LogMessage(LOG_ERROR, 'E', __LINE__, 0, "Bad size. [size:0x%08x%08xbyte, %s]", static_cast<unsigned>(cbFile >> 32),
                   static_cast<unsigned>(cbFile & 0xFFFFFFFFu), pszPath);
        return -1;
    }
    if (cbFile == 0) {
        ShowError(LOC_CONFIG_SIZE_ZERO, APP_ERROR_FLAG | ERROR_BAD_LENGTH, "%s", LoadResString(IDS_CONFIG_BAD_SIZE).c_str());
        return -1;
    }

    std::vector<char> content;
    try {
        content.resize(cbFile + 1);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        ShowError(LOC_CONFIG_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY, "%s", LoadResString(IDS_CONFIG_LOAD_ERROR).c_str());
        LogMessage(LOG_ERROR, 'E', __LINE__, ERROR_NOT_ENOUGH_MEMORY, "Memory error. [%s, size:%d]", pszPath,
                   static_cast<int>(cbFile + 1));
        return -1;
    }

    std::size_t cbDone = 0;
    while (cbDone < cbFile) {
        std::size_t cbAsked = cbFile - cbDone;
        ssize_t cbGot = ::read(fd.Get(), content.data() + cbDone, cbAsked);
        if (cbGot < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (cbGot < 0) {
            DWORD dwError = ErrnoToWinError(errno);
            SetLastError(dwError);
            ShowError(LOC_CONFIG_READ, dwError, "%s", LoadResString(IDS_CONFIG_LOAD_ERROR).c_str());
            LogMessage(LOG_ERROR, 'E', __LINE__, dwError, "ReadFile [path=\"%s\", e:%d]", pszPath, static_cast<int>(dwError));
            return -1;
        }
        if (static_cast<std::size_t>(cbGot) > cbAsked) {
            ShowError(LOC_CONFIG_READ_OVERFLOW, APP_ERROR_FLAG | ERROR_BUFFER_OVERFLOW,
                      "%s", LoadResString(IDS_CONFIG_LOAD_ERROR).c_str());
            LogMessage(LOG_ERROR, 'E', __LINE__, APP_ERROR_FLAG | ERROR_BUFFER_OVERFLOW,
                       "ReadFile overflow [path=\"%s\", size:%d<%d]", pszPath, static_cast<int>(cbAsked),
                       static_cast<int>(cbGot));
            return -1;
        }
        if (cbGot == 0) {
            LogMessage(LOG_ERROR, 'E', __LINE__, APP_ERROR_FLAG | ERROR_READ_FAULT, "ReadFile no data [path=\"%s\"]", pszPath);
            ShowError(LOC_CONFIG_READ_NO_DATA, APP_ERROR_FLAG | ERROR_READ_FAULT, "%s", LoadResString(IDS_CONFIG_LOAD_ERROR).c_str());
            return -1;
        }
        cbDone += static_cast<std::size_t>(cbGot);
    }
    content[cbFile] = '\0';
    *pContent = std::move(content);
    return static_cast<long long>(cbFile);
}

int ParseConfigText(std::string_view content, ModelTableRows& table) {
    content = content.substr(0, content.find('\0'));  // a NUL ends the data
    int nLine = 1;
    int nRows = 0;
    std::size_t nPos = 0;
    for (;;) {
        std::size_t nEnd = content.find_first_of("\r\n", nPos);
        if (nEnd == std::string_view::npos) nEnd = content.size();
        if (nEnd == nPos) return nRows;  // end of data, or an empty line

        std::string_view line = content.substr(nPos, std::min(nEnd - nPos, CONFIG_LINE_MAX));
        nPos = nEnd;
        if (nPos < content.size() && content[nPos] == '\r') ++nPos;
        if (nPos < content.size() && content[nPos] == '\n') ++nPos;

        line = TrimRight(line.substr(0, line.find("//")));
        if (line.empty()) {
            ++nLine;
            continue;
        }
        if (!ParseConfigLine(line, nLine, table)) return -1;
        ++nRows;
        ++nLine;
    }
}

int LoadConfigFile(ModelTableRows& table) {
    LogMessage(LOG_APP, 'I', __LINE__, 0, "Loading config file...");
    std::vector<char> content;
    long long cbContent = ReadConfigFile(&content);
    if (cbContent < 0) return -1;
    return ParseConfigText(std::string_view(content.data(), static_cast<std::size_t>(cbContent)), table);
}
