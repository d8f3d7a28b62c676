// A whole run of kelvo-cli that sits through the identification time limit.
#include "UpdateRun.h"

namespace cli_test {
namespace {

TEST_F(UpdateRunTest, NoPrinterAnsweringEndsWithStatusOne) {
    MakeFile("FW", 0x07, 30000);
    sim::Faults silent;
    silent.bSilent = true;
    StartPrinter(0x05, silent);
    ProgramResult r = Cli({"--kind", "lan", "--port", m_address, "--json"});
    EXPECT_EQ(r.nStatus, 1) << r.err;
    EXPECT_TRUE(r.out.starts_with("{\"result\":1003,\"result_name\":\"ERROR_CAN_NOT_COMPLETE\",\"exit_status\":1,"))
        << r.out;
    EXPECT_TRUE(Contains(r.err, "Attempt to connect to printer failed.\n\nErrorCode = [ 040303, 000003EB ]")) << r.err;
    EXPECT_TRUE(Transfers().empty());
}

}  // namespace
}  // namespace cli_test
