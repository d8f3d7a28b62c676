// One LAN port used from several threads at once against the simulated printer: writes,
// reads, resets and cancels. Every call ends, resets and cancels never run out of time
// behind a failing send, and the port still works afterwards.
#include <set>
#include <thread>
#include <vector>

#include "LanFixture.h"
#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "support/SimExchange.h"

namespace {

constexpr int WRITES = 25;
constexpr int READS = 60;
constexpr int RESETS = 4;
constexpr int CANCELS = 8;

const std::vector<BYTE> kDeviceId = DeviceIdCommand();

class LanStress : public LanFixture {
protected:
    std::atomic<int> m_nUnexpected{0};

    void Unexpected(const char* pszWhat, DWORD dwError) {
        ++m_nUnexpected;
        ADD_FAILURE() << pszWhat << " gave " << dwError;
    }
    void Writer() {
        // Text the printer ignores; a fresh buffer per call, so a late touch is a report.
        static const std::set<DWORD> allowed = {ERROR_TIMEOUT, ERROR_CANCELLED, ERROR_BUSY, ERROR_WRITE_FAULT,
                                                ERROR_DEVICE_NOT_CONNECTED, WSAECONNREFUSED, WSAECONNRESET};
        for (int i = 0; i < WRITES; ++i) {
            auto pData = std::make_unique<std::vector<BYTE>>(8192, 'x');
            DWORD cb = 0;
            BOOL bOk = pfnWritePortEx(m_hSdk, pData->data(), 8192, &cb, 300);
            DWORD dwError = GetLastError();
            pData.reset();
            if (bOk && cb > 8192) Unexpected("write count", cb);
            if (!bOk && allowed.count(dwError) == 0) Unexpected("write", dwError);
        }
    }
    void Reader() {
        BYTE buf[256];
        for (int i = 0; i < READS; ++i) {
            DWORD cb = 0;
            if (!pfnReadPortEx(m_hSdk, buf, sizeof buf, &cb, 20) && GetLastError() != ERROR_DEVICE_NOT_CONNECTED)
                Unexpected("read", GetLastError());
        }
    }
    void Resetter() {
        for (int i = 0; i < RESETS; ++i) {
            Sleep(150);
            // Within 500 ms of the last probe a reset port still reads offline: that is
            // no failure of the reset. Running out of time behind a send would be one.
            if (!pfnResetPort(m_hSdk) && GetLastError() != ERROR_DEVICE_NOT_CONNECTED)
                Unexpected("reset", GetLastError());
        }
    }
    void Canceller() {
        for (int i = 0; i < CANCELS; ++i) {
            Sleep(60);
            if (!pfnCancelPort(m_hSdk)) Unexpected("cancel", GetLastError());
        }
    }
    // The printer may still be restarting after the last reset.
    bool DeviceIdAnswers() {
        Deadline limit(15000);
        while (!limit.Expired()) {
            DWORD cb = 0;
            BYTE buf[64];
            if (pfnWritePortEx(m_hSdk, kDeviceId.data(), static_cast<DWORD>(kDeviceId.size()), &cb, 1000) &&
                cb == kDeviceId.size()) {
                for (int i = 0; i < 20; ++i) {
                    DWORD cbRead = 0;
                    if (pfnReadPortEx(m_hSdk, buf, sizeof buf, &cbRead, 100) && cbRead > 0)
                        return std::vector<BYTE>(buf, buf + cbRead) == kDeviceIdAnswer;
                }
            }
            Sleep(200);
        }
        return false;
    }
};

TEST_F(LanStress, WritesReadsResetsAndCancelsOnOnePort) {
    StartPrinter();
    OpenPort();
    std::vector<std::thread> threads;
    threads.emplace_back([this] { Writer(); });
    threads.emplace_back([this] { Writer(); });
    threads.emplace_back([this] { Reader(); });
    threads.emplace_back([this] { Resetter(); });
    threads.emplace_back([this] { Canceller(); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(m_nUnexpected, 0);
    EXPECT_TRUE(DeviceIdAnswers());
    EXPECT_TRUE(pfnClosePort(m_hSdk, 0));
    m_hSdk = 0;
}

}  // namespace
