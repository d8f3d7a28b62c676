#include "sim/Cli.h"

#include "port/UsbIdentity.h"

#include <cstdlib>
#include <functional>

#include "platform/Text.h"

namespace sim {
namespace {

struct Flag {
    const char* pszName;
    const char* pszValue;  // nullptr: a switch without value
    const char* pszHelp;
};

bool ParseNumber(const std::string& s, int base, unsigned long max, unsigned long* pValue) {
    if (s.empty()) return false;
    const char* p = s.c_str();
    if (base == 16 && (s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0)) p += 2;
    char* end = nullptr;
    unsigned long v = std::strtoul(p, &end, base);
    if (*p == '\0' || *end != '\0' || v > max || *p == '-') return false;
    *pValue = v;
    return true;
}

bool ParseMac(const std::string& s, std::array<BYTE, 6>* pMac) {
    std::array<BYTE, 6> mac{};
    if (s.size() != 17) return false;
    for (int i = 0; i < 6; ++i) {
        unsigned long v;
        if (i < 5 && s[i * 3 + 2] != ':') return false;
        if (!ParseNumber(s.substr(i * 3, 2), 16, 0xFF, &v)) return false;
        mac[i] = static_cast<BYTE>(v);
    }
    *pMac = mac;
    return true;
}

bool IsPrintableText(const std::string& s) {
    for (char c : s)
        if (static_cast<BYTE>(c) < 0x20 || static_cast<BYTE>(c) > 0x7F) return false;
    return true;
}

const std::vector<Flag>& RunFlags() {
    static const std::vector<Flag> flags = {
        {"transport", "KIND", "lan (default), usb (a usblp node under --sysroot; SIGUSR1 unplugs it, SIGUSR2 plugs it back), serial (a pty under --sysroot) or node (a real device's printer side: --node, with --gadget and --udc for a USB gadget; SIGUSR1/SIGUSR2 as usb)"},
        {"node", "PATH", "node: the printer's side of a real device: a USB gadget function (/dev/g_printer0, /dev/ttyGS0) or a UART (/dev/ttyS2)"},
        {"gadget", "DIR", "node: the configfs folder of the USB gadget the node belongs to; restarts and unplugs unbind it"},
        {"udc", "NAME", "node: the device controller the gadget binds to (e.g. dummy_udc.0)"},
        {"sysroot", "DIR", "usb and serial: the system root to publish the node and its sysfs entries in (the host's KELVO_SYSROOT): DIR/dev/usb/lpN, or DIR/dev/NAME and sys/class/tty/NAME"},
        {"lp", "N", "usb: the node's number N (port name USB with N + 1); default 0"},
        {"usb-new-port", nullptr, "usb: after a restart, come back under the next free number"},
        {"usb-device-id", "TEXT", "usb: IEEE 1284 device ID; default MFG:ZAQ;CMD:ZAQ;MDL:KV-tt Sim;CLS:PRINTER;"},
        {"usb-chain", "CHAIN", "usb: the bus and port chain of the socket the printer sits in (sysfs); default 1-1.(N + 1)"},
        {"usb-serial", "TEXT", "usb: the device's serial number (sysfs); default none"},
        {"address", "ADDR", "IPv4 address to bind (127.x.y.z, or an address in a test namespace); default 127.0.0.1"},
        {"data-port", "N", "TCP port of the raw data channel; 0 lets the kernel choose; default 9100"},
        {"status-port", "N", "TCP port of the status channel; 0 lets the kernel choose; default 26100"},
        {"discovery-port", "N", "UDP port that answers discovery queries; 0 lets the kernel choose; default 26100"},
        {"no-discovery", nullptr, "do not answer discovery queries (no UDP socket)"},
        {"discovery-any", nullptr, "bind the discovery socket to every address, so broadcasts reach it"},
        {"stream-socket", "PATH", "also serve the Bluetooth serial stream on a Unix stream socket at PATH"},
        {"rfcomm", "XX:XX:XX:XX:XX:XX", "also serve the Bluetooth serial stream on a real RFCOMM socket of this controller"},
        {"rfcomm-channel", "N", "the RFCOMM channel of --rfcomm (1-30); default 1"},
        {"type-id", "HH", "Type ID answered to DEVICE ID, hexadecimal; default 1F"},
        {"rom-id", "HH", "ROM ID (firmware version) answered to ROM ID, hexadecimal; default 05"},
        {"version-text", "TEXT", "firmware version text (printable); default VERttrr (7 characters, 8 from ROM ID F0)"},
        {"checksum-kanji", "HHHH", "checksum of the Kanji font held (query letter 4B), hexadecimal; default 0"},
        {"checksum-codepage", "HHHH", "checksum of the code page data held (query letter 43); default 0"},
        {"checksum-cpcl", "HHHH", "checksum of the CPCL font held (query letter 5A); default 0"},
        {"checksum-zpl", "HHHH", "checksum of the ZPL font held (query letter 7A); default 0"},
        {"boot-mode", nullptr, "start in the boot loader: no answer to DEVICE ID until new firmware runs"},
        {"command-set", "SET", "both (default: each set answered in its own framing), standard or extended"},
        {"sprinkle", nullptr, "put ignorable bytes (11, 13, A0-AF, C0-DF) between the bytes of every answer"},
        {"name", "TEXT", "printer name in discovery replies; default \"ZAQ Simulated Printer\""},
        {"mac", "XX:XX:XX:XX:XX:XX", "MAC address in discovery replies; default 02:4B:56:00:00:01"},
        {"timing", "PROFILE", "real (default: flash 6000 ms, restart 5000 ms, data idle 1000 ms) or fast (200, 300, 500)"},
        {"flash-ms", "N", "time to write the flash after a firmware transfer (overrides the profile)"},
        {"restart-ms", "N", "time the printer is unreachable while it restarts (overrides the profile)"},
        {"data-idle-ms", "N", "a font or data transfer ends after this long without a byte (overrides the profile)"},
        {"silent", nullptr, "fault: never answer a command"},
        {"drop-after", "N", "fault: drop the data link after N bytes of a transfer (headers included)"},
        {"drop-count", "N", "how many transfers --drop-after hits; default 1"},
        {"refuse", nullptr, "fault: refuse TCP connections on the data and status channels"},
        {"garbage", nullptr, "fault: answer bytes that hold no valid frame"},
        {"wrong-rom-id", "HH", "fault: report this ROM ID after restarting into new firmware"},
        {"read-rate", "N", "fault: read the data channel at N bytes per second"},
        {"image-per-connection", nullptr, "strict: a transfer ends with its data connection; bytes on another end it incomplete"},
        {"busy-ms", "N", "fault: busy for N ms after each start and restart (status busy bit, data not read)"},
        {"transcript", "PATH", "write the transcript to PATH, one JSON object per line"},
        {"store-dir", "DIR", "write each transfer the printer stored to DIR/N-KIND.bin (N counts from 1), as it arrived"},
        {"tty-name", "NAME", "serial: the tty's name; default ttyACM0"},
        {"tty-kind", "KIND", "serial: acm (default), usb-serial or uart"},
        {"tty-vendor", "HHHH", "serial: idVendor of the USB kinds, hexadecimal; default 0F0F"},
        {"baud", "N", "serial: line rate that paces reading (10 bits a byte); default 0, unpaced"},
        {"help", nullptr, "show this text"},
    };
    return flags;
}

const std::vector<Flag>& MakeFlags() {
    static const std::vector<Flag> flags = {
        {"kind", "KIND", "FW (default), CG, CF, EE, KF, ZF or YF"},
        {"type-id", "HH", "Type ID in the name (and in a firmware image), hexadecimal; default 1F"},
        {"rom-id", "HH", "FW: version in the name and ROM ID the image carries; default 05"},
        {"version-text", "TEXT", "FW: version text the image carries; default VERttrr"},
        {"size", "N", "FW: payload bytes; data kinds: file bytes; default 4096"},
        {"seed", "N", "seed of the filler bytes; default 1"},
        {"tail", "TEXT", "rest of the file name after the prefix, Type ID (and FW version); default SIM.bin"},
        {"out-dir", "DIR", "folder to write into; default the current one"},
        {"help", nullptr, "show this text"},
    };
    return flags;
}

std::string HelpText(const char* pszUsage, const std::vector<Flag>& flags) {
    std::string s = pszUsage;
    for (const Flag& f : flags) {
        std::string left = StrPrintf("  --%s%s%s", f.pszName, f.pszValue ? "=" : "", f.pszValue ? f.pszValue : "");
        s += StrPrintf("%-34s %s\n", left.c_str(), f.pszHelp);
    }
    return s;
}

// Splits "--name=value" / "--name value" by the table; calls handle(name, value).
bool Walk(const std::vector<std::string>& args, const std::vector<Flag>& flags,
          const std::function<bool(const std::string&, const std::string&)>& handle, std::string* pError) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0) {
            *pError = "unexpected argument " + a;
            return false;
        }
        std::size_t eq = a.find('=');
        std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        const Flag* pFlag = nullptr;
        for (const Flag& f : flags)
            if (name == f.pszName) pFlag = &f;
        if (!pFlag) {
            *pError = "unknown flag --" + name;
            return false;
        }
        std::string value;
        if (pFlag->pszValue) {
            if (eq != std::string::npos) {
                value = a.substr(eq + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                *pError = "--" + name + " needs a value";
                return false;
            }
        } else if (eq != std::string::npos) {
            *pError = "--" + name + " takes no value";
            return false;
        }
        if (!handle(name, value)) {
            *pError = "bad value for --" + name + ": " + value;
            return false;
        }
    }
    return true;
}

}  // namespace

