// The settings and the watch list in memory, and the two INI files that
// hold them.
#pragma once

#include "core/CheckRecord.h"
#include "core/FileIo.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace kestrova {

struct App;

// FileChkMode flags.
enum FileChkModeBits : std::uint32_t {
    NotifyDelete = 0x1,
    NotifyUpdate = 0x2,
    NotifyNew = 0x4,
    BodyFromFile = 0x10,
    AttachFiles = 0x20,
    LhaArchive = 0x100,
    IncludeSubfolders = 0x800,
};

// The recipient that means "show the update message window".
inline constexpr const char* kMessageDisplay = "メッセージ表示";

// The keys of section "InitSetting" as they are held in memory. Each is
// described once (name, reading rule, stored form) in SettingKeys.h; the
// fields bear the keys' names.
struct StoredSettings {
    std::string SmtpServer;
    std::string AuthMode;
    bool APopMode = false;
    std::string PopServer;
    std::string MailFromUser;
    std::string MailFromPass; // plain in memory, enciphered in the file
    std::string MailFromName;
    std::string MailFromAddr;
    std::string MailTitle;
    std::string MailMsg; // line breaks as CR LF
    bool MailFListAdd = true;
    std::string CheckSec = "10";
    // TLS of the mail connections: extra trusted certificates (PEM; a
    // relative path is relative to the program folder), the SHA-256
    // fingerprint of a server certificate to accept, and whether mail and
    // POP logins must never go unencrypted.
    std::string TlsTrustFile;
    std::string TlsFingerprint;
    bool TlsRequired = false;
    // "auto": entries on local file systems are scanned when the kernel
    // reports a change (and fully every 10 minutes); "poll": every entry is
    // scanned at every pass.
    std::string ScanMode = "auto";
    // How long the scan of an entry on a network or user-space file system
    // may wait for it (CheckSec x 3 when that is longer) before the entry
    // is left out of the pass.
    std::string FsTimeoutSec = "30";
    // Every showing of the update message window is also sent to the
    // desktop's notification service.
    bool DesktopNotify = true;

    // Where the password came from, besides the key itself: the stored
    // text when it is no enciphered form (typed in by hand: never used,
    // never overwritten), and whether systemd's credentials folder gave it
    // (the key is then neither read nor written).
    std::string MailFromPassUnreadable;
    bool MailFromPassFromCredentials = false;

    bool operator==(const StoredSettings&) const = default;
};

struct AppSettings : StoredSettings {
    // Run-time fields, fixed by start-up.
    std::string SettingsFile;
    std::string WatchListFile;
    std::string TempFolder;
    std::string AppTitle;
    std::string MainCaption;
    std::string ComputerName;
    bool Interactive = true;
    bool StartVisible = true;
};

struct WatchEntry {
    std::string CheckFolder;
    std::string SendMailTo;
    std::int32_t FileChkMode = 0;
    std::string MailBdLines;
    CheckFileList CheckFiles;
    bool operator==(const WatchEntry&) const = default;

    // A folder entry ends with "/"; that is the only test.
    bool isFolder() const { return !CheckFolder.empty() && CheckFolder.back() == '/'; }
    // True when changes go out by mail rather than to the message window.
    bool mailsTo() const { return !SendMailTo.empty() && SendMailTo != kMessageDisplay; }
};

// A run without windows has nobody to show the message window to: it only
// looks at the entries that notify by mail.
inline bool watchedInThisRun(const AppSettings& settings, const WatchEntry& e) {
    return settings.Interactive || e.mailsTo();
}

// Section "InitSetting" and the watch-list sections.
inline constexpr const char* kInitSetting = "InitSetting";

// Reads one value of a file; the default when the key (or the file) is
// missing. A file that cannot be read is logged (with a message box when
// interactive) and gives "".
std::string GetIniValue(App& app, const std::string& section, const std::string& key,
                        const std::string& fallback, const std::string& file);

// Replaces the stored settings and the whole watch list from the two files.
// Returns false, logged, when a file cannot be read; memory is then left as
// it was, so a later write cannot store a half-read list.
bool ReadIni(App& app);
// The same into other objects (a check pass reads its own copy). The file
// names and run-time fields come from settings as given.
// identities, when given, receives what the two files were when they were
// read (a pass compares them at its commit).
bool ReadIni(App& app, AppSettings& settings, std::vector<WatchEntry>& list,
             std::pair<FileIdentity, FileIdentity>* identities = nullptr);

// Writes the stored settings and rewrites the watch-list file whole. Each
// file is replaced atomically; a failure is logged and leaves the previous
// file complete. Returns false on failure.
bool WriteIni(App& app);
// failure, when given, receives the reason instead of the log (a caller that
// retries says it once).
bool WriteIni(App& app, const AppSettings& settings, const std::vector<WatchEntry>& list,
              std::string* failure = nullptr);
// The settings file alone.
bool WriteSettings(App& app, const AppSettings& settings, std::string* failure = nullptr);

// Writes one value into a file (window placements), keeping everything else.
bool WriteIniValue(App& app, const std::string& section, const std::string& key,
                   const std::string& value, const std::string& file);

// Reads a file in the watch-list layout as ReadIni reads the watch list
// (without the cache); a missing file gives an empty list.
bool readWatchListFile(const std::string& path, std::vector<WatchEntry>& list, std::string& error);

// The reading and writing rules of the two files, for the store that keeps
// them (IniStore.h).
class IniFile;
inline constexpr mode_t kWatchListMode = 0644;
// The stored settings from a parsed settings file.
void readStoredSettings(const IniFile& ini, StoredSettings& s);
// How the watch-list file holds a list: CP932, or UTF-8 with the mark
// when CP932 cannot hold it (keepUtf8: UTF-8 without a mark when valid).
enum class ListEncoding { Cp932, Utf8, Utf8Bom };
ListEncoding watchListEncoding(const std::vector<WatchEntry>& list, bool keepUtf8);
// The file's bytes so encoded, handed to put a piece at a time: the text of
// a large record is never held whole.
void watchListBytes(const std::vector<WatchEntry>& list, ListEncoding encoding,
                    const std::function<void(std::string_view)>& put);

// The watch-list file text for a list (UTF-8, before encoding). Items whose
// path holds a line break cannot be stored and are left out.
std::string watchListText(const std::vector<WatchEntry>& list);

} // namespace kestrova
