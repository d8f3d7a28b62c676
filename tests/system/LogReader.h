#pragma once
// A log of its own for each test, under a temporary system root, and a look at its lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/Types.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override { m_log.emplace(m_root.Path()); }
    void TearDown() override { m_log.reset(); }

    std::string LogText() const { return m_log->Text(); }
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::string text = LogText();
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

    TempDir m_root;
    std::optional<LogCapture> m_log;
};
