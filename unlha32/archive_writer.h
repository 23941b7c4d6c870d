// Writes the archive for a parsed command: all entries into a temporary
// file beside the archive, renamed into place only when everything worked.
#pragma once
#include "command_line.h"

namespace unlha {

// Throws FileError (or CommandError) with a readable message; on any failure
// no file is left at the archive path or beside it.
void writeArchive(const Command& cmd);

} // namespace unlha
