#include "sim/SerialTransport.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "sim/PrinterCore.h"
#include "sim/Transcript.h"

namespace sim {
namespace {

constexpr std::size_t kReadChunk = 4096;

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

}  // namespace

std::string DefaultTtyChain(const std::string& name) {
    std::size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
    const unsigned long n = digits < name.size() ? std::strtoul(name.c_str() + digits, nullptr, 10) : 0;
    return "2-1." + std::to_string(n % 200 + 1);
}

bool PublishTtySysfs(const std::string& root, const std::string& name, const std::string& kind, WORD wVendor,
                     bool bUartPresent, const std::string& szChain, const std::string& szSerial) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::string cls = root + "/sys/class/tty/" + name;
    fs::create_directories(cls, ec);
    if (ec) return false;
    std::string device;
    if (kind == "uart") {
        device = root + "/sys/devices/platform/serial8250/" + name;
        fs::create_directories(device, ec);
        if (ec || !WriteText(cls + "/type", bUartPresent ? "4\n" : "0\n")) return false;
    } else if (kind == "acm" || kind == "usb-serial") {
        // cdc-acm's tty hangs off the interface; a usb-serial port is a device of its own
        // below the interface, so its USB device is two levels up.
        const std::string chain = szChain.empty() ? DefaultTtyChain(name) : szChain;
        const std::string usb = root + "/sys/devices/usb2/" + chain;
        device = usb + "/" + chain + ":1.0";
        if (kind == "usb-serial") device += "/" + name;
        fs::create_directories(device, ec);
        char text[8];
        std::snprintf(text, sizeof text, "%04x\n", wVendor);
        if (ec || !WriteText(usb + "/idVendor", text) || !WriteText(usb + "/busnum", "2\n") ||
            !WriteText(usb + "/devnum", "5\n") || (!szSerial.empty() && !WriteText(usb + "/serial", szSerial + "\n"))) {
            return false;
        }
    } else {
        return true;
    }
    fs::remove(cls + "/device", ec);
    fs::create_directory_symlink(device, cls + "/device", ec);
    return !ec;
}

SerialTransport::SerialTransport(const SerialConfig& config, PrinterCore& core, Transcript& transcript)
    : m_config(config), m_core(core), m_transcript(transcript) {}

SerialTransport::~SerialTransport() { Close(); }

