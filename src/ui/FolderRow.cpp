#include "ui/FolderRow.h"

#include "core/Settings.h"
#include "core/Text.h"

namespace kestrova {

namespace {

constexpr int kLongestWhole = 90;
constexpr int kHeadWidth = 35;
constexpr int kTailWidth = 54;

} // namespace

std::string NotifyEventText(int fileChkMode) {
    std::string events;
    if (fileChkMode & NotifyNew)
        events += "新規";
    if (fileChkMode & NotifyUpdate)
        events += "更新";
    if (fileChkMode & NotifyDelete)
        events += "削除";
    return events.empty() ? "通知無" : events;
}

std::string FolderRowText(const WatchEntry& entry) {
    std::string column = entry.CheckFolder;
    if (text::width(column) > kLongestWhole) {
        // A cut inside a double-byte character drops that character; the
        // blank fill below makes up the missing byte.
        column =
            text::headByWidth(column, kHeadWidth) + "..." + text::tailByWidth(column, kTailWidth);
    }
    int fill = kPathColumnWidth - text::width(column);
    if (fill > 0)
        column.append(static_cast<size_t>(fill), ' ');
    return column + "(通知:" + NotifyEventText(entry.FileChkMode) + ":" + entry.SendMailTo + ")";
}

} // namespace kestrova
