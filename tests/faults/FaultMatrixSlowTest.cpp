// The fault matrix's cases that sit through the product's long waits: the 100 s reconnect
// pause of a LAN retry run, the 100 s wait for a ROM ID that never comes.
#include "FaultMatrix.h"

namespace {

using Boxes = std::vector<std::string>;

const FaultCase kSlowCases[] = {
    {"never_back", "restart_wait",
     [](FaultMatrix& m, sim::Config& c) {
         m.AddFile("FW", 0x07, 24000);
         c.timing = sim::Timing{200, 10 * 60 * 1000, 500};
         c.szTimingName = "never-back";
     },
     // The printer refuses every connection while it is away: the last exchange's error.
     WSAECONNREFUSED, 1, [] { return Boxes{ErrorBox(IDS_FW_UPDATE_FAILED, 0x040701, WSAECONNREFUSED)}; }},
    {"drop_then_retry", "retry",
     [](FaultMatrix& m, sim::Config& c) {
         m.AddFile("FW", 0x07, 512 * 1024);
         c.faults.cbDropAfter = 8192;  // the first transfer only
         m.Box().QueueAnswer(IDRETRY);
     },
     ERROR_SUCCESS, 0,
     [] {
         return Boxes{ErrorBox(IDS_FW_UPDATE_FAILED, 0x040501, ERROR_WRITE_FAULT),
                      StrPrintf(LoadResString(IDS_FW_UPDATE_SUCCEEDED_VERSION).c_str(),
                                sim::DefaultVersionText(FaultMatrix::kTypeId, 0x07).c_str())};
     }},
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
     }},
};

TEST_P(FaultMatrix, AftermathIsClean) {
    Run();
    CheckAftermath();
}

INSTANTIATE_TEST_SUITE_P(Slow, FaultMatrix, ::testing::ValuesIn(MatrixParams(kSlowCases)), MatrixParamName);

}  // namespace
