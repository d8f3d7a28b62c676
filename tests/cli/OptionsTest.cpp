#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/Json.h"
#include "cli/Options.h"
#include "cli/Report.h"
#include "cli/ResultName.h"
#include "engine/Kelvo.h"
#include "platform/WinError.h"

namespace {

struct OptionCase {
    std::vector<const char*> args;
    bool bOk;
    // expectations when bOk
    std::string strDir;
    int nKind;  // -1: not given
    std::string strPort;
    bool bList, bForce, bYes, bJson, bHelp, bVersion;
    const char* pszErrorPart;  // when !bOk
};

TEST(CliOptions, Table) {
    const std::string longPort(261, 'x');
    const std::string maxPort(260, 'x');
    const OptionCase cases[] = {
        {{}, true, "", -1, "", false, false, false, false, false, false, nullptr},
        {{"--kind", "lan", "--port", "127.0.0.2"}, true, "", PORT_KIND_LAN, "127.0.0.2", false, false, false, false, false, false, nullptr},
        {{"--kind=ETHERNET", "--port=10.0.0.9"}, true, "", PORT_KIND_LAN, "10.0.0.9", false, false, false, false, false, false, nullptr},
        {{"-k", "Usb", "-p", "USB001"}, true, "", PORT_KIND_USB, "USB001", false, false, false, false, false, false, nullptr},
        {{"--kind", "bluetooth"}, true, "", PORT_KIND_BLUETOOTH, "", false, false, false, false, false, false, nullptr},
        {{"--kind", "sErIaL", "--kind", "usb"}, true, "", PORT_KIND_USB, "", false, false, false, false, false, false, nullptr},
        {{"--dir", "/tmp/w x", "--list", "--force", "--yes", "--json"}, true, "/tmp/w x", -1, "", true, true, true, true, false, false, nullptr},
        {{"-C", "d", "-l", "-f", "-y", "-h", "-V"}, true, "d", -1, "", true, true, true, false, true, true, nullptr},
        {{"--port", maxPort.c_str()}, true, "", -1, maxPort, false, false, false, false, false, false, nullptr},
        {{"--kind", "wifi"}, false, "", -1, "", false, false, false, false, false, false, "unknown connection kind 'wifi'"},
        {{"--kind"}, false, "", -1, "", false, false, false, false, false, false, "--kind needs a value"},
        {{"--port="}, false, "", -1, "", false, false, false, false, false, false, "--port needs a value"},
        {{"--port", longPort.c_str()}, false, "", -1, "", false, false, false, false, false, false, "longer than 260"},
        {{"--json=1"}, false, "", -1, "", false, false, false, false, false, false, "--json takes no value"},
        {{"--silent"}, false, "", -1, "", false, false, false, false, false, false, "unknown option '--silent'"},
        {{"-x"}, false, "", -1, "", false, false, false, false, false, false, "unknown option '-x'"},
        {{"/s"}, false, "", -1, "", false, false, false, false, false, false, "unexpected argument '/s'"},
        {{"--"}, false, "", -1, "", false, false, false, false, false, false, "unexpected argument '--'"},
        {{"-yf"}, false, "", -1, "", false, false, false, false, false, false, "unexpected argument '-yf'"},
    };
    for (const OptionCase& c : cases) {
        std::string line;
        for (const char* psz : c.args) line += std::string(psz) + " ";
        CliOptions options;
        std::string error;
        bool bOk = ParseCliOptions(static_cast<int>(c.args.size()), c.args.data(), &options, &error);
        ASSERT_EQ(bOk, c.bOk) << line << " -> " << error;
        if (!bOk) {
            EXPECT_NE(error.find(c.pszErrorPart), std::string::npos) << line << " -> " << error;
            continue;
        }
        EXPECT_EQ(options.strDir, c.strDir) << line;
        EXPECT_EQ(options.nKind.value_or(-1), c.nKind) << line;
        EXPECT_EQ(options.strPort, c.strPort) << line;
        EXPECT_EQ(options.bList, c.bList) << line;
        EXPECT_EQ(options.bForce, c.bForce) << line;
        EXPECT_EQ(options.bYes, c.bYes) << line;
        EXPECT_EQ(options.bJson, c.bJson) << line;
        EXPECT_EQ(options.bHelp, c.bHelp) << line;
        EXPECT_EQ(options.bVersion, c.bVersion) << line;
    }
}

TEST(CliOptions, KindWordsMatchTheDesktopCommandLine) {
    for (int nKind = 0; nKind < 4; ++nKind) {
        EXPECT_EQ(PortKindFromWord(PortKindWord(nKind)), nKind);
    }
    EXPECT_STREQ(PortKindWord(PORT_KIND_LAN), "Ethernet");
    EXPECT_EQ(PortKindFromWord("lan"), static_cast<int>(PORT_KIND_LAN));
    EXPECT_FALSE(PortKindFromWord("ether"));
    EXPECT_FALSE(PortKindFromWord(""));
}

TEST(CliJson, StringsAreEscapedAndAlwaysValidUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"l1\nl2\r\t", "\"l1\\nl2\\r\\t\""},
        {std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\\u007f\""},
        {std::string("nul\0x", 5), "\"nul\\u0000x\""},
        {"\xE3\x83\x97", "\"\xE3\x83\x97\""},       // UTF-8 kept as it is
        {"bad\xFF", "\"bad\xEF\xBF\xBD\""},          // a stray byte becomes U+FFFD
        {"/path", "\"/path\""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(JsonString(in), out) << in;
}

TEST(CliJson, ReportHasEveryFieldInOrder) {
    CliReport report;
    report.dwResult = ERROR_ALREADY_REGISTERED;
    report.nExitStatus = 2;
    report.strModel = "TM \"30\"";
    report.nTypeId = 0x1F;
    report.strKind = "Ethernet";
    report.strPort = "127.0.0.2";
    report.strFwBefore = "1F05SIM";
    report.romIdBefore = {0x05, 0xAF};
    report.sent = {"FW", "KF"};
    report.dwDurationMs = 1234;
    report.messages = {"The firmware is already in the following version.\nVersion 1F05SIM"};
    EXPECT_EQ(CliReportJson(report),
              "{\"result\":1242,\"result_name\":\"ERROR_ALREADY_REGISTERED\",\"exit_status\":2,"
              "\"model\":\"TM \\\"30\\\"\",\"type_id\":31,\"kind\":\"Ethernet\",\"port\":\"127.0.0.2\","
              "\"firmware_before\":\"1F05SIM\",\"firmware_after\":null,\"rom_id_before\":\"05AF\",\"rom_id_after\":null,"
              "\"sent\":[\"FW\",\"KF\"],"
              "\"retry_run\":false,\"duration_ms\":1234,"
              "\"messages\":[\"The firmware is already in the following version.\\nVersion 1F05SIM\"],"
              "\"result_text\":\"Nothing needed updating: the printer's firmware is current and its fonts match the "
              "files (--force sends the firmware anyway).\"}");
    EXPECT_EQ(CliReportJson(CliReport{}),
              "{\"result\":0,\"result_name\":\"ERROR_SUCCESS\",\"exit_status\":0,"
              "\"model\":null,\"type_id\":null,"
              "\"kind\":null,\"port\":null,\"firmware_before\":null,\"firmware_after\":null,\"rom_id_before\":null,"
              "\"rom_id_after\":null,\"sent\":[],"
              "\"retry_run\":false,\"duration_ms\":0,\"messages\":[],\"result_text\":\"The printer was updated.\"}");
    EXPECT_EQ(CliResultLine(report), "result 1242 (ERROR_ALREADY_REGISTERED), exit status 2");
    // A sentence of the run's own replaces the result's.
    report.strResultText = "The printer is a KV-T20 (Type ID 0x20).";
    EXPECT_TRUE(CliReportJson(report).ends_with(",\"result_text\":\"The printer is a KV-T20 (Type ID 0x20).\"}"));
}

TEST(CliResultNames, KnownMadeUpAndUnknownCodes) {
    const std::pair<DWORD, const char*> cases[] = {
        {0, "ERROR_SUCCESS"},
        {1223, "ERROR_CANCELLED"},
        {1003, "ERROR_CAN_NOT_COMPLETE"},
        {1610, "ERROR_BAD_CONFIGURATION"},
        {0x2000000D, "APP_ERROR_FLAG|ERROR_INVALID_DATA"},
        {0x200005B4, "APP_ERROR_FLAG|ERROR_TIMEOUT"},
        {0x200010DF, "APP_ERROR_FLAG|ERROR_DEVICE_NOT_AVAILABLE"},
        {10013, "WSAEACCES"},
        {123, "ERROR_INVALID_NAME"},
        {0x20003039, "APP_ERROR_FLAG|12345"},
        {12345, "SYSTEM_ERROR_12345"},
    };
    for (auto [dwCode, pszName] : cases) EXPECT_EQ(ResultName(dwCode), pszName) << dwCode;
}

// Every result a run can end with says what it means and what to do, in a sentence of
// its own: none is left to the generic one.
TEST(CliResultNames, EveryEndingHasItsOwnSentence) {
    const DWORD endings[] = {0,    1242, 1223, 2,    3,     5,     87,    123,   183,        1167,
                             1200, 1460, 1610, 1801, 10013, 10060, 10061, 10065, 0x200010DF, 1003,
                             13,   31,   170,  222,  24,    10054, 10051, 995};
    const std::string generic = ResultSentence(12345);
    EXPECT_EQ(generic, "The step that failed ended with system error 12345; the log (Kelvo.log) has the details.");
    for (DWORD dwCode : endings) {
        std::string sentence = ResultSentence(dwCode);
        EXPECT_FALSE(sentence.empty()) << dwCode;
        EXPECT_TRUE(sentence.ends_with(".") || sentence.ends_with(".)")) << dwCode << ": " << sentence;
        EXPECT_EQ(sentence.find("system error"), std::string::npos) << dwCode;
        EXPECT_EQ(ResultName(dwCode).find("SYSTEM_ERROR"), std::string::npos) << dwCode;
    }
    EXPECT_NE(ResultSentence(10013).find("net.ipv4.ping_group_range"), std::string::npos);
    EXPECT_NE(ResultSentence(0x200010DF).find("No printer was found"), std::string::npos);
}

}  // namespace
