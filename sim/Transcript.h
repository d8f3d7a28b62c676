#pragma once
// The printer's transcript: one entry per event, kept in memory and written to a file as
// one JSON object per line. Thread-safe; waiters are woken on every new entry.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Types.h"
#include "platform/UniqueFd.h"
#include "sim/Sim.h"

namespace sim {

// Builds the fields of one entry in order.
class Fields {
public:
    Fields& Str(std::string_view key, std::string_view value);
    Fields& Int(std::string_view key, long long value);
    Fields& Bool(std::string_view key, bool value);
    Fields& IntList(std::string_view key, const std::vector<DWORD>& values);
    Fields& Append(Fields other) {
        for (auto& kv : other.m_fields) m_fields.push_back(std::move(kv));
        return *this;
    }
    std::vector<std::pair<std::string, std::string>> Take() { return std::move(m_fields); }

private:
    std::vector<std::pair<std::string, std::string>> m_fields;
};

std::string JsonQuote(std::string_view text);

class Transcript {
public:
    Transcript() = default;
    // Opens (truncates) the file; FALSE with the last error.
    BOOL OpenFile(const std::string& path);
    void Add(std::string_view name, Fields fields = Fields());
    std::vector<SimEvent> Snapshot() const;
    BOOL Wait(std::string_view name, DWORD dwTimeout, SimEvent* pEvent, unsigned long long nFromSeq,
              const std::function<bool(const SimEvent&)>& pred) const;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cv;
    std::vector<SimEvent> m_events;
    UniqueFd m_file;
    DWORD m_dwStart = 0;
    bool m_bStarted = false;
};

}  // namespace sim
