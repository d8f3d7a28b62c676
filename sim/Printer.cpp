// The printer's loop thread and the thread-safe face of it (sim::Printer).
#include <poll.h>

#include <atomic>
#include <cerrno>

#include "platform/Event.h"
#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "sim/GadgetTransport.h"
#include "sim/LanTransport.h"
#include "sim/PrinterCore.h"
#include "sim/SerialTransport.h"
#include "sim/Sim.h"
#include "sim/StreamTransport.h"
#include "sim/Transcript.h"
#include "sim/UsbTransport.h"

namespace sim {

bool Timing::FromName(std::string_view name, Timing* pTiming) {
    if (name == "fast") *pTiming = Fast();
    else if (name == "real") *pTiming = Real();
    else return false;
    return true;
}

std::string DefaultVersionText(BYTE bTypeId, BYTE bRomId) {
    return bRomId >= 0xF0 ? StrPrintf("VER%02X%02XB", bTypeId, bRomId) : StrPrintf("VER%02X%02X", bTypeId, bRomId);
}

class PrinterLoop {
public:
    explicit PrinterLoop(Config config)
        : m_config(std::move(config)), m_core(m_config, m_transcript) {
        if (m_config.szTransport == "serial") {
            auto pSerial = std::make_unique<SerialTransport>(m_config.serial, m_core, m_transcript);
            m_pSerial = pSerial.get();
            m_transports.push_back(std::move(pSerial));
            return;
        }
        if (m_config.szTransport == "node") {
            auto pGadget = std::make_unique<GadgetTransport>(m_config.gadget, m_core, m_transcript);
            m_pGadget = pGadget.get();
            m_transports.push_back(std::move(pGadget));
            return;
        }
        if (m_config.szTransport == "usb") {
            auto pUsb = std::make_unique<UsbTransport>(m_config.usb, m_config.state, m_core, m_transcript);
            m_pUsb = pUsb.get();
            m_transports.push_back(std::move(pUsb));
            return;
        }
        auto pLan = std::make_unique<LanTransport>(m_config.lan, m_core, m_transcript);
        m_pLan = pLan.get();
        m_transports.push_back(std::move(pLan));
        if (!m_config.stream.szSocketPath.empty() || m_config.stream.bRfcomm)
            m_transports.push_back(std::make_unique<StreamTransport>(m_config.stream, m_core, m_transcript));
    }

    ~PrinterLoop() { Stop(); }

    BOOL Start() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bStarted) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        if (!m_wake.Valid()) return FALSE;
        if (!m_config.szTranscriptPath.empty() && !m_transcript.OpenFile(m_config.szTranscriptPath)) return FALSE;
        for (std::size_t i = 0; i < m_transports.size(); ++i) {
            if (m_transports[i]->Open()) continue;
            LastErrorGuard keep;
            for (std::size_t j = 0; j < i; ++j) m_transports[j]->Close();
            return FALSE;
        }
        if (m_pLan != nullptr) {
            m_wData = m_pLan->DataPort();
            m_wStatus = m_pLan->StatusPort();
            m_wDiscovery = m_pLan->DiscoveryPort();
        }
        PrinterState st = m_core.State();
        m_transcript.Add("start", std::move(Fields()
                                                .Str("transport", m_config.szTransport)
                                                .Str("address", m_pLan != nullptr ? m_config.lan.szAddress : "")
                                                .Int("data_port", m_wData)
                                                .Int("status_port", m_wStatus)
                                                .Int("discovery_port", m_wDiscovery)
                                                .Int("type_id", st.bTypeId)
                                                .Int("rom_id", st.bRomId)
                                                .Str("version", st.szVersion)
                                                .Bool("boot_mode", st.bBootMode)
                                                .Str("timing", m_config.szTimingName)));
        DWORD now = GetTickCount();
        m_core.Begin(now);
        for (auto& t : m_transports) t->SetReachable(true, m_core.GetFaults().bRefuse);
        m_bStop = false;
        if (!m_thread.Start([this] { Run(); })) {
            LastErrorGuard keep;
            for (auto& t : m_transports) t->Close();
            return FALSE;
        }
        m_bStarted = true;
        return TRUE;
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_bStarted) return;
            m_bStarted = false;
            m_bStop = true;
            m_wake.Set();
        }
        m_thread.WaitForEnd(INFINITE);
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& t : m_transports) t->Close();
        m_transcript.Add("stop");
    }

    WORD DataPort() const { return m_wData; }
    WORD StatusPort() const { return m_wStatus; }
    WORD DiscoveryPort() const { return m_wDiscovery; }
    Transcript& GetTranscript() { return m_transcript; }

    PrinterState State() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_core.State();
    }
    void SetState(const PrinterState& st) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_core.SetState(st);
    }
    Faults GetFaults() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_core.GetFaults();
    }
    void SetFaults(const Faults& f) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_core.SetFaults(f);
        m_bFaultsChanged = true;
        m_wake.Set();
    }
    std::vector<BYTE> LastTransferImage() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_core.LastTransferImage();
    }
    std::vector<StoredImage> StoredImages() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_core.StoredImages();
    }
    void PowerCycle() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_core.PowerCycle(GetTickCount(), "power_cycle");
        m_wake.Set();
    }
    unsigned UsbLp() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pUsb != nullptr ? m_pUsb->Lp() : 0;
    }
    std::string SerialTtyName() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pSerial != nullptr ? m_pSerial->TtyName() : std::string();
    }
    void SetUsbPlugged(bool bPlugged) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pUsb != nullptr) m_pUsb->SetPlugged(bPlugged);
        if (m_pGadget != nullptr) m_pGadget->SetPlugged(bPlugged);
        m_wake.Set();
    }

