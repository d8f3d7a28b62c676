#include "port/UsbIdentity.h"

#include <dirent.h>

#include <climits>
#include <cstdlib>
#include <fstream>

#include "platform/Paths.h"

bool UsbIdentity::SamePrinter(const UsbIdentity& other) const noexcept {
    if (!Known() || szChain != other.szChain) return false;
    return szSerial.empty() || other.szSerial.empty() || szSerial == other.szSerial;
}

bool UsbIdentity::SameEnumeration(const UsbIdentity& other) const noexcept {
    return SamePrinter(other) && nBus == other.nBus && nDev == other.nDev;
}

namespace {

bool AllDigits(std::string_view s) noexcept {
    if (s.empty() || s.size() > 3) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

std::string ReadAttr(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::string raw(256, '\0');
    in.read(raw.data(), static_cast<std::streamsize>(raw.size()));
    raw.resize(static_cast<std::size_t>(in.gcount()));
    return UsbAttrText(raw);
}

unsigned ReadNumber(const std::string& path) {
    const std::string text = ReadAttr(path);
    if (!AllDigits(text)) return 0;
    return static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
}

}  // namespace

bool IsUsbPortChain(std::string_view name) noexcept {
    const std::size_t dash = name.find('-');
    if (dash == std::string_view::npos || !AllDigits(name.substr(0, dash))) return false;
    std::string_view ports = name.substr(dash + 1);
    for (;;) {
        const std::size_t dot = ports.find('.');
        if (!AllDigits(ports.substr(0, dot))) return false;
        if (dot == std::string_view::npos) return true;
        ports = ports.substr(dot + 1);
    }
}

std::string_view UsbDeviceDirOf(std::string_view realPath) noexcept {
    std::string_view rest = realPath;
    while (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    for (int i = 0; i < 3 && !rest.empty(); ++i) {
        const std::size_t slash = rest.rfind('/');
        const std::string_view name = slash == std::string_view::npos ? rest : rest.substr(slash + 1);
        if (IsUsbPortChain(name)) return rest;
        if (slash == std::string_view::npos) break;
        rest = rest.substr(0, slash);
    }
    return {};
}

std::string UsbAttrText(std::string_view raw) {
    while (!raw.empty() && (raw.back() == '\n' || raw.back() == ' ' || raw.back() == '\0')) raw.remove_suffix(1);
    if (raw.size() > 126) return {};
    for (char c : raw) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) return {};
    }
    return std::string(raw);
}

UsbIdentity ReadUsbIdentityOf(const std::string& classEntry) {
    UsbIdentity id;
    char resolved[PATH_MAX];
    if (::realpath(SysPath(classEntry + "/device").c_str(), resolved) == nullptr) return id;
    const std::string dir(UsbDeviceDirOf(resolved));
    if (dir.empty()) return id;
    id.szChain = dir.substr(dir.rfind('/') + 1);
    id.szSerial = ReadAttr(dir + "/serial");
    id.nBus = ReadNumber(dir + "/busnum");
    id.nDev = ReadNumber(dir + "/devnum");
    id.szDir = dir;
    return id;
}

bool UsbIdentity::StillEnumerated() const { return Known() && nDev != 0 && ReadNumber(szDir + "/devnum") == nDev; }

UsbIdentity ReadUsbLpIdentity(unsigned nLp) { return ReadUsbIdentityOf("/sys/class/usbmisc/lp" + std::to_string(nLp)); }

UsbIdentity ReadTtyUsbIdentity(const std::string& ttyName) {
    if (ttyName.empty() || ttyName.find('/') != std::string::npos) return {};
    return ReadUsbIdentityOf("/sys/class/tty/" + ttyName);
}

std::string FindTtyOfUsbIdentity(const UsbIdentity& identity) {
    if (!identity.Known()) return {};
    DIR* dir = ::opendir(SysPath("/sys/class/tty").c_str());
    if (dir == nullptr) return {};
    std::string found;
    while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (!name.starts_with("ttyACM") && !name.starts_with("ttyUSB")) continue;
        if (ReadTtyUsbIdentity(name).SamePrinter(identity)) {
            found = name;
            break;
        }
    }
    ::closedir(dir);
    return found;
}
