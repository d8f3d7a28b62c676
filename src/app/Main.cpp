// kelvo: the desktop updater.
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QTimer>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "app/FrontEnd.h"
#include "app/KelvoDlg.h"
#include "app/UpdateFolder.h"
#include "app/Workers.h"
#include "cli/ResultName.h"
#include "engine/CommandLine.h"
#include "engine/Kelvo.h"
#include "engine/Settings.h"
#include "log/Log.h"
#include "platform/Paths.h"
#include "platform/Signals.h"
#include "platform/WinError.h"
#include "ui/StringTable.h"
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

bool IsSilentWord(const std::vector<char*>& args) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (::strcasecmp(args[i], "/s") == 0) return true;
    }
    return false;
}

// Tells the user (stderr, and a box unless silent) and gives the result to end with.
DWORD RefuseFolder(CKelvoFrontEnd& frontEnd, bool bSilent, DWORD dwId, const std::string& folder, DWORD dwResult) {
    const std::string text = StrPrintf(LoadResString(dwId).c_str(), folder.c_str());
    EchoToStderr(text);
    if (!bSilent) frontEnd.MessageBox(text, KELVO_CAPTION, MB_ICONERROR | MB_TOPMOST);
    return dwResult;
}

// Moves into the update folder: the folder argument; else the working folder when it
// holds a config.ini; else, with someone to ask, the folder the user chooses (the last
// one offered first). A silent run never asks: the configuration loader then says what
// is missing. ERROR_SUCCESS, or the result to end with.
DWORD EnterUpdateFolder(CKelvoFrontEnd& frontEnd, const std::string& argument, bool bSilent) {
    const std::string settingsPath = SettingsFilePath(g_programName);
    std::string folder = argument;
    if (folder.empty()) {
        if (bSilent || HasUsableConfig(".")) return ERROR_SUCCESS;
        const std::string last = ReadSettings(settingsPath).strUpdateFolder;
        const QString start = !last.empty() && IsDirectory(last) ? QString::fromStdString(last) : QDir::homePath();
        std::optional<std::string> chosen = ChooseUpdateFolder(nullptr, start, [&frontEnd](QFileDialog& chooser) {
            // A signal that came while the chooser was being made ends it as soon as it runs.
            if (frontEnd.PendingCloseSignal() != 0) {
                QTimer::singleShot(0, &chooser, [&chooser] { static_cast<QDialog&>(chooser).reject(); });
            }
        });
        if (!chosen) return ERROR_CANCELLED;
        folder = *chosen;
    }
    if (!IsDirectory(folder) || ::chdir(folder.c_str()) != 0) {
        return RefuseFolder(frontEnd, bSilent, IDS_FOLDER_NOT_FOUND, folder, ERROR_PATH_NOT_FOUND);
    }
    if (HasUsableConfig(".")) {
        const std::string absolute = QDir::currentPath().toStdString();
        if (!WriteUpdateFolder(settingsPath, absolute)) {
            std::fprintf(stderr, "%s: the update folder was not remembered in %s: %s\n", g_programName.c_str(),
                         settingsPath.c_str(), std::strerror(errno));
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 0) {
        const std::string program = QFileInfo(QString::fromLocal8Bit(argv[0])).completeBaseName().toStdString();
        if (!program.empty()) g_programName = program;
    }
    // Answered before Qt starts: no display is needed for them.
    const DesktopArgs early = ParseDesktopArgs(argc, argv);
    if (early.bHelp) {
        std::fputs(DesktopHelpText(g_programName).c_str(), stdout);
        return 0;
    }
    if (early.bVersion) {
        std::printf("%s %s\n", g_programName.c_str(), KELVO_VERSION);
        return 0;
    }
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
    // Qt has taken its own options out: what is left is the program's.
    const DesktopArgs args = ParseDesktopArgs(argc, argv);
    for (const std::string& option : args.unknown) {
        std::fprintf(stderr, "%s: unknown option %s is ignored (see --help)\n", g_programName.c_str(), option.c_str());
    }
    // Read from here on, also while the folder chooser waits: a signal then dismisses it.
    frontEnd.SetCloseSignals(closeSignals.Get(), [](const std::string& text) { EchoToStderr(text); }, [] {
        // The machine is restored; the worker may still be in a wait, so the process ends
        // without waiting for it or running any destructor.
        PrintResult(theApp.nExitCode);
        LogFlush();  // _Exit runs no exit handler: the log's queue goes out first
        std::_Exit(ExitStatusFromResult(theApp.nExitCode));
    });
    QApplication::setWindowIcon(KelvoIcon());
    SetMessageBox(&frontEnd);
    const DWORD dwFolder = EnterUpdateFolder(frontEnd, args.folder, IsSilentWord(args.rest));
    SetMessageBox(nullptr);
    if (dwFolder != ERROR_SUCCESS) {
        PrintResult(dwFolder);
        return ExitStatusFromResult(dwFolder);
    }
    SetSilentEcho(&EchoToStderr);
    // The shell's words as they were typed: an empty word ends the parse as a blank
    // quoted token does.
    std::vector<char*> words(args.rest.begin() + (args.rest.empty() ? 0 : 1), args.rest.end());
    const int nStatus = RunKelvo(frontEnd, CommandLineFromArgs(static_cast<int>(words.size()), words.data()), g_programName);
    SetSilentEcho(nullptr);
    PrintResult(theApp.nExitCode);
    return nStatus;
}