std::string RunHelp() {
    return HelpText("Usage: kelvo-printer-sim [FLAGS]\n"
                    "       kelvo-printer-sim make-update [FLAGS]   (see make-update --help)\n\n"
                    "Runs a simulated ZAQ receipt printer on LAN (or on a serial line: a pty published as\n"
                    "SYSROOT/dev/NAME) until SIGTERM or SIGINT. Once its endpoints\n"
                    "are bound it prints one line:\n"
                    "  kelvo-printer-sim ready address=A data=N status=N discovery=N\n"
                    "(discovery=0 without a discovery socket). On USB the line is\n"
                    "  kelvo-printer-sim ready address=usb data=0 status=0 discovery=0 lp=N port=USBnnn\n\nFlags:\n",
                    RunFlags());
}

std::string MakeUpdateHelp() {
    return HelpText("Usage: kelvo-printer-sim make-update [FLAGS]\n\n"
                    "Writes one update file named as the updater expects (FWttrrTAIL, or KKttTAIL for the\n"
                    "data kinds). A firmware file is an image for the simulated printer: a 24-byte header\n"
                    "(\"KVFW\", format 1, Type ID, ROM ID, version text length, payload length, version\n"
                    "text, payload sum) and the payload. Prints: PATH bytes=N checksum=0xHHHH, the\n"
                    "checksum being what the printer reports once it holds the data.\n\nFlags:\n",
                    MakeFlags());
}

