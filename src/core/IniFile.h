// INI files as the program keeps them: "[Section]" lines and "key=value"
// lines, sections and keys matched without regard to ASCII case, the first
// occurrence winning, blanks around keys and values trimmed. Text is held
// as UTF-8; files are CP932, or UTF-8 with a mark when CP932 cannot hold
// them.
#pragma once

#include "core/Text.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
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
    // keepBytes: the file is to be written back, and every line that set()
    // does not change is written as the bytes it was read from (bytes CP932
    // cannot decode, or the second code of a character CP932 has twice,
    // would not survive decoding and encoding again).
    bool load(const std::string& path, std::string& error, bool keepBytes = false);

    // No cut: for values this program writes longer than a file from
    // Windows can hold them (paths deeper than the limit).
    static constexpr int kWholeValue = -1;

    // The stored value, cut to maxWidth (kWholeValue: not cut), or nothing
    // when the key is missing.
    std::optional<std::string> get(std::string_view section, std::string_view key,
                                   int maxWidth = kMaxValueWidth) const;
    std::string get(std::string_view section, std::string_view key, std::string_view fallback,
                    int maxWidth = kMaxValueWidth) const;

    // Sets a value, creating the section when needed and keeping every
    // other line; a value equal to the stored one leaves its line as it is.
    // A value holding a line break cannot be stored: false.
    bool set(std::string_view section, std::string_view key, std::string_view value);

    // How many lines follow the first header of a section up to its last
    // key line (0 when there is no such section): room enough for its keys.
    size_t lineCount(std::string_view section) const;

    // The file text (lines ended by CR LF), UTF-8.
    std::string text() const;

    // The file's bytes: for a CP932 file loaded with keepBytes, the lines
    // nobody changed as read and the others in CP932 (unless one of them
    // needs UTF-8); else the whole text encoded as encodeFile does.
    std::string bytes() const;

    // How the loaded file was encoded (CP932 for a new one); UTF-8 without a
    // mark is written back the same way.
    text::FileEncoding encoding() const { return encoding_; }

    // The keys of a section's first occurrence, in file order.
    std::vector<std::string> keys(std::string_view section) const;

    // Writes the file atomically, encoded for disk.
    bool save(const std::string& path, mode_t mode, std::string& error) const;

    // The reading rule of one line, for readers that go through a file line
    // by line: a section header's name, a key line's key and value (blanks
    // trimmed, surrounding quotes removed), and names compared as lookups
    // compare them.
    static bool headerName(std::string_view line, std::string_view& name);
    static bool keyLine(std::string_view line, std::string_view& key, std::string_view& value);
    static bool sameName(std::string_view a, std::string_view b);

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
        bool added = false; // inserted by set(), not read from the file
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
    // With keepBytes: the file's bytes and each line read, by its place
    // among the lines read (lines added by set() are not counted).
    std::string raw_;
    std::vector<std::pair<size_t, std::uint32_t>> rawLines_;
    bool keptBytes_ = false;
    text::FileEncoding encoding_ = text::FileEncoding::Cp932;
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
