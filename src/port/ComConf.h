#pragma once
// Default line settings of serial ports and the configuration record of the chosen port.
//
// Linux keeps no per-port default configuration, so the process keeps one table of them,
// keyed by port name: an entry starts from $KELVO_SYSROOT/etc/ZAQ/Ports.ini when that
// file names the port, else from "9600,n,8,1". The table lives in this process only;
// nothing on the machine is changed by it. The serial driver takes its line settings
// from GetDefaultCommString.
//
// Ports.ini:   [Ports]
//              ttyS0=115200,n,8,1,p
//              COM1:=9600,e,7,2,x
// Keys are port names (one trailing colon ignored); values "baud,parity,data,stop[,flow]"
// with parity n/o/e/m/s, data bits 5 to 8, stop bits 1, 1.5 or 2, flow x (XON/XOFF),
// p (RTS/CTS) or nothing. Lines starting with ';' or '#', other sections, and entries
// that are not serial port names or do not parse are ignored.
#include <string>
#include <string_view>

#include "platform/Types.h"

inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;

inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;

inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;

inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 3;

// The line settings a configuration carries (the members of the Windows DCB in use).
struct DCB {
    DWORD BaudRate = 0;
    BYTE ByteSize = 0;
    BYTE Parity = NOPARITY;
    BYTE StopBits = ONESTOPBIT;
    DWORD fParity = 0;
    DWORD fOutxCtsFlow = 0;
    DWORD fOutxDsrFlow = 0;
    DWORD fDtrControl = DTR_CONTROL_DISABLE;
    DWORD fOutX = 0;
    DWORD fInX = 0;
    DWORD fRtsControl = RTS_CONTROL_DISABLE;

    bool operator==(const DCB&) const = default;
};

struct COMMCONFIG {
    DCB dcb;

    bool operator==(const COMMCONFIG&) const = default;
};

// The serial configuration record, held while a serial port is chosen.
struct ComConfigRecord {
    std::string pszPortName;  // empty: made for a name that is not a serial port
    COMMCONFIG ccChosen;      // what the user chose
    COMMCONFIG ccRemembered;  // the first configuration SetupComConfig set; zero until then
    COMMCONFIG ccRestore;     // what ResetComConfig restores; zero until PushComConfigAndDefault
};

// Serial port names: tty device names, that is "tty", a letter, then letters, digits or
// '_' ending in a digit (ttyS0, ttyUSB0, ttyACM0, ttyAMA0, ttymxc1; not tty0, ttyS), and
// for compatibility "COM" (any case) and a number. The name comes without a trailing colon.
bool IsSerialPortName(std::string_view name) noexcept;
// The table key of a name: one trailing colon dropped, "com" upper-cased. Empty when the
// rest is not a serial port name.
std::string SerialPortKey(std::string_view name);

// The configuration the record starts with, and the fixed one of PushComConfigAndDefault:
// 115200 baud, 8 data bits, no parity, one stop bit, CTS output flow, DTR on, RTS handshake.
COMMCONFIG SafeComConfig() noexcept;

// Parses "baud,parity,data,stop[,flow]" into a DCB (only the members above). FALSE with
// ERROR_INVALID_PARAMETER when the text does not parse; *pDcb is then unchanged.
BOOL BuildCommDCB(std::string_view definition, DCB* pDcb) noexcept;
// The configuration string of a DCB: "9600,n,8,1", "115200,n,8,1,p", "9600,e,7,2,x".
// Flow is "x" when XON/XOFF is on, else "p" when CTS output flow or RTS handshake is on.
std::string CommConfigString(const DCB& dcb);

// The port's entry of the table (made on first use). FALSE with ERROR_FILE_NOT_FOUND
// when the name is not a serial port name. Thread-safe.
BOOL GetDefaultCommConfig(const char* pszPortName, COMMCONFIG* pConfig) noexcept;
// Replaces the port's entry. FALSE with ERROR_FILE_NOT_FOUND for a name that is not a
// serial port name, ERROR_INVALID_PARAMETER for settings no line can have (baud rate
// 0, data bits outside 5 to 8, unknown parity or stop bits). Thread-safe.
BOOL SetDefaultCommConfig(const char* pszPortName, const COMMCONFIG* pConfig) noexcept;
// The port's entry as a configuration string, for the serial driver. Same failures as
// GetDefaultCommConfig. Thread-safe.
BOOL GetDefaultCommString(const char* pszPortName, std::string* pConfig) noexcept;
// Forgets the table; the next use reads Ports.ini again. Tests only.
void ResetDefaultCommConfigsForTest() noexcept;

// A record for a port name: the name (without a trailing colon) when it is a serial
// port name, else none; ccChosen = SafeComConfig (), the other two zero.
ComConfigRecord NewComConfigRecord(const char* pszPortName);

// Each helper does nothing, silently, when the record has no port name or the table
// refuses the change; each change is logged as an action line.
// Applies the chosen line settings as the port's default; remembers the first one set.
void SetupComConfig(ComConfigRecord& record) noexcept;
// Keeps the remembered configuration for ResetComConfig and applies SafeComConfig.
void PushComConfigAndDefault(ComConfigRecord& record) noexcept;
// Applies what PushComConfigAndDefault kept; nothing before the first push.
void ResetComConfig(ComConfigRecord& record) noexcept;
