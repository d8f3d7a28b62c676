// The fault matrix's cases that sit through the product's long waits: the 100 s reconnect
// pause of a LAN retry run, the wait for a ROM ID that never comes (100 s on LAN, 60 s on
// Bluetooth, 20 s on USB and serial).
#include "FaultMatrix.h"

namespace {

using Boxes = std::vector<std::string>;

std::string Succeeded() {
    return StrPrintf(LoadResString(IDS_FW_UPDATE_SUCCEEDED_VERSION).c_str(),
                     sim::DefaultVersionText(FaultMatrix::kTypeId, 0x07).c_str());
}

// A drop on USB: the next write meets the vanished node. On a serial line the bytes on
// their way are lost unseen and the printer comes back with the old ROM ID.
std::string UsbDropBox(DWORD dwText) { return ErrorBox(dwText, 0x040501, ERROR_DEVICE_NOT_CONNECTED); }
std::string SerialDropBox(DWORD dwText) { return ErrorBox(dwText, 0x040703, 0x2000000D); }

const FaultCase kSlowCases[] = {
    {"never_back", "restart_wait",
     [](FaultMatrix& m, sim::Config& c) {
         m.AddFile("FW", 0x07, 24000);
         c.timing = sim::Timing{200, 10 * 60 * 1000, 500};
         c.szTimingName = "never-back";
     },
     // The printer refuses every connection while it is away: the last exchange's error.
     WSAECONNREFUSED, 1, [] { return Boxes{ErrorBox(IDS_FW_UPDATE_FAILED, 0x040701, WSAECONNREFUSED)}; }, nullptr,
     nullptr,
     // A USB node or serial line that never comes back: the port opens (the device is
     // opened on use), and every ROM ID query finds no device.
     {EndsOn("usb", ERROR_DEVICE_NOT_CONNECTED, 1,
             [] { return Boxes{ErrorBox(IDS_FW_UPDATE_FAILED, 0x040701, ERROR_DEVICE_NOT_CONNECTED)}; }),
      EndsOn("serial", ERROR_DEVICE_NOT_CONNECTED, 1,
             [] { return Boxes{ErrorBox(IDS_FW_UPDATE_FAILED, 0x040701, ERROR_DEVICE_NOT_CONNECTED)}; })}},
    {"drop_then_retry", "retry",
     [](FaultMatrix& m, sim::Config& c) {
         m.AddFile("FW", 0x07, 512 * 1024);
         c.faults.cbDropAfter = 8192;  // the first transfer only
         m.Box().QueueAnswer(IDRETRY);
     },
     ERROR_SUCCESS, 0, [] { return Boxes{ErrorBox(IDS_FW_UPDATE_FAILED, 0x040501, ERROR_WRITE_FAULT), Succeeded()}; },
     nullptr, nullptr,
     {EndsOn("usb", ERROR_SUCCESS, 0, [] { return Boxes{UsbDropBox(IDS_FW_UPDATE_FAILED), Succeeded()}; }),
      EndsOn("serial", ERROR_SUCCESS, 0, [] { return Boxes{SerialDropBox(IDS_FW_UPDATE_FAILED), Succeeded()}; })}},
    {"drop_twice", "retry",
     [](FaultMatrix& m, sim::Config& c) {
         m.AddFile("FW", 0x07, 512 * 1024);
         c.faults.cbDropAfter = 8192;
         c.faults.nDropCount = 2;  // the retried transfer too
         m.Box().QueueAnswer(IDRETRY);
     },
     ERROR_WRITE_FAULT, 1,
     [] {
         return Boxes{ErrorBox(IDS_FW_UPDATE_FAILED, 0x040501, ERROR_WRITE_FAULT),
                      ErrorBox(IDS_FW_UPDATE_FAILED_BOOT_MODE, 0x040501, ERROR_WRITE_FAULT)};
     },
     nullptr, nullptr,
     {EndsOn("usb", ERROR_DEVICE_NOT_CONNECTED, 1,
             [] { return Boxes{UsbDropBox(IDS_FW_UPDATE_FAILED), UsbDropBox(IDS_FW_UPDATE_FAILED_BOOT_MODE)}; }),
      EndsOn("serial", ERROR_INVALID_DATA, 1,
             [] { return Boxes{SerialDropBox(IDS_FW_UPDATE_FAILED), SerialDropBox(IDS_FW_UPDATE_FAILED_BOOT_MODE)}; })}},
};

TEST_P(FaultMatrix, AftermathIsClean) {
    Run();
    CheckAftermath();
}

INSTANTIATE_TEST_SUITE_P(Slow, FaultMatrix, ::testing::ValuesIn(MatrixParams(kSlowCases)), MatrixParamName);

}  // namespace
