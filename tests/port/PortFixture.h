#pragma once
// A port test: a temporary system root, the log with every category, the test port kinds,
// and the log read back line by line.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "support/TempDir.h"

class PortFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::vector<std::string> LogLines() const;
    // Index of the first message line at or after nFrom with the level letter whose text
    // holds the given text, or -1.
    int FindLine(char chLevel, const std::string& text, int nFrom = 0) const;
    bool HasLine(char chLevel, const std::string& text) const { return FindLine(chLevel, text) >= 0; }
    // FindLine, waiting for the line at most dwTimeout ms.
    int WaitForLine(char chLevel, const std::string& text, unsigned dwTimeout, int nFrom = 0) const;
    bool LogContains(const std::string& text) const { return m_pLog->Contains(text); }

    TempDir m_root;
    std::unique_ptr<LogCapture> m_pLog;
};

#define EXPECT_LOG(level, text) EXPECT_TRUE(HasLine(level, text)) << "missing [" << (level) << "] " << (text)
