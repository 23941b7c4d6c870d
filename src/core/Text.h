// Code page 932 (Shift-JIS) <-> UTF-8, widths in CP932 bytes, and the file
// text form: CP932 where it can hold the text, else UTF-8 with a byte-order
// mark. In memory every string is UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace kestrova::text {

// UTF-8 -> CP932 bytes. Returns false (and leaves out nothing: out is then
// unspecified) when a character has no CP932 form or the input is not UTF-8.
bool toCp932(std::string_view utf8, std::string& out);

// CP932 bytes -> UTF-8. Bytes that are not valid CP932 become U+FFFD, so
// reading never fails.
std::string fromCp932(std::string_view bytes);

// Width of a UTF-8 text in CP932 bytes: 1 for a single-byte character, 2 for
// a double-byte one; a character CP932 cannot hold counts its display width
// (2 for wide characters, else 1). Invalid UTF-8 bytes count 1 each.
int width(std::string_view utf8);

// Width of one code point as above.
int charWidth(char32_t cp);

// The longest prefix of utf8 whose width is at most maxWidth, never splitting
// a character.
std::string headByWidth(std::string_view utf8, int maxWidth);

// The longest suffix of utf8 whose width is at most maxWidth, never splitting
// a character.
std::string tailByWidth(std::string_view utf8, int maxWidth);

// How a file's bytes hold its text.
enum class FileEncoding {
    Cp932,   // Shift-JIS, the default
    Utf8Bom, // UTF-8 after a byte-order mark
    Utf8,    // UTF-8 without a mark, as Linux editors write it
};

// UTF-8 with a mark, or valid UTF-8 holding a non-ASCII character without
// one, is UTF-8; anything else is CP932.
FileEncoding detectEncoding(std::string_view bytes);

// Decodes a file's bytes as detectEncoding finds them; found, when given,
// receives the encoding.
std::string decodeFile(std::string_view bytes, FileEncoding* found = nullptr);

// Encodes text for a file: CP932 when it can hold every character, else the
// whole text as UTF-8 with a byte-order mark. keepUtf8: the file was read as
// UTF-8 without a mark and is written back the same way (when the text is
// valid UTF-8, so it reads back as it is).
std::string encodeFile(std::string_view utf8, bool keepUtf8 = false);

// Decodes a watched text file used as mail body: UTF-8 with or without mark,
// UTF-16 with mark, otherwise CP932.
std::string decodeWatchedText(std::string_view bytes);

// A file name as shown in mails, windows and the log: as it is when it is
// UTF-8, decoded as CP932 when every byte decodes so, otherwise with each
// byte that is no UTF-8 as \xNN.
std::string displayName(std::string_view bytes);

// True when the bytes are well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);

// Decodes one code point at pos (advancing pos); invalid bytes give
// U+FFFD and advance by one.
char32_t nextCodePoint(std::string_view utf8, size_t& pos);

void appendUtf8(std::string& out, char32_t cp);

// True when s holds a CR or LF (which no INI value or log line can keep).
bool hasLineBreak(std::string_view s);

// s with every CR and LF made a blank: a stray break in a value becomes a
// blank rather than a broken file.
std::string singleLine(std::string_view s);

// Replaces every occurrence of from with to.
std::string replaceAll(std::string_view s, std::string_view from, std::string_view to);

// ASCII lower-case copy.
std::string asciiLower(std::string_view s);

// Removes blanks (space, tab) at both ends.
std::string trimBlanks(std::string_view s);

} // namespace kestrova::text