BOOL SerialTransport::Open() {
    if (m_config.szTtyName.empty() || m_config.szTtyName.find('/') != std::string::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    m_szName = m_config.szTtyName;
    // The socket stays whatever number the tty gets.
    if (m_config.szChain.empty()) m_config.szChain = DefaultTtyChain(m_szName);
    m_szNode = m_config.szSysroot + "/dev/" + m_szName;
    if (!PublishSysfs()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return Publish();
}

bool SerialTransport::PublishSysfs() const {
    return PublishTtySysfs(m_config.szSysroot, m_szName, m_config.szKind, m_config.wVendorId, true, m_config.szChain,
                           m_config.szSerial);
}

// cdc-acm frees a tty's number only at its last close: a device that re-enumerates while
// the host still holds the old node gets the next free number.
void SerialTransport::TakeNextFreeName() {
    std::size_t digits = m_szName.size();
    while (digits > 0 && m_szName[digits - 1] >= '0' && m_szName[digits - 1] <= '9') --digits;
    const std::string stem = m_szName.substr(0, digits);
    std::error_code ec;
    std::filesystem::remove_all(m_config.szSysroot + "/sys/class/tty/" + m_szName, ec);
    for (unsigned n = 0;; ++n) {
        const std::string name = stem + std::to_string(n);
        if (name == m_szName) continue;
        if (std::filesystem::exists(m_config.szSysroot + "/sys/class/tty/" + name, ec)) continue;
        if (std::filesystem::exists(std::filesystem::symlink_status(m_config.szSysroot + "/dev/" + name, ec))) continue;
        m_szName = name;
        break;
    }
    m_szNode = m_config.szSysroot + "/dev/" + m_szName;
    PublishSysfs();
}

// A new pty under the node's name: what the host had open before is gone for good.
BOOL SerialTransport::Publish() {
    Unpublish();
    UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!master || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    const char* pszSlave = ::ptsname(master.Get());
    UniqueFd slave(pszSlave != nullptr ? ::open(pszSlave, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK) : -1);
    if (!slave) {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }
    termios tio{};
    ::tcgetattr(slave.Get(), &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave.Get(), TCSANOW, &tio);
    std::error_code ec;
    std::filesystem::create_directories(m_config.szSysroot + "/dev", ec);
    const std::string tmp = m_szNode + ".new";
    std::filesystem::remove(tmp, ec);
    std::filesystem::create_symlink(pszSlave, tmp, ec);
    if (!ec) std::filesystem::rename(tmp, m_szNode, ec);
    if (ec) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    m_master = std::move(master);
    m_slaveKeep = std::move(slave);
    m_bPublished = true;
    ++m_nLink;
    m_out.clear();
    m_transcript.Add("serial_line", std::move(Fields().Str("state", "up").Str("node", m_szNode).Str("pty", pszSlave)));
    return TRUE;
}

void SerialTransport::Unpublish() {
    if (!m_bPublished) return;
    std::error_code ec;
    std::filesystem::remove(m_szNode, ec);
    m_slaveKeep.Reset();
    // Without the printer's own hold, the master hangs up unless the host holds the slave.
    pollfd p{m_master.Get(), POLLIN, 0};
    m_bHeldAtRestart = ::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
    m_master.Reset();
    m_bPublished = false;
    m_transcript.Add("serial_line", std::move(Fields().Str("state", "down").Str("node", m_szNode)));
}

std::size_t SerialTransport::LineBudget(DWORD now) {
    if (m_config.dwBaud == 0) return kReadChunk;
    // Ten bit times per byte (start, 8 data, stop). Up to 20 ms of line time may be caught
    // up after a late wake; a line that ran dry banks nothing (see Service), so over a
    // transfer the rate never beats the line's.
    const double rate = m_config.dwBaud / 10.0;
    m_dTokens = std::min(std::max(1.0, rate / 50.0), m_dTokens + rate * double(now - m_dwTokenTick) / 1000.0);
    m_dwTokenTick = now;
    return m_dTokens < 1.0 ? 0 : std::min(kReadChunk, static_cast<std::size_t>(m_dTokens));
}

void SerialTransport::FlushAnswers() {
    if (!m_master) return;
    const std::vector<BYTE> more = m_core.TakeAnswers(kReadChunk);
    m_out.insert(m_out.end(), more.begin(), more.end());
    while (!m_out.empty()) {
        const ssize_t n = ::write(m_master.Get(), m_out.data(), m_out.size());
        if (n <= 0) return;
        m_out.erase(m_out.begin(), m_out.begin() + n);
    }
}

void SerialTransport::AddWaits(std::vector<pollfd>& fds, DWORD now, DWORD* pdwWait) {
    if (!m_master) return;
    FlushAnswers();
    short events = 0;
    const std::size_t cbLine = LineBudget(now);
    if (cbLine > 0 && m_core.DataReadable(now) && m_core.DataBudget(now) > 0) {
        events |= POLLIN;
    } else {
        *pdwWait = std::min<DWORD>(*pdwWait, 2);
    }
    if (!m_out.empty()) events |= POLLOUT;
    fds.push_back({m_master.Get(), events, 0});
}

void SerialTransport::Service(std::span<const pollfd> fds, DWORD now) {
    if (fds.empty() || !m_master) return;
    if ((fds[0].revents & POLLIN) != 0) {
        std::size_t cb = std::min(LineBudget(now), m_core.DataBudget(now));
        if (cb > 0) {
            BYTE buf[kReadChunk];
            const ssize_t n = ::read(m_master.Get(), buf, std::min(cb, sizeof buf));
            // Fewer bytes than the line could carry: it ran dry, and idle time is not banked.
            if (m_config.dwBaud != 0) m_dTokens = n > 0 && static_cast<std::size_t>(n) == cb ? m_dTokens - n : 0;
            if (n > 0) {
                m_core.OnDataBytes(std::span<const BYTE>(buf, static_cast<std::size_t>(n)), now, m_nLink);
            }
        }
    }
    FlushAnswers();
}

// A line has no connection to cut: what is on its way is lost and the transfer ends.
void SerialTransport::DropDataLinks(const char* pszReason) {
    if (!m_master) return;
    ::tcflush(m_master.Get(), TCIOFLUSH);
    m_transcript.Add("serial_line", std::move(Fields().Str("state", "dropped").Str("by", pszReason)));
    m_core.OnDataLinkEnd(GetTickCount(), m_nLink);
    ++m_nLink;
}

void SerialTransport::SetReachable(bool bReachable, bool bRefuse) {
    const bool bUp = bReachable && !bRefuse;
    if (bUp && !m_bPublished) {
        if (m_config.bAcmKeepsHeldNumber && m_bHeldAtRestart) TakeNextFreeName();
        Publish();
    } else if (!bUp && m_bPublished) {
        Unpublish();
    }
}

void SerialTransport::Close() { Unpublish(); }

}  // namespace sim
