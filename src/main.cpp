// Kestrova: picks a windowless run ("b") or the desktop program, prepares
// the one App object and lives in the Qt event loop.
#include "core/App.h"
#include "core/Startup.h"
#include "core/UnixSignals.h"
#include "ui/Desktop.h"
#include "ui/MessageBoxes.h"
#include "watch/CheckCycle.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

bool displayAvailable() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform)
        return true;
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (w && *w);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    kestrova::StartOptions options = kestrova::parseCommandLine(args);
    bool windows = options.Interactive && displayAvailable();

    std::unique_ptr<QCoreApplication> qapp;
    if (windows)
        qapp = std::make_unique<QApplication>(argc, argv);
    else
        qapp = std::make_unique<QCoreApplication>(argc, argv);
    kestrova::quitOnTerminationSignals();

    std::string folder, baseName;
    kestrova::executableLocation(folder, baseName);
    kestrova::App app;
    // Failures of the start-up steps are boxes too, so the boxes come first.
    if (windows)
        kestrova::installMessageBoxes(app);
    else
        options.Interactive = false; // no display: the run behaves as "b"
    switch (kestrova::prepareApp(app, folder, baseName, options)) {
    case kestrova::StartResult::Ready:
        break;
    case kestrova::StartResult::MailLibraryMissing: {
        std::string text = kestrova::missingMailLibraryText(baseName);
        if (windows)
            QMessageBox::information(nullptr, "Kestrova", QString::fromStdString(text));
        else
            std::fprintf(stderr, "%s\n", text.c_str());
        return 1;
    }
    case kestrova::StartResult::Failed:
        return 1;
    }

    // The update message window's timer drives the check cycle in every run.
    kestrova::CheckCycle cycle(app);
    std::unique_ptr<kestrova::Desktop> desktop;
    if (windows) {
        desktop = std::make_unique<kestrova::Desktop>(app, cycle);
        if (!desktop->start())
            return 0; // the running instance came to the front
    } else {
        cycle.FolderCheckTimer.start();
    }
    return qapp->exec();
}
