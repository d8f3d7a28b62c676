#include "cli/ResultName.h"

#include <array>

#include "engine/Kelvo.h"
#include "platform/Text.h"
#include "platform/WinError.h"

namespace {

struct NamedCode {
    DWORD dwCode;
    const char* pszName;
    const char* pszSentence;
};

// Sentences several codes share.
constexpr const char* kInternal =
    "The program met an internal error; run the update again, and if it repeats send the log (Kelvo.log).";
constexpr const char* kMemory = "The machine ran out of memory; close other programs and run the update again.";
constexpr const char* kLinkLost =
    "The connection to the printer was lost; check the cable or network and that the printer is on, then run the "
    "update again.";
constexpr const char* kNetwork =
    "The network refused or lost the connection; check the printer's address and the network, then run the update "
    "again.";
constexpr const char* kNotConnected =
    "The printer is not connected: check the cable or network, that it is switched on (and paired, for Bluetooth), "
    "and that no other program holds its port.";

#define KELVO_NAMED(code, sentence) NamedCode{code, #code, sentence}

constexpr std::array kNames{
    KELVO_NAMED(ERROR_SUCCESS, "The printer was updated."),
    KELVO_NAMED(ERROR_INVALID_FUNCTION, kInternal),
    KELVO_NAMED(ERROR_FILE_NOT_FOUND,
                "A file, folder or port named above does not exist; for update files see the README's "
                "\"The update files\", for ports --list shows them."),
    KELVO_NAMED(ERROR_PATH_NOT_FOUND, "A folder on the way does not exist; check the path."),
    KELVO_NAMED(ERROR_TOO_MANY_OPEN_FILES, "Too many files are open; close other programs and run the update again."),
    KELVO_NAMED(ERROR_ACCESS_DENIED,
                "This user may not open the port or file named above; see the permissions for the connection in "
                "the README (\"Update a real printer\"), or run as root."),
    KELVO_NAMED(ERROR_INVALID_HANDLE, kInternal),
    KELVO_NAMED(ERROR_NOT_ENOUGH_MEMORY, kMemory),
    KELVO_NAMED(ERROR_BAD_FORMAT, "config.ini has a mistake; the lines above name the line and the field."),
    KELVO_NAMED(ERROR_INVALID_DATA,
                "The printer answered something else than expected (the new firmware's ROM ID or a checksum did not "
                "match); run the update again, and if it repeats send the log."),
    KELVO_NAMED(ERROR_OUTOFMEMORY, kMemory),
    KELVO_NAMED(ERROR_NOT_READY, "The printer is not ready; check that it is on and has paper, then run again."),
    KELVO_NAMED(ERROR_BAD_LENGTH, "An update file is empty or 4 GiB or larger; replace it with the release's file."),
    KELVO_NAMED(ERROR_WRITE_FAULT, kLinkLost),
    KELVO_NAMED(ERROR_READ_FAULT, kLinkLost),
    KELVO_NAMED(ERROR_GEN_FAILURE, kLinkLost),
    KELVO_NAMED(ERROR_SHARING_VIOLATION, "Another program holds the port; close it (or stop the spooler) and run again."),
    KELVO_NAMED(ERROR_HANDLE_EOF, "An update file ended while it was read; copy it again from the release."),
    KELVO_NAMED(ERROR_NOT_SUPPORTED, "The port does not support what the update asked of it; see the log."),
    KELVO_NAMED(ERROR_FILE_EXISTS, "The file already exists and is left as it is."),
    KELVO_NAMED(ERROR_INVALID_PARAMETER,
                "Several printers were found and none was named, or a value was not valid: name the printer with "
                "--port (--all updates every one found)."),
    KELVO_NAMED(ERROR_BROKEN_PIPE, kLinkLost),
    KELVO_NAMED(ERROR_BUFFER_OVERFLOW, kInternal),
    KELVO_NAMED(ERROR_DISK_FULL, "The disk is full; free some space and run again."),
    KELVO_NAMED(ERROR_INSUFFICIENT_BUFFER, kInternal),
    KELVO_NAMED(ERROR_INVALID_NAME,
                "The port name is not one of its connection kind: USB001 (USB), ttyS0, ttyUSB0 or ttyACM0 (serial), "
                "an IPv4 address (LAN), 02:00:5A:00:00:01 (Bluetooth)."),
    KELVO_NAMED(ERROR_BUSY, "The port or the printer is busy; wait a moment and run the update again."),
    KELVO_NAMED(ERROR_ALREADY_EXISTS, "Another Kelvo update is running on this machine; wait for it to end."),
    KELVO_NAMED(ERROR_INVALID_FLAG_NUMBER, kInternal),
    KELVO_NAMED(ERROR_FILENAME_EXCED_RANGE, "A name is too long; use a shorter port name or folder."),
    KELVO_NAMED(ERROR_BAD_FILE_TYPE,
                "A file is not of the kind its name says: a lock file named above is not a plain file (remove it), "
                "or an update file's name is not an update file name (FW, CG, CF, EE, KF, ZF or YF, the Type ID, ...; "
                "at least 11 characters; see the README's \"The update files\")."),
    KELVO_NAMED(ERROR_MORE_DATA, kInternal),
    KELVO_NAMED(WAIT_TIMEOUT, "The printer did not answer in time; check the connection and run the update again."),
    KELVO_NAMED(ERROR_NO_MORE_ITEMS, kInternal),
    KELVO_NAMED(ERROR_ELEVATION_REQUIRED, "This needs root; run it with sudo."),
    KELVO_NAMED(ERROR_OPERATION_ABORTED, "The operation was stopped before it ended; run the update again."),
    KELVO_NAMED(ERROR_IO_INCOMPLETE, kInternal),
    KELVO_NAMED(ERROR_IO_PENDING, kInternal),
    KELVO_NAMED(ERROR_CAN_NOT_COMPLETE,
                "The printer did not answer the identification; check that it is a ZAQ printer, switched on, on this "
                "port."),
    KELVO_NAMED(ERROR_DEVICE_NOT_CONNECTED, kNotConnected),
    KELVO_NAMED(ERROR_NOT_FOUND, "What was looked for was not found; the lines above say what."),
    KELVO_NAMED(ERROR_BAD_DEVICE,
                "The printer is a model the update files here are not for; use the files for its Type ID (the line "
                "above names both)."),
    KELVO_NAMED(ERROR_CANCELLED, "The update was cancelled; run it again to finish it."),
    KELVO_NAMED(ERROR_CONNECTION_REFUSED, kNetwork),
    KELVO_NAMED(ERROR_REQUEST_ABORTED, "The request was stopped before it ended; run the update again."),
    KELVO_NAMED(ERROR_ALREADY_REGISTERED,
                "Nothing needed updating: the printer's firmware is current and its fonts match the files (--force "
                "sends the firmware anyway)."),
    KELVO_NAMED(ERROR_STACK_BUFFER_OVERRUN, kInternal),
    KELVO_NAMED(ERROR_TIMEOUT,
                "The printer did not answer in time; check the connection and that it is on, then run the update "
                "again."),
    KELVO_NAMED(RPC_S_SERVER_UNAVAILABLE, "The system bus or systemd is not there; services were not stopped."),
    KELVO_NAMED(ERROR_UNKNOWN_PORT, "There is no port of that name; --list shows the ports."),
    KELVO_NAMED(ERROR_INVALID_PRINTER_NAME,
                "The connection kind is not one the model has in config.ini (its interfaces field); choose one it "
                "has with --kind, or add it there."),
    KELVO_NAMED(ERROR_BAD_CONFIGURATION,
                "config.ini could not be loaded; the lines above say what is wrong (README: \"The update folder: "
                "config.ini\")."),
    KELVO_NAMED(ERROR_DEVICE_NOT_AVAILABLE, kNotConnected),
    KELVO_NAMED(WSAEINTR, "The operation was interrupted; run the update again."),
    KELVO_NAMED(WSAEBADF, kInternal),
    KELVO_NAMED(WSAEACCES,
                "This user may not send ping (ICMP echo), which the LAN connection needs: allow ping sockets (sudo "
                "sysctl -w net.ipv4.ping_group_range=\"0 2147483647\") or run as root."),
    KELVO_NAMED(WSAEFAULT, kInternal),
    KELVO_NAMED(WSAEINVAL, kInternal),
    KELVO_NAMED(WSAEMFILE, "Too many files are open; close other programs and run the update again."),
    KELVO_NAMED(WSAEWOULDBLOCK, kInternal),
    KELVO_NAMED(WSAEINPROGRESS, kInternal),
    KELVO_NAMED(WSAEALREADY, kInternal),
    KELVO_NAMED(WSAENOTSOCK, kInternal),
    KELVO_NAMED(WSAEDESTADDRREQ, kInternal),
    KELVO_NAMED(WSAEMSGSIZE, kInternal),
    KELVO_NAMED(WSAEPROTOTYPE, kInternal),
    KELVO_NAMED(WSAENOPROTOOPT, kInternal),
    KELVO_NAMED(WSAEPROTONOSUPPORT, "This machine's network lacks what the LAN connection needs (IPv4, ICMP)."),
    KELVO_NAMED(WSAEOPNOTSUPP, kInternal),
    KELVO_NAMED(WSAEAFNOSUPPORT, "This machine's network lacks what the LAN connection needs (IPv4, ICMP)."),
    KELVO_NAMED(WSAEADDRINUSE, "A local network port is in use; run the update again."),
    KELVO_NAMED(WSAEADDRNOTAVAIL, "That address cannot be used from this machine; check the printer's address."),
    KELVO_NAMED(WSAENETDOWN, "The network is down; check this machine's network connection."),
    KELVO_NAMED(WSAENETUNREACH, "The printer's network cannot be reached from here; check the address and the network."),
    KELVO_NAMED(WSAENETRESET, kNetwork),
    KELVO_NAMED(WSAECONNABORTED, kNetwork),
    KELVO_NAMED(WSAECONNRESET, "The printer closed the connection; switch it off and on, then run the update again."),
    KELVO_NAMED(WSAENOBUFS, kMemory),
    KELVO_NAMED(WSAEISCONN, kInternal),
    KELVO_NAMED(WSAENOTCONN, kLinkLost),
    KELVO_NAMED(WSAESHUTDOWN, kLinkLost),
    KELVO_NAMED(WSAETIMEDOUT, "The LAN printer did not answer; check its address, that it is on, and the network."),
    KELVO_NAMED(WSAECONNREFUSED,
                "The printer refused the connection; check that the address is a ZAQ printer and that no other "
                "program is connected to it."),
    KELVO_NAMED(WSAEHOSTDOWN, "The printer at that address does not answer; check that it is on."),
    KELVO_NAMED(WSAEHOSTUNREACH, "There is no route to that address; check the address and the network."),
};

#undef KELVO_NAMED

const NamedCode* Known(DWORD dwCode) {
    for (const NamedCode& named : kNames) {
        if (named.dwCode == dwCode) return &named;
    }
    return nullptr;
}

}  // namespace

