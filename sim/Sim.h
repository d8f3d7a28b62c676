#pragma once
// kelvo-printer-sim as a library: a simulated ZAQ receipt printer that tests start, steer
// and stop, in this process (sim::Printer) or as a child process (sim::PrinterProcess).
// It keeps the printer's side of the update conversation on its own: nothing here is
// shared with the engine or the port drivers.
#include <sys/types.h>

#include <array>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Types.h"
#include "platform/UniqueFd.h"

namespace sim {

// Data kinds whose checksum the printer keeps, in the order of the checksum query letters
// 4B, 43, 5A, 7A.
enum DataKind : int { KIND_KANJI = 0, KIND_CODEPAGE = 1, KIND_CPCL = 2, KIND_ZPL = 3, KIND_COUNT = 4 };

enum class CommandSets { Both, Standard, Extended };

struct PrinterState {
    BYTE bTypeId = 0x1F;                   // answer to DEVICE ID
    BYTE bRomId = 0x05;                    // answer to ROM ID: the firmware it runs
    std::string szVersion;                 // version text; empty: made from Type and ROM ID
    std::array<WORD, KIND_COUNT> wChecksum{};  // per data kind, answer to the checksum query
    bool bBootMode = false;                // boot loader: no answer to DEVICE ID
    // Both: answers each set in that set's framing. Standard/Extended: only that set.
    CommandSets sets = CommandSets::Both;
    bool bSprinkle = false;                // put ignorable bytes into every answer
    std::string szName = "ZAQ Simulated Printer";  // discovery name (at most 32 bytes sent)
    std::array<BYTE, 6> mac{0x02, 0x4B, 0x56, 0x00, 0x00, 0x01};
};

struct Faults {
    bool bSilent = false;        // never answer a command
    DWORD cbDropAfter = 0;       // drop the data link after this many bytes of a transfer (0: off)
    DWORD nDropCount = 1;        // how many transfers the drop hits
    bool bRefuse = false;        // refuse TCP connections (data and status)
    bool bGarbage = false;       // answer bytes that hold no valid frame
    int nWrongRomId = -1;        // 0..255: ROM ID reported after a firmware restart
    DWORD dwReadRate = 0;        // data channel read speed in bytes per second (0: full speed)
    DWORD dwBusyMs = 0;          // busy this long after each start and restart
    // Strict: a transfer belongs to the data connection it began on, as on a loader that
    // takes one image per connection. That connection closing mid-transfer, or bytes on
    // another one, end the transfer incomplete (and a data transfer is not stored).
    bool bImagePerConnection = false;
};

struct Timing {
    DWORD dwFlashMs = 0;     // writing the flash after a firmware transfer
    DWORD dwRestartMs = 0;   // unreachable while restarting
    DWORD dwDataIdleMs = 0;  // a data transfer ends after this long without a byte
    static Timing Fast() { return Timing{200, 300, 500}; }
    static Timing Real() { return Timing{6000, 5000, 1000}; }
    // "fast" or "real"; false for another name.
    static bool FromName(std::string_view name, Timing* pTiming);
};

struct LanConfig {
    std::string szAddress = "127.0.0.1";  // 127.x.y.z, or an address of a test namespace
    WORD wDataPort = 9100;                // 0: the kernel chooses
    WORD wStatusPort = 26100;
    WORD wDiscoveryPort = 26100;
    bool bDiscovery = true;
    bool bDiscoveryAny = false;  // bind discovery to every address (broadcasts in a namespace)
};

// The printer on a serial line (a pty published under the system root).
struct SerialConfig {
    std::string szSysroot;        // the tree that gets dev/<name> and sys/class/tty/<name>
    std::string szTtyName = "ttyACM0";
    std::string szKind = "acm";   // acm, usb-serial or uart
    WORD wVendorId = KELVO_USB_VENDOR_ID;  // idVendor of the USB kinds
    DWORD dwBaud = 0;             // line rate that paces reading; 0: unpaced
    std::string szChain;          // USB kinds: the socket's port chain; empty: "2-1.(N + 1)"
    std::string szSerial;         // USB kinds: the device's serial number; empty: none
    // cdc-acm keeps a tty's number until its last close: restarting while the host holds
    // the node, the printer comes back under the next free number.
    bool bAcmKeepsHeldNumber = false;
};

// USB: a usblp node under a system root (see UsbNode.h).
struct UsbConfig {
    std::string szSysroot;
    unsigned nLp = 0;
    bool bNewPort = false;  // after a restart, back under the next free number
    DWORD dwReplugMs = 3000;  // after a dropped link, off the bus this long (re-enumeration)
    WORD wVendor = KELVO_USB_VENDOR_ID;
    WORD wProduct = 0x0101;
    std::string szDeviceId;  // empty: "MFG:ZAQ;CMD:ZAQ;MDL:KV-tt Sim;CLS:PRINTER;"
    std::string szChain;     // the socket's port chain; empty: "1-1.(nLp + 1)"
    std::string szSerial;    // the device's serial number; empty: none
};

// The printer's side of a real device (see GadgetTransport.h).
struct GadgetConfig {
    std::string szGadget;  // the USB gadget's configfs folder, whose UDC file binds it; empty: no gadget
    std::string szUdc;     // the controller to bind to, e.g. dummy_udc.0
    std::string szNode;    // the printer's side: /dev/g_printerN or /dev/ttyGSN
    DWORD dwReplugMs = 3000;  // after a dropped link, off the bus this long
};

// The serial-port stream of a Bluetooth printer, served on a Unix stream socket.
struct StreamConfig {
    std::string szSocketPath;  // empty: no stream transport (unless on RFCOMM)
    std::array<BYTE, 6> rfcommAddress{};  // with bRfcomm: a real RFCOMM listener on this controller
    BYTE bRfcommChannel = 1;
    bool bRfcomm = false;
};

struct Config {
    std::string szTransport = "lan";  // lan, usb, serial or node
    UsbConfig usb;
    GadgetConfig gadget;
    PrinterState state;
    Faults faults;
    Timing timing = Timing::Real();
    std::string szTimingName = "real";
    LanConfig lan;
    SerialConfig serial;
    StreamConfig stream;
    std::string szTranscriptPath;  // JSON lines; empty: kept in memory only
    std::string szStoreDir;        // each stored transfer also written here; empty: none
};

// One transcript entry. Json() is the line written to the file.
struct SimEvent {
    unsigned long long nSeq = 0;
    DWORD dwMs = 0;  // since the printer started
    std::string szName;
    std::vector<std::pair<std::string, std::string>> fields;  // values as JSON text

