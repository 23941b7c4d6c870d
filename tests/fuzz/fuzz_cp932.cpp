// Code page 932 and widths: fromCp932 / toCp932 / width / charWidth /
// headByWidth / tailByWidth / decodeWatchedText on arbitrary bytes.
#include "check.h"
#include "core/Text.h"

#include <string>

namespace text = kestrova::text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // First byte: the width limit; the rest: the bytes.
    const int limit = static_cast<int>(data[0]) - 8;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    // Reading CP932 never fails and always gives UTF-8; CP932 written from it
    // reads back the same (duplicate codes may change, the characters not).
    const std::string utf8 = text::fromCp932(bytes);
    FUZZ_CHECK(text::isValidUtf8(utf8), "fromCp932 gave invalid UTF-8");
    std::string cp;
    if (text::toCp932(utf8, cp)) {
        FUZZ_CHECK(text::fromCp932(cp) == utf8, "CP932 round trip changed the text");
        FUZZ_CHECK(text::width(utf8) == static_cast<int>(cp.size()),
                   "width %d differs from the CP932 size %zu", text::width(utf8), cp.size());
    }

    // Text written as CP932 reads back unchanged, its width being its size.
    if (text::isValidUtf8(bytes) && text::toCp932(bytes, cp)) {
        FUZZ_CHECK(text::fromCp932(cp) == bytes, "CP932 changed the text");
        FUZZ_CHECK(text::width(bytes) == static_cast<int>(cp.size()),
                   "width %d differs from the CP932 size %zu", text::width(bytes), cp.size());
        FUZZ_CHECK(text::decodeFile(text::encodeFile(bytes)) == bytes, "file round trip");
    }

    // The width helpers on the decoded text and on the raw bytes (which may be
    // invalid UTF-8).
    for (const std::string_view s : {std::string_view(utf8), bytes}) {
        const int total = text::width(s);
        FUZZ_CHECK(total >= 0 && static_cast<size_t>(total) <= s.size(), "width %d", total);
        int sum = 0;
        for (size_t pos = 0; pos < s.size();) {
            const size_t before = pos;
            sum += text::charWidth(text::nextCodePoint(s, pos));
            FUZZ_CHECK(pos > before && pos <= s.size(), "nextCodePoint did not advance");
        }
        FUZZ_CHECK(sum == total, "width %d, sum of characters %d", total, sum);

        const std::string head = text::headByWidth(s, limit);
        FUZZ_CHECK(s.substr(0, head.size()) == head, "head is not a prefix");
        FUZZ_CHECK(text::width(head) <= std::max(limit, 0), "head width %d > %d", text::width(head),
                   limit);
        if (head.size() < s.size()) {
            // Longest: the next character does not fit.
            size_t pos = head.size();
            FUZZ_CHECK(text::width(head) + text::charWidth(text::nextCodePoint(s, pos)) > limit,
                       "head could be longer");
        }
        if (text::isValidUtf8(s))
            FUZZ_CHECK(text::isValidUtf8(head), "head splits a character");

        const std::string tail = text::tailByWidth(s, limit);
        FUZZ_CHECK(tail.size() <= s.size() && s.substr(s.size() - tail.size()) == tail,
                   "tail is not a suffix");
        FUZZ_CHECK(text::width(tail) <= std::max(limit, 0), "tail width %d > %d", text::width(tail),
                   limit);
        if (text::isValidUtf8(s))
            FUZZ_CHECK(text::isValidUtf8(tail), "tail splits a character");
        if (limit >= total)
            FUZZ_CHECK(head == s && tail == s, "text within the limit was cut");
    }

    // A watched text file is decoded to UTF-8, except that a UTF-8 mark is
    // trusted (what follows is passed on as it is).
    const std::string watched = text::decodeWatchedText(bytes);
    if (!(bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF"))
        FUZZ_CHECK(text::isValidUtf8(watched), "decodeWatchedText gave invalid UTF-8");
    return 0;
}
