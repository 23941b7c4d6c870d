// Helpers shared by the tests: a temporary folder removed afterwards, and
// whole-file reads and writes.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kestrova::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string operator/(std::string_view name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, std::string_view bytes);
bool exists(const std::string& path);
void removeTree(const std::string& path);

// Sets a file's modification time (seconds since the Unix epoch).
void setMtime(const std::string& path, long long unixSeconds);

} // namespace kestrova::test
