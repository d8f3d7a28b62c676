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
    return settings;
}

BOOL WriteSettings(const std::string& path, const std::string& strTargetName, DWORD nIpAddr) {
    CIniFile ini;
    if (!ini.Load(path)) return FALSE;  // never replace a file that could not be read
    ini.Set(SETTINGS_SECTION, "TargetName", strTargetName);
    ini.SetDword(SETTINGS_SECTION, "IpAddr", nIpAddr);
    return ini.Save(path);
}
