#include "cli/Preflight.h"

#include <arpa/inet.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include <dirent.h>

#include "config/ConfigFile.h"
#include "engine/Kelvo.h"
#include "platform/Text.h"
#include "platform/BlueZ.h"
#include "platform/Paths.h"
#include "platform/PlainFile.h"
#include "platform/WinError.h"
#include "port/ComConf.h"
#include "port/Icmp.h"
#include "port/UsbLp.h"

namespace {

// The word --kind takes for a kind, as people type it.
std::string KindWord(int nKind) {
    if (nKind == PORT_KIND_LAN) return "lan";
    std::string word = PortKindWord(nKind);
    for (char& ch : word) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return word;
}

std::string ListHint(int nKind) {
    return "`kelvo-cli --kind " + KindWord(nKind) +
           " --list` shows the " + (nKind == PORT_KIND_SERIAL ? "ports" : "printers");
}

// How a port of the kind is written.
const char* FormOfKind(int nKind) {
    switch (nKind) {
        case PORT_KIND_USB: return "USB printers are USB001, USB002, ... (USB001 is /dev/usb/lp0)";
        case PORT_KIND_SERIAL: return "serial ports are tty names: ttyS0, ttyUSB0, ttyACM0";
        case PORT_KIND_LAN: return "a LAN printer is its IPv4 address, 192.168.1.40 (its self-test page shows it)";
        default: return "a Bluetooth printer is its address, six pairs of hexadecimal digits: 02:00:5A:00:00:01";
    }
}

std::string KindOption(int nKind) { return "--kind " + KindWord(nKind); }

struct KindInterface {
    int nKind;
    DWORD dwBit;
    const char* pszWord;  // as config.ini's interfaces field writes it
    const char* pszName;  // as a sentence names the connection
};
constexpr KindInterface kKindInterfaces[] = {
    {PORT_KIND_USB, IF_USB, "IF_USB", "USB"},
    {PORT_KIND_BLUETOOTH, IF_BT, "IF_BT", "Bluetooth"},
    {PORT_KIND_LAN, IF_TCP, "IF_TCP", "LAN"},
    {PORT_KIND_SERIAL, IF_COM, "IF_COM", "serial"},
};

const KindInterface* InterfaceOf(int nKind) {
    for (const KindInterface& ki : kKindInterfaces) {
        if (ki.nKind == nKind) return &ki;
    }
    return nullptr;
}

const ModelEntry* RowOf(int nTypeId) {
    if (nTypeId <= 0 || static_cast<std::size_t>(nTypeId) >= MODEL_TABLE_SIZE) return nullptr;
    return &ModelTable[static_cast<std::size_t>(nTypeId)];
}

// "config.ini's line for Type ID 0x20 (KV-T32) offers only USB: to update it over LAN,
// add IF_TCP to its interfaces field (IF_USB|IF_TCP)"; empty when the line offers the
// kind, or there is no line with connections at all (said elsewhere).
std::string AddInterfaceSentence(int nTypeId, int nKind) {
    const ModelEntry* pRow = RowOf(nTypeId);
    const KindInterface* pWanted = InterfaceOf(nKind);
    if (pRow == nullptr || pWanted == nullptr || pRow->dwInterfaces == 0 || (pRow->dwInterfaces & pWanted->dwBit) != 0) {
        return {};
    }
    std::vector<std::string> names;
    std::string field;
    for (const KindInterface& ki : kKindInterfaces) {
        if ((pRow->dwInterfaces & ki.dwBit) == 0) continue;
        names.push_back(ki.pszName);
        field += (field.empty() ? "" : "|") + std::string(ki.pszWord);
    }
    std::string offered;
    for (std::size_t i = 0; i < names.size(); ++i) {
        offered += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return StrPrintf("config.ini's line for Type ID 0x%02X", static_cast<unsigned>(nTypeId)) +
           (pRow->pszModelName.empty() ? std::string() : " (" + pRow->pszModelName + ")") + " offers only " + offered +
           ": to update it over " + pWanted->pszName + ", add " + pWanted->pszWord + " to its interfaces field (" +
           field + "|" + pWanted->pszWord + ")";
}

// A name that is meant as an IPv4 address: digits and dots only, with a dot.
bool LooksLikeAddress(std::string_view name) {
    return name.find('.') != std::string_view::npos &&
           std::all_of(name.begin(), name.end(), [](char ch) { return (ch >= '0' && ch <= '9') || ch == '.'; });
}

bool IsComName(std::string_view name) {
    return name.size() > 3 && ::strncasecmp(name.data(), "COM", 3) == 0 &&
           std::all_of(name.begin() + 3, name.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
}

// "lp0" or "usb/lp0": the usblp node's own name; its port name, or empty.
std::string UsbNameOfNode(std::string_view name) {
    if (name.starts_with("usb/")) name.remove_prefix(4);
    if (!name.starts_with("lp") || name.size() < 3 || name.size() > 5) return {};
    unsigned n = 0;
    for (char ch : name.substr(2)) {
        if (ch < '0' || ch > '9') return {};
        n = n * 10 + static_cast<unsigned>(ch - '0');
    }
    return n < USB_LP_MAX ? UsbPortName(n) : std::string();
}

// The kind whose form the name has, by the ports' own rules; -1 for none.
int KindOfName(const std::string& name) {
    unsigned nLp = 0;
    if (UsbLpOfPortName(name, &nLp)) return PORT_KIND_USB;
    if (IsSerialPortName(name) && !IsComName(name)) return PORT_KIND_SERIAL;
    if (IsIpv4Address(name)) return PORT_KIND_LAN;
    if (ParseBthAddress(name.c_str()) != 0) return PORT_KIND_BLUETOOTH;
    return -1;
}

bool LooksLikeHostName(std::string_view name) {
    return !name.empty() && name.find('.') != std::string_view::npos &&
           std::all_of(name.begin(), name.end(),
                       [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) || ch == '.' || ch == '-'; }) &&
           std::any_of(name.begin(), name.end(), [](char ch) { return std::isalpha(static_cast<unsigned char>(ch)); });
}

// Why the name is not one of the kind, and what to write instead.
PortProblem WrongForm(int nKind, const std::string& name) {
    std::string shown = name.substr(0, 64);
    for (char& ch : shown) {
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
    }
    std::string_view rest = name;
    if (rest.starts_with("/dev/")) rest.remove_prefix(5);
    // The kind the sentence sends the user to, when another: the model must offer it.
    int nSuggested = nKind;
    std::string sentence;
    if (std::string usb = UsbNameOfNode(rest); !usb.empty()) {
        nSuggested = PORT_KIND_USB;
        sentence = shown + " is the USB printer " + usb + " to Kelvo: --kind usb --port " + usb;
    } else if (rest.size() != name.size() && KindOfName(std::string(rest)) >= 0) {
        int nOther = KindOfName(std::string(rest));
        nSuggested = nOther;
        sentence = shown + ": name the port without /dev/: " + (nOther == nKind ? "" : KindOption(nOther) + " ") +
                   "--port " + std::string(rest);
    } else if (int nOther = KindOfName(name); nOther >= 0) {
        nSuggested = nOther;
        sentence = shown + " is a " + (nOther == PORT_KIND_LAN ? std::string("LAN address") :
                                       nOther == PORT_KIND_SERIAL ? std::string("serial port") :
                                       std::string(PortKindWord(nOther)) + " name") +
                   ", not a " + PortKindWord(nKind) + " port: " + KindOption(nOther) + " --port " + name;
    } else if (LooksLikeAddress(name)) {
        sentence = shown + " is not a valid IPv4 address: an address is four numbers from 0 to 255 separated by dots, "
                           "such as 192.168.1.40 (the printer's self-test page shows it)";
    } else if (nKind == PORT_KIND_LAN && LooksLikeHostName(name)) {
        sentence = shown + " is a host name; Kelvo takes the printer's IPv4 address (192.168.1.40): its self-test "
                           "page shows it, or " + ListHint(nKind);
    } else {
        sentence = shown + " is not a " + PortKindWord(nKind) + " port name: " + FormOfKind(nKind) + "; " +
                   ListHint(nKind);
    }
    if (std::string add = AddInterfaceSentence(theApp.nTypeId, nSuggested); !add.empty()) sentence += "; " + add;
    return {ERROR_INVALID_NAME, sentence + "."};
}

// Where the package puts its device rule (the admin's copy may override it).
bool DeviceRuleInstalled() {
    for (const char* pszPath : {"/etc/udev/rules.d/60-kelvo.rules", "/usr/lib/udev/rules.d/60-kelvo.rules",
                                "/usr/local/lib/udev/rules.d/60-kelvo.rules"}) {
        if (::access(SysPath(pszPath).c_str(), F_OK) == 0) return true;
    }
    return false;
}

// What really lets this user open the node: the package's rule for the maker's ports (the
// user at the seat), the node's group when that group may read and write it (never
// root's: that is root's own), and root.
std::string AccessSentence(int nKind, const std::string& name, const std::string& path, const struct stat& st) {
    std::vector<std::string> ways;
    if (nKind == PORT_KIND_USB || name.starts_with("ttyACM")) {
        ways.push_back(DeviceRuleInstalled()
                           ? "the package's device rule lets the user logged in at this machine's seat open the "
                             "maker's printers (a login over ssh is not at the seat)"
                           : "install the package: its device rule lets the user at this machine's seat open the "
                             "maker's printers");
    }
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && st.st_gid != 0) {
        std::string group = GroupName(st.st_gid);
        ways.push_back("add yourself to its group " + group + " (sudo usermod -aG " + group + " $USER, then log in again)");
    }
    ways.push_back(ways.empty() ? "only root may, so run as root" : "run as root");
    std::string text;
    for (std::size_t i = 0; i < ways.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == ways.size() ? "; or " : "; ") + ways[i];
    }
    return "You may not open " + path + StrPrintf(" (owner %s, group %s, mode %04o): ", UserName(st.st_uid).c_str(),
                                                  GroupName(st.st_gid).c_str(),
                                                  static_cast<unsigned>(st.st_mode & 07777)) +
           text + ".";
}

