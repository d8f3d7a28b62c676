#include "ui/Launch.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "log/Log.h"
#include "platform/Event.h"
#include "platform/LastError.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "platform/WinError.h"
#include "ui/StringTable.h"

namespace {

// The command as one line for the log, each word in double quotes.
std::string CommandText(const std::vector<std::string>& argv) {
    std::string text;
    for (const std::string& arg : argv) text += (text.empty() ? "\"" : " \"") + arg + "\"";
    return text;
}

std::string UserNameOfUid(uid_t uid) {
    passwd pw{};
    passwd* pResult = nullptr;
    char buf[4096];
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &pResult) != 0 || pResult == nullptr) return {};
    return pw.pw_name;
}

std::string UserNameOfUid(const char* pszUid) {
    char* pEnd = nullptr;
    unsigned long ulUid = std::strtoul(pszUid, &pEnd, 10);
    if (pEnd == pszUid || *pEnd != '\0') return {};
    return UserNameOfUid(static_cast<uid_t>(ulUid));
}

// Starts argv of UrlOpenerArgs, run as user (empty: as this process's user): as root with
// the session environment only, so nothing root was given (LD_PRELOAD, secrets) reaches
// a program of the desktop.
BOOL StartOpener(const std::vector<std::string>& argv, const std::string& user, pid_t* pPid) {
    if (argv.front().front() != '/') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    std::vector<std::string> env;
    SpawnStdio stdio;
    if (::geteuid() == 0) {
        env = SessionEnvironment(user.empty() ? UserNameOfUid(::geteuid()) : user);
        stdio.pEnvironment = &env;
    }
    return SpawnProcess(argv, true, stdio, pPid);
}

}  // namespace

std::string SupportPageUrl(const char* pszPage) { return std::string(SUPPORT_SITE) + (pszPage ? pszPage : ""); }

std::string MessageText(DWORD dwId) {
    std::string text = LoadResString(dwId);
    // The page opens in a browser after the box; a machine without one still has the address.
    if (dwId == IDS_FW_UPDATE_FAILED_BOOT_MODE) {
        text += "\n" + StrPrintf(LoadResString(IDS_HELP_PAGE_ADDRESS).c_str(), SupportPageUrl(HELP_PAGE_BOOT_MODE).c_str());
    }
    return text;
}

std::string DesktopUserOfRoot() {
    if (::geteuid() != 0) return {};
    const char* pszSudoUser = std::getenv("SUDO_USER");
    if (pszSudoUser != nullptr && pszSudoUser[0] != '\0') return pszSudoUser;
    const char* pszPkexecUid = std::getenv("PKEXEC_UID");
    if (pszPkexecUid != nullptr && pszPkexecUid[0] != '\0') return UserNameOfUid(pszPkexecUid);
    return {};
}

std::vector<std::string> UrlOpenerArgs(const char* pszUrl, const std::string& user) {
    std::string opener = SystemProgramPath(URL_OPENER);
    std::string runAs = user.empty() ? std::string() : SystemProgramPath(RUN_AS_USER);
    bool bFound = !opener.empty() && (user.empty() || !runAs.empty());
    std::vector<std::string> argv;
    if (!user.empty()) argv = {bFound ? runAs : RUN_AS_USER, "-u", user, "--"};
    argv.push_back(bFound ? opener : URL_OPENER);
    if (pszUrl != nullptr) argv.emplace_back(pszUrl);
    return argv;
}

std::vector<std::string> SessionEnvironment(const std::string& user) {
    std::vector<std::string> env{std::string("PATH=") + SESSION_PATH};
    passwd pw{};
    passwd* pResult = nullptr;
    char buf[4096];
    if (::getpwnam_r(user.c_str(), &pw, buf, sizeof buf, &pResult) == 0 && pResult != nullptr) {
        env.push_back(std::string("HOME=") + pw.pw_dir);
        env.push_back(std::string("USER=") + pw.pw_name);
        env.push_back(std::string("LOGNAME=") + pw.pw_name);
    }
    for (const char* pszName :
         {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "LANG"}) {
        if (const char* pszValue = std::getenv(pszName)) env.push_back(std::string(pszName) + "=" + pszValue);
    }
    return env;
}

BOOL LaunchUrl(const char* pszUrl) {
    if (!DesktopUserOfRoot().empty()) {
        // Started directly, the browser would run as root: the shell path hands it to the user.
        SetLastError(ERROR_ELEVATION_REQUIRED);
        LogMessage(LOG_ACTION, 'A', __LINE__, ERROR_ELEVATION_REQUIRED, "[%d] = CreateProcess [%s]", 0,
                   CommandText(UrlOpenerArgs(pszUrl, {})).c_str());
        return LaunchUrlByShell(pszUrl);
    }
    std::vector<std::string> argv = UrlOpenerArgs(pszUrl, {});
    pid_t pid = 0;
    BOOL bStarted = StartOpener(argv, {}, &pid);
    LogMessage(LOG_ACTION, 'A', __LINE__, bStarted ? ERROR_SUCCESS : GetLastError(), "[%d] = CreateProcess [%s]",
               bStarted, CommandText(argv).c_str());
    if (!bStarted) {
        LogMessage(LOG_ERROR, 'E', __LINE__, GetLastError(), "CreateProcess error [%s]", URL_OPENER);
        return FALSE;
    }
    int nExitCode = 0;
    if (WaitForProcess(pid, LAUNCH_WAIT, &nExitCode) != WAIT_OBJECT_0) ReapProcessLater(pid);
    LogMessage(LOG_ACTION, 'A', __LINE__, 0, "CreateProcess success (non wait)");
    return TRUE;
}

BOOL LaunchUrlByShell(const char* pszUrl) {
    std::string user = DesktopUserOfRoot();
    std::vector<std::string> argv = UrlOpenerArgs(pszUrl, user);
    std::string parameters = CommandText(std::vector<std::string>(argv.begin() + 1, argv.end()));
    pid_t pid = 0;
    if (!StartOpener(argv, user, &pid)) {
        LogMessage(LOG_ACTION, 'A', __LINE__, GetLastError(), "ShellExecuteEx [%s][%s][%s]", argv[0].c_str(), "",
                   parameters.c_str());
        return FALSE;
    }
    int nExitCode = 0;
    // Bounded as the direct launch is: an opener that keeps the browser in the foreground
    // (xdg-open run through runuser may) would otherwise freeze the dialog, or keep a
    // failed retry run from ever ending. It is left to run on its own.
    DWORD dwWait = WaitForProcess(pid, LAUNCH_WAIT, &nExitCode);
    if (dwWait == WAIT_TIMEOUT) {
        ReapProcessLater(pid);
        LogMessage(LOG_ACTION, 'A', __LINE__, 0, "Process is still running (non wait)");
        return TRUE;
    }
    if (dwWait != WAIT_OBJECT_0) return FALSE;
    if (nExitCode != 0) {
        SetLastError(static_cast<DWORD>(nExitCode));
        LogMessage(LOG_ERROR, 'E', __LINE__, static_cast<DWORD>(nExitCode), "ShellExecuteEx error [%d]", nExitCode);
        return FALSE;
    }
    LogMessage(LOG_ACTION, 'A', __LINE__, 0, "Process is done.");
    return TRUE;
}
