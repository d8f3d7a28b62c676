// Update file names and the rows they make: the input is a name, a NUL and the file's
// bytes. A name the parser takes stores a row whose header, size and checksum match
// the kind and the bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "engine/UpdateFiles.h"
#include "platform/WinError.h"
#include "QuietLog.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData) {
    const void* pNul = std::memchr(pData, 0, cbData);
    if (pNul == nullptr) return 0;
    std::size_t cbName = static_cast<const std::uint8_t*>(pNul) - pData;
    std::string_view path(reinterpret_cast<const char*>(pData), cbName);
    const std::uint8_t* pFile = pData + cbName + 1;
    DWORD cbFile = static_cast<DWORD>(cbData - cbName - 1);

    UpdateFileKey name;
    DWORD dwResult = ParseUpdateFileName(path, &name);
    if (dwResult != ERROR_SUCCESS) {
        if (dwResult != ERROR_FILE_NOT_FOUND && dwResult != ERROR_BAD_FILE_TYPE) std::abort();
        return 0;
    }
    if (name.bTypeId >= UPDATE_TABLE_SIZE) std::abort();
    if (cbFile == 0) return 0;

    static UpdateTable table;
    table[name.bTypeId].Clear();
    std::size_t cbHeader = name.chHeader1 != 0 ? DOWNLOAD_HEADER_SIZE : 0;
    std::unique_ptr<BYTE[]> pBytes(new BYTE[DOWNLOAD_HEADER_SIZE + cbFile]());
    std::memcpy(pBytes.get() + cbHeader, pFile, cbFile);
    DWORD cbSkip = cbHeader != 0 ? static_cast<DWORD>(DOWNLOAD_HEADER_SIZE) : 0;
    StoreUpdateFile(table, name, std::move(pBytes), cbFile, cbSkip);

    const UpdateDataEntry& entry = table[name.bTypeId];
    if (!entry.bLoaded || entry.cbData != cbFile + cbHeader || entry.bTypeId != name.bTypeId) std::abort();
    if (cbHeader != 0) {
        auto header = MakeDownloadHeader(name.chHeader1, name.chHeader2);
        if (std::memcmp(entry.pData.get(), header.data(), header.size()) != 0) std::abort();
    }
    if (std::memcmp(entry.pData.get() + cbHeader, pFile, cbFile) != 0) std::abort();
    unsigned nSum = 0;
    for (DWORD i = cbSkip; i < cbFile; ++i) nSum += pFile[i];
    if (entry.wChecksum != static_cast<WORD>(nSum)) std::abort();
    return 0;
}
