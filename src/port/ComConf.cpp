#include "port/ComConf.h"

#include <cctype>
#include <charconv>
#include <fstream>
#include <map>
#include <mutex>
#include <vector>

#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/WinError.h"

namespace {

constexpr std::string_view kDefaultConfig = "9600,n,8,1";
constexpr std::string_view kParityLetters = "noems";  // indexed by NOPARITY..SPACEPARITY

bool IsDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}
bool IsAlpha(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string_view Trim(std::string_view text) noexcept {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> SplitCommas(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    while (true) {
        std::size_t comma = text.find(',', pos);
        fields.push_back(Trim(text.substr(pos, comma == std::string_view::npos ? comma : comma - pos)));
        if (comma == std::string_view::npos) return fields;
        pos = comma + 1;
    }
}

bool ParseNumber(std::string_view text, DWORD* pValue) noexcept {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *pValue);
    return ec == std::errc() && end == text.data() + text.size();
}

bool IsValidDcb(const DCB& dcb) noexcept {
    return dcb.BaudRate != 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= SPACEPARITY &&
           dcb.StopBits <= TWOSTOPBITS;
}

// The flow members as the configuration strings' flow letter sets them.
void SetFlow(DCB& dcb, char chFlow) noexcept {
    dcb.fOutxCtsFlow = chFlow == 'p';
    dcb.fOutxDsrFlow = chFlow == 'p';
    dcb.fDtrControl = chFlow == 'p' ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb.fRtsControl = chFlow == 'p' ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = chFlow == 'x';
    dcb.fInX = chFlow == 'x';
}

// The process-wide table of default configurations.
class DefaultTable {
public:
    void Get(const std::string& key, COMMCONFIG* pConfig) {
        std::lock_guard lock(m_mutex);
        *pConfig = Entry(key);
    }
    void Set(const std::string& key, const COMMCONFIG& config) {
        std::lock_guard lock(m_mutex);
        Seed();
        m_entries[key] = config;
    }
    void Forget() {
        std::lock_guard lock(m_mutex);
        m_entries.clear();
        m_bSeeded = false;
    }

private:
    COMMCONFIG& Entry(const std::string& key) {
        Seed();
        auto it = m_entries.find(key);
        if (it != m_entries.end()) return it->second;
        COMMCONFIG config;
        BuildCommDCB(kDefaultConfig, &config.dcb);
        return m_entries.emplace(key, config).first->second;
    }

    void Seed() {
        if (m_bSeeded) return;
        m_bSeeded = true;
        std::ifstream in(SysPath("/etc/ZAQ/Ports.ini"));
        std::string line;
        bool bInPorts = false;
        while (std::getline(in, line)) {
            std::string_view text = Trim(line);
            if (text.empty() || text.front() == ';' || text.front() == '#') continue;
            if (text.front() == '[') {
                bInPorts = AsciiEqualNoCase(text, "[Ports]");
                continue;
            }
            std::size_t eq = text.find('=');
            if (!bInPorts || eq == std::string_view::npos) continue;
            std::string key = SerialPortKey(Trim(text.substr(0, eq)));
            COMMCONFIG config;
            if (!key.empty() && BuildCommDCB(Trim(text.substr(eq + 1)), &config.dcb)) m_entries[key] = config;
        }
    }

    std::mutex m_mutex;
    std::map<std::string, COMMCONFIG> m_entries;
    bool m_bSeeded = false;
};

DefaultTable& Table() {
    static DefaultTable table;
    return table;
}

// The key of a name the table accepts, or empty with ERROR_FILE_NOT_FOUND.
std::string KeyOrFail(const char* pszPortName) {
    std::string key = pszPortName != nullptr ? SerialPortKey(pszPortName) : std::string();
    if (key.empty()) SetLastError(ERROR_FILE_NOT_FOUND);
    return key;
}

// One line for each change: BaudRate, ByteSize, StopBits, fOutxCtsFlow, fOutxDsrFlow,
// fDtrControl, fOutX, fInX, fParity, Parity, fRtsControl.
void LogComConfig(int nLine, const char* pszWhat, const DCB& d) noexcept {
    LogMessage(LOG_ACTION, 'A', nLine, ERROR_SUCCESS, "%s [%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d]", pszWhat,
               static_cast<int>(d.BaudRate), d.ByteSize, d.StopBits, static_cast<int>(d.fOutxCtsFlow),
               static_cast<int>(d.fOutxDsrFlow), static_cast<int>(d.fDtrControl), static_cast<int>(d.fOutX),
               static_cast<int>(d.fInX), static_cast<int>(d.fParity), d.Parity, static_cast<int>(d.fRtsControl));
}

}  // namespace

bool IsSerialPortName(std::string_view name) noexcept {
    if (name.size() > 3 && AsciiEqualNoCase(name.substr(0, 3), "COM")) {
        for (char c : name.substr(3))
            if (!IsDigit(c)) return false;
        return true;
    }
    if (name.size() < 5 || name.substr(0, 3) != "tty" || !IsAlpha(name[3]) || !IsDigit(name.back())) return false;
    for (char c : name.substr(4))
        if (!IsAlpha(c) && !IsDigit(c) && c != '_') return false;
    return true;
}

std::string SerialPortKey(std::string_view name) {
    if (!name.empty() && name.back() == ':') name.remove_suffix(1);
    if (!IsSerialPortName(name)) return {};
    std::string key(name);
    if (!key.starts_with("tty"))
        for (int i = 0; i < 3; ++i) key[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(key[i])));
    return key;
}

