#include "core/Settings.h"

#include "cipher/CryptString.h"
#include "core/App.h"
#include "core/FileIo.h"
#include "core/IniFile.h"
#include "core/Numeric.h"
#include "core/SettingKeys.h"
#include "core/Text.h"

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

constexpr const char* kNone = "NONE";
constexpr mode_t kSettingsMode = 0600; // holds the enciphered password
constexpr mode_t kWatchListMode = 0644;

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

// The fields of the settings file, copied into settings whose run-time
// fields stay as they are.
void copyStored(const AppSettings& from, AppSettings& to) {
    static_cast<StoredSettings&>(to) = from;
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

long long realNowNs() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// File times advance in clock ticks, not nanoseconds: a file changed within
// a tick of the moment its identity was taken could change again with the
// same identity, so such an identity is not trusted for the cache.
bool settled(const FileIdentity& id, long long takenNs) {
    constexpr long long kTickNs = 100'000'000;
    return !id.exists || std::max(id.mtimeNs, id.ctimeNs) + kTickNs < takenNs;
}

std::size_t bytesHash(std::string_view bytes) {
    return std::hash<std::string_view>{}(bytes);
}

// The watch list WriteIni last wrote stands for the file when the file is
// still the one written and now a clock tick old (so its identity will tell
// any later edit), and its bytes are what was written: a pass after a
// change reads the file back, but does not parse it again.
bool adoptWritten(IniCache& cache, const std::string& file, const FileIdentity& id,
                  long long taken) {
    if (cache.writtenFile != file || !id.exists || !(id == cache.writtenId) ||
        !settled(id, taken) || cache.writtenList.empty())
        return false;
    std::string bytes, error;
    if (readWholeFile(file, bytes, error) != ReadStatus::Ok || bytes.size() != cache.writtenSize ||
        bytesHash(bytes) != cache.writtenHash)
        return false;
    cache.listValid = true;
    cache.listFile = file;
    cache.listId = id;
    cache.list = cache.writtenList;
    cache.writtenSettled = true;
    return true;
}

void readStored(const IniFile& ini, AppSettings& s);
std::vector<WatchEntry> readList(const IniFile& list, long& unreached);

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
    IniCache& cache = app.iniCache;
    const long long taken = realNowNs();
    const FileIdentity settingsId = fileIdentity(s.SettingsFile);
    const FileIdentity listId = fileIdentity(s.WatchListFile);
    if (identities)
        *identities = {settingsId, listId};
    const bool settingsHit = cache.settingsValid && cache.settingsFile == s.SettingsFile &&
                             cache.settingsId == settingsId;
    const bool listHit =
        (cache.listValid && cache.listFile == s.WatchListFile && cache.listId == listId) ||
        adoptWritten(cache, s.WatchListFile, listId, taken);
    if (!settingsHit)
        cache.settingsValid = false;
    if (!listHit) {
        cache.listValid = false;
        cache.list.clear(); // not held beside the new parse
    }
    IniFile ini, list;
    std::string error;
    if ((!settingsHit && !ini.load(s.SettingsFile, error)) ||
        (!listHit && !list.load(s.WatchListFile, error))) {
        app.logError("CommonModule", "ReadIni", error, true);
        return false;
    }
    if (settingsHit)
        copyStored(cache.stored, s);
    else
        readStored(ini, s);
    if (!settingsHit && settled(settingsId, taken)) {
        cache.settingsValid = true;
        cache.settingsFile = s.SettingsFile;
        cache.settingsId = settingsId;
        copyStored(s, cache.stored);
    }
    settlePassword(app, s);
    if (listHit) {
        watchList = cache.list;
    } else {
        watchList = readList(list, cache.listUnreached);
        // A file a Linux editor wrote (UTF-8 without a mark) is written back
        // the same way.
        cache.plainUtf8List =
            list.encoding() == text::FileEncoding::Utf8 ? s.WatchListFile : std::string();
        if (settled(listId, taken)) {
            cache.listValid = true;
            cache.listFile = s.WatchListFile;
            cache.listId = listId;
            cache.list = watchList;
        }
    }
    // Keys after a gap (or not starting at 0) are never read: said once, as
    // a hand edit may have meant them.
    if (cache.listUnreached >= 0 &&
        app.warnedOnce.first(Warning::WatchListGap,
                             s.WatchListFile + ":" + std::to_string(cache.listUnreached)))
        app.log.WriteLog(0, LogWarning, "CommonModule", "ReadIni",
                         s.WatchListFile + ": [CheckFolders] のキー " +
                             std::to_string(cache.listUnreached) +
                             " は読み込まれません。キーは 0 から欠けずに並べてください。 (key " +
                             std::to_string(cache.listUnreached) +
                             " is never read: keys must run from 0 without a gap)");
    return true;
}

