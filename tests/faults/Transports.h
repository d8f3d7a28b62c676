#pragma once
// The transports of the fault matrix: each starts the simulated printer on its own kind of
// link, names the port the engine opens, and counts this process's descriptors that still
// reach the printer. A new transport is one more class here and one more entry in
// AllTransports().
#include <arpa/inet.h>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "MockBluez.h"
#include "discovery/UtilPort.h"
#include "discovery/UtilUsb.h"
#include "e2e/UpdateFixture.h"
#include "engine/Kelvo.h"
#include "port/Com.h"
#include "port/ComConf.h"
#include "support/SimBluetooth.h"
#include "support/SimLan.h"
#include "support/SimSerial.h"
#include "support/SimUsb.h"

class FaultTransport {
public:
    virtual ~FaultTransport() = default;
    virtual const char* Name() const = 0;
    virtual int PortKind() const = 0;
    virtual std::string PortName() const = 0;
    // Device URI of a print queue on this printer (the spooler is stopped for it).
    virtual std::string QueueUri() const = 0;
    // Starts the printer; false when the link cannot be made here.
    virtual bool Start(sim::Config config) = 0;
    virtual sim::Printer& Printer() = 0;
    virtual void Stop() = 0;
    // Descriptors of this process that still reach the printer.
    virtual int DeviceFds() const = 0;
    // Whether a print queue on the printer names the port the engine opens (the spooler
    // is stopped only then).
    virtual bool QueueOnPort() const { return true; }
    // What the transport's own settings must look like after the runs (bRetried: a retry
    // run followed the first); keptLog is the log when the run is still in it, else empty.
    virtual void CheckSettings(bool bRetried, const std::string& keptLog) const {
        (void)bRetried;
        (void)keptLog;
    }
};

// The inodes of this process's open sockets.
inline std::set<unsigned long> OwnSocketInodes() {
    std::set<unsigned long> inodes;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return inodes;
    while (dirent* e = ::readdir(dir)) {
        char target[64] = {};
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        unsigned long inode = 0;
        if (n > 0 && std::sscanf(target, "socket:[%lu]", &inode) == 1) inodes.insert(inode);
    }
    ::closedir(dir);
    return inodes;
}

// The system root of the test (UpdateFixture points KELVO_SYSROOT at it).
inline std::string TestSysroot() {
    const char* psz = std::getenv("KELVO_SYSROOT");
    return psz != nullptr ? psz : "";
}

// Where a symbolic link points; empty when it is none.
inline std::string LinkTarget(const std::string& path) {
    char target[512] = {};
    ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// Descriptors of this process (beyond the standard three) open on a pty's slave end,
// less the one the printer keeps on its published node. The printer's ptys are the only
// ones a test opens, so every other slave descriptor is the host's.
inline int HostPtyFds(const std::string& node) {
    const std::string published = LinkTarget(node);
    int nCount = 0;
    bool bPrinterOwn = false;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.' || std::atoi(e->d_name) <= 2) continue;
        std::string target = LinkTarget(std::string("/proc/self/fd/") + e->d_name);
        if (target.rfind("/dev/pts/", 0) != 0) continue;
        if (!bPrinterOwn && !published.empty() && target == published) {
            bPrinterOwn = true;
            continue;
        }
        ++nCount;
    }
    ::closedir(dir);
    return nCount;
}

class LanFaultTransport : public FaultTransport {
public:
    const char* Name() const override { return "lan"; }
    int PortKind() const override { return static_cast<int>(PORT_KIND_LAN); }
    std::string PortName() const override { return m_address; }
    std::string QueueUri() const override { return "socket://" + m_address + ":9100"; }
    bool Start(sim::Config config) override {
        m_printer = StartLanPrinter(std::move(config), m_address);
        if (!m_printer) return false;
        ::setenv("KELVO_LAN_PORTS", LanPortsOf(*m_printer).c_str(), 1);
        return true;
    }
    sim::Printer& Printer() override { return *m_printer; }
    void Stop() override {
        m_printer.reset();
        ::unsetenv("KELVO_LAN_PORTS");
    }
    // Our sockets whose far end is the printer's data or status port.
    int DeviceFds() const override {
        if (!m_printer) return 0;
        std::set<unsigned long> own = OwnSocketInodes();
        in_addr addr{};
        ::inet_pton(AF_INET, m_address.c_str(), &addr);
        std::ifstream tcp("/proc/self/net/tcp");
        std::string line;
        std::getline(tcp, line);  // header
        int nCount = 0;
        while (std::getline(tcp, line)) {
            std::istringstream in(line);
            std::string sl, local, remote, state, queues, timer, retr;
            unsigned long uid = 0, timeout = 0, inode = 0;
            in >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
            unsigned long ip = 0;
            unsigned port = 0;
            if (std::sscanf(remote.c_str(), "%lX:%X", &ip, &port) != 2) continue;
            bool bPrinter = static_cast<std::uint32_t>(ip) == addr.s_addr &&
                            (port == m_printer->DataPort() || port == m_printer->StatusPort());
            if (bPrinter && own.count(inode) != 0) ++nCount;
        }
        return nCount;
    }

private:
    std::string m_address = UniqueE2eAddress();
    std::unique_ptr<sim::Printer> m_printer;
};

