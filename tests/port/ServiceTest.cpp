// The port service driven through every path against the socket-pair test driver.
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PortFixture.h"
#include "TestPort.h"
#include "platform/LastError.h"
#include "platform/WinError.h"
#include "port/Globals.h"

namespace {

constexpr DWORD LONG_WAIT = 60000;  // never reached: something else ends these waits
constexpr DWORD BIG = 1 << 20;     // far more than the socket pair holds

std::vector<BYTE> Pattern(DWORD cb) {
    std::vector<BYTE> data(cb);
    for (DWORD i = 0; i < cb; ++i) data[i] = static_cast<BYTE>((i * 7) % 251);
    return data;
}

bool IsPrefixOfPattern(const std::string& got) {
    for (size_t i = 0; i < got.size(); ++i) {
        if (static_cast<BYTE>(got[i]) != static_cast<BYTE>((i * 7) % 251)) return false;
    }
    return true;
}

class PortService : public PortFixture {
protected:
    HSDK Open(const char* pszName, DWORD dwType = KIND_TEST, DWORD dwOption = 0) {
        HSDK h = 0;
        EXPECT_TRUE(pfnOpenPort(dwOption, dwType, pszName, &h)) << GetLastError();
        return h;
    }
    BOOL Write(HSDK h, const std::string& text, DWORD* pcb, DWORD dwTimeout = 0) {
        return pfnWritePortEx(h, reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()), pcb,
                              dwTimeout);
    }
    std::string Read(HSDK h, DWORD dwTimeout = 0) {
        BYTE buf[256];
        DWORD cb = 0;
        EXPECT_TRUE(pfnReadPortEx(h, buf, sizeof buf, &cb, dwTimeout)) << GetLastError();
        return std::string(reinterpret_cast<char*>(buf), cb);
    }
    // Starts a big write on another thread and returns once its sending thread is stuck.
    std::thread StartStuckWrite(HSDK h, TestDevice& device, BOOL* pbResult, DWORD* pdwError, DWORD* pcb) {
        std::thread writer([=]() {
            std::vector<BYTE> data = Pattern(BIG);
            *pbResult = pfnWritePortEx(h, data.data(), BIG, pcb, LONG_WAIT);
            *pdwError = GetLastError();
            std::fill(data.begin(), data.end(), 0xEE);  // the caller owns its buffer again
        });
        EXPECT_EQ(WaitForEvent(device.evtBlocked, LONG_WAIT), WAIT_OBJECT_0);
        return writer;
    }
};

// ---- Arguments and handles ----

struct BadCall {
    const char* pszName;
    std::function<BOOL()> call;
    DWORD dwError;
    char chLevel;
    const char* pszLog;
};

