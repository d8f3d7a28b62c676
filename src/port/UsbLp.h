#pragma once
// The usblp side of USB printers: node and sysfs paths of /dev/usb/lpN under the system-root
// prefix, the port name USB%03u (lp0 is USB001), and the IEEE 1284 device ID, read by the
// driver's ioctl or, where the node has none (a pty, a node another program holds), from
// the text sysfs cached at attach time.
#include <string>
#include <string_view>
#include <vector>

#include "platform/Types.h"

// usblp's request numbers live only in the kernel driver, so they are spelled out here.
inline constexpr unsigned long USBLP_IOCNR_GET_DEVICE_ID = 1;
inline constexpr unsigned long USBLP_IOCNR_SOFT_RESET = 7;
unsigned long UsblpGetDeviceIdRequest(unsigned cbBuffer) noexcept;
unsigned long UsblpSoftResetRequest() noexcept;

// The device control codes the engine knows for USB printers.
inline constexpr DWORD IOCTL_USBPRINT_GET_1284_ID = 0x220034;
inline constexpr DWORD IOCTL_USBPRINT_SOFT_RESET = 0x220040;

// Largest device ID taken (length prefix included).
inline constexpr DWORD USB_DEVICE_ID_MAX = 128;
// Nodes looked at per enumeration.
inline constexpr unsigned USB_LP_MAX = 127;

std::string UsbPortName(unsigned nLp);
// The lp number whose port name prefixes pszName (ignoring case), as the port service
// gives it; false for anything else (USB000 included).
bool UsbLpOfPortName(std::string_view name, unsigned* pnLp) noexcept;

std::string UsbNodePath(unsigned nLp);                           // /dev/usb/lpN
std::string UsbClassPath(unsigned nLp);                          // /sys/class/usbmisc/lpN
std::string UsbSysAttr(unsigned nLp, std::string_view attr);     // .../lpN/device/<attr>

// The lp numbers present under /sys/class/usbmisc, ascending, at most USB_LP_MAX.
std::vector<unsigned> ListUsbLpNumbers();

// The printer's USB vendor and product IDs from sysfs; false when missing or not hex.
bool ReadUsbIds(unsigned nLp, unsigned* pwVendor, unsigned* pwProduct);

// The device ID text (no length prefix) by the ioctl on fd (when fd >= 0), else from the
// sysfs attribute. At most USB_DEVICE_ID_MAX - 2 characters. FALSE with the last error.
BOOL ReadUsbDeviceId(int fd, unsigned nLp, std::string* pId);
// The same as the ioctl hands it out: 2-byte big-endian length (counting itself), text.
// FALSE with ERROR_INSUFFICIENT_BUFFER when cbOut cannot hold the prefix.
BOOL ReadUsbDeviceIdRaw(int fd, unsigned nLp, BYTE* pOut, DWORD cbOut, DWORD* pcbReturned);

// True when errno from an I/O on the node says the printer went away (usblp: ENODEV once
// disconnected, ESHUTDOWN from a transfer the unplug ended). EIO (a failed transfer,
// usblp starts the next), EPIPE (a refused request) and the rest say nothing of the
// kind; the node's sysfs entry tells then.
bool UsbErrnoMeansGone(int err) noexcept;
