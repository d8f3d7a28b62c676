#pragma once
// The checks of a status channel reply, apart from the socket that carries it: the
// 13-byte header, and how much of the data behind it is taken.
#include <cstddef>
#include <cstdint>

#include "platform/Types.h"

// Status channel commands and their request bytes.
enum OptMode : int { OPT_RESET = 0, OPT_GET_ASB = 1, OPT_REC_RAW = 2 };

inline constexpr std::size_t STATUS_HEADER_SIZE = 13;

struct StatusHeader {
    enum Check { Good, BadMagic, BadCommand } check = BadMagic;
    DWORD cbAnnounced = 0;      // the data length the printer announces
    std::uint16_t wCounter = 0;  // its receive buffer counter (OPT_REC_RAW)
};

// "ZAQ\0", then the command of the request at byte 6; length and counter little-endian.
StatusHeader ParseStatusHeader(const BYTE* pHeader, BYTE bCommand) noexcept;

struct StatusDataPlan {
    // Drop: the data is thrown away without a word; DropTooBig: logged first.
    enum Action { Take, Drop, DropTooBig } action = Drop;
    DWORD cbFirst = 0;  // the first receive: what waits, at most the buffer
};

// What to do with cbAvail waiting bytes (above 0) for a buffer of cbBuffer when the
// header announced cbAnnounced (above 0).
StatusDataPlan PlanStatusData(int nMode, DWORD cbAvail, DWORD cbBuffer, DWORD cbAnnounced) noexcept;
