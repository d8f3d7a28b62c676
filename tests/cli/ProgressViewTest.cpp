#include <gtest/gtest.h>

#include "cli/ProgressView.h"
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

}  // namespace