bool ParseRunArgs(const std::vector<std::string>& args, Config* pConfig, bool* pbHelp, std::string* pError) {
    Config c;
    *pbHelp = false;
    long long flash = -1, restart = -1, idle = -1;
    auto handle = [&](const std::string& n, const std::string& v) -> bool {
        unsigned long x = 0;
        auto hex8 = [&](BYTE* p) { return ParseNumber(v, 16, 0xFF, &x) && ((*p = static_cast<BYTE>(x)), true); };
        auto hex16 = [&](WORD* p) { return ParseNumber(v, 16, 0xFFFF, &x) && ((*p = static_cast<WORD>(x)), true); };
        auto dec = [&](DWORD* p) { return ParseNumber(v, 10, 0xFFFFFFFFul, &x) && ((*p = static_cast<DWORD>(x)), true); };
        auto port = [&](WORD* p) { return ParseNumber(v, 10, 0xFFFF, &x) && ((*p = static_cast<WORD>(x)), true); };
        auto ms = [&](long long* p) { return ParseNumber(v, 10, 0xFFFFFFFul, &x) && ((*p = static_cast<long long>(x)), true); };
        if (n == "transport") return (v == "lan" || v == "usb" || v == "serial" || v == "node") && ((c.szTransport = v), true);
        if (n == "gadget") return !(c.gadget.szGadget = v).empty();
        if (n == "udc") return !(c.gadget.szUdc = v).empty();
        if (n == "node") return !(c.gadget.szNode = v).empty();
        if (n == "sysroot") return !v.empty() && ((c.usb.szSysroot = c.serial.szSysroot = v), true);
        if (n == "lp") return ParseNumber(v, 10, 126, &x) && ((c.usb.nLp = static_cast<unsigned>(x)), true);
        if (n == "usb-new-port") return c.usb.bNewPort = true;
        if (n == "usb-device-id") return IsPrintableText(v) && v.size() <= 126 && !(c.usb.szDeviceId = v).empty();
        if (n == "usb-chain") {
            return !v.empty() && v.size() <= 32 && v.find_first_not_of("0123456789-.") == std::string::npos &&
                   ((c.usb.szChain = v), true);
        }
        if (n == "usb-serial") return IsPrintableText(v) && v.size() <= 126 && !(c.usb.szSerial = v).empty();
        if (n == "address") return !(c.lan.szAddress = v).empty();
        if (n == "data-port") return port(&c.lan.wDataPort);
        if (n == "status-port") return port(&c.lan.wStatusPort);
        if (n == "discovery-port") return port(&c.lan.wDiscoveryPort);
        if (n == "no-discovery") return !(c.lan.bDiscovery = false);
        if (n == "discovery-any") return c.lan.bDiscoveryAny = true;
        if (n == "stream-socket") return !(c.stream.szSocketPath = v).empty();
        if (n == "rfcomm") return ParseMac(v, &c.stream.rfcommAddress) && (c.stream.bRfcomm = true);
        if (n == "rfcomm-channel")
            return ParseNumber(v, 10, 30, &x) && x >= 1 && ((c.stream.bRfcommChannel = static_cast<BYTE>(x)), true);
        if (n == "type-id") return hex8(&c.state.bTypeId);
        if (n == "rom-id") return hex8(&c.state.bRomId);
        if (n == "version-text") return IsPrintableText(v) && !(c.state.szVersion = v).empty();
        if (n == "checksum-kanji") return hex16(&c.state.wChecksum[KIND_KANJI]);
        if (n == "checksum-codepage") return hex16(&c.state.wChecksum[KIND_CODEPAGE]);
        if (n == "checksum-cpcl") return hex16(&c.state.wChecksum[KIND_CPCL]);
        if (n == "checksum-zpl") return hex16(&c.state.wChecksum[KIND_ZPL]);
        if (n == "boot-mode") return c.state.bBootMode = true;
        if (n == "command-set") {
            if (v == "both") c.state.sets = CommandSets::Both;
            else if (v == "standard") c.state.sets = CommandSets::Standard;
            else if (v == "extended") c.state.sets = CommandSets::Extended;
            else return false;
            return true;
        }
        if (n == "sprinkle") return c.state.bSprinkle = true;
        if (n == "name") return IsPrintableText(v) && v.size() <= 32 && ((c.state.szName = v), true);
        if (n == "mac") return ParseMac(v, &c.state.mac);
        if (n == "timing") return Timing::FromName(v, &c.timing) && ((c.szTimingName = v), true);
        if (n == "flash-ms") return ms(&flash);
        if (n == "restart-ms") return ms(&restart);
        if (n == "data-idle-ms") return ms(&idle);
        if (n == "silent") return c.faults.bSilent = true;
        if (n == "drop-after") return dec(&c.faults.cbDropAfter);
        if (n == "drop-count") return dec(&c.faults.nDropCount);
        if (n == "refuse") return c.faults.bRefuse = true;
        if (n == "garbage") return c.faults.bGarbage = true;
        if (n == "wrong-rom-id") return ParseNumber(v, 16, 0xFF, &x) && ((c.faults.nWrongRomId = static_cast<int>(x)), true);
        if (n == "read-rate") return dec(&c.faults.dwReadRate);
        if (n == "image-per-connection") return (c.faults.bImagePerConnection = true);
        if (n == "busy-ms") return dec(&c.faults.dwBusyMs);
        if (n == "transcript") return !(c.szTranscriptPath = v).empty();
        if (n == "store-dir") return !(c.szStoreDir = v).empty();
        if (n == "tty-name") return !v.empty() && v.find('/') == std::string::npos && ((c.serial.szTtyName = v), true);
        if (n == "tty-kind") return (v == "acm" || v == "usb-serial" || v == "uart") && ((c.serial.szKind = v), true);
        if (n == "tty-vendor") return hex16(&c.serial.wVendorId);
        if (n == "baud") return dec(&c.serial.dwBaud);
        if (n == "help") return *pbHelp = true;
        return false;
    };
    if (!Walk(args, RunFlags(), handle, pError)) return false;
    if (c.szTransport == "serial" && c.serial.szSysroot.empty()) {
        *pError = "--transport=serial needs --sysroot";
        return false;
    }
    if (c.szTransport == "usb" && c.usb.szSysroot.empty()) {
        *pError = "--transport=usb needs --sysroot";
        return false;
    }
    if (c.szTransport == "node" && (c.gadget.szNode.empty() || c.gadget.szGadget.empty() != c.gadget.szUdc.empty())) {
        *pError = "--transport=node needs --node, and --gadget with --udc for a USB gadget";
        return false;
    }
    if (flash >= 0) c.timing.dwFlashMs = static_cast<DWORD>(flash);
    if (restart >= 0) c.timing.dwRestartMs = static_cast<DWORD>(restart);
    if (idle >= 0) c.timing.dwDataIdleMs = static_cast<DWORD>(idle);
    *pConfig = std::move(c);
    return true;
}

