#pragma once
// Finds printers on serial lines: the ttys of the three kinds sysfs shows under
// $KELVO_SYSROOT/sys/class/tty (a UART with hardware, a USB CDC-ACM device, a USB-serial
// adapter), each opened exclusively, with retries for 5000 ms while another program holds
// it. A USB CDC-ACM line, and any tty without modem lines (a pty), is listed once it
// opens; a UART or USB-serial line only when DSR is on and carrier detect off within
// 500 ms. Lines are the tty name followed by a TAB, in sorted order.
#include <functional>
#include <string>

#include "discovery/UtilPort.h"
#include "platform/Types.h"
#include "port/ComLines.h"

class CUtilCom : public CUtilPort {
public:
    static constexpr DWORD kOpenRetryMs = 5000;
    static constexpr DWORD kOpenRetrySleepMs = 50;
    static constexpr DWORD kModemWaitMs = 500;

    // Stops (FALSE) or starts (TRUE) the services that may hold the ports (the print
    // spooler and the maker's POS service); results are not used.
    using ServiceControl = std::function<void(BOOL bStart)>;

    // pLines: the modem line requests (nullptr: the kernel's). services may be empty.
    explicit CUtilCom(ServiceControl services = {}, IComLines* pLines = nullptr);

    int EnumPorts(IPortList* pListBox, std::span<std::string> entries) override;
    // One probe: TRUE when the port named is to be listed. Blocks up to about 5.5 s.
    BOOL ProbePort(const std::string& name, TtyKind kind);

private:
    ServiceControl m_services;
    IComLines& m_lines;
};
