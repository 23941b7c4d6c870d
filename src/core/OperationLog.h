// The operation log: one tab-separated line per failure, warning or trace,
// at most 500 lines per file with one older generation.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kestrova {

enum LogLevel : std::int16_t {
    LogError = -5,
    LogWarning = -4,
    LogTrace = -3,
    LogInquiry = -2,
    LogInfo = -1,
    LogOther = 0,
};

// Message-box style bits, as the log adds them to the caller's style.
enum MessageBoxStyle : std::int32_t {
    MbOk = 0,
    MbOkCancel = 1,
    MbYesNo = 4,
    MbIconCritical = 16,
    MbIconQuestion = 32,
    MbIconExclamation = 48,
    MbIconInformation = 64,
};

// Button identifiers returned by a message box.
enum MessageBoxResult : std::int32_t {
    IdOk = 1,
    IdCancel = 2,
    IdYes = 6,
    IdNo = 7,
};

struct MessageBoxRequest {
    std::string title;
    std::string text;
    std::int32_t style = 0;
};

class OperationLog {
public:
    static constexpr int kMaxLines = 500;

    // The two files: base + ".log" and base + "_old.log".
    void setBasePath(const std::string& folderAndBaseName);
    const std::string& logFile() const { return logFile_; }
    const std::string& oldLogFile() const { return oldLogFile_; }

    // The 12-byte label of a level ("" for levels above 0).
    static std::string levelLabel(int level);

    // Appends a line (levels 0 and below) and, for flag -1, shows a message
    // box: in an interactive run through messageBox, in a run without
    // windows on standard error. Returns the button chosen, or 0. A line the
    // log file cannot take goes to standard error instead.
    int WriteLog(int flag, int level, std::string_view module, std::string_view procedure,
                 std::string_view message, int style = 0);

    // Set by start-up.
    bool interactive = true;
    // Every line also to standard error with its syslog priority in front
    // ("<3>" failure, "<4>" warning, "<7>" trace, "<6>" else), for the
    // journal of a service.
    bool journal = false;
    std::string title; // AppTitle, title of the log's message boxes
    // Warnings and failures also to standard error, readable (UTF-8, time
    // and message): a run watched from a terminal, or a command.
    bool echoWarnings = false;

    // When set, lines and boxes go to it instead: a helper process hands
    // them to the watcher, which logs and shows them.
    std::function<void(int flag, int level, std::string_view module, std::string_view procedure,
                       std::string_view message)>
        capture;

    // Installed by the windows; without them nothing is shown.
    std::function<int(const MessageBoxRequest&)> messageBox;
    std::function<void()> reloadViewer;

private:
    bool appendLine(const std::string& line);

    std::string logFile_;
    std::string oldLogFile_;
};

// A message box that no window can show, as lines on standard error.
void writeBoxToStandardError(const MessageBoxRequest& box);

// True when standard error is the stream systemd named in JOURNAL_STREAM
// ("device:inode"); a child whose standard error was redirected inherits
// the variable but not the stream.
bool stderrIsJournal();

// "<3>" for a failure, "<4>" a warning, "<7>" a trace, "<6>" any other.
std::string journalPrefix(int level);

// Waits ms milliseconds in 100 ms slices, handling pending events after
// each slice; returns at once for 0 or less.
void My_Sleep(int ms);

// text repeated count times; "" for count 0 or less.
std::string RepeatStr(std::string_view text, int count);

} // namespace kestrova
