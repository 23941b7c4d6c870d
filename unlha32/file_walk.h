// Turns the targets of a command into the ordered list of archive entries.
#pragma once
#include "command_line.h"

#include <string>
#include <vector>

namespace unlha {

struct SourceEntry {
    std::string sourcePath; // where to read it
    std::string storedPath; // '/'-separated UTF-8 name inside the archive
    bool isFolder = false;
    unsigned mode = 0;   // st_mode as seen by the walk (folders)
    long long mtime = 0; // Unix time as seen by the walk (folders)
};

// A target "dir/*" (or another pattern with * or ? in its last component)
// means the matching files directly in dir; with recursion, matching folders
// are added with all their content. A folder target without a pattern is
// taken whole with recursion and as its direct files without. Symbolic links
// to files are followed; links to folders are skipped (they could loop).
// Sockets, devices and pipes are skipped. Throws FileError for a missing
// target, an unreadable folder, an unsafe name or two entries of one name.
std::vector<SourceEntry> collectEntries(const Command& cmd);

} // namespace unlha
