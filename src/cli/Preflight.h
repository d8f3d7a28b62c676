#pragma once
// Mistakes kelvo-cli can tell before it connects: a port name of the wrong form for its
// kind, a device node that is missing or may not be opened, a LAN run without the right
// to ping. Each ends at once with the result the connection would have ended with and a
// sentence that names the thing and the next step.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Options.h"
#include "platform/Types.h"

struct PortProblem {
    DWORD dwResult;
    std::string strSentence;
};

// A dotted IPv4 address ("192.168.1.40"), as the LAN driver takes it.
bool IsIpv4Address(std::string_view name);

// An IPv4 address as the port, without --kind, means LAN (for every port of a fleet).
void ApplyAddressKind(CliOptions* pOptions);

// The port name's form for its kind (PORT_KIND_*), then, for USB and serial, that its
// node under the system root exists and that this user may read and write it.
std::optional<PortProblem> CheckPortName(int nKind, const std::string& port);

// LAN: the driver pings before it connects; without a ping or raw ICMP socket every
// open fails.
std::optional<PortProblem> CheckLanPing();

// The loaded update files (the engine's tables, after initialisation): none at all ends
// every run at the printer with 1200, so it is said here, with the folder's *.bin files
// whose names are not update file names. Lines for people about files that will not be
// sent (another Type ID than the firmware's) go to *pNotes.
std::optional<PortProblem> CheckUpdateFiles(std::vector<std::string>* pNotes);

// All of the above for a run of the kind on the port (empty: found by a search), in the
// order a person would mend them: the port, the files, the right to ping.
std::optional<PortProblem> CheckBeforeConnecting(int nKind, const std::string& port, std::vector<std::string>* pNotes);

// After a run that ended with ERROR_BAD_DEVICE: which model the printer is and which
// the files are for. Empty when the printer's DEVICE ID is not known (-1).
std::string WrongModelSentence(int nDeviceId);

// Before the model's "no port" or "not supported" box: a sentence when config.ini has
// no line for the files' Type ID (or one only when its Type ID is read in the other
// base: "20" is twenty, the files' 20 is 0x20), or the line offers no connection. Empty
// otherwise.
std::string MissingModelSentence(int nTypeId);

// Before the "not supported" box of a kind the model's line lacks: which word to add to
// config.ini ("... add IF_TCP to its interfaces field (IF_USB|IF_TCP)."); as
// MissingModelSentence when the line offers no connection at all.
std::string KindNotOfferedSentence(int nTypeId, int nKind);

// The interfaces field's word for a kind: IF_USB, IF_BT, IF_TCP, IF_COM.
const char* InterfaceWord(int nKind);
