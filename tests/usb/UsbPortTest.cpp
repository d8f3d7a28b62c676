#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "UsbFixture.h"
#include "UsblpWrites.h"
#include "platform/LastError.h"
#include "platform/WinError.h"
#include "port/Globals.h"
#include "port/Usb.h"
#include "port/UsbLp.h"
#include "support/BackgroundCall.h"
#include "support/HeldIoctl.h"

namespace {

std::vector<BYTE> Pattern(std::size_t cb) {
    std::vector<BYTE> data(cb);
    for (std::size_t i = 0; i < cb; ++i) data[i] = static_cast<BYTE>((i * 7 + i / 251) & 0xFF);
    return data;
}

using UsbPortTest = UsbFixture;

TEST(UsbPortName, NamesMapToNodesAsUsblpNumbersThem) {
    struct Case {
        const char* pszName;
        bool bValid;
        unsigned nLp;
    } cases[] = {
        {"USB001", true, 0},  {"usb002", true, 1},   {"USB127", true, 126}, {"USB001 (ZAQ)", true, 0},
        {"USB000", false, 0}, {"USB128", false, 0},  {"USB1", false, 0},    {"USB0011", false, 0},
        {"LPT1", false, 0},   {"", false, 0},        {"USBABC", false, 0},
    };
    for (const Case& c : cases) {
        unsigned n = 999;
        EXPECT_EQ(UsbLpOfPortName(c.pszName, &n), c.bValid) << c.pszName;
        if (c.bValid) {
            EXPECT_EQ(n, c.nLp) << c.pszName;
        }
    }
    EXPECT_EQ(UsbPortName(0), "USB001");
    EXPECT_EQ(UsbPortName(126), "USB127");
}

TEST_F(UsbPortTest, AbsenceIsOfflineOnceAndTheNodeIsTakenWhenItAppears) {
    CUsb port("USB001");
    ASSERT_TRUE(port.Init());
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(port.HasStatus(PM_STATUS_OFFLINE));
    EXPECT_FALSE(port.Open());
    BYTE buf[64];
    DWORD cb = 0;
    EXPECT_FALSE(port.Read(buf, sizeof buf, &cb, 10));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    sim::UsbNode& node = AddNode(0);
    ASSERT_TRUE(port.Open()) << GetLastError();
    EXPECT_FALSE(port.HasStatus(PM_STATUS_OFFLINE | PM_STATUS_CLOSED));
    DWORD cbWritten = 0;
    const BYTE hello[] = {'h', 'i'};
    ASSERT_TRUE(port.Write(hello, sizeof hello, &cbWritten, 1000));
    EXPECT_EQ(cbWritten, 2u);
    EXPECT_EQ(DrainMaster(node.Master(), 2), std::vector<BYTE>(hello, hello + 2));

    node.Withdraw();
    EXPECT_FALSE(port.IsConnect());
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    const std::string log = LogText();
    // A port starts offline: the first absence is no transition.
    EXPECT_EQ(Occurrences(log, "[USB001] [OFFLINE]"), 1u);
    EXPECT_EQ(Occurrences(log, "[USB001] [ONLINE]"), 1u);
    EXPECT_LT(log.find("[USB001] [ONLINE]"), log.find("[USB001] [OFFLINE]"));
}

TEST_F(UsbPortTest, TheSecondPortNameSelectsTheSecondNode) {
    sim::UsbNode& first = AddNode(0);
    sim::UsbNode& second = AddNode(1);
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB002", &m_hSdk)) << GetLastError();
    const BYTE text[] = "second";
    DWORD cb = 0;
    ASSERT_TRUE(pfnWritePortEx(m_hSdk, text, sizeof text, &cb, 2000));
    EXPECT_EQ(DrainMaster(second.Master(), sizeof text), std::vector<BYTE>(text, text + sizeof text));
    EXPECT_TRUE(DrainMaster(first.Master(), 1, 100).empty());
}

TEST_F(UsbPortTest, A5000ByteWriteSends64ThenOneFullAndOneShortChunk) {
    sim::UsbNode& node = AddNode(0);
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB001", &m_hSdk)) << GetLastError();
    const std::vector<BYTE> data = Pattern(5000);
    std::vector<BYTE> got;
    std::thread reader([&] { got = DrainMaster(node.Master(), data.size()); });
    DWORD cbWritten = 0;
    EXPECT_TRUE(pfnWritePortEx(m_hSdk, data.data(), static_cast<DWORD>(data.size()), &cbWritten, 5000));
    reader.join();
    EXPECT_EQ(cbWritten, data.size());
    EXPECT_EQ(got, data);
    const std::string log = LogText();
    EXPECT_NE(log.find("Transmitted (USB001) [64byte]"), std::string::npos);
    EXPECT_NE(log.find("[USB001] Write CreateThread() [4936byte]"), std::string::npos);
    EXPECT_NE(log.find("[USB001] ThreadSendUsb send() [4096byte]"), std::string::npos);
    EXPECT_NE(log.find("[USB001] ThreadSendUsb send() [840byte]"), std::string::npos);
    EXPECT_NE(log.find("[USB001] ThreadSendUsb done"), std::string::npos);
}

TEST_F(UsbPortTest, AWriteOf64BytesOrLessNeedsNoThread) {
    sim::UsbNode& node = AddNode(0);
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB001", &m_hSdk)) << GetLastError();
    const std::vector<BYTE> data = Pattern(64);
    DWORD cbWritten = 0;
    ASSERT_TRUE(pfnWritePortEx(m_hSdk, data.data(), 64, &cbWritten, 2000));
    EXPECT_EQ(cbWritten, 64u);
    EXPECT_EQ(DrainMaster(node.Master(), 64), data);
    const std::string log = LogText();
    EXPECT_NE(log.find("[USB001] Write success [cbInBuf:64]"), std::string::npos);
    EXPECT_EQ(log.find("Write CreateThread()"), std::string::npos);
}

TEST_F(UsbPortTest, ReadsAreRoundedDownTo64BytesAndASmallBufferIsRefused) {
    sim::UsbNode& node = AddNode(0);
    CUsb port("USB001");
    ASSERT_TRUE(port.Open());
    const std::vector<BYTE> answer = Pattern(100);
    ASSERT_EQ(::write(node.Master(), answer.data(), answer.size()), 100);

    BYTE buf[128];
    DWORD cb = 99;
    EXPECT_TRUE(port.Read(buf, 63, &cb, 100));
    EXPECT_EQ(cb, 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    ASSERT_TRUE(port.Read(buf, 100, &cb, 1000));
    ASSERT_EQ(cb, 64u);
    EXPECT_TRUE(std::equal(buf, buf + 64, answer.begin()));
    ASSERT_TRUE(port.Read(buf, sizeof buf, &cb, 1000));
    ASSERT_EQ(cb, 36u);
    EXPECT_TRUE(std::equal(buf, buf + 36, answer.begin() + 64));

    // Nothing waiting: the default wait ends without bytes and without failure.
    EXPECT_TRUE(port.Read(buf, sizeof buf, &cb, 0));
    EXPECT_EQ(cb, 0u);
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    EXPECT_NE(LogText().find("[USB001] SyncIoCtrl Small rec buffer size [63 byte]"), std::string::npos);
}

TEST_F(UsbPortTest, AWriteOnlyPrinterRefusingEveryReadIsLoggedOnce) {
    // usblp answers every read of a printer without an input pipe with EINVAL, as the
    // kernel does for a file that has no read: such a file stands in for the node.
    std::filesystem::create_directories(m_root / "sys/class/usbmisc/lp0");
    std::filesystem::create_directories(m_root / "dev/usb");
    std::filesystem::create_symlink("/proc/self/clear_refs", m_root / "dev/usb/lp0");
    CUsb port("USB001");
    ASSERT_TRUE(port.Open());
    BYTE buf[64];
    for (int i = 0; i < 5; ++i) {
        DWORD cb = 99;
        EXPECT_TRUE(port.Read(buf, sizeof buf, &cb, 100));
        EXPECT_EQ(cb, 0u);
        EXPECT_EQ(GetLastError(), ERROR_REQUEST_ABORTED);
    }
    EXPECT_EQ(Occurrences(LogText(), "[USB001] SyncIoCtrl GetOverlappedResult() [code:22/type:1]"), 1u);
}

TEST_F(UsbPortTest, ANodeWithoutUsblpRequestsRefusesTheSoftResetAndStaysUsable) {
    sim::UsbNode& node = AddNode(0);
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB001", &m_hSdk)) << GetLastError();
    EXPECT_FALSE(pfnResetPort(m_hSdk));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_NE(LogText().find("[USB001] Reset [NOT SUPPORTED]"), std::string::npos);
    const BYTE text[] = "after";
    DWORD cb = 0;
    ASSERT_TRUE(pfnWritePortEx(m_hSdk, text, sizeof text, &cb, 2000));
    EXPECT_EQ(DrainMaster(node.Master(), sizeof text), std::vector<BYTE>(text, text + sizeof text));
}

TEST_F(UsbPortTest, TheDeviceIdComesFromSysfsWhereTheNodeHasNoIoctl) {
    struct Case {
        std::string szId;
        bool bNoId;
        bool bOk;
        std::size_t cbText;
    } cases[] = {
        {"MFG:ZAQ;MDL:KV-80;", false, true, 18},
        {std::string(200, 'x'), false, true, USB_DEVICE_ID_MAX - 2},
        {"", true, false, 0},
    };
    unsigned nLp = 0;
    for (const Case& c : cases) {
        sim::UsbIdentity id;
        id.szDeviceId = c.szId;
        id.bNoDeviceId = c.bNoId;
        AddNode(nLp, id);
        CUsb port(UsbPortName(nLp).c_str());
        ++nLp;
        BYTE out[256];
        DWORD cb = 0;
        ASSERT_EQ(port.DevIo(IOCTL_USBPRINT_GET_1284_ID, nullptr, 0, out, sizeof out, &cb), c.bOk ? TRUE : FALSE);
        if (!c.bOk) continue;
        ASSERT_EQ(cb, c.cbText + 2);
        EXPECT_EQ((out[0] << 8) | out[1], static_cast<int>(c.cbText + 2));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out + 2), c.cbText), c.szId.substr(0, c.cbText));
    }
    CUsb port("USB001");
    BYTE out[8];
    DWORD cb = 0;
    EXPECT_FALSE(port.DevIo(0x12345678, nullptr, 0, out, sizeof out, &cb));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

