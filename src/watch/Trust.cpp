#include "watch/Trust.h"

#include <sys/vfs.h>

namespace kestrova {

// File systems whose changes, made on this machine, reach inotify. Network
// and user-space file systems (NFS, SMB/CIFS, FUSE, 9p) change behind the
// kernel's back and are polled, as is anything not listed. So are stacked
// ones (overlayfs, eCryptfs): a change made in a lower folder directly
// sends no event through the upper one.
bool eventsReported(const std::string& path) {
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0xEF53UL:     // ext2, ext3, ext4
    case 0x58465342UL: // XFS
    case 0x9123683EUL: // Btrfs
    case 0x01021994UL: // tmpfs
    case 0x858458F6UL: // ramfs
    case 0xF2F52010UL: // F2FS
    case 0x2FC12FC1UL: // ZFS
    case 0x3153464AUL: // JFS
    case 0x52654973UL: // ReiserFS
    case 0x4D44UL:     // FAT
    case 0x2011BAB0UL: // exFAT
    case 0x7366746EUL: // NTFS (ntfs3)
    case 0x5346544EUL: // NTFS (ntfs-3g in the kernel)
    case 0xCAFE4A11UL: // bcachefs
        return true;
    default:
        return false;
    }
}

std::optional<FullScan> distrust(const ScanTrace& t, const WatchFacts& w) {
    if (t.unopened)
        return FullScan::Unopened;
    if (!w.eventsReported)
        return FullScan::NoEvents;
    if (!w.watched)
        return FullScan::WatchLimit;
    // Each of these changes where no watch on the entry's folders looks:
    // at a mount's or a link's other path, or on another file system.
    if (w.mountBelow)
        return FullScan::MountBelow;
    if (t.otherDevice)
        return FullScan::OtherDevice;
    if (t.links)
        return FullScan::LinkInside;
    if (t.manyLinks)
        return FullScan::ManyLinks;
    if (t.outside)
        return FullScan::OutsideFolder;
    if (t.kindMismatch)
        return FullScan::KindMismatch;
    return std::nullopt;
}

EntryPlan planEntry(const std::optional<FullScan>& whole, bool fullDue, bool folderEntry,
                    std::size_t names, std::size_t recordItems) {
    EntryPlan p;
    const bool full = fullDue || whole.has_value();
    p.onlyDue = fullDue && !whole;
    p.scan = full || names > 0;
    // Past half the record, a whole scan costs no more than the names.
    p.onlyNames = p.scan && !full && folderEntry && names * 2 <= recordItems + 64;
    return p;
}

bool mountMatters(std::string_view folder, bool folderEntry, std::string_view mountPoint) {
    if (!folderEntry)
        return mountPoint == folder;
    const std::string_view root = folder == "/" ? std::string_view{} : folder;
    if (mountPoint.size() <= root.size() + 1 || mountPoint.compare(0, root.size(), root) != 0 ||
        mountPoint[root.size()] != '/')
        return false;
    // An item, or a folder directly in an item: deeper mounts change no
    // time the scan reads.
    std::string_view rest = mountPoint.substr(root.size() + 1);
    const std::size_t slash = rest.find('/');
    return slash == std::string_view::npos || rest.find('/', slash + 1) == std::string_view::npos;
}

} // namespace kestrova
