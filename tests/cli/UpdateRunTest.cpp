// Whole update runs of kelvo-cli: success on a terminal, firmware current.
#include <signal.h>

#include "UpdateRun.h"

namespace cli_test {
namespace {

TEST_F(UpdateRunTest, FirmwareAndFontSentWithABarOnTheTerminal) {
    MakeFile("FW", 0x07, 30000);
    sim::MadeFile kanji = MakeFile("KF", 0, 9000);
    StartPrinter(0x05);
    TestPty terminal;
    ASSERT_TRUE(terminal.Ok());
    ProgramResult r = Cli({"--kind", "lan", "--port", m_address, "--json"}, &terminal);
    EXPECT_EQ(r.nStatus, 0) << r.err;
    EXPECT_EQ(WithoutDuration(r.out),
              "{\"result\":0,\"result_name\":\"ERROR_SUCCESS\",\"exit_status\":0,\"model\":\"KV-T34\",\"type_id\":34,"
              "\"kind\":\"Ethernet\",\"port\":\"" + m_address + "\",\"firmware_before\":null,"
              "\"firmware_after\":\"VER2207\",\"rom_id_before\":\"05\",\"rom_id_after\":\"07\",\"sent\":[\"FW\",\"KF\"],\"retry_run\":false,\"duration_ms\":N,"
              "\"messages\":[\"Updating firmware successed.\\nVersion VER2207\"],\"result_text\":\"The printer was updated.\"}\n");
    // The terminal showed each named step with its bar redrawn in place, a summary, and
    // the result with its sentence and line.
    EXPECT_TRUE(Contains(r.err, "\nFirmware FW2207")) << r.err;
    EXPECT_TRUE(Contains(r.err, "\r\033[K  [")) << r.err;
    EXPECT_TRUE(Contains(r.err, "] 100%  30,024 of 30,024 bytes")) << r.err;
    EXPECT_TRUE(Contains(r.err, "\nWaiting for the printer to restart\n\r\033[K  [")) << r.err;
    EXPECT_TRUE(Contains(r.err, "\nFont data KF22")) << r.err;
    EXPECT_TRUE(Contains(r.err, "] 100%  9,020 of 9,020 bytes")) << r.err;
    EXPECT_TRUE(Contains(r.err, "\nSent: FW2207")) << r.err;
    EXPECT_TRUE(Contains(r.err, "Firmware before: ROM 05; after: VER2207 (ROM 07).\n")) << r.err;
    EXPECT_TRUE(Contains(r.err, "ZAQ Kelvo: Updating firmware successed.\nVersion VER2207\n")) << r.err;
    EXPECT_TRUE(r.err.ends_with("kelvo-cli: The printer was updated.\nkelvo-cli: result 0 (ERROR_SUCCESS), exit status 0\n"))
        << r.err;

    std::vector<sim::SimEvent> ends = Transfers();
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0].Str("kind"), "FW");
    EXPECT_EQ(ends[0].Str("result"), "stored");
    EXPECT_EQ(ends[1].Str("kind"), "KF");
    EXPECT_EQ(ends[1].Int("bytes"), static_cast<long long>(kanji.cbFile + 20));  // the download header first
    EXPECT_EQ(m_printer->State().bRomId, 0x07);
    EXPECT_EQ(m_printer->State().wChecksum[sim::KIND_KANJI], kanji.wChecksum);
}

TEST_F(UpdateRunTest, CurrentFirmwareEndsWithStatusTwoInPlainLines) {
    MakeFile("FW", 0x07, 30000);
    StartPrinter(0x07);
    ProgramResult r = Cli({"--kind", "lan", "--port", m_address, "--json"});
    EXPECT_EQ(r.nStatus, 2) << r.err;
    EXPECT_TRUE(r.out.starts_with("{\"result\":1242,\"result_name\":\"ERROR_ALREADY_REGISTERED\",\"exit_status\":2,"))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "\"firmware_before\":\"VER2207\",\"firmware_after\":\"VER2207\",\"rom_id_before\":\"07\","
                                 "\"rom_id_after\":\"07\",\"sent\":[],"))
        << r.out;
    EXPECT_TRUE(Contains(r.err, "ZAQ Kelvo: The firmware is already in the following version.\nVersion VER2207\n"))
        << r.err;
    EXPECT_FALSE(Contains(r.err, "\033[")) << r.err;  // no terminal: no escapes
    EXPECT_TRUE(Transfers().empty());
}

TEST_F(UpdateRunTest, InterruptDuringTheTransferCancelsWithStatusThree) {
    MakeFile("FW", 0x07, 200000);
    sim::Faults slow;
    slow.dwReadRate = 100000;  // two seconds of transfer: time to interrupt it
    StartPrinter(0x05, slow);
    bool bInterrupted = false;
    ProgramResult r = RunProgram({kCli, "--kind", "lan", "--port", m_address, "--json"}, m_env, m_dir / "work", -1, -1,
                                 [&](pid_t pid) {
                                     if (m_printer->WaitForEvent("transfer_begin", 60000)) {
                                         bInterrupted = ::kill(pid, SIGINT) == 0;
                                     }
                                 });
    ASSERT_TRUE(bInterrupted);
    EXPECT_EQ(r.nStatus, 3) << r.err;
    EXPECT_TRUE(r.out.starts_with("{\"result\":1223,\"result_name\":\"ERROR_CANCELLED\",\"exit_status\":3,")) << r.out;
    EXPECT_TRUE(Contains(r.err, "Cancelling...")) << r.err;
    // A cancelled run does not wait for the printer to close its side: the printer may
    // note the end of the transfer after the program has ended.
    ASSERT_TRUE(m_printer->WaitForEvent("transfer_end", 30000));
    std::vector<sim::SimEvent> ends = Transfers();
    ASSERT_FALSE(ends.empty());
    EXPECT_LT(ends[0].Int("bytes"), 200000 + 24);  // the rest was never sent
}

}  // namespace
}  // namespace cli_test
