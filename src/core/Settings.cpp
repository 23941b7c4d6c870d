#include "core/Settings.h"

#include "cipher/CryptString.h"
#include "core/App.h"
#include "core/FileIo.h"
#include "core/IniFile.h"
#include "core/Numeric.h"
#include "core/Text.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <functional>
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

std::string boolText(bool v) {
    return v ? "True" : "False";
}

// Values that cannot hold a line break: one stray break becomes a blank
// rather than a broken file.
std::string singleLine(std::string_view v) {
    std::string s(v);
    for (char& c : s)
        if (c == '\r' || c == '\n')
            c = ' ';
    return s;
}

// The fields of the settings file, copied into settings whose run-time
// fields stay as they are.
void copyStored(const AppSettings& from, AppSettings& to) {
    to.SmtpServer = from.SmtpServer;
    to.AuthMode = from.AuthMode;
    to.APopMode = from.APopMode;
    to.PopServer = from.PopServer;
    to.MailFromUser = from.MailFromUser;
    to.MailFromPass = from.MailFromPass;
    to.MailFromName = from.MailFromName;
    to.MailFromAddr = from.MailFromAddr;
    to.MailTitle = from.MailTitle;
    to.MailMsg = from.MailMsg;
    to.MailFListAdd = from.MailFListAdd;
    to.CheckSec = from.CheckSec;
    to.TlsTrustFile = from.TlsTrustFile;
    to.TlsFingerprint = from.TlsFingerprint;
    to.TlsRequired = from.TlsRequired;
    to.ScanMode = from.ScanMode;
    to.DesktopNotify = from.DesktopNotify;
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

void readStored(App& app, const IniFile& ini, AppSettings& s);
std::vector<WatchEntry> readList(const IniFile& list);

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
    if (!ini.load(file, error, true) || !ini.set(section, key, singleLine(value)) ||
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
        readStored(app, ini, s);
    if (listHit) {
        watchList = cache.list;
        return true;
    }
    watchList = readList(list);
    if (settled(listId, taken)) {
        cache.listValid = true;
        cache.listFile = s.WatchListFile;
        cache.listId = listId;
        cache.list = watchList;
    }
    if (!settingsHit && settled(settingsId, taken)) {
        cache.settingsValid = true;
        cache.settingsFile = s.SettingsFile;
        cache.settingsId = settingsId;
        copyStored(s, cache.stored);
    }
    return true;
}

namespace {

void readStored(App& app, const IniFile& ini, AppSettings& s) {
    auto get = [&](const char* key, const char* fallback = "") {
        return ini.get(kInitSetting, key, fallback);
    };
    s.SmtpServer = get("SmtpServer");
    s.AuthMode = get("AuthMode");
    if (s.AuthMode.empty())
        s.AuthMode = s.SmtpServer.empty() ? "POP before SMTP" : "SMTP AUTH LOGIN";
    s.APopMode = text::asciiLower(get("APopMode")) == "true";
    s.PopServer = get("PopServer");
    s.MailFromUser = get("MailFromUser");
    s.MailFromPass = CryptString(get("MailFromPass"), 0, kCipherKey1, kCipherKey2, kCipherKey3,
                                 cipherReport(app));
    s.MailTitle = get("MailTitle");
    if (s.MailTitle.empty())
        s.MailTitle = "ファイル更新通知";
    s.MailFromName = get("MailFromName");
    if (s.MailFromName.empty())
        s.MailFromName = "ケストロバ";
    s.MailFromAddr = get("MailFromAddr");
    s.MailMsg = get("MailMsg");
    if (s.MailMsg.empty())
        s.MailMsg = "監視中のファイルが更新されました。";
    s.MailMsg = text::replaceAll(s.MailMsg, "%r%", "\r\n");
    s.MailFListAdd = text::asciiLower(get("MailFListAdd", "true")) == "true";
    double sec = numericValue(get("CheckSec"));
    s.CheckSec = sec > 0 ? numberText(sec) : "10";
    s.TlsTrustFile = get("TlsTrustFile");
    s.TlsFingerprint = get("TlsFingerprint");
    s.TlsRequired = text::asciiLower(get("TlsRequired")) == "true";
    s.ScanMode = text::asciiLower(get("ScanMode", "auto")) == "poll" ? "poll" : "auto";
    s.DesktopNotify = text::asciiLower(get("DesktopNotify", "true")) == "true";
}

std::vector<WatchEntry> readList(const IniFile& list) {
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
        buf += key + "=" + IniFile::quoteValue(singleLine(e.CheckFolder)) + "\r\n";
        mailTo += key + "=" + IniFile::quoteValue(singleLine(e.SendMailTo)) + "\r\n";
        modes += key + "=" + std::to_string(e.FileChkMode) + "\r\n";
        lines += key + "=" + IniFile::quoteValue(singleLine(e.MailBdLines)) + "\r\n";
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
std::string watchListBytes(const std::vector<WatchEntry>& list) {
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
    const std::string bytes = watchListBytes(watchList);
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

bool WriteIni(App& app, const AppSettings& s, const std::vector<WatchEntry>& watchList) {
    IniFile ini;
    std::string error;
    bool ok = ini.load(s.SettingsFile, error, true);
    if (ok) {
        std::string msg = text::replaceAll(s.MailMsg, "\r\n", "%r%");
        msg = text::replaceAll(text::replaceAll(msg, "\r", "%r%"), "\n", "%r%");
        const std::pair<const char*, std::string> values[] = {
            {"SmtpServer", singleLine(s.SmtpServer)},
            {"AuthMode", singleLine(s.AuthMode)},
            {"APopMode", boolText(s.APopMode)},
            {"PopServer", singleLine(s.PopServer)},
            {"MailFromUser", singleLine(s.MailFromUser)},
            {"MailFromPass", CryptString(s.MailFromPass, -1, kCipherKey1, kCipherKey2, kCipherKey3,
                                         cipherReport(app))},
            {"MailFromName", singleLine(s.MailFromName)},
            {"MailFromAddr", singleLine(s.MailFromAddr)},
            {"MailTitle", singleLine(s.MailTitle)},
            {"MailMsg", msg},
            {"MailFListAdd", boolText(s.MailFListAdd)},
            {"CheckSec", singleLine(s.CheckSec)},
            {"TlsTrustFile", singleLine(s.TlsTrustFile)},
            {"TlsFingerprint", singleLine(s.TlsFingerprint)},
            {"TlsRequired", boolText(s.TlsRequired)},
            {"ScanMode", s.ScanMode == "poll" ? "poll" : "auto"},
            {"DesktopNotify", boolText(s.DesktopNotify)},
        };
        for (const auto& [key, value] : values)
            ini.set(kInitSetting, key, value);
        ok = ini.save(s.SettingsFile, kSettingsMode, error);
    }
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
    if (!ok)
        app.logError("CommonModule", "WriteIni", error, false);
    return ok;
}

} // namespace kestrova
