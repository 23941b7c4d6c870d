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
    bool ShowHelp = false;    // --help, -h
    bool ShowVersion = false; // --version
    std::string Folder;       // --folder DIR: the program's folder
    std::string Error;        // an option that cannot be used, as a sentence
    // A command of its own (config, watch, password, test-mail, check) and
    // its words and options, as given; "" for the watcher itself.
    std::string Command;
    std::vector<std::string> CommandArgs;
};

// The command words that run one task without any window and end.
bool isCommandWord(const std::string& word);

// The options --help, --version and --folder DIR (or --folder=DIR) are
// taken out wherever they stand. Of the rest the first blank-separated word
// counts: "b" runs without windows, "i" starts hidden in the tray (either
// case; a later "b" or "i" is ignored), a command word takes every argument
// after it. Any other word or option is an error.
StartOptions parseCommandLine(const std::vector<std::string>& args);

// What --help prints (Japanese, then English) and what --version prints.
std::string usageText();
std::string versionText();

// The program's folder, where the INI files, logs and Temp live:
// - the folder given with --folder (made absolute, created when missing);
// - else the executable's folder when this user may write there (the
//   portable copy), except in the system's own tree under /usr;
// - else $XDG_DATA_HOME/kestrova, by default ~/.local/share/kestrova,
//   created with mode 0700.
// Nothing is created here (see makeProgramFolder). Returns "" and sets
// error when no such folder can be named.
std::string programFolder(const std::string& exeFolder, const std::string& chosen,
                          std::string& error);

// Creates folder (mode 0700, missing parents too) unless it exists; false
// with error set when it cannot be created or is no writable folder.
bool makeProgramFolder(const std::string& folder, std::string& error);

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

// A run without windows started from a terminal ("b", "check") says where
// it works and then shows its warnings and failures there as well.
void announceHeadlessRun(App& app, const std::string& word);

enum class StartResult {
    Ready,
    NotStarted, // mail library missing or no program folder: failure says
                // which; nothing has been read or logged
    Failed,     // a step failed; it has been logged and shown
};

// Steps of start-up up to the windows: current folder, PATH, the mail
// library check, the program's folder, Temp, file paths, ReadIni, title and
// caption. exeFolder holds the executable and its libraries (PATH and the
// library check look there); folder is the program's folder (see
// programFolder), created after the library check. A failure of a later step
// is logged with a message box (app.log.messageBox: install it first), or on
// standard error in a run without windows.
StartResult prepareApp(App& app, const std::string& exeFolder, const std::string& folder,
                       const std::string& baseName, const StartOptions& options,
                       std::string& failure);

} // namespace kestrova
