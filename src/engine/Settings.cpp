#include "engine/Settings.h"

#include "platform/IniFile.h"
#include "platform/Paths.h"

std::string SettingsFilePath(const std::string& strProgramName) {
    return XdgConfigHome() + "/" + SETTINGS_ROOT + "/" + strProgramName + ".ini";
}

KelvoSettings ReadSettings(const std::string& path) {
    KelvoSettings settings;
    CIniFile ini;
    if (!ini.Load(path)) return settings;
    settings.strTargetName = ini.Get(SETTINGS_SECTION, "TargetName").value_or("");
    settings.nIpAddr = ini.GetDword(SETTINGS_SECTION, "IpAddr").value_or(0);
    settings.dwForceUpdate = ini.GetDword(SETTINGS_SECTION, "ForceUpdate").value_or(0);
    settings.strUpdateFolder = ini.Get(SETTINGS_SECTION, "UpdateFolder").value_or("");
    const DWORD dwKind = ini.GetDword(SETTINGS_SECTION, "PortKind").value_or(0xFFFFFFFF);
    if (dwKind < 4) settings.nPortKind = static_cast<int>(dwKind);
    return settings;
}

BOOL WriteSettings(const std::string& path, const std::string& strTargetName, DWORD nIpAddr, int nPortKind) {
    CIniFile ini;
    if (!ini.Load(path)) return FALSE;  // never replace a file that could not be read
    ini.Set(SETTINGS_SECTION, "TargetName", strTargetName);
    ini.SetDword(SETTINGS_SECTION, "IpAddr", nIpAddr);
    if (nPortKind >= 0 && nPortKind < 4) ini.SetDword(SETTINGS_SECTION, "PortKind", static_cast<DWORD>(nPortKind));
    return ini.Save(path);
}

BOOL WriteUpdateFolder(const std::string& path, const std::string& folder) {
    CIniFile ini;
    if (!ini.Load(path)) return FALSE;
    ini.Set(SETTINGS_SECTION, "UpdateFolder", folder);
    return ini.Save(path);
}
