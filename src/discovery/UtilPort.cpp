#include "discovery/UtilPort.h"

#include <algorithm>

std::string PortNameOfLine(const std::string& line) { return line.substr(0, line.find('\t')); }

int CPortLineList::AddSorted(const std::string& line) {
    auto it = std::upper_bound(m_lines.begin(), m_lines.end(), line);
    return static_cast<int>(m_lines.insert(it, line) - m_lines.begin());
}

int CPortLineList::Append(const std::string& line) {
    m_lines.push_back(line);
    return Count() - 1;
}
