// Which file system a path lies on, read from the kernel's mount table
// without touching the path itself: a call on a network or user-space file
// system whose server stopped answering would block.
#pragma once

#include <string>
#include <vector>

namespace kestrova {

class MountTable {
public:
    // Reads /proc/self/mountinfo (or the given file, for tests).
    explicit MountTable(const std::string& file = "/proc/self/mountinfo");
    ~MountTable();
    MountTable(const MountTable&) = delete;
    MountTable& operator=(const MountTable&) = delete;

    // Reads the table again when the kernel flags it as changed since it
    // was last read; true when it did. Never blocks, and costs a poll when
    // nothing changed, so a pass can ask every time.
    bool refresh();

    struct Mount {
        std::string point; // as mounted, without a trailing "/" (except "/")
        std::string type;  // "ext4", "nfs4", "fuse.sshfs", ...
    };
    // The mount an absolute path lies on (the longest mount point that is a
    // prefix of it, by name); nullptr when the table could not be read.
    const Mount* mountOf(const std::string& path) const;

    // True when path lies on a file system whose calls may wait for a
    // server or a user-space daemon without end (NFS, SMB, FUSE, 9p, ...).
    // mountPoint, when given, receives the mount point.
    bool mayHang(const std::string& path, std::string* mountPoint = nullptr) const;

    static bool typeMayHang(const std::string& type);

    const std::vector<Mount>& mounts() const { return mounts_; }

private:
    void read();

    std::string file_;
    int changes_ = -1; // the file, open: the kernel flags a changed table on it
    std::vector<Mount> mounts_;
};

} // namespace kestrova