TEST_F(PortService, BadArgumentsAndHandlesFailWithTheirCode) {
    HSDK h = Open("P");
    HSDK hGone = Open("Q");
    ASSERT_TRUE(pfnClosePort(hGone, 0));
    BYTE buf[8] = {};
    DWORD cb = 0;
    const std::vector<BadCall> cases = {
        {"open without handle", [&] { return pfnOpenPort(0, KIND_TEST, "R", nullptr); }, ERROR_INVALID_PARAMETER, 'E',
         "[srv] pfnOpenPort [BAD_PARAM(phSdk:00000000,"},
        {"open without name", [&] { HSDK x; return pfnOpenPort(0, KIND_TEST, nullptr, &x); }, ERROR_INVALID_PARAMETER,
         'E', ",pszName:00000000)]"},
        {"open with empty name", [&] { HSDK x; return pfnOpenPort(0, KIND_TEST, "", &x); }, ERROR_INVALID_PARAMETER,
         'E', "[srv] pfnOpenPort [BAD_PARAM("},
        {"write without buffer", [&] { return pfnWritePortEx(h, nullptr, 5, &cb, 0); }, ERROR_INVALID_PARAMETER, 'E',
         "[srv] pfnWritePortEx [PARAMETER: pBuffer:00000000 / cbBuffer:5]"},
        {"write of nothing", [&] { return pfnWritePortEx(h, buf, 0, &cb, 0); }, ERROR_INVALID_PARAMETER, 'E',
         " / cbBuffer:0]"},
        {"read without count", [&] { return pfnReadPortEx(h, buf, 8, nullptr, 0); }, ERROR_INVALID_PARAMETER, 'E',
         "/pcbRead:00000000]"},
        {"read of nothing", [&] { return pfnReadPort(h, buf, 0, &cb); }, ERROR_INVALID_PARAMETER, 'E',
         "/cbBuffer:00000000/"},
        {"write on closed handle", [&] { return pfnWritePortEx(hGone, buf, 8, &cb, 0); }, ERROR_INVALID_HANDLE, 'E',
         "[srv] WritePortEx LockEntry()"},
        {"read on unknown handle", [&] { return pfnReadPort(0x7777, buf, 8, &cb); }, ERROR_INVALID_HANDLE, 'E',
         "[srv] pfnReadPort LockEntry()"},
        {"reset on null handle", [&] { return pfnResetPort(0); }, ERROR_INVALID_HANDLE, 'E',
         "[srv] LockEntry WaitForSingleObject()"},
        {"cancel on closed handle", [&] { return pfnCancelPort(hGone); }, ERROR_INVALID_HANDLE, 'E',
         "[srv] LockEntry WaitForSingleObject()"},
        {"second close", [&] { return pfnClosePort(hGone, 0); }, ERROR_INVALID_HANDLE, 'E',
         "[srv] FreeEntry WaitForSingleObject()"},
    };
    for (const BadCall& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(c.call()) << c.pszName;
        EXPECT_EQ(GetLastError(), c.dwError) << c.pszName;
        EXPECT_LOG(c.chLevel, c.pszLog);
    }
    EXPECT_LOG('E', "[srv] pfnClosePort");
    EXPECT_TRUE(pfnClosePort(h, 0));
}

TEST_F(PortService, HandlesAreNeverReused) {
    HSDK h1 = Open("P");
    ASSERT_TRUE(pfnClosePort(h1, 0));
    HSDK h2 = Open("P");
    EXPECT_NE(h1, h2);
    DWORD cb = 0;
    EXPECT_FALSE(Write(h1, "x", &cb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(pfnClosePort(h2, 0));
}

TEST_F(PortService, NameOpenInAnotherCaseIsRefused) {
    HSDK h = Open("COM1");
    HSDK h2 = 0x1234;
    EXPECT_FALSE(pfnOpenPort(0, KIND_TEST, "com1", &h2));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(h2, 0u);
    EXPECT_LOG('W', "[srv:com1] pfnOpenPort FindEntryName() ALREADY_EXISTS");
    ASSERT_TRUE(pfnClosePort(h, 0));
    h = Open("com1");
    EXPECT_NE(h, 0u);
    EXPECT_TRUE(pfnClosePort(h, 0));
}

TEST_F(PortService, FailedConstructionRefusesTheOpen) {
    HSDK h = 0x1234;
    EXPECT_FALSE(pfnOpenPort(0, KIND_TEST_NOINIT, "N", &h));
    EXPECT_EQ(GetLastError(), ERROR_OUTOFMEMORY);
    EXPECT_EQ(h, 0u);
    EXPECT_LOG('E', "[srv:N] CreateEntry Init");
    auto device = TestDevice::Find("N");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->nDestroyed, 1);
    // Nothing of it stays in the table.
    h = Open("N");
    EXPECT_TRUE(pfnClosePort(h, 0));
}

TEST_F(PortService, UnknownKindOpensButEveryUseFails) {
    HSDK h = Open("X7", 7);
    ASSERT_NE(h, 0u);
    EXPECT_LOG('E', "[srv:X7] pfnOpenPort [BAD_NAME]");
    EXPECT_LOG('W', "[X7] Unknown port.");
    DWORD cb = 0;
    EXPECT_FALSE(Write(h, "abc", &cb));
    EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_PORT);
    EXPECT_LOG('E', "[X7] Unknown port name.");
    EXPECT_FALSE(pfnResetPort(h));
    EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_PORT);
    EXPECT_FALSE(pfnCancelPort(h));
    EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_PORT);
    // The read reports the offline state the placeholder never leaves.
    BYTE buf[4];
    EXPECT_FALSE(pfnReadPort(h, buf, sizeof buf, &cb));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(pfnClosePort(h, 0));
}

