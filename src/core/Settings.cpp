#include "core/Settings.h"

#include "cipher/CryptString.h"
#include "core/App.h"
#include "core/FileIo.h"
#include "core/IniFile.h"
#include "core/Numeric.h"
#include "core/SettingKeys.h"
#include "core/Text.h"
#include "core/WatchListReader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <optional>
#include <string_view>
#include <unistd.h>

namespace kestrova {

namespace {

constexpr mode_t kSettingsMode = 0600; // holds the enciphered password

CipherFailureReport cipherReport(App& app) {
    return [&app](const std::string& text) {
        MessageBoxRequest box;
        box.title = "Kestrova";
        box.text = text;
        // A run without windows shows its boxes on standard error.
        if (!app.settings.Interactive)
            writeBoxToStandardError(box);
        else if (app.messageBox)
            app.messageBox(box);
    };
}

// The stored password form: Base64 of whole 8-byte blocks that deciphers to
// readable text. Anything else (a password typed in by hand, say) would
// decipher into garbage that no server accepts: nullopt.
std::optional<std::string> decipherStored(const std::string& stored) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (stored.empty() || stored.size() % 4 != 0)
        return std::nullopt;
    size_t pad = 0;
    while (pad < 2 && stored[stored.size() - 1 - pad] == '=')
        ++pad;
    for (size_t i = 0; i + pad < stored.size(); ++i)
        if (kAlphabet.find(stored[i]) == std::string_view::npos)
            return std::nullopt;
    if ((stored.size() / 4 * 3 - pad) % 8 != 0)
        return std::nullopt;
    std::string plain = CryptString(stored, 0, kCipherKey1, kCipherKey2, kCipherKey3);
    if (plain.empty() || plain.find("\xEF\xBF\xBD") != std::string::npos)
        return std::nullopt;
    for (unsigned char c : plain)
        if (c < 0x20 || c == 0x7F)
            return std::nullopt;
    return plain;
}

// The password from systemd's credentials folder, when there is one: the
// first line of "mail-password".
std::optional<std::string> credentialPassword(App& app) {
    const char* folder = std::getenv("CREDENTIALS_DIRECTORY");
    if (!folder || !*folder)
        return std::nullopt;
    const std::string path = std::string(folder) + "/mail-password";
    std::string bytes, error;
    switch (readWholeFile(path, bytes, error)) {
    case ReadStatus::Missing:
        return std::nullopt;
    case ReadStatus::Failed:
        if (app.warnedOnce.first(Warning::CredentialUnreadable, error))
            app.logError("CommonModule", "ReadIni", error, true);
        return std::nullopt;
    case ReadStatus::Ok:
        break;
    }
    std::string line = bytes.substr(0, bytes.find_first_of("\r\n"));
    return text::isValidUtf8(line) ? line : text::fromCp932(line);
}

// After every read: the credentials folder stands for the key, and a stored
// value that is no enciphered form is reported (once per value).
void settlePassword(App& app, AppSettings& s) {
    if (std::optional<std::string> pass = credentialPassword(app)) {
        s.MailFromPass = *pass;
        s.MailFromPassFromCredentials = true;
        return;
    }
    s.MailFromPassFromCredentials = false;
    if (!s.MailFromPassUnreadable.empty() &&
        app.warnedOnce.first(Warning::PasswordUnreadable, s.MailFromPassUnreadable))
        app.logError("CommonModule", "ReadIni",
                     "MailFromPass の値は暗号化されたパスワードの形ではないため使いません "
                     "(手で書き込んだパスワードは使えません)。kestrova password でパスワードを"
                     "設定し直してください。 (MailFromPass holds no enciphered password: set it "
                     "with kestrova password)",
                     true);
}

} // namespace

std::string GetIniValue(App& app, const std::string& section, const std::string& key,
                        const std::string& fallback, const std::string& file) {
    IniFile ini;
    std::string error;
    if (!ini.load(file, error)) {
        app.logError("CommonModule", "GetIniValue", error, true);
        return "";
    }
    return ini.get(section, key, fallback);
}

