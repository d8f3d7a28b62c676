#pragma once
// kelvo-cli --init-config: a starting config.ini for one model and connection kind, so
// that a first update needs no hand-written file. Never written over an existing one.
#include <optional>
#include <string>
#include <string_view>

#include "cli/Options.h"
#include "platform/Types.h"

// A Type ID as a person writes it: 32, 0x20, or the file names' two hexadecimal digits
// when one is a letter (1F); 1 to 63. Nothing for anything else.
std::optional<int> ParseTypeIdWord(std::string_view text);

// The file's text: a comment that explains the fields, then the model's line; the data
// kinds are firmware plus the kinds of the update files in the folder for that Type ID.
std::string StartingConfigText(int nTypeId, int nKind);

// Writes ./config.ini (O_EXCL). Returns the exit status: 0 written, 1 with the reason in
// *pMessage (no --type-id or --kind, a bad Type ID, a file already there, an error).
int WriteStartingConfig(const CliOptions& options, std::string* pMessage);