private:
    void Apply(DWORD now) {
        (void)now;
        CoreActions a = m_core.TakeActions();
        for (auto& t : m_transports) {
            if (a.bDropData) t->DropDataLinks("printer");
            if (a.bGoDown || a.bComeUp || m_bFaultsChanged) t->SetReachable(m_core.IsUp(), m_core.GetFaults().bRefuse);
        }
        if (m_bFaultsChanged) {
            Faults f = m_core.GetFaults();
            m_transcript.Add("faults", std::move(Fields()
                                                     .Bool("silent", f.bSilent)
                                                     .Int("drop_after", f.cbDropAfter)
                                                     .Int("drop_count", f.nDropCount)
                                                     .Bool("refuse", f.bRefuse)
                                                     .Bool("garbage", f.bGarbage)
                                                     .Int("wrong_rom_id", f.nWrongRomId)
                                                     .Int("read_rate", f.dwReadRate)
                                                     .Int("busy_ms", f.dwBusyMs)));
        }
        m_bFaultsChanged = false;
    }

    void Run() {
        std::vector<pollfd> fds;
        std::vector<std::size_t> offsets(m_transports.size() + 1);
        for (;;) {
            DWORD dwWait;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_bStop) return;
                m_wake.Reset();
                DWORD now = GetTickCount();
                m_core.OnTimer(now);
                Apply(now);
                dwWait = m_core.NextWake(now);
                fds.clear();
                fds.push_back({m_wake.Fd(), POLLIN, 0});
                for (std::size_t i = 0; i < m_transports.size(); ++i) {
                    offsets[i] = fds.size();
                    m_transports[i]->AddWaits(fds, now, &dwWait);
                }
                offsets.back() = fds.size();
            }
            int r = ::poll(fds.data(), fds.size(), TimeoutToPoll(dwWait));
            if (r < 0 && errno != EINTR) return;
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStop) return;
            if (r <= 0) continue;
            DWORD now = GetTickCount();
            for (std::size_t i = 0; i < m_transports.size(); ++i)
                m_transports[i]->Service(std::span<const pollfd>(fds).subspan(offsets[i], offsets[i + 1] - offsets[i]), now);
            Apply(now);
        }
    }

    Config m_config;
    mutable std::mutex m_mutex;
    Transcript m_transcript;
    PrinterCore m_core;
    // The loop serves every transport alike; the serial, USB and Bluetooth ones join here.
    std::vector<std::unique_ptr<Transport>> m_transports;
    LanTransport* m_pLan = nullptr;
    UsbTransport* m_pUsb = nullptr;
    SerialTransport* m_pSerial = nullptr;
    GadgetTransport* m_pGadget = nullptr;
    Event m_wake{true, false};
    Thread m_thread;
    bool m_bStarted = false;
    bool m_bStop = false;
    bool m_bFaultsChanged = false;
    std::atomic<WORD> m_wData{0}, m_wStatus{0}, m_wDiscovery{0};
};

Printer::Printer(Config config) : m_pLoop(std::make_unique<PrinterLoop>(std::move(config))) {}
Printer::~Printer() { Stop(); }
BOOL Printer::Start() { return m_pLoop->Start(); }
void Printer::Stop() { m_pLoop->Stop(); }
WORD Printer::DataPort() const { return m_pLoop->DataPort(); }
WORD Printer::StatusPort() const { return m_pLoop->StatusPort(); }
WORD Printer::DiscoveryPort() const { return m_pLoop->DiscoveryPort(); }
std::vector<SimEvent> Printer::Transcript() const { return m_pLoop->GetTranscript().Snapshot(); }
BOOL Printer::WaitForEvent(std::string_view name, DWORD dwTimeout, SimEvent* pEvent, unsigned long long nFromSeq,
                           const std::function<bool(const SimEvent&)>& pred) const {
    return m_pLoop->GetTranscript().Wait(name, dwTimeout, pEvent, nFromSeq, pred);
}
PrinterState Printer::State() const { return m_pLoop->State(); }
void Printer::SetFaults(const Faults& faults) { m_pLoop->SetFaults(faults); }
void Printer::SetState(const PrinterState& state) { m_pLoop->SetState(state); }
Faults Printer::GetFaults() const { return m_pLoop->GetFaults(); }
void Printer::PowerCycle() { m_pLoop->PowerCycle(); }
unsigned Printer::UsbLp() const { return m_pLoop->UsbLp(); }
std::string Printer::SerialTtyName() const { return m_pLoop->SerialTtyName(); }
void Printer::SetUsbPlugged(bool bPlugged) { m_pLoop->SetUsbPlugged(bPlugged); }
std::vector<BYTE> Printer::LastTransferImage() const { return m_pLoop->LastTransferImage(); }
std::vector<StoredImage> Printer::StoredImages() const { return m_pLoop->StoredImages(); }

}  // namespace sim
