#include "ui/TerminalMessageBox.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/LastError.h"

namespace {

struct Choice {
    char chKey;
    const char* pszLabel;
    int nAnswer;
};

std::vector<Choice> ChoicesOf(DWORD dwStyle) {
    switch (dwStyle & MB_TYPEMASK) {
        case MB_OKCANCEL: return {{'o', "[O]K", IDOK}, {'c', "[C]ancel", IDCANCEL}};
        case MB_ABORTRETRYIGNORE: return {{'a', "[A]bort", IDABORT}, {'r', "[R]etry", IDRETRY}, {'i', "[I]gnore", IDIGNORE}};
        case MB_YESNOCANCEL: return {{'y', "[Y]es", IDYES}, {'n', "[N]o", IDNO}, {'c', "[C]ancel", IDCANCEL}};
        case MB_YESNO: return {{'y', "[Y]es", IDYES}, {'n', "[N]o", IDNO}};
        case MB_RETRYCANCEL: return {{'r', "[R]etry", IDRETRY}, {'c', "[C]ancel", IDCANCEL}};
        case MB_CANCELTRYCONTINUE:
            return {{'c', "[C]ancel", IDCANCEL}, {'t', "[T]ry again", IDTRYAGAIN}, {'o', "c[O]ntinue", IDCONTINUE}};
        default: return {};
    }
}

// The answer when no one can be asked: whatever stops rather than goes on.
int SafeAnswer(DWORD dwStyle) {
    switch (dwStyle & MB_TYPEMASK) {
        case MB_ABORTRETRYIGNORE: return IDABORT;
        case MB_YESNO: return IDNO;
        case MB_OK: return IDOK;
        default: return IDCANCEL;
    }
}

void WriteAll(int fd, const std::string& text) {
    std::size_t nDone = 0;
    while (nDone < text.size()) {
        ssize_t n = ::write(fd, text.data() + nDone, text.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        nDone += static_cast<std::size_t>(n);
    }
}

// One line from fd; false at end of input or on an error.
bool ReadLine(int fd, std::string& line) {
    line.clear();
    for (;;) {
        char ch;
        ssize_t n = ::read(fd, &ch, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return !line.empty();
        if (ch == '\n') return true;
        line += ch;
    }
}

}  // namespace

int CTerminalMessageBox::MessageBox(const std::string& text, const std::string& caption, DWORD dwStyle) {
    LastErrorGuard keep;
    WriteAll(m_fdOut, caption + ": " + text + "\n");
    std::vector<Choice> choices = ChoicesOf(dwStyle);
    if (choices.empty()) return IDOK;
    if (!::isatty(m_fdIn)) return SafeAnswer(dwStyle);

    std::string prompt;
    for (const Choice& c : choices) prompt += (prompt.empty() ? "" : " / ") + std::string(c.pszLabel);
    prompt += "? ";
    std::string line;
    for (;;) {
        WriteAll(m_fdOut, prompt);
        if (!ReadLine(m_fdIn, line)) return SafeAnswer(dwStyle);
        std::size_t nFirst = line.find_first_not_of(" \t\r");
        if (nFirst == std::string::npos) continue;
        char chKey = static_cast<char>(std::tolower(static_cast<unsigned char>(line[nFirst])));
        for (const Choice& c : choices) {
            if (c.chKey == chKey) return c.nAnswer;
        }
    }
}
