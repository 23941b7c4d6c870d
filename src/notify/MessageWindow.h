// The update message window as the check cycle sees it: callers set the
// caption and text in App::message, then call MsgShow. The window itself
// (src/ui) installs App::showMessageWindow; a run without windows shows
// nothing.
#pragma once

#include <string>

namespace kestrova {

struct App;

// Sets caption and text of the update message window.
void setMessage(App& app, const std::string& caption, const std::string& text);

// Brings the window to the front in interactive runs (counting the showing
// in App::message.shown); does nothing in a run without windows.
void MsgShow(App& app);

} // namespace kestrova
