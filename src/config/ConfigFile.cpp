#include "config/ConfigFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <new>

#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/PlainFile.h"
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

// What the user reads beside the boxes, kept for the front end (TakeConfigNotes).
// Guarded: the update files are loaded on a worker thread.
std::mutex g_notesMutex;
std::vector<std::string> g_notes;

void AddNote(std::string note) {
    LogMessage(LOG_APP, 'I', __LINE__, 0, "%s", note.c_str());
    std::lock_guard lock(g_notesMutex);
    g_notes.push_back(std::move(note));
}

// Text of the file as a note quotes it: control bytes (a terminal's escapes) shown as '?'.
std::string Quoted(std::string_view text) {
    // Short: a field is a few characters, and a line that is not config.ini text at all
    // (another file put at its name) must not be shown whole.
    constexpr std::size_t kShown = 32;
    std::string shown(text.substr(0, kShown));
    for (char& ch : shown) {
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
    }
    return "'" + shown + (text.size() > kShown ? "...'" : "'");
}

constexpr const char* kFieldNames[] = {"Type ID", "name", "data kinds", "interfaces", "options"};

// "config.ini line 3, field 4 (interfaces)"
std::string FieldPlace(int nLine, int nField) {
    return "config.ini line " + std::to_string(nLine) + ", field " + std::to_string(nField) + " (" +
           kFieldNames[nField - 1] + ")";
}

// What a numeric field takes, for the note after a bad part.
std::string FieldExpects(int nField) {
    switch (nField) {
        case 1: return "write a number from 0 to 63: 31, 0x1F, or the two hexadecimal digits of the file names when one is a letter (1F)";
        case 3: return "write the data kinds joined by |: M (firmware), K (Kanji font), H (code page), C (CPCL font), Z (ZPL font)";
        case 4: return "write the connections joined by |: IF_USB, IF_BT, IF_TCP, IF_COM";
        default:
            return "write 0 or options joined by |: NO_BOOT_DEVID, WIRELESS_LAN, REWRITE_AFTER_SEND, "
                   "BT_SLEEP_BEFORE_CLOSE, ETHERNET_OR_WIRELESS_LAN";
    }
}

void ShowFormatError(int nLine, DWORD dwLocation, std::string note) {
    ShowError(dwLocation, kFormatError, LoadResString(IDS_CONFIG_BAD_FORMAT).c_str(), nLine);
    AddNote(std::move(note));
}

// The symbol a part names in another letter case ("if_usb"), if any.
std::optional<std::string_view> SymbolInOtherCase(std::string_view part);