bool ParseMakeUpdateArgs(const std::vector<std::string>& args, UpdateFileRequest* pRequest, bool* pbHelp, std::string* pError) {
    UpdateFileRequest s;
    *pbHelp = false;
    auto handle = [&](const std::string& n, const std::string& v) -> bool {
        unsigned long x = 0;
        if (n == "kind") return !(s.szKind = v).empty();
        if (n == "type-id") return ParseNumber(v, 16, 0xFF, &x) && ((s.bTypeId = static_cast<BYTE>(x)), true);
        if (n == "rom-id") return ParseNumber(v, 16, 0xFF, &x) && ((s.bRomId = static_cast<BYTE>(x)), true);
        if (n == "version-text") return IsPrintableText(v) && v.size() <= 8 && !(s.szVersion = v).empty();
        if (n == "size") return ParseNumber(v, 10, 0x7FFFFFFFul, &x) && ((s.cbSize = static_cast<DWORD>(x)), true);
        if (n == "seed") return ParseNumber(v, 10, 0xFFFFFFFFul, &x) && ((s.dwSeed = static_cast<DWORD>(x)), true);
        if (n == "tail") return !(s.szTail = v).empty();
        if (n == "out-dir") return !(s.szDir = v).empty();
        if (n == "help") return *pbHelp = true;
        return false;
    };
    if (!Walk(args, MakeFlags(), handle, pError)) return false;
    *pRequest = std::move(s);
    return true;
}

}  // namespace sim
