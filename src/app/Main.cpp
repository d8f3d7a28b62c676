// kelvo: the desktop updater.
#include <QApplication>
#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/FrontEnd.h"
#include "app/Workers.h"
#include "cli/ResultName.h"
#include "engine/CommandLine.h"
#include "engine/Kelvo.h"
#include "log/Log.h"
#include "platform/Signals.h"
#include "ui/Util.h"

namespace {

std::string g_programName = "kelvo";

// A silent run's messages: a script reads on stderr why it failed.
void EchoToStderr(const std::string& text) noexcept {
    std::fprintf(stderr, "%s: %s\n", g_programName.c_str(), text.c_str());
    std::fflush(stderr);
}

// The exit status keeps 8 bits; the full result (1167 or 1460, say) is printed too.
void PrintResult(DWORD dwResult) noexcept {
    std::fprintf(stderr, "%s: result %u (%s)\n", g_programName.c_str(), dwResult, ResultName(dwResult).c_str());
    std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
    // A stderr that leads nowhere must not end the program before it has cleaned up.
    std::signal(SIGPIPE, SIG_IGN);
    // Ctrl+C, a closed terminal, a logout or a service stop: the close request, never
    // an end in the middle of a transfer. Blocked before Qt or the engine starts a thread.
    UniqueFd closeSignals = BlockCloseSignals();
    // Qt takes its own options (-platform, -style, ...) out of argv here.
    QApplication app(argc, argv);
    QApplication::setApplicationName("kelvo");
    QApplication::setDesktopFileName("kelvo");
    SetUpUiLanguage(app);
    CKelvoFrontEnd frontEnd(EngineWorkers());
    const std::string program = QFileInfo(QString::fromLocal8Bit(argv[0])).completeBaseName().toStdString();
    if (!program.empty()) g_programName = program;
    SetSilentEcho(&EchoToStderr);
    frontEnd.SetCloseSignals(closeSignals.Get(), [](const std::string& text) { EchoToStderr(text); }, [] {
        // The machine is restored; the worker may still be in a wait, so the process ends
        // without waiting for it or running any destructor.
        PrintResult(theApp.nExitCode);
        LogFlush();  // _Exit runs no exit handler: the log's queue goes out first
        std::_Exit(ExitStatusFromResult(theApp.nExitCode));
    });
    // The shell's words as they were typed: an empty word ends the parse as a blank
    // quoted token does.
    const int nStatus = RunKelvo(frontEnd, CommandLineFromArgs(argc - 1, argv + 1), g_programName);
    SetSilentEcho(nullptr);
    PrintResult(theApp.nExitCode);
    return nStatus;
}
