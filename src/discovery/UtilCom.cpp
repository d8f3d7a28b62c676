#include "discovery/UtilCom.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"

namespace {

constexpr std::size_t kMaxPorts = 128;

// The services are started again whatever happens in between.
class ServicesStopped {
public:
    explicit ServicesStopped(const CUtilCom::ServiceControl& control) : m_control(control) {
        if (m_control) m_control(FALSE);
    }
    ~ServicesStopped() {
        if (m_control) m_control(TRUE);
    }
    ServicesStopped(const ServicesStopped&) = delete;
    ServicesStopped& operator=(const ServicesStopped&) = delete;

private:
    const CUtilCom::ServiceControl& m_control;
};

// The ttys sysfs lists, by name; none when the class folder cannot be read.
std::vector<std::string> TtyNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(SysPath("/sys/class/tty"), ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
        if (names.size() >= 4 * kMaxPorts) break;
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

CUtilCom::CUtilCom(ServiceControl services, IComLines* pLines)
    : m_services(std::move(services)), m_lines(pLines != nullptr ? *pLines : SystemComLines()) {}

int CUtilCom::EnumPorts(IPortList* pListBox, std::span<std::string> /*entries*/) {
    if (pListBox != nullptr) pListBox->Clear();
    LogMessage(LOG_ACTION, 'A', __LINE__, 0, "- COM port device");
    ServicesStopped stopped(m_services);
    std::error_code ec;
    if (!std::filesystem::is_directory(SysPath("/sys/class/tty"), ec)) {
        LogMessage(LOG_ERROR, 'E', __LINE__, ERROR_FILE_NOT_FOUND, "- COM port not found on host!!");
        return 0;
    }
    int nCount = 0;
    std::size_t nProbed = 0;
    for (const std::string& name : TtyNames()) {
        const TtyKind kind = TtyKindOf(name);
        if (kind == TtyKind::None) continue;
        if (++nProbed > kMaxPorts) break;
        if (!ProbePort(name, kind)) continue;
        if (pListBox != nullptr) pListBox->AddSorted(name + "\t");
        LogMessage(LOG_ACTION, 'A', __LINE__, 0, "- Detects %s port.", name.c_str());
        ++nCount;
    }
    return nCount;
}

namespace {

// The group that owns a node (the one a user must belong to), by name where it has one.
std::string GroupOf(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return "?";
    if (const group* pGroup = ::getgrgid(st.st_gid)) return pGroup->gr_name;
    return std::to_string(st.st_gid);
}

}  // namespace

BOOL CUtilCom::ProbePort(const std::string& name, TtyKind kind) {
    const Deadline total(kOpenRetryMs);
    const std::string path = SysPath("/dev/" + name);
    for (;;) {
        UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        int err = fd ? 0 : errno;
        if (fd && (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd.Get(), TIOCEXCL) != 0)) {
            err = errno;
            fd.Reset();
        }
        if (!fd) {
            // Only a line another program holds can come free; the rest ends at once.
            if (err != EBUSY && err != EWOULDBLOCK) {
                SetLastErrorFromErrno(err);
                if (err == EACCES || err == EPERM) {
                    LogMessage(LOG_ERROR, 'E', __LINE__, GetLastError(), "- %s cannot be opened: not a member of group %s",
                               name.c_str(), GroupOf(path).c_str());
                } else {
                    LogMessage(LOG_DEBUG, 'D', __LINE__, GetLastError(), "- %s cannot be opened (errno %d)", name.c_str(),
                               err);
                }
                return FALSE;
            }
            if (total.Expired()) {
                SetLastErrorFromErrno(err);
                LogMessage(LOG_ERROR, 'E', __LINE__, GetLastError(), "CreateFile Timeout: %dms",
                           static_cast<int>(kOpenRetryMs));
                return FALSE;
            }
            Sleep(kOpenRetrySleepMs);
            continue;
        }
        struct ExclusiveOff {
            int fd;
            ~ExclusiveOff() { ::ioctl(fd, TIOCNXCL); }
        } exclusiveOff{fd.Get()};
        int bits = 0;
        const bool bHasLines = m_lines.GetModemBits(fd.Get(), &bits) == 0 || (errno != ENOTTY && errno != EINVAL);
        // A CDC-ACM device, and a line without modem lines, need only open.
        if (kind == TtyKind::UsbAcm || !bHasLines) return TRUE;
        const Deadline wait(kModemWaitMs);
        for (;;) {
            if (m_lines.GetModemBits(fd.Get(), &bits) != 0) {
                SetLastErrorFromErrno(errno);
                LogMessage(LOG_ERROR, 'E', __LINE__, GetLastError(), "GetCommModemStatus (e:%d)",
                           static_cast<int>(GetLastError()));
                break;
            }
            if ((bits & TIOCM_DSR) != 0 && (bits & TIOCM_CD) == 0) return TRUE;
            if (wait.Expired()) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        LogMessage(LOG_DEBUG, 'D', __LINE__, 0, "- Offline. %s port.", name.c_str());
        return FALSE;
    }
}
