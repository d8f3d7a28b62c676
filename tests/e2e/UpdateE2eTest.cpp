// Whole update runs over LAN against the simulated printer.
#include "e2e/UpdateFixture.h"

#include "ui/StringTable.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST_F(UpdateFixture, FirmwareSentAndVerified) {
    sim::MadeFile fw = MakeFile("FW", kTypeId, 0x07, 20000);
    StartPrinter(Printer(kTypeId, 0x05));
    RunAll();
    for (auto& e : m_host.Events()) printf("%s\n", e.c_str());
    for (auto& e : Conversation()) printf("%s\n", e.c_str());
    for (auto w : CRecordingLan::Writes()) printf("%u ", w);
    EXPECT_EQ(Result(), 0u);
}

}  // namespace