// The printer that comes back after an unplug (or a reset) has lost the transfer's
// beginning: the rest of the write must never reach it. The write fails at once with
// what left before, and the device under the name gets nothing until a new write.
TEST_F(UsbPortTest, UnpluggedMidWriteTheRestNeverGoesToTheReturnedNode) {
    sim::UsbNode& node = AddNode(0);
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB001", &m_hSdk)) << GetLastError();
    // Nobody reads: the node's buffer fills under the sending thread.
    const std::vector<BYTE> data = Pattern(1 << 20);
    DWORD cbWritten = 0;
    BackgroundCall write(
        [&] { return pfnWritePortEx(m_hSdk, data.data(), static_cast<DWORD>(data.size()), &cbWritten, 20000); });
    ASSERT_TRUE(WaitForLog("[USB001] ThreadSendUsb send() ["));
    node.Withdraw();
    ASSERT_TRUE(WaitForLog("[USB001] [OFFLINE]"));
    ASSERT_TRUE(node.Publish());
    write.Join();
    EXPECT_FALSE(write.bResult);
    EXPECT_EQ(write.dwError, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_LT(cbWritten, data.size());
    EXPECT_TRUE(DrainMaster(node.Master(), data.size(), 300).empty());
    // A new write goes to the device that came back, from its first byte.
    DWORD cb = 0;
    std::vector<BYTE> fresh(data.begin(), data.begin() + 5000);
    BackgroundCall again([&] { return pfnWritePortEx(m_hSdk, fresh.data(), 5000, &cb, 5000); });
    const std::vector<BYTE> got = DrainMaster(node.Master(), fresh.size());
    again.Join();
    EXPECT_TRUE(again.bResult) << again.dwError;
    EXPECT_EQ(got, fresh);
    EXPECT_NE(LogText().find("[USB001] ThreadSendUsb WriteFile() [other]"), std::string::npos);
}

TEST_F(UsbPortTest, UnpluggedForGoodTheWriteFailsWithTheCountThatLeft) {
    sim::UsbNode& node = AddNode(0);
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB001", &m_hSdk)) << GetLastError();
    const std::vector<BYTE> data = Pattern(1 << 20);
    DWORD cbWritten = 0;
    BackgroundCall write(
        [&] { return pfnWritePortEx(m_hSdk, data.data(), static_cast<DWORD>(data.size()), &cbWritten, 1500); });
    ASSERT_TRUE(WaitForLog("[USB001] ThreadSendUsb send() ["));
    node.Withdraw();
    write.Join();
    // Not a write cut short by its time: the printer left, which the caller must hear.
    EXPECT_FALSE(write.bResult);
    EXPECT_EQ(write.dwError, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_GE(cbWritten, 64u);
    EXPECT_LT(cbWritten, data.size());
    DWORD cb = 0;
    EXPECT_FALSE(pfnWritePortEx(m_hSdk, data.data(), 10, &cb, 500));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(cb, 0u);
}

TEST_F(UsbPortTest, APrinterPluggedBackUnderItsNumberIsReopenedForTheNextRequest) {
    sim::UsbNode& node = AddNode(0);
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB001", &m_hSdk)) << GetLastError();
    const std::vector<BYTE> data = Pattern(40);
    DWORD cb = 0;
    ASSERT_TRUE(pfnWritePortEx(m_hSdk, data.data(), 40, &cb, 2000)) << GetLastError();
    ASSERT_EQ(DrainMaster(node.Master(), 40), data);
    // Out and back in between two requests: lp0 again, a new device number.
    node.Withdraw();
    ASSERT_TRUE(node.Publish());
    cb = 0;
    EXPECT_TRUE(pfnWritePortEx(m_hSdk, data.data(), 40, &cb, 2000)) << GetLastError();
    EXPECT_EQ(cb, 40u);
    EXPECT_EQ(DrainMaster(node.Master(), 40), data);
}

TEST_F(UsbPortTest, ANodeThatCannotBeOpenedFailsTheWriteAndSaysSo) {
    std::filesystem::create_directories(m_root / "sys/class/usbmisc/lp0");
    std::filesystem::create_directories(m_root / "dev/usb/lp0");  // not a device: the open fails
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB001", &m_hSdk)) << GetLastError();
    const BYTE text[] = "x";
    DWORD cb = 0;
    EXPECT_FALSE(pfnWritePortEx(m_hSdk, text, 1, &cb, 500));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(cb, 0u);
    EXPECT_NE(LogText().find("[USB001] Open CreateFile [byType:0]"), std::string::npos);
}

}  // namespace

namespace {

TEST_F(UsbPortTest, BlockAfterBlockArrivesWholeAndInOrder) {
    sim::UsbNode& node = AddNode(0);
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB001", &m_hSdk)) << GetLastError();
    const std::vector<BYTE> data = Pattern(64 * 4096);
    std::vector<BYTE> got;
    std::thread reader([&] { got = DrainMaster(node.Master(), data.size()); });
    DWORD cbTotal = 0;
    for (std::size_t off = 0; off < data.size(); off += 4096) {
        DWORD cb = 0;
        EXPECT_TRUE(pfnWritePortEx(m_hSdk, data.data() + off, 4096, &cb, 5000));
        cbTotal += cb;
    }
    reader.join();
    EXPECT_EQ(cbTotal, data.size());
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}

}  // namespace

namespace {

// usblp takes a non-blocking write for a transfer still under way and cancels it at the
// last close: the last bytes of a write count only once their transfer has ended, and a
// close waits for it, whether the write went on the sending thread or not (a short
// command such as the one after an update).
TEST_F(UsbPortTest, TheLastBytesEndTheirTransferBeforeTheyCountOrThePortCloses) {
    for (const DWORD cbData : {DWORD{20000}, DWORD{15}}) {
        SCOPED_TRACE(cbData);
        AddNode(0);
        UsblpWrites printer(m_root.Path(), 0, 256 * 1024);
        ASSERT_TRUE(printer.Ok());
        ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB001", &m_hSdk)) << GetLastError();
        const std::vector<BYTE> data = Pattern(cbData);
        DWORD cbWritten = 0;
        EXPECT_TRUE(pfnWritePortEx(m_hSdk, data.data(), cbData, &cbWritten, 5000)) << GetLastError();
        EXPECT_EQ(cbWritten, cbData);
        EXPECT_EQ(printer.Received().size(), cbData);
        EXPECT_TRUE(pfnClosePort(m_hSdk, 0));
        m_hSdk = 0;
        for (Deadline limit(5000); !printer.Closed() && !limit.Expired();) Sleep(5);
        EXPECT_TRUE(printer.Closed());
        EXPECT_EQ(printer.Cancelled(), 0u);
        EXPECT_EQ(printer.Received(), data);
        m_nodes.clear();
    }
}

}  // namespace

namespace {

// What a descriptor of this process refers to now ("" when closed).
std::string FdTarget(int fd) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
    return ec ? std::string() : target.string();
}

// usblp's soft reset waits in the kernel for the printer (up to 5 s, not interruptible)
// holding the lock of every read and write of the device. The stand-in holds the ioctl
// until the test lets it go; the reset runs from a thread under that stand-in.
class HeldResetTest : public UsbFixture {
protected:
    // A bound for a failing case only, so that a reset that waits for the kernel fails
    // the test instead of hanging it.
    template <class Pred>
    static bool WaitUntil(Pred pred) {
        for (Deadline limit(10000); !pred(); Sleep(2)) {
            if (limit.Expired()) return false;
        }
        return true;
    }
    // Starts port.Reset() and waits until its ioctl is held; *pFd is the descriptor it
    // runs on. False (and the test skipped) where the kernel refuses the stand-in.
    // *pReturned (when given) is set once Reset has returned.
    bool StartHeldReset(CUsb& port, HeldIoctl& held, std::unique_ptr<BackgroundCall>* pCall, int* pFd,
                        std::atomic<bool>* pReturned = nullptr) {
        *pCall = std::make_unique<BackgroundCall>([&port, &held, pReturned] {
            const BOOL bResult = held.InstallOnThisThread() ? port.Reset() : FALSE;
            LastErrorGuard keep;
            if (pReturned != nullptr) *pReturned = true;
            return bResult;
        });
        if (const int err = held.WaitInstalled(); err != 0) {
            (*pCall)->Join();
            ADD_FAILURE() << "seccomp user notification refused: " << std::strerror(err);
            return false;
        }
        if (!held.WaitForCall(10000, pFd)) {
            ADD_FAILURE() << "the soft reset never reached the kernel";
            return false;
        }
        return true;
    }
};

TEST_F(HeldResetTest, ACancelIsAnsweredWhileTheSoftResetIsStillInTheKernel) {
    struct Source {
        const char* pszName;
        void (*pfnSet)(CUsb&, bool);
    } sources[] = {
        {"the port's cancel", [](CUsb& port, bool bOn) { bOn ? port.hEvtCancel.Set() : port.hEvtCancel.Reset(); }},
        {"the engine's abort", [](CUsb&, bool bOn) { bOn ? PortAbortEvent().Set() : PortAbortEvent().Reset(); }},
    };
    for (const Source& source : sources) {
        SCOPED_TRACE(source.pszName);
        sim::UsbNode& node = AddNode(0);
        const std::string szNode = std::filesystem::canonical(m_root / "dev/usb/lp0").string();
        auto port = std::make_unique<CUsb>("USB001");
        ASSERT_TRUE(port->Open());
        HeldIoctl held(UsblpSoftResetRequest());
        std::unique_ptr<BackgroundCall> reset;
        std::atomic<bool> returned{false};
        int fd = -1;
        ASSERT_TRUE(StartHeldReset(*port, held, &reset, &fd, &returned));
        EXPECT_EQ(FdTarget(fd), szNode);
        source.pfnSet(*port, true);
        // Answered while usblp's request is still in the kernel (a reset that waited for
        // it would come back only once the test lets the ioctl go).
        const bool bAnswered = WaitUntil([&] { return returned.load(); });
        EXPECT_TRUE(bAnswered);
        EXPECT_TRUE(held.StillHeld());
        if (!bAnswered) held.Release(ETIMEDOUT);
        reset->Join();
        EXPECT_FALSE(reset->bResult);
        EXPECT_EQ(reset->dwError, static_cast<DWORD>(ERROR_CANCELLED));
        source.pfnSet(*port, false);

        // usblp's lock is still taken: a write waits its time and sends nothing.
        const BYTE text[] = "after";
        DWORD cb = 0;
        EXPECT_FALSE(port->Write(text, sizeof text, &cb, 200));
        EXPECT_EQ(GetLastError(), ERROR_BUSY);
        EXPECT_EQ(cb, 0u);
        // Closing the port closes nothing the reset still uses, nor frees its number.
        port->Close(FALSE);
        port->Term();
        EXPECT_TRUE(held.StillHeld());
        EXPECT_EQ(FdTarget(fd), szNode);
        EXPECT_TRUE(DrainMaster(node.Master(), 1, 50).empty());

        ASSERT_TRUE(held.Release(ETIMEDOUT));
        port.reset();
        // Closed and opened again: the printer gets the next write.
        ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB001", &m_hSdk)) << GetLastError();
        ASSERT_TRUE(pfnWritePortEx(m_hSdk, text, sizeof text, &cb, 2000)) << GetLastError();
        EXPECT_EQ(DrainMaster(node.Master(), sizeof text), std::vector<BYTE>(text, text + sizeof text));
        EXPECT_TRUE(pfnClosePort(m_hSdk, 0));
        m_hSdk = 0;
        m_nodes.clear();
    }
    EXPECT_EQ(Occurrences(LogText(), "[USB001] SyncIoCtrl WaitForMultipleObjects() cancel request."), 2u);
}

// The reset's result is usblp's answer once the ioctl returns: a refused request keeps
// the descriptor (the printer is still there), only a vanished device is offline.
TEST_F(HeldResetTest, TheSoftResetEndsWithUsblpsAnswer) {
    struct Case {
        int err;
        BOOL bResult;
        DWORD dwError;
    } cases[] = {
        {0, TRUE, ERROR_SUCCESS},
        {EPIPE, FALSE, ERROR_REQUEST_ABORTED},
        {ETIMEDOUT, FALSE, ERROR_REQUEST_ABORTED},
    };
    sim::UsbNode& node = AddNode(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        CUsb port("USB001");
        ASSERT_TRUE(port.Open());
        HeldIoctl held(UsblpSoftResetRequest());
        std::unique_ptr<BackgroundCall> reset;
        int fd = -1;
        ASSERT_TRUE(StartHeldReset(port, held, &reset, &fd));
        ASSERT_TRUE(held.Release(c.err));
        reset->Join();
        EXPECT_EQ(reset->bResult, c.bResult);
        if (!c.bResult) {
            EXPECT_EQ(reset->dwError, c.dwError);
        }
        EXPECT_FALSE(port.HasStatus(PM_STATUS_OFFLINE));
        const BYTE text[] = "next";
        DWORD cb = 0;
        ASSERT_TRUE(port.Write(text, sizeof text, &cb, 2000)) << GetLastError();
        EXPECT_EQ(DrainMaster(node.Master(), sizeof text), std::vector<BYTE>(text, text + sizeof text));
    }
}

}  // namespace