TEST_F(PortService, OptionsSetStatusBitsInTheirOrder) {
    const DWORD dwOption = 0x1af0 | 0x1 | 0x04000000;  // every option plus bits that mean nothing
    HSDK h = Open("P", KIND_TEST, dwOption);
    auto device = TestDevice::Find("P");
    EXPECT_EQ(device->pPort.load()->Status(), 0x10000001u | 0x00100000 | 0x00000800 | 0x00002000 | 0x00004000 |
                                                  0x00000004 | 0x00200000 | 0x00400000);
    const char* order[] = {
        "[srv:P] pfnOpenPort OPT_LAN26100_UDP [dwPmStatus:10100001]",
        "[srv:P] pfnOpenPort OPT_UNSUPPORT_COM_DSR [dwPmStatus:10100801]",
        "[srv:P] pfnOpenPort OPT_TCP_CON_WITHOUT_OPEN [dwPmStatus:10102801]",
        "[srv:P] pfnOpenPort PP_COM_DIS_DOSDEVNAME [dwPmStatus:10106801]",
        "[srv:P] pfnOpenPort OPT_NOT_SUPPORT_REAL_RESET_CMD [dwPmStatus:10106805]",
        "[srv:P] pfnOpenPort OPT_LAN_READ26100_WITHOUT9100 [dwPmStatus:10306805]",
        "[srv:P] pfnOpenPort OPT_BT_SLEEP_BEFORE_SHUT [dwPmStatus:10706805]",
    };
    int nAt = FindLine('I', "[srv:P] pfnOpenPort CreateEntry()");
    EXPECT_GE(nAt, 0);
    for (const char* line : order) {
        int nNext = FindLine('D', line, nAt);
        EXPECT_GT(nNext, nAt) << line;
        nAt = nNext;
    }
    EXPECT_GT(FindLine('I', "[srv:P] pfnOpenPort [Option:04001af1,Status:10706805]", nAt), nAt);
    EXPECT_TRUE(pfnClosePort(h, 0));
}

TEST_F(PortService, CloseHandsFlagBitToTheDriver) {
    const struct {
        DWORD dwOption;
        BOOL bFlag;
    } cases[] = {{0, FALSE}, {0x2000, TRUE}, {0xFFFFDFFF, FALSE}, {0xFFFFFFFF, TRUE}};
    for (const auto& c : cases) {
        HSDK h = Open("P");
        auto device = TestDevice::Find("P");
        ASSERT_TRUE(pfnClosePort(h, c.dwOption));
        EXPECT_EQ(device->bLastCloseFlag, c.bFlag) << std::hex << c.dwOption;
        EXPECT_EQ(device->nClose, 1);
        EXPECT_EQ(device->nTerm, 1);
        EXPECT_EQ(device->nDestroyed, 1);
    }
    EXPECT_LOG('I', "[srv:P] pfnClosePort");
    EXPECT_LOG('D', "[srv] FreeEntry Close() (P)");
    EXPECT_LOG('D', "[srv] FreeEntry Term()");
}

// ---- Writes ----

