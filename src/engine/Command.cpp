#include "engine/Command.h"

#include <algorithm>
#include <array>

#include "engine/Kelvo.h"

namespace {

// 32 zero bytes wake a printer that sits in the middle of a raster or a text line.
template <std::size_t N>
constexpr std::array<BYTE, 32 + N> WithWakeUp(const std::array<BYTE, N>& tail) {
    std::array<BYTE, 32 + N> out{};
    for (std::size_t i = 0; i < N; ++i) out[32 + i] = tail[i];
    return out;
}

constexpr std::array<BYTE, 3> kStdDeviceIdTail{0x1D, 0x49, 0x01};
constexpr auto kStdDeviceId = WithWakeUp(kStdDeviceIdTail);
constexpr std::array<BYTE, 3> kStdRomId{0x1D, 0x49, 0x03};
constexpr std::array<BYTE, 3> kStdFwVersion{0x1D, 0x49, 0x41};

// Extended set: 1F 4C 44 31, payload length 4 (little-endian), 49 44 54, function.
constexpr std::array<BYTE, 12> ExtendedCommand(BYTE bFunction) {
    return {0x1F, 0x4C, 0x44, 0x31, 0x04, 0x00, 0x00, 0x00, 0x49, 0x44, 0x54, bFunction};
}
constexpr auto kExtDeviceId = WithWakeUp(ExtendedCommand(0x01));
constexpr auto kExtRomId = ExtendedCommand(0x03);
constexpr auto kExtFwVersion = ExtendedCommand(0x41);

constexpr std::array<BYTE, 2> kPostUpdate{0x12, 0x40};

const CommandSet* g_pCurrentSet = &STANDARD_COMMANDS;

}  // namespace

const CommandSet STANDARD_COMMANDS{
    {"CMD_DEVICE_ID", kStdDeviceId},
    {"CMD_ROM_ID", kStdRomId},
    {"CMD_FW_VERSION", kStdFwVersion},
    {1, 0x0E},
    {7, 0x02},
};

const CommandSet EXTENDED_COMMANDS{
    {"CMD_DEVICE_ID", kExtDeviceId},
    {"CMD_ROM_ID", kExtRomId},
    {"CMD_FW_VERSION", kExtFwVersion},
    {1, 0x1E},
    {7, 0x12},
};

const PrinterCommand CMD_POST_UPDATE{"CMD_POST_UPDATE", kPostUpdate};
const ResponseFormat FONT_CHECKSUM_FORMAT{2, 0x0E};

void SelectCommandSet() noexcept {
    if (theApp.nTypeId == TYPE_ID_EXTENDED_COMMANDS) {
        g_pCurrentSet = &EXTENDED_COMMANDS;
        theApp.SetFlags(UF_EXT_COMMANDS);
    } else {
        g_pCurrentSet = &STANDARD_COMMANDS;
        theApp.ClearFlags(UF_EXT_COMMANDS);
    }
}

const CommandSet& CurrentCommandSet() noexcept { return *g_pCurrentSet; }

void BuildFontChecksumCommand(BYTE bLetter, BYTE (&command)[FONT_CHECKSUM_LEN]) noexcept {
    auto header = MakeDownloadHeader('F', static_cast<char>(bLetter));
    std::copy(header.begin(), header.end(), command);
}
