#pragma once
// Pure text of log entries: message lines and hex dumps. No I/O, no state.
#include <cstddef>
#include <string>

#include "platform/Time.h"
#include "platform/Types.h"

inline constexpr const char kLogHeader[] = "ZAQ firmware update log file\r\n";
inline constexpr std::size_t kLogHeaderSize = sizeof(kLogHeader) - 1;
// The largest message text, in characters; a longer one is not logged.
inline constexpr std::size_t kLogMaxMessageChars = 131071;

// One message line ending in exactly one CR LF.
std::string LogFormatLine(const LocalTime& lt, char chLevel, DWORD dwError, int nLine, const std::string& message);

// The dump title for a category ("Received (%s)", "Transmitted (%s)", "Dump data (%s)").
std::string LogDumpTitle(DWORD dwCategory, const char* pszText);

// A whole dump entry: header, column line, rows, continuation line, empty line.
std::string LogFormatDump(const LocalTime& lt, const std::string& title, const unsigned char* pData, std::size_t cbData,
                          std::size_t cbLimit);

// File names inside the folder.
std::string LogDatedName(const std::string& folder, const LocalTime& lt);
std::string LogRotatedName(const std::string& folder, const LocalTime& lt);
