#include "watch/WatchListEdit.h"

#include "core/App.h"
#include "core/DateTime.h"
#include "watch/Scanner.h"

#include <cmath>
#include <dirent.h>
#include <stdexcept>
#include <sys/stat.h>

namespace kestrova {

namespace {

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool existsAsFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

} // namespace

WatchEntry newWatchEntry(App& app, const std::string& path) {
    WatchEntry entry;
    entry.CheckFolder = path;
    entry.FileChkMode = NotifyNew | NotifyUpdate | NotifyDelete;
    entry.MailBdLines = "99999";
    std::vector<CheckFile> record;
    if (existsAsFile(path)) {
        record.push_back({path, recordDateOf(app, path)});
    } else if (isDirectory(path)) {
        DIR* dir = ::opendir(path.c_str());
        if (!dir)
            throw std::runtime_error("フォルダを読めません: " + path);
        std::vector<std::string> files, folders;
        while (dirent* item = ::readdir(dir)) {
            std::string name = item->d_name;
            if (name == "." || name == "..")
                continue;
            (isDirectory(path + name) ? folders : files).push_back(path + name);
        }
        ::closedir(dir);
        for (const auto* group : {&files, &folders})
            for (const std::string& item : *group)
                record.push_back({item, recordDateOf(app, item)});
    } else {
        record.push_back({path, formatDateTime(0)});
    }
    entry.CheckFiles = std::move(record);
    return entry;
}

void applyEntrySettings(WatchEntry& entry, const std::string& mailTo, std::int32_t chkMode,
                        std::int32_t bodyLines) {
    entry.SendMailTo = mailTo;
    entry.FileChkMode =
        entry.isFolder() ? (chkMode & ~BodyFromFile) : (chkMode & ~IncludeSubfolders);
    entry.MailBdLines = std::to_string(bodyLines);
}

std::int32_t coupledAttachMode(std::int32_t mode, bool folder) {
    if (mode & IncludeSubfolders)
        mode |= LhaArchive;
    if (mode & LhaArchive)
        mode |= AttachFiles;
    if (folder && (mode & AttachFiles))
        mode |= LhaArchive;
    return mode;
}

bool bodyLinesValue(double value, std::int32_t& out) {
    const double rounded = std::nearbyint(value);
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0))
        return false;
    out = static_cast<std::int32_t>(rounded) % 1000000;
    return true;
}

} // namespace kestrova
