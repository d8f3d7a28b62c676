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

std::string UserNameOfUid(const char* pszUid) {
    char* pEnd = nullptr;
    unsigned long ulUid = std::strtoul(pszUid, &pEnd, 10);
    if (pEnd == pszUid || *pEnd != '\0') return {};
    passwd pw{};
    passwd* pResult = nullptr;
    char buf[4096];
    if (::getpwuid_r(static_cast<uid_t>(ulUid), &pw, buf, sizeof buf, &pResult) != 0 || pResult == nullptr) return {};
    return pw.pw_name;
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
    std::vector<std::string> argv;
    if (!user.empty()) argv = {RUN_AS_USER, "-u", user, "--"};
    argv.emplace_back(URL_OPENER);
    if (pszUrl != nullptr) argv.emplace_back(pszUrl);
    return argv;
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
    BOOL bStarted = SpawnProcess(argv, true, &pid);
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
    std::vector<std::string> argv = UrlOpenerArgs(pszUrl, DesktopUserOfRoot());
    std::string parameters = CommandText(std::vector<std::string>(argv.begin() + 1, argv.end()));
    pid_t pid = 0;
    if (!SpawnProcess(argv, true, &pid)) {
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
