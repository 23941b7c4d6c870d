// INI files as the program keeps them: "[Section]" lines and "key=value"
// lines, sections and keys matched without regard to ASCII case, the first
// occurrence winning, blanks around keys and values trimmed. Text is held
// as UTF-8; files are CP932, or UTF-8 with a mark when CP932 cannot hold
// them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kestrova {

class IniFile {
public:
    // Longest value handed out, in CP932 bytes.
    static constexpr int kMaxValueWidth = 1023;

    IniFile() = default;

    // Parses decoded text (any of CR LF, LF or CR ends a line).
    static IniFile parse(std::string_view utf8);
    // The same, keeping the text it is given rather than a copy.
    static IniFile parseOwned(std::string utf8);

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
    // The same, appended to out.
    static void appendQuoted(std::string& out, std::string_view value);

private:
    // A line is a piece of text_ or, once set() has changed it, a string of
    // its own: no allocation per line when a large file is read.
    struct Line {
        size_t pos = 0;
        std::uint32_t len = 0;
        std::int32_t owned = -1; // index into owned_, or -1
        // For a "key=value" line: the line of its section header.
        std::uint32_t header = 0;
        bool firstKey = false;
    };
    // The first "key=value" line of a section and key, found by the hash of
    // the lower-case section and key.
    struct Key {
        std::uint64_t hash;
        std::uint32_t line;
    };
    struct Section {
        std::uint64_t hash;
        std::uint32_t header; // first occurrence
        std::uint32_t last;   // last line belonging to that occurrence
    };

    std::string_view line(size_t i) const;
    void addLine(std::string_view s);
    void index();
    // The first key line for section and key (file order), or -1.
    long find(std::string_view section, std::string_view key) const;
    const Section* findSection(std::string_view section) const;
    bool sameKey(const Key& a, const Key& b) const;

    std::string text_;
    std::vector<std::string> owned_;
    // The section asked for last and the header line found to match it:
    // a run of lookups in one section skips hashing and comparing its name
    // again. (So lookups on one IniFile must not run on two threads.)
    mutable std::string lastSection_;
    mutable std::uint64_t lastSectionHash_ = 0;
    mutable long lastHeader_ = -1;
    // The line found last: lookups in file order find the next one beside
    // it without touching the table.
    mutable long lastLine_ = -1;
    std::vector<Line> lines_;
    std::vector<Key> keys_;            // first occurrences, in file order
    std::vector<std::uint32_t> slots_; // open-addressing table: 1 + index into keys_, 0 = free
    std::vector<Section> sections_;    // in file order
};

} // namespace kestrova
