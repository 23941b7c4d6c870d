// kestrova config list | get KEY | set KEY VALUE
#include "cli/Command.h"

#include "core/App.h"
#include "core/SettingKeys.h"

#include <cstdio>

namespace kestrova {

namespace {

std::string shownValue(const SettingKey& key, const AppSettings& s) {
    if (key.kind == SettingKind::Password)
        return s.MailFromPass.empty() && s.MailFromPassUnreadable.empty() ? "" : "********";
    return storedText(key, s);
}

std::string allKeys() {
    std::string out;
    for (const SettingKey& k : settingKeys())
        out += (out.empty() ? "" : ", ") + std::string(k.name);
    return out;
}

const SettingKey* keyOrSay(const std::string& name) {
    const SettingKey* key = findSettingKey(name);
    if (!key)
        usageError("不明なキーです: " + name + "。使えるキー: " + allKeys() + " (unknown key " +
                   name + "; keys: " + allKeys() + ")");
    return key;
}

} // namespace

int configCommand(App& app, const std::vector<std::string>& args) {
    const std::string sub = args.empty() ? "" : args[0];
    if (sub == "list" && args.size() == 1) {
        for (const SettingKey& k : settingKeys())
            std::printf("%s=%s\n", k.name, shownValue(k, app.settings).c_str());
        return kExitOk;
    }
    if (sub == "get" && args.size() == 2) {
        const SettingKey* key = keyOrSay(args[1]);
        if (!key)
            return kExitUsage;
        std::printf("%s\n", shownValue(*key, app.settings).c_str());
        return kExitOk;
    }
    if (sub == "set" && args.size() == 3) {
        const SettingKey* key = keyOrSay(args[1]);
        if (!key)
            return kExitUsage;
        return editFiles(app, [&](App& a) {
            AppSettings& s = a.settings;
            std::string error;
            if (!setSetting(*key, s, args[2], error))
                return usageError(error);
            // Leaving the user ID with no sender address fills it in, as
            // the settings dialog does.
            if (std::string(key->name) == "MailFromUser" && s.MailFromAddr.empty() &&
                !s.MailFromUser.empty()) {
                s.MailFromAddr = s.MailFromUser;
                tell("MailFromAddr も " + s.MailFromUser + " にしました。 (MailFromAddr set too)");
            }
            // The file of a fresh start says "POP before SMTP": a server
            // that asks for a login would refuse every mail.
            if (s.AuthMode == "POP before SMTP" && s.PopServer.empty() && !s.SmtpServer.empty() &&
                !s.MailFromUser.empty())
                tell("AuthMode は POP before SMTP です。SMTP AUTH でログインするサーバーなら: "
                     "kestrova config set AuthMode \"SMTP AUTH LOGIN\" (AuthMode is POP before "
                     "SMTP; for SMTP AUTH set it)");
            return kExitOk;
        });
    }
    return usageError("使い方: kestrova config list | get KEY | set KEY VALUE (usage)");
}

} // namespace kestrova
