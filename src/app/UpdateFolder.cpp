#include "app/UpdateFolder.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include <unistd.h>

#include <cstring>

#include "config/ConfigFile.h"
#include "platform/Text.h"
#include "ui/StringTable.h"
#include "ui/Util.h"

namespace {

bool IsCommandLineWord(const char* psz) {
    for (const char* pszWord : {"/s", "USB", "Bluetooth", "Ethernet", "Serial"}) {
        if (::strcasecmp(psz, pszWord) == 0) return true;
    }
    return false;
}

}  // namespace

DesktopArgs ParseDesktopArgs(int argc, char** argv) {
    DesktopArgs args;
    if (argc > 0) args.rest.push_back(argv[0]);
    bool bOptionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const char* psz = argv[i];
        if (!bOptionsEnd && std::strcmp(psz, "--") == 0) {
            bOptionsEnd = true;
            continue;
        }
        if (!bOptionsEnd && (std::strcmp(psz, "--help") == 0 || std::strcmp(psz, "-h") == 0)) {
            args.bHelp = true;
        } else if (!bOptionsEnd && (std::strcmp(psz, "--version") == 0 || std::strcmp(psz, "-V") == 0)) {
            args.bVersion = true;
        } else if (!bOptionsEnd && std::strncmp(psz, "--", 2) == 0) {
            args.unknown.emplace_back(psz);
        } else if (args.folder.empty() && psz[0] != '\0' && (bOptionsEnd || psz[0] != '-') && !IsCommandLineWord(psz)) {
            args.folder = psz;
        } else {
            args.rest.push_back(argv[i]);
        }
    }
    return args;
}

std::string DesktopHelpText(const std::string& programName) {
    return "Usage: " + programName + " [FOLDER] [/s] [USB|Bluetooth|Ethernet|Serial]\n"
           "Updates the firmware and font data of a ZAQ thermal receipt printer.\n"
           "\n"
           "  FOLDER              the update folder: config.ini and the update files\n"
           "                      (FW*.bin, KF*.bin, ...). Without it the working folder\n"
           "                      is used when it holds a config.ini; otherwise the\n"
           "                      program asks for the folder (the last one is offered).\n"
           "  /s                  silent: no questions, no message boxes\n"
           "  USB, Bluetooth, Ethernet, Serial\n"
           "                      the connection kind to check first\n"
           "  -h, --help          this text\n"
           "  -V, --version       the program's version\n"
           "\n"
           "Exit status: 0 success, 2 nothing needed updating, 3 cancelled, 1 any other result.\n";
}

bool HasUsableConfig(const std::string& dir) {
    const std::string path = dir + "/" + std::string(CONFIG_FILE_NAME).substr(2);
    const QFileInfo info(QString::fromStdString(path));
    return info.isFile() && ::access(path.c_str(), R_OK) == 0;
}

std::optional<std::string> ChooseUpdateFolder(QWidget* pParent, const QString& startDir,
                                              const FolderChooserHook& hook) {
    QString start = startDir;
    for (;;) {
        QFileDialog dialog(pParent, QString::fromStdString(LoadResString(IDS_CHOOSE_UPDATE_FOLDER)), start);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        // The same chooser on every desktop, and one a test can drive.
        dialog.setOption(QFileDialog::DontUseNativeDialog, true);
        if (hook) hook(dialog);
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        const QStringList chosen = dialog.selectedFiles();
        if (chosen.isEmpty()) return std::nullopt;
        const std::string folder = QDir(chosen.front()).absolutePath().toStdString();
        if (HasUsableConfig(folder)) return folder;
        ShowMessage(MB_ICONEXCLAMATION, IDOK, LoadResString(IDS_FOLDER_WITHOUT_CONFIG).c_str(), folder.c_str());
        start = QString::fromStdString(folder);
    }
}