// The node of a USB or serial port: there, and open to this user for reading and writing.
std::optional<PortProblem> CheckNode(int nKind, const std::string& name, const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        int err = errno;
        if (err != ENOENT && err != ENOTDIR) {
            return PortProblem{ERROR_DEVICE_NOT_CONNECTED, path + " cannot be looked at (" + std::strerror(err) + ")."};
        }
        std::string sentence;
        if (IsComName(name)) {
            sentence = name + " is a Windows port name; on Linux serial ports are ttyS0 (the first on the board), "
                              "ttyUSB0 (an adapter), ttyACM0 (the printer's own USB serial port); " + ListHint(nKind);
        } else if (nKind == PORT_KIND_USB) {
            sentence = name + " (" + path + ") is not there: the printer is not plugged in, not switched on, or has " +
                       "another number; " + ListHint(nKind);
        } else {
            sentence = path + " does not exist; " + ListHint(nKind);
        }
        return PortProblem{ERROR_DEVICE_NOT_CONNECTED, sentence + "."};
    }
    if (::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        return PortProblem{ERROR_ACCESS_DENIED, AccessSentence(nKind, name, path, st)};
    }
    return std::nullopt;
}

}  // namespace

bool IsIpv4Address(std::string_view name) {
    in_addr addr{};
    return !name.empty() && name.size() < 16 && ::inet_pton(AF_INET, std::string(name).c_str(), &addr) == 1;
}

