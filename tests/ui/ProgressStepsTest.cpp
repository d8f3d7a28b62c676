// The update's steps as both front ends name them: transfers, waits and checks, in
// English and Japanese.
#include "ui/ProgressSteps.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr UiLanguage EN = UiLanguage::English;
constexpr UiLanguage JA = UiLanguage::Japanese;

TEST(ProgressStepNames, TransfersAreNamedByTheirTableAndFile) {
    struct Case {
        TransferInfo transfer;
        UiLanguage language;
        const char* pszName;
    };
    const Case cases[] = {
        {{"FW", "FW2007SIM.bin"}, EN, "Firmware FW2007SIM.bin"},
        {{"FW", "FW2007SIM.bin"}, JA, "ファームウェア FW2007SIM.bin"},
        {{"KF", "KF20SIM.bin"}, EN, "Font data KF20SIM.bin"},
        {{"KF", "KF20SIM.bin"}, JA, "フォントデータ KF20SIM.bin"},
        {{"CF", "CF20SIM.bin"}, EN, "Code page data CF20SIM.bin"},
        {{"ZF", "ZF20SIM.bin"}, JA, "CPCLフォントデータ ZF20SIM.bin"},
        {{"YF", "YF20SIM.bin"}, EN, "ZPL font data YF20SIM.bin"},
        {{"EE", "EE20SIM.bin"}, EN, "Data EE20SIM.bin"},
        {{"KF", ""}, EN, "Font data"},
        {{}, EN, "Sending"},
        {{}, JA, "送信中"},
    };
    for (const Case& c : cases) EXPECT_EQ(TransferName(c.transfer, c.language), c.pszName) << c.pszName;
}

TEST(ProgressStepNames, RestartWaitSaysTheTimeLeftInWholeSecondsRoundedUp) {
    struct Case {
        std::optional<DWORD> dwLeftMs;
        UiLanguage language;
        const char* pszName;
    };
    const Case cases[] = {
        {std::nullopt, EN, "Waiting for the printer to restart"},
        {std::nullopt, JA, "プリンターの再起動を待っています"},
        {21000, EN, "Waiting for the printer to restart (up to 21 s)"},
        {20001, EN, "Waiting for the printer to restart (up to 21 s)"},
        {14000, JA, "プリンターの再起動を待っています (最大14秒)"},
        {1, EN, "Waiting for the printer to restart (up to 1 s)"},
        {0, EN, "Waiting for the printer to restart (up to 1 s)"},  // the limit reached: the last second
    };
    for (const Case& c : cases) EXPECT_EQ(RestartWaitName(c.language, c.dwLeftMs), c.pszName) << c.pszName;
}

// What follows the last byte of a transfer, which the engine shows by no text of its own.
TEST(ProgressSteps, AfterATransferComesTheRestartOrTheCheckOfWhatWasSent) {
    struct Case {
        const char* pszTable;
        UiLanguage language;
        StepKind kind;
        const char* pszName;
    };
    const Case cases[] = {
        {"FW", EN, StepKind::RestartWait, "Waiting for the printer to restart"},
        {"KF", EN, StepKind::DataCheck, "Checking the font data"},
        {"KF", JA, StepKind::DataCheck, "フォントデータを確認しています"},
        {"CF", EN, StepKind::DataCheck, "Checking the code page data"},
        {"ZF", JA, StepKind::DataCheck, "CPCLフォントデータを確認しています"},
        {"YF", EN, StepKind::DataCheck, "Checking the ZPL font data"},
        {"EE", EN, StepKind::DataCheck, "Checking the data"},
    };
    for (const Case& c : cases) {
        CProgressSteps steps(c.language);
        steps.BeginTransfer({c.pszTable, "X.bin", 1000, 0, 0});
        const ProgressStep after = steps.AfterTransfer();
        EXPECT_EQ(after.kind, c.kind) << c.pszTable;
        EXPECT_EQ(after.strName, c.pszName);
        EXPECT_FALSE(after.bMeasured) << c.pszName;  // no percentage: a busy bar
    }
}

