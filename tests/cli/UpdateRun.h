#pragma once
// Whole update runs of the kelvo-cli program against the simulated printer on loopback.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "port/Icmp.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "support/SimLan.h"
#include "support/TempDir.h"
#include "Pty.h"
#include "RunProgram.h"

namespace cli_test {

inline const std::string kCli = KELVO_CLI_EXE;
constexpr BYTE kTypeId = 0x22;  // a model without a special first block over LAN
constexpr const char* kModelRow = "34,\"KV-T34\",M|K,IF_TCP,0\n";

// The result object with its run time, which varies, as "duration_ms":N.
inline std::string WithoutDuration(const std::string& json) {
    return std::regex_replace(json, std::regex("\"duration_ms\":[0-9]+"), "\"duration_ms\":N");
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Addresses of their own, so that runs of other suites never meet this one's printers.
inline std::string UniqueAddress() {
    static int n = 0;  // one suite per process
    return "127.77." + std::to_string(::getpid() % 250 + 1) + "." + std::to_string(++n % 250 + 1);
}

class UpdateRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CIcmpEcho().Valid()) GTEST_SKIP() << "no ICMP echo socket here (ping_group_range, no CAP_NET_RAW)";
        for (const char* psz : {"work", "config", "run", "root/var/log"}) std::filesystem::create_directories(m_dir / psz);
        m_dir.Write("work/config.ini", kModelRow);
        m_env = {{"XDG_CONFIG_HOME", m_dir / "config"}, {"XDG_RUNTIME_DIR", m_dir / "run"}, {"XDG_STATE_HOME", m_dir / "state"},
                 {"KELVO_SYSROOT", m_dir / "root"}, {"LC_ALL", "C"}};
    }
    // An update file in the work folder, or in the folder given (relative to the test's).
    sim::MadeFile MakeFile(const std::string& kind, BYTE bRomId, DWORD cbSize, const std::string& folder = "work") {
        sim::UpdateFileRequest request;
        request.szKind = kind;
        request.bTypeId = kTypeId;
        request.bRomId = bRomId;
        request.cbSize = cbSize;
        request.szDir = m_dir / folder;
        sim::MadeFile made;
        EXPECT_TRUE(sim::MakeUpdateFile(request, &made));
        return made;
    }
    void StartPrinter(BYTE bRomId, const sim::Faults& faults = {}, WORD wKanjiChecksum = 0) {
        sim::Config config;
        config.state.bTypeId = kTypeId;
        config.state.bRomId = bRomId;
        config.state.wChecksum[sim::KIND_KANJI] = wKanjiChecksum;
        config.faults = faults;
        m_printer = StartLanPrinter(config, m_address);
        ASSERT_TRUE(m_printer);
        m_env["KELVO_LAN_PORTS"] = LanPortsOf(*m_printer);
    }
    ProgramResult Cli(std::vector<std::string> args, const TestPty* pTerminal = nullptr) {
        args.insert(args.begin(), kCli);
        return RunProgram(args, m_env, m_dir / "work", pTerminal ? pTerminal->Terminal() : -1,
                          pTerminal ? pTerminal->Master() : -1);
    }
    std::vector<sim::SimEvent> Transfers() const {
        std::vector<sim::SimEvent> ends;
        for (const sim::SimEvent& e : m_printer->Transcript()) {
            if (e.szName == "transfer_end") ends.push_back(e);
        }
        return ends;
    }

    TempDir m_dir;
    std::map<std::string, std::string> m_env;
    std::string m_address = UniqueAddress();
    std::unique_ptr<sim::Printer> m_printer;
};

}  // namespace cli_test
