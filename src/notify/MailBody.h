// The lines of a watched text file that a mail body takes: the first count
// lines from the first non-empty one (count > 0), or the last -count lines
// up to the last non-empty one and the empty lines after it (count < 0),
// each followed by CR LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrova {

struct App;

// Reads only what the lines need, chunkBytes at a time: from the start for
// a positive count, backwards from the end for a negative one, so memory
// stays bounded by the lines returned whatever the file's size. The text is
// decoded as a whole-file read would decode it (UTF-8 with or without mark,
// UTF-16 with mark, otherwise CP932); telling UTF-8 without mark from CP932
// takes one bounded pass over the file, made only when the lines found hold
// anything but ASCII. A path that is not a regular file (a named pipe, a
// device) gives "" with notRegular set, and is never read. Throws
// std::runtime_error when the file cannot be read.
std::string mailBodyLines(const std::string& path, std::int32_t count, bool& notRegular,
                          std::size_t chunkBytes = 65536);

// True when path is a regular file (after links). Anything else that exists
// and is no folder (a named pipe, a device) is logged as a warning once per
// run and path, under procedure.
bool regularFileOrWarn(App& app, const std::string& path, const char* procedure);

} // namespace kestrova