void ApplyAddressKind(CliOptions* pOptions) {
    if (pOptions->nKind || !pOptions->strPortsFrom.empty() || pOptions->ports.empty()) return;
    if (std::all_of(pOptions->ports.begin(), pOptions->ports.end(), [](const std::string& p) { return IsIpv4Address(p); })) {
        pOptions->nKind = PORT_KIND_LAN;
    }
}

std::optional<PortProblem> CheckPortName(int nKind, const std::string& port) {
    if (KindOfName(port) != nKind) {
        // COM<n> is a serial name only for compatibility; its node tells.
        if (!(nKind == PORT_KIND_SERIAL && IsComName(port))) return WrongForm(nKind, port);
    }
    if (nKind == PORT_KIND_USB) {
        unsigned nLp = 0;
        UsbLpOfPortName(port, &nLp);
        return CheckNode(nKind, port, UsbNodePath(nLp));
    }
    if (nKind == PORT_KIND_SERIAL) return CheckNode(nKind, port, SysPath("/dev/" + port));
    return std::nullopt;
}

std::optional<PortProblem> CheckLanPing() {
    CIcmpEcho echo;
    if (echo.Valid()) return std::nullopt;
    return PortProblem{WSAEACCES,
                       "This user may not send ping (ICMP echo), which the LAN connection uses to see the printer: "
                       "allow ping sockets for your groups (sudo sysctl -w net.ipv4.ping_group_range=\"0 "
                       "2147483647\", kept in /etc/sysctl.d/) or run as root."};
}

