#include "cli/Command.h"

#include "core/App.h"
#include "core/FileIo.h"
#include "core/Startup.h"

#include <QCoreApplication>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace kestrova {

namespace {

// The program folder's own lock file, the one every pass on the folder
// takes, whatever the environment of its run.
class FolderLockWait {
public:
    ~FolderLockWait() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    // Waits up to a minute; false with error set when the lock cannot be
    // had.
    bool take(const std::string& folder, std::string& error) {
        const std::string path = (folder == "/" ? "" : folder) + "/kestrova.lock";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            error = path + ": " + errnoText(errno);
            return false;
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        bool told = false;
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                error = path + ": " + errnoText(errno);
                return false;
            }
            if (std::chrono::steady_clock::now() > until) {
                error = "実行中の確認が 1 分たっても終わりません。 (a running check did not end "
                        "within a minute)";
                return false;
            }
            if (!told) {
                tell("実行中の確認が終わるのを待っています… (waiting for a running check)");
                told = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return true;
    }

private:
    int fd_ = -1;
};

} // namespace

void tell(const std::string& line) {
    std::fprintf(stderr, "kestrova: %s\n", line.c_str());
}

int usageError(const std::string& sentence) {
    tell(sentence);
    std::fputs("kestrova --help\n", stderr);
    return kExitUsage;
}

int editFiles(App& app, const std::function<int(App&)>& change) {
    FolderLockWait lock;
    std::string error;
    if (!lock.take(app.dataDir, error)) {
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
