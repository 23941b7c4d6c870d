// Parses archiver command lines such as
//   -r2x1d1n1c1gm1  a "/tmp/Temp/S.lzh" "/home/u/D/" "S"
#pragma once
#include <string>
#include <vector>

namespace unlha {

struct Command {
    bool recurse = false;       // r1/r2: descend into subfolders
    bool keepPaths = false;     // x1: store paths relative to the base folder
    bool folderEntries = false; // d1: store folders as entries of their own
    std::string archive;
    std::string baseFolder; // empty: targets are taken as they stand
    std::vector<std::string> targets;
};

// Throws CommandError with a readable message for anything not understood.
Command parseCommandLine(const std::string& line);

} // namespace unlha
