// Loads the program's own libraries by name: the program folder first, then
// the normal library search path. A library stays loaded for the life of
// the process once found.
#pragma once

#include <string>

namespace kestrova {

// Returns the handle, or nullptr with error set.
void* loadLibrary(const std::string& programDir, const std::string& fileName, std::string& error);

// Looks up a symbol; nullptr with error set when it is missing.
void* librarySymbol(void* handle, const char* name, std::string& error);

} // namespace kestrova
