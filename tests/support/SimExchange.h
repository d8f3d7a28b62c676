#pragma once
// Talking to a simulated printer: the standard DEVICE ID command, its answer for the
// simulator's default Type ID 0x1F, an answer read through the port service, and where
// in the transcript a wait starts.
#include <vector>

#include "port/Globals.h"
#include "sim/Sim.h"

// DEVICE ID of the standard command set: 32 NULs, 1D 49 01. The printer logs the bytes
// it ignored before it once the command arrives.
inline std::vector<BYTE> DeviceIdCommand() {
    std::vector<BYTE> cmd(35, 0x00);
    cmd[32] = 0x1D;
    cmd[33] = 0x49;
    cmd[34] = 0x01;
    return cmd;
}

inline const std::vector<BYTE> kDeviceIdAnswer = {0x0E, 0xEF, 0xF1, 0x00};

// Reads through the port service until bytes come or about three seconds pass; empty
// when a read fails.
inline std::vector<BYTE> ReadAnswer(HSDK h) {
    BYTE buf[256];
    DWORD cb = 0;
    for (int i = 0; i < 30 && cb == 0; ++i) {
        if (!pfnReadPortEx(h, buf, sizeof buf, &cb, 100)) return {};
    }
    return std::vector<BYTE>(buf, buf + cb);
}

// The sequence number the printer's next transcript entry gets: a wait from here sees
// only what happens after this call.
inline unsigned long long NextSeq(const sim::Printer& printer) {
    auto t = printer.Transcript();
    return t.empty() ? 0 : t.back().nSeq + 1;
}
