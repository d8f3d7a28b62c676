#pragma once
// The desktop program's own arguments and the update folder it runs in (config.ini and
// the update files): a folder argument, else the working folder when it holds a
// config.ini, else the one the user chooses.
#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QFileDialog;
class QWidget;

// What the program takes from its arguments before the Qt application exists.
struct DesktopArgs {
    bool bHelp = false;
    bool bVersion = false;
    std::string folder;               // the first word that is none of the words below
    std::vector<std::string> unknown; // other words starting with "--"
    std::vector<char*> rest;          // argv without the words above (the program's name first)
};
// "/s" and the kind words stay for the command line; "--help"/"-h", "--version"/"-V" and
// one folder are taken out. Qt's own options ("-platform ...") are left in place.
DesktopArgs ParseDesktopArgs(int argc, char** argv);

// The text --help prints.
std::string DesktopHelpText(const std::string& programName);

// dir holds a config.ini that can be read.
bool HasUsableConfig(const std::string& dir);

// Asks for the update folder in a folder chooser that opens at startDir; a folder without
// a config.ini is refused with a message and the chooser opens again. The chosen folder
// (absolute), or nothing when the user cancelled. hook, when set, runs with each chooser
// before its modal run (tests drive it from there). GUI thread.
using FolderChooserHook = std::function<void(QFileDialog&)>;
std::optional<std::string> ChooseUpdateFolder(QWidget* pParent, const QString& startDir,
                                              const FolderChooserHook& hook = {});
