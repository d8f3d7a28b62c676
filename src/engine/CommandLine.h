#pragma once
// The command line: "/s" for silent mode and the connection-kind words.
#include <string>
#include <string_view>

#include "platform/Types.h"

struct CommandLineOptions {
    bool bSilent = false;
    int nInitialPortKind = 0;  // 0 USB, 1 Bluetooth, 2 Ethernet, 3 serial
};

// Splits the text at spaces; a token that begins with a double quote runs to the next
// double quote. Each token is trimmed, and the first empty one (the end, or an empty or
// blank quoted token) ends the parse. "/s" and the kind words count without regard to
// case, the last kind word wins, and anything else is ignored.
CommandLineOptions ParseCommandLine(std::string_view text);

// The command-line text of an argument vector (without the program name): arguments
// with a blank, and empty ones, are put in double quotes, so the shell's words come
// through as they were typed.
std::string CommandLineFromArgs(int argc, const char* const* argv);