bool WriteIniValue(App& app, const std::string& section, const std::string& key,
                   const std::string& value, const std::string& file) {
    IniFile ini;
    std::string error;
    if (!ini.load(file, error, true) || !ini.set(section, key, text::singleLine(value)) ||
        !ini.save(file, kSettingsMode, error)) {
        app.logError("CommonModule", "WriteIniValue", error.empty() ? file : error, false);
        return false;
    }
    return true;
}

bool ReadIni(App& app) {
    return ReadIni(app, app.settings, app.watchList);
}

bool ReadIni(App& app, AppSettings& s, std::vector<WatchEntry>& watchList,
             std::pair<FileIdentity, FileIdentity>* identities) {
    std::string error;
    if (!app.iniStore.read(s, watchList, identities, error)) {
        app.logError("CommonModule", "ReadIni", error, true);
        return false;
    }
    settlePassword(app, s);
    // Keys after a gap (or not starting at 0) are never read: said once, as
    // a hand edit may have meant them.
    const long unreached = app.iniStore.unreachedKey();
    if (unreached >= 0 && app.warnedOnce.first(Warning::WatchListGap,
                                               s.WatchListFile + ":" + std::to_string(unreached)))
        app.log.WriteLog(0, LogWarning, "CommonModule", "ReadIni",
                         s.WatchListFile + ": [CheckFolders] のキー " + std::to_string(unreached) +
                             " は読み込まれません。キーは 0 から欠けずに並べてください。 (key " +
                             std::to_string(unreached) +
                             " is never read: keys must run from 0 without a gap)");
    return true;
}

void readStoredSettings(const IniFile& ini, StoredSettings& s) {
    for (const SettingKey& key : settingKeys()) {
        std::optional<std::string> stored = ini.get(kInitSetting, key.name);
        if (key.kind != SettingKind::Password) {
            readSetting(key, s, stored);
            continue;
        }
        const std::string text = stored.value_or("");
        std::optional<std::string> plain = decipherStored(text);
        s.MailFromPass = plain.value_or("");
        s.MailFromPassUnreadable = plain || text.empty() ? std::string() : text;
    }
}

namespace {

// The watch-list text, handed to flush in pieces of whole lines as it is
// built (flush takes the piece and leaves buf empty); buf holds the rest.
template <class Flush>
void buildWatchList(const std::vector<WatchEntry>& list, std::string& buf, Flush flush) {
    constexpr size_t kPiece = 256 * 1024;
    buf = "[CheckFolders]\r\n";
    std::string mailTo = "[SendMailTo]\r\n", modes = "[FileChkMode]\r\n",
                lines = "[MailBdLines]\r\n";
    for (size_t n = 0; n < list.size(); ++n) {
        const WatchEntry& e = list[n];
        std::string key = std::to_string(n);
        buf += key + "=" + IniFile::quoteValue(text::singleLine(e.CheckFolder)) + "\r\n";
        mailTo += key + "=" + IniFile::quoteValue(text::singleLine(e.SendMailTo)) + "\r\n";
        modes += key + "=" + std::to_string(e.FileChkMode) + "\r\n";
        lines += key + "=" + IniFile::quoteValue(text::singleLine(e.MailBdLines)) + "\r\n";
    }
    buf += mailTo;
    buf += modes;
    buf += lines;
    buf += "[CheckFiles]\r\n";
    for (size_t n = 0; n < list.size(); ++n) {
        const std::string key = std::to_string(n) + "_";
        size_t m = 0;
        for (const CheckFile& f : list[n].CheckFiles) {
            if (text::hasLineBreak(f.Path()) || text::hasLineBreak(f.Date()))
                continue; // cannot be stored; the scan warns about such names
            const std::string item = std::to_string(m++);
            buf += key;
            buf += item;
            buf += "_path=";
            IniFile::appendQuoted(buf, f.Path());
            buf += "\r\n";
            buf += key;
            buf += item;
            buf += "_date=";
            IniFile::appendQuoted(buf, f.Date());
            buf += "\r\n";
            if (buf.size() >= kPiece)
                flush(buf);
        }
    }
}

} // namespace

