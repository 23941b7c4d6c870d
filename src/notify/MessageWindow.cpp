#include "notify/MessageWindow.h"

#include "core/App.h"

#include <exception>

namespace kestrova {

void setMessage(App& app, const std::string& caption, const std::string& text) {
    app.message.caption = caption;
    app.message.text = text;
}

void MsgShow(App& app) {
    if (!app.settings.Interactive)
        return;
    try {
        ++app.message.shown;
        if (app.showMessageWindow)
            app.showMessageWindow();
    } catch (const std::exception& e) {
        app.logError("MsgForm", "MsgShow", e.what(), app.settings.Interactive);
    }
}

} // namespace kestrova
