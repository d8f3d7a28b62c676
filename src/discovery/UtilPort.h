#pragma once
// The discovery interface: one object per connection kind fills a list of ports.
#include <span>
#include <string>
#include <vector>

// The list a discovery fills (the dialog's list box, the terminal's list, a test's).
// Each line is a port name, optionally followed by a TAB and a description.
class IPortList {
public:
    virtual ~IPortList() = default;
    virtual void Clear() = 0;
    // Inserts in sorted position (USB and serial lines). Returns the line's index.
    virtual int AddSorted(const std::string& line) = 0;
    // Appends at the end, keeping the order of discovery (LAN and Bluetooth lines).
    virtual int Append(const std::string& line) = 0;
    virtual int Count() const = 0;
};

// The port name of a list line: its text up to the first TAB, or the whole line.
std::string PortNameOfLine(const std::string& line);

class CUtilPort {
public:
    virtual ~CUtilPort() = default;
    // Empties the list, discovers the ports of this kind and adds one line per port.
    // Blocks for the length of the search. Returns the number of ports found (0 when
    // none or on failure). An enumerator that has a per-port text to hand over (the
    // USB device path) stores it in entries, index for index with the ports counted,
    // after clearing what an earlier call stored; the others leave entries alone.
    virtual int EnumPorts(IPortList* pListBox, std::span<std::string> entries) = 0;
};

// A plain list of lines, for the terminal front end and tests.
class CPortLineList : public IPortList {
public:
    void Clear() override { m_lines.clear(); }
    int AddSorted(const std::string& line) override;
    int Append(const std::string& line) override;
    int Count() const override { return static_cast<int>(m_lines.size()); }
    const std::vector<std::string>& Lines() const { return m_lines; }

private:
    std::vector<std::string> m_lines;
};
