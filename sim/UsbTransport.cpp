#include "sim/UsbTransport.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "sim/PrinterCore.h"
#include "sim/Transcript.h"

namespace sim {
namespace {

constexpr std::size_t kReadChunk = 4096;

UsbIdentity IdentityOf(const UsbConfig& config, const PrinterState& state) {
    UsbIdentity id;
    id.wVendor = config.wVendor;
    id.wProduct = config.wProduct;
    id.szDeviceId = config.szDeviceId.empty() ? DefaultUsbDeviceId(state) : config.szDeviceId;
    id.szChain = config.szChain;
    id.szSerial = config.szSerial;
    return id;
}

}  // namespace

std::string UsbPortNameOf(unsigned nLp) { return StrPrintf("USB%03u", nLp + 1); }

std::string DefaultUsbDeviceId(const PrinterState& state) {
    return StrPrintf("MFG:ZAQ;CMD:ZAQ;MDL:KV-%02X Sim;CLS:PRINTER;", state.bTypeId);
}

UsbTransport::UsbTransport(const UsbConfig& config, const PrinterState& state, PrinterCore& core, Transcript& transcript)
    : m_config(config), m_core(core), m_transcript(transcript),
      m_node(config.szSysroot, config.nLp, IdentityOf(config, state)) {}

UsbTransport::~UsbTransport() { Close(); }

BOOL UsbTransport::Open() {
    if (m_config.szSysroot.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Published by the first SetReachable; a failure to publish shows here.
    if (!m_node.Publish()) return FALSE;
    m_node.Withdraw();
    return TRUE;
}

void UsbTransport::Update(const char* pszReason) {
    const bool bWant = m_bReachable && m_bPlugged && !m_bOffBus;
    if (bWant == m_node.Published()) return;
    if (!bWant) {
        m_node.Withdraw();
        m_out.clear();
        m_transcript.Add("link", std::move(Fields().Str("state", "down").Str("reason", pszReason)));
        return;
    }
    if (m_bWasDown && m_config.bNewPort) m_node.SetLp(UsbNode::FreeLp(m_config.szSysroot, m_node.Lp() + 1));
    m_bWasDown = false;
    if (!m_node.Publish()) {
        m_transcript.Add("link", std::move(Fields().Str("state", "failed").Int("error", GetLastError())));
        return;
    }
    m_transcript.Add("link", std::move(Fields()
                                           .Str("state", "up")
                                           .Str("reason", pszReason)
                                           .Int("lp", m_node.Lp())
                                           .Str("port", UsbPortNameOf(m_node.Lp()))));
}

void UsbTransport::SetReachable(bool bReachable, bool /*bRefuse*/) {
    if (!bReachable && m_bReachable) m_bWasDown = true;
    m_bReachable = bReachable;
    Update(m_bStarted ? "restart" : "start");
    m_bStarted = true;
}

void UsbTransport::SetPlugged(bool bPlugged) {
    m_bPlugged = bPlugged;
    Update(bPlugged ? "replug" : "unplug");
}

void UsbTransport::AddWaits(std::vector<pollfd>& fds, DWORD now, DWORD* pdwWait) {
    if (m_bOffBus) {
        const DWORD dwLeft = static_cast<std::int32_t>(m_dwBackAt - now) > 0 ? m_dwBackAt - now : 0;
        if (dwLeft == 0) {
            m_bOffBus = false;
            Update("reset");
        } else {
            *pdwWait = std::min(*pdwWait, dwLeft);
        }
    }
    short ev = 0;
    if (m_node.Published()) {
        if (m_core.DataReadable(now) && m_core.DataBudget(now) > 0) ev |= POLLIN;
        if (!m_out.empty() || m_core.AnswersQueued() > 0) ev |= POLLOUT;
    }
    fds.push_back({ev != 0 ? m_node.Master() : -1, ev, 0});
}

void UsbTransport::Service(std::span<const pollfd> fds, DWORD now) {
    if (fds.empty() || !m_node.Published()) return;
    const short rev = fds[0].revents;
    if (rev & POLLIN) {
        const std::size_t cb = std::min(kReadChunk, m_core.DataBudget(now));
        BYTE buf[kReadChunk];
        const ssize_t n = cb > 0 ? ::read(m_node.Master(), buf, cb) : 0;
        if (n > 0) m_core.OnDataBytes(std::span<const BYTE>(buf, static_cast<std::size_t>(n)), now);
    }
    if (m_node.Published()) Flush();
}

void UsbTransport::Flush() {
    const std::size_t cbQueued = m_core.AnswersQueued();
    if (cbQueued > 0) {
        std::vector<BYTE> more = m_core.TakeAnswers(cbQueued);
        m_out.insert(m_out.end(), more.begin(), more.end());
    }
    while (!m_out.empty()) {
        const ssize_t n = ::write(m_node.Master(), m_out.data(), m_out.size());
        if (n <= 0) return;  // the host reads later
        m_out.erase(m_out.begin(), m_out.begin() + n);
    }
}

// A dropped link on USB is the printer leaving the bus: the host's open node fails, and
// only after the time a device takes to enumerate again does a fresh one appear under the
// same number (a host never sees it vanish and return between two writes).
void UsbTransport::DropDataLinks(const char* pszReason) {
    if (!m_node.Published()) return;
    m_node.Withdraw();
    m_out.clear();
    m_transcript.Add("link", std::move(Fields().Str("state", "down").Str("reason", pszReason)));
    m_bOffBus = true;
    m_dwBackAt = GetTickCount() + m_config.dwReplugMs;
}

void UsbTransport::Close() {
    m_node.Withdraw();
    m_out.clear();
}

}  // namespace sim
