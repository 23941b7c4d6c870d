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

// What the scan of one entry saw that events on its folders would not
// report. Facts only: whether events can stand in for the next scan is
// decided in watch/Trust.h.
struct ScanTrace {
    bool scanned = false;
    bool unopened = false;     // the folder could not be opened or looked at
    bool links = false;        // a symbolic link, or an item the listing gave no type for
    bool manyLinks = false;    // a file with more than one link
    bool otherDevice = false;  // an item on another file system (a mount point)
    bool outside = false;      // a recorded path not directly in the folder (or not the file)
    bool kindMismatch = false; // a file entry naming a folder
    // The subfolders of a folder entry, then their own direct subfolders
    // (whose times count for the subfolder's date).
    std::vector<std::string> folders;
    std::vector<std::string> nested;
};

// How one entry is scanned.
struct EntryScan {
    bool scan = true;
    // When set, a folder entry is looked at only for these names directly
    // in it (items, or subfolders whose contents changed); every other
    // item is as its record says. The lines, their order and the record
    // are those a whole scan gives when only these changed.
    std::optional<std::vector<std::string>> only;
};

struct ScanRequest {
    // Indexed like the list; entries past its end are scanned whole.
    std::vector<EntryScan> entries;
    bool trace = false; // fill ScanResult::traces
};

struct ScanResult {
    // One change list per entry (indexed like the list).
    std::vector<std::string> updateLists;
    // The previous record of every entry whose record changed.
    std::vector<std::optional<CheckFileList>> replaced;
    // What each scanned entry showed, when traced.
    std::vector<ScanTrace> traces;
};

// Scans the entries of list this run watches, as request says, against
// their records, replacing the records in list. Returns false when the
// pass must end (logged); list is then as it was.
bool scanWatchList(App& app, std::vector<WatchEntry>& list, const ScanRequest& request,
                   ScanResult& result);
// Every entry whole, untraced.
bool scanWatchList(App& app, std::vector<WatchEntry>& list, std::vector<std::string>& updateLists);
// The same over app.watchList.
bool scanWatchList(App& app, std::vector<std::string>& updateLists);

} // namespace kestrova
