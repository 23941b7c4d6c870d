// Start-up: the command line, the run-time fields, the program folder and
// its files.
#pragma once

#include <string>
#include <vector>

namespace kestrova {

struct App;

struct StartOptions {
    bool Interactive = true;
    bool StartVisible = true;
};

// Only the first blank-separated word counts: "b" runs without windows,
// "i" starts hidden in the tray; either case.
StartOptions parseCommandLine(const std::vector<std::string>& args);

// "ケストロバ(Ver.1.26)" for 1.2.6.
std::string makeAppTitle(int major, int minor, int revision);
std::string makeMainCaption(const std::string& appTitle, const std::string& folder);

// The host name, trimmed of blanks.
std::string computerName();

// PATH with the program folder appended.
std::string extendedPath(const std::string& oldPath, const std::string& folder);

// Folder and base name of the running executable.
void executableLocation(std::string& folder, std::string& baseName);

inline constexpr const char* kMailLibrary = "libbsmtp.so";
inline constexpr const char* kArchiverLibrary = "libunlha32.so";

// The message when the mail library is missing.
std::string missingMailLibraryText(const std::string& baseName);

enum class StartResult {
    Ready,
    MailLibraryMissing, // nothing has been read, created or logged
    Failed,             // a step failed; it has been logged and shown
};

// Steps of start-up up to the windows: current folder, PATH, the mail
// library check, Temp, file paths, ReadIni, title and caption. A failure is
// logged with a message box (app.log.messageBox: install it first), or on
// standard error in a run without windows, and ends start-up.
StartResult prepareApp(App& app, const std::string& folder, const std::string& baseName,
                       const StartOptions& options);

} // namespace kestrova
