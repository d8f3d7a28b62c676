#pragma once
// The command line of kelvo-cli: GNU-style options, each also as --name=value.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Types.h"

struct CliOptions {
    std::string strDir;             // --dir: working folder (config.ini, update files)
    std::optional<int> nKind;       // --kind: PORT_KIND_*; unset: the model's first kind
    std::string strPort;            // --port: skips discovery (the last one given)
    std::vector<std::string> ports; // every --port, in order: more than one is a fleet run
    std::string strPortsFrom;       // --ports-from: a file of ports, one a line, # comments
    std::string strRetryFailed;     // --retry-failed: an earlier --json result; its failed ports
    bool bRetryFailed = false;      // --retry-failed, with or without a file (none: the last fleet run's)
    bool bAll = false;              // --all: a fleet run over every printer --list finds
    int nParallel = 4;              // --parallel: fleet runs at most this many at once
    int nTimeout = 0;               // --timeout: seconds a fleet's printer may take (0: no limit)
    int nMaxFailures = 0;           // --max-failures: no new start after this many (0: no limit)
    bool bFleetChild = false;       // started by a fleet parent (its channel, no option)
    bool bList = false;             // --list: print the discovered ports and end
    bool bForce = false;            // --force: as ForceUpdate
    bool bCheck = false;            // --check: identify and tell what would be sent; send nothing
    bool bYes = false;              // --yes: answer Retry in the failure prompt once
    bool bJson = false;             // --json: one result object on stdout
    bool bJsonLines = false;        // --json-lines: an object per event of a fleet run
    bool bInitConfig = false;       // --init-config: write a starting config.ini and end
    std::string strTypeId;          // --type-id: its model's Type ID, as written
    bool bHelp = false;
    bool bVersion = false;
};

// The connection kind of a word: usb, bluetooth, ethernet (or lan), serial, any case.
std::optional<int> PortKindFromWord(std::string_view word) noexcept;
// The word the desktop command line uses for a kind ("USB", "Bluetooth", "Ethernet", "Serial").
const char* PortKindWord(int nKind) noexcept;

// Parses argv (without the program name). FALSE with a one-line reason in *pError for
// an unknown option, a missing or empty value, a bad kind word, a port name longer than
// a port name may be, a --parallel that is no number from 1 to 64, a --timeout or
// --max-failures that is no number from 1 to 86400 (10000), or an argument that is
// no option. A repeated option: the last wins (--port is also kept in the list of ports).
// --retry-failed takes its file as --retry-failed=FILE, or as the next argument unless
// that is an option or there is none: then the last fleet run's result is meant.
bool ParseCliOptions(int argc, const char* const* argv, CliOptions* pOptions, std::string* pError);

// A fleet run: several ports, a file of them, or every printer found.
inline bool IsFleetRun(const CliOptions& options) {
    return options.ports.size() > 1 || !options.strPortsFrom.empty() || options.bRetryFailed || options.bAll || options.nTimeout > 0 ||
           options.nMaxFailures > 0 || options.bJsonLines;
}

// The text of --help.
std::string CliUsage();