// A recorded firmware and font update as the desktop reads it: each transfer named by the
// source when its first text comes (the empty text between them ends the first), the
// pause after the first block, the waits on the printer unmeasured, in Japanese.
TEST(ProgressSteps, SourceNamesEachTransferAsItBeginsAndWaitsAreUnmeasured) {
    std::vector<TransferInfo> transfers = {{"FW", "FW1F07SIM.bin", 30024, 3002, 15000}, {"KF", "KF1FSIM.bin", 10020, 0, 0}};
    std::size_t nAsked = 0;
    CProgressSteps steps(JA);
    steps.SetTransferSource([&] { return transfers.at(nAsked++); });
    struct Expected {
        DWORD dwNow;
        const char* pszText;
        StepKind kind;
        const char* pszName;
        int nPercent;
        bool bMeasured;
    };
    const Expected script[] = {
        {0, "Sending... [  0%]", StepKind::FirstBlockPause, "プリンターがファームウェアを受け付けるまで15秒待っています", 0, true},
        {5000, "Sending... [  3%]", StepKind::FirstBlockPause, "プリンターがファームウェアを受け付けるまで15秒待っています", 32, true},
        {15500, "Sending... [ 30%]", StepKind::Transfer, "ファームウェア FW1F07SIM.bin", 22, true},
        {16500, "Sending... [100%]", StepKind::Transfer, "ファームウェア FW1F07SIM.bin", 100, true},
        {16600, "Waiting... [  0%]", StepKind::RestartWait, "プリンターの再起動を待っています", 0, false},
        {23000, "Waiting... [ 50%]", StepKind::RestartWait, "プリンターの再起動を待っています", 100, false},
        {23100, "Waiting... [ 50%]", StepKind::FirmwareCheck, "新しいファームウェアを確認しています", 0, false},
        {23500, "Waiting... [100%]", StepKind::FirmwareCheck, "新しいファームウェアを確認しています", 100, false},
        {24000, "Sending... [ 50%]", StepKind::Transfer, "フォントデータ KF1FSIM.bin", 50, true},
        {25000, "Sending... [100%]", StepKind::Transfer, "フォントデータ KF1FSIM.bin", 100, true},
    };
    for (const Expected& e : script) {
        if (e.dwNow == 24000) {
            EXPECT_FALSE(steps.OnText("", e.dwNow).has_value());  // the next kind's busy layout
        }
        const std::optional<ProgressStep> step = steps.OnText(e.pszText, e.dwNow);
        ASSERT_TRUE(step.has_value()) << e.pszText;
        SCOPED_TRACE(std::to_string(e.dwNow) + " " + e.pszText);
        EXPECT_EQ(step->kind, e.kind);
        EXPECT_EQ(step->strName, e.pszName);
        EXPECT_EQ(step->nPercent, e.nPercent);
        EXPECT_EQ(step->bMeasured, e.bMeasured);
    }
    EXPECT_EQ(nAsked, 2u);
    EXPECT_EQ(steps.AfterTransfer().strName, "フォントデータを確認しています");
}

// Programs read a step by its phase; people by its name.
TEST(ProgressSteps, PhaseOfEveryStepName) {
    const struct {
        const char* pszName;
        const char* pszPhase;
    } cases[] = {
        {"Firmware FW2007SIM.bin", "firmware"},
        {"Firmware", "firmware"},
        {"The printer accepts the firmware after a 15 s pause", "firmware_pause"},
        {"Waiting for the printer to restart", "restart"},
        {"Checking the new firmware", "firmware_check"},
        {"Font data KF20SIM.bin", "data"},
        {"Code page data CF2000CP.bin", "data"},
        {"CPCL font data ZF20CPCL.bin", "data"},
        {"ZPL font data YF20ZPL0.bin", "data"},
        {"Checking the font data", "data_check"},
        {"Checking the CPCL font data", "data_check"},
        {"Firmwareless", ""},
        {"Preparing for update...", ""},
        {"kelvo-cli: result 0 (ERROR_SUCCESS), exit status 0", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(StepPhase(c.pszName), c.pszPhase) << c.pszName;
    EXPECT_EQ(TransferKindName("KF"), "Font data");
    EXPECT_EQ(TransferKindName("EE"), "Data");
}

// Once a transfer's last byte is out, its end said again is the step that follows it:
// neither front end goes back to the transfer while the printer works on what it got.
TEST(ProgressSteps, TheEndOfATransferSaidAgainIsTheStepAfterIt) {
    for (const char* pszTable : {"FW", "KF"}) {
        SCOPED_TRACE(pszTable);
        CProgressSteps steps;
        steps.BeginTransfer({pszTable, "X.bin", 1000, 0, 0});
        const std::optional<ProgressStep> last = steps.OnText("Sending... [100%]", 0);
        ASSERT_TRUE(last.has_value());
        EXPECT_TRUE(last->EndsTransfer());
        const std::optional<ProgressStep> again = steps.OnText("Sending... [100%]", 100);
        ASSERT_TRUE(again.has_value());
        EXPECT_FALSE(again->EndsTransfer());
        EXPECT_EQ(again->kind, steps.AfterTransfer().kind);
        EXPECT_EQ(again->strName, steps.AfterTransfer().strName);
        EXPECT_EQ(again->nPercent, -1);  // no percentage of its own yet
        // The next transfer ends afresh.
        steps.BeginTransfer({"CF", "Y.bin", 1000, 0, 0});
        const std::optional<ProgressStep> next = steps.OnText("Sending... [100%]", 200);
        ASSERT_TRUE(next.has_value());
        EXPECT_TRUE(next->EndsTransfer());
        EXPECT_EQ(next->strName, "Code page data Y.bin");
    }
}

// Every name the terminal prints for a step reads back as its phase.
TEST(ProgressSteps, EveryEnglishStepNameHasItsPhase) {
    for (const char* pszTable : {"FW", "KF", "CF", "ZF", "YF", "EE"}) {
        const bool bFirmware = std::string_view(pszTable) == "FW";
        CProgressSteps steps;
        const TransferInfo transfer{pszTable, "X.bin", 1000, 0, 0};
        steps.BeginTransfer(transfer);
        EXPECT_EQ(StepPhase(TransferName(transfer, EN)), bFirmware ? "firmware" : "data") << pszTable;
        EXPECT_EQ(StepPhase(steps.AfterTransfer().strName), bFirmware ? "restart" : "data_check") << pszTable;
    }
    EXPECT_EQ(StepPhase(TransferName({}, EN)), "data");
}

}  // namespace
