#pragma once
// The update data files beside the program (firmware, fonts, code pages, cutter data):
// found by the prefix of their names, read whole into memory with their checksums and
// kept in one table per kind, indexed by Type ID. Update runs only read the tables.
#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Types.h"

inline constexpr std::size_t UPDATE_TABLE_SIZE = 64;    // Type IDs 0x00..0x3F
inline constexpr std::size_t UPDATE_LIST_MAX = 64;      // names one listing gives
inline constexpr std::size_t UPDATE_NAME_MIN = 11;      // shortest usable file name
inline constexpr std::size_t DOWNLOAD_HEADER_SIZE = 20;
inline constexpr std::size_t PORT_KIND_COUNT = 4;       // USB, Bluetooth, LAN, serial
inline constexpr BYTE TYPE_ID_FIRST_BLOCK = 0x1F;       // the model that needs a first block over LAN
inline constexpr DWORD FIRST_BLOCK_LAN_SIZE = 20;
inline constexpr DWORD FIRST_BLOCK_LAN_WAIT = 15000;    // ms after the first block

// Location codes of the update-file messages.
inline constexpr DWORD LOC_FW_BAD_PREFIX = 0x090101;
inline constexpr DWORD LOC_FW_READ = 0x090102;
inline constexpr DWORD LOC_FW_TWO_FILES = 0x090104;
inline constexpr DWORD LOC_CG_FILE = 0x090201;
inline constexpr DWORD LOC_CF_FILE = 0x090202;
inline constexpr DWORD LOC_EE_FILE = 0x090203;
inline constexpr DWORD LOC_KF_FILE = 0x090204;
inline constexpr DWORD LOC_ZF_FILE = 0x090205;
inline constexpr DWORD LOC_YF_FILE = 0x090206;

// One loaded file.
struct UpdateDataEntry {
    std::unique_ptr<BYTE[]> pData;  // download header (CF, KF, ZF, YF) and then the file
    DWORD cbData = 0;               // file size, plus the header when there is one
    BYTE bTypeId = 0;
    BYTE bVersion = 0;              // firmware: the ROM ID from the name; 0 otherwise
    WORD wChecksum = 0;             // sum of the file's bytes (header never counted)
    BOOL bLoaded = FALSE;
    std::string strFileName;        // the file's name without its folder, for people
    DWORD cbFirstBlock[PORT_KIND_COUNT] = {};      // 0: no special first block
    DWORD dwFirstBlockWait[PORT_KIND_COUNT] = {};  // ms after the first block

    void Clear() noexcept { *this = UpdateDataEntry{}; }
};

using UpdateTable = std::array<UpdateDataEntry, UPDATE_TABLE_SIZE>;

// The seven tables. Filled by the initialisation step before any run; read-only after.
struct UpdateTables {
    UpdateTable FW;  // firmware
    UpdateTable CG;  // CG font (loaded and checked only)
    UpdateTable CF;  // code page data
    UpdateTable EE;  // cutter flag command data (loaded and checked only)
    UpdateTable KF;  // Kanji font
    UpdateTable ZF;  // CPCL font
    UpdateTable YF;  // ZPL font

    // Frees every buffer and clears every row.
    void Clear() noexcept;
};

// Two characters as one byte, the first the high digit: 0-9, A-F and a-f count, any
// other character counts 0 but keeps its place ("G1" is 0x01, "1G" is 0x10).
BYTE HexPairValue(char chHigh, char chLow) noexcept;

// The 20-byte header put in front of a code page or font: 11 40, AA 55 00 FF four
// times, then the kind's two letters.
std::array<BYTE, DOWNLOAD_HEADER_SIZE> MakeDownloadHeader(char chFirst, char chSecond) noexcept;

// What a file's name tells: the Type ID in characters 3-4, the firmware's version in 5-6,
// and the letters of the download header its kind gets (0: none).
struct UpdateFileKey {
    BYTE bTypeId = 0;
    BYTE bVersion = 0;
    char chHeader1 = 0;
    char chHeader2 = 0;
};

// Reads the name (the last part of path). Returns 0, 2 for an empty path, or 222 for a
// path shorter than 11 characters, an unknown prefix or a Type ID of 0x40 or more.
DWORD ParseUpdateFileName(std::string_view path, UpdateFileKey* pName) noexcept;

// Puts a file into its row unless the row holds a higher version. pData holds
// DOWNLOAD_HEADER_SIZE + cbFile bytes, the file behind the header's room when the kind
// has a header, else at the start; cbSkip leading bytes of the file are not summed.
// fileName is kept as the entry's name for people.
void StoreUpdateFile(UpdateTable& table, const UpdateFileKey& name, std::unique_ptr<BYTE[]> pData, DWORD cbFile,
                     DWORD cbSkip, std::string_view fileName = {});

// Up to UPDATE_LIST_MAX names in the working folder that match the pattern ('*' and
// '?', letters in any case), in ascending byte order of the names, so the result does
// not depend on the file system. A directory keeps its place but its name is empty.
std::vector<std::string> ListUpdateFiles(const char* pszPattern);

// Loads one file, or every file matching a pattern ('*' after the first character), into
// the table. cbSkip leading bytes of each file are left out of its checksum; *pbTypeId
// (when given) receives the Type ID of the last file stored or kept. Returns 0, or:
// 87 no table or name; 2 nothing matches, a listed name has another prefix, or a
// directory is reached; 222 a name shorter than 11 characters, an unknown prefix or a
// Type ID of 0x40 or more; 24 an empty file or one of 4 GiB or more; a system error when
// a file cannot be opened, read whole, or its buffer allocated. A read failure lets the
// later names load but stays the result. A file of a lower version than the one in its
// row is not stored; of equal versions the later one replaces the earlier.
DWORD LoadUpdateFiles(const char* pszName, UpdateTable* pTable, DWORD cbSkip, BYTE* pbTypeId);

// Loads "FW*.bin" into tables.FW and sets *pnTypeId from it. More than one firmware
// file, or one that cannot be loaded, shows its error and gives FALSE; none at all is
// TRUE with *pnTypeId unchanged (0: the run updates only data).
BOOL LoadFirmwareFile(UpdateTables& tables, int* pnTypeId);

// Loads the six data kinds in order (CG, CF, EE, KF, ZF, YF); a kind without files is
// fine. The first kind that fails shows its error, and FALSE comes back at once.
BOOL LoadDataFiles(UpdateTables& tables);
