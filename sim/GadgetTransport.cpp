#include "sim/GadgetTransport.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fstream>

#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "sim/PrinterCore.h"
#include "sim/Transcript.h"

namespace sim {
namespace {

constexpr std::size_t kReadChunk = 4096;
// The printer's node opens only once the host has configured the device.
constexpr DWORD kOpenRetryMs = 20;

bool Due(DWORD at, DWORD now) { return static_cast<std::int32_t>(at - now) <= 0; }

}  // namespace

GadgetTransport::GadgetTransport(const GadgetConfig& config, PrinterCore& core, Transcript& transcript)
    : m_config(config), m_core(core), m_transcript(transcript) {}

GadgetTransport::~GadgetTransport() { Close(); }

BOOL GadgetTransport::Open() {
    const bool bGadgetOk = m_config.szGadget.empty() || static_cast<bool>(std::ifstream(m_config.szGadget + "/UDC"));
    if (!bGadgetOk || m_config.szNode.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

bool GadgetTransport::Bind(bool bBind) {
    if (m_config.szGadget.empty()) return true;
    std::ofstream udc(m_config.szGadget + "/UDC", std::ios::trunc);
    udc << (bBind ? m_config.szUdc : std::string()) << "\n";
    udc.flush();
    return static_cast<bool>(udc);
}

void GadgetTransport::Update(const char* pszReason) {
    const bool bWant = m_bReachable && m_bPlugged && !m_bOffBus;
    if (bWant == m_bBound) return;
    if (!bWant) {
        CloseNode();
        Bind(false);
        m_bBound = false;
        m_transcript.Add("link", std::move(Fields().Str("state", "down").Str("reason", pszReason)));
        return;
    }
    if (!Bind(true)) {
        m_transcript.Add("link", std::move(Fields().Str("state", "failed").Str("reason", "bind")));
        return;
    }
    m_bBound = true;
    m_dwNextOpen = GetTickCount();
    m_transcript.Add("link", std::move(Fields().Str("state", "up").Str("reason", pszReason)));
}

void GadgetTransport::SetReachable(bool bReachable, bool /*bRefuse*/) {
    m_bReachable = bReachable;
    Update(m_bStarted ? "restart" : "start");
    m_bStarted = true;
}

void GadgetTransport::SetPlugged(bool bPlugged) {
    m_bPlugged = bPlugged;
    Update(bPlugged ? "replug" : "unplug");
}

void GadgetTransport::TryOpenNode(DWORD now) {
    if (m_node.Valid() || !m_bBound || !Due(m_dwNextOpen, now)) return;
    UniqueFd fd(::open(m_config.szNode.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.Valid()) {
        m_dwNextOpen = now + kOpenRetryMs;
        return;
    }
    termios tio{};
    if (::tcgetattr(fd.Get(), &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd.Get(), TCSANOW, &tio);
    }
    m_node = std::move(fd);
}

void GadgetTransport::CloseNode() {
    m_node.Reset();
    m_out.clear();
}

void GadgetTransport::AddWaits(std::vector<pollfd>& fds, DWORD now, DWORD* pdwWait) {
    if (m_bOffBus) {
        if (Due(m_dwBackAt, now)) {
            m_bOffBus = false;
            Update("reset");
        } else {
            *pdwWait = std::min(*pdwWait, m_dwBackAt - now);
        }
    }
    TryOpenNode(now);
    if (m_bBound && !m_node.Valid()) *pdwWait = std::min(*pdwWait, kOpenRetryMs);
    short ev = 0;
    if (m_node.Valid()) {
        if (m_core.DataReadable(now) && m_core.DataBudget(now) > 0) ev |= POLLIN;
        if (!m_out.empty() || m_core.AnswersQueued() > 0) ev |= POLLOUT;
    }
    fds.push_back({ev != 0 ? m_node.Get() : -1, ev, 0});
}

void GadgetTransport::Service(std::span<const pollfd> fds, DWORD now) {
    if (fds.empty() || !m_node.Valid()) return;
    const short rev = fds[0].revents;
    if (rev & (POLLIN | POLLERR | POLLHUP)) {
        const std::size_t cb = std::min(kReadChunk, m_core.DataBudget(now));
        BYTE buf[kReadChunk];
        const ssize_t n = cb > 0 ? ::read(m_node.Get(), buf, cb) : -1;
        if (n > 0) {
            m_core.OnDataBytes(std::span<const BYTE>(buf, static_cast<std::size_t>(n)), now);
        } else if (cb > 0 && (n == 0 || (errno != EAGAIN && errno != EINTR))) {
            // The host's side went away (a hung-up tty, an unconfigured printer): open again.
            CloseNode();
            m_dwNextOpen = now + kOpenRetryMs;
            return;
        }
    }
    Flush();
}

void GadgetTransport::Flush() {
    const std::size_t cbQueued = m_core.AnswersQueued();
    if (cbQueued > 0) {
        std::vector<BYTE> more = m_core.TakeAnswers(cbQueued);
        m_out.insert(m_out.end(), more.begin(), more.end());
    }
    while (!m_out.empty() && m_node.Valid()) {
        const ssize_t n = ::write(m_node.Get(), m_out.data(), m_out.size());
        if (n <= 0) return;  // the host reads later
        m_out.erase(m_out.begin(), m_out.begin() + n);
    }
}

// A dropped link on USB is the printer leaving the bus; it enumerates again after the
// replug time.
void GadgetTransport::DropDataLinks(const char* pszReason) {
    if (!m_bBound) return;
    CloseNode();
    Bind(false);
    m_bBound = false;
    m_transcript.Add("link", std::move(Fields().Str("state", "down").Str("reason", pszReason)));
    m_bOffBus = true;
    m_dwBackAt = GetTickCount() + m_config.dwReplugMs;
}

void GadgetTransport::Close() {
    CloseNode();
    if (m_bBound) Bind(false);
    m_bBound = false;
}

}  // namespace sim