// The usblp node lp0 under the test's root; USB discovery is the engine's, so that it
// finds the printer again after its restart under the next free number.
class UsbFaultTransport : public FaultTransport {
public:
    const char* Name() const override { return "usb"; }
    int PortKind() const override { return static_cast<int>(PORT_KIND_USB); }
    std::string PortName() const override { return m_printer ? UsbPortOf(*m_printer) : "USB001"; }
    std::string QueueUri() const override { return "usb://ZAQ/KV-22%20Sim?serial=SIM0001"; }
    bool Start(sim::Config config) override {
        m_printer = StartUsbPrinter(std::move(config), TestSysroot(), 0, true);
        if (!m_printer) return false;
        SetUsbDiscovery(&m_usb);
        // The list the front end shows before a run: the names seen before the restart.
        CPortLineList list;
        std::vector<std::string> entries(CUtilUsb::kMaxNames);
        return m_usb.EnumPorts(&list, entries) == 1;
    }
    sim::Printer& Printer() override { return *m_printer; }
    void Stop() override {
        SetUsbDiscovery(nullptr);
        m_printer.reset();
    }
    int DeviceFds() const override {
        return HostPtyFds(TestSysroot() + "/dev/usb/lp" + std::to_string(m_printer ? m_printer->UsbLp() : 0));
    }

private:
    CUtilUsb m_usb;
    std::unique_ptr<sim::Printer> m_printer;
};

// A USB-ACM line under the test's root, with the user's choice of settings (57600 baud,
// told apart from the fixed 115200 of a retry) held for the port as the port list leaves it.
class SerialFaultTransport : public FaultTransport {
public:
    static constexpr const char* kTty = "ttyACM0";
    static constexpr DWORD kChosenBaud = 57600;

    const char* Name() const override { return "serial"; }
    int PortKind() const override { return static_cast<int>(PORT_KIND_COM); }
    std::string PortName() const override { return kTty; }
    std::string QueueUri() const override { return std::string("serial:/dev/") + kTty + "?baud=57600"; }
    bool Start(sim::Config config) override {
        RegisterPortKind(PORT_KIND_COM, MakeComPort);
        ResetDefaultCommConfigsForTest();
        auto record = std::make_shared<ComConfigRecord>(NewComConfigRecord(kTty));
        record->ccChosen.dcb.BaudRate = kChosenBaud;
        theApp.pComConfig = record;
        m_record = record;
        m_printer = StartSerialPrinter(std::move(config), TestSysroot(), kTty);
        return m_printer != nullptr;
    }
    sim::Printer& Printer() override { return *m_printer; }
    void Stop() override {
        m_printer.reset();
        m_record.reset();
        ResetDefaultCommConfigsForTest();
    }
    int DeviceFds() const override { return HostPtyFds(TestSysroot() + "/dev/" + kTty); }