ListEncoding watchListEncoding(const std::vector<WatchEntry>& list, bool keepUtf8) {
    // Pieces are whole lines, so each piece decides for its part.
    bool utf8 = keepUtf8, cp932 = true;
    std::string buf, piece;
    auto look = [&](std::string& text) {
        utf8 = utf8 && text::isValidUtf8(text);
        cp932 = cp932 && text::toCp932(text, piece);
        text.clear();
    };
    buildWatchList(list, buf, look);
    look(buf);
    return utf8 ? ListEncoding::Utf8 : cp932 ? ListEncoding::Cp932 : ListEncoding::Utf8Bom;
}

void watchListBytes(const std::vector<WatchEntry>& list, ListEncoding encoding,
                    const std::function<void(std::string_view)>& put) {
    std::string buf, piece;
    if (encoding == ListEncoding::Utf8Bom)
        put("\xEF\xBB\xBF");
    auto flush = [&](std::string& text) {
        if (encoding == ListEncoding::Cp932 && text::toCp932(text, piece))
            put(piece);
        else
            put(text);
        text.clear();
    };
    buildWatchList(list, buf, flush);
    flush(buf);
}

bool readWatchListFile(const std::string& path, std::vector<WatchEntry>& list, std::string& error) {
    WatchListRead read;
    if (!readWatchList(path, read, error))
        return false;
    list = std::move(read.list);
    return true;
}

std::string watchListText(const std::vector<WatchEntry>& list) {
    std::string out;
    buildWatchList(list, out, [](std::string&) {});
    return out;
}

bool WriteIni(App& app) {
    return WriteIni(app, app.settings, app.watchList);
}

namespace {

bool writeSettingsFile(App& app, const AppSettings& s, std::string& error) {
    IniFile ini;
    if (!ini.load(s.SettingsFile, error, true))
        return false;
    for (const SettingKey& key : settingKeys()) {
        if (key.kind != SettingKind::Password) {
            ini.set(kInitSetting, key.name, storedText(key, s));
            continue;
        }
        // A password from the credentials folder never lands in the file,
        // and one typed in by hand stays as typed until replaced.
        if (s.MailFromPassFromCredentials ||
            (s.MailFromPass.empty() && !s.MailFromPassUnreadable.empty()))
            continue;
        ini.set(kInitSetting, key.name,
                CryptString(s.MailFromPass, -1, kCipherKey1, kCipherKey2, kCipherKey3,
                            cipherReport(app)));
    }
    return ini.save(s.SettingsFile, kSettingsMode, error);
}

bool reportWrite(App& app, bool ok, const std::string& error, std::string* failure) {
    if (failure)
        *failure = ok ? std::string() : error;
    else if (!ok)
        app.logError("CommonModule", "WriteIni", error, false);
    return ok;
}

} // namespace

bool WriteSettings(App& app, const AppSettings& s, std::string* failure) {
    std::string error;
    const bool ok = writeSettingsFile(app, s, error);
    return reportWrite(app, ok, error, failure);
}

bool WriteIni(App& app, const AppSettings& s, const std::vector<WatchEntry>& watchList,
              std::string* failure) {
    std::string error;
    bool ok = writeSettingsFile(app, s, error);
    if (ok) {
        if (watchList.empty()) {
            if (::unlink(s.WatchListFile.c_str()) != 0 && errno != ENOENT) {
                error = s.WatchListFile + ": " + errnoText(errno);
                ok = false;
            }
        } else {
            ok = app.iniStore.writeList(s.WatchListFile, watchList, error);
        }
    }
    return reportWrite(app, ok, error, failure);
}

} // namespace kestrova
