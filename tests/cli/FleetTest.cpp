// The fleet run's own pieces: its options, the ports file, the child's command line,
// the exit status and the JSON object.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/Fleet.h"
#include "cli/Options.h"
#include "engine/Kelvo.h"

namespace {

TEST(FleetOptions, Table) {
    struct Case {
        std::vector<const char*> args;
        const char* pszError;  // null: parses
        std::vector<std::string> ports;
        std::string strPortsFrom;
        bool bAll;
        int nParallel;
        bool bFleetChild;
        bool bFleet;
    } cases[] = {
        {{"--port", "127.0.0.2"}, nullptr, {"127.0.0.2"}, "", false, 4, false, false},
        {{"-p", "127.0.0.2", "--port=127.0.0.3", "-j", "2"}, nullptr, {"127.0.0.2", "127.0.0.3"}, "", false, 2, false, true},
        {{"--ports-from", "shops.txt", "--parallel=64"}, nullptr, {}, "shops.txt", false, 64, false, true},
        {{"--kind", "lan", "--all"}, nullptr, {}, "", true, 4, false, true},
        {{"--fleet-child", "--port", "127.0.0.2"}, nullptr, {"127.0.0.2"}, "", false, 4, true, false},
        {{"--parallel", "0"}, "--parallel needs a number from 1 to 64", {}, "", false, 4, false, false},
        {{"--parallel", "65"}, "--parallel needs a number from 1 to 64", {}, "", false, 4, false, false},
        {{"--parallel", "-3"}, "--parallel needs a number", {}, "", false, 4, false, false},
        {{"--parallel", "4x"}, "--parallel needs a number", {}, "", false, 4, false, false},
        {{"--ports-from"}, "--ports-from needs a value", {}, "", false, 4, false, false},
        {{"--all=yes"}, "--all takes no value", {}, "", false, 4, false, false},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const char* psz : c.args) line += std::string(psz) + " ";
        CliOptions options;
        std::string error;
        bool bOk = ParseCliOptions(static_cast<int>(c.args.size()), c.args.data(), &options, &error);
        ASSERT_EQ(bOk, c.pszError == nullptr) << line << " -> " << error;
        if (!bOk) {
            EXPECT_NE(error.find(c.pszError), std::string::npos) << line << " -> " << error;
            continue;
        }
        EXPECT_EQ(options.ports, c.ports) << line;
        EXPECT_EQ(options.strPortsFrom, c.strPortsFrom) << line;
        EXPECT_EQ(options.bAll, c.bAll) << line;
        EXPECT_EQ(options.nParallel, c.nParallel) << line;
        EXPECT_EQ(options.bFleetChild, c.bFleetChild) << line;
        EXPECT_EQ(IsFleetRun(options), c.bFleet) << line;
    }
}

TEST(FleetPorts, FileLinesCommentsAndRepeats) {
    std::vector<std::string> ports{"127.0.0.2"};
    std::string error;
    ASSERT_TRUE(ParsePortsText("# kitchen\n127.0.0.3\n  127.0.0.4  # bar\r\n\n127.0.0.2\n   \n127.0.0.5", &ports, &error))
        << error;
    EXPECT_EQ(ports, (std::vector<std::string>{"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}));

    const std::string longName(PORT_NAME_MAX + 1, 'x');
    EXPECT_FALSE(ParsePortsText("127.0.0.2\n" + longName + "\n", &ports, &error));
    EXPECT_NE(error.find("line 2: port name longer than"), std::string::npos) << error;
}

TEST(FleetPorts, AllNeedsAKindAndSomethingToUpdate) {
    CliOptions options;
    std::vector<std::string> ports;
    std::string error;
    options.bAll = true;
    EXPECT_FALSE(CollectFleetPorts(options, {}, &ports, &error));
    EXPECT_EQ(error, "--all needs --kind");
    options.nKind = PORT_KIND_USB;
    EXPECT_FALSE(CollectFleetPorts(options, {}, &ports, &error));
    EXPECT_EQ(error, "this program cannot search for USB printers yet");
    options.bAll = false;
    options.strPortsFrom = "/nonexistent/ports";
    EXPECT_FALSE(CollectFleetPorts(options, {}, &ports, &error));
    EXPECT_NE(error.find("cannot read /nonexistent/ports"), std::string::npos) << error;
}

TEST(FleetChild, CommandLineCarriesTheRunsChoices) {
    CliOptions options;
    EXPECT_EQ(FleetChildArgs("/usr/bin/kelvo-cli", options, "127.0.0.2"),
              (std::vector<std::string>{"/usr/bin/kelvo-cli", "--fleet-child", "--port", "127.0.0.2", "--json"}));
    options.nKind = PORT_KIND_LAN;
    options.bForce = options.bYes = true;
    EXPECT_EQ(FleetChildArgs("k", options, "p"),
              (std::vector<std::string>{"k", "--fleet-child", "--port", "p", "--json", "--kind", "Ethernet", "--force",
                                        "--yes"}));
}

TEST(FleetResult, ExitStatusAndObject) {
    auto results = [](std::vector<int> statuses) {
        std::vector<FleetResult> list;
        for (int n : statuses) list.push_back({"p" + std::to_string(list.size()), n, "{\"exit_status\":" + std::to_string(n) + "}"});
        return list;
    };
    struct Case {
        std::vector<int> statuses;
        bool bCancelled;
        int nExpected;
    } cases[] = {
        {{0, 2, 0}, false, 0}, {{0, 1, 2}, false, 1}, {{0, 0, 3}, false, 1},
        {{0, 0, 0}, true, 3},  {{1}, true, 3},        {{0, 137}, false, 1},
    };
    for (const Case& c : cases) EXPECT_EQ(FleetExitStatus(results(c.statuses), c.bCancelled), c.nExpected);

    EXPECT_EQ(FleetJson(results({0, 1, 2, 0, 137}), 1, 4321),
              "{\"results\":[{\"exit_status\":0},{\"exit_status\":1},{\"exit_status\":2},{\"exit_status\":0},"
              "{\"exit_status\":137}],\"summary\":{\"printers\":5,\"exit_status\":1,"
              "\"by_exit_status\":{\"0\":2,\"1\":2,\"2\":1,\"3\":0},\"duration_ms\":4321}}");
}

}  // namespace
