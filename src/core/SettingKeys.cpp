#include "core/SettingKeys.h"

#include "core/Numeric.h"
#include "core/Text.h"

namespace kestrova {

namespace {

std::string boolText(bool v) {
    return v ? "True" : "False";
}

std::string defaultAuthMode(const StoredSettings& s) {
    return s.SmtpServer.empty() ? "POP before SMTP" : "SMTP AUTH LOGIN";
}
std::string defaultName(const StoredSettings&) {
    return "ケストロバ";
}
std::string defaultTitle(const StoredSettings&) {
    return "ファイル更新通知";
}
std::string defaultMessage(const StoredSettings&) {
    return "監視中のファイルが更新されました。";
}

// Blank as the settings dialog tests it: nothing but spaces.
bool blank(std::string_view v) {
    return v.find_first_not_of(' ') == std::string_view::npos;
}

std::string joined(const std::vector<std::string>& choices) {
    std::string out;
    for (const std::string& c : choices)
        out += (out.empty() ? "" : ", ") + c;
    return out;
}

std::vector<SettingKey> makeKeys() {
    using K = SettingKind;
    using S = StoredSettings;
    return {
        {"SmtpServer",
         K::Text,
         &S::SmtpServer,
         nullptr,
         "",
         nullptr,
         {},
         "SMTP server: host or host:port (port 25; 465 = TLS from the start)"},
        {"AuthMode",
         K::Choice,
         &S::AuthMode,
         nullptr,
         "",
         defaultAuthMode,
         {"POP before SMTP", "SMTP AUTH LOGIN", "SMTP AUTH CRAM-MD5", "SMTP AUTH PLAIN"},
         "how the mail step logs in"},
        {"APopMode", K::Bool, nullptr, &S::APopMode, "", nullptr, {}, "APOP for the POP login"},
        {"PopServer",
         K::Text,
         &S::PopServer,
         nullptr,
         "",
         nullptr,
         {},
         "POP server for POP before SMTP: host or host:port (port 110)"},
        {"MailFromUser",
         K::Text,
         &S::MailFromUser,
         nullptr,
         "",
         nullptr,
         {},
         "user ID of the POP or SMTP login"},
        {"MailFromPass",
         K::Password,
         nullptr,
         nullptr,
         "",
         nullptr,
         {},
         "the login's password, enciphered: set it with kestrova password"},
        {"MailFromName",
         K::Text,
         &S::MailFromName,
         nullptr,
         "",
         defaultName,
         {},
         "sender's display name"},
        {"MailFromAddr",
         K::Text,
         &S::MailFromAddr,
         nullptr,
         "",
         nullptr,
         {},
         "sender's mail address"},
        {"MailTitle",
         K::Text,
         &S::MailTitle,
         nullptr,
         "",
         defaultTitle,
         {},
         "subject of the notification mail"},
        {"MailMsg",
         K::Message,
         &S::MailMsg,
         nullptr,
         "",
         defaultMessage,
         {},
         "notification message; %r% is a line break"},
        {"MailFListAdd",
         K::Bool,
         nullptr,
         &S::MailFListAdd,
         "true",
         nullptr,
         {},
         "append the list of changes to the message"},
        {"CheckSec",
         K::Seconds,
         &S::CheckSec,
         nullptr,
         "",
         nullptr,
         {},
         "seconds between two checks"},
        {"TlsTrustFile",
         K::Text,
         &S::TlsTrustFile,
         nullptr,
         "",
         nullptr,
         {},
         "PEM certificates trusted besides the system's"},
        {"TlsFingerprint",
         K::Text,
         &S::TlsFingerprint,
         nullptr,
         "",
         nullptr,
         {},
         "SHA-256 fingerprint of the one server certificate to accept"},
        {"TlsRequired",
         K::Bool,
         nullptr,
         &S::TlsRequired,
         "",
         nullptr,
         {},
         "never send the password or mail without TLS"},
        {"ScanMode",
         K::Choice,
         &S::ScanMode,
         nullptr,
         "auto",
         nullptr,
         {"auto", "poll"},
         "auto: kernel events on local file systems; poll: scan every entry at every pass"},
        {"FsTimeoutSec",
         K::Seconds,
         &S::FsTimeoutSec,
         nullptr,
         "30",
         nullptr,
         {},
         "seconds a network or user-space file system may take to answer; at least CheckSec x 3"},
        {"DesktopNotify",
         K::Bool,
         nullptr,
         &S::DesktopNotify,
         "true",
         nullptr,
         {},
         "also show every message as a desktop notification"},
    };
}

} // namespace

const std::vector<SettingKey>& settingKeys() {
    static const std::vector<SettingKey> keys = makeKeys();
    return keys;
}

const SettingKey* findSettingKey(std::string_view name) {
    const std::string lower = text::asciiLower(name);
    for (const SettingKey& k : settingKeys())
        if (text::asciiLower(k.name) == lower)
            return &k;
    return nullptr;
}

void readSetting(const SettingKey& key, StoredSettings& s,
                 const std::optional<std::string>& stored) {
    const std::string value = stored ? *stored : std::string(key.fallback);
    switch (key.kind) {
    case SettingKind::Text:
    case SettingKind::Choice:
        if (key.kind == SettingKind::Choice && !key.whenEmpty) {
            // A value outside the choices reads as the default one.
            const std::string lower = text::asciiLower(value);
            s.*key.text = key.fallback;
            for (const std::string& c : key.choices)
                if (text::asciiLower(c) == lower)
                    s.*key.text = c;
            return;
        }
        s.*key.text = value.empty() && key.whenEmpty ? key.whenEmpty(s) : value;
        return;
    case SettingKind::Message:
        s.*key.text = text::replaceAll(value.empty() && key.whenEmpty ? key.whenEmpty(s) : value,
                                       "%r%", "\r\n");
        return;
    case SettingKind::Bool:
        s.*key.flag = text::asciiLower(value) == "true";
        return;
    case SettingKind::Seconds: {
        const double sec = numericValue(value);
        s.*key.text = sec > 0 ? numberText(sec) : *key.fallback ? key.fallback : "10";
        return;
    }
    case SettingKind::Password:
        return;
    }
}

std::string storedText(const SettingKey& key, const StoredSettings& s) {
    switch (key.kind) {
    case SettingKind::Text:
    case SettingKind::Choice:
    case SettingKind::Seconds:
        return text::singleLine(s.*key.text);
    case SettingKind::Message: {
        const std::string msg = text::replaceAll(s.*key.text, "\r\n", "%r%");
        return text::replaceAll(text::replaceAll(msg, "\r", "%r%"), "\n", "%r%");
    }
    case SettingKind::Bool:
        return boolText(s.*key.flag);
    case SettingKind::Password:
        return "";
    }
    return "";
}

bool setSetting(const SettingKey& key, StoredSettings& s, const std::string& value,
                std::string& error) {
    switch (key.kind) {
    case SettingKind::Password:
        error = "MailFromPass はここでは設定できません。kestrova password を使ってください。 "
                "(set the password with: kestrova password)";
        return false;
    case SettingKind::Bool: {
        const std::string lower = text::asciiLower(value);
        if (lower != "true" && lower != "false") {
            error = std::string(key.name) + " には True か False を指定してください。 (" +
                    key.name + " takes True or False)";
            return false;
        }
        s.*key.flag = lower == "true";
        return true;
    }
    case SettingKind::Choice:
        for (const std::string& c : key.choices)
            if (text::asciiLower(c) == text::asciiLower(value)) {
                s.*key.text = c;
                return true;
            }
        error = std::string(key.name) + " に指定できるのは次の値です: " + joined(key.choices) +
                " (" + key.name + " takes one of: " + joined(key.choices) + ")";
        return false;
    case SettingKind::Seconds: {
        // The whole text must be the number: a typing slip such as "1O"
        // would otherwise pass as 1.
        const std::string t = text::trimBlanks(value);
        const bool digits = !t.empty() && t.find_first_not_of("0123456789.") == std::string::npos &&
                            t.find_first_of("0123456789") != std::string::npos &&
                            t.find('.') == t.rfind('.');
        if (!digits || !(numericValue(t) > 0)) {
            error = std::string(key.name) + " には 0 より大きい秒数を指定してください。 (" +
                    key.name + " takes a number of seconds greater than 0)";
            return false;
        }
        s.*key.text = t;
        return true;
    }
    case SettingKind::Text:
        if (text::hasLineBreak(value)) {
            error = std::string(key.name) + " に改行は入れられません。 (" + key.name +
                    " cannot hold a line break)";
            return false;
        }
        // The dialog fills in the default for a blank name or subject.
        s.*key.text = key.whenEmpty && blank(value) ? key.whenEmpty(s) : value;
        return true;
    case SettingKind::Message: {
        std::string msg = text::replaceAll(value, "%r%", "\n");
        msg = text::replaceAll(text::replaceAll(msg, "\r\n", "\n"), "\r", "\n");
        msg = text::replaceAll(msg, "\n", "\r\n");
        s.*key.text = blank(msg) && key.whenEmpty ? key.whenEmpty(s) : msg;
        return true;
    }
    }
    return false;
}

} // namespace kestrova