std::string ResultName(DWORD dwResult) {
    if (const NamedCode* pNamed = Known(dwResult)) return pNamed->pszName;
    if ((dwResult & APP_ERROR_FLAG) != 0) {
        DWORD dwLow = dwResult & ~APP_ERROR_FLAG;
        if (const NamedCode* pNamed = Known(dwLow)) return std::string("APP_ERROR_FLAG|") + pNamed->pszName;
        return StrPrintf("APP_ERROR_FLAG|%u", dwLow);
    }
    return StrPrintf("SYSTEM_ERROR_%u", dwResult);
}

std::string ResultSentence(DWORD dwResult) {
    if (const NamedCode* pNamed = Known(dwResult)) return pNamed->pszSentence;
    if (dwResult == (APP_ERROR_FLAG | ERROR_DEVICE_NOT_AVAILABLE)) {
        return "No printer was found for this connection kind: check the cable, that it is on (and paired, for "
               "Bluetooth); --list shows what the search finds.";
    }
    if ((dwResult & APP_ERROR_FLAG) != 0) {
        if (const NamedCode* pNamed = Known(dwResult & ~APP_ERROR_FLAG)) return pNamed->pszSentence;
        return "The message above says what failed; the log (Kelvo.log) has the details.";
    }
    return StrPrintf("The step that failed ended with system error %u; the log (Kelvo.log) has the details.", dwResult);
}
