#include "cli/Options.h"

#include <array>

#include "engine/Kelvo.h"
#include "platform/Text.h"

namespace {

struct KindWord {
    const char* pszWord;
    int nKind;
};

// The desktop's words first: they name the kind in messages and on its command line.
constexpr std::array<KindWord, 5> kKindWords{{
    {"USB", PORT_KIND_USB},
    {"Bluetooth", PORT_KIND_BLUETOOTH},
    {"Ethernet", PORT_KIND_LAN},
    {"Serial", PORT_KIND_SERIAL},
    {"LAN", PORT_KIND_LAN},
}};

enum class OptionId {
    Dir, Kind, Port, List, Force, Yes, Json, Help, Version, PortsFrom, All, Parallel, Timeout, MaxFailures, JsonLines,
    RetryFailed, InitConfig, TypeId, Check
};

struct OptionSpec {
    const char* pszLong;
    char chShort;  // 0: none
    bool bValue;
    OptionId id;
};

constexpr int kParallelMax = 64;
constexpr int kTimeoutMax = 86400;
constexpr int kMaxFailuresMax = 10000;

// A decimal number from 1 to nMax, digits only.
bool ParseCount(std::string_view value, int nMax, int* pn) {
    if (value.empty() || value.size() > 6) return false;
    int n = 0;
    for (char ch : value) {
        if (ch < '0' || ch > '9') return false;
        n = n * 10 + (ch - '0');
    }
    if (n < 1 || n > nMax) return false;
    *pn = n;
    return true;
}

constexpr std::array<OptionSpec, 19> kOptions{{
    {"dir", 'C', true, OptionId::Dir},
    {"kind", 'k', true, OptionId::Kind},
    {"port", 'p', true, OptionId::Port},
    {"list", 'l', false, OptionId::List},
    {"force", 'f', false, OptionId::Force},
    {"check", 0, false, OptionId::Check},
    {"yes", 'y', false, OptionId::Yes},
    {"json", 0, false, OptionId::Json},
    {"help", 'h', false, OptionId::Help},
    {"version", 'V', false, OptionId::Version},
    {"ports-from", 0, true, OptionId::PortsFrom},
    {"all", 0, false, OptionId::All},
    {"parallel", 'j', true, OptionId::Parallel},
    {"timeout", 0, true, OptionId::Timeout},
    {"max-failures", 0, true, OptionId::MaxFailures},
    {"json-lines", 0, false, OptionId::JsonLines},
    {"retry-failed", 0, true, OptionId::RetryFailed},
    {"init-config", 0, false, OptionId::InitConfig},
    {"type-id", 0, true, OptionId::TypeId},
}};

const OptionSpec* FindLong(std::string_view name) {
    for (const OptionSpec& spec : kOptions) {
        if (name == spec.pszLong) return &spec;
    }
    return nullptr;
}

const OptionSpec* FindShort(char ch) {
    for (const OptionSpec& spec : kOptions) {
        if (spec.chShort != 0 && spec.chShort == ch) return &spec;
    }
    return nullptr;
}

// An option whose value may be left out (not given inline, and no argument that is no
// option after it).
bool ValueMayBeLeftOut(const OptionSpec& spec) { return spec.id == OptionId::RetryFailed; }

bool Apply(const OptionSpec& spec, std::string_view value, bool bLeftOut, CliOptions* pOptions, std::string* pError) {
    if (spec.bValue && value.empty() && !bLeftOut) {
        *pError = std::string("option --") + spec.pszLong + " needs a value";
        return false;
    }
    switch (spec.id) {
        case OptionId::Dir: pOptions->strDir = value; break;
        case OptionId::Kind: {
            std::optional<int> nKind = PortKindFromWord(value);
            if (!nKind) {
                *pError = "unknown connection kind '" + std::string(value) + "' (usb, bluetooth, ethernet or lan, serial)";
                return false;
            }
            pOptions->nKind = nKind;
            break;
        }
        case OptionId::Port:
            // The run keeps at most this many characters; a longer name would be cut silently.
            if (Utf8Length(value) > PORT_NAME_MAX) {
                *pError = "port name longer than " + std::to_string(PORT_NAME_MAX) + " characters";
                return false;
            }
            // A name ends in terminal output and in file names (the log of a fleet run).
            for (char ch : value) {
                if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) {
                    *pError = "a port name has no control characters";
                    return false;
                }
            }
            pOptions->strPort = value;
            pOptions->ports.emplace_back(value);
            break;
        case OptionId::PortsFrom: pOptions->strPortsFrom = value; break;
        case OptionId::RetryFailed:
            pOptions->bRetryFailed = true;
            pOptions->strRetryFailed = value;
            break;
        case OptionId::All: pOptions->bAll = true; break;
        case OptionId::Parallel:
        case OptionId::Timeout:
        case OptionId::MaxFailures: {
            int nMax = spec.id == OptionId::Parallel ? kParallelMax
                       : spec.id == OptionId::Timeout ? kTimeoutMax
                                                       : kMaxFailuresMax;
            int* pTarget = spec.id == OptionId::Parallel ? &pOptions->nParallel
                           : spec.id == OptionId::Timeout ? &pOptions->nTimeout
                                                           : &pOptions->nMaxFailures;
            if (!ParseCount(value, nMax, pTarget)) {
                *pError = std::string("--") + spec.pszLong + " needs a number from 1 to " + std::to_string(nMax);
                return false;
            }
            break;
        }
        case OptionId::InitConfig: pOptions->bInitConfig = true; break;
        case OptionId::TypeId: pOptions->strTypeId = value; break;
        case OptionId::List: pOptions->bList = true; break;
        case OptionId::Force: pOptions->bForce = true; break;
        case OptionId::Check: pOptions->bCheck = true; break;
        case OptionId::Yes: pOptions->bYes = true; break;
        case OptionId::Json: pOptions->bJson = true; break;
        case OptionId::JsonLines: pOptions->bJsonLines = true; break;
        case OptionId::Help: pOptions->bHelp = true; break;
        case OptionId::Version: pOptions->bVersion = true; break;
    }
    return true;
}

}  // namespace

