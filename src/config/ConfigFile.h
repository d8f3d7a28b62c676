#pragma once
// The configuration file "config.ini" in the working folder: the printer models this
// program may update, one line per model, filled into the model table at start-up.
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Types.h"

inline constexpr const char* CONFIG_FILE_NAME = "./config.ini";
inline constexpr std::size_t MODEL_TABLE_SIZE = 64;  // Type IDs 0x00..0x3F
inline constexpr std::size_t CONFIG_LINE_MAX = 1023;  // longer lines are cut

// Data kinds.
inline constexpr DWORD DK_FIRMWARE = 0x00001;    // M
inline constexpr DWORD DK_KANJI_FONT = 0x00010;  // K
inline constexpr DWORD DK_CODE_PAGE = 0x00100;   // H
inline constexpr DWORD DK_CPCL_FONT = 0x01000;   // C
inline constexpr DWORD DK_ZPL_FONT = 0x10000;    // Z
// Interfaces, by connection kind 0..3.
inline constexpr DWORD IF_USB = 0x1;
inline constexpr DWORD IF_BT = 0x2;
inline constexpr DWORD IF_TCP = 0x4;
inline constexpr DWORD IF_COM = 0x8;
inline constexpr DWORD IF_ALL = IF_USB | IF_BT | IF_TCP | IF_COM;
// Options.
inline constexpr DWORD OPT_NO_BOOT_DEVID = 0x01;
inline constexpr DWORD OPT_WIRELESS_LAN = 0x02;
inline constexpr DWORD OPT_REWRITE_AFTER_SEND = 0x04;
inline constexpr DWORD OPT_BT_SLEEP_BEFORE_CLOSE = 0x08;
inline constexpr DWORD OPT_ETHERNET_OR_WIRELESS_LAN = 0x10;

// Location codes of the configuration messages.
inline constexpr DWORD LOC_CONFIG_FIELD_MISSING = 0x120301;
inline constexpr DWORD LOC_CONFIG_ONLY_BARS = 0x120302;
inline constexpr DWORD LOC_CONFIG_BAD_PART = 0x120303;
inline constexpr DWORD LOC_CONFIG_TYPE_ID_TOO_BIG = 0x120304;
inline constexpr DWORD LOC_CONFIG_NAME_TOO_SHORT = 0x120305;
inline constexpr DWORD LOC_CONFIG_NAME_NOT_QUOTED = 0x120306;
inline constexpr DWORD LOC_CONFIG_EXTRA_FIELD = 0x120307;
inline constexpr DWORD LOC_CONFIG_BOTH_LAN_OPTIONS = 0x120308;
inline constexpr DWORD LOC_CONFIG_OPEN = 0x120601;
inline constexpr DWORD LOC_CONFIG_SIZE_TOO_BIG = 0x120602;
inline constexpr DWORD LOC_CONFIG_SIZE_ZERO = 0x120603;
inline constexpr DWORD LOC_CONFIG_NO_MEMORY = 0x120604;
inline constexpr DWORD LOC_CONFIG_READ = 0x120605;
inline constexpr DWORD LOC_CONFIG_READ_OVERFLOW = 0x120606;
inline constexpr DWORD LOC_CONFIG_READ_NO_DATA = 0x120607;

struct ModelEntry {
    std::string pszModelName;  // the bytes between the quotes, as in the file
    DWORD dwDataKinds = 0;
    DWORD dwInterfaces = 0;
    DWORD dwOptions = 0;
};

using ModelTableRows = std::array<ModelEntry, MODEL_TABLE_SIZE>;

// The process-wide model table, indexed by Type ID. Filled once at start-up on the main
// thread before any worker starts; read-only afterwards.
extern ModelTableRows ModelTable;

// Every row empty; row 0 offers every connection kind, so that before a firmware file
// names the model every kind can be chosen.
void ResetModelTable(ModelTableRows& table);

// Reads CONFIG_FILE_NAME whole (opened only for reading). Returns the size (above 0) with the bytes in *pContent, or -1 after the
// error has been shown and logged.
long long ReadConfigFile(std::vector<char>* pContent);

// Reads and parses the file into the table. Returns the number of lines that filled a
// row, or -1 after the error has been shown. A line is stored only when all of it is
// good; the caller must not use the table after -1.
int LoadConfigFile(ModelTableRows& table);

// Parses content already read (the same rules and messages as LoadConfigFile).
int ParseConfigText(std::string_view content, ModelTableRows& table);

// What the last loads found for a person to read beside their boxes (the line, the
// field and what it takes; lines an empty line hides; why the file did not open), each
// also logged; taken once. The Type ID field also takes the file names' two hexadecimal
// digits where one is a letter (1F), which no decimal number can be mistaken for.
std::vector<std::string> TakeConfigNotes();
// Adds one such note (and logs it): also for the update files beside config.ini.
void AddConfigNote(std::string note);

// The value of a symbol of the file (exact case), or nothing for other text.
std::optional<DWORD> LookupConfigSymbol(std::string_view text) noexcept;

// The next token of *pContext, which starts as the whole text and is advanced: leading
// separators are skipped, a run of separators counts as one, and white space is removed
// at both ends of the token (which may leave it empty). Nothing when the text is used up.
std::optional<std::string_view> NextConfigToken(std::string_view* pContext, std::string_view separators) noexcept;
