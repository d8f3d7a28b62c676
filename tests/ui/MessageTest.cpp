#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/LastError.h"
#include "platform/Text.h"
#include "ui/RecordingMessageBox.h"
#include "ui/StringTable.h"
#include "ui/TerminalMessageBox.h"
#include "support/LogCapture.h"
#include "ui/Util.h"

namespace {

bool g_bSilent = false;
bool QuerySilent() noexcept { return g_bSilent; }

class Messages : public ::testing::Test {
protected:
    void SetUp() override {
        g_bSilent = false;
        SetSilentModeQuery(&QuerySilent);
        SetMessageBox(&m_box);
    }
    void TearDown() override {
        SetMessageBox(nullptr);
        SetSilentModeQuery(nullptr);
    }
    TempDir m_dir;
    LogCapture m_log{m_dir.Path()};
    CRecordingMessageBox m_box;
};

TEST_F(Messages, ErrorBoxCarriesTextCodesCaptionAndStyle) {
    EXPECT_EQ(ShowError(0x120301, 0x2000000B, LoadResString(251, UiLanguage::English).c_str(), 7), IDOK);
    auto boxes = m_box.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Bad configuration file format. (line:7)\n\nErrorCode = [ 120301, 2000000B ]");
    EXPECT_EQ(boxes[0].caption, "ZAQ Kelvo");
    EXPECT_EQ(boxes[0].dwStyle, MB_ICONERROR | MB_TOPMOST);
    EXPECT_TRUE(m_log.Contains("Showing message. [Bad configuration file format. (line:7)"));
}

struct FormatCase {
    DWORD dwLocation;
    DWORD dwError;
    const char* pszText;
    const char* pszExpected;
};

TEST_F(Messages, ErrorCodeLinePadsBothCodes) {
    const FormatCase cases[] = {
        {0x1, 0x2, "a", "a\n\nErrorCode = [ 000001, 00000002 ]"},
        {0x090102, 0x200000DE, "Failed", "Failed\n\nErrorCode = [ 090102, 200000DE ]"},
        {0xABCDEF, 0xFFFFFFFF, "", "\n\nErrorCode = [ ABCDEF, FFFFFFFF ]"},
        {0x1234567, 0, "wide", "wide\n\nErrorCode = [ 1234567, 00000000 ]"},
    };
    for (const FormatCase& c : cases) {
        m_box.Clear();
        ShowError(c.dwLocation, c.dwError, "%s", c.pszText);
        ASSERT_EQ(m_box.Boxes().size(), 1u);
        EXPECT_EQ(m_box.Boxes()[0].text, c.pszExpected);
    }
}

TEST_F(Messages, ShowErrorExAddsErrorIconAndReturnsTheAnswer) {
    m_box.QueueAnswer(IDRETRY);
    EXPECT_EQ(ShowErrorEx(MB_RETRYCANCEL, 0x040B01, 0x2000001F, IDCANCEL, "Retry %s?", "now"), IDRETRY);
    ASSERT_EQ(m_box.Boxes().size(), 1u);
    EXPECT_EQ(m_box.Boxes()[0].dwStyle, MB_RETRYCANCEL | MB_ICONERROR | MB_TOPMOST);
    EXPECT_EQ(m_box.Boxes()[0].text, "Retry now?\n\nErrorCode = [ 040B01, 2000001F ]");
}

TEST_F(Messages, LongTextIsCutTo1023Characters) {
    std::string text(2000, 'x');
    ShowMessage(MB_OK, IDOK, "%s", text.c_str());
    ASSERT_EQ(m_box.Boxes().size(), 1u);
    EXPECT_EQ(m_box.Boxes()[0].text, std::string(1023, 'x'));

    // Characters, not bytes, and never half of one.
    m_box.Clear();
    std::string japanese;
    for (int i = 0; i < 1100; ++i) japanese += "設";
    ShowMessage(MB_OK, IDOK, "%s", japanese.c_str());
    EXPECT_EQ(Utf8Length(m_box.Boxes()[0].text), 1023u);
    EXPECT_TRUE(Utf8IsValid(m_box.Boxes()[0].text));
}

TEST_F(Messages, ErrorTextCutInsideAPlaceholderDropsTheHalfConversion) {
    // 1022 characters and then "%d": the cut leaves a lone "%", which must not reach printf.
    std::string text = std::string(1022, 'y') + "%d";
    EXPECT_EQ(BuildErrorFormat(text.c_str(), 1, 2), std::string(1022, 'y'));
    std::string kept = std::string(1000, 'y') + "%d";
    EXPECT_EQ(BuildErrorFormat(kept.c_str(), 1, 2), kept + std::string("\n\nErrorCode = [ 000001, 00000002 ]").substr(0, 1023 - kept.size()));
    ShowError(1, 2, "%s", text.c_str());
    EXPECT_EQ(m_box.Boxes()[0].text.size(), 1023u);
}

TEST_F(Messages, SilentModeLogsAndAnswersWithoutABox) {
    g_bSilent = true;
    SetLastError(0);
    EXPECT_EQ(ShowError(0x120603, 0x20000018, "%s", "Bad configuration file size."), IDOK);
    EXPECT_EQ(ShowErrorEx(MB_RETRYCANCEL, 0x040B02, 0x2000001F, IDCANCEL, "Retry?"), IDCANCEL);
    EXPECT_EQ(ShowMessage(MB_ICONINFORMATION, IDOK, "Version %s", "1.02"), IDOK);
    EXPECT_TRUE(m_box.Boxes().empty());
    EXPECT_TRUE(m_log.Contains(
        "Showing message is skipped. [Bad configuration file size.\n\nErrorCode = [ 120603, 20000018 ]]"));
    EXPECT_TRUE(m_log.Contains("Showing message is skipped. [Retry?\n\nErrorCode = [ 040B02, 2000001F ]]"));
    EXPECT_TRUE(m_log.Contains("Showing message is skipped. [Version 1.02]"));
}

std::vector<std::string> g_echoed;
void Echo(const std::string& text) noexcept { g_echoed.push_back(text); }

// A script running the program silently reads the skipped texts from its echo.
TEST_F(Messages, SilentlySkippedTextsGoToTheEchoAndShownOnesDoNot) {
    g_echoed.clear();
    SetSilentEcho(&Echo);
    ShowMessage(MB_OK, IDOK, "%s", "shown");
    g_bSilent = true;
    ShowError(0x120301, 0x2000000B, "line:%d", 1);
    SetSilentEcho(nullptr);
    ShowMessage(MB_OK, IDOK, "%s", "after");
    EXPECT_EQ(g_echoed, std::vector<std::string>{"line:1\n\nErrorCode = [ 120301, 2000000B ]"});
    EXPECT_EQ(m_box.Boxes().size(), 1u);
}

TEST_F(Messages, BytesThatAreNoUtf8BecomeReplacementCharacters) {
    ShowError(0x090101, 0x2000007B, "Bad firmware update file!!\n[%s]", "FW\xB0\xFF.bin");
    ASSERT_EQ(m_box.Boxes().size(), 1u);
    EXPECT_EQ(m_box.Boxes()[0].text,
              "Bad firmware update file!!\n[FW\uFFFD\uFFFD.bin]\n\nErrorCode = [ 090101, 2000007B ]");
}

TEST_F(Messages, LastErrorSurvivesAMessage) {
    SetLastError(1167);
    ShowError(1, 2, "x");
    EXPECT_EQ(GetLastError(), 1167u);
}

TEST_F(Messages, NoBoxRegisteredAnswersZero) {
    SetMessageBox(nullptr);
    EXPECT_EQ(ShowMessage(MB_OK, IDOK, "nobody sees this"), 0);
}

// The terminal box, on a real pseudo-terminal for the questions.
class TerminalBox : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr), 0);
        ASSERT_EQ(::pipe(m_out), 0);
    }
    void TearDown() override {
        for (int fd : {m_master, m_slave, m_out[0], m_out[1]}) ::close(fd);
    }
    std::string Output() {
        ::close(m_out[1]);
        m_out[1] = -1;
        std::string text;
        char buf[512];
        ssize_t n;
        while ((n = ::read(m_out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
        return text;
    }
    void Type(const std::string& keys) { ASSERT_EQ(::write(m_master, keys.data(), keys.size()), (ssize_t)keys.size()); }
    int m_master = -1, m_slave = -1;
    int m_out[2] = {-1, -1};
};

TEST_F(TerminalBox, PrintsTextAndAsksRetryOrCancel) {
    Type("x\nR\n");
    CTerminalMessageBox box(m_slave, m_out[1]);
    EXPECT_EQ(box.MessageBox("Failed\n\nErrorCode = [ 040B01, 2000001F ]", "ZAQ Kelvo", MB_RETRYCANCEL | MB_ICONERROR),
              IDRETRY);
    std::string out = Output();
    EXPECT_NE(out.find("ZAQ Kelvo: Failed\n\nErrorCode = [ 040B01, 2000001F ]\n"), std::string::npos);
    EXPECT_NE(out.find("[R]etry / [C]ancel? "), std::string::npos);
}

struct AnswerCase {
    DWORD dwStyle;
    const char* pszTyped;
    int nAnswer;
};

TEST_F(TerminalBox, AnswersByFirstLetter) {
    const AnswerCase cases[] = {
        {MB_RETRYCANCEL, "c\n", IDCANCEL}, {MB_OKCANCEL, " o\n", IDOK},   {MB_YESNO, "N\n", IDNO},
        {MB_YESNOCANCEL, "y\n", IDYES},    {MB_ABORTRETRYIGNORE, "i\n", IDIGNORE},
    };
    for (const AnswerCase& c : cases) {
        Type(c.pszTyped);
        CTerminalMessageBox box(m_slave, m_out[1]);
        EXPECT_EQ(box.MessageBox("q", "ZAQ Kelvo", c.dwStyle), c.nAnswer) << c.pszTyped;
    }
}

TEST_F(TerminalBox, WithoutATerminalTheSafeAnswerComes) {
    int fdNull[2];
    ASSERT_EQ(::pipe(fdNull), 0);
    CTerminalMessageBox box(fdNull[0], m_out[1]);
    EXPECT_EQ(box.MessageBox("q", "c", MB_RETRYCANCEL), IDCANCEL);
    EXPECT_EQ(box.MessageBox("q", "c", MB_YESNO), IDNO);
    EXPECT_EQ(box.MessageBox("q", "c", MB_OK | MB_ICONINFORMATION), IDOK);
    ::close(fdNull[0]);
    ::close(fdNull[1]);
    EXPECT_NE(Output().find("c: q\n"), std::string::npos);
}

}  // namespace
