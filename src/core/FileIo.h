// Whole-file reads and crash-safe whole-file writes.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

namespace kestrova {

enum class ReadStatus { Ok, Missing, Failed };

// Reads the whole file. Missing means the path does not exist; Failed
// carries a description in error.
ReadStatus readWholeFile(const std::string& path, std::string& out, std::string& error);

// Writes bytes to a temporary file in the same folder, flushes it and
// renames it over path, so readers see either the old or the new file,
// never a part. On failure the old file is untouched and error describes
// what went wrong.
bool writeFileAtomic(const std::string& path, std::string_view bytes, mode_t mode,
                     std::string& error);

// Whether path is already a regular file of this user with exactly these
// bytes and this mode, so that writing it again would change nothing.
bool fileHolds(const std::string& path, std::string_view bytes, mode_t mode);

// writeFileAtomic, skipped when the file already holds the bytes: a check
// pass that changed nothing costs no write and no flush.
bool writeFileIfChanged(const std::string& path, std::string_view bytes, mode_t mode,
                        std::string& error);

// Writes all bytes to fd, retrying after interruptions.
bool writeAll(int fd, std::string_view bytes);

// What tells one version of a file from another without reading it:
// device, inode, size, and modification and change times to the
// nanosecond. A missing file has exists false.
struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long mtimeNs = 0;
    long long ctimeNs = 0;
    bool operator==(const FileIdentity&) const = default;
};
FileIdentity fileIdentity(const std::string& path);

// Folder part of a path ("" for a bare name), without trailing "/" except
// for the root.
std::string parentFolder(const std::string& path);

// The system's description of errno.
std::string errnoText(int err);

} // namespace kestrova