// A Type ID as the file names write it: two hexadecimal digits, at least one of them a
// letter, so that it cannot be read as a decimal number ("1F", "0a"; not "20").
std::optional<DWORD> FileNameTypeId(std::string_view part) {
    auto hex = [](char ch) { return std::isxdigit(static_cast<unsigned char>(ch)) != 0; };
    auto letter = [](char ch) { return std::isalpha(static_cast<unsigned char>(ch)) != 0; };
    if (part.size() != 2 || !hex(part[0]) || !hex(part[1]) || !(letter(part[0]) || letter(part[1]))) return std::nullopt;
    return static_cast<DWORD>(std::stoul(std::string(part), nullptr, 16));
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
bool ParseValueField(std::string_view field, int nField, int nLine, DWORD* pValue) {
    const bool bTypeId = nField == 1;
    DWORD dwValue = 0;
    bool bAnyPart = false;
    std::string_view context = field;
    while (std::optional<std::string_view> part = NextConfigToken(&context, "|")) {
        bAnyPart = true;
        DWORD dwPart = 0;
        std::optional<DWORD> fileNameTypeId = bTypeId ? FileNameTypeId(*part) : std::nullopt;
        if (std::optional<DWORD> symbol = LookupConfigSymbol(*part)) {
            dwPart = *symbol;
        } else if (fileNameTypeId) {
            dwPart = *fileNameTypeId;
        } else if (part->empty() || !ParseConfigNumber(*part, &dwPart)) {
            std::string note = FieldPlace(nLine, nField) + ": ";
            if (part->empty()) {
                note += "an empty part between two |; ";
            } else if (std::optional<std::string_view> symbol = SymbolInOtherCase(*part)) {
                note += Quoted(*part) + " must be written " + std::string(*symbol) + " (capitals); ";
            } else {
                note += Quoted(*part) + " is not a number or a word of this file; ";
            }
            ShowFormatError(nLine, LOC_CONFIG_BAD_PART, note + FieldExpects(nField));
            return false;
        }
        if (bTypeId && dwPart >= MODEL_TABLE_SIZE) {
            ShowError(LOC_CONFIG_TYPE_ID_TOO_BIG, kFormatError, LoadResString(IDS_CONFIG_TYPE_ID_TOO_BIG).c_str(),
                      static_cast<int>(dwPart));
            AddNote(FieldPlace(nLine, nField) + ": " + std::to_string(dwPart) +
                    " is above 63, the largest Type ID; the Type ID is the number in the update file names "
                    "(FW1F... is 0x1F, 31)");
            return false;
        }
        dwValue |= dwPart;
    }
    if (!bAnyPart) {
        ShowFormatError(nLine, LOC_CONFIG_ONLY_BARS,
                        FieldPlace(nLine, nField) + ": only | and no value; " + FieldExpects(nField));
        return false;
    }
    *pValue = dwValue;
    return true;
}

bool ParseNameField(std::string_view field, int nLine, std::string* pName) {
    const std::string expects =
        "write the model's name in double quotes, \"ZAQ Counter 20\"; it cannot hold a comma or //";
    if (field.size() < 2) {
        ShowFormatError(nLine, LOC_CONFIG_NAME_TOO_SHORT,
                        FieldPlace(nLine, 2) + ": " + Quoted(field) + " is no quoted name; " + expects);
        return false;
    }
    if (field.front() != '"' || field.back() != '"') {
        ShowFormatError(nLine, LOC_CONFIG_NAME_NOT_QUOTED,
                        FieldPlace(nLine, 2) + ": " + Quoted(field) + " is not in double quotes; " + expects);
        return false;
    }
    *pName = std::string(field.substr(1, field.size() - 2));
    return true;
}

// One model line (comment cut, not empty). The row changes only when the whole line is
// good, so a failed load never leaves a half-filled row behind.
bool ParseConfigLine(std::string_view line, int nLine, ModelTableRows& table) {
    std::string_view context = line;
    int nField = 0;
    auto nextField = [&]() -> std::optional<std::string_view> {
        ++nField;
        std::optional<std::string_view> field = NextConfigToken(&context, ",");
        if (!field || field->empty()) {
            ShowFormatError(nLine, LOC_CONFIG_FIELD_MISSING,
                            FieldPlace(nLine, nField) + " is missing or empty; a line holds five fields separated by "
                                                        "commas: Type ID, \"name\", data kinds, interfaces, options");
            return std::nullopt;
        }
        return field;
    };

    DWORD dwTypeId = 0;
    ModelEntry entry;
    std::optional<std::string_view> field = nextField();
    if (!field || !ParseValueField(*field, 1, nLine, &dwTypeId)) return false;
    if (!(field = nextField()) || !ParseNameField(*field, nLine, &entry.pszModelName)) return false;
    if (!(field = nextField()) || !ParseValueField(*field, 3, nLine, &entry.dwDataKinds)) return false;
    if (!(field = nextField()) || !ParseValueField(*field, 4, nLine, &entry.dwInterfaces)) return false;
    if (!(field = nextField()) || !ParseValueField(*field, 5, nLine, &entry.dwOptions)) return false;

    std::optional<std::string_view> extra = NextConfigToken(&context, ",");
    if (extra && !extra->empty()) {
        ShowFormatError(nLine, LOC_CONFIG_EXTRA_FIELD,
                        "config.ini line " + std::to_string(nLine) + ": a sixth field " + Quoted(*extra) +
                            "; a line holds five fields (a comma inside the name splits it)");
        return false;
    }
    if ((entry.dwOptions & OPT_WIRELESS_LAN) && (entry.dwOptions & OPT_ETHERNET_OR_WIRELESS_LAN)) {
        ShowFormatError(nLine, LOC_CONFIG_BOTH_LAN_OPTIONS,
                        FieldPlace(nLine, 5) + ": WIRELESS_LAN and ETHERNET_OR_WIRELESS_LAN exclude each other; keep one");
        return false;
    }
    table[dwTypeId] = std::move(entry);
    return true;
}

std::string_view TrimRight(std::string_view text) {
    std::size_t nLast = text.find_last_not_of(kWhiteSpace);
    return nLast == std::string_view::npos ? std::string_view{} : text.substr(0, nLast + 1);
}

// The note for a config.ini that was not opened: by the system, or refused here (a link,
// a FIFO, another user's file as root).
std::string OpenFailureNote(const PlainFile& file) {
    if (!file.strWhyNot.empty()) return RefusalSentence("config.ini", file);
    const std::string folder = CurrentFolderPath();
    const int err = file.nErrno;
    switch (err) {
        case ENOENT:
            return "There is no config.ini in " + folder +
                   ": run the program in the update folder (kelvo-cli --dir FOLDER), or write one with "
                   "kelvo-cli --init-config --type-id ID --kind KIND";
        case EACCES:
        case EPERM:
            return "You may not read config.ini in " + folder + ": ask for read permission, or copy the folder";
        case EISDIR: return "config.ini in " + folder + " is a folder, not a file";
        default: return "config.ini in " + folder + " cannot be opened: " + std::strerror(err);
    }
}

// The first line after nPos that holds something besides blanks and comments, or 0.
int NextContentLine(std::string_view content, std::size_t nPos, int nLine) {
    while (nPos < content.size()) {
        std::size_t nEnd = content.find_first_of("\r\n", nPos);
        if (nEnd == std::string_view::npos) nEnd = content.size();
        if (!TrimRight(content.substr(nPos, nEnd - nPos).substr(0, content.substr(nPos, nEnd - nPos).find("//"))).empty()) {
            return nLine;
        }
        nPos = nEnd;
        if (nPos < content.size() && content[nPos] == '\r') ++nPos;
        if (nPos < content.size() && content[nPos] == '\n') ++nPos;
        ++nLine;
    }
    return 0;
}

std::optional<std::string_view> SymbolInOtherCase(std::string_view part) {
    for (const ConfigSymbol& symbol : kSymbols) {
        if (symbol.name.size() == part.size() &&
            std::equal(part.begin(), part.end(), symbol.name.begin(),
                       [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; })) {
            return symbol.name;
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::string> TakeConfigNotes() {
    std::lock_guard lock(g_notesMutex);
    return std::exchange(g_notes, {});
}

void AddConfigNote(std::string note) { AddNote(std::move(note)); }

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

    // Only read: an update folder the user may not write (a mounted stick, root's) is fine.
    // As root, a folder someone else may write is refused before anything in it is read.
    const std::string folderDistrust = CurrentFolderDistrust();
    PlainFile file = folderDistrust.empty() ? OpenPlainFile(pszPath) : PlainFile{};
    if (!folderDistrust.empty()) file.nErrno = EACCES;
    UniqueFd& fd = file.fd;
    if (!fd) {
        DWORD dwError = ErrnoToWinError(file.nErrno);
        SetLastError(dwError);
        ShowError(LOC_CONFIG_OPEN, dwError, "%s", LoadResString(IDS_CONFIG_CANNOT_OPEN).c_str());
        LogMessage(LOG_ERROR, 'E', __LINE__, dwError, "Fail to open [%s, e:%d]", pszPath, static_cast<int>(dwError));
        const std::string folder = CurrentFolderPath();
        AddNote(folderDistrust.empty() ? OpenFailureNote(file)
                                       : DistrustSentence("The update folder " + folder, folderDistrust, folder));
        return -1;
    }
    SetLastError(ERROR_SUCCESS);

    const struct stat& st = file.info;  // the open has taken it
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
        if (nEnd == nPos) {
            // An empty line ends the file; stored files rely on that, so it stays, but
            // lines it hides are no longer hidden silently.
            if (nPos < content.size()) {
                std::size_t nNext = nPos;
                if (content[nNext] == '\r') ++nNext;
                if (nNext < content.size() && content[nNext] == '\n') ++nNext;
                if (int nHidden = NextContentLine(content, nNext, nLine + 1)) {
                    AddNote("config.ini line " + std::to_string(nLine) +
                            " is empty, and an empty line ends the file: line " + std::to_string(nHidden) +
                            " and those after it are not read. Remove the empty line to use them.");
                }
            }
            return nRows;
        }

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
