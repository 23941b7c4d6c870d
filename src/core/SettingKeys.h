// Every key of section "InitSetting", described once: its name, how the
// stored text becomes the field (the reading rules), how the field is
// written, and what a user may set it to. Reading, writing, copying and the
// command line's `config` all go through this table.
#pragma once

#include "core/Settings.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

enum class SettingKind {
    Text,     // stored as it stands (one line)
    Message,  // line breaks stored as "%r%"
    Bool,     // "True" / "False"; true exactly when the text is "true" in any case
    Choice,   // one of choices
    Seconds,  // a decimal number greater than 0
    Password, // enciphered (handled by ReadIni and WriteIni themselves)
};

struct SettingKey {
    const char* name;
    SettingKind kind;
    // Text and Message keys: the field; Bool keys: flag; Choice and Seconds:
    // text too.
    std::string StoredSettings::*text = nullptr;
    bool StoredSettings::*flag = nullptr;
    // The value a missing key reads as (for Bool keys "true" or "").
    const char* fallback = "";
    // Text keys whose empty value is replaced (the sender's name, the
    // subject, the message; AuthMode by the rule of the server).
    std::string (*whenEmpty)(const StoredSettings&) = nullptr;
    std::vector<std::string> choices = {};
    // Shown where a user reads the keys (the manual page says more).
    const char* help = "";
};

// In the order the settings file lists them.
const std::vector<SettingKey>& settingKeys();

// The key of that name, matched without regard to ASCII case; null when
// there is none.
const SettingKey* findSettingKey(std::string_view name);

// The reading rule: the field from the stored text (nullopt: the key is
// missing). Not for the password.
void readSetting(const SettingKey& key, StoredSettings& s,
                 const std::optional<std::string>& stored);

// The text written to the file for the field. Not for the password.
std::string storedText(const SettingKey& key, const StoredSettings& s);

// A value a user gives for a key, checked as the settings dialog and the
// reading rules check it, then stored in s with the defaults the dialog
// fills in. False with error (which lists what is allowed) when refused.
bool setSetting(const SettingKey& key, StoredSettings& s, const std::string& value,
                std::string& error);

} // namespace kestrova