namespace {

void readStored(const IniFile& ini, AppSettings& s) {
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

std::vector<WatchEntry> readList(const IniFile& list, long& unreached) {
    // Paths are read whole: Linux allows paths far longer than the value
    // limit, and a recorded path cut there would never be found again (a
    // deletion and an addition at every pass). Files from Windows never hold
    // such values, so for them nothing changes.
    std::vector<WatchEntry> entries;
    for (int n = 0;; ++n) {
        std::string v = list.get("CheckFolders", std::to_string(n), kNone, IniFile::kWholeValue);
        if (v == kNone)
            break;
        WatchEntry e;
        e.CheckFolder = std::move(v);
        entries.push_back(std::move(e));
    }
    // Three passes, one per section, as the file lays them out.
    for (size_t n = 0; n < entries.size(); ++n) {
        std::string v = list.get("SendMailTo", std::to_string(n), kNone);
        entries[n].SendMailTo = v == kNone ? "" : v;
    }
    for (size_t n = 0; n < entries.size(); ++n) {
        std::string v = list.get("FileChkMode", std::to_string(n), kNone);
        entries[n].FileChkMode =
            v == kNone ? 0 : static_cast<std::int32_t>(static_cast<std::int64_t>(numericValue(v)));
    }
    for (size_t n = 0; n < entries.size(); ++n) {
        std::string v = list.get("MailBdLines", std::to_string(n), kNone);
        entries[n].MailBdLines = v == kNone ? "" : v;
    }
    // Room for what the section can hold at most (two lines an item), so a
    // large record is not grown by copying; what is left over is returned.
    size_t room = list.lineCount("CheckFiles") / 2;
    for (size_t n = 0; n < entries.size(); ++n) {
        std::string prefix = std::to_string(n) + "_";
        std::vector<CheckFile> record;
        record.reserve(room);
        for (size_t m = 0;; ++m) {
            std::string key = prefix + std::to_string(m);
            std::string path = list.get("CheckFiles", key + "_path", kNone, IniFile::kWholeValue);
            std::string date = list.get("CheckFiles", key + "_date", kNone);
            if (path == kNone || date == kNone)
                break;
            record.push_back({std::move(path), std::move(date)});
        }
        room -= std::min(room, record.size());
        if (record.capacity() > record.size() + record.size() / 8 + 16)
            record.shrink_to_fit();
        entries[n].CheckFiles = std::move(record);
    }
    unreached = -1;
    for (const std::string& key : list.keys("CheckFolders")) {
        if (key.empty() || key.size() > 9 ||
            key.find_first_not_of("0123456789") != std::string::npos ||
            (key.size() > 1 && key[0] == '0'))
            continue;
        const long k = std::stol(key);
        if (k >= static_cast<long>(entries.size()) && (unreached < 0 || k < unreached) &&
            list.get("CheckFolders", key, kNone) != kNone)
            unreached = k;
    }
    return entries;
}

} // namespace

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
            if (text::hasLineBreak(f.Path) || text::hasLineBreak(f.Date))
                continue; // cannot be stored; the scan warns about such names
            const std::string item = std::to_string(m++);
            buf += key;
            buf += item;
            buf += "_path=";
            IniFile::appendQuoted(buf, f.Path);
            buf += "\r\n";
            buf += key;
            buf += item;
            buf += "_date=";
            IniFile::appendQuoted(buf, f.Date);
            buf += "\r\n";
            if (buf.size() >= kPiece)
                flush(buf);
        }
    }
}

