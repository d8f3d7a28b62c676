#include "engine/UpdateFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>

#include "config/ConfigFile.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/PlainFile.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"
#include "ui/Util.h"

namespace {

struct FileKind {
    const char* pszPrefix;
    bool bVersion;  // the name carries the version in characters 4-5
    char chHeader1;  // download header letters; 0: held as stored
    char chHeader2;
};

constexpr FileKind kKinds[] = {
    {"FW", true, 0, 0},      {"CG", false, 0, 0},     {"CF", false, 'K', 'C'}, {"EE", false, 0, 0},
    {"KF", false, 'K', 'K'}, {"ZF", false, 'K', 'Z'}, {"YF", false, 'K', 'Y'},
};

const FileKind* FindKind(std::string_view name) noexcept {
    for (const FileKind& kind : kKinds) {
        if (name.substr(0, 2) == kind.pszPrefix) return &kind;
    }
    return nullptr;
}

struct ListedName {
    std::string name;
    bool bDirectory;
};

std::string_view BaseName(std::string_view path) noexcept {
    std::size_t nSlash = path.find_last_of('/');
    return nSlash == std::string_view::npos ? path : path.substr(nSlash + 1);
}

// Reads the whole file into pBuffer; a file that ends early is a failed read, never a
// buffer used as if it were complete.
DWORD ReadWhole(int fd, BYTE* pBuffer, std::size_t cbFile) {
    std::size_t cbDone = 0;
    while (cbDone < cbFile) {
        ssize_t cbGot = ::read(fd, pBuffer + cbDone, cbFile - cbDone);
        if (cbGot < 0 && errno == EINTR) continue;
        if (cbGot < 0) return ErrnoToWinError(errno);
        if (cbGot == 0) return ERROR_HANDLE_EOF;
        cbDone += static_cast<std::size_t>(cbGot);
    }
    return ERROR_SUCCESS;
}

WORD SumBytes(const BYTE* pData, std::size_t cbData) noexcept {
    unsigned nSum = 0;
    for (std::size_t i = 0; i < cbData; ++i) nSum += pData[i];
    return static_cast<WORD>(nSum);
}

// Logs and notes why a file of the folder was not read (a link, a FIFO, as root another
// user's file); nothing of it is read, so nothing of it is quoted.
void SayRefused(const std::string& path, const PlainFile& file) {
    LogMessage(LOG_WARNING, 'W', __LINE__, ErrnoToWinError(file.nErrno), "Not read [%s]: %s", path.c_str(),
               file.strWhyNot.c_str());
    AddConfigNote(RefusalSentence(std::string(BaseName(path)), file));
}

// Loads one listed name. Returns ERROR_SUCCESS, or the error; *pbEndCall tells whether
// the error ends the whole call (all but a failed read do).
DWORD LoadOneFile(const std::string& path, UpdateTable& table, DWORD cbSkip, BYTE* pbTypeId, bool* pbEndCall) {
    *pbEndCall = true;
    UpdateFileKey name;
    if (DWORD dwError = ParseUpdateFileName(path, &name); dwError != ERROR_SUCCESS) return dwError;

    PlainFile file = OpenPlainFile(path.c_str());
    if (!file.fd) {
        if (!file.strWhyNot.empty()) SayRefused(path, file);
        return file.nErrno == EISDIR ? ERROR_ACCESS_DENIED : ErrnoToWinError(file.nErrno);
    }
    const UniqueFd& fd = file.fd;
    const struct stat& st = file.info;
    unsigned long long cbFile = static_cast<unsigned long long>(st.st_size);
    if (cbFile == 0 || (cbFile >> 32) != 0) return ERROR_BAD_LENGTH;
    ::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    std::unique_ptr<BYTE[]> pData(new (std::nothrow) BYTE[cbFile + DOWNLOAD_HEADER_SIZE]());
    if (!pData) return ERROR_NOT_ENOUGH_MEMORY;
    std::size_t cbHeader = name.chHeader1 != 0 ? DOWNLOAD_HEADER_SIZE : 0;
    if (DWORD dwError = ReadWhole(fd.Get(), pData.get() + cbHeader, cbFile); dwError != ERROR_SUCCESS) {
        *pbEndCall = false;
        return dwError;
    }
    StoreUpdateFile(table, name, std::move(pData), static_cast<DWORD>(cbFile), cbSkip, BaseName(path));
    if (pbTypeId != nullptr) *pbTypeId = name.bTypeId;
    return ERROR_SUCCESS;
}

}  // namespace

