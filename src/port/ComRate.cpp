#include "port/ComRate.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

// <sys/ioctl.h> brings glibc's termios types, which clash with the kernel's.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

int SetLineRate(int fd, unsigned dwBaud) noexcept {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return -1;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = dwBaud;
    tio.c_ospeed = dwBaud;
    return ioctl(fd, TCSETS2, &tio);
}

int GetLineRate(int fd, unsigned* pdwBaud) noexcept {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return -1;
    *pdwBaud = tio.c_ospeed;
    return 0;
}
