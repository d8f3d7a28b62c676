#include <fcntl.h>

#include <functional>
#include <thread>
#include <vector>

#include "BluetoothFixture.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/Globals.h"
#include "support/SimExchange.h"

namespace {

using ::ReadAnswer;  // through the port service, beside the driver's own below

std::vector<BYTE> ReadAnswer(CBluetooth& port) {
    BYTE buf[256];
    DWORD cb = 0;
    for (int i = 0; i < 30 && cb == 0; ++i)
        if (!port.Read(buf, sizeof buf, &cb, 100)) return {};
    return std::vector<BYTE>(buf, buf + cb);
}

bool WriteAll(CBluetooth& port, const std::vector<BYTE>& data) {
    if (!port.WaitForLastSending(nullptr, FALSE)) return false;
    DWORD cb = 0;
    BOOL ok = port.Write(data.data(), static_cast<DWORD>(data.size()), &cb, 5000);
    port.ReleaseSending();
    return ok && cb == data.size();
}

// The all-zero address, which names no device; built so no address literal stands for it.
const std::string kZeroAddress = "00:00:00:00:00:" + std::string("00");

struct AddressCase {
    const char* pszName;
    std::uint64_t addr;
};

TEST(BluetoothAddressTest, SixHexPairsInEitherCaseAndNothingElse) {
    const AddressCase cases[] = {
        {"02:00:5A:00:00:01", 0x02005A000001ull},
        {"02:00:5a:00:00:01", 0x02005A000001ull},
        {"02:FF:FF:FF:FF:FF", 0x02FFFFFFFFFFull},
        {kZeroAddress.c_str(), 0},
        {"02:00:5A:00:00", 0},
        {"02:00:5A:00:00:01:02", 0},
        {"02-00-5A-00-00-01", 0},
        {"02:00:5G:00:00:01", 0},
        {" 02:00:5A:00:00:01", 0},
        {"2:00:5A:00:00:01x", 0},
        {"", 0},
        {"192.168.0.1", 0},
    };
    for (const AddressCase& c : cases) EXPECT_EQ(ParseBthAddress(c.pszName), c.addr) << c.pszName;
    EXPECT_EQ(ParseBthAddress(nullptr), 0u);
}

TEST(BluetoothAddressTest, AZeroOrMalformedNameIsRefusedAtConstruction) {
    for (const char* pszName : {kZeroAddress.c_str(), "02:00:5A:00:00", "printer"}) {
        CBluetooth port(pszName);
        EXPECT_FALSE(port.bSuccessInit) << pszName;
        EXPECT_FALSE(port.Init()) << pszName;
        HSDK h = 0;
        EXPECT_FALSE(pfnOpenPort(0, PORT_KIND_BLUETOOTH, pszName, &h)) << pszName;
    }
    CBluetooth port("02:00:5a:00:00:01");
    EXPECT_TRUE(port.bSuccessInit);
    EXPECT_EQ(port.btAddr.load(), 0x02005A000001ull);
}

using BluetoothPortTest = BluetoothFixture;

TEST_F(BluetoothPortTest, ConnectsThroughTheProfileWritesAndReadsAnswersOnTheStream) {
    StartPrinter();
    OpenPort();
    std::vector<BYTE> data(5000, 'x');
    std::vector<BYTE> cmd = DeviceIdCommand();
    data.insert(data.end(), cmd.begin(), cmd.end());
    DWORD cbWritten = 0;
    ASSERT_TRUE(pfnWritePortEx(m_hSdk, data.data(), static_cast<DWORD>(data.size()), &cbWritten, 5000)) << GetLastError();
    EXPECT_EQ(cbWritten, data.size());
    EXPECT_EQ(ReadAnswer(m_hSdk), kDeviceIdAnswer);
    sim::SimEvent ignored;
    ASSERT_TRUE(m_pPrinter->WaitForEvent("ignored", 2000, &ignored));
    EXPECT_EQ(ignored.Int("bytes"), 5032);
    EXPECT_EQ(m_pBluez->ConnectProfileCalls(kPrinterAddress), 1);
    EXPECT_EQ(Count("connect"), 1);  // one connection for every operation
    std::string log = LogText();
    EXPECT_NE(log.find("[1460byte]"), std::string::npos);
    EXPECT_EQ(log.find("[1461byte]"), std::string::npos);
    EXPECT_NE(log.find("[" + std::string(kPrinterAddress) + "] OpenSocket connect() [count:"), std::string::npos);
}

TEST_F(BluetoothPortTest, AReadWithNothingToReceiveSucceedsEmptyWhateverItsTimeout) {
    StartPrinter();
    CBluetooth port(kPrinterAddress);
    ASSERT_TRUE(port.Open()) << GetLastError();
    for (DWORD dwTimeout : {0u, 100u, 60000u}) {
        BYTE buf[16];
        DWORD cb = 99;
        EXPECT_TRUE(port.Read(buf, sizeof buf, &cb, dwTimeout));
        EXPECT_EQ(cb, 0u);
    }
    port.Close(FALSE);
    DWORD cb = 99;
    BYTE buf[16];
    EXPECT_FALSE(port.Read(buf, sizeof buf, &cb, 0));  // no connection
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(cb, 0u);
}

TEST_F(BluetoothPortTest, ResetSendsTheRealTimeResetUnlessThePrinterTakesNone) {
    StartPrinter();
    {
        CBluetooth port(kPrinterAddress);
        port.SetStatusBits(PM_STATUS_NOT_SUPPORT_REAL_RESET_CMD);
        EXPECT_TRUE(port.Reset());  // nothing sent, not even connected
        ASSERT_TRUE(port.Open()) << GetLastError();
        EXPECT_TRUE(port.Reset());
        ASSERT_TRUE(WriteAll(port, DeviceIdCommand()));
        EXPECT_EQ(ReadAnswer(port), kDeviceIdAnswer);  // still up: no reset reached it
    }
    EXPECT_FALSE(m_pPrinter->WaitForEvent("command", 0, nullptr, 0,
                                          [](const sim::SimEvent& e) { return e.Str("name") == "REAL_RESET_CMD"; }));
    CBluetooth port(kPrinterAddress);
    EXPECT_FALSE(port.Reset());  // no connection
    ASSERT_TRUE(port.Open()) << GetLastError();
    EXPECT_TRUE(port.Reset());
    // Recognised as the command: all 15 bytes came, the final NUL included.
    EXPECT_TRUE(m_pPrinter->WaitForEvent("command", 2000, nullptr, 0,
                                         [](const sim::SimEvent& e) { return e.Str("name") == "REAL_RESET_CMD"; }));
}

TEST_F(BluetoothPortTest, TheServiceResetCancelsFirstSoItFindsNoConnection) {
    StartPrinter();
    OpenPort();
    EXPECT_FALSE(pfnResetPort(m_hSdk));
    pfnClosePort(m_hSdk, 0);
    m_hSdk = 0;
    OpenPort(OPT_TCP_CON_WITHOUT_OPEN | OPT_NOT_SUPPORT_REAL_RESET_CMD);
    EXPECT_TRUE(pfnResetPort(m_hSdk));
}

struct CloseCase {
    BOOL bAbortive;
    bool bSleep;
};

// The orderly close ends the link at once (RFCOMM has no half-close); the abortive one
// drains first and shuts down only when the printer has gone (here: restarts).
TEST_F(BluetoothPortTest, CloseKindsAndTheSleepBeforeShutting) {
    StartPrinter();
    const CloseCase cases[] = {{FALSE, false}, {FALSE, true}, {TRUE, false}, {TRUE, true}};
    unsigned long long nLastSeq = 0;
    for (const CloseCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "abortive " << c.bAbortive << " sleep " << c.bSleep);
        CBluetooth port(kPrinterAddress);
        if (c.bSleep) port.SetStatusBits(PM_STATUS_BT_SLEEP_BEFORE_SHUT);
        ASSERT_TRUE(port.Open()) << GetLastError();
        sim::SimEvent connected;
        ASSERT_TRUE(m_pPrinter->WaitForEvent("connect", 2000, &connected, nLastSeq));
        std::thread closer([&] { port.Close(c.bAbortive); });
        sim::SimEvent gone;
        if (c.bAbortive) {
            // No half-close: the printer sees nothing until it drops the link itself.
            EXPECT_FALSE(m_pPrinter->WaitForEvent("disconnect", c.bSleep ? 2000 : 500, nullptr, connected.nSeq));
            m_pPrinter->PowerCycle();
            ASSERT_TRUE(m_pPrinter->WaitForEvent("disconnect", 5000, &gone, connected.nSeq));
            EXPECT_EQ(gone.Str("by"), "printer");
        } else {
            ASSERT_TRUE(m_pPrinter->WaitForEvent("disconnect", 5000, &gone, connected.nSeq));
            EXPECT_EQ(gone.Str("by"), "host");
            if (c.bSleep) {
                EXPECT_GE(gone.dwMs - connected.dwMs, 1500u);
            }
        }
        closer.join();
        EXPECT_TRUE(port.HasStatus(PM_STATUS_CLOSED));
        // A closed connection closes again without a pause or a word to the printer.
        port.Close(FALSE);
        if (c.bAbortive) {
            ASSERT_TRUE(m_pPrinter->WaitForEvent("link", 5000, nullptr, gone.nSeq,
                                                 [](const sim::SimEvent& e) { return e.Str("state") == "up" && e.Str("channel") == "stream"; }));
        }
        nLastSeq = m_pPrinter->Transcript().back().nSeq + 1;
    }
    std::string log = LogText();
    EXPECT_NE(log.find("] closesocket() [count:"), std::string::npos);
}

