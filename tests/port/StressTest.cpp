// Many threads open, write, read, reset, cancel and close the same few ports at once for a
// bounded time. Every call must end, every result must be one the service can give, and
// every driver must be destroyed exactly once.
#include <array>
#include <atomic>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "PortFixture.h"
#include "TestPort.h"
#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/Globals.h"

namespace {

constexpr int PORTS = 3;
constexpr int WORKERS = 6;
constexpr DWORD RUN_TIME = 2000;
const char* const NAMES[PORTS] = {"S0", "S1", "S2"};

class PortStress : public PortFixture {
protected:
    std::array<std::atomic<HSDK>, PORTS> m_handles{};
    std::atomic<int> m_nUnexpected{0};
    std::atomic<int> m_nOpened{0};
    std::atomic<int> m_nCalls{0};

    void Expect(bool bOk, const char* pszWhat, DWORD dwError) {
        if (bOk) return;
        ++m_nUnexpected;
        ADD_FAILURE() << pszWhat << " gave " << dwError;
    }

    void OpenOrClose(std::mt19937& rng, int nPort) {
        HSDK h = m_handles[nPort].load();
        if (h == 0) {
            HSDK hNew = 0;
            if (pfnOpenPort(OPT_TCP_CON_WITHOUT_OPEN, KIND_TEST_SINK, NAMES[nPort], &hNew)) {
                ++m_nOpened;
                HSDK expected = 0;
                if (!m_handles[nPort].compare_exchange_strong(expected, hNew)) pfnClosePort(hNew, 0);
            } else {
                Expect(GetLastError() == ERROR_ALREADY_EXISTS, "open", GetLastError());
            }
            return;
        }
        if (rng() % 2 == 0 && m_handles[nPort].compare_exchange_strong(h, 0)) {
            Expect(pfnClosePort(h, 0), "close", GetLastError());
        }
    }

    void Write(std::mt19937& rng, HSDK h) {
        // A fresh buffer per call, freed at once: any late touch is a sanitizer report.
        auto pData = std::make_unique<BYTE[]>(65536);
        const DWORD cb = 1 + rng() % 65536;
        DWORD cbWritten = 0;
        const bool bCount = rng() % 2 == 0;
        BOOL bOk = pfnWritePortEx(h, pData.get(), cb, bCount ? &cbWritten : nullptr, 1 + rng() % 50);
        const DWORD dwError = GetLastError();
        pData.reset();
        static const std::set<DWORD> allowed = {ERROR_INVALID_HANDLE, ERROR_TIMEOUT, ERROR_CANCELLED,
                                                ERROR_BUSY};
        if (bOk) {
            Expect(!bCount || cbWritten <= cb, "write count", cbWritten);
        } else {
            Expect(allowed.count(dwError) != 0, "write", dwError);
        }
    }

    void Worker(unsigned nSeed) {
        std::mt19937 rng(nSeed);
        const Deadline run(RUN_TIME);
        BYTE buf[512];
        while (!run.Expired()) {
            ++m_nCalls;
            const int nPort = static_cast<int>(rng() % PORTS);
            const HSDK h = m_handles[nPort].load();
            DWORD cb = 0;
            switch (rng() % 8) {
                case 0: OpenOrClose(rng, nPort); break;
                case 1:
                    if (!pfnReadPortEx(h, buf, sizeof buf, &cb, 1 + rng() % 20)) {
                        const DWORD dwError = GetLastError();
                        Expect(dwError == ERROR_INVALID_HANDLE || dwError == ERROR_DEVICE_NOT_CONNECTED, "read",
                               dwError);
                    }
                    break;
                case 2:
                    if (!pfnResetPort(h)) Expect(GetLastError() != ERROR_SUCCESS, "reset", 0);
                    break;
                case 3:
                    if (!pfnCancelPort(h)) Expect(GetLastError() != ERROR_SUCCESS, "cancel", 0);
                    break;
                default: Write(rng, h); break;
            }
        }
    }
};

TEST_F(PortStress, ManyThreadsOnFewPorts) {
    std::vector<std::thread> workers;
    for (int i = 0; i < WORKERS; ++i) workers.emplace_back([this, i]() { Worker(1234u + static_cast<unsigned>(i)); });
    for (auto& t : workers) t.join();
    for (int i = 0; i < PORTS; ++i) {
        HSDK h = m_handles[i].exchange(0);
        if (h != 0) {
            EXPECT_TRUE(pfnClosePort(h, 0));
        }
        auto device = TestDevice::Find(NAMES[i]);
        if (device != nullptr) {
            EXPECT_EQ(device->pPort.load(), nullptr);
            EXPECT_EQ(device->nDestroyed, 1);
        }
    }
    EXPECT_EQ(m_nUnexpected, 0);
    EXPECT_GT(m_nOpened, 0);
    EXPECT_GT(m_nCalls, WORKERS);
    // Every name can be opened again: nothing is left in the table.
    for (const char* pszName : NAMES) {
        HSDK h = 0;
        ASSERT_TRUE(pfnOpenPort(0, KIND_TEST_SINK, pszName, &h));
        EXPECT_TRUE(pfnClosePort(h, 0));
    }
}

}  // namespace
