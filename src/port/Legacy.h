#pragma once
// CLegacy: the layer between CCommon and the drivers of ports named by a device node (the
// serial driver and CUnknown). It finds the path to open and keeps the serial read and
// write timing that every opened port gets.
#include <span>
#include <string>

#include "port/Common.h"

// The serial timing, in the units a serial port's timeouts are given in (ms).
struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

// Longest device name built here, terminator included.
inline constexpr DWORD LEGACY_MAX_NAME = 260;

class CLegacy : public CCommon {
public:
    CLegacy() noexcept = default;
    ~CLegacy() override;

    // Closes the device; every driver of this family provides it.
    void Close(BOOL bFlag) override = 0;

    // Sets pszDevicePath to the node to open: /dev/<name> under the system-root prefix.
    // There is no spooler alias to bypass here, so nothing is defined and bTempDosName stays
    // 0. TRUE at once when a path is already set. FALSE with ERROR_INVALID_NAME for a name
    // that is not a plain node name (empty, ".", "..", or holding '/'), or
    // ERROR_BUFFER_OVERFLOW when the path does not fit; both logged.
    BOOL MakeDeviceName(const char* pszName) noexcept;
    // Forgets pszDevicePath (and the temporary name flag). Never fails.
    void DeleteDeviceName() noexcept;
    // Installs the serial timing of an opened port: a read ends when its buffer is full,
    // 30 ms after it started, or 10 ms after a byte that no further byte follows; writes
    // get the given total (capped at 0xFFFFFF9B). FALSE with the last error (and a log line)
    // when hFile is not a terminal.
    BOOL SetComTimeouts(int hFile, DWORD dwWriteTotalTimeoutConstant) noexcept;
    const COMMTIMEOUTS& ComTimeouts() const noexcept { return m_timeouts; }

    // One read of a non-blocking fd under the installed timing. Blocks at most the total
    // read time. TRUE with the count (0 when nothing came); FALSE with
    // ERROR_OPERATION_ABORTED when one of the wake items fires (the count so far is kept),
    // ERROR_DEVICE_NOT_CONNECTED when the device hung up, or the translated errno.
    BOOL ReadComData(int hFile, BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead,
                     std::span<const WaitItem> wake) noexcept;

    std::string pszBaseName;
    BOOL bTempDosName = FALSE;

private:
    COMMTIMEOUTS m_timeouts{10, 0, 30, 0, 0};
};

// One read of hFile with the given timing; the work of CLegacy::ReadComData.
BOOL ReadWithComTimeouts(int hFile, const COMMTIMEOUTS& timeouts, BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead,
                         std::span<const WaitItem> wake) noexcept;
