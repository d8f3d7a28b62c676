#pragma once
// The fault matrix: a whole update run per case and transport, against a simulated printer
// told to misbehave in one way, with systemd and CUPS stand-ins around it. Every case checks
// the same aftermath: result, messages with their codes, exit status, no descriptor of the
// device left open, no thread left, the dialog given back, every stopped service started
// again, the log kept unless the run fully succeeded, the transport's own settings (the
// serial defaults) as they must be, and every stored transfer equal to what was meant.
#include <dirent.h>

#include <functional>
#include <string>
#include <vector>

#include "FakeCups.h"
#include "MockSystemd.h"
#include "Transports.h"
#include "e2e/UpdateFixture.h"
#include "support/SimExchange.h"
#include "support/StoredImages.h"
#include "system/Service.h"
#include "ui/Launch.h"
#include "ui/StringTable.h"

class FaultMatrix;

// How a case ends on one transport when that differs from the case's own ending, or that
// the fault has no meaning there.
struct TransportOutcome {
    const char* pszTransport;
    bool bApplies = true;
    DWORD dwResult = 0;
    int nExitStatus = 0;
    std::function<std::vector<std::string>()> boxes = nullptr;
    // A data transfer cut short stays stored as far as it came: on a line the printer ends
    // data when the bytes stop, with no link end to tell it the image is incomplete.
    bool bCutStored = false;
};

inline TransportOutcome EndsOn(const char* pszTransport, DWORD dwResult, int nExitStatus,
                               std::function<std::vector<std::string>()> boxes) {
    return {pszTransport, true, dwResult, nExitStatus, std::move(boxes)};
}
inline TransportOutcome NotOn(const char* pszTransport) { return {pszTransport, false}; }
inline TransportOutcome KeepsCutData(TransportOutcome outcome) {
    outcome.bCutStored = true;
    return outcome;
}

struct FaultCase {
    const char* pszName;   // fault, as the test name shows it
    const char* pszPhase;  // where it strikes
    // Files, model row, printer state and faults, box answers.
    std::function<void(FaultMatrix&, sim::Config&)> arrange;
    DWORD dwResult;
    int nExitStatus;
    // The boxes shown, in order (built when the case runs: texts come from the table).
    std::function<std::vector<std::string>()> boxes;
    // Set UF_CANCEL once the printer's transcript has an entry of this name.
    const char* pszCancelOn = nullptr;
    // After the initialisation, before the run (e.g. a file checksum the printer never reaches).
    std::function<void(FaultMatrix&)> afterInit = nullptr;
    // Transports that end the case otherwise, or where it does not apply.
    std::vector<TransportOutcome> otherwise = {};

    const TransportOutcome* On(const std::string& transport) const {
        for (const TransportOutcome& o : otherwise)
            if (transport == o.pszTransport) return &o;
        return nullptr;
    }
    bool AppliesOn(const std::string& transport) const {
        const TransportOutcome* o = On(transport);
        return o == nullptr || o->bApplies;
    }
};

struct MatrixParam {
    FaultCase fault;
    std::string transport;
};

inline void PrintTo(const MatrixParam& p, std::ostream* os) {
    *os << p.fault.pszPhase << "/" << p.fault.pszName << " over " << p.transport;
}

inline std::string MatrixParamName(const ::testing::TestParamInfo<MatrixParam>& info) {
    return std::string(info.param.fault.pszPhase) + "_" + info.param.fault.pszName + "_" + info.param.transport;
}

// Every case on every transport where it applies.
template <std::size_t N>
std::vector<MatrixParam> MatrixParams(const FaultCase (&cases)[N]) {
    std::vector<MatrixParam> out;
    for (const std::string& transport : AllTransports()) {
        for (const FaultCase& c : cases)
            if (c.AppliesOn(transport)) out.push_back({c, transport});
    }
    return out;
}

inline int ThreadCount() {
    int n = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(dir)) n += e->d_name[0] != '.';
        ::closedir(dir);
    }
    return n;
}

inline std::string ErrorBox(DWORD dwText, DWORD dwLocation, DWORD dwError) {
    return MessageText(dwText) + StrPrintf("\n\nErrorCode = [ %06X, %08X ]", dwLocation, dwError);
}

class FaultMatrix : public UpdateFixture, public ::testing::WithParamInterface<MatrixParam> {
public:
    static constexpr BYTE kTypeId = UpdateFixture::kTypeId;
    using UpdateFixture::MakeFile;
    using UpdateFixture::SetModel;
    CRecordingMessageBox& Box() { return m_box; }

protected:
    bool IsolateServices() const override { return false; }

