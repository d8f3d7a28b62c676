#include "PortFixture.h"

#include <sstream>

#include "TestPort.h"
#include "log/Log.h"
#include "platform/Tick.h"

namespace {
constexpr const char* LOG_NAME = "PortTest";
}

void PortFixture::SetUp() {
    ASSERT_FALSE(m_root.Path().empty());
    m_pLog = std::make_unique<LogCapture>(m_root.Path(), LOG_NAME);
    // Every category, so the trace and debug lines can be checked too.
    ASSERT_EQ(LogSetup(0x0FFF, LOG_NAME), 1);
    RegisterTestPortKinds();
}

void PortFixture::TearDown() { m_pLog.reset(); }

std::vector<std::string> PortFixture::LogLines() const {
    std::istringstream in(m_pLog->Text());
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

int PortFixture::FindLine(char chLevel, const std::string& text, int nFrom) const {
    const std::vector<std::string> lines = LogLines();
    const std::string level = std::string("] [") + chLevel + "] [";
    for (int i = nFrom; i < static_cast<int>(lines.size()); ++i) {
        const std::string& line = lines[static_cast<size_t>(i)];
        const size_t at = line.find(level);
        if (at == std::string::npos) continue;
        const size_t text_at = line.find("] : ", at + level.size());
        if (text_at != std::string::npos && line.find(text, text_at) != std::string::npos) return i;
    }
    return -1;
}

int PortFixture::WaitForLine(char chLevel, const std::string& text, unsigned dwTimeout, int nFrom) const {
    for (Deadline limit(dwTimeout);; Sleep(10)) {
        const int nAt = FindLine(chLevel, text, nFrom);
        if (nAt >= 0 || limit.Expired()) return nAt;
    }
}
