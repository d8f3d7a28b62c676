#pragma once
// What kelvo-cli reports at the end of a run: the --json object and the summary line.
#include <string>
#include <utility>
#include <vector>

#include "platform/Types.h"

struct CliReport {
    DWORD dwResult = 0;
    int nExitStatus = 0;
    std::string strModel;        // model name of the printer's row; empty: not known
    int nTypeId = 0;             // 0: not known
    std::string strKind;         // "Ethernet", ...; empty: none chosen
    std::string strPort;         // empty: none chosen
    std::string strFwBefore;     // version text read before the update; empty: not read
    std::string strFwAfter;      // version text after it; empty: not read
    std::vector<BYTE> romIdBefore;  // the printer's ROM ID answer before; empty: not read
    std::vector<BYTE> romIdAfter;   // its answer after the new firmware started
    std::vector<std::string> sent;      // update files sent, in order ("FW", "KF", ...)
    bool bRetryRun = false;
    bool bCheck = false;                // --check: nothing was sent; wouldSend tells what would be
    std::vector<std::string> wouldSend; // update files an update would send, in order
    // --check: the data checksums the printer reported, by kind ("KF", "1A2B")
    std::vector<std::pair<std::string, std::string>> checksums;
    DWORD dwDurationMs = 0;
    std::vector<std::string> messages;  // every message shown, with its error codes
    std::string strResultText;          // what happened and what to do; empty: the result's sentence
    std::vector<std::pair<std::string, unsigned long long>> sentFiles;  // files whose transfer began, and their sizes
};

// One line of JSON (no newline): result, result_name, exit_status, model, type_id,
// kind, port, firmware_before, firmware_after, rom_id_before, rom_id_after (the answer's
// bytes as upper-case hex, "07"), sent, retry_run, duration_ms, messages, result_text
// (CliResultText); a --check run adds would_send and checksums ({"KF":"1A2B"}: the data
// checksums the printer reported, for the kinds its model has and files are here for).
// Unknown texts are null.
std::string CliReportJson(const CliReport& report);

// The sentence for the end: the report's own, else the result's (ResultSentence).
std::string CliResultText(const CliReport& report);

// What a person reads at the end of a run: the files sent with their sizes, and the
// firmware before and after ("VER2007 (ROM 07)"), for a check the firmware it runs.
// Empty when nothing was sent or read.
std::string CliSummary(const CliReport& report);

// "result 1242 (ERROR_ALREADY_REGISTERED), exit status 2"
std::string CliResultLine(const CliReport& report);
