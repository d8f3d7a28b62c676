#include "platform/IniFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"

namespace {

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kBlank = " \t\r\n";
    std::size_t nFirst = text.find_first_not_of(kBlank);
    if (nFirst == std::string_view::npos) return {};
    std::size_t nLast = text.find_last_not_of(kBlank);
    return text.substr(nFirst, nLast - nFirst + 1);
}

BOOL WriteAll(int fd, const std::string& text) {
    std::size_t nDone = 0;
    while (nDone < text.size()) {
        ssize_t n = ::write(fd, text.data() + nDone, text.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return SetLastErrorFromErrno(errno);
        nDone += static_cast<std::size_t>(n);
    }
    return TRUE;
}

}  // namespace

BOOL CIniFile::Load(const std::string& path) {
    m_sections.clear();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        if (errno == ENOENT) return TRUE;
        return SetLastErrorFromErrno(errno);
    }
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return SetLastErrorFromErrno(errno);
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }

    std::string section;
    std::string_view rest = text;
    while (!rest.empty()) {
        std::size_t nEnd = rest.find('\n');
        std::string_view line = Trim(rest.substr(0, nEnd));
        rest = nEnd == std::string_view::npos ? std::string_view{} : rest.substr(nEnd + 1);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[' && line.back() == ']') {
            section = std::string(Trim(line.substr(1, line.size() - 2)));
            if (Find(section) == nullptr) m_sections.push_back({section, {}});
            continue;
        }
        std::size_t nEqual = line.find('=');
        if (nEqual == std::string_view::npos) continue;
        Set(section, std::string(Trim(line.substr(0, nEqual))), std::string(Trim(line.substr(nEqual + 1))));
    }
    return TRUE;
}

std::string CIniFile::Text() const {
    std::string text;
    for (const Section& s : m_sections) {
        if (!text.empty()) text += "\n";
        if (!s.name.empty() || &s != &m_sections.front()) text += "[" + s.name + "]\n";
        for (const auto& [key, value] : s.values) text += key + "=" + value + "\n";
    }
    return text;
}

BOOL CIniFile::Save(const std::string& path) const {
    std::size_t nSlash = path.find_last_of('/');
    std::string folder = nSlash == std::string::npos ? std::string(".") : path.substr(0, nSlash);
    if (!EnsureDirectories(folder, 0700)) return FALSE;

    std::string temp = path + ".XXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) return SetLastErrorFromErrno(errno);
    bool bWritten = WriteAll(fd.Get(), Text()) && ::fsync(fd.Get()) == 0;
    int nErrno = errno;
    fd.Reset();
    if (!bWritten || ::rename(temp.c_str(), path.c_str()) != 0) {
        if (bWritten) nErrno = errno;
        ::unlink(temp.c_str());
        return SetLastErrorFromErrno(nErrno != 0 ? nErrno : EIO);
    }
    return TRUE;
}

CIniFile::Section* CIniFile::Find(const std::string& section) {
    for (Section& s : m_sections) {
        if (s.name == section) return &s;
    }
    return nullptr;
}

const CIniFile::Section* CIniFile::Find(const std::string& section) const {
    for (const Section& s : m_sections) {
        if (s.name == section) return &s;
    }
    return nullptr;
}

std::optional<std::string> CIniFile::Get(const std::string& section, const std::string& key) const {
    const Section* pSection = Find(section);
    if (pSection == nullptr) return std::nullopt;
    for (const auto& [k, v] : pSection->values) {
        if (k == key) return v;
    }
    return std::nullopt;
}

std::optional<DWORD> CIniFile::GetDword(const std::string& section, const std::string& key) const {
    std::optional<std::string> value = Get(section, key);
    if (!value || value->empty() || (*value)[0] < '0' || (*value)[0] > '9') return std::nullopt;
    bool bHex = value->size() > 2 && (*value)[0] == '0' && ((*value)[1] == 'x' || (*value)[1] == 'X');
    char* pEnd = nullptr;
    errno = 0;
    unsigned long long ull = std::strtoull(value->c_str(), &pEnd, bHex ? 16 : 10);
    if (errno != 0 || *pEnd != '\0' || ull > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<DWORD>(ull);
}

void CIniFile::Set(const std::string& section, const std::string& key, const std::string& value) {
    Section* pSection = Find(section);
    if (pSection == nullptr) {
        m_sections.push_back({section, {}});
        pSection = &m_sections.back();
    }
    for (auto& [k, v] : pSection->values) {
        if (k == key) {
            v = value;
            return;
        }
    }
    pSection->values.emplace_back(key, value);
}

void CIniFile::SetDword(const std::string& section, const std::string& key, DWORD dwValue) {
    Set(section, key, std::to_string(dwValue));
}
