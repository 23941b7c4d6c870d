// Failures carry the message that Unlha hands back to its caller.
#pragma once
#include <stdexcept>
#include <string>

namespace unlha {

// The command line itself is wrong.
class CommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A file, folder or the archive could not be used.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "<what>: <path> (<system reason>)", the reason taken from errno.
std::string describe(const std::string& what, const std::string& path, int err);

} // namespace unlha
