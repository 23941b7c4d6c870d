#include "notify/Archiver.h"

#include "core/App.h"
#include "core/FileIo.h"
#include "core/LibraryLoader.h"
#include "core/Startup.h"
#include "core/Text.h"
#include "notify/MessageWindow.h"
#include "notify/WorkerCall.h"

#include <cerrno>
#include <exception>
#include <limits>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {

namespace {

constexpr const char* kModule = "MsgForm";
constexpr unsigned long kOutputSize = 256;

using VersionFn = int (*)();
using UnlhaFn = int (*)(void*, const char*, char*, unsigned long);

// The path without the trailing "/" that marks a folder entry.
std::string withoutTrailingSlash(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p == "/" ? std::string() : p;
}

std::string missingLibraryText() {
    return std::string(kArchiverLibrary) + "が見つかりませんでした。\r\n" + kArchiverLibrary +
           "のインストール状況を確認してください。";
}

template <class Fn> Fn archiverSymbol(App& app, const char* name) {
    std::string error;
    void* handle = loadLibrary(app.programDir, kArchiverLibrary, error);
    if (!handle)
        return nullptr;
    return reinterpret_cast<Fn>(librarySymbol(handle, name, error));
}

// A message cut to the buffer may end inside a UTF-8 sequence; drop that
// incomplete tail rather than show a broken character.
std::string wholeCharacters(std::string s) {
    for (int i = 0; i < 3 && !s.empty() && !text::isValidUtf8(s); ++i)
        s.pop_back();
    return s;
}

// A path in quotes; a quote inside it is doubled so that no name can end
// the argument early.
std::string quoted(const std::string& path) {
    std::string out;
    out.reserve(path.size() + 2);
    out += '"';
    for (char c : path) {
        out += c;
        if (c == '"')
            out += '"';
    }
    out += '"';
    return out;
}

} // namespace

std::string lhaCommandLine(const std::string& archivePath, const std::string& path, bool subfolders,
                           bool isExistingFile) {
    const std::string p = withoutTrailingSlash(path);
    std::string base = parentFolder(p);
    // A parent that is the root already ends with the separator.
    if (base.empty() || base.back() != '/')
        base += "/";
    std::string target = lastPathName(p);
    if (!isExistingFile && !subfolders)
        target += "/*";
    const std::string options = subfolders ? "-r2x1d1n1c1gm1 " : "-n1c1gm1 ";
    return options + " a " + quoted(archivePath) + " " + quoted(base) + " " + quoted(target);
}

std::string lhaArchivePath(const App& app, const std::string& path) {
    const bool folder = !path.empty() && path.back() == '/';
    std::string name = lastPathName(path);
    if (!folder) {
        // A leading dot starts a hidden name, not an extension.
        size_t dot = name.rfind('.');
        if (dot != std::string::npos && dot > 0)
            name.erase(dot);
    }
    return app.settings.TempFolder + "/" + name + ".lzh";
}

std::string GetLhaFile(App& app, const std::string& path, bool subfolders) {
    try {
        const std::string archive = lhaArchivePath(app, path);
        struct stat st {};
        if (::lstat(archive.c_str(), &st) == 0 && ::unlink(archive.c_str()) != 0)
            throw std::runtime_error(archive + ": " + errnoText(errno));

        const bool isFile = !path.empty() && path.back() != '/' && ::stat(path.c_str(), &st) == 0 &&
                            !S_ISDIR(st.st_mode);
        const std::string result =
            ExecUnlha(app, lhaCommandLine(archive, path, subfolders, isFile));
        if (result.empty())
            return archive;

        setMessage(app, "ファイル圧縮エラー", result);
        MsgShow(app);
        app.log.WriteLog(0, LogWarning, kModule, "GetLhaFile", result, 0);
        return "";
    } catch (const std::exception& e) {
        app.logError(kModule, "GetLhaFile", e.what(), app.settings.Interactive);
        return "";
    }
}

std::string ExecUnlha(App& app, const std::string& commandLine) {
    std::string result = missingLibraryText();
    try {
        if (GetUnlhaVersion(app) < 0)
            return result;
        auto unlha = archiverSymbol<UnlhaFn>(app, "Unlha");
        if (!unlha)
            return result;
        char output[kOutputSize] = {};
        const int rc =
            runOnWorker([&] { return unlha(nullptr, commandLine.c_str(), output, kOutputSize); });
        if (rc == 0)
            return result = "";
        output[kOutputSize - 1] = '\0';
        result = text::trimBlanks(wholeCharacters(output));
        // A failure without a message must not pass for a made archive.
        if (result.empty())
            result = std::string(kArchiverLibrary) + "がエラー " + std::to_string(rc) +
                     " を返しました。";
    } catch (const std::exception&) {
    }
    return result;
}

std::int16_t GetUnlhaVersion(App& app) {
    auto version = archiverSymbol<VersionFn>(app, "UnlhaGetVersion");
    if (!version)
        return -1;
    const int v = version();
    if (v > std::numeric_limits<std::int16_t>::max())
        return std::numeric_limits<std::int16_t>::max();
    return static_cast<std::int16_t>(v);
}

} // namespace kestrova
