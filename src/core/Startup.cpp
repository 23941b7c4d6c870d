#include "core/Startup.h"

#include "core/App.h"
#include "core/Text.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {

StartOptions parseCommandLine(const std::vector<std::string>& args) {
    StartOptions o;
    std::string line;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i)
            line += ' ';
        line += args[i];
    }
    std::string first = line.substr(0, line.find(' '));
    if (first == "b" || first == "B")
        o.Interactive = false;
    else if (first == "i" || first == "I")
        o.StartVisible = false;
    return o;
}

std::string makeAppTitle(int major, int minor, int revision) {
    return "ケストロバ(Ver." + std::to_string(major) + "." + std::to_string(minor) +
           std::to_string(revision) + ")";
}

std::string makeMainCaption(const std::string& appTitle, const std::string& folder) {
    return appTitle + " [起動フォルダ:" + folder + "]";
}

std::string computerName() {
    char buf[5120] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0)
        return "";
    return text::trimBlanks(buf);
}

std::string extendedPath(const std::string& oldPath, const std::string& folder) {
    if (oldPath.empty())
        return folder;
    std::string sep = oldPath.back() == ':' ? "" : ":";
    return oldPath + sep + folder;
}

void executableLocation(std::string& folder, std::string& baseName) {
    char buf[PATH_MAX + 1] = {};
    ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    std::string exe = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("kestrova");
    size_t slash = exe.find_last_of('/');
    folder = slash == std::string::npos ? "." : exe.substr(0, slash ? slash : 1);
    baseName = slash == std::string::npos ? exe : exe.substr(slash + 1);
}

std::string missingMailLibraryText(const std::string& baseName) {
    return std::string(kMailLibrary) + " を " + baseName + " と同じフォルダに置いてください。";
}

namespace {

// Makes the Temp folder when it is missing. Something else standing under
// its name (a file, a dangling link) is a failure like a folder that cannot
// be made: archives could never be put there.
bool ensureFolder(const std::string& path, std::string& error) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = path + ": " + std::strerror(ENOTDIR);
        return false;
    }
    return true;
}

} // namespace

StartResult prepareApp(App& app, const std::string& folder, const std::string& baseName,
                       const StartOptions& options) {
    AppSettings& s = app.settings;
    s.Interactive = options.Interactive;
    s.StartVisible = options.StartVisible;
    s.ComputerName = computerName();
    app.programDir = folder;
    app.baseName = baseName;
    if (::chdir(folder.c_str()) != 0) {
        // Not fatal: every path below is absolute.
    }
    const char* path = std::getenv("PATH");
    ::setenv("PATH", extendedPath(path ? path : "", folder).c_str(), 1);

    struct stat st {};
    if (::stat((folder + "/" + kMailLibrary).c_str(), &st) != 0)
        return StartResult::MailLibraryMissing;

    std::string prefix = (folder == "/" ? "" : folder) + "/";
    s.TempFolder = prefix + "Temp";
    s.SettingsFile = prefix + baseName + ".ini";
    s.WatchListFile = prefix + baseName + "D.ini";
    app.log.setBasePath(prefix + baseName);
    app.log.interactive = options.Interactive;
    s.AppTitle =
        makeAppTitle(KESTROVA_VERSION_MAJOR, KESTROVA_VERSION_MINOR, KESTROVA_VERSION_PATCH);
    app.log.title = s.AppTitle;

    std::string error;
    if (!ensureFolder(s.TempFolder, error)) {
        app.logError("CommonModule", "Main", error, true);
        return StartResult::Failed;
    }
    ReadIni(app);
    s.MainCaption = makeMainCaption(s.AppTitle, folder);
    return StartResult::Ready;
}

} // namespace kestrova
