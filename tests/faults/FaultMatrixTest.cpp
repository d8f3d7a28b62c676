// The fault matrix's quick cases: every fault of the printer in every phase where it can
// strike, on every transport, with the simulator's short timings.
#include "FaultMatrix.h"

namespace {

using Boxes = std::vector<std::string>;

std::string Succeeded() {
    return StrPrintf(LoadResString(IDS_FW_UPDATE_SUCCEEDED_VERSION).c_str(),
                     sim::DefaultVersionText(FaultMatrix::kTypeId, 0x07).c_str());
}

// A firmware update of 24,000 bytes from ROM 05 to 07.
void Firmware(FaultMatrix& m, sim::Config&) { m.AddFile("FW", 0x07, 24000); }

// A Kanji font the printer lacks; its firmware is current.
void KanjiFont(FaultMatrix& m, sim::Config& config) {
    m.SetModel(FaultMatrix::kTypeId, DK_FIRMWARE | DK_KANJI_FONT, 0);
    sim::MadeFile kf = m.AddFile("KF", 0, 40000, 2);
    config.state.wChecksum[sim::KIND_KANJI] = static_cast<WORD>(kf.wChecksum + 1);
}

// A drop on USB is the printer leaving the bus: the next write meets the vanished node
// (ERROR_DEVICE_NOT_CONNECTED). A serial line has nothing to cut: the bytes on their way
// are lost without the host knowing, and the check after the transfer finds it.
std::vector<TransportOutcome> DropOtherwise(DWORD dwSerialLocation, DWORD dwSerialShown) {
    return {EndsOn("usb", ERROR_DEVICE_NOT_CONNECTED, 1,
                   [] { return Boxes{ErrorBox(IDS_FW_UPDATE_FAILED, 0x040501, ERROR_DEVICE_NOT_CONNECTED)}; }),
            EndsOn("serial", ERROR_INVALID_DATA, 1, [=] {
                return Boxes{ErrorBox(IDS_FW_UPDATE_FAILED, dwSerialLocation, dwSerialShown)};
            })};
}

const FaultCase kQuickCases[] = {
    // ---- identification ----
    {"silent", "identification",
     [](FaultMatrix& m, sim::Config& c) {
         Firmware(m, c);
         c.faults.bSilent = true;
     },
     ERROR_CAN_NOT_COMPLETE, 1, [] { return Boxes{ErrorBox(IDS_CONNECT_FAILED, 0x040303, ERROR_CAN_NOT_COMPLETE)}; }},
    {"garbage", "identification",
     [](FaultMatrix& m, sim::Config& c) {
         Firmware(m, c);
         c.faults.bGarbage = true;
     },
     ERROR_CAN_NOT_COMPLETE, 1, [] { return Boxes{ErrorBox(IDS_CONNECT_FAILED, 0x040303, ERROR_CAN_NOT_COMPLETE)}; }},
    {"refused", "identification",
     [](FaultMatrix& m, sim::Config& c) {
         Firmware(m, c);
         c.faults.bRefuse = true;
     },
     WSAECONNREFUSED, 1, [] { return Boxes{ErrorBox(IDS_CONNECT_FAILED, 0x040303, WSAECONNREFUSED)}; }, nullptr,
     nullptr,
     // A USB node or a serial line has no connection to refuse.
     {NotOn("usb"), NotOn("serial")}},
    {"busy", "identification",
     [](FaultMatrix& m, sim::Config& c) {
         Firmware(m, c);
         c.faults.dwBusyMs = 2000;
     },
     ERROR_SUCCESS, 0, [] { return Boxes{Succeeded()}; }},
    {"boot_mode_no_boot_devid", "identification",
     [](FaultMatrix& m, sim::Config& c) {
         m.SetModel(FaultMatrix::kTypeId, DK_FIRMWARE, OPT_NO_BOOT_DEVID);
         Firmware(m, c);
         c.state.bBootMode = true;
         c.state.bRomId = 0xF3;
     },
     ERROR_SUCCESS, 0, [] { return Boxes{Succeeded()}; }},
    {"boot_mode", "identification",
     [](FaultMatrix& m, sim::Config& c) {
         Firmware(m, c);
         c.state.bBootMode = true;
         c.state.bRomId = 0xF3;
     },
     // Without the model's NO_BOOT_DEVID a printer that never gives its DEVICE ID is no printer.
     ERROR_CAN_NOT_COMPLETE, 1, [] { return Boxes{ErrorBox(IDS_CONNECT_FAILED, 0x040303, ERROR_CAN_NOT_COMPLETE)}; }},
    {"cancel", "identification",
     [](FaultMatrix& m, sim::Config& c) {
         Firmware(m, c);
         c.faults.bSilent = true;
     },
     ERROR_CANCELLED, 3, [] { return Boxes{}; }, "command"},
    // ---- firmware transfer ----
    {"drop", "firmware",
     [](FaultMatrix& m, sim::Config& c) {
         m.AddFile("FW", 0x07, 512 * 1024);
         c.faults.cbDropAfter = 8192;
         m.Box().QueueAnswer(IDCANCEL);
     },
     ERROR_WRITE_FAULT, 1, [] { return Boxes{ErrorBox(IDS_FW_UPDATE_FAILED, 0x040501, ERROR_WRITE_FAULT)}; }, nullptr,
     nullptr, DropOtherwise(0x040703, 0x2000000D)},
    {"slow_reader", "firmware",
     [](FaultMatrix& m, sim::Config& c) {
         Firmware(m, c);
         c.faults.dwReadRate = 3000;
     },
     ERROR_SUCCESS, 0, [] { return Boxes{Succeeded()}; }},
    {"cancel", "firmware",
     [](FaultMatrix& m, sim::Config& c) {
         m.AddFile("FW", 0x07, 400000);
         c.faults.dwReadRate = 100000;
     },
     ERROR_CANCELLED, 3, [] { return Boxes{}; }, "transfer_begin"},
    // ---- verification ----
    {"wrong_rom_id", "verification",
     [](FaultMatrix& m, sim::Config& c) {
         Firmware(m, c);
         c.faults.nWrongRomId = 0x06;
     },
     ERROR_INVALID_DATA, 1, [] { return Boxes{ErrorBox(IDS_FW_UPDATE_FAILED, 0x040703, 0x2000000D)}; }},
    // ---- data update ----
    {"drop", "data",
     [](FaultMatrix& m, sim::Config& c) {
         KanjiFont(m, c);
         c.faults.cbDropAfter = 8192;
         m.Box().QueueAnswer(IDCANCEL);
     },
     ERROR_WRITE_FAULT, 1, [] { return Boxes{ErrorBox(IDS_FW_UPDATE_FAILED, 0x040501, ERROR_WRITE_FAULT)}; }, nullptr,
     nullptr, DropOtherwise(0x040C02, ERROR_INVALID_DATA)},
    {"checksum_never_matching", "data", KanjiFont, ERROR_INVALID_DATA, 1,
     [] { return Boxes{ErrorBox(IDS_FW_UPDATE_FAILED, 0x040C02, ERROR_INVALID_DATA)}; }, nullptr,
     [](FaultMatrix& m) {
         // The loaded file's checksum is one the printer neither holds nor computes.
         theApp.tables.KF[FaultMatrix::kTypeId].wChecksum = static_cast<WORD>(m.File("KF").wChecksum + 3);
     }},
    {"slow_reader", "data",
     [](FaultMatrix& m, sim::Config& c) {
         KanjiFont(m, c);
         c.faults.dwReadRate = 5000;
     },
     ERROR_SUCCESS, 0, [] { return Boxes{LoadResString(IDS_FW_UPDATE_SUCCEEDED)}; }, nullptr, nullptr,
     // A pty takes some 64 KB whatever the printer reads, so the host's writes end long
     // before the font is read and the checksum query lands inside the data; the back
     // pressure of a slow USB or serial printer is not there to test.
     {NotOn("usb"), NotOn("serial")}},
    {"cancel", "data", KanjiFont, ERROR_CANCELLED, 3, [] { return Boxes{}; }, "transfer_begin", nullptr,
     {KeepsCutData(EndsOn("usb", ERROR_CANCELLED, 3, [] { return Boxes{}; })),
      KeepsCutData(EndsOn("serial", ERROR_CANCELLED, 3, [] { return Boxes{}; }))}},
};

TEST_P(FaultMatrix, AftermathIsClean) {
    Run();
    CheckAftermath();
}

INSTANTIATE_TEST_SUITE_P(Quick, FaultMatrix, ::testing::ValuesIn(MatrixParams(kQuickCases)),
                         MatrixParamName);

}  // namespace
