#pragma once
// The simulated printer's own firmware image, and the update files made for tests and
// the demo.
//
// Image layout (24-byte header, little-endian numbers, then the payload):
//   0  4  "KVFW"
//   4  1  format version, 1
//   5  1  Type ID the image is for
//   6  1  ROM ID (firmware version) the printer reports once it runs the image
//   7  1  length of the version text (7, or 8 for ROM IDs from 0xF0)
//   8  4  payload length
//  12  8  version text, zero-padded
//  20  2  sum of the payload bytes, modulo 65536
//  22  2  00 00
#include <span>
#include <string>
#include <vector>

#include "platform/Types.h"

namespace sim {

inline constexpr std::size_t FW_HEADER_LEN = 24;
inline constexpr BYTE FW_FORMAT_VERSION = 1;

struct FirmwareHeader {
    BYTE bTypeId = 0;
    BYTE bRomId = 0;
    std::string szVersion;
    DWORD cbPayload = 0;
    WORD wPayloadSum = 0;
};

// FALSE when the 24 bytes are not a header of this format.
bool ParseFirmwareHeader(std::span<const BYTE> header, FirmwareHeader* pHeader);
std::vector<BYTE> BuildFirmwareImage(BYTE bTypeId, BYTE bRomId, const std::string& szVersion,
                                     std::span<const BYTE> payload);

// Deterministic filler bytes for test payloads.
std::vector<BYTE> FillerBytes(DWORD cb, DWORD dwSeed);

// An update file: its kind ("FW", "CG", "CF", "EE", "KF", "ZF", "YF"), Type ID and,
// for FW, ROM ID; the name follows the update files' naming: prefix, Type ID in two hex
// digits, for FW the version in two hex digits, then a free tail ending in ".bin".
struct UpdateFileRequest {
    std::string szKind = "FW";
    BYTE bTypeId = 0x1F;
    BYTE bRomId = 0x05;
    std::string szVersion;  // FW: empty gives the default version text
    DWORD cbSize = 4096;    // FW: payload bytes; data kinds: file bytes
    DWORD dwSeed = 1;
    std::string szTail = "SIM.bin";
    std::string szDir = ".";
};

struct MadeFile {
    std::string szPath;
    DWORD cbFile = 0;
    WORD wChecksum = 0;  // what the printer reports once it holds the data (data kinds)
};

std::string UpdateFileName(const UpdateFileRequest& request);
// Writes the file. FALSE with the last error (ERROR_INVALID_PARAMETER for a bad kind).
BOOL MakeUpdateFile(const UpdateFileRequest& request, MadeFile* pMade);

}  // namespace sim
