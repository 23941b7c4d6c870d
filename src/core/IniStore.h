// The two INI files of the program folder (settings and watch list) as read
// and written, with what was parsed from them and written to them last: a
// file whose identity is unchanged holds that, so it is neither parsed nor
// compared again (any edit changes the identity).
#pragma once

#include "core/FileIo.h"
#include "core/Settings.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestrova {

class IniStore {
public:
    // The stored settings into s (its run-time fields, file names among
    // them, as given) and the whole watch list into list. False with error
    // set when a file cannot be read; s and list are then as they were.
    // identities, when given, receives what the two files were when read.
    bool read(AppSettings& s, std::vector<WatchEntry>& list,
              std::pair<FileIdentity, FileIdentity>* identities, std::string& error);
    // The first [CheckFolders] key of the list last read that the reading
    // rule does not reach (a gap), or -1.
    long unreachedKey() const { return listUnreached_; }

    // Rewrites the watch-list file whole, unless it already holds list.
    bool writeList(const std::string& file, const std::vector<WatchEntry>& list,
                   std::string& error);

private:
    bool adoptWritten(const std::string& file, const FileIdentity& id, long long taken);

    bool settingsValid_ = false;
    std::string settingsFile_;
    FileIdentity settingsId_;
    StoredSettings stored_; // the stored fields as parsed

    bool listValid_ = false;
    std::string listFile_;
    FileIdentity listId_;
    std::vector<WatchEntry> list_;
    long listUnreached_ = -1;
    std::string plainUtf8List_; // the watch-list file last read as UTF-8 without a mark

    // The watch-list file as last written here, and the list written (its
    // records shared, not copied).
    std::string writtenFile_;
    FileIdentity writtenId_;
    bool writtenSettled_ = false; // writtenId_ taken a clock tick after the write
    std::uint64_t writtenHash_ = 0;
    std::size_t writtenSize_ = 0;
    std::vector<WatchEntry> writtenList_;
};

} // namespace kestrova