struct ConnectFault {
    const char* pszWhat;
    std::function<void(const std::string&)> setUp;  // given the device's address
    DWORD dwError;         // 0: the open succeeds
    const char* pszLog;    // a line the open logs, after "[address] "
};

std::string CaseAddress(int i) { return StrPrintf("02:00:5A:00:01:%02X", i); }

// Each BlueZ answer the connect can meet, on the strict mock: the open's result and what
// the log says.
TEST_F(BluetoothPortTest, ConnectFaultsEndTheOpenWithTheirOwnCodes) {
    StartPrinter();
    ASSERT_TRUE(m_pBluez->AddAdapter("hci1")) << m_pBluez->Error();
    ASSERT_TRUE(m_pBluez->SetAdapterPowered(false, "hci1"));
    auto paired = [this](const std::string& a) {
        ASSERT_TRUE(m_pBluez->AddDevice(a, "ZAQ Mobile", kPrinterClass, true)) << m_pBluez->Error();
        ASSERT_TRUE(m_pBluez->ServeProfile(a, SocketPath())) << m_pBluez->Error();
    };
    auto mode = [this, paired](const char* pszMode) {
        return [this, paired, pszMode](const std::string& a) {
            paired(a);
            ASSERT_TRUE(m_pBluez->SetConnectMode(a, pszMode)) << m_pBluez->Error();
        };
    };
    const ConnectFault cases[] = {
        {"refused", mode("refuse"), WSAECONNREFUSED, "ConnectProfile() [org.bluez.Error.Failed: br-connection-refused]"},
        {"page time-out", mode("pagetimeout"), ERROR_TIMEOUT,
         "ConnectProfile() [org.bluez.Error.Failed: br-connection-page-timeout]"},
        {"adapter not ready", mode("notready"), ERROR_DEVICE_NOT_CONNECTED,
         "ConnectProfile() [org.bluez.Error.NotReady: Resource Not Ready]"},
        {"adapter off",
         [this](const std::string& a) {
             ASSERT_TRUE(m_pBluez->AddDevice(a, "ZAQ Mobile", kPrinterClass, true, "hci1")) << m_pBluez->Error();
         },
         ERROR_DEVICE_NOT_CONNECTED, "connect() [its adapter is off]"},
        {"profile not offered", mode("notavailable"), WSAECONNREFUSED,
         "ConnectProfile() [org.bluez.Error.NotAvailable: Operation currently not available]"},
        {"success without NewConnection", mode("nonewconn"), WSAECONNREFUSED,
         "ConnectProfile() [answered without a connection]"},
        {"NewConnection for another device", mode("wrongdevice"), WSAECONNREFUSED, "NewConnection() rejected [device:"},
        {"NewConnection from another program", mode("wrongsender"), WSAECONNREFUSED, "NewConnection() rejected [device:"},
        {"busy twice, then connected", mode("inprogress:2"), 0,
         "ConnectProfile() [org.bluez.Error.InProgress: In Progress]"},
        {"another program's registration, then released",
         [this, paired](const std::string& a) {
             paired(a);
             ASSERT_TRUE(m_pBluez->HoldUuid(SPP_UUID)) << m_pBluez->Error();
             m_releaser = std::thread([this, a] {
                 // Released once the driver has met it.
                 while (LogText().find("[" + a + "] RegisterProfile() [org.bluez.Error.NotPermitted") ==
                        std::string::npos)
                     Sleep(10);
                 m_pBluez->ReleaseUuid();
             });
         },
         0, "RegisterProfile() [org.bluez.Error.NotPermitted: UUID already registered]"},
        {"another program's registration throughout",
         [this, paired](const std::string& a) {
             paired(a);
             ASSERT_TRUE(m_pBluez->HoldUuid(SPP_UUID)) << m_pBluez->Error();
         },
         ERROR_ACCESS_DENIED, "OpenSocket connect() [iError:5 / count:"},
        {"never connected", mode("hang"), ERROR_TIMEOUT, "OpenSocket connect() [TIMEOUT:"},
        {"not known to BlueZ", [](const std::string&) {}, ERROR_DEVICE_NOT_CONNECTED,
         "connect() [not known to BlueZ]"},
        {"not paired",
         [this](const std::string& a) {
             ASSERT_TRUE(m_pBluez->AddDevice(a, "ZAQ Mobile", kPrinterClass, false)) << m_pBluez->Error();
         },
         ERROR_DEVICE_NOT_CONNECTED, "connect() [not paired]"},
    };
    int i = 0;
    int nLinks = 0;
    for (const ConnectFault& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const std::string address = CaseAddress(++i);
        c.setUp(address);
        {
            CBluetooth port(address.c_str());
            const BOOL bOpened = port.Open();
            const DWORD dwError = GetLastError();
            if (m_releaser.joinable()) m_releaser.join();
            m_pBluez->ReleaseUuid();
            EXPECT_EQ(bOpened, c.dwError == 0);
            if (c.dwError != 0) {
                EXPECT_EQ(dwError, c.dwError);
            }
            if (bOpened) {
                ++nLinks;
                ASSERT_TRUE(WriteAll(port, DeviceIdCommand()));
                EXPECT_EQ(ReadAnswer(port), kDeviceIdAnswer);
            }
        }
        EXPECT_NE(LogText().find("[" + address + "] " + c.pszLog), std::string::npos) << c.pszLog;
    }
    // The links handed over wrongly were made, then dropped by both ends: every link made
    // has ended.
    EXPECT_EQ(Count("connect"), nLinks + 2);
    // No path of the connect leaves a registration behind.
    Deadline limit(5000);
    while ((m_pBluez->Profiles() != 0 || Count("disconnect") != Count("connect")) && !limit.Expired()) Sleep(10);
    EXPECT_EQ(m_pBluez->Profiles(), 0);
    EXPECT_EQ(Count("disconnect"), Count("connect"));
}

