// The edits of the watch list that the main window and the command line
// share, so both store exactly the same thing.
#pragma once

#include "core/Settings.h"

#include <cstdint>
#include <string>

namespace kestrova {

struct App;

// A new entry for path as adding it makes one: every event notified, 99999
// body lines, no recipient yet (shown and stored as the message window),
// and the first record: the file itself, or every item directly in the
// folder (files first, then folders), or {path, absent} when nothing is
// there. Throws when the folder cannot be listed.
WatchEntry newWatchEntry(App& app, const std::string& path);

// The watch-entry dialog's result applied to one entry: a folder entry
// never takes its file as mail body, a file entry never takes subfolders.
void applyEntrySettings(WatchEntry& entry, const std::string& mailTo, std::int32_t chkMode,
                        std::int32_t bodyLines);

// The option boxes' coupling as the dialog keeps it: subfolders only inside
// an archive, an archive only as an attachment, a folder only as an
// archive.
std::int32_t coupledAttachMode(std::int32_t mode, bool folder);

// Body lines as the dialog stores them: the number rounded, keeping the
// remainder of division by 1000000 with its sign. False when it does not
// fit 32 bits.
bool bodyLinesValue(double value, std::int32_t& out);

} // namespace kestrova