TEST_F(PortService, WholeWriteReportsItsCount) {
    HSDK h = Open("P");
    auto device = TestDevice::Find("P");
    DWORD cb = 99;
    ASSERT_TRUE(Write(h, "hello", &cb));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(cb, 5u);
    EXPECT_LOG('I', "[srv:P] pfnWritePortEx [5/5]");
    ASSERT_TRUE(Write(h, "world", nullptr));
    EXPECT_LOG('I', "[srv:P] pfnWritePortEx [5/5byte]");
    EXPECT_EQ(device->DrainPeer(10), "helloworld");
    // Timeout 0 made the default and kept it. The logged budget is what remained of it
    // when the line was written, so only its presence is checked.
    EXPECT_EQ(device->pPort.load()->dwDefWriteTimeout, 5000u);
    EXPECT_LOG('I', "[srv:P] pfnWritePortEx WaitForLastSending(");
    EXPECT_TRUE(pfnClosePort(h, 0));
}

// The port keeps one sending thread for all its writes, and it is gone once the port closes.
TEST_F(PortService, OneSendingThreadServesEveryWriteAndEndsAtTheClose) {
    HSDK h = Open("P");
    auto device = TestDevice::Find("P");
    for (const std::string text : {"one", "two", "three"}) {
        DWORD cb = 0;
        ASSERT_TRUE(Write(h, text, &cb));
        EXPECT_EQ(cb, text.size());
    }
    EXPECT_EQ(device->DrainPeer(11), "onetwothree");
    const std::vector<pid_t> tids = device->SendingThreads();
    ASSERT_EQ(tids.size(), 1u);
    EXPECT_NE(tids[0], ::gettid());
    const std::string task = "/proc/self/task/" + std::to_string(tids[0]);
    EXPECT_EQ(::access(task.c_str(), F_OK), 0);
    EXPECT_TRUE(pfnClosePort(h, 0));
    EXPECT_NE(::access(task.c_str(), F_OK), 0);
}

TEST_F(PortService, WritesDrainTheDeviceUntilAReadSucceeds) {
    HSDK h = Open("P");
    auto device = TestDevice::Find("P");
    device->SendFromPeer("stale");
    DWORD cb = 0;
    ASSERT_TRUE(Write(h, "one", &cb));
    EXPECT_LOG('I', "[srv:P] WritePortEx() Read() [for clr buf:5byte]");
    device->SendFromPeer("answer");
    EXPECT_EQ(Read(h), "answer");
    EXPECT_TRUE(LogContains("Received (P)"));
    device->SendFromPeer("kept");
    ASSERT_TRUE(Write(h, "two", &cb));
    EXPECT_EQ(Read(h), "kept");
    // A reset makes the next write drain again.
    ASSERT_TRUE(pfnResetPort(h));
    device->SendFromPeer("after");
    ASSERT_TRUE(Write(h, "three", &cb));
    EXPECT_GE(FindLine('I', "[srv:P] WritePortEx() Read() [for clr buf:5byte]",
                       FindLine('I', "[srv:P] pfnResetPort Reset()")),
              0);
    EXPECT_EQ(device->DrainPeer(11), "onetwothree");
    EXPECT_TRUE(pfnClosePort(h, 0));
}

struct RefusedWrite {
    const char* pszName;
    std::function<void(CCommon&, TestDevice&)> arrange;
    DWORD dwError;
    char chLevel;
    const char* pszLog;
};