    void SetUp() override {
        UpdateFixture::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(m_systemd.Ok()) << m_systemd.Error();
        for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
            ASSERT_TRUE(m_systemd.AddRunningUnit(pszUnit));
        }
        m_transport = MakeFaultTransport(GetParam().transport);
        ASSERT_TRUE(m_transport);
    }
    void TearDown() override {
        WaitForWorker(INFINITE);
        m_cups.reset();
        if (m_transport) m_transport->Stop();
        UpdateFixture::TearDown();
    }

    void Run() {
        const FaultCase& c = GetParam().fault;
        sim::Config config;
        config.state = Printer(kTypeId, 0x05);
        if (c.arrange) c.arrange(*this, config);
        ASSERT_TRUE(m_transport->Start(config));
        m_cups = std::make_unique<FakeCups>(std::vector<std::string>{m_transport->QueueUri()});
        ASSERT_TRUE(m_cups->Ok());
        m_nThreadsBefore = ThreadCount();
        RunInitialisation();
        if (c.afterInit) c.afterInit(*this);
        RunOnce(false, c.pszCancelOn);
        m_bRetried = m_host.m_bRetryPosted;
        if (m_bRetried) RunOnce(true, nullptr);
    }

    void RunOnce(bool bRetry, const char* pszCancelOn) {
        theApp.nPortKind = m_transport->PortKind();
        m_szOpened = m_transport->PortName();
        theApp.szPortName = m_szOpened;
        const unsigned long long nFrom = ::NextSeq(m_transport->Printer());
        ASSERT_TRUE(StartUpdateThread(m_host, bRetry));
        if (pszCancelOn != nullptr) {
            EXPECT_TRUE(m_transport->Printer().WaitForEvent(pszCancelOn, 60000, nullptr, nFrom));
            // The count of the aftermath sees the device while the run holds it.
            EXPECT_GE(m_transport->DeviceFds(), 1) << "the open device is not seen";
            theApp.SetFlags(UF_CANCEL);
        }
        WaitForWorker(INFINITE);
    }


    // What every case must leave behind.
    void CheckAftermath() {
        const FaultCase& c = GetParam().fault;
        const TransportOutcome* pOther = c.On(GetParam().transport);
        const DWORD dwResult = pOther != nullptr ? pOther->dwResult : c.dwResult;
        EXPECT_EQ(Result(), dwResult);
        EXPECT_EQ(ExitStatusFromResult(Result()), pOther != nullptr ? pOther->nExitStatus : c.nExitStatus);
        EXPECT_EQ(BoxTexts(), pOther != nullptr ? pOther->boxes() : c.boxes());
        EXPECT_EQ(m_transport->DeviceFds(), 0) << "a descriptor of the device is still open";
        EXPECT_EQ(ThreadCount(), m_nThreadsBefore) << "a thread outlived the run";
        EXPECT_TRUE(m_host.Has("restore")) << "the dialog was not given back";
        for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
            int nStops = m_systemd.CallsFor("StopUnit", pszUnit);
            // The spooler is stopped only for a port some queue prints to.
            if (std::string_view(pszUnit) == kSpoolerUnit && !m_transport->QueueOnPort())
                EXPECT_EQ(nStops, 0) << pszUnit;
            else
                EXPECT_GE(nStops, 1) << pszUnit;
            EXPECT_EQ(m_systemd.CallsFor("StartUnit", pszUnit), nStops) << pszUnit << ": every stop has one start";
            EXPECT_EQ(m_systemd.ActiveState(pszUnit), "active") << pszUnit;
        }
        // The log is started afresh only after a full success; otherwise the run is in it.
        const std::string log = LogText();
        const bool bRunInLog = log.find("Open port [" + m_szOpened + "]") != std::string::npos;
        EXPECT_EQ(bRunInLog, dwResult != ERROR_SUCCESS);
        m_transport->CheckSettings(m_bRetried, bRunInLog ? log : std::string());
        WaitForDataEnd();
        CheckStoredImages(pOther != nullptr && pOther->bCutStored);
    }

    // A data transfer the printer is still in ends when the bytes stop (a firmware image
    // has its length and stays open): what it stores is looked at after that.
    void WaitForDataEnd() {
        sim::SimEvent begin;
        bool bOpen = false;
        for (const sim::SimEvent& e : m_transport->Printer().Transcript()) {
            if (e.szName == "transfer_begin") {
                begin = e;
                bOpen = e.Str("kind") != "FW";
            }
            if (e.szName == "transfer_end") bOpen = false;
        }
        if (bOpen) {
            EXPECT_TRUE(m_transport->Printer().WaitForEvent("transfer_end", 10000, nullptr, begin.nSeq));
        }
    }

    // Every transfer the printer stored is byte for byte the file it came from; with
    // bCutStored a data transfer may stop short of its end.
    void CheckStoredImages(bool bCutStored) {
        for (const sim::StoredImage& image : m_transport->Printer().StoredImages()) {
            auto made = m_files.find(image.szKind);
            ASSERT_NE(made, m_files.end()) << "stored a transfer of no file: " << image.szKind;
            EXPECT_TRUE(StoredAsFile(image, made->second.szPath, bCutStored));
        }
    }

public:
    // A file of the run, remembered for the image check.
    sim::MadeFile AddFile(const std::string& kind, BYTE bRomId, DWORD cbSize, DWORD dwSeed = 1) {
        sim::MadeFile made = MakeFile(kind, kTypeId, bRomId, cbSize, dwSeed);
        m_files[kind] = made;
        return made;
    }
    sim::MadeFile File(const std::string& kind) const { return m_files.at(kind); }

protected:
    MockSystemd m_systemd;
    std::unique_ptr<FakeCups> m_cups;
    std::unique_ptr<FaultTransport> m_transport;
    std::map<std::string, sim::MadeFile> m_files;
    int m_nThreadsBefore = 0;
    std::string m_szOpened;  // the port name of the last run
    bool m_bRetried = false;
};
