#pragma once
// A temporary system root with the log in it, and simulated usblp nodes whose printer end
// the test drives itself.
#include <gtest/gtest.h>
#include <poll.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "log/Log.h"
#include "platform/Tick.h"
#include "port/Globals.h"
#include "sim/UsbNode.h"
#include "support/TempDir.h"

class UsbFixture : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(m_root / "var/log");
        ::setenv("KELVO_SYSROOT", m_root.Path().c_str(), 1);
        LogResetForTest();
        LogSetup(0xFFF, "Usb");
    }
    void TearDown() override {
        if (m_hSdk != 0) pfnClosePort(m_hSdk, 0);
        m_nodes.clear();
        LogResetForTest();
        ::unsetenv("KELVO_SYSROOT");
    }

    sim::UsbNode& AddNode(unsigned nLp, sim::UsbIdentity identity = {}, bool bPublish = true) {
        m_nodes.push_back(std::make_unique<sim::UsbNode>(m_root.Path(), nLp, identity));
        if (bPublish) {
            EXPECT_TRUE(m_nodes.back()->Publish());
        }
        return *m_nodes.back();
    }
    std::string LogText() const {
        LogFlush();
        return ReadWholeFile(m_root / "var/log/ZAQ/Logs/Usb.log");
    }
    // Waits until the log holds text, at most dwTimeout ms.
    bool WaitForLog(const std::string& text, DWORD dwTimeout = 5000) const {
        for (Deadline limit(dwTimeout);; Sleep(10)) {
            if (LogText().find(text) != std::string::npos) return true;
            if (limit.Expired()) return false;
        }
    }
    static std::size_t Occurrences(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
        return n;
    }

    // What the host wrote to the node, until cbWant bytes came or dwLimit ms passed
    // without a byte.
    static std::vector<BYTE> DrainMaster(int master, std::size_t cbWant, DWORD dwQuiet = 2000) {
        std::vector<BYTE> got;
        BYTE buf[8192];
        while (got.size() < cbWant) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(dwQuiet)) <= 0) break;
            ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    TempDir m_root;
    std::vector<std::unique_ptr<sim::UsbNode>> m_nodes;
    HSDK m_hSdk = 0;
};