TEST_F(PortService, RefusedWritesGiveTheirCodeAndNoCount) {
    const std::vector<RefusedWrite> cases = {
        {"soft reset", [](CCommon& p, TestDevice&) { p.bSoftReset = TRUE; }, ERROR_BUSY, 'W',
         "[srv:P] WritePortEx [Waiting for soft-reset]"},
        {"cancel running", [](CCommon& p, TestDevice&) { p.bCancelling = TRUE; }, ERROR_CANCELLED, 'W',
         "[srv:P] WritePortEx [CANCEL]"},
        {"device gone", [](CCommon&, TestDevice& d) { d.dwOpenError = ERROR_DEVICE_NOT_CONNECTED; },
         ERROR_DEVICE_NOT_CONNECTED, 'E', "[srv:P] pfnWritePortEx"},
    };
    for (const RefusedWrite& c : cases) {
        HSDK h = Open("P");
        auto device = TestDevice::Find("P");
        c.arrange(*device->pPort.load(), *device);
        DWORD cb = 77;
        EXPECT_FALSE(Write(h, "data", &cb)) << c.pszName;
        EXPECT_EQ(GetLastError(), c.dwError) << c.pszName;
        EXPECT_EQ(cb, 0u) << c.pszName;
        EXPECT_FALSE(Write(h, "data", nullptr)) << c.pszName;
        EXPECT_EQ(GetLastError(), c.dwError) << c.pszName;
        EXPECT_LOG(c.chLevel, c.pszLog);
        EXPECT_EQ(device->DrainPeer(1, 50), "") << c.pszName;
        EXPECT_TRUE(pfnClosePort(h, 0));
    }
}

// A write whose time runs out while its thread still sends: the count is what the thread
// took, the caller's buffer is its own again, and the thread sends only what it took.
TEST_F(PortService, PartialWriteWithAndWithoutCount) {
    for (bool bWithCount : {true, false}) {
        HSDK h = Open("P");
        auto device = TestDevice::Find("P");
        DWORD cb = 0;
        BOOL bResult;
        {
            std::vector<BYTE> data = Pattern(BIG);
            bResult = pfnWritePortEx(h, data.data(), BIG, bWithCount ? &cb : nullptr, 200);
            const DWORD dwError = GetLastError();
            if (bWithCount) {
                EXPECT_TRUE(bResult);
                EXPECT_EQ(dwError, ERROR_SUCCESS);
                EXPECT_LT(cb, BIG);
                EXPECT_GT(cb, 0u);
            } else {
                EXPECT_FALSE(bResult);
                EXPECT_EQ(dwError, ERROR_TIMEOUT);
                EXPECT_LOG('W', "[srv:P] pfnWritePortEx [TIMEOUT:");
            }
        }  // the caller's buffer is gone here; the sanitizer sees any later touch
        EXPECT_LOG('W', "[P] WaitForTrdSending [TIMEOUT:");
        // Once the writer gave up, the thread takes nothing more: what it took is final.
        DWORD cbTaken = 0;
        {
            CCommon* pPort = device->pPort;
            std::lock_guard lock(pPort->csLock);
            cbTaken = pPort->cbSent;
        }
        if (bWithCount) {
            EXPECT_EQ(cbTaken, cb);
        }
        // The thread finishes the chunk it took; the next write waits for it.
        std::string got = device->DrainPeer(cbTaken, LONG_WAIT);
        EXPECT_TRUE(IsPrefixOfPattern(got));
        EXPECT_EQ(got.size(), cbTaken);
        DWORD cbNext = 0;
        ASSERT_TRUE(Write(h, "next", &cbNext, LONG_WAIT));
        EXPECT_EQ(device->DrainPeer(4, LONG_WAIT), "next");
        EXPECT_TRUE(pfnClosePort(h, 0));
    }
}

// The budget counts every stage: a write behind a stuck one runs out of time waiting.
TEST_F(PortService, WriteBehindAStuckOneTimesOut) {
    HSDK h = Open("P");
    auto device = TestDevice::Find("P");
    BOOL bFirst = FALSE;
    DWORD dwFirst = 0, cbFirst = 0;
    std::thread writer = StartStuckWrite(h, *device, &bFirst, &dwFirst, &cbFirst);
    DWORD cb = 5;
    EXPECT_FALSE(Write(h, "late", &cb, 100));
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    EXPECT_EQ(cb, 0u);
    EXPECT_LOG('W', "[P] WaitForLastSending [TIMEOUT:");
    device->DrainPeer(BIG, LONG_WAIT);
    writer.join();
    EXPECT_TRUE(bFirst);
    EXPECT_EQ(cbFirst, BIG);
    EXPECT_TRUE(pfnClosePort(h, 0));
}

