#pragma once
// The message box of the terminal front end: the text (with its error codes) goes to
// stderr; a question is asked on the terminal when there is one.
#include "ui/MsgBox.h"

class CTerminalMessageBox : public IMessageBox {
public:
    // fdIn answers questions, fdOut shows the text; by default stdin and stderr.
    explicit CTerminalMessageBox(int fdIn = 0, int fdOut = 2) noexcept : m_fdIn(fdIn), m_fdOut(fdOut) {}

    // Prints "caption: text". For a style with a choice (OK/Cancel, Retry/Cancel, Yes/No,
    // ...) and a terminal on fdIn, asks until one of the offered answers is typed (its
    // first letter, any case); end of input answers Cancel (or No). Without a terminal
    // no one can answer, so the safe answer comes back: Cancel, No or Abort, IDOK for a
    // box with only OK. Blocks while it reads. Keeps the last error.
    int MessageBox(const std::string& text, const std::string& caption, DWORD dwStyle) override;

private:
    int m_fdIn;
    int m_fdOut;
};
