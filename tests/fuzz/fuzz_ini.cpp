// The INI reader: file bytes -> decodeFile -> IniFile::parse -> get, plus
// set() and text() written back and read again.
#include "check.h"
#include "core/IniFile.h"
#include "core/Text.h"

#include <string>
#include <vector>

using kestrova::IniFile;
namespace text = kestrova::text;

namespace {

// Section and key names as they appear in the text, to query what is there.
void namesIn(const std::string& utf8, std::vector<std::string>& sections,
             std::vector<std::string>& keys) {
    size_t pos = 0;
    while (pos < utf8.size() && sections.size() + keys.size() < 64) {
        size_t end = utf8.find_first_of("\r\n", pos);
        if (end == std::string::npos)
            end = utf8.size();
        const std::string line = text::trimBlanks(std::string_view(utf8).substr(pos, end - pos));
        if (line.size() >= 2 && line[0] == '[' && line.find(']') != std::string::npos)
            sections.push_back(text::trimBlanks(line.substr(1, line.find(']') - 1)));
        else if (const size_t eq = line.find('='); eq != std::string::npos)
            keys.push_back(text::trimBlanks(line.substr(0, eq)));
        pos = end + 1;
    }
}

bool plainName(const std::string& s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '_'))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string utf8 = text::decodeFile(bytes);
    if (!(bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF"))
        FUZZ_CHECK(text::isValidUtf8(utf8), "decodeFile gave invalid UTF-8");

    const IniFile ini = IniFile::parse(utf8);
    std::vector<std::string> sections{"Settings", "settings", ""}, keys{"Key", ""};
    namesIn(utf8, sections, keys);

    // Everything read back is cut to the limit, and writing the text out and
    // reading it again gives the same values.
    const IniFile again = IniFile::parse(ini.text());
    for (const std::string& s : sections)
        for (const std::string& k : keys) {
            const auto v = ini.get(s, k);
            if (v)
                FUZZ_CHECK(text::width(*v) <= IniFile::kMaxValueWidth, "width %d", text::width(*v));
            FUZZ_CHECK(again.get(s, k) == v, "value changed by text() for [%s] %s", s.c_str(),
                       k.c_str());
        }

    // A value stored with set() reads back unchanged (cut to the limit).
    IniFile edited = ini;
    const std::string value(utf8.substr(0, std::min<size_t>(utf8.find_first_of("\r\n"), 2000)));
    for (const std::string& s : sections) {
        if (!plainName(s))
            continue;
        for (const std::string& k : keys) {
            if (!plainName(k))
                continue;
            FUZZ_CHECK(edited.set(s, k, value), "set refused a one-line value");
            const std::string expected = value.size() <= IniFile::kMaxValueWidth
                                             ? value
                                             : text::headByWidth(value, IniFile::kMaxValueWidth);
            FUZZ_CHECK(edited.get(s, k) == expected, "set/get differ for [%s] %s", s.c_str(),
                       k.c_str());
            const IniFile reread = IniFile::parse(edited.text());
            FUZZ_CHECK(reread.get(s, k) == expected, "value lost by text() for [%s] %s", s.c_str(),
                       k.c_str());
            break;
        }
        break;
    }
    FUZZ_CHECK(!edited.set("S", "K", "a\nb"), "set accepted a line break");
    return 0;
}