// A write whose time ran out reports exactly what left: the thread it started has ended
// (it finished or gave back the chunk it had taken), so the next write follows that count
// byte for byte.
TEST_F(PortService, TimedOutWriteCountsWhatLeftAndTheNextWriteFollowsIt) {
    HSDK h = Open("P");
    auto device = TestDevice::Find("P");
    std::vector<BYTE> data = Pattern(BIG);
    DWORD cb = 0;
    ASSERT_TRUE(pfnWritePortEx(h, data.data(), BIG, &cb, 100));
    ASSERT_LT(cb, BIG);
    DWORD cbLate = 0;
    std::thread reader([&]() { EXPECT_TRUE(Write(h, "late", &cbLate, LONG_WAIT)); });
    std::string got = device->DrainPeer(cb + 4, LONG_WAIT);
    reader.join();
    ASSERT_EQ(got.size(), cb + 4);
    EXPECT_TRUE(IsPrefixOfPattern(got.substr(0, cb)));
    EXPECT_EQ(got.substr(cb), "late");
    EXPECT_EQ(cbLate, 4u);
    EXPECT_TRUE(pfnClosePort(h, 0));
}

// ---- Cancel, reset and close against a sending thread ----

TEST_F(PortService, CancelStopsTheSendingThread) {
    HSDK h = Open("P");
    auto device = TestDevice::Find("P");
    BOOL bWrite = TRUE;
    DWORD dwWrite = 0, cbWrite = 0;
    std::thread writer = StartStuckWrite(h, *device, &bWrite, &dwWrite, &cbWrite);
    EXPECT_TRUE(pfnCancelPort(h));
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    writer.join();
    EXPECT_FALSE(bWrite);
    EXPECT_EQ(dwWrite, ERROR_CANCELLED);
    EXPECT_LT(cbWrite, BIG);
    EXPECT_EQ(device->nCancel, 1);
    EXPECT_LOG('I', "[srv:P] pfnCancelPort Cancel()");
    EXPECT_LOG('W', "[P] WaitForLastTrdSending [CANCEL]");
    // Exactly the count reported went out: a chunk cut short by the cancel is not counted
    // whole. The thread has ended, so all of it is already waiting at the peer.
    std::string got = device->DrainPeer(cbWrite + 1, 200);
    EXPECT_EQ(got.size(), cbWrite);
    EXPECT_TRUE(IsPrefixOfPattern(got));
    // The port works again afterwards.
    DWORD cb = 0;
    ASSERT_TRUE(Write(h, "after", &cb, LONG_WAIT));
    EXPECT_EQ(device->DrainPeer(5, LONG_WAIT), "after");
    EXPECT_TRUE(pfnClosePort(h, 0));
}

// A write still waiting for the send lock when a cancel comes is woken and times out.
TEST_F(PortService, WriteWaitingBehindACancelledOneTimesOut) {
    HSDK h = Open("P");
    auto device = TestDevice::Find("P");
    BOOL bFirst = TRUE;
    DWORD dwFirst = 0, cbFirst = 0;
    std::thread first = StartStuckWrite(h, *device, &bFirst, &dwFirst, &cbFirst);
    BOOL bSecond = TRUE;
    DWORD dwSecond = 0;
    std::thread second([&]() {
        DWORD cb = 0;
        bSecond = Write(h, "second", &cb, LONG_WAIT);
        dwSecond = GetLastError();
    });
    // The second writer has announced its wait for the send lock the first one holds.
    const std::string waiting = "[P] WaitForLastSending WaitForMultipleObjects(";
    while (FindLine('D', waiting, FindLine('D', waiting) + 1) < 0) std::this_thread::yield();
    EXPECT_TRUE(pfnCancelPort(h));
    first.join();
    second.join();
    EXPECT_FALSE(bFirst);
    EXPECT_EQ(dwFirst, ERROR_CANCELLED);
    EXPECT_FALSE(bSecond);
    EXPECT_EQ(dwSecond, ERROR_TIMEOUT);
    EXPECT_LOG('W', "[P] WaitForLastSending [CANCEL]");
    EXPECT_TRUE(pfnClosePort(h, 0));
}

