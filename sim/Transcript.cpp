#include "sim/Transcript.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/Tick.h"

namespace sim {

std::string JsonQuote(std::string_view text) {
    std::string s = "\"";
    for (char c : text) {
        BYTE b = static_cast<BYTE>(c);
        if (c == '"' || c == '\\') {
            s.push_back('\\');
            s.push_back(c);
        } else if (b < 0x20 || b >= 0x7F) {
            s += StrPrintf("\\u%04x", b);  // bytes, not code points: names may be any bytes
        } else {
            s.push_back(c);
        }
    }
    s.push_back('"');
    return s;
}

Fields& Fields::Str(std::string_view key, std::string_view value) {
    m_fields.emplace_back(std::string(key), JsonQuote(value));
    return *this;
}

Fields& Fields::Int(std::string_view key, long long value) {
    m_fields.emplace_back(std::string(key), std::to_string(value));
    return *this;
}

Fields& Fields::Bool(std::string_view key, bool value) {
    m_fields.emplace_back(std::string(key), value ? "true" : "false");
    return *this;
}

Fields& Fields::IntList(std::string_view key, const std::vector<DWORD>& values) {
    std::string s = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) s.push_back(',');
        s += std::to_string(values[i]);
    }
    s.push_back(']');
    m_fields.emplace_back(std::string(key), s);
    return *this;
}

bool SimEvent::Has(std::string_view key) const {
    for (const auto& f : fields)
        if (f.first == key) return true;
    return false;
}

std::string SimEvent::Str(std::string_view key) const {
    for (const auto& f : fields) {
        if (f.first != key) continue;
        const std::string& v = f.second;
        if (v.size() < 2 || v.front() != '"') return v;
        std::string out;
        for (std::size_t i = 1; i + 1 < v.size(); ++i) {
            if (v[i] == '\\' && i + 2 < v.size()) {
                ++i;
                if (v[i] == 'u' && i + 4 < v.size()) {
                    out.push_back(static_cast<char>(std::strtol(v.substr(i + 1, 4).c_str(), nullptr, 16)));
                    i += 4;
                    continue;
                }
            }
            out.push_back(v[i]);
        }
        return out;
    }
    return {};
}

long long SimEvent::Int(std::string_view key, long long def) const {
    for (const auto& f : fields) {
        if (f.first != key) continue;
        char* end = nullptr;
        long long v = std::strtoll(f.second.c_str(), &end, 10);
        return end && *end == '\0' && !f.second.empty() ? v : def;
    }
    return def;
}

std::string SimEvent::Json() const {
    std::string s = StrPrintf("{\"seq\":%llu,\"ms\":%u,\"event\":", nSeq, dwMs) + JsonQuote(szName);
    for (const auto& f : fields) s += "," + JsonQuote(f.first) + ":" + f.second;
    s += "}";
    return s;
}

BOOL Transcript::OpenFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644));
    if (!fd) return SetLastErrorFromErrno(errno);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_file = std::move(fd);
    return TRUE;
}

void Transcript::Add(std::string_view name, Fields fields) {
    std::lock_guard<std::mutex> lock(m_mutex);
    DWORD now = GetTickCount();
    if (!m_bStarted) {
        m_dwStart = now;
        m_bStarted = true;
    }
    SimEvent ev;
    ev.nSeq = m_events.size();
    ev.dwMs = now - m_dwStart;
    ev.szName = std::string(name);
    ev.fields = fields.Take();
    if (m_file) {
        std::string line = ev.Json() + "\n";
        // One write per line with O_APPEND, so a reader never sees half a line.
        ssize_t n = ::write(m_file.Get(), line.data(), line.size());
        (void)n;
    }
    m_events.push_back(std::move(ev));
    m_cv.notify_all();
}

std::vector<SimEvent> Transcript::Snapshot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

BOOL Transcript::Wait(std::string_view name, DWORD dwTimeout, SimEvent* pEvent, unsigned long long nFromSeq,
                      const std::function<bool(const SimEvent&)>& pred) const {
    Deadline deadline(dwTimeout);
    std::unique_lock<std::mutex> lock(m_mutex);
    std::size_t nNext = static_cast<std::size_t>(nFromSeq);
    for (;;) {
        for (; nNext < m_events.size(); ++nNext) {
            const SimEvent& ev = m_events[nNext];
            if (ev.szName == name && (!pred || pred(ev))) {
                if (pEvent) *pEvent = ev;
                return TRUE;
            }
        }
        DWORD dwLeft = deadline.Remaining();
        if (dwLeft == 0) return FALSE;
        if (deadline.IsInfinite())
            m_cv.wait(lock);
        else
            m_cv.wait_for(lock, std::chrono::milliseconds(dwLeft));
    }
}

}  // namespace sim
