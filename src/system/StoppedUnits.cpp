#include "system/StoppedUnits.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <memory>
#include <fstream>
#include <mutex>
#include <sstream>

#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/UniqueFd.h"

namespace {

constexpr const char* kPrefix = "stopped-";

std::atomic<bool> g_bEnabled{false};
std::mutex g_mutex;  // guards g_units and the file of this process
std::vector<std::string> g_units;

// Field 22 of /proc/PID/stat (clock ticks since boot): with the pid it names one process
// for the life of the machine. Empty when the process is gone.
std::string StartTimeOf(pid_t pid) {
    // Read by hand: the process may end while it is read (ESRCH).
    std::string text;
    UniqueFd fd(::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
    char buffer[1024];
    ssize_t n = fd ? ::read(fd.Get(), buffer, sizeof buffer) : -1;
    if (n > 0) text.assign(buffer, static_cast<std::size_t>(n));
    // The command name may hold blanks and parentheses; the fields follow its last ')'.
    std::size_t nClose = text.rfind(')');
    if (nClose == std::string::npos) return {};
    std::istringstream fields(text.substr(nClose + 1));
    std::string field;
    for (int n = 3; n <= 22 && fields >> field; ++n) {
        if (n == 22) return field;
    }
    return {};
}

std::string OwnFile() { return StoppedUnitsFolder() + "/" + kPrefix + std::to_string(::getpid()); }

bool WriteWhole(const std::string& path, const std::string& text) {
    std::string temporary = path + ".new";
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) return false;
    std::string_view rest = text;
    while (!rest.empty()) {
        ssize_t n = ::write(fd.Get(), rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
    return ::fsync(fd.Get()) == 0 && ::rename(temporary.c_str(), path.c_str()) == 0;
}

// Writes the file of this process from g_units (removes it when none is left). Lock held.
void Save() noexcept {
    if (!g_bEnabled) return;
    try {
        std::string path = OwnFile();
        if (g_units.empty()) {
            if (::unlink(path.c_str()) != 0 && errno != ENOENT)
                LogMessage(LOG_WARNING, 'W', __LINE__, ErrnoToWinError(errno), "Cannot remove [%s]", path.c_str());
            return;
        }
        // Sticky and open to all: any user's updater keeps its record beside the others'.
        if (!EnsureDirectories(StoppedUnitsFolder(), 01777)) {
            LogMessage(LOG_WARNING, 'W', __LINE__, GetLastError(), "Cannot make [%s]", StoppedUnitsFolder().c_str());
            return;
        }
        std::string text = StartTimeOf(::getpid()) + "\n";
        for (const std::string& unit : g_units) text += unit + "\n";
        if (!WriteWhole(path, text))
            LogMessage(LOG_WARNING, 'W', __LINE__, ErrnoToWinError(errno), "Cannot write [%s]", path.c_str());
    } catch (...) {
    }
}

}  // namespace

void EnableStoppedUnitsRecord() noexcept { g_bEnabled = true; }

std::string StoppedUnitsFolder() { return SysPath("/run/kelvo"); }

void NoteUnitStopped(const std::string& unit) noexcept {
    std::lock_guard lock(g_mutex);
    try {
        if (std::find(g_units.begin(), g_units.end(), unit) != g_units.end()) return;
        g_units.push_back(unit);
    } catch (...) {
        return;
    }
    Save();
}

void NoteUnitStarted(const std::string& unit) noexcept {
    std::lock_guard lock(g_mutex);
    auto it = std::find(g_units.begin(), g_units.end(), unit);
    if (it == g_units.end()) return;
    g_units.erase(it);
    Save();
}

std::vector<std::string> UnitsStoppedHere() {
    std::lock_guard lock(g_mutex);
    return g_units;
}

std::vector<OrphanedUnits> TakeOrphanedUnits() {
    std::vector<OrphanedUnits> orphans;
    const std::string folder = StoppedUnitsFolder();
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) return orphans;
    std::vector<std::string> names;
    while (dirent* pEntry = ::readdir(dir.get())) {
        std::string name = pEntry->d_name;
        if (name.starts_with(kPrefix) && name.find('.') == std::string::npos) names.push_back(name);
    }
    for (const std::string& name : names) {
        std::string digits = name.substr(std::char_traits<char>::length(kPrefix));
        if (digits.empty() || digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), [](char ch) { return ch >= '0' && ch <= '9'; })) continue;
        pid_t pid = static_cast<pid_t>(std::stol(digits));
        std::string path = folder + "/" + name;
        // Anyone may write in the folder: only this user's and root's records are acted on.
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
            (info.st_uid != 0 && info.st_uid != ::geteuid()))
            continue;
        std::ifstream in(path);
        std::string started;
        if (!std::getline(in, started)) continue;
        if (pid == ::getpid()) continue;
        std::string now = StartTimeOf(pid);
        if (!now.empty() && now == started) continue;  // still running
        OrphanedUnits orphan;
        orphan.pid = pid;
        for (std::string unit; std::getline(in, unit);) {
            if (!unit.empty()) orphan.units.push_back(unit);
        }
        // Taken only when it could be removed: two starts never both act on it.
        if (::unlink(path.c_str()) != 0) continue;
        if (!orphan.units.empty()) orphans.push_back(std::move(orphan));
    }
    return orphans;
}
