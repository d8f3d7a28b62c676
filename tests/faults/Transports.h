#pragma once
// The transports of the fault matrix: each starts the simulated printer on its own kind of
// link, names the port the engine opens, and counts this process's descriptors that still
// reach the printer. A new transport is one more class here and one more entry in
// AllTransports().
#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/UpdateFixture.h"
#include "engine/Kelvo.h"
#include "support/SimLan.h"

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

inline std::vector<std::string> AllTransports() { return {"lan"}; }

inline std::unique_ptr<FaultTransport> MakeFaultTransport(const std::string& name) {
    if (name == "lan") return std::make_unique<LanFaultTransport>();
    return nullptr;
}