TEST_F(PortService, ResetStopsTheSendingThreadAndMarksOffline) {
    HSDK h = Open("P");
    auto device = TestDevice::Find("P");
    BOOL bWrite = TRUE;
    DWORD dwWrite = 0, cbWrite = 0;
    std::thread writer = StartStuckWrite(h, *device, &bWrite, &dwWrite, &cbWrite);
    EXPECT_TRUE(pfnResetPort(h));
    writer.join();
    EXPECT_FALSE(bWrite);
    EXPECT_EQ(dwWrite, ERROR_CANCELLED);
    EXPECT_EQ(device->nReset, 1);
    CCommon* pPort = device->pPort;
    EXPECT_TRUE(pPort->HasStatus(PM_STATUS_OFFLINE));
    EXPECT_FALSE(pPort->bReadDone);
    EXPECT_LOG('I', "[srv:P] pfnResetPort Reset()");
    EXPECT_TRUE(pfnClosePort(h, 0));
}

struct ResetCase {
    const char* pszName;
    std::function<void(CCommon&, TestDevice&)> arrange;
    BOOL bResult;
    DWORD dwError;  // checked when the reset fails
    int nResets;
    bool bOffline;
};

TEST_F(PortService, ResetOutcomes) {
    const std::vector<ResetCase> cases = {
        {"plain", [](CCommon&, TestDevice&) {}, TRUE, 0, 1, true},
        {"virtual serial stays online", [](CCommon& p, TestDevice&) { p.SetStatusBits(PM_STATUS_VIRTUAL_COM); }, TRUE,
         0, 1, false},
        {"reset fails", [](CCommon&, TestDevice& d) { d.bResetOk = FALSE; }, FALSE, ERROR_GEN_FAILURE, 1, false},
        {"cancel fails", [](CCommon&, TestDevice& d) { d.bCancelOk = FALSE; }, FALSE, ERROR_GEN_FAILURE, 0, false},
        {"open fails", [](CCommon&, TestDevice& d) { d.dwOpenError = ERROR_DEVICE_NOT_CONNECTED; }, FALSE,
         ERROR_DEVICE_NOT_CONNECTED, 0, true},
    };
    for (const ResetCase& c : cases) {
        HSDK h = Open("P");
        auto device = TestDevice::Find("P");
        CCommon& port = *device->pPort.load();
        port.Open();  // online to start with
        port.bReadDone = TRUE;
        c.arrange(port, *device);
        EXPECT_EQ(pfnResetPort(h), c.bResult) << c.pszName;
        if (!c.bResult) {
            EXPECT_EQ(GetLastError(), c.dwError) << c.pszName;
        }
        EXPECT_EQ(device->nReset, c.nResets) << c.pszName;
        EXPECT_EQ(port.HasStatus(PM_STATUS_OFFLINE), c.bOffline) << c.pszName;
        EXPECT_EQ(port.bReadDone, c.bResult ? FALSE : TRUE) << c.pszName;
        EXPECT_TRUE(pfnClosePort(h, 0));
    }
}

TEST_F(PortService, CancelDuringSoftResetSkipsItsWaits) {
    HSDK h = Open("P");
    auto device = TestDevice::Find("P");
    device->pPort.load()->bSoftReset = TRUE;
    EXPECT_TRUE(pfnCancelPort(h));
    EXPECT_EQ(device->nCancel, 1);
    EXPECT_FALSE(device->pPort.load()->bCancelling);
    EXPECT_FALSE(device->pPort.load()->hEvtCancel.IsSet());
    EXPECT_LT(FindLine('I', "[srv:P] pfnCancelPort WaitForLastSending("), 0);
    EXPECT_TRUE(pfnClosePort(h, 0));
}

