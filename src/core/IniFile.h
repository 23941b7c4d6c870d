// INI files as the program keeps them: "[Section]" lines and "key=value"
// lines, sections and keys matched without regard to ASCII case, the first
// occurrence winning, blanks around keys and values trimmed. Text is held
// as UTF-8; files are CP932, or UTF-8 with a mark when CP932 cannot hold
// them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

namespace kestrova {

class IniFile {
public:
    // Longest value handed out, in CP932 bytes.
    static constexpr int kMaxValueWidth = 1023;

    IniFile() = default;

    // Parses decoded text (any of CR LF, LF or CR ends a line).
    static IniFile parse(std::string_view utf8);

    // Reads and parses a file; a missing file is an empty one. Returns
    // false with error set when the file exists but cannot be read.
    bool load(const std::string& path, std::string& error);

    // The stored value, cut to kMaxValueWidth, or nothing when the key is
    // missing.
    std::optional<std::string> get(std::string_view section, std::string_view key) const;
    std::string get(std::string_view section, std::string_view key,
                    std::string_view fallback) const;

    // Sets a value, creating the section when needed and keeping every
    // other line. A value holding a line break cannot be stored: false.
    bool set(std::string_view section, std::string_view key, std::string_view value);

    // The file text (lines ended by CR LF), UTF-8.
    std::string text() const;

    // Writes the file atomically, encoded for disk.
    bool save(const std::string& path, mode_t mode, std::string& error) const;

    // Quotes a value whose blanks at either end (or surrounding quotes)
    // would otherwise be lost when it is read back.
    static std::string quoteValue(std::string_view value);

private:
    void index();
    static std::string lookupKey(std::string_view section, std::string_view key);

    std::vector<std::string> lines_;
    // lower(section) + '\n' + lower(key) -> line holding it (first wins)
    std::unordered_map<std::string, size_t> keys_;
    // lower(section) -> {header line, last line belonging to it} of the first
    // occurrence of the section
    std::unordered_map<std::string, std::pair<size_t, size_t>> sections_;
};

} // namespace kestrova
