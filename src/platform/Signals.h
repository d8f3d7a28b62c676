#pragma once
// The signals that ask a program to end (SIGINT, SIGTERM, SIGHUP), taken as events
// instead of ending the process in the middle of an update.
#include <signal.h>

#include "platform/UniqueFd.h"

// Blocks the three signals in the calling thread and returns a non-blocking signalfd
// that becomes readable when one arrives (invalid when none could be made). Call it
// first in main, before any thread starts: threads inherit the mask, so no thread is cut
// short by the default action. Children the program starts get a clear mask (Process.h),
// and so do those that a library starts with fork() (a handler clears the mask and puts
// SIGPIPE back to its default in every fork's child).
UniqueFd BlockCloseSignals();

// Reads one pending signal from the fd: its number, 0 when none is pending, -1 when the
// fd is closed or fails.
int ReadCloseSignal(int fd) noexcept;
