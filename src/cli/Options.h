#pragma once
// The command line of kelvo-cli: GNU-style options, each also as --name=value.
#include <optional>
#include <string>
#include <string_view>

#include "platform/Types.h"

struct CliOptions {
    std::string strDir;             // --dir: working folder (config.ini, update files)
    std::optional<int> nKind;       // --kind: PORT_KIND_*; unset: the model's first kind
    std::string strPort;            // --port: skips discovery
    bool bList = false;             // --list: print the discovered ports and end
    bool bForce = false;            // --force: as ForceUpdate
    bool bYes = false;              // --yes: answer Retry in the failure prompt once
    bool bJson = false;             // --json: one result object on stdout
    bool bHelp = false;
    bool bVersion = false;
};

// The connection kind of a word: usb, bluetooth, ethernet (or lan), serial, any case.
std::optional<int> PortKindFromWord(std::string_view word) noexcept;
// The word the desktop command line uses for a kind ("USB", "Bluetooth", "Ethernet", "Serial").
const char* PortKindWord(int nKind) noexcept;

// Parses argv (without the program name). FALSE with a one-line reason in *pError for
// an unknown option, a missing or empty value, a bad kind word, a port name longer than
// a port name may be, or an argument that is no option. A repeated option: the last wins.
bool ParseCliOptions(int argc, const char* const* argv, CliOptions* pOptions, std::string* pError);

// The text of --help.
std::string CliUsage();
