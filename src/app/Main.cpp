// kelvo: the desktop updater.
#include <QApplication>
#include <QFileInfo>

#include <string>

#include "app/FrontEnd.h"
#include "app/Workers.h"
#include "engine/Kelvo.h"

namespace {

// The command line as one text, the way the core's parser reads it: words that hold a
// blank are quoted.
std::string CommandLineText(int argc, char** argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (!text.empty()) text += ' ';
        text += word.find(' ') != std::string::npos ? "\"" + word + "\"" : word;
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("kelvo");
    QApplication::setDesktopFileName("kelvo");
    SetUpUiLanguage(app);
    CKelvoFrontEnd frontEnd(EngineWorkers());
    const std::string program = QFileInfo(QString::fromLocal8Bit(argv[0])).completeBaseName().toStdString();
    return RunKelvo(frontEnd, CommandLineText(argc, argv), program.empty() ? "kelvo" : program);
}
