// The one rule on whether the kernel's change events can stand in for the
// scan of a watch entry. The change sources report what happened (events,
// the mount table) and the scan what it saw; which of that makes an entry
// scanned in full, and which file systems and mounts events cover, is
// decided here.
#pragma once

#include "watch/Scanner.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova {

// Why an entry is scanned in full rather than skipped or looked at only for
// the names its events reported.
enum class FullScan : std::uint8_t {
    FirstScan,         // not yet scanned with its watches in place
    EntryChanged,      // another folder, mode or record than its last scan left
    ChangeReported,    // an event on a file entry, or on the entry's folder itself
    PathMoved,         // the entry's path names another folder than the one watched
    WatchGone,         // a watched folder was removed, moved away or unmounted
    Overflow,          // the kernel's event queue overflowed
    QueueUnreadable,   // the event queue could not be read
    MountTableChanged, // mounts send no event
    RegularFullScan,   // every entry is scanned in full now and then regardless
    NoEvents,          // no inotify, or a file system whose changes bypass it
    WatchLimit,        // a watch could not be added
    Unopened,          // the folder could not be opened: nothing to watch
    MountBelow,        // something is mounted on an item of the entry (or one level in)
    OtherDevice,       // an item on another file system
    LinkInside,        // a symbolic link, or an item the listing gave no type for
    ManyLinks,         // a file with more than one link changes through its others
    OutsideFolder,     // a recorded path outside the folder the entry's events cover
    KindMismatch,      // a file entry naming a folder
};

// Whether changes made on this machine to the file system holding path
// reach inotify.
bool eventsReported(const std::string& path);

// What the change source knows of an entry's watches at the end of a scan.
struct WatchFacts {
    bool eventsReported = false; // its folder is on a file system whose changes reach inotify
    bool watched = false;        // its own folder is watched
    bool mountBelow = false;     // the mount table shows a mount the entry's items depend on
};

// Whether events on the entry's folders report every change of it from now
// on, given what its scan saw: nullopt when they do, else why not.
std::optional<FullScan> distrust(const ScanTrace& trace, const WatchFacts& facts);

// How a pass treats one entry.
struct EntryPlan {
    bool scan = false;      // looked at this pass
    bool onlyNames = false; // only for the names its events reported
    bool onlyDue = false;   // whole only because the regular full scan is due
};
// whole: why the entry must be scanned in full (nullopt: its events hold).
// names: how many names its events reported; recordItems: its record's size.
EntryPlan planEntry(const std::optional<FullScan>& whole, bool fullDue, bool folderEntry,
                    std::size_t names, std::size_t recordItems);

// Whether a mount point lies where an entry depends on it: on an item of a
// folder entry, on a folder directly in one (whose time counts for the
// item), or on a file entry's file. folder is the entry's path as the mount
// table spells it (a folder entry's without its trailing "/").
bool mountMatters(std::string_view folder, bool folderEntry, std::string_view mountPoint);

} // namespace kestrova
