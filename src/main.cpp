// Kestrova: picks a windowless run ("b") or the desktop program, prepares
// the one App object and lives in the Qt event loop.
#include "cli/Command.h"
#include "core/App.h"
#include "core/DisplayProbe.h"
#include "core/Startup.h"
#include "core/UnixSignals.h"
#include "cycle/CheckCycle.h"
#include "ui/Desktop.h"
#include "ui/MessageBoxes.h"
#include "watch/ScanHelper.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char** argv) {
    // A scan helper started by a watcher: no settings, no windows.
    if (argc == 2 && std::string(argv[1]) == kestrova::kScanHelperWord)
        return kestrova::runScanHelper();
    std::vector<std::string> args(argv + 1, argv + argc);
    kestrova::StartOptions options = kestrova::parseCommandLine(args);
    if (!options.Error.empty()) {
        std::fprintf(stderr, "kestrova: %s\nkestrova --help\n", options.Error.c_str());
        return 2;
    }
    if (options.ShowHelp) {
        std::fputs(kestrova::usageText().c_str(), stdout);
        return 0;
    }
    if (options.ShowVersion) {
        std::fputs(kestrova::versionText().c_str(), stdout);
        return 0;
    }
    // The set-up commands need no display and never open a window.
    if (!options.Command.empty())
        return kestrova::runCommand(options, argc, argv);
    // Without a display the desktop program refuses rather than becoming a
    // watcher that sends mail unasked; "b" is the way to run without one.
    const bool windows = options.Interactive;
    if (windows) {
        std::string problem = kestrova::displayProblem();
        if (!problem.empty()) {
            std::fputs(problem.c_str(), stderr);
            return 1;
        }
    }

    std::string exeFolder, baseName, error;
    kestrova::executableLocation(exeFolder, baseName);
    std::string folder = kestrova::programFolder(exeFolder, options.Folder, error);
    if (folder.empty()) {
        std::fprintf(stderr, "kestrova: %s\n", error.c_str());
        return 1;
    }

    std::unique_ptr<QCoreApplication> qapp;
    if (windows)
        qapp = std::make_unique<QApplication>(argc, argv);
    else
        qapp = std::make_unique<QCoreApplication>(argc, argv);
    kestrova::quitOnTerminationSignals();
    // Qt's own texts (standard buttons, file dialogs, context menus) in
    // Japanese, like the program's.
    QTranslator qtTexts;
    if (windows &&
        qtTexts.load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"),
                     QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtTexts);

    kestrova::App app;
    // Failures of the start-up steps are boxes too, so the boxes come first;
    // a run without windows has them on standard error (the journal, under
    // systemd).
    if (windows)
        kestrova::installMessageBoxes(app);
    app.log.journal = !windows && kestrova::stderrIsJournal();
    switch (kestrova::prepareApp(app, exeFolder, folder, baseName, options, error)) {
    case kestrova::StartResult::Ready:
        break;
    case kestrova::StartResult::NotStarted:
        if (windows)
            QMessageBox::information(nullptr, "Kestrova", QString::fromStdString(error));
        else
            std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    case kestrova::StartResult::Failed:
        return 1;
    }

    // The program itself scans file systems that may stop answering.
    app.scanHelperProgram = "/proc/self/exe";
    // The update message window's timer drives the check cycle in every run.
    kestrova::CheckCycle cycle(app);
    std::unique_ptr<kestrova::Desktop> desktop;
    if (windows) {
        desktop = std::make_unique<kestrova::Desktop>(app, cycle);
        if (!desktop->start())
            return 0; // the running instance came to the front
    } else {
        kestrova::announceHeadlessRun(app, "b");
        cycle.FolderCheckTimer.start();
    }
    const int status = qapp->exec();
    // Delivered records that could not be written get one more try.
    cycle.flushPending();
    return status;
}