COMMCONFIG SafeComConfig() noexcept {
    COMMCONFIG cc;
    cc.dcb.BaudRate = 115200;
    cc.dcb.ByteSize = 8;
    cc.dcb.Parity = NOPARITY;
    cc.dcb.StopBits = ONESTOPBIT;
    cc.dcb.fParity = 0;
    cc.dcb.fOutxCtsFlow = 1;
    cc.dcb.fOutxDsrFlow = 0;
    cc.dcb.fDtrControl = DTR_CONTROL_ENABLE;
    cc.dcb.fOutX = 0;
    cc.dcb.fInX = 0;
    cc.dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    return cc;
}

BOOL BuildCommDCB(std::string_view definition, DCB* pDcb) noexcept {
    std::vector<std::string_view> f = SplitCommas(definition);
    DCB dcb;
    DWORD dwData = 0;
    std::size_t parity = std::string_view::npos;
    char chFlow = '\0';
    bool bOk = f.size() == 4 || f.size() == 5;
    bOk = bOk && ParseNumber(f[0], &dcb.BaudRate) && dcb.BaudRate != 0;
    if (bOk && f[1].size() == 1) parity = kParityLetters.find(static_cast<char>(std::tolower(f[1][0])));
    bOk = bOk && parity != std::string_view::npos;
    bOk = bOk && ParseNumber(f[2], &dwData) && dwData >= 5 && dwData <= 8;
    bOk = bOk && (f[3] == "1" || f[3] == "1.5" || f[3] == "2");
    if (bOk && f.size() == 5 && !f[4].empty()) {
        chFlow = f[4].size() == 1 ? static_cast<char>(std::tolower(f[4][0])) : '?';
        bOk = chFlow == 'x' || chFlow == 'p';
    }
    if (!bOk) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    dcb.Parity = static_cast<BYTE>(parity);
    dcb.ByteSize = static_cast<BYTE>(dwData);
    dcb.StopBits = f[3] == "1" ? ONESTOPBIT : f[3] == "2" ? TWOSTOPBITS : ONE5STOPBITS;
    dcb.fParity = dcb.Parity != NOPARITY;
    SetFlow(dcb, chFlow);
    *pDcb = dcb;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

std::string CommConfigString(const DCB& dcb) {
    const char* pszStop = dcb.StopBits == TWOSTOPBITS ? "2" : dcb.StopBits == ONE5STOPBITS ? "1.5" : "1";
    char chParity = dcb.Parity <= SPACEPARITY ? kParityLetters[dcb.Parity] : 'n';
    const char* pszFlow = "";
    if (dcb.fOutX || dcb.fInX)
        pszFlow = ",x";
    else if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        pszFlow = ",p";
    return StrPrintf("%u,%c,%u,%s%s", static_cast<unsigned>(dcb.BaudRate), chParity, dcb.ByteSize, pszStop, pszFlow);
}

BOOL GetDefaultCommConfig(const char* pszPortName, COMMCONFIG* pConfig) noexcept {
    std::string key = KeyOrFail(pszPortName);
    if (key.empty()) return FALSE;
    Table().Get(key, pConfig);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetDefaultCommConfig(const char* pszPortName, const COMMCONFIG* pConfig) noexcept {
    std::string key = KeyOrFail(pszPortName);
    if (key.empty()) return FALSE;
    if (pConfig == nullptr || !IsValidDcb(pConfig->dcb)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Table().Set(key, *pConfig);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetDefaultCommString(const char* pszPortName, std::string* pConfig) noexcept {
    COMMCONFIG cc;
    if (!GetDefaultCommConfig(pszPortName, &cc)) return FALSE;
    *pConfig = CommConfigString(cc.dcb);
    return TRUE;
}

void ResetDefaultCommConfigsForTest() noexcept {
    Table().Forget();
}

ComConfigRecord NewComConfigRecord(const char* pszPortName) {
    ComConfigRecord record;
    std::string_view name = pszPortName != nullptr ? pszPortName : "";
    if (!name.empty() && name.back() == ':') name.remove_suffix(1);
    if (IsSerialPortName(name)) record.pszPortName = name;
    record.ccChosen = SafeComConfig();
    return record;
}

void SetupComConfig(ComConfigRecord& record) noexcept {
    COMMCONFIG cc;
    if (record.pszPortName.empty() || !GetDefaultCommConfig(record.pszPortName.c_str(), &cc)) return;
    // The DCB holds just the members the user chooses: all of it is taken.
    cc.dcb = record.ccChosen.dcb;
    if (!SetDefaultCommConfig(record.pszPortName.c_str(), &cc)) return;
    LogComConfig(__LINE__, "Set ComConfig.", cc.dcb);
    if (record.ccRemembered.dcb.BaudRate == 0) record.ccRemembered = cc;
}

void PushComConfigAndDefault(ComConfigRecord& record) noexcept {
    if (record.pszPortName.empty()) return;
    record.ccRestore = record.ccRemembered;
    COMMCONFIG cc;
    if (!GetDefaultCommConfig(record.pszPortName.c_str(), &cc)) return;
    cc.dcb = SafeComConfig().dcb;
    if (!SetDefaultCommConfig(record.pszPortName.c_str(), &cc)) return;
    LogComConfig(__LINE__, "Set ComConfig default.", cc.dcb);
}

void ResetComConfig(ComConfigRecord& record) noexcept {
    if (record.ccRestore.dcb.BaudRate == 0 || record.pszPortName.empty()) return;
    if (!SetDefaultCommConfig(record.pszPortName.c_str(), &record.ccRestore)) return;
    LogComConfig(__LINE__, "Reset ComConfig.", record.ccRestore.dcb);
}