std::optional<int> PortKindFromWord(std::string_view word) noexcept {
    for (const KindWord& kw : kKindWords) {
        if (AsciiEqualNoCase(word, kw.pszWord)) return kw.nKind;
    }
    return std::nullopt;
}

const char* PortKindWord(int nKind) noexcept {
    for (const KindWord& kw : kKindWords) {
        if (kw.nKind == nKind) return kw.pszWord;
    }
    return "";
}

bool ParseCliOptions(int argc, const char* const* argv, CliOptions* pOptions, std::string* pError) {
    CliOptions options;
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i] != nullptr ? argv[i] : "";
        const OptionSpec* pSpec = nullptr;
        std::optional<std::string_view> inlineValue;
        if (arg.starts_with("--") && arg.size() > 2) {
            std::string_view name = arg.substr(2);
            std::size_t nEq = name.find('=');
            if (nEq != std::string_view::npos) {
                inlineValue = name.substr(nEq + 1);
                name = name.substr(0, nEq);
            }
            pSpec = FindLong(name);
        } else if (arg.size() == 2 && arg[0] == '-' && arg[1] != '-') {
            pSpec = FindShort(arg[1]);
        } else {
            *pError = "unexpected argument '" + std::string(arg) + "'";
            return false;
        }
        if (pSpec == nullptr) {
            *pError = "unknown option '" + std::string(arg) + "'";
            return false;
        }
        std::string_view value;
        bool bLeftOut = false;
        if (pSpec->bValue) {
            const bool bNextIsValue = i + 1 < argc && argv[i + 1] != nullptr && !std::string_view(argv[i + 1]).starts_with('-');
            if (inlineValue) {
                value = *inlineValue;
            } else if (ValueMayBeLeftOut(*pSpec) && !bNextIsValue) {
                bLeftOut = true;
            } else if (i + 1 < argc) {
                value = argv[++i] != nullptr ? argv[i] : "";
            }
        } else if (inlineValue) {
            *pError = std::string("option --") + pSpec->pszLong + " takes no value";
            return false;
        }
        if (!Apply(*pSpec, value, bLeftOut, &options, pError)) return false;
    }
    *pOptions = std::move(options);
    return true;
}

std::string CliUsage() {
    return "Usage: kelvo-cli [options]\n"
           "Updates the firmware and font data of a ZAQ receipt printer from the update files\n"
           "(config.ini, FW*.bin, KF*.bin, ...) in the working folder.\n"
           "\n"
           "  -C, --dir DIR       work in DIR instead of the current folder\n"
           "  -k, --kind KIND     connection: usb, bluetooth, ethernet (or lan), serial;\n"
           "                      default: lan for an IPv4 address, else the first kind\n"
           "                      the printer model offers\n"
           "  -p, --port NAME     the printer's port (an IPv4 address on LAN, USB001, a serial\n"
           "                      tty such as ttyS0, ttyUSB0 or ttyACM0, a Bluetooth\n"
           "                      address); without it the printers of the kind\n"
           "                      are searched for and the update goes on only when\n"
           "                      exactly one is found\n"
           "  -l, --list          print the ports found for the kind (name TAB description)\n"
           "  -f, --force         send the firmware even when the printer's is current\n"
           "      --check         identify the printers and tell what an update would send;\n"
           "                      send nothing and stop no service\n"
           "  -y, --yes           answer Retry once when a transfer fails\n"
           "      --json          print one JSON object with the result on stdout\n"
           "      --init-config --type-id ID --kind KIND\n"
           "                      write a starting config.ini for the model of that Type ID\n"
           "                      (32, 0x20, or 1F as in the file names); never over one\n"
           "\n"
           "Several printers (each updated by a kelvo-cli of its own, the services stopped\n"
           "once for all of them):\n"
           "  -p A -p B ...       update each port given\n"
           "      --ports-from FILE  the ports in FILE, one a line (# starts a comment)\n"
           "      --all           every printer --list finds for the kind\n"
           "  -j, --parallel N    at most N updates at once (default 4)\n"
           "      --timeout SECONDS  cancel a printer's update after SECONDS (as Ctrl+C does)\n"
           "      --max-failures N   start no further update once N have failed\n"
           "      --retry-failed [RESULT.json]  the printers that failed or were not started\n"
           "                      in an earlier run's --json result; without a file, in the\n"
           "                      last run of several printers (its result is kept in\n"
           "                      $XDG_STATE_HOME/kelvo/last-fleet.json)\n"
           "      --json-lines    one JSON object a line on stdout as things happen (begin,\n"
           "                      stage, start, phase, progress, result), the summary last\n"
           "\n"
           "  -h, --help          this text\n"
           "  -V, --version       the program's version\n"
           "\n"
           "Exit status: 0 updated, 2 nothing needed updating, 3 cancelled, 1 anything else\n"
           "(the full result code is printed and logged); for several printers 3 when\n"
           "cancelled, 1 when one failed, timed out or was not started, 2 when none needed\n"
           "updating, 0 otherwise.\n";
}
