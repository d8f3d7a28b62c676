#include "sim/UsbNode.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/LastError.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

std::string Hex4(WORD w) {
    char sz[8];
    std::snprintf(sz, sizeof sz, "%04x", static_cast<unsigned>(w));
    return sz;
}

bool WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

}  // namespace

UsbNode::UsbNode(std::string szRoot, unsigned nLp, UsbIdentity identity)
    : m_szRoot(std::move(szRoot)), m_nLp(nLp), m_identity(std::move(identity)) {
    if (m_identity.szChain.empty()) m_identity.szChain = "1-1." + std::to_string(nLp + 1);
}

UsbNode::~UsbNode() { Withdraw(); }

unsigned UsbNode::FreeLp(const std::string& szRoot, unsigned nFrom) {
    for (unsigned n = nFrom;; ++n) {
        std::error_code ec;
        const fs::path cls = fs::path(szRoot) / "sys/class/usbmisc" / ("lp" + std::to_string(n));
        const fs::path dev = fs::path(szRoot) / "dev/usb" / ("lp" + std::to_string(n));
        if (!fs::exists(fs::symlink_status(cls, ec)) && !fs::exists(fs::symlink_status(dev, ec))) return n;
    }
}

BOOL UsbNode::Publish() {
    Withdraw();
    UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) return SetLastErrorFromErrno(errno);
    char szSlave[128];
    if (::ptsname_r(master.Get(), szSlave, sizeof szSlave) != 0) return SetLastErrorFromErrno(errno);
    UniqueFd slave(::open(szSlave, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!slave) return SetLastErrorFromErrno(errno);
    termios tio{};
    if (::tcgetattr(slave.Get(), &tio) != 0) return SetLastErrorFromErrno(errno);
    ::cfmakeraw(&tio);
    if (::tcsetattr(slave.Get(), TCSANOW, &tio) != 0) return SetLastErrorFromErrno(errno);

    const std::string lp = "lp" + std::to_string(m_nLp);
    const fs::path root(m_szRoot);
    const fs::path device = root / "sys/devices/kelvo-sim/usb1" / m_identity.szChain;
    const fs::path intf = device / (m_identity.szChain + ":1.0");
    const fs::path misc = intf / "usbmisc" / lp;
    std::error_code ec;
    fs::create_directories(misc, ec);
    fs::create_directories(root / "sys/class/usbmisc", ec);
    fs::create_directories(root / "dev/usb", ec);
    bool bOk = !ec;
    if (bOk && !m_identity.bNoIds) {
        bOk = WriteText(device / "idVendor", Hex4(m_identity.wVendor) + "\n") &&
              WriteText(device / "idProduct", Hex4(m_identity.wProduct) + "\n");
    }
    ++m_nDevNum;
    if (bOk) {
        bOk = WriteText(device / "busnum", "1\n") && WriteText(device / "devnum", std::to_string(m_nDevNum) + "\n") &&
              (m_identity.szSerial.empty() || WriteText(device / "serial", m_identity.szSerial + "\n"));
    }
    if (bOk && !m_identity.bNoDeviceId) bOk = WriteText(intf / "ieee1284_id", m_identity.szDeviceId + "\n");
    if (bOk) fs::create_directory_symlink("../..", misc / "device", ec);
    if (bOk && !ec) {
        fs::create_directory_symlink(fs::path("../../devices/kelvo-sim/usb1") / m_identity.szChain /
                                         (m_identity.szChain + ":1.0") / "usbmisc" / lp,
                                     root / "sys/class/usbmisc" / lp, ec);
    }
    if (bOk && !ec) fs::create_symlink(szSlave, root / "dev/usb" / lp, ec);
    if (!bOk || ec) {
        const int err = ec ? ec.value() : EIO;
        RemoveEntries();
        return SetLastErrorFromErrno(err);
    }
    m_master = std::move(master);
    m_slave = std::move(slave);
    return TRUE;
}

void UsbNode::RemoveEntries() {
    const std::string lp = "lp" + std::to_string(m_nLp);
    const fs::path root(m_szRoot);
    std::error_code ec;
    fs::remove(root / "dev/usb" / lp, ec);
    fs::remove(root / "sys/class/usbmisc" / lp, ec);
    fs::remove_all(root / "sys/devices/kelvo-sim/usb1" / m_identity.szChain, ec);
}

void UsbNode::Withdraw() {
    RemoveEntries();
    m_slave.Reset();
    m_master.Reset();
}

}  // namespace sim
