#pragma once
// A log of its own for each test, under a temporary system root, and a look at its lines.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "log/Log.h"
#include "support/TempDir.h"

class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(m_root / "var/log");
        ::setenv("KELVO_SYSROOT", m_root.Path().c_str(), 1);
        ::setenv("XDG_STATE_HOME", (m_root / "state").c_str(), 1);
        LogResetForTest();
        ASSERT_EQ(LogSetup(LOG_PROGRAM_MASK, "Kelvo"), TRUE);
    }
    void TearDown() override {
        LogResetForTest();
        ::unsetenv("KELVO_SYSROOT");
        ::unsetenv("XDG_STATE_HOME");
    }

    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::string text = ReadWholeFile(m_root / "var/log/ZAQ/Logs/Kelvo.log");
        std::size_t pos = 0, end;
        while ((end = text.find("\r\n", pos)) != std::string::npos) {
            lines.push_back(text.substr(pos, end - pos));
            pos = end + 2;
        }
        return lines;
    }
    // Lines of this level letter and error code whose message is exactly `message`.
    int CountLines(char chLevel, DWORD dwError, const std::string& message) const {
        char head[32];
        std::snprintf(head, sizeof head, "[%c] [%04u : ", chLevel, static_cast<unsigned>(dwError));
        int n = 0;
        for (const std::string& line : LogLines())
            if (line.find(head) != std::string::npos && line.ends_with("] : " + message)) ++n;
        return n;
    }
    bool HasLine(char chLevel, DWORD dwError, const std::string& message) const {
        return CountLines(chLevel, dwError, message) == 1;
    }
    std::string LogText() const { return ReadWholeFile(m_root / "var/log/ZAQ/Logs/Kelvo.log"); }

    TempDir m_root;
};