TEST_F(PortService, CloseWaitsForTheWriteInProgress) {
    HSDK h = Open("P");
    auto device = TestDevice::Find("P");
    BOOL bWrite = FALSE;
    DWORD dwWrite = 0, cbWrite = 0;
    std::thread writer = StartStuckWrite(h, *device, &bWrite, &dwWrite, &cbWrite);
    std::atomic<bool> bClosed{false};
    std::thread closer([&]() {
        EXPECT_TRUE(pfnClosePort(h, 0));
        bClosed = true;
    });
    // The handle dies at once, while the close still waits for the writer.
    BYTE buf[1];
    DWORD cb = 0;
    while (pfnReadPortEx(h, buf, 1, &cb, 1) || GetLastError() != ERROR_INVALID_HANDLE) std::this_thread::yield();
    EXPECT_FALSE(bClosed);
    EXPECT_EQ(device->nClose, 0);
    device->DrainPeer(BIG, LONG_WAIT);
    writer.join();
    closer.join();
    EXPECT_TRUE(bWrite);
    EXPECT_EQ(cbWrite, BIG);
    EXPECT_EQ(device->nClose, 1);
    EXPECT_EQ(device->nUseCountAtClose, 0u);
    EXPECT_EQ(device->nDestroyed, 1);
    EXPECT_LOG('D', "[srv] FreeEntry WaitForSingleObject(1000)");
    const int nWriteDone = FindLine('I', "[srv:P] pfnWritePortEx [1048576/1048576]");
    EXPECT_GE(nWriteDone, 0);
    EXPECT_GT(FindLine('D', "[srv] FreeEntry Close() (P)"), nWriteDone);
}

// ---- Reads ----

struct ReadCase {
    const char* pszName;
    std::function<void(CCommon&, TestDevice&)> arrange;
    BOOL bResult;
    DWORD dwError;
    const char* pszData;
    char chLevel;
    const char* pszLog;
};

TEST_F(PortService, ReadOutcomes) {
    const std::vector<ReadCase> cases = {
        {"nothing to read", [](CCommon& p, TestDevice&) { p.Open(); }, TRUE, 0, "", 'D',
         "[srv:P] pfnReadPort Read() [timeout:0ms]"},
        {"data", [](CCommon&, TestDevice& d) { d.SendFromPeer("abc"); }, TRUE, 0, "abc", 'D',
         "[srv:P] pfnReadPort Open()"},
        {"read fails", [](CCommon&, TestDevice& d) { d.dwReadError = ERROR_GEN_FAILURE; }, FALSE,
         ERROR_DEVICE_NOT_CONNECTED, "", 'I', "[srv:P] pfnReadPort Close()"},
        {"open fails", [](CCommon&, TestDevice& d) { d.dwOpenError = ERROR_DEVICE_NOT_CONNECTED; }, FALSE,
         ERROR_DEVICE_NOT_CONNECTED, "", 'E', "[srv:P] pfnReadPort Open()"},
    };
    for (const ReadCase& c : cases) {
        HSDK h = Open("P");
        auto device = TestDevice::Find("P");
        c.arrange(*device->pPort.load(), *device);
        BYTE buf[16];
        std::memset(buf, 0xAA, sizeof buf);
        DWORD cb = 99;
        EXPECT_EQ(pfnReadPort(h, buf, sizeof buf, &cb), c.bResult) << c.pszName;
        if (!c.bResult) {
            EXPECT_EQ(GetLastError(), c.dwError) << c.pszName;
        }
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), cb), c.pszData) << c.pszName;
        for (DWORD i = cb; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 0) << c.pszName;
        EXPECT_LOG(c.chLevel, c.pszLog);
        EXPECT_TRUE(pfnClosePort(h, 0));
    }
}

}  // namespace
