// The configuration parser on arbitrary file contents. A load either fails or fills at
// most one row per line, with a model name no longer than a line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "config/ConfigFile.h"
#include "QuietLog.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    static ModelTableRows table;
    ResetModelTable(table);
    std::string_view text(reinterpret_cast<const char*>(pData), cbData);
    int nRows = ParseConfigText(text, table);
    if (nRows < -1) std::abort();
    // One note at most per parse: the error's, or the lines an empty line hides.
    if (TakeConfigNotes().size() > 1) std::abort();
    if (nRows < 0) return 0;
    std::size_t cLines = 1;
    for (char ch : text) cLines += ch == '\n' || ch == '\r';
    if (static_cast<std::size_t>(nRows) > cLines) std::abort();
    for (const ModelEntry& row : table) {
        if (row.pszModelName.size() > CONFIG_LINE_MAX) std::abort();
    }
    return 0;
}
