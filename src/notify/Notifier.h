// Delivering one notification: by mail through libbsmtp, or in the update
// message window; and the lines of a watched file used as mail body.
#pragma once

#include "notify/MailLibrary.h"

#include <cstdint>
#include <set>
#include <string>

namespace kestrova {

struct App;
struct AppSettings;

// State that lives for one check pass.
struct PassState {
    bool PopDone = false;                // the POP login is done (or given up) for this pass
    std::set<std::string> RefusedWarned; // refused recipients already reported
    // The pass's own copy of the settings; app.settings when not set. A
    // window may replace app.settings while a mail is on its way.
    const AppSettings* settings = nullptr;
    // The pause after a mail that went out is left to the caller (which
    // records the delivery first, so a kill in the pause sends nothing
    // twice): pauseMs says how long.
    bool deferPause = false;
    int pauseMs = 0;
};

// The TLS settings as the mail library takes them: a relative trust file is
// looked for in the program folder.
MailTls mailTls(const App& app, const AppSettings& s);

// Delivers one notification. mailTo: "メッセージ表示", empty, or addresses
// separated by ",". attachment: a full path or "". Returns true when the
// mail was sent or the message window was shown.
bool SendFileUpdMsg(App& app, PassState& pass, const std::string& mailTo, const std::string& text,
                    const std::string& attachment);

// The first count lines from the first non-empty one (count > 0), or the
// last -count lines up to the last non-empty one and the empty lines after
// it (count < 0), each followed by CR LF; "" for a missing file or count 0.
std::string GetMailMessage(App& app, const std::string& path, std::int32_t count);

} // namespace kestrova