// The registration goes once the socket is taken: two printers connect at once, each link
// kept by its socket alone.
TEST_F(BluetoothPortTest, TwoPrintersConnectAtOnceAndTheRegistrationGoesWithTheConnect) {
    StartPrinter();
    const std::string second = "02:00:5A:00:00:02";
    auto other = StartBluetoothPrinter({}, m_root / "second.sock");
    ASSERT_TRUE(other);
    ASSERT_TRUE(m_pBluez->AddDevice(second, "ZAQ Mobile", kPrinterClass, true)) << m_pBluez->Error();
    ASSERT_TRUE(m_pBluez->ServeProfile(second, m_root / "second.sock")) << m_pBluez->Error();
    CBluetooth first(kPrinterAddress);
    CBluetooth port2(second.c_str());
    std::thread opener([&] { EXPECT_TRUE(port2.Open()) << GetLastError(); });
    EXPECT_TRUE(first.Open()) << GetLastError();
    opener.join();
    Deadline limit(5000);
    while ((m_pBluez->Profiles() != 0 || m_pBluez->HeldSockets() != 0) && !limit.Expired()) Sleep(10);
    EXPECT_EQ(m_pBluez->Profiles(), 0);
    EXPECT_EQ(m_pBluez->HeldSockets(), 0);
    for (CBluetooth* p : {&first, &port2}) {
        {
            // BlueZ hands over a non-blocking socket; the driver's sends and 100 ms reads block.
            std::lock_guard lock(p->csSocket);
            EXPECT_EQ(::fcntl(p->sockBth.Get(), F_GETFL) & O_NONBLOCK, 0);
        }
        ASSERT_TRUE(WriteAll(*p, DeviceIdCommand()));
        EXPECT_EQ(ReadAnswer(*p), kDeviceIdAnswer);
    }
    EXPECT_EQ(Count("connect"), 1);
    EXPECT_TRUE(other->WaitForEvent("connect", 0));
}