DWORD ParseUpdateFileName(std::string_view path, UpdateFileKey* pName) noexcept {
    if (path.empty()) return ERROR_FILE_NOT_FOUND;
    if (Utf8Length(path) < UPDATE_NAME_MIN) return ERROR_BAD_FILE_TYPE;
    std::string_view name = BaseName(path);
    const FileKind* pKind = name.size() >= 4 ? FindKind(name) : nullptr;
    if (pKind == nullptr) return ERROR_BAD_FILE_TYPE;
    BYTE bTypeId = HexPairValue(name[2], name[3]);
    // Two hex digits reach 0xFF but the tables end at 0x3F.
    if (bTypeId >= UPDATE_TABLE_SIZE) return ERROR_BAD_FILE_TYPE;
    pName->bTypeId = bTypeId;
    pName->bVersion = (pKind->bVersion && name.size() >= 6) ? HexPairValue(name[4], name[5]) : 0;
    pName->chHeader1 = pKind->chHeader1;
    pName->chHeader2 = pKind->chHeader2;
    return ERROR_SUCCESS;
}

void StoreUpdateFile(UpdateTable& table, const UpdateFileKey& name, std::unique_ptr<BYTE[]> pData, DWORD cbFile,
                     DWORD cbSkip, std::string_view fileName) {
    UpdateDataEntry& entry = table[name.bTypeId];
    if (entry.bLoaded && entry.bVersion > name.bVersion) return;
    std::size_t cbHeader = 0;
    if (name.chHeader1 != 0) {
        auto header = MakeDownloadHeader(name.chHeader1, name.chHeader2);
        std::memcpy(pData.get(), header.data(), header.size());
        cbHeader = DOWNLOAD_HEADER_SIZE;
    }
    entry.Clear();
    entry.cbData = static_cast<DWORD>(cbFile + cbHeader);
    entry.bTypeId = name.bTypeId;
    entry.bVersion = name.bVersion;
    if (name.bTypeId == TYPE_ID_FIRST_BLOCK) {
        entry.cbFirstBlock[2] = FIRST_BLOCK_LAN_SIZE;
        entry.dwFirstBlockWait[2] = FIRST_BLOCK_LAN_WAIT;
    }
    const BYTE* pFile = pData.get() + cbHeader;
    entry.wChecksum = cbFile > cbSkip ? SumBytes(pFile + cbSkip, cbFile - cbSkip) : 0;
    entry.pData = std::move(pData);
    entry.strFileName = fileName;
    entry.bLoaded = TRUE;
}

void UpdateTables::Clear() noexcept {
    for (UpdateTable* pTable : {&FW, &CG, &CF, &EE, &KF, &ZF, &YF}) {
        for (UpdateDataEntry& entry : *pTable) entry.Clear();
    }
}

BYTE HexPairValue(char chHigh, char chLow) noexcept {
    auto digit = [](char ch) -> BYTE {
        if (ch >= '0' && ch <= '9') return static_cast<BYTE>(ch - '0');
        if (ch >= 'A' && ch <= 'F') return static_cast<BYTE>(ch - 'A' + 10);
        if (ch >= 'a' && ch <= 'f') return static_cast<BYTE>(ch - 'a' + 10);
        return 0;
    };
    return static_cast<BYTE>((digit(chHigh) << 4) | digit(chLow));
}

std::array<BYTE, DOWNLOAD_HEADER_SIZE> MakeDownloadHeader(char chFirst, char chSecond) noexcept {
    std::array<BYTE, DOWNLOAD_HEADER_SIZE> header{};
    header[0] = 0x11;
    header[1] = 0x40;
    for (std::size_t i = 0; i < 4; ++i) {
        header[2 + 4 * i] = 0xAA;
        header[3 + 4 * i] = 0x55;
        header[4 + 4 * i] = 0x00;
        header[5 + 4 * i] = 0xFF;
    }
    header[18] = static_cast<BYTE>(chFirst);
    header[19] = static_cast<BYTE>(chSecond);
    return header;
}

