#pragma once
// Where a USB device sits on the bus, as sysfs tells it: the bus and port chain of its
// device directory ("1-1.2"), its serial number, and the bus and device numbers of this
// enumeration. The chain and serial stay across a restart or a re-plug into the same
// socket, while the node's name (lpN, ttyACMn) may change; the device number changes on
// every enumeration. The parsers are pure; the readers look under $KELVO_SYSROOT.
#include <string>
#include <string_view>

struct UsbIdentity {
    std::string szChain;   // "1-1.2"; empty: not a USB device (or sysfs does not say)
    std::string szSerial;  // empty: the device has none
    unsigned nBus = 0;
    unsigned nDev = 0;
    std::string szDir;  // the device's directory in sysfs, as resolved when read

    bool Known() const noexcept { return !szChain.empty(); }
    // Same socket, and the same serial number where both have one.
    bool SamePrinter(const UsbIdentity& other) const noexcept;
    // The same enumeration of it (bus and device numbers too).
    bool SameEnumeration(const UsbIdentity& other) const noexcept;
    // This enumeration is still in its directory: one read of its device number, where
    // ReadUsbIdentityOf resolves the whole path (false: read the identity again).
    bool StillEnumerated() const;
};

// True for a USB device's directory name: bus, '-', port, then ".port" repeated
// ("1-1", "3-2.4.1"); false for root hubs ("usb1"), interfaces ("1-1.2:1.0") and the rest.
bool IsUsbPortChain(std::string_view name) noexcept;
// The directory of the USB device a sysfs path lies in: realPath cut after its last
// component that is a port chain, searched from the end over at most three components
// (the path itself, an interface, a usb-serial port); "" when there is none.
std::string_view UsbDeviceDirOf(std::string_view realPath) noexcept;
// An attribute's text without its trailing newline and blanks; printable characters only
// (anything else: ""), at most 126 of them.
std::string UsbAttrText(std::string_view raw);

// The identity of the USB device behind a sysfs entry (a class device such as
// /sys/class/usbmisc/lp0 or /sys/class/tty/ttyACM0), the entry given without the prefix.
UsbIdentity ReadUsbIdentityOf(const std::string& classEntry);
// lpN's device.
UsbIdentity ReadUsbLpIdentity(unsigned nLp);
// A tty's USB device (ttyACM, ttyUSB); an unknown identity for any other tty.
UsbIdentity ReadTtyUsbIdentity(const std::string& ttyName);
// The tty (ttyACM*, ttyUSB*) of that printer now, by its socket and serial number; "" when
// none is registered.
std::string FindTtyOfUsbIdentity(const UsbIdentity& identity);
