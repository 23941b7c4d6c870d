// Lasting conditions already reported in this run, so each is logged once
// rather than at every pass. A condition is a kind and what it concerns (a
// path, an error text); two kinds never share a key.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace kestrova {

enum class Warning {
    FolderUnlistable,   // a folder cannot be opened for listing
    ListingFailed,      // a listing broke off
    StatFailed,         // a path cannot be looked at
    NameUnstorable,     // a name holding a line break
    WatchedPathMissing, // a watched folder or file is not there
    EventsUnavailable,  // no inotify instance
    EventsUnreadable,   // the event queue cannot be read
    WatchLimit,         // fs.inotify.max_user_watches reached
    TempFolder,         // the Temp folder is not a folder, or was made again
    PassLock,           // a pass lock cannot be taken
    PendingRecords,     // the pending records cannot be kept aside
    DesktopNotifications,
    PasswordInClear,
    NotRegularFile,
    CredentialUnreadable,
    PasswordUnreadable,
    WatchListGap, // keys of [CheckFolders] after a gap
};

class WarnedOnce {
public:
    // True the first time (kind, about) is asked in this run.
    bool first(Warning kind, std::string_view about = {}) {
        return seen_.emplace(kind, std::string(about)).second;
    }
    // Reported again when it comes back.
    void forget(Warning kind, std::string_view about) { seen_.erase({kind, std::string(about)}); }

private:
    std::set<std::pair<Warning, std::string>> seen_;
};

} // namespace kestrova
