// Stored names: CP932 (what Japanese Windows archivers expect), LZH path
// separators (0xFF after each folder component).
#pragma once
#include <cstdint>
#include <string>

namespace unlha {

struct StoredName {
    std::string directory; // "a\xFFb\xFF" for a/b/...
    std::string fileName;  // last component of a file; empty for a folder
    std::uint32_t codePage = 932;
};

// relativePath: '/'-separated UTF-8 path inside the archive, no "." or ".."
// components. A path that CP932 cannot represent (characters outside it, or
// bytes that are not UTF-8) is stored as its bytes unchanged and marked with
// code page 65001 (UTF-8), so that no entry is lost or renamed and readers
// that honour the code-page header restore the name exactly.
StoredName encodeName(const std::string& relativePath, bool isFolder);

} // namespace unlha
