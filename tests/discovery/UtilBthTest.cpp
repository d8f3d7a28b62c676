#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MockBluez.h"
#include "discovery/UtilBth.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

// The all-zero address (BlueZ may report it for a device it knows nothing of).
const std::string kZeroAddress = "00:00:00:00:00:" + std::string("00");

BluezObject Device(const std::string& address, std::uint32_t cod, bool bPaired, const char* pszName,
                   bool bTrusted = false) {
    BluezObject obj{"/org/bluez/hci0/dev_" + address, BLUEZ_DEVICE_IFACE, {}};
    obj.props["Address"] = address;
    obj.props["Class"] = cod;
    obj.props["Paired"] = bPaired;
    obj.props["Trusted"] = bTrusted;
    if (pszName != nullptr) obj.props["Name"] = std::string(pszName);
    return obj;
}

BluezObject Adapter(bool bPowered) {
    BluezObject obj{"/org/bluez/hci0", BLUEZ_ADAPTER_IFACE, {}};
    obj.props["Powered"] = bPowered;
    return obj;
}

struct ParseCase {
    const char* pszWhat;
    BluezObject obj;
    bool bDevice;
    std::uint64_t address;
    std::uint32_t cod;
    bool bRemembered, bAuthenticated;
    std::string name;
};

TEST(BluezParseTest, DevicePropertiesBecomeTheDeviceRecord) {
    BluezObject bonded = Device("02:00:5A:00:00:02", 0x040680, true, "B");
    bonded.props["Bonded"] = true;
    BluezObject noClass = Device("02:00:5a:00:00:03", 0, false, nullptr);
    noClass.props.erase("Class");
    BluezObject wrongType = Device("02:00:5A:00:00:04", 0x040680, true, "D");
    wrongType.props["Class"] = std::string("printer");
    const std::string longName(300, 'n');
    const std::string bad = "Z\xC3(Q";  // not UTF-8
    const ParseCase cases[] = {
        {"paired and trusted", Device("02:00:5A:00:00:01", 0x040680, true, "ZAQ Mobile", true), true,
         0x02005A000001ull, 0x040680, true, true, "ZAQ Mobile"},
        {"bonded counts as remembered", bonded, true, 0x02005A000002ull, 0x040680, true, true, "B"},
        {"no class, no name, lower case", noClass, true, 0x02005A000003ull, 0, false, false, ""},
        {"class of another type", wrongType, true, 0x02005A000004ull, 0, false, true, "D"},
        {"malformed address", Device("02:00:5A:00:00", 0x040680, true, "E"), true, 0, 0x040680, false, true, "E"},
        {"long name cut", Device("02:00:5A:00:00:05", 0x040680, true, longName.c_str()), true, 0x02005A000005ull,
         0x040680, false, true, std::string(kMaxBthNameChars, 'n')},
        {"invalid UTF-8 replaced", Device("02:00:5A:00:00:06", 0x040680, true, bad.c_str()), true, 0x02005A000006ull,
         0x040680, false, true, "Z\xEF\xBF\xBD(Q"},
        {"an adapter is no device", Adapter(true), false, 0, 0, false, false, ""},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        BthDeviceInfo info;
        ASSERT_EQ(ParseBthDevice(c.obj, &info), c.bDevice);
        if (!c.bDevice) continue;
        EXPECT_EQ(info.path, c.obj.path);
        EXPECT_EQ(info.address, c.address);
        EXPECT_EQ(info.cod, c.cod);
        EXPECT_EQ(info.bRemembered, c.bRemembered);
        EXPECT_EQ(info.bAuthenticated, c.bAuthenticated);
        EXPECT_EQ(info.name, c.name);
    }
    EXPECT_TRUE(IsPoweredAdapter(Adapter(true)));
    EXPECT_FALSE(IsPoweredAdapter(Adapter(false)));
    EXPECT_FALSE(IsPoweredAdapter(Device("02:00:5A:00:00:01", 0x040680, true, "A")));
}

struct SearchCase {
    const char* pszWhat;
    std::vector<BluezObject> objects;
    bool bResult;
    std::vector<std::string> lines;
};

std::vector<std::string> Lines(const CUtilBth& util, DWORD n) {
    std::vector<std::string> lines;
    for (DWORD i = 0; i < n; ++i) lines.push_back(BthListLine(util.btDevices[i]));
    return lines;
}