std::vector<std::string> ListUpdateFiles(const char* pszPattern) {
    std::vector<ListedName> found;
    DIR* pDir = ::opendir(".");
    if (pDir == nullptr) return {};
    while (dirent* pEntry = ::readdir(pDir)) {
        if (std::strcmp(pEntry->d_name, ".") == 0 || std::strcmp(pEntry->d_name, "..") == 0) continue;
        if (::fnmatch(pszPattern, pEntry->d_name, FNM_CASEFOLD) != 0) continue;
        struct stat st {};
        bool bDirectory = ::fstatat(::dirfd(pDir), pEntry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        found.push_back({pEntry->d_name, bDirectory});
    }
    ::closedir(pDir);

    std::sort(found.begin(), found.end(), [](const ListedName& a, const ListedName& b) { return a.name < b.name; });
    if (found.size() > UPDATE_LIST_MAX) found.resize(UPDATE_LIST_MAX);
    std::vector<std::string> names;
    names.reserve(found.size());
    for (ListedName& f : found) names.push_back(f.bDirectory ? std::string() : std::move(f.name));
    return names;
}

DWORD LoadUpdateFiles(const char* pszName, UpdateTable* pTable, DWORD cbSkip, BYTE* pbTypeId) {
    if (pTable == nullptr || pszName == nullptr || pszName[0] == '\0') return ERROR_INVALID_PARAMETER;

    std::vector<std::string> names;
    if (std::strchr(pszName + 1, '*') != nullptr) {
        names = ListUpdateFiles(pszName);
        if (names.empty()) return ERROR_FILE_NOT_FOUND;
        // A name of another prefix (the listing ignores case) refuses the whole pattern;
        // a directory's empty name stops the loading at its own place below.
        std::string_view prefix = std::string_view(pszName).substr(0, 2);
        for (const std::string& name : names) {
            if (!name.empty() && std::string_view(name).substr(0, 2) != prefix) return ERROR_FILE_NOT_FOUND;
        }
    } else {
        names.emplace_back(pszName);
    }

    DWORD dwResult = ERROR_SUCCESS;
    for (const std::string& name : names) {
        bool bEndCall = true;
        DWORD dwError = LoadOneFile(name, *pTable, cbSkip, pbTypeId, &bEndCall);
        if (dwError == ERROR_SUCCESS) continue;
        dwResult = dwError;
        if (bEndCall) break;
    }
    return dwResult;
}

BOOL LoadFirmwareFile(UpdateTables& tables, int* pnTypeId) {
    bool bLoadedOne = *pnTypeId != 0;
    for (const std::string& name : ListUpdateFiles("FW*.bin")) {
        if (BaseName(name).substr(0, 2) != "FW") {
            ShowError(LOC_FW_BAD_PREFIX, APP_ERROR_FLAG | ERROR_INVALID_NAME,
                      "Bad firmware update file!!\n[%s]\n\nThe file name chooses the one that starts from \"FW\".",
                      name.c_str());
            continue;
        }
        BYTE bTypeId = 0;
        DWORD dwResult = LoadUpdateFiles(name.c_str(), &tables.FW, 0, &bTypeId);
        if (dwResult != ERROR_SUCCESS) {
            ShowError(LOC_FW_READ, dwResult | APP_ERROR_FLAG, "Failed to read firmware update file!!\n[%s]\n", name.c_str());
            return FALSE;
        }
        // Counted by files, not by a non-zero Type ID, so that a second file is caught
        // after one for Type ID 0 as well.
        if (bLoadedOne) {
            ShowError(LOC_FW_TWO_FILES, APP_ERROR_FLAG | ERROR_INVALID_DATA,
                      "Two or more firmware update file is specified.\n[%s]\n", name.c_str());
            return FALSE;
        }
        *pnTypeId = bTypeId;
        bLoadedOne = true;
    }
    return TRUE;
}

BOOL LoadDataFiles(UpdateTables& tables) {
    struct DataKind {
        const char* pszPattern;
        UpdateTable UpdateTables::*pTable;
        DWORD cbSkip;
        const char* pszError;
        DWORD dwLocation;
    };
    static constexpr DataKind kData[] = {
        {"CG*.bin", &UpdateTables::CG, 0, "Invalid CG font data file!!", LOC_CG_FILE},
        {"CF*.bin", &UpdateTables::CF, DOWNLOAD_HEADER_SIZE, "Invalid codepage data.", LOC_CF_FILE},
        {"EE*.bin", &UpdateTables::EE, 0, "Invalid cutter flag command data!!", LOC_EE_FILE},
        {"KF*.bin", &UpdateTables::KF, 0, "Invalid Kanji font data file!!", LOC_KF_FILE},
        {"ZF*.bin", &UpdateTables::ZF, 0, "Invalid CPCL font data file!!", LOC_ZF_FILE},
        {"YF*.bin", &UpdateTables::YF, 0, "Invalid ZPL font data file!!", LOC_YF_FILE},
    };
    for (const DataKind& kind : kData) {
        DWORD dwResult = LoadUpdateFiles(kind.pszPattern, &(tables.*kind.pTable), kind.cbSkip, nullptr);
        if (dwResult == ERROR_SUCCESS || dwResult == ERROR_FILE_NOT_FOUND) continue;
        ShowError(kind.dwLocation, dwResult | APP_ERROR_FLAG, "%s", kind.pszError);
        return FALSE;
    }
    return TRUE;
}
