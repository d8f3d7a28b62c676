#pragma once
// A temporary system root with a log folder, and the log file read back as lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

class LogCapture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::vector<std::string> LogLines() const;
    // Index of the first line at or after nFrom with the level letter and the text, or -1.
    int FindLine(char chLevel, const std::string& text, int nFrom = 0) const;
    bool HasLine(char chLevel, const std::string& text) const { return FindLine(chLevel, text) >= 0; }
    // Any entry (message or dump heading) that holds the text.
    bool LogContains(const std::string& text) const;

    std::string m_root;
};

#define EXPECT_LOG(level, text) EXPECT_TRUE(HasLine(level, text)) << "missing [" << (level) << "] " << (text)
