// LZH archives of watched files and folders, made by libunlha32 in the
// Temp folder.
#pragma once

#include <cstdint>
#include <string>

namespace kestrova {

struct App;

// The command line for an archive of path (a file, or a folder ending in
// "/"): option text, two blanks, "a", then the quoted archive path, base
// folder (with "/" added) and target.
std::string lhaCommandLine(const std::string& archivePath, const std::string& path, bool subfolders,
                           bool isExistingFile);

// Archive path in the Temp folder for a watched path ("report.lzh").
std::string lhaArchivePath(const App& app, const std::string& path);

// Makes the archive; returns its path, or "" after showing the error in the
// update message window and logging a warning.
std::string GetLhaFile(App& app, const std::string& path, bool subfolders);

// Runs one command line; "" on success, else the error text (the
// library-missing text when libunlha32.so cannot be called).
std::string ExecUnlha(App& app, const std::string& commandLine);

// The archiver library's version, or -1 when it cannot be called.
std::int16_t GetUnlhaVersion(App& app);

} // namespace kestrova
