// Reading the watch-list file: the entries, and each entry's record read
// line by line from the file, never held whole in memory beside it.
#pragma once

#include "core/Settings.h"
#include "core/Text.h"

#include <string>
#include <vector>

namespace kestrova {

struct WatchListRead {
    std::vector<WatchEntry> list;
    // The first [CheckFolders] key the reading rule does not reach (a gap),
    // or -1.
    long unreached = -1;
    text::FileEncoding encoding = text::FileEncoding::Cp932;
};

// Reads the file as the INI rules read it (a missing file is an empty
// list); false with error set when it exists but cannot be read.
bool readWatchList(const std::string& path, WatchListRead& out, std::string& error);

} // namespace kestrova
