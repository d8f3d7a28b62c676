#pragma once
// Command-line flags of kelvo-printer-sim, declared once as a table that both the parser
// and --help read.
#include <string>
#include <vector>

#include "sim/FirmwareImage.h"
#include "sim/Sim.h"

namespace sim {

// FALSE with a message for an unknown flag or a bad value. --help sets *pbHelp.
bool ParseRunArgs(const std::vector<std::string>& args, Config* pConfig, bool* pbHelp, std::string* pError);
bool ParseMakeUpdateArgs(const std::vector<std::string>& args, UpdateFileRequest* pRequest, bool* pbHelp, std::string* pError);
std::string RunHelp();
std::string MakeUpdateHelp();

}  // namespace sim
