#pragma once
// Line rates outside the termios table: the kernel's termios2 with BOTHER carries any
// rate. Kept apart because <asm/termbits.h> and <termios.h> cannot share a file.

// Sets fd's input and output rate to dwBaud, leaving the other settings. 0, or -1 with
// errno.
int SetLineRate(int fd, unsigned dwBaud) noexcept;
// The output rate the tty holds now. 0, or -1 with errno.
int GetLineRate(int fd, unsigned* pdwBaud) noexcept;
