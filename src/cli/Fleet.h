#pragma once
// kelvo-cli over several printers: one child kelvo-cli per port (the engine keeps one run
// per process), at most N at once. The parent holds the instance lock and reads the
// update files once before any child (broken ones end the run at once). An update first
// checks every printer (children with --check); only when one needs the update does the
// parent stop the spooler (where a queue uses one of those ports) and the POS service,
// update those printers, and start the services again after the last. It shows what
// each child does, forwards interrupts to all of them and gathers their results into
// one object.
#include <string>
#include <string_view>
#include <vector>

#include "cli/CliSession.h"
#include "cli/Options.h"
#include "platform/Types.h"

// Whether NAME can name a port of the kind (nKind < 0: of any kind): an IPv4 address on
// LAN, USB and its number, a Bluetooth address, a tty name for serial; never longer than
// a port name may be, never with blanks, control characters or '/'. FALSE with a reason.
bool CheckPortName(std::string_view name, int nKind, std::string* pWhy);

// The ports of a --ports-from file: one a line, blanks around it ignored, '#' starts a
// comment. FALSE with "line N: " and the reason for the first name CheckPortName refuses.
bool ParsePortsText(std::string_view text, int nKind, std::vector<std::string>* pPorts, std::string* pError);

// The most printers one fleet run updates, and the largest ports file or result file
// it reads (far above any real one; a larger file is refused before it is parsed).
inline constexpr std::size_t FLEET_PRINTERS_MAX = 10000;
inline constexpr std::size_t FLEET_FILE_MAX = 16u << 20;

// The ports of an earlier result (--json of a fleet run, or of one printer) whose update
// failed or did not start (exit status other than 0 and 2), each checked as a ports-file
// line is. FALSE with a reason when the text is no such result.
bool FailedPortsOfResult(std::string_view json, int nKind, std::vector<std::string>* pPorts, std::string* pError);

// The ports of a fleet run: every --port, then the file's, then the failed ones of
// --retry-failed (without a file: of the last fleet run's result), then with --all every port
// discovery finds for the kind; each once, in that order. FALSE with a reason (no kind
// for --all, an unreadable or oversized file, more than FLEET_PRINTERS_MAX, none found at all); *pbNothingToDo (may be null) is set
// when the only source was a --retry-failed result in which nothing failed.
bool CollectFleetPorts(const CliOptions& options, const DiscoveryFactory& discovery, std::vector<std::string>* pPorts,
                       std::string* pError, bool* pbNothingToDo = nullptr);

// How this process was started: by hand, or by a fleet parent through the channel it
// hands its children (a socket at descriptor 3 whose other end the parent made and
// which greets the child). A child dies with its parent (PR_SET_PDEATHSIG, and a parent
// that had already gone when that was set is seen); ParentGone when it has.
enum class FleetChannel { None, Child, ParentGone };
FleetChannel TakeFleetChannel() noexcept;

// The command line of the child for one port (program path first).
std::vector<std::string> FleetChildArgs(const std::string& program, const CliOptions& options,
                                        const std::string& port);

// What one child ended with: its result object (--json of a single run), or one made
// from its exit status when it printed none.
struct FleetResult {
    std::string strPort;
    int nExitStatus = 1;
    std::string strJson;
    std::string strKind;  // the kind word of --kind; empty: the child's choice
};

// 3 when the run was cancelled, 1 when a printer ended other than 0 or 2, 2 when every
// printer ended 2 (nothing needed updating), 0 otherwise.
int FleetExitStatus(const std::vector<FleetResult>& results, bool bCancelled) noexcept;

// The table a person reads at the end: a header, then a row per printer with its port,
// model, firmware before -> after ("unknown" when not read), the files sent, the outcome
// and the time taken, in columns; under the row of a printer that failed or timed out,
// indented, why (its result's sentence) and its log file in logFolder (empty: none
// named). Each line ends with a newline.
std::string FleetSummaryTable(const std::vector<FleetResult>& results, const std::string& logFolder = {});

// {"printers":N,"exit_status":S,"by_exit_status":{...},"duration_ms":T}: the summary.
std::string FleetSummaryJson(const std::vector<FleetResult>& results, int nExitStatus, DWORD dwDurationMs);

// {"results":[...],"summary":{"printers":N,"exit_status":S,"by_exit_status":{"0":a,"1":b,
// "2":c,"3":d},"duration_ms":T}} on one line.
std::string FleetJson(const std::vector<FleetResult>& results, int nExitStatus, DWORD dwDurationMs);

// The whole fleet run; returns the exit status. fdInterrupt (or -1) turns readable at
// each interrupt; the output goes to stderr (a line per printer on a terminal), the
// object to stdout with --json. With --json-lines stdout has one object a line as things
// happen: {"event":"start"|"phase"|"progress"|"result","port":...} (progress at most
// once a second for a phase, a result with the printer's whole object under "result"),
// and last {"event":"summary","summary":{...}}.
int RunFleet(const CliOptions& options, int fdInterrupt);
