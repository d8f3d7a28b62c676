#include "port/ComLines.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/Paths.h"

namespace {

class KernelComLines : public IComLines {
public:
    int GetModemBits(int fd, int* pBits) override { return ::ioctl(fd, TIOCMGET, pBits); }
    int RaiseModemBits(int fd, int bits) override { return ::ioctl(fd, TIOCMBIS, &bits); }
    int SetBreak(int fd, bool bOn) override { return ::ioctl(fd, bOn ? TIOCSBRK : TIOCCBRK); }
    int OutQueue(int fd, int* pCount) override { return ::ioctl(fd, TIOCOUTQ, pCount); }
    int ErrorCounts(int fd, ComErrorCounts* pCounts) override {
        serial_icounter_struct ic{};
        if (::ioctl(fd, TIOCGICOUNT, &ic) != 0) return -1;
        *pCounts = ComErrorCounts{ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
        return 0;
    }
};

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

}  // namespace

IComLines& SystemComLines() noexcept {
    static KernelComLines lines;
    return lines;
}

TtyKind TtyKindOf(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) return TtyKind::None;
    const std::string dir = SysPath("/sys/class/tty/" + name);
    std::error_code ec;
    if (!std::filesystem::exists(dir + "/device", ec)) return TtyKind::None;
    if (name.starts_with("ttyACM")) return TtyKind::UsbAcm;
    if (name.starts_with("ttyUSB")) return TtyKind::UsbSerial;
    // The serial core registers every UART the driver could have; one without hardware
    // has type 0 (PORT_UNKNOWN).
    // A tty the serial core did not register (rfcomm, ...) has no type: not a UART.
    const std::string type = ReadFirstLine(dir + "/type");
    if (type.empty() || type == "0") return TtyKind::None;
    return TtyKind::Uart;
}

WORD TtyUsbVendorId(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) return 0;
    // cdc-acm's tty hangs off the interface, a usb-serial port one level further down.
    std::string text = ReadFirstLine(SysPath("/sys/class/tty/" + name + "/device/../idVendor"));
    if (text.empty()) text = ReadFirstLine(SysPath("/sys/class/tty/" + name + "/device/../../idVendor"));
    if (text.empty() || text.size() > 4) return 0;
    char* pEnd = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &pEnd, 16);
    if (pEnd == nullptr || *pEnd != '\0') return 0;
    return static_cast<WORD>(value);
}

const char* TtyKindName(TtyKind kind) noexcept {
    switch (kind) {
        case TtyKind::Uart: return "uart";
        case TtyKind::UsbAcm: return "acm";
        case TtyKind::UsbSerial: return "usb-serial";
        default: return "none";
    }
}
