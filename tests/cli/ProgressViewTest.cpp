#include <gtest/gtest.h>

#include "cli/ProgressView.h"
#include "cli/Report.h"
#include "Pty.h"

namespace {

TEST(ProgressText, Parse) {
    const struct {
        const char* pszText;
        bool bProgress;
        const char* pszLabel;
        int nPercent;
    } cases[] = {
        {"Sending... [  0%]", true, "Sending...", 0},
        {"Sending... [ 42%]", true, "Sending...", 42},
        {"Waiting... [100%]", true, "Waiting...", 100},
        {"Waiting...[7%]", true, "Waiting...", 7},
        {"Sending... [1000%]", false, "", 0},
        {"Sending... [ x%]", false, "", 0},
        {"Sending... [ 42 %]", false, "", 0},
        {"Sending...", false, "", 0},
        {"[%]", false, "", 0},
        {"", false, "", 0},
    };
    for (const auto& c : cases) {
        std::optional<ProgressText> p = ParseProgressText(c.pszText);
        ASSERT_EQ(p.has_value(), c.bProgress) << c.pszText;
        if (!p) continue;
        EXPECT_EQ(p->strLabel, c.pszLabel) << c.pszText;
        EXPECT_EQ(p->nPercent, c.nPercent) << c.pszText;
    }
}

// What the engine sets during a firmware update with one data kind.
void PlayUpdate(CProgressView& view) {
    view.SetCaption("ZAQ Kelvo [ KV-T30 ]");
    view.SetStatus("Preparing for update...");
    view.SetProgress("");
    view.SetStatus("Updating firmware.\nPlease do not turn off the printer.");
    for (int p : {0, 4, 9, 10, 10, 35, 99, 100}) view.SetProgress("Sending... [" + std::string(p < 10 ? "  " : p < 100 ? " " : "") + std::to_string(p) + "%]");
    for (int p : {0, 25, 50, 75, 100}) view.SetProgress("Waiting... [" + std::string(p < 10 ? "  " : p < 100 ? " " : "") + std::to_string(p) + "%]");
    view.SetStatus("Updating firmware.\nPlease do not turn off the printer.");  // unchanged: not shown again
    view.SetProgress("");
    view.SetProgress("Sending... [ 50%]");
    view.SetProgress("Sending... [ 20%]");  // a count that starts again
    view.WriteLines("ZAQ Kelvo: done");
}

TEST(ProgressView, PlainLinesAtEachTenthWithoutEscapes) {
    TestPipe pipe;
    CProgressView view(pipe.WriteEnd(), false);
    PlayUpdate(view);
    EXPECT_EQ(pipe.Drain(),
              "ZAQ Kelvo [ KV-T30 ]\n"
              "Preparing for update...\n"
              "Updating firmware.\nPlease do not turn off the printer.\n"
              "Sending... [  0%]\n"
              "Sending... [ 10%]\n"
              "Sending... [ 35%]\n"
              "Sending... [ 99%]\n"
              "Sending... [100%]\n"
              "Waiting... [  0%]\n"
              "Waiting... [ 25%]\n"
              "Waiting... [ 50%]\n"
              "Waiting... [ 75%]\n"
              "Waiting... [100%]\n"
              "Sending... [ 50%]\n"
              "Sending... [ 20%]\n"
              "ZAQ Kelvo: done\n");
}

TEST(ProgressView, TerminalBarIsRedrawnInPlaceAndEndedBeforeOtherOutput) {
    TestPty pty;
    ASSERT_TRUE(pty.Ok());
    CProgressView view(pty.Terminal(), true, 40);  // bar width 40 - 10 - 9 = 21
    view.SetStatus("Updating firmware.");
    view.SetProgress("Sending... [  0%]");
    view.SetProgress("Sending... [  0%]");  // same percent: not drawn again
    view.SetProgress("Sending... [ 50%]");
    view.SetProgress("Sending... [100%]");
    view.SetProgress("Waiting... [ 10%]");
    view.WriteLines("ZAQ Kelvo: message");
    view.SetProgress("");
    const std::string clear = "\r\033[K";
    EXPECT_EQ(pty.Drain(),
              "Updating firmware.\n" +
              clear + "Sending... [" + std::string(21, '.') + "] 0%" +
              clear + "Sending... [" + std::string(10, '#') + std::string(11, '.') + "] 50%" +
              clear + "Sending... [" + std::string(21, '#') + "] 100%\n" +
              clear + "Waiting... [" + std::string(2, '#') + std::string(19, '.') + "] 10%\n"
              "ZAQ Kelvo: message\n");
}

TEST(ProgressView, BarWidthStaysWithinLimitsOnNarrowAndWideTerminals) {
    for (auto [nColumns, nWidth] : {std::pair{20, 10}, std::pair{200, 40}}) {
        TestPty pty;
        ASSERT_TRUE(pty.Ok());
        CProgressView view(pty.Terminal(), true, nColumns);
        view.SetProgress("Sending... [100%]");
        EXPECT_EQ(pty.Drain(), "\r\033[KSending... [" + std::string(static_cast<std::size_t>(nWidth), '#') + "] 100%")
            << nColumns;
    }
}

TEST(ProgressView, TextThatIsNoProgressIsALine) {
    TestPipe pipe;
    CProgressView view(pipe.WriteEnd(), false);
    view.SetProgress("Reconnecting");
    view.SetStatus("");
    EXPECT_EQ(pipe.Drain(), "Reconnecting\n");
}

// A recorded update of a Type ID 0x1F printer over LAN (its 15 s pause after the first
// block), then its restart, the check, and a font: the engine's texts with the times
// they came, turned into named steps with bytes, rate and time left.
TEST(ProgressSteps, RecordedUpdateReadsAsNamedSteps) {
    TestPipe pipe;
    CProgressView view(pipe.WriteEnd(), false);
    CProgressSteps steps;
    auto play = [&](DWORD dwNow, const char* pszText, std::optional<DWORD> dwLeftMs = std::nullopt) {
        std::optional<ProgressStep> step = steps.OnText(pszText, dwNow);
        ASSERT_TRUE(step.has_value()) << pszText;
        step->dwLeftMs = dwLeftMs;
        view.ShowStep(*step, dwNow);
        if (step->EndsTransfer()) view.ShowStep(steps.AfterTransfer(), dwNow);
    };
    steps.BeginTransfer({"FW", "FW1F07SIM.bin", 30024, 3002, 15000});
    play(0, "Sending... [  0%]");
    play(5000, "Sending... [  3%]");
    play(10000, "Sending... [  6%]");
    play(15000, "Sending... [  9%]");
    play(15500, "Sending... [ 30%]");
    play(16000, "Sending... [ 60%]");
    play(16500, "Sending... [100%]");
    // The restart wait: its time left is the engine's limit, not the share shown.
    play(16600, "Waiting... [  0%]", 41000);
    play(20000, "Waiting... [ 25%]", 37600);
    play(23000, "Waiting... [ 50%]", 34600);
    play(23100, "Waiting... [ 50%]");  // the check starts again at 50
    play(23500, "Waiting... [100%]");
    steps.BeginTransfer({"KF", "KF1FSIM.bin", 10020, 0, 0});
    play(24000, "Sending... [ 50%]");
    play(25000, "Sending... [100%]");
    // The check after a transfer is announced once.
    play(25100, "Sending... [100%]");
    EXPECT_FALSE(steps.OnText("", 25000).has_value());
    EXPECT_FALSE(steps.OnText("Preparing for update...", 25000).has_value());
    EXPECT_EQ(pipe.Drain(),
              "The printer accepts the firmware after a 15 s pause\n"
              "  0%\n"
              "  32%\n"
              "  65%\n"
              "Firmware FW1F07SIM.bin\n"
              "  0%  0 of 30,024 bytes sent\n"
              "  22%  6,905 of 30,024 bytes sent, 13 KiB/s, 2 s left\n"
              "  55%  16,813 of 30,024 bytes sent, 16 KiB/s, 1 s left\n"
              "  100%  30,024 of 30,024 bytes sent, 20 KiB/s\n"
              "Waiting for the printer to restart\n"
              "  0%, at most 41 s left\n"
              "  50%, at most 38 s left\n"
              "  100%\n"
              "Checking the new firmware\n"
              "  0%\n"
              "  100%\n"
              "Font data KF1FSIM.bin\n"
              "  50%  5,010 of 10,020 bytes sent\n"
              "  100%  10,020 of 10,020 bytes sent, 4.9 KiB/s\n"
              "Checking the font data\n");
}

// On a terminal the step's bar is redrawn in place under its name.
TEST(ProgressSteps, TerminalRedrawsTheStepBar) {
    TestPipe pipe;
    CProgressView view(pipe.WriteEnd(), true, 100);
    view.ShowStep({"Font data KF20SIM.bin", 0, 0, 40020}, 0);
    view.ShowStep({"Font data KF20SIM.bin", 50, 20010, 40020}, 1000);
    view.BreakLine();
    EXPECT_EQ(pipe.Drain(),
              "Font data KF20SIM.bin\n"
              "\r\033[K  [........................................] 0%  0 of 40,020 bytes sent"
              "\r\033[K  [####################....................] 50%  20,010 of 40,020 bytes sent, 20 KiB/s, 1 s left\n");
}

TEST(ProgressSteps, SummaryNamesTheFilesAndTheVersions) {
    CliReport report;
    EXPECT_EQ(CliSummary(report), "");
    report.sentFiles = {{"FW2007SIM.bin", 120000}, {"KF20SIM.bin", 40000}};
    report.romIdBefore = {0x05};
    report.strFwAfter = "VER2007";
    report.romIdAfter = {0x07};
    EXPECT_EQ(CliSummary(report),
              "Sent: FW2007SIM.bin (120,000 bytes), KF20SIM.bin (40,000 bytes).\n"
              "Firmware before: ROM 05; after: VER2007 (ROM 07).\n");
    CliReport current;
    current.strFwBefore = current.strFwAfter = "VER2007";
    current.romIdBefore = current.romIdAfter = {0x07};
    EXPECT_EQ(CliSummary(current), "Firmware: VER2007 (ROM 07), unchanged.\n");
    // A check restarted nothing: the firmware it found, no "after".
    CliReport check;
    check.bCheck = true;
    check.romIdBefore = {0x05};
    EXPECT_EQ(CliSummary(check), "Firmware: ROM 05.\n");
}

}  // namespace
