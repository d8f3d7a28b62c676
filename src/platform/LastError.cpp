#include "platform/LastError.h"

#include <atomic>
#include <cerrno>

#include "platform/WinError.h"

namespace {

thread_local DWORD t_dwLastError = 0;
std::atomic<UnknownErrnoHook> g_unknownHook{nullptr};

struct ErrnoRow {
    int err;
    DWORD win;
};

constexpr ErrnoRow kFileErrors[] = {
    {EPERM, ERROR_ACCESS_DENIED},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ESRCH, ERROR_FILE_NOT_FOUND},
    {EINTR, ERROR_OPERATION_ABORTED},
    {EIO, ERROR_DEVICE_NOT_CONNECTED},
    {ENXIO, ERROR_DEVICE_NOT_CONNECTED},
    {ENODEV, ERROR_DEVICE_NOT_CONNECTED},
    {E2BIG, ERROR_INVALID_PARAMETER},
    {EBADF, ERROR_INVALID_HANDLE},
    {EAGAIN, ERROR_IO_PENDING},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EACCES, ERROR_ACCESS_DENIED},
    {EFAULT, ERROR_INVALID_PARAMETER},
    {EBUSY, ERROR_BUSY},
    {EEXIST, ERROR_ALREADY_EXISTS},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENOTTY, ERROR_INVALID_FUNCTION},
    {EFBIG, ERROR_DISK_FULL},
    {ENOSPC, ERROR_DISK_FULL},
    {EROFS, ERROR_ACCESS_DENIED},
    {EPIPE, ERROR_BROKEN_PIPE},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ENOSYS, ERROR_NOT_SUPPORTED},
    {ELOOP, ERROR_ACCESS_DENIED},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {ETIMEDOUT, ERROR_TIMEOUT},
    {ECANCELED, ERROR_CANCELLED},
    {EOVERFLOW, ERROR_BUFFER_OVERFLOW},
    {ENOBUFS, ERROR_NOT_ENOUGH_MEMORY},
    {EILSEQ, ERROR_INVALID_DATA},
    {ECONNREFUSED, ERROR_CONNECTION_REFUSED},
};

constexpr ErrnoRow kSocketErrors[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAEBADF},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEINPROGRESS},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

template <std::size_t N>
bool Lookup(const ErrnoRow (&table)[N], int err, DWORD& win) noexcept {
    for (const auto& row : table) {
        if (row.err == err) {
            win = row.win;
            return true;
        }
    }
    return false;
}

}  // namespace

void SetLastError(DWORD dwError) noexcept { t_dwLastError = dwError; }
DWORD GetLastError() noexcept { return t_dwLastError; }

void SetUnknownErrnoHook(UnknownErrnoHook hook) noexcept { g_unknownHook.store(hook); }

DWORD ErrnoToWinError(int err) noexcept {
    if (err == 0) return ERROR_SUCCESS;
    DWORD win = ERROR_GEN_FAILURE;
    if (!Lookup(kFileErrors, err, win)) {
        if (UnknownErrnoHook hook = g_unknownHook.load()) hook(err, win);
    }
    return win;
}

DWORD SocketErrnoToWinError(int err) noexcept {
    DWORD win = 0;
    if (Lookup(kSocketErrors, err, win)) return win;
    return ErrnoToWinError(err);
}

BOOL SetLastErrorFromErrno(int err) noexcept {
    SetLastError(ErrnoToWinError(err));
    return FALSE;
}

BOOL SetLastErrorFromSocketErrno(int err) noexcept {
    SetLastError(SocketErrnoToWinError(err));
    return FALSE;
}
