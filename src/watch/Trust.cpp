#include "watch/Trust.h"

namespace kestrova {

std::string_view fullScanName(FullScan why) {
    switch (why) {
    case FullScan::FirstScan:
        return "first scan";
    case FullScan::EntryChanged:
        return "entry changed";
    case FullScan::ChangeReported:
        return "change reported";
    case FullScan::PathMoved:
        return "path moved";
    case FullScan::WatchGone:
        return "watch gone";
    case FullScan::Overflow:
        return "event queue overflow";
    case FullScan::QueueUnreadable:
        return "event queue unreadable";
    case FullScan::MountTableChanged:
        return "mount table changed";
    case FullScan::RegularFullScan:
        return "regular full scan";
    case FullScan::NoEvents:
        return "no events";
    case FullScan::WatchLimit:
        return "watch limit";
    case FullScan::Unopened:
        return "folder not opened";
    case FullScan::MountBelow:
        return "mount below";
    case FullScan::OtherDevice:
        return "other device";
    case FullScan::LinkInside:
        return "link inside";
    case FullScan::ManyLinks:
        return "file with several links";
    case FullScan::OutsideFolder:
        return "recorded path outside the folder";
    case FullScan::KindMismatch:
        return "kind mismatch";
    }
    return "?";
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
