#include "port/UsbLp.h"

#include <dirent.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/WinError.h"

unsigned long UsblpGetDeviceIdRequest(unsigned cbBuffer) noexcept {
    return _IOC(_IOC_READ, 'P', USBLP_IOCNR_GET_DEVICE_ID, cbBuffer);
}

unsigned long UsblpSoftResetRequest() noexcept { return _IOC(_IOC_NONE, 'P', USBLP_IOCNR_SOFT_RESET, 0); }

std::string UsbPortName(unsigned nLp) {
    char sz[32];
    std::snprintf(sz, sizeof sz, "USB%03u", nLp + 1);
    return sz;
}

bool UsbLpOfPortName(std::string_view name, unsigned* pnLp) noexcept {
    if (name.size() < 6 || ::strncasecmp(name.data(), "USB", 3) != 0) return false;
    unsigned n = 0;
    std::size_t i = 3;
    for (; i < name.size() && i < 10 && name[i] >= '0' && name[i] <= '9'; ++i) n = n * 10 + (name[i] - '0');
    if (i < 6 || n == 0 || n > USB_LP_MAX) return false;
    // "USB001x" selects USB001 (a prefix), "USB0011" does not.
    if (i > 6 && UsbPortName(n - 1).size() != i) return false;
    *pnLp = n - 1;
    return true;
}

std::string UsbNodePath(unsigned nLp) { return SysPath("/dev/usb/lp" + std::to_string(nLp)); }
std::string UsbClassPath(unsigned nLp) { return SysPath("/sys/class/usbmisc/lp" + std::to_string(nLp)); }
std::string UsbSysAttr(unsigned nLp, std::string_view attr) {
    return UsbClassPath(nLp) + "/device/" + std::string(attr);
}

std::vector<unsigned> ListUsbLpNumbers() {
    std::vector<unsigned> numbers;
    DIR* dir = ::opendir(SysPath("/sys/class/usbmisc").c_str());
    if (dir == nullptr) return numbers;
    while (dirent* e = ::readdir(dir)) {
        const char* psz = e->d_name;
        if (std::strncmp(psz, "lp", 2) != 0 || psz[2] < '0' || psz[2] > '9') continue;
        char* end = nullptr;
        unsigned long n = std::strtoul(psz + 2, &end, 10);
        if (*end != '\0' || n >= 100000) continue;
        numbers.push_back(static_cast<unsigned>(n));
    }
    ::closedir(dir);
    std::sort(numbers.begin(), numbers.end());
    if (numbers.size() > USB_LP_MAX) numbers.resize(USB_LP_MAX);
    return numbers;
}

namespace {

bool ReadSmallFile(const std::string& path, std::string* pText, std::size_t cbMax) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    pText->assign(cbMax, '\0');
    in.read(pText->data(), static_cast<std::streamsize>(cbMax));
    pText->resize(static_cast<std::size_t>(in.gcount()));
    return true;
}

bool ReadHexAttr(const std::string& path, unsigned* pValue) {
    std::string text;
    if (!ReadSmallFile(path, &text, 16)) return false;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (text.empty() || text.size() > 4) return false;
    unsigned v = 0;
    for (char c : text) {
        int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
        if (d < 0) return false;
        v = v * 16 + static_cast<unsigned>(d);
    }
    *pValue = v;
    return true;
}

}  // namespace

bool ReadUsbIds(unsigned nLp, unsigned* pwVendor, unsigned* pwProduct) {
    return ReadHexAttr(UsbSysAttr(nLp, "../idVendor"), pwVendor) && ReadHexAttr(UsbSysAttr(nLp, "../idProduct"), pwProduct);
}

BOOL ReadUsbDeviceId(int fd, unsigned nLp, std::string* pId) {
    BYTE raw[USB_DEVICE_ID_MAX];
    DWORD cb = 0;
    if (!ReadUsbDeviceIdRaw(fd, nLp, raw, sizeof raw, &cb)) return FALSE;
    pId->assign(reinterpret_cast<const char*>(raw + 2), cb - 2);
    // The text ends at a NUL where a printer pads its answer.
    pId->resize(std::strlen(pId->c_str()));
    return TRUE;
}

BOOL ReadUsbDeviceIdRaw(int fd, unsigned nLp, BYTE* pOut, DWORD cbOut, DWORD* pcbReturned) {
    *pcbReturned = 0;
    if (pOut == nullptr || cbOut < 2) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const DWORD cbTake = std::min(cbOut, USB_DEVICE_ID_MAX);
    std::memset(pOut, 0, cbOut);
    if (fd >= 0 && ::ioctl(fd, UsblpGetDeviceIdRequest(cbTake), pOut) >= 0) {
        DWORD cbLen = (static_cast<DWORD>(pOut[0]) << 8) | pOut[1];
        if (cbLen < 2) cbLen = 2;
        *pcbReturned = std::min(cbLen, cbTake);
        return TRUE;
    }
    std::string text;
    if (!ReadSmallFile(UsbSysAttr(nLp, "ieee1284_id"), &text, USB_DEVICE_ID_MAX)) {
        SetLastErrorFromErrno(errno != 0 ? errno : ENOENT);
        return FALSE;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
    const DWORD cbText = std::min<DWORD>(static_cast<DWORD>(text.size()), cbTake - 2);
    std::memcpy(pOut + 2, text.data(), cbText);
    pOut[0] = static_cast<BYTE>((cbText + 2) >> 8);
    pOut[1] = static_cast<BYTE>(cbText + 2);
    *pcbReturned = cbText + 2;
    return TRUE;
}

bool UsbErrnoMeansGone(int err) noexcept { return err == ENODEV || err == ESHUTDOWN; }
