#include "support/AppFixture.h"

#include "core/Text.h"

#include <sys/stat.h>

namespace kestrova::test {

AppFixture::AppFixture(bool interactive) {
    auto testClock = std::make_unique<TestClock>();
    clock = testClock.get();
    app.clock = std::move(testClock);
    AppSettings& s = app.settings;
    s.Interactive = interactive;
    app.programDir = dir.path().string();
    app.baseName = "kestrova";
    s.SettingsFile = dir / "kestrova.ini";
    s.WatchListFile = dir / "kestrovaD.ini";
    s.TempFolder = dir / "Temp";
    ::mkdir(s.TempFolder.c_str(), 0700);
    s.AppTitle = "ケストロバ(Ver.1.00)";
    s.MainCaption = s.AppTitle + " [起動フォルダ:" + dir.path().string() + "]";
    s.ComputerName = "testhost";
    app.log.setBasePath(dir / "kestrova");
    app.log.interactive = interactive;
    app.log.title = s.AppTitle;
    app.log.messageBox = [this](const MessageBoxRequest& r) {
        boxes.push_back(r);
        return answer;
    };
    app.messageBox = app.log.messageBox;
}

void AppFixture::useRealClock() {
    clock = nullptr;
    app.clock = std::make_unique<Clock>();
}

std::vector<std::string> AppFixture::logLines() const {
    std::string t = text::decodeFile(readFile(app.log.logFile()));
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < t.size()) {
        size_t end = t.find("\r\n", pos);
        if (end == std::string::npos) {
            lines.push_back(t.substr(pos));
            break;
        }
        lines.push_back(t.substr(pos, end - pos));
        pos = end + 2;
    }
    return lines;
}

} // namespace kestrova::test
