#include "sim/FirmwareImage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"
#include "sim/Contract.h"
#include "sim/Sim.h"

namespace sim {
namespace {

DWORD Le32(const BYTE* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24); }

bool IsPrintable(const std::string& s) {
    for (char c : s)
        if (static_cast<BYTE>(c) < 0x20 || static_cast<BYTE>(c) > 0x7F) return false;
    return true;
}

BOOL WriteAll(const std::string& path, const std::vector<BYTE>& bytes) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return SetLastErrorFromErrno(errno);
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd.Get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return SetLastErrorFromErrno(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    return TRUE;
}

}  // namespace

bool ParseFirmwareHeader(std::span<const BYTE> h, FirmwareHeader* pHeader) {
    if (h.size() < FW_HEADER_LEN) return false;
    if (std::memcmp(h.data(), "KVFW", 4) != 0 || h[4] != FW_FORMAT_VERSION) return false;
    BYTE cchVersion = h[7];
    if (cchVersion > 8) return false;
    FirmwareHeader fh;
    fh.bTypeId = h[5];
    fh.bRomId = h[6];
    fh.szVersion.assign(reinterpret_cast<const char*>(&h[12]), cchVersion);
    fh.cbPayload = Le32(&h[8]);
    fh.wPayloadSum = static_cast<WORD>(h[20] | (h[21] << 8));
    if (!IsPrintable(fh.szVersion)) return false;
    *pHeader = fh;
    return true;
}

std::vector<BYTE> BuildFirmwareImage(BYTE bTypeId, BYTE bRomId, const std::string& szVersion,
                                     std::span<const BYTE> payload) {
    std::vector<BYTE> img(FW_HEADER_LEN, 0);
    std::memcpy(img.data(), "KVFW", 4);
    img[4] = FW_FORMAT_VERSION;
    img[5] = bTypeId;
    img[6] = bRomId;
    std::size_t cch = std::min<std::size_t>(szVersion.size(), 8);
    img[7] = static_cast<BYTE>(cch);
    DWORD cb = static_cast<DWORD>(payload.size());
    for (int i = 0; i < 4; ++i) img[8 + i] = static_cast<BYTE>(cb >> (8 * i));
    std::memcpy(&img[12], szVersion.data(), cch);
    WORD sum = Sum16(payload);
    img[20] = static_cast<BYTE>(sum & 0xFF);
    img[21] = static_cast<BYTE>(sum >> 8);
    img.insert(img.end(), payload.begin(), payload.end());
    return img;
}

std::vector<BYTE> FillerBytes(DWORD cb, DWORD dwSeed) {
    std::vector<BYTE> v(cb);
    DWORD x = dwSeed * 2654435761u + 12345u;
    for (BYTE& b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<BYTE>(x >> 11);
    }
    return v;
}

std::string UpdateFileName(const UpdateFileRequest& request) {
    if (request.szKind == "FW") return StrPrintf("FW%02X%02X%s", request.bTypeId, request.bRomId, request.szTail.c_str());
    return StrPrintf("%s%02X%s", request.szKind.c_str(), request.bTypeId, request.szTail.c_str());
}

BOOL MakeUpdateFile(const UpdateFileRequest& request, MadeFile* pMade) {
    static const char* const kKinds[] = {"FW", "CG", "CF", "EE", "KF", "ZF", "YF"};
    bool bKnown = false;
    for (const char* k : kKinds) bKnown = bKnown || request.szKind == k;
    std::string name = UpdateFileName(request);
    // The update files' loader refuses names below 11 characters.
    if (!bKnown || name.size() < 11 || name.find('/') != std::string::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<BYTE> payload = FillerBytes(request.cbSize, request.dwSeed);
    std::vector<BYTE> bytes;
    WORD wChecksum = 0;
    if (request.szKind == "FW") {
        std::string ver = request.szVersion.empty() ? DefaultVersionText(request.bTypeId, request.bRomId) : request.szVersion;
        if (ver.size() > 8 || !IsPrintable(ver)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        bytes = BuildFirmwareImage(request.bTypeId, request.bRomId, ver, payload);
        wChecksum = Sum16(bytes);
    } else {
        bytes = std::move(payload);
        DWORD cbSkip = request.szKind == "CF" ? 20 : 0;
        if (bytes.size() > cbSkip) wChecksum = Sum16(std::span<const BYTE>(bytes).subspan(cbSkip));
    }
    std::string path = (request.szDir.empty() ? std::string(".") : request.szDir) + "/" + name;
    if (!WriteAll(path, bytes)) return FALSE;
    if (pMade) {
        pMade->szPath = path;
        pMade->cbFile = static_cast<DWORD>(bytes.size());
        pMade->wChecksum = wChecksum;
    }
    return TRUE;
}

}  // namespace sim
