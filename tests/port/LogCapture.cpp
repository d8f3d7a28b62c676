#include "LogCapture.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/Log.h"
#include "TestPort.h"

void LogCapture::SetUp() {
    char tmpl[] = "/tmp/kelvo-port-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_root = tmpl;
    std::filesystem::create_directories(m_root + "/var/log");
    setenv("KELVO_SYSROOT", m_root.c_str(), 1);
    LogResetForTest();
    // Every category, so the trace and debug lines can be checked too.
    ASSERT_EQ(LogSetup(0x0FFF, "PortTest"), 1);
    RegisterTestPortKinds();
}

void LogCapture::TearDown() {
    std::error_code ec;
    std::filesystem::remove_all(m_root, ec);
}

std::vector<std::string> LogCapture::LogLines() const {
    std::ifstream in(LogFolder() + "/PortTest.log", std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

int LogCapture::FindLine(char chLevel, const std::string& text, int nFrom) const {
    const std::vector<std::string> lines = LogLines();
    const std::string level = std::string("] [") + chLevel + "] [";
    for (int i = nFrom; i < static_cast<int>(lines.size()); ++i) {
        const std::string& line = lines[static_cast<size_t>(i)];
        if (line.find(level) == std::string::npos) continue;
        const size_t pos = line.find(" : ", line.find(level) + level.size());
        if (pos != std::string::npos && line.find(text, pos) != std::string::npos) return i;
    }
    return -1;
}

bool LogCapture::LogContains(const std::string& text) const {
    for (const std::string& line : LogLines()) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}