// BlueZ keeps a Device1 per adapter and lists newer ones first: the paired one on a
// powered adapter is the one connected.
TEST_F(BluetoothPortTest, ThePairedDeviceOnAPoweredAdapterIsTheOneConnected) {
    StartPrinter();
    for (const char* pszAdapter : {"hci1", "hci2"}) ASSERT_TRUE(m_pBluez->AddAdapter(pszAdapter)) << m_pBluez->Error();
    ASSERT_TRUE(m_pBluez->AddDevice(kPrinterAddress, "ZAQ Mobile", kPrinterClass, false, "hci1")) << m_pBluez->Error();
    ASSERT_TRUE(m_pBluez->AddDevice(kPrinterAddress, "ZAQ Mobile", kPrinterClass, true, "hci2")) << m_pBluez->Error();
    ASSERT_TRUE(m_pBluez->SetAdapterPowered(false, "hci2"));
    for (const char* pszAdapter : {"hci1", "hci2"})
        ASSERT_TRUE(m_pBluez->ServeProfile(kPrinterAddress, SocketPath(), pszAdapter)) << m_pBluez->Error();
    CBluetooth port(kPrinterAddress);
    ASSERT_TRUE(port.Open()) << GetLastError();
    EXPECT_EQ(m_pBluez->ConnectProfileCalls(kPrinterAddress, "hci0"), 1);
    EXPECT_EQ(m_pBluez->ConnectProfileCalls(kPrinterAddress, "hci1"), 0);
    EXPECT_EQ(m_pBluez->ConnectProfileCalls(kPrinterAddress, "hci2"), 0);
}

