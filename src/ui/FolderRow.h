// The text of one row of the watch list as the main window shows it.
#pragma once

#include <string>

namespace kestrova {

struct WatchEntry;

// Path column: the path, shortened to 35 + "..." + 54 CP932 bytes when
// longer than 90, filled with blanks to 92 bytes; then "(通知:" events ":"
// recipient ")".
std::string FolderRowText(const WatchEntry& entry);

// The event text of a FileChkMode: "新規", "更新", "削除" or "通知無".
std::string NotifyEventText(int fileChkMode);

inline constexpr int kPathColumnWidth = 92;

} // namespace kestrova
