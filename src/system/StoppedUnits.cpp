#include "system/StoppedUnits.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <functional>
#include <optional>
#include <mutex>
#include <sstream>

#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/PlainFile.h"
#include "platform/UniqueFd.h"

namespace {

constexpr const char* kPrefix = "stopped-";

constexpr std::size_t kRecordMax = 64 * 1024;  // a pid's start time and a few unit names

std::atomic<bool> g_bEnabled{false};
std::atomic<bool> g_bSaid{false};
std::mutex g_mutex;  // guards g_units, g_nGeneration and g_say
std::vector<std::string> g_units;
unsigned long long g_nGeneration = 0;
std::function<void(const std::string&)> g_say;
std::mutex g_fileMutex;  // guards g_nSaved and the file of this process
unsigned long long g_nSaved = 0;

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

std::string OwnFile(const std::string& folder) { return folder + "/" + kPrefix + std::to_string(::getpid()); }

// Makes the folder when missing and checks that only this user may make names in it:
// root's belongs to root with mode 0755 (an older install made it 1777, which root puts
// right), a user's belongs to the user with no access for others. Empty when it is fine;
// else why not.
std::string PrepareFolder(const std::string& folder) {
    const bool bRoot = ::geteuid() == 0;
    const mode_t mode = bRoot ? 0755 : 0700;
    if (!EnsureDirectories(folder, mode)) return "cannot make it (error " + std::to_string(GetLastError()) + ")";
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.Get(), &info) != 0) return "is not a folder";
    if (info.st_uid != ::geteuid()) return "belongs to user " + UserName(info.st_uid);
    if ((info.st_mode & (bRoot ? 022 : 077)) != 0 && ::fchmod(fd.Get(), mode) != 0)
        return "may be written by other users";
    return {};
}

// Writes text under a name nobody can guess or take, then renames it into place.
bool WriteWhole(const std::string& folder, const std::string& path, const std::string& text) {
    std::string temporary = folder + "/.stopped-XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) return false;
    bool bWritten = true;
    std::string_view rest = text;
    while (bWritten && !rest.empty()) {
        ssize_t n = ::write(fd.Get(), rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        bWritten = n > 0;
        if (bWritten) rest.remove_prefix(static_cast<std::size_t>(n));
    }
    bWritten = bWritten && ::fsync(fd.Get()) == 0 && ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!bWritten) {
        int err = errno;
        ::unlink(temporary.c_str());
        errno = err;
    }
    return bWritten;
}

// Tells the user once that the record could not be kept.
void SayNotKept(const std::string& why) noexcept {
    LogMessage(LOG_WARNING, 'W', __LINE__, 0, "Stopped services not recorded: %s", why.c_str());
    if (g_bSaid.exchange(true)) return;
    try {
        std::function<void(const std::string&)> say;
        {
            std::lock_guard lock(g_mutex);
            say = g_say;
        }
        if (say)
            say("the services this update stops are not recorded (" + why +
                "); if it is killed, start them again by hand (systemctl start cups.service ZaqPosSrv.service)");
    } catch (...) {
    }
}

// Writes the file of this process from one state of the list (removes it when the list
// is empty). A state older than one already written is left out, so that two threads'
// notes never put an old list back. Called without g_mutex: the file work never holds
// the list.
void Save(const std::vector<std::string>& units, unsigned long long nGeneration) noexcept {
    if (!g_bEnabled) return;
    std::lock_guard fileLock(g_fileMutex);
    if (nGeneration < g_nSaved) return;
    g_nSaved = nGeneration;
    try {
        const std::string folder = StoppedUnitsFolder();
        if (folder.empty()) return SayNotKept("no runtime folder (XDG_RUNTIME_DIR) for this user");
        const std::string path = OwnFile(folder);
        if (units.empty()) {
            if (::unlink(path.c_str()) != 0 && errno != ENOENT)
                LogMessage(LOG_WARNING, 'W', __LINE__, ErrnoToWinError(errno), "Cannot remove [%s]", path.c_str());
            return;
        }
        if (std::string why = PrepareFolder(folder); !why.empty()) return SayNotKept(folder + " " + why);
        std::string text = StartTimeOf(::getpid()) + "\n";
        for (const std::string& unit : units) text += unit + "\n";
        if (!WriteWhole(folder, path, text)) {
            LogMessage(LOG_WARNING, 'W', __LINE__, ErrnoToWinError(errno), "Cannot write [%s]", path.c_str());
            SayNotKept("cannot write " + path + ": " + std::strerror(errno));
        }
    } catch (...) {
    }
}

// Changes the list under its lock and saves the new state after it.
void ChangeList(const std::function<bool(std::vector<std::string>&)>& change) noexcept {
    std::vector<std::string> units;
    unsigned long long nGeneration = 0;
    try {
        std::lock_guard lock(g_mutex);
        if (!change(g_units)) return;
        units = g_units;
        nGeneration = ++g_nGeneration;
    } catch (...) {
        return;
    }
    Save(units, nGeneration);
}

// The content of a record that this user wrote: a regular file with one name, never
// followed through a link or waited on as a FIFO. Empty when it is not such a file, or is larger than any
// record this program writes.
std::optional<std::string> ReadOwnRecord(const std::string& path) {
    PlainFile file = OpenPlainFile(path.c_str());
    if (!file.fd || file.info.st_uid != ::geteuid() || file.info.st_nlink != 1) return std::nullopt;
    std::string text;
    if (ReadBounded(file.fd.Get(), kRecordMax, &text) != 0) return std::nullopt;
    return text;
}

}  // namespace

void EnableStoppedUnitsRecord(std::function<void(const std::string&)> say) noexcept {
    {
        std::lock_guard lock(g_mutex);
        g_say = std::move(say);
    }
    g_bEnabled = true;
}

std::string StoppedUnitsFolder() {
    if (::geteuid() == 0) return SysPath("/run/kelvo");
    const char* pszRuntime = std::getenv("XDG_RUNTIME_DIR");
    if (pszRuntime == nullptr || pszRuntime[0] != '/') return {};
    return std::string(pszRuntime) + "/kelvo";
}

void NoteUnitStopped(const std::string& unit) noexcept {
    ChangeList([&unit](std::vector<std::string>& units) {
        if (std::find(units.begin(), units.end(), unit) != units.end()) return false;
        units.push_back(unit);
        return true;
    });
}

void NoteUnitStarted(const std::string& unit) noexcept {
    ChangeList([&unit](std::vector<std::string>& units) {
        auto it = std::find(units.begin(), units.end(), unit);
        if (it == units.end()) return false;
        units.erase(it);
        return true;
    });
}

std::vector<std::string> UnitsStoppedHere() {
    std::lock_guard lock(g_mutex);
    return g_units;
}

std::vector<OrphanedUnits> TakeOrphanedUnits() {
    std::vector<OrphanedUnits> orphans;
    const std::string folder = StoppedUnitsFolder();
    if (folder.empty()) return orphans;
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
        std::optional<std::string> text = ReadOwnRecord(path);
        if (!text) continue;
        std::istringstream in(*text);
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
