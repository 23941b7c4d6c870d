// Folder scan and change detection: the item rule and the scan of every
// watch entry against its record.
#pragma once

#include "core/DateTime.h"
#include "core/Settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrova {

struct App;

// The latest modification time of a folder and its direct contents, or a
// file's time, in local time; 0 when the path does not exist.
DateTime GetFileDate(App& app, const std::string& path);

// The text a new record holds for path's date (an instant, with its UTC
// offset).
std::string recordDateOf(App& app, const std::string& path);

// The item rule for one recorded item: updates date in place and returns
// one change line ("追加", "更新" or "削除" ... CR LF) or "". date is in
// local time.
std::string UpdateCheckFile(App& app, std::int16_t flags, const std::string& path, DateTime& date);

// What the scan of one entry saw that decides whether the kernel's change
// events can stand in for the next scan of it.
struct ScanTrace {
    bool scanned = false;
    // Something events on the entry's folders would not report: a symbolic
    // link (its target changes elsewhere), a file with more than one link,
    // a mount point, a recorded path outside the folder, a folder entry
    // naming a file or a file entry naming a folder.
    bool blind = false;
    // The subfolders of a folder entry, then their own direct subfolders
    // (whose times count for the subfolder's date).
    std::vector<std::string> folders;
    std::vector<std::string> nested;
};

// What the kernel's events said about a folder entry since its last scan,
// when they can stand in for a look at the rest: the names directly in the
// folder that changed (an item, or a subfolder whose contents changed).
// Only those are looked at; every other item is as its record says.
struct ScanHint {
    bool partial = false;
    std::vector<std::string> names;
};

// Scans every selected entry of app.watchList against its record, replacing
// the records in memory. updateLists receives one list per entry (indexed
// like the watch list). Returns false when the pass must end (logged).
bool scanWatchList(App& app, std::vector<std::string>& updateLists);
// The same over another list (a check pass scans its own copy). replaced,
// when given, receives the previous record of every entry whose record
// changed (indexed like the list). only, when given, limits the scan to
// the entries marked true (the others keep their record and report
// nothing); traces, when given, receives what each scanned entry showed;
// hints, when given, limits the scan of a folder entry to the names its
// hint holds.
bool scanWatchList(App& app, std::vector<WatchEntry>& list, std::vector<std::string>& updateLists,
                   std::vector<std::optional<CheckFileList>>* replaced = nullptr,
                   const std::vector<bool>* only = nullptr,
                   std::vector<ScanTrace>* traces = nullptr,
                   const std::vector<ScanHint>* hints = nullptr);

} // namespace kestrova