TEST(UtilBthSearchTest, PairedPrinterClassDevicesWithANameInReportedOrder) {
    std::vector<BluezObject> many;
    std::vector<std::string> first32;
    for (int i = 0; i < 40; ++i) {
        char addr[18];
        std::snprintf(addr, sizeof addr, "02:00:5A:00:01:%02X", i);
        many.push_back(Device(addr, 0x040680, true, "P"));
        if (i < 32) first32.push_back(std::string(addr) + "\t [\"P\"]");
    }
    const SearchCase cases[] = {
        {"order kept, upper-case address",
         {Device("02:00:5a:00:00:0b", 0x040680, true, "Second"), Device("02:00:5A:00:00:0A", 0x040680, true, "First")},
         true,
         {"02:00:5A:00:00:0B\t [\"Second\"]", "02:00:5A:00:00:0A\t [\"First\"]"}},
        {"not paired, other classes",
         {Device("02:00:5A:00:00:01", 0x040680, false, "Unpaired"), Device("02:00:5A:00:00:02", 0x240680, true, "Rendering+"),
          Device("02:00:5A:00:00:03", 0x5A020C, true, "Phone")},
         false,
         {}},
        {"a nameless printer counts but is left out",
         {Device("02:00:5A:00:00:04", 0x040680, true, nullptr), Device("02:00:5A:00:00:05", 0x040680, true, "")},
         true,
         {}},
        {"the same address twice keeps its first place",
         {Device("02:00:5A:00:00:06", 0x040680, true, "Old"), Device("02:00:5A:00:00:07", 0x040680, true, "Other"),
          Device("02:00:5a:00:00:06", 0x040680, true, "New")},
         true,
         {"02:00:5A:00:00:06\t [\"New\"]", "02:00:5A:00:00:07\t [\"Other\"]"}},
        {"a zero address is listed", {Device(kZeroAddress.c_str(), 0x040680, true, "Zero")}, true,
         {kZeroAddress + "\t [\"Zero\"]"}},
        {"at most 32", many, true, first32},
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        CUtilBth util;
        DWORD n = 99;
        BthDeviceFilter filter;
        EXPECT_EQ(util.FindDevice(c.objects, &util.btDevices, &n, &filter), c.bResult);
        EXPECT_EQ(Lines(util, n), c.lines);
    }
    CUtilBth util;
    DWORD n = 99;
    EXPECT_FALSE(util.FindDevice({}, &util.btDevices, &n, nullptr));
    EXPECT_EQ(n, 0u);
}

TEST(UtilBthSearchTest, TheFilterTestsIgnoreDevicesWhoseFlagsDiffer) {
    std::vector<BluezObject> objects = {Device("02:00:5A:00:00:01", 0x040680, true, "Trusted", true),
                                        Device("02:00:5A:00:00:02", 0x040680, true, "Untrusted", false)};
    CUtilBth util;
    DWORD n = 0;
    BthDeviceFilter known;
    known.bKnownTest = true;
    EXPECT_TRUE(util.FindDevice(objects, &util.btDevices, &n, &known));
    EXPECT_EQ(Lines(util, n), std::vector<std::string>{"02:00:5A:00:00:01\t [\"Trusted\"]"});
}

// ---- Against BlueZ on a private bus ----

class UtilBthBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!m_bluez.Ok()) GTEST_SKIP() << "no mock BlueZ: " << m_bluez.Error();
    }
    TempDir m_root;
    LogCapture m_log{m_root.Path(), "Bth"};
    MockBluez m_bluez;
};

TEST_F(UtilBthBusTest, ListsThePairedPrintersOfAPoweredAdapter) {
    ASSERT_TRUE(m_bluez.AddAdapter()) << m_bluez.Error();
    ASSERT_TRUE(m_bluez.AddDevice("02:00:5a:00:00:02", "ZAQ Mobile B", 0x040680, true)) << m_bluez.Error();
    ASSERT_TRUE(m_bluez.AddDevice("02:00:5A:00:00:01", "ZAQ Mobile A", 0x040680, true)) << m_bluez.Error();
    ASSERT_TRUE(m_bluez.AddDevice("02:00:5A:00:00:03", "Not paired", 0x040680, false)) << m_bluez.Error();
    ASSERT_TRUE(m_bluez.AddDevice("02:00:5A:00:00:04", "Phone", 0x5A020C, true)) << m_bluez.Error();
    CUtilBth util;
    CPortLineList list;
    list.Append("old line");
    EXPECT_EQ(util.EnumPorts(&list, {}), 2);
    // In the order BlueZ reports them (newer objects first, as bluetoothd lists them), not
    // sorted.
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"02:00:5A:00:00:01\t [\"ZAQ Mobile A\"]",
                                                      "02:00:5A:00:00:02\t [\"ZAQ Mobile B\"]"}));
    EXPECT_EQ(util.hRadio, "/org/bluez/hci0");

    ASSERT_TRUE(m_bluez.SetAdapterPowered(false)) << m_bluez.Error();
    EXPECT_EQ(util.EnumPorts(&list, {}), 0);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_TRUE(util.hRadio.empty());
    EXPECT_TRUE(m_log.Contains("Bluetooth::Found no host device"));
}

TEST_F(UtilBthBusTest, NoAdapterAndNoPrinterFindNothing) {
    CUtilBth util;
    CPortLineList list;
    EXPECT_EQ(util.EnumPorts(&list, {}), 0);  // BlueZ without a radio
    EXPECT_TRUE(m_log.Contains("Bluetooth::BluetoothFindFirstRadio error"));
    ASSERT_TRUE(m_bluez.AddAdapter()) << m_bluez.Error();
    EXPECT_EQ(util.EnumPorts(&list, {}), 0);
    EXPECT_TRUE(m_log.Contains("Bluetooth::Found no device"));
}

TEST(UtilBthNoBluezTest, ABusWithoutBlueZFindsNoHostDevice) {
    MockBluez busOnly(false);
    if (!busOnly.Ok()) GTEST_SKIP() << busOnly.Error();
    TempDir root;
    LogCapture log(root.Path(), "Bth");
    CUtilBth util;
    CPortLineList list;
    EXPECT_EQ(util.EnumPorts(&list, {}), 0);
    EXPECT_TRUE(log.Contains("Bluetooth::Found no host device"));
}

}  // namespace
