// The one application state object: created by main (or by a test), handed
// by reference to whatever needs it.
#pragma once

#include "core/Clock.h"
#include "core/FileIo.h"
#include "core/IniStore.h"
#include "core/OperationLog.h"
#include "core/Settings.h"
#include "core/WarnedOnce.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace kestrova {

// State of the update message window. The window itself (when there is
// one) shows it; callers set caption and text, then call MsgShow.
struct MessageWindowState {
    std::string caption = "監視ファイル更新通知";
    std::string text;
    int shown = 0; // how many times MsgShow brought it to the front
};

// Values handed between the main window and its dialogs.
struct DialogValues {
    std::string EditMailTo;
    std::int32_t EditChkMode = 0;
    std::int32_t EditBdLines = 0;
    std::uint8_t SelectionKinds = 0; // SelFile 1, SelFolder 2
    bool DialogAccepted = false;
};
inline constexpr std::uint8_t SelFile = 1;
inline constexpr std::uint8_t SelFolder = 2;

// A refused login (or a certificate that does not verify) is not tried
// again at once: a server or fail2ban would lock the account. The next try
// waits CheckSec, then twice as long each time, up to 15 minutes; a changed
// settings file tries at once.
struct LoginBackoff {
    bool failing = false;
    std::chrono::steady_clock::time_point nextTry{};
    double interval = 0;     // seconds
    StoredSettings settings; // the settings when the login was refused
};

struct App {
    AppSettings settings;
    std::vector<WatchEntry> watchList;
    OperationLog log;

    std::string programDir; // the executable's folder with both libraries, no trailing "/"
    std::string dataDir;    // the program's folder: INI files, logs, Temp (often programDir)
    std::string baseName;   // "kestrova"
    // The program that scans file systems which may stop answering, in a
    // process of its own ("" scans them in this process, as tests do).
    std::string scanHelperProgram;

    MessageWindowState message;
    // Installed by the message window; MsgShow calls it in interactive runs.
    std::function<void()> showMessageWindow;
    // Shows a message box with the program's title (windows install it).
    std::function<int(const MessageBoxRequest&)> messageBox;

    DialogValues dialog;

    IniStore iniStore; // the two files, with what was read and written last

    LoginBackoff loginBackoff;

    // The clock of every pass: its time and its waits (see Clock).
    std::unique_ptr<Clock> clock = std::make_unique<Clock>();

    // Conditions already warned about in this run.
    WarnedOnce warnedOnce;

    // Shorthand for a failure report of the common form.
    int logError(std::string_view module, std::string_view procedure, std::string_view message,
                 bool withBox) {
        return log.WriteLog(withBox ? -1 : 0, LogError, module, procedure, message, 0);
    }
};

} // namespace kestrova