// The watch-list file's bytes, encoded a piece at a time: the text of a
// large record is never held whole beside its bytes. A list CP932 cannot
// hold is written whole as UTF-8 with the mark, as any file is.
std::string watchListBytes(const std::vector<WatchEntry>& list, bool keepUtf8) {
    if (keepUtf8) {
        std::string text = watchListText(list);
        if (text::isValidUtf8(text))
            return text;
    }
    std::string out, piece, buf;
    bool cp932 = true;
    size_t items = 0;
    for (const WatchEntry& e : list)
        items += e.CheckFiles.size();
    auto flush = [&](std::string& text) {
        if (cp932 && text::toCp932(text, piece))
            out += piece;
        else
            cp932 = false;
        text.clear();
    };
    buildWatchList(list, buf, [&](std::string& text) {
        if (out.empty()) {
            // Sized from the first piece, two lines an item, with room for
            // the longer keys further on.
            const auto lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
            const size_t guess = text.size() * (2 * items + 16) / std::max<size_t>(1, lines);
            out.reserve(guess + guess / 8);
        }
        flush(text);
    });
    flush(buf);
    if (cp932)
        return out;
    return text::encodeFile(watchListText(list));
}

} // namespace

bool readWatchListFile(const std::string& path, std::vector<WatchEntry>& list, std::string& error) {
    IniFile ini;
    if (!ini.load(path, error))
        return false;
    long unreached = -1;
    list = readList(ini, unreached);
    return true;
}

std::string watchListText(const std::vector<WatchEntry>& list) {
    std::string out;
    buildWatchList(list, out, [](std::string&) {});
    return out;
}

namespace {

// Compared with what was last read or written here, not with the file: an
// unchanged identity means nobody wrote it since.
bool writeWatchList(App& app, const std::string& file, const std::vector<WatchEntry>& watchList,
                    std::string& error) {
    IniCache& cache = app.iniCache;
    const FileIdentity current = fileIdentity(file);
    // The file holds what the last read parsed, and the list is that.
    if (cache.listValid && cache.listFile == file && current.exists && current == cache.listId &&
        watchList == cache.list)
        return true;
    // The file is still what was written last, and the list is that.
    if (cache.writtenFile == file && current.exists && current == cache.writtenId &&
        (cache.writtenSettled || settled(current, realNowNs())) && watchList == cache.writtenList)
        return true;
    // The lists read and written last are not what the file will hold: let
    // them go before the bytes are made (a large record is then not held
    // twice).
    if (cache.listFile == file) {
        cache.listValid = false;
        cache.list.clear();
    }
    cache.writtenList.clear();
    const std::string bytes = watchListBytes(watchList, cache.plainUtf8List == file);
    const std::size_t hash = bytesHash(bytes);
    if (cache.writtenFile == file && cache.writtenSize == bytes.size() &&
        cache.writtenHash == hash && cache.writtenSettled && current.exists &&
        current == cache.writtenId) {
        cache.writtenList = watchList;
        return true;
    }
    cache.writtenFile.clear();
    if (!writeFileIfChanged(file, bytes, kWatchListMode, error))
        return false;
    const long long taken = realNowNs();
    cache.writtenFile = file;
    cache.writtenId = fileIdentity(file);
    cache.writtenSettled = settled(cache.writtenId, taken);
    cache.writtenHash = hash;
    cache.writtenSize = bytes.size();
    cache.writtenList = watchList;
    if (!(cache.listFile == file && cache.writtenId == cache.listId))
        cache.listValid = false; // read back (not parsed) at the next read
    return true;
}

} // namespace

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
            ok = writeWatchList(app, s.WatchListFile, watchList, error);
        }
    }
    return reportWrite(app, ok, error, failure);
}

} // namespace kestrova