namespace {

struct TableName {
    const UpdateTable* pTable;
    const char* pszPrefix;
};

std::vector<TableName> SentTables() {
    const UpdateTables& t = theApp.tables;
    return {{&t.FW, "FW"}, {&t.KF, "KF"}, {&t.CF, "CF"}, {&t.ZF, "ZF"}, {&t.YF, "YF"}};
}

// The folder's *.bin files no loaded entry came from: names that are no update file's.
std::vector<std::string> StrayBinFiles() {
    std::vector<std::string> names;
    DIR* pDir = ::opendir(".");
    if (pDir == nullptr) return names;
    while (dirent* pEntry = ::readdir(pDir)) {
        std::string name = pEntry->d_name;
        if (name.size() < 4 || ::strcasecmp(name.c_str() + name.size() - 4, ".bin") != 0) continue;
        names.push_back(name);
    }
    ::closedir(pDir);
    const UpdateTables& t = theApp.tables;
    for (const UpdateTable* pTable : {&t.FW, &t.CG, &t.CF, &t.EE, &t.KF, &t.ZF, &t.YF}) {
        for (const UpdateDataEntry& entry : *pTable) {
            if (entry.bLoaded) std::erase(names, entry.strFileName);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string TypeIdText(int nTypeId) { return StrPrintf("Type ID 0x%02X", static_cast<unsigned>(nTypeId)); }

// The Type IDs the sendable files are for, ascending, as "0x1F" or "0x1F and 0x20".
std::string FileTypeIds() {
    std::vector<int> ids;
    for (const TableName& table : SentTables()) {
        for (const UpdateDataEntry& entry : *table.pTable) {
            if (entry.bLoaded && std::find(ids.begin(), ids.end(), entry.bTypeId) == ids.end()) ids.push_back(entry.bTypeId);
        }
    }
    std::sort(ids.begin(), ids.end());
    std::string text;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i > 0) text += i + 1 == ids.size() ? " and " : ", ";
        text += StrPrintf("0x%02X", static_cast<unsigned>(ids[i]));
    }
    return text;
}

std::string ModelOf(int nTypeId) {
    if (nTypeId < 0 || static_cast<std::size_t>(nTypeId) >= MODEL_TABLE_SIZE) return {};
    return ModelTable[static_cast<std::size_t>(nTypeId)].pszModelName;
}

}  // namespace

std::optional<PortProblem> CheckUpdateFiles(std::vector<std::string>* pNotes) {
    const UpdateDataEntry& firmware = theApp.nTypeId > 0 ? theApp.tables.FW[static_cast<std::size_t>(theApp.nTypeId)]
                                                         : theApp.tables.FW[0];
    bool bAny = false;
    for (const TableName& table : SentTables()) {
        for (const UpdateDataEntry& entry : *table.pTable) {
            if (!entry.bLoaded) continue;
            bAny = true;
            if (firmware.bLoaded && entry.bTypeId != firmware.bTypeId) {
                pNotes->push_back(entry.strFileName + " is for " + TypeIdText(entry.bTypeId) + ", the firmware " +
                                  firmware.strFileName + " for " + TypeIdText(firmware.bTypeId) +
                                  ": it is sent only to a printer of " + TypeIdText(entry.bTypeId) + ".");
            }
        }
    }
    if (bAny) return std::nullopt;
    std::string sentence = "There are no update files in " + CurrentFolderPath() +
                           " (FW*.bin firmware, KF, CF, ZF or YF*.bin fonts): put the printer's files beside "
                           "config.ini (README: \"The update files\")";
    std::vector<std::string> stray = StrayBinFiles();
    if (!stray.empty()) {
        std::string list;
        for (std::size_t i = 0; i < stray.size() && i < 3; ++i) list += (i > 0 ? ", " : "") + stray[i];
        if (stray.size() > 3) list += ", ...";
        sentence += "; " + list + (stray.size() == 1 ? " is" : " are") +
                    " not named as update files: the kind (FW, KF, ...), the Type ID and, for firmware, the ROM ID, "
                    "as FW2007xxx.bin";
    }
    return PortProblem{ERROR_FILE_NOT_FOUND, sentence + "."};
}

std::optional<PortProblem> CheckBeforeConnecting(int nKind, const std::string& port, std::vector<std::string>* pNotes) {
    if (!port.empty()) {
        if (std::optional<PortProblem> problem = CheckPortName(nKind, port)) return problem;
    }
    if (std::optional<PortProblem> problem = CheckUpdateFiles(pNotes)) return problem;
    if (nKind == PORT_KIND_LAN) return CheckLanPing();
    return std::nullopt;
}

std::string WrongModelSentence(int nDeviceId) {
    if (nDeviceId < 0) return {};
    std::string model = ModelOf(nDeviceId);
    std::string ids = FileTypeIds();
    if (ids.empty()) {
        return "The printer is " + (model.empty() ? std::string("a model") : "a " + model) + " (" +
               TypeIdText(nDeviceId) + "), and there are no update files here for it.";
    }
    return "The printer is " + (model.empty() ? std::string("a model") : "a " + model) + " (" + TypeIdText(nDeviceId) +
           "), the files here are for Type ID " + ids + ": use the update files for " +
           TypeIdText(nDeviceId) + " (their names begin FW" + StrPrintf("%02X", static_cast<unsigned>(nDeviceId)) +
           ", KF" + StrPrintf("%02X", static_cast<unsigned>(nDeviceId)) + ", ...).";
}

namespace {

bool RowInUse(const ModelEntry& row) { return !row.pszModelName.empty() || row.dwDataKinds != 0 || row.dwInterfaces != 0; }

// The digits of n read in base nFrom, as a number in base nTo; -1 when they are no such number.
int ReadInOtherBase(int n, int nFrom, int nTo) {
    std::string digits = nFrom == 16 ? StrPrintf("%X", static_cast<unsigned>(n)) : std::to_string(n);
    char* pEnd = nullptr;
    long value = std::strtol(digits.c_str(), &pEnd, nTo);
    return *pEnd == '\0' ? static_cast<int>(value) : -1;
}

// config.ini has a line whose Type ID, its digits read in the other base, is the files':
// "20" there is twenty, the files' "20" is 0x20.
std::string OtherBaseSentence(int nTypeId) {
    for (std::size_t i = 1; i < MODEL_TABLE_SIZE; ++i) {
        const int nRow = static_cast<int>(i);
        if (nRow == nTypeId || !RowInUse(ModelTable[i])) continue;
        if (ReadInOtherBase(nRow, 10, 16) == nTypeId) {
            return StrPrintf("The update files here are for Type ID 0x%02X, and config.ini has no line for it but one "
                             "for %d, which it reads as the decimal number %d (0x%02X); the files' %d is hexadecimal: "
                             "write that line's Type ID as 0x%02X (or %d).",
                             static_cast<unsigned>(nTypeId), nRow, nRow, static_cast<unsigned>(nRow), nRow,
                             static_cast<unsigned>(nTypeId), nTypeId);
        }
        if (ReadInOtherBase(nRow, 16, 10) == nTypeId) {
            return StrPrintf("The update files here are for Type ID 0x%02X (%d in decimal), and config.ini has no line "
                             "for it but one for 0x%02X (%d in decimal); if that line is for these files, write its "
                             "Type ID as %d (or 0x%02X).",
                             static_cast<unsigned>(nTypeId), nTypeId, static_cast<unsigned>(nRow), nRow, nTypeId,
                             static_cast<unsigned>(nTypeId));
        }
    }
    return {};
}

}  // namespace

std::string KindNotOfferedSentence(int nTypeId, int nKind) {
    std::string sentence = AddInterfaceSentence(nTypeId, nKind);
    return sentence.empty() ? MissingModelSentence(nTypeId) : sentence + ".";
}

const char* InterfaceWord(int nKind) {
    const KindInterface* pInterface = InterfaceOf(nKind);
    return pInterface != nullptr ? pInterface->pszWord : "";
}

std::string MissingModelSentence(int nTypeId) {
    if (nTypeId <= 0 || static_cast<std::size_t>(nTypeId) >= MODEL_TABLE_SIZE) return {};
    const ModelEntry& row = ModelTable[static_cast<std::size_t>(nTypeId)];
    if (row.dwInterfaces != 0) return {};
    if (!RowInUse(row)) {
        if (std::string sentence = OtherBaseSentence(nTypeId); !sentence.empty()) return sentence;
        return "The update files here are for " + TypeIdText(nTypeId) + ", and config.ini has no line for it: add one, " +
               StrPrintf("%d", nTypeId) + ", \"model name\", M|K, IF_USB, 0 (README: \"The update folder: config.ini\").";
    }
    return "config.ini's line for " + TypeIdText(nTypeId) +
           " names no connection: write them in its fourth field, IF_USB, IF_BT, IF_TCP or IF_COM.";
}
