#include "cli/Command.h"

#include "core/App.h"
#include "core/FolderLock.h"
#include "core/Startup.h"

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <thread>

namespace kestrova {

void tell(const std::string& line) {
    std::fprintf(stderr, "kestrova: %s\n", line.c_str());
}

int usageError(const std::string& sentence) {
    tell(sentence);
    std::fputs("kestrova --help\n", stderr);
    return kExitUsage;
}

int editFiles(App& app, const std::function<int(App&)>& change) {
    // The lock every pass on the folder takes; a running pass is waited for
    // up to a minute.
    FolderLock lock;
    std::string error;
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    bool told = false;
    while (!lock.tryAcquire(app.dataDir, error)) {
        if (std::chrono::steady_clock::now() > until) {
            tell("実行中の確認が 1 分たっても終わりません。 (a running check did not end within a "
                 "minute)");
            return kExitFailed;
        }
        if (!told)
            tell("実行中の確認が終わるのを待っています… (waiting for a running check)");
        told = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (!error.empty()) {
        tell(error);
        return kExitFailed;
    }
    if (!ReadIni(app))
        return kExitFailed; // said by the log on standard error
    const int status = change(app);
    if (status != kExitOk)
        return status;
    if (!WriteIni(app))
        return kExitFailed;
    return kExitOk;
}

int runCommand(const StartOptions& options, int argc, char** argv) {
    QCoreApplication qapp(argc, argv);
    std::string exeFolder, baseName, error;
    executableLocation(exeFolder, baseName);
    const std::string folder = programFolder(exeFolder, options.Folder, error);
    if (folder.empty()) {
        tell(error);
        return kExitFailed;
    }
    App app;
    // Everything a command has to say goes to the terminal too.
    app.log.echoWarnings = true;
    StartOptions headless = options;
    headless.Interactive = false;
    switch (prepareApp(app, exeFolder, folder, baseName, headless, error)) {
    case StartResult::Ready:
        break;
    case StartResult::NotStarted:
        tell(error);
        return kExitFailed;
    case StartResult::Failed:
        return kExitFailed;
    }
    // The program itself scans file systems that may stop answering.
    app.scanHelperProgram = "/proc/self/exe";
    const std::string& c = options.Command;
    const std::vector<std::string>& args = options.CommandArgs;
    if (c == "config")
        return configCommand(app, args);
    if (c == "watch")
        return watchCommand(app, args);
    if (c == "password")
        return passwordCommand(app, args);
    if (c == "test-mail")
        return testMailCommand(app, args);
    if (c == "check")
        return checkCommand(app, args);
    return usageError("不明なコマンドです: " + c + " (unknown command: " + c + ")");
}

} // namespace kestrova
