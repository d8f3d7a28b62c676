#pragma once
// Opening the maker's support pages in the user's web browser.
#include <string>
#include <vector>

#include "platform/Types.h"

// The support site; the help pages lie below it.
inline constexpr const char* SUPPORT_SITE = "https://support.zaq-printers.example";
inline constexpr const char* HELP_PAGE_MAIN = "/firmup1/";      // the dialog's help icon
inline constexpr const char* HELP_PAGE_BOOT_MODE = "/firmup2/"; // after a failed retry run
std::string SupportPageUrl(const char* pszPage);
// The text of a message as its box shows it: the string of the id, and for a message that
// refers the user to a help page (209) a line with that page's address after it.
std::string MessageText(DWORD dwId);

// The desktop's URL opener, found in the system folders (SystemProgramPath).
inline constexpr const char* URL_OPENER = "xdg-open";
// Runs a program as another user (root only); found as the opener is.
inline constexpr const char* RUN_AS_USER = "runuser";
// How long a launch waits for the opener to hand the address over.
inline constexpr DWORD LAUNCH_WAIT = 15000;

// The desktop user that root acts for (SUDO_USER, or the name of PKEXEC_UID), or empty
// when this process is not root or acts for no one: the browser must not run as root.
std::string DesktopUserOfRoot();

// The opener's argument vector: its absolute path and the address (none without one),
// run through runuser as user when given. When a program is not found its plain name
// stands there instead (and the launch fails as ERROR_FILE_NOT_FOUND).
std::vector<std::string> UrlOpenerArgs(const char* pszUrl, const std::string& user);

// The whole environment of a program root starts for user (the desktop user, or root):
// PATH of the system folders; HOME, USER and LOGNAME of user (none when user is
// unknown); and from this process's environment only what reaches the user's session:
// DISPLAY, WAYLAND_DISPLAY, XAUTHORITY, XDG_RUNTIME_DIR, DBUS_SESSION_BUS_ADDRESS, LANG.
std::vector<std::string> SessionEnvironment(const std::string& user);
inline constexpr const char* SESSION_PATH = "/usr/sbin:/usr/bin:/sbin:/bin";

// Opens the address (may be null) in the default browser: starts the opener without a
// shell in a process group of its own (as root with SessionEnvironment only) and waits up to LAUNCH_WAIT ms for it to hand the
// address over (an opener still running then is reaped later). As root acting for a
// desktop user, LaunchUrlByShell runs it as that user instead. 1 when the launch
// succeeded, 0 otherwise; failures are only logged. Blocks at most LAUNCH_WAIT ms on
// either path.
BOOL LaunchUrl(const char* pszUrl);
// Runs the opener (as the desktop user when root acts for one) and waits up to
// LAUNCH_WAIT ms for it to end: 1 when it ends with 0, 0 with its exit code as the last
// error when it ends otherwise; 1 when it still runs then (it is left running and
// reaped once it ends).
BOOL LaunchUrlByShell(const char* pszUrl);
