// Whole-file reads and crash-safe whole-file writes.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kestrova {

enum class ReadStatus { Ok, Missing, Failed };

// Reads the whole file. Missing means the path does not exist; Failed
// carries a description in error.
ReadStatus readWholeFile(const std::string& path, std::string& out, std::string& error);

// The file a symbolic link at path leads to, links followed; path itself
// when it is no link.
std::string linkTarget(const std::string& path);

// Writes bytes to a temporary file in the same folder, flushes it and
// renames it over path, so readers see either the old or the new file,
// never a part, and syncs the folder so the rename survives a power loss.
// On failure error describes what went wrong and the old file is untouched,
// unless only that sync failed (the new file is then in place). A new file
// gets mode; a file replaced keeps its owner (where permitted) and its
// mode, narrowed to keepUpTo (0: to mode). A symbolic link at path is
// followed and stays.
bool writeFileAtomic(const std::string& path, std::string_view bytes, mode_t mode,
                     std::string& error, mode_t keepUpTo = 0);

// The same with the bytes given a piece at a time: produce calls put with
// each piece (put returns false once a write failed), so a large file is
// never held whole in memory.
using PutBytes = std::function<bool(std::string_view)>;
bool writeFileAtomic(const std::string& path, mode_t mode, std::string& error,
                     const std::function<void(const PutBytes& put)>& produce);

// Compares a file with bytes given a piece at a time, as fileHolds does.
class FileComparison {
public:
    FileComparison(const std::string& path, mode_t mode);
    ~FileComparison();
    FileComparison(const FileComparison&) = delete;
    FileComparison& operator=(const FileComparison&) = delete;
    void add(std::string_view piece);
    // Whether the file holds exactly the pieces added.
    bool same();

private:
    int fd_ = -1;
    off_t size_ = 0;
    off_t done_ = 0;
    std::string buf_;
};

// Whether path is already a regular file of this user with exactly these
// bytes and no wider mode, so that writing it again would change nothing.
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

// The last name of a path, a folder's trailing "/" left aside ("" for "/").
std::string lastPathName(const std::string& path);

// The system's description of errno.
std::string errnoText(int err);

} // namespace kestrova