// A cancelled connect leaves nothing pending in BlueZ: its registration goes, which ends
// bluetoothd's connect under way, so the next open connects at its first ConnectProfile.
// The run's abort (the user's Ctrl+C) wakes it as the port's own cancel does.
TEST_F(BluetoothPortTest, CancelAndTerminateWakeAConnectThatNeverCompletes) {
    StartPrinter();
    int i = 0x40;
    for (const char* pszWake : {"cancel", "terminate", "run abort"}) {
        SCOPED_TRACE(pszWake);
        const std::string wake = pszWake;
        // A device of its own: no service browse of an earlier connect is under way.
        const std::string address = CaseAddress(++i);
        ASSERT_TRUE(m_pBluez->AddDevice(address, "ZAQ Mobile", kPrinterClass, true)) << m_pBluez->Error();
        ASSERT_TRUE(m_pBluez->IgnoreProfile(address));
        {
            CBluetooth port(address.c_str());
            std::thread waker([&] {
                // Once BlueZ has the request, the connect is waiting for NewConnection.
                while (m_pBluez->ConnectProfileCalls(address) == 0) Sleep(10);
                (wake == "cancel" ? port.hEvtCancel : wake == "terminate" ? port.hEvtTerm : PortAbortEvent()).Set();
            });
            EXPECT_FALSE(port.Open());
            EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
            waker.join();
            PortAbortEvent().Reset();
        }
        ASSERT_TRUE(m_pBluez->ServeProfile(address, SocketPath())) << m_pBluez->Error();
        CBluetooth next(address.c_str());
        ASSERT_TRUE(next.Open()) << GetLastError();
        EXPECT_EQ(m_pBluez->ConnectProfileCalls(address), 2);
        ASSERT_TRUE(WriteAll(next, DeviceIdCommand()));
        EXPECT_EQ(ReadAnswer(next), kDeviceIdAnswer);
    }
}

