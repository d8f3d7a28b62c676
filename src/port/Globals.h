#pragma once
// The port service: the only way the engine reaches a printer. A table of open ports, one
// opaque handle per port, and six operations that run the driver's virtual operations in
// a fixed order under the driver's locks. Every operation returns a BOOL with the reason
// in the thread's last error and may be called from any thread, also while other ports
// are opened and closed.
#include <memory>

#include "platform/Types.h"
#include "port/Common.h"

// Port kinds (the dwType of pfnOpenPort).
inline constexpr DWORD PORT_KIND_USB = 0;
inline constexpr DWORD PORT_KIND_BLUETOOTH = 1;
inline constexpr DWORD PORT_KIND_LAN = 2;
inline constexpr DWORD PORT_KIND_COM = 3;

// Options of pfnOpenPort.
inline constexpr DWORD OPT_UNSUPPORT_COM_DSR = 0x00000010;
inline constexpr DWORD OPT_TCP_CON_WITHOUT_OPEN = 0x00000020;
inline constexpr DWORD PP_COM_DIS_DOSDEVNAME = 0x00000040;
inline constexpr DWORD OPT_NOT_SUPPORT_REAL_RESET_CMD = 0x00000080;
inline constexpr DWORD OPT_LAN_READ26100_WITHOUT9100 = 0x00000200;
inline constexpr DWORD OPT_LAN26100_UDP = 0x00000800;
inline constexpr DWORD OPT_BT_SLEEP_BEFORE_SHUT = 0x00001000;

// Bit of pfnClosePort's dwOption passed to the driver's Close as its flag.
inline constexpr DWORD CLOSE_OPT_FLAG = 0x00002000;

// Makes the driver of one port kind for a port name; nullptr when memory is short. A
// driver whose resources could not all be had is still returned: its Init reports it.
using PortFactory = std::unique_ptr<CCommon> (*)(const char* pszName);

// Installs (or with nullptr removes) the driver of a port kind. Kinds without a driver
// get CUnknown. Safe at any time; opens already made keep their driver.
void RegisterPortKind(DWORD dwType, PortFactory pfnFactory) noexcept;
// Registers the drivers built into the program; pfnOpenPort does it once by itself.
void RegisterBuiltinPortKinds() noexcept;

BOOL pfnOpenPort(DWORD dwOption, DWORD dwType, const char* pszName, HSDK* phSdk) noexcept;
BOOL pfnClosePort(HSDK hSdk, DWORD dwOption) noexcept;
// pcbWritten may be NULL; dwTimeout 0 = the port's default. The caller's buffer is never
// touched after the call returned.
BOOL pfnWritePortEx(HSDK hSdk, const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) noexcept;
BOOL pfnReadPort(HSDK hSdk, BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead) noexcept;
BOOL pfnReadPortEx(HSDK hSdk, BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout) noexcept;
BOOL pfnResetPort(HSDK hSdk) noexcept;
BOOL pfnCancelPort(HSDK hSdk) noexcept;

// Set while the run that uses the ports is cancelled (the engine mirrors its cancel flag
// here): a driver's wait for a printer's answer has it in the same wait set as the
// device and ends at once instead of sitting out its time limit.
Event& PortAbortEvent() noexcept;

// String helpers of the port layer. AllocSplStr: a new copy, NULL for NULL, an empty
// string or short memory; FreeSplStr frees it (NULL allowed). JoinStrings concatenates the
// NULL-terminated list into pszBuffer of cchBuffer bytes (terminator included): 0, or
// ERROR_INVALID_PARAMETER (no buffer or size 0) or ERROR_BUFFER_OVERFLOW (buffer then
// holds ""), which is also set as the last error.
char* AllocSplStr(const char* psz) noexcept;
void FreeSplStr(char* psz) noexcept;
DWORD JoinStrings(char* pszBuffer, DWORD cchBuffer, const char* const* ppszList) noexcept;
