// The settings and the watch list in memory, and the two INI files that
// hold them.
#pragma once

#include "core/FileIo.h"

#include <cstdint>
#include <string>
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

struct AppSettings {
    // Stored in section "InitSetting" of the settings file.
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

struct CheckFile {
    std::string Path;
    std::string Date; // the stored text form of the date-time
    bool operator==(const CheckFile&) const = default;
};

struct WatchEntry {
    std::string CheckFolder;
    std::string SendMailTo;
    std::int32_t FileChkMode = 0;
    std::string MailBdLines;
    std::vector<CheckFile> CheckFiles;
    bool operator==(const WatchEntry&) const = default;

    // A folder entry ends with "/"; that is the only test.
    bool isFolder() const { return !CheckFolder.empty() && CheckFolder.back() == '/'; }
    // True when changes go out by mail rather than to the message window.
    bool mailsTo() const { return !SendMailTo.empty() && SendMailTo != kMessageDisplay; }
};

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
bool WriteIni(App& app, const AppSettings& settings, const std::vector<WatchEntry>& list);

// Writes one value into a file (window placements), keeping everything else.
bool WriteIniValue(App& app, const std::string& section, const std::string& key,
                   const std::string& value, const std::string& file);

// The watch-list file text for a list (UTF-8, before encoding). Items whose
// path holds a line break cannot be stored and are left out.
std::string watchListText(const std::vector<WatchEntry>& list);

} // namespace kestrova
