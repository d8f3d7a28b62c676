#pragma once
// The user's saved settings: $XDG_CONFIG_HOME/ZAQ/UpdateTool/<program>.ini, section
// [Section], values TargetName, IpAddr and ForceUpdate, and the desktop program's own
// UpdateFolder and PortKind. A missing value, or one that is not of its type, reads as
// its default.
#include <string>

#include "platform/Types.h"

inline constexpr const char* SETTINGS_ROOT = "ZAQ/UpdateTool";
inline constexpr const char* SETTINGS_SECTION = "Section";

std::string SettingsFilePath(const std::string& strProgramName);

struct KelvoSettings {
    std::string strTargetName;  // kept for the next start; nothing else uses it
    DWORD nIpAddr = 0;          // the same
    DWORD dwForceUpdate = 0;    // read only: not 0 forces the firmware transfer
    std::string strUpdateFolder;  // the folder last chosen for config.ini and the files
    int nPortKind = -1;           // the connection kind last chosen; -1: none yet
};

// Reads every value (defaults where the file or a value is missing or unreadable).
KelvoSettings ReadSettings(const std::string& path);
// Writes TargetName and IpAddr back, and PortKind when nPortKind is 0 to 3, keeping every
// other value of the file. FALSE with the last error.
BOOL WriteSettings(const std::string& path, const std::string& strTargetName, DWORD nIpAddr, int nPortKind = -1);
// Writes UpdateFolder, keeping every other value. FALSE with the last error.
BOOL WriteUpdateFolder(const std::string& path, const std::string& folder);