// A BlueZ that answers nothing: the connect's first bus call wakes on cancel, and without
// one the open ends on the connect's own time limit, not on a bus call's.
TEST_F(BluetoothPortTest, ABlueZThatDoesNotAnswerNeverHoldsTheOpenPastCancelOrItsTime) {
    StartPrinter();
    ASSERT_TRUE(m_pBluez->Freeze(true));
    CBluetooth port(kPrinterAddress);
    m_releaser = std::thread([&] {
        while (LogText().find("OpenSocket connect() [count:") == std::string::npos) Sleep(10);
        port.hEvtCancel.Set();
    });
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    m_releaser.join();
    port.hEvtCancel.Reset();
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    ASSERT_TRUE(m_pBluez->Freeze(false));
    EXPECT_EQ(m_pBluez->ConnectProfileCalls(kPrinterAddress), 0);
}

TEST_F(BluetoothPortTest, WithoutBlueZTheOpenFindsNoDevice) {
    m_pBluez.reset();
    MockBluez busOnly(false);  // a system bus where nobody owns org.bluez
    ASSERT_TRUE(busOnly.Ok()) << busOnly.Error();
    CBluetooth port(kPrinterAddress);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(BluetoothPortTest, ASendFailureKeepsTheConnectionForTheNextWrite) {
    sim::Config config;
    config.faults.dwReadRate = 20000;  // slow enough that the write is still going
    StartPrinter(config);
    CBluetooth port(kPrinterAddress);
    ASSERT_TRUE(port.Open()) << GetLastError();
    std::vector<BYTE> data(400000, 'x');
    std::thread restarter([&] {
        // The printer reads a while (the whole write would take 20 s), then drops the link.
        Sleep(500);
        m_pPrinter->PowerCycle();
    });
    ASSERT_TRUE(port.WaitForLastSending(nullptr, FALSE));
    DWORD cb = 0;
    EXPECT_FALSE(port.Write(data.data(), static_cast<DWORD>(data.size()), &cb, 30000));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
    EXPECT_LT(cb, data.size());
    port.ReleaseSending();
    restarter.join();
    {
        std::lock_guard lock(port.csSocket);
        EXPECT_TRUE(port.sockBth.Valid());  // not closed by the failure
    }
    EXPECT_NE(LogText().find("ThreadSendBth CloseSocket(9100) rerty [WSAERR:"), std::string::npos);
    // The next write goes out on the same (now broken) connection: no new connect.
    ASSERT_TRUE(port.WaitForLastSending(nullptr, FALSE));
    port.WaitForLastTrdSending(nullptr, FALSE);  // forgets the failed thread, as the service does
    EXPECT_FALSE(port.Write(data.data(), 100, &cb, 5000));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
    port.ReleaseSending();
    EXPECT_EQ(m_pBluez->ConnectProfileCalls(kPrinterAddress), 1);
}

}  // namespace
