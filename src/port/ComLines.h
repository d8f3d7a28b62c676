#pragma once
// What a serial driver and the serial discovery need from a tty beyond read and write:
// the modem lines, the break, the output queue and the line error counters, behind one
// interface so that tests can script line states a pty does not have. And the kind of a
// tty as sysfs tells it.
#include <memory>
#include <string>

#include "platform/Types.h"

// Line error counters (TIOCGICOUNT).
struct ComErrorCounts {
    int nFrame = 0;
    int nOverrun = 0;
    int nParity = 0;
    int nBreak = 0;
    int nBufOverrun = 0;
};

// Each request returns 0, or -1 with errno set (ENOTTY or EINVAL: the tty has no such
// line, as on a pty). May be called from several threads at once.
class IComLines {
public:
    virtual ~IComLines() = default;
    // TIOCMGET: TIOCM_DSR, TIOCM_CD, TIOCM_CTS, ...
    virtual int GetModemBits(int fd, int* pBits) = 0;
    // TIOCMBIS: raises the given output lines (TIOCM_DTR, TIOCM_RTS).
    virtual int RaiseModemBits(int fd, int bits) = 0;
    // TIOCSBRK / TIOCCBRK.
    virtual int SetBreak(int fd, bool bOn) = 0;
    // TIOCOUTQ: bytes waiting in the output queue.
    virtual int OutQueue(int fd, int* pCount) = 0;
    // TIOCGICOUNT.
    virtual int ErrorCounts(int fd, ComErrorCounts* pCounts) = 0;
};

// The kernel's answers.
IComLines& SystemComLines() noexcept;

// The kinds of serial device a port can be (the serial device map of the platform).
enum class TtyKind {
    None,        // not a serial port, or a UART the kernel registered without hardware
    Uart,        // a UART on the board or a card (ttyS*, ttyAMA*, ...)
    UsbAcm,      // a USB CDC-ACM device (ttyACM*)
    UsbSerial,   // a USB-to-serial adapter (ttyUSB*)
};

// The vendor ID of the maker's USB devices (the build's KELVO_USB_VENDOR_ID).
inline constexpr WORD MAKER_USB_VENDOR_ID = KELVO_USB_VENDOR_ID;

// The kind of tty NAME from $KELVO_SYSROOT/sys/class/tty/NAME: no "device" entry (a
// virtual console, a pty) is None; a UART whose "type" attribute reads 0 is None.
TtyKind TtyKindOf(const std::string& name);
// The idVendor of the USB device behind tty NAME (sys/class/tty/NAME/device/../idVendor);
// 0 when there is none or it does not parse.
WORD TtyUsbVendorId(const std::string& name);
// The name's kind letter for logs and tests: "uart", "acm", "usb-serial", "none".
const char* TtyKindName(TtyKind kind) noexcept;