    bool Has(std::string_view key) const;
    std::string Str(std::string_view key) const;      // a string value without quotes
    long long Int(std::string_view key, long long def = -1) const;
    std::string Json() const;
};

class PrinterLoop;

// One transfer the printer stored: its kind ("FW", "KF", ...) and its bytes as received.
struct StoredImage {
    std::string szKind;
    std::vector<BYTE> bytes;
};

// A simulated printer on LAN, run by a thread of its own. Every member is thread-safe.
class Printer {
public:
    explicit Printer(Config config);
    ~Printer();  // stops
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;

    // Binds every endpoint and starts the printer's thread; it takes connections as soon
    // as this returns TRUE. FALSE with the last error (address in use, bad address, ...).
    BOOL Start();
    // Drops every link, closes the endpoints and joins the thread. Idempotent.
    void Stop();

    WORD DataPort() const;
    WORD StatusPort() const;
    WORD DiscoveryPort() const;

    // The transcript so far, and a wait for an entry that is (or will be) in it.
    std::vector<SimEvent> Transcript() const;
    // Waits until an entry with the name (and matching pred, when given) exists with a
    // sequence number of at least nFromSeq. TRUE and the entry, or FALSE after dwTimeout.
    // pred runs under the transcript's lock: it must not call back into the printer.
    BOOL WaitForEvent(std::string_view name, DWORD dwTimeout, SimEvent* pEvent = nullptr,
                      unsigned long long nFromSeq = 0,
                      const std::function<bool(const SimEvent&)>& pred = {}) const;

    PrinterState State() const;
    // Replaces the printer's state at once (Type ID, ROM ID, checksums, boot mode, ...); a
    // "state" entry marks the moment. An empty version text is made from the IDs.
    void SetState(const PrinterState& state);
    // Takes effect on the printer's thread; a "faults" entry marks the moment.
    void SetFaults(const Faults& faults);
    Faults GetFaults() const;
    // Power cycle: drop links, unreachable for the restart time, back with the same state.
    void PowerCycle();
    // USB: the node's number now, and the cable (an unplugged node stays away).
    unsigned UsbLp() const;
    void SetUsbPlugged(bool bPlugged);
    // Serial: the tty's name now (cdc-acm may give it another after a restart).
    std::string SerialTtyName() const;
    // The bytes of the last transfer that ended (firmware or data, headers included), as
    // received: a test compares them byte for byte with what it meant to send.
    std::vector<BYTE> LastTransferImage() const;
    // The same for every transfer that ended stored, oldest first (the last 16).
    std::vector<StoredImage> StoredImages() const;

private:
    std::unique_ptr<PrinterLoop> m_pLoop;
};

// The program kelvo-printer-sim as a child process. Start returns once the child has
// bound its endpoints (it prints one ready line); Stop ends it with SIGTERM.
class PrinterProcess {
public:
    PrinterProcess() = default;
    ~PrinterProcess();
    PrinterProcess(const PrinterProcess&) = delete;
    PrinterProcess& operator=(const PrinterProcess&) = delete;

    // exe: path of kelvo-printer-sim; args: its flags (the run mode). FALSE with the last
    // error when it cannot start or does not report ready within dwTimeout ms.
    BOOL Start(const std::string& exe, const std::vector<std::string>& args, DWORD dwTimeout = 10000);
    // SIGTERM and wait; returns the exit status (-1 when none ran).
    int Stop();
    pid_t Pid() const { return m_pid; }
    WORD DataPort() const { return m_wData; }
    WORD StatusPort() const { return m_wStatus; }
    WORD DiscoveryPort() const { return m_wDiscovery; }

private:
    pid_t m_pid = -1;
    UniqueFd m_out;
    WORD m_wData = 0, m_wStatus = 0, m_wDiscovery = 0;
};

// The ready line the program prints, and its parser (for PrinterProcess and scripts).
std::string FormatReadyLine(const std::string& address, WORD wData, WORD wStatus, WORD wDiscovery);
bool ParseReadyLine(std::string_view line, WORD* pData, WORD* pStatus, WORD* pDiscovery);

// Version text a printer reports when none is given: 7 characters, 8 from ROM ID 0xF0.
std::string DefaultVersionText(BYTE bTypeId, BYTE bRomId);

}  // namespace sim
