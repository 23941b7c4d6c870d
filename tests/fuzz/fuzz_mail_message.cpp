// GetMailMessage: the lines of a watched text file used as mail body, read
// from a real file holding the fuzz input, for a few line counts.
#include "check.h"
#include "core/Text.h"
#include "notify/Notifier.h"
#include "support/AppFixture.h"

#include <climits>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> crlfLines(const std::string& body) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < body.size()) {
        const size_t end = body.find("\r\n", pos);
        FUZZ_CHECK(end != std::string::npos, "body does not end with CR LF");
        lines.push_back(body.substr(pos, end - pos));
        FUZZ_CHECK(lines.back().find_first_of("\r\n") == std::string::npos, "line break in a line");
        pos = end + 2;
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static kestrova::test::AppFixture fixture(false);
    static const std::string path = fixture.dir / "watched.txt";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const bool utf8Mark = bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF";

    for (const std::int32_t count : {0, 1, 2, 7, -1, -3, INT32_MAX, INT32_MIN}) {
        const std::string body = kestrova::GetMailMessage(fixture.app, path, count);
        if (count == 0)
            FUZZ_CHECK(body.empty(), "count 0 gave lines");
        if (!utf8Mark)
            FUZZ_CHECK(kestrova::text::isValidUtf8(body), "body is not UTF-8");
        const std::vector<std::string> lines = crlfLines(body);
        if (count > 0) {
            FUZZ_CHECK(lines.size() <= static_cast<size_t>(count), "%zu lines for %d", lines.size(),
                       count);
            FUZZ_CHECK(lines.empty() || !lines.front().empty(), "starts with an empty line");
        } else if (count < 0) {
            size_t upToLastText = lines.size();
            while (upToLastText > 0 && lines[upToLastText - 1].empty())
                --upToLastText;
            FUZZ_CHECK(upToLastText <= static_cast<size_t>(-static_cast<std::int64_t>(count)),
                       "%zu lines for %d", upToLastText, count);
        }
    }
    FUZZ_CHECK(kestrova::GetMailMessage(fixture.app, fixture.dir / "missing.txt", 5).empty(),
               "a missing file gave lines");
    return 0;
}