    // The choice applied at the first run's open, the fixed setting at a retry's, and the
    // choice back as the port's default at the end, whatever the ending.
    void CheckSettings(bool bRetried, const std::string& keptLog) const override {
        ASSERT_TRUE(m_record);
        EXPECT_EQ(m_record->ccRemembered.dcb.BaudRate, kChosenBaud) << "the choice was not applied for the run";
        // Only a retry switches to the fixed setting (the model has no third-attempt switch).
        EXPECT_EQ(m_record->ccRestore.dcb.BaudRate, bRetried ? kChosenBaud : 0u);
        COMMCONFIG cc{};
        ASSERT_TRUE(GetDefaultCommConfig(kTty, &cc));
        EXPECT_EQ(cc.dcb.BaudRate, kChosenBaud) << "the port's default was not restored";
        if (keptLog.empty()) return;
        const std::size_t setup = keptLog.find("Set ComConfig. [57600,8,0,1,0,1,0,0,0,0,2]");
        ASSERT_NE(setup, std::string::npos);
        EXPECT_NE(keptLog.find("[ttyACM0] SetComConfig SetCommState(57600,n,8,1,p) ", setup), std::string::npos)
            << "the choice did not reach the line";
        const std::size_t push = keptLog.find("Set ComConfig default. [115200,8,0,1,0,1,0,0,0,0,2]");
        if (!bRetried) {
            EXPECT_EQ(push, std::string::npos);
            return;
        }
        ASSERT_NE(push, std::string::npos);
        EXPECT_LT(setup, push);
        EXPECT_NE(keptLog.find("[ttyACM0] SetComConfig SetCommState(115200,n,8,1,p) ", push), std::string::npos)
            << "the fixed setting did not reach the line";
        const std::size_t reset = keptLog.rfind("Reset ComConfig. [57600,8,0,1,0,1,0,0,0,0,2]");
        ASSERT_NE(reset, std::string::npos);
        EXPECT_LT(push, reset);
    }

private:
    std::shared_ptr<ComConfigRecord> m_record;
    std::unique_ptr<sim::Printer> m_printer;
};

// A paired printer whose serial-port profile BlueZ (python3-dbusmock, on the bus that
// also carries the systemd stand-in) connects to the simulator's stream socket.
class BluetoothFaultTransport : public FaultTransport {
public:
    static constexpr const char* kAddress = "02:00:5A:00:00:01";

    const char* Name() const override { return "bluetooth"; }
    int PortKind() const override { return static_cast<int>(PORT_KIND_BLUETOOTH); }
    std::string PortName() const override { return kAddress; }
    // A queue reaches a Bluetooth printer through an rfcomm tty bound to it, never by
    // its address: no queue prints to the port the engine opens.
    std::string QueueUri() const override { return "serial:/dev/rfcomm0?baud=115200"; }
    bool QueueOnPort() const override { return false; }
    bool Start(sim::Config config) override {
        m_socketPath = TestSysroot() + "/printer.sock";
        m_printer = StartBluetoothPrinter(std::move(config), m_socketPath);
        if (!m_printer) return false;
        const char* pszBus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        m_bluez = std::make_unique<MockBluez>(std::string(pszBus != nullptr ? pszBus : ""));
        EXPECT_TRUE(m_bluez->Ok()) << m_bluez->Error();
        return m_bluez->Ok() && m_bluez->AddAdapter() && m_bluez->AddDevice(kAddress, "ZAQ Mobile", 0x040680, true) &&
               m_bluez->ServeProfile(kAddress, m_socketPath);
    }
    sim::Printer& Printer() override { return *m_printer; }
    void Stop() override {
        m_bluez.reset();
        m_printer.reset();
    }
    // Our stream sockets whose far end is the printer's socket (what the profile was
    // handed; the printer's own accepted ends have no named peer).
    int DeviceFds() const override {
        int nCount = 0;
        DIR* dir = ::opendir("/proc/self/fd");
        if (dir == nullptr) return -1;
        while (dirent* e = ::readdir(dir)) {
            if (e->d_name[0] == '.') continue;
            const int fd = std::atoi(e->d_name);
            sockaddr_un peer{};
            socklen_t cb = sizeof peer;
            if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &cb) != 0 || peer.sun_family != AF_UNIX ||
                cb <= offsetof(sockaddr_un, sun_path))
                continue;
            if (std::string(peer.sun_path) == m_socketPath) ++nCount;
        }
        ::closedir(dir);
        return nCount;
    }

private:
    std::string m_socketPath;
    std::unique_ptr<sim::Printer> m_printer;
    std::unique_ptr<MockBluez> m_bluez;
};

inline std::vector<std::string> AllTransports() { return {"lan", "usb", "serial", "bluetooth"}; }

inline std::unique_ptr<FaultTransport> MakeFaultTransport(const std::string& name) {
    if (name == "lan") return std::make_unique<LanFaultTransport>();
    if (name == "usb") return std::make_unique<UsbFaultTransport>();
    if (name == "serial") return std::make_unique<SerialFaultTransport>();
    if (name == "bluetooth") return std::make_unique<BluetoothFaultTransport>();
    return nullptr;
}
