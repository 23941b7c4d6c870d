// The archiver's command-line parser: arbitrary lines either parse into a
// usable command or fail with CommandError; and a command written the way
// the caller writes it (every argument quoted) parses back to itself.
#include "check.h"
#include "command_line.h"
#include "errors.h"

#include <string>
#include <vector>

namespace {

void checkCommand(const unlha::Command& cmd) {
    FUZZ_CHECK(!cmd.archive.empty(), "no archive");
    FUZZ_CHECK(!cmd.targets.empty(), "no targets");
    for (const std::string& t : cmd.targets)
        FUZZ_CHECK(!t.empty(), "empty target");
}

// The caller's quoting: every quote doubled, the whole in quotes. Only a
// NUL cannot be carried.
bool quotable(const std::string& s) {
    return s.find('\0') == std::string::npos;
}
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    try {
        checkCommand(unlha::parseCommandLine(line));
    } catch (const unlha::CommandError&) {
    }

    // Fields separated by NUL: options, archive, base folder, targets.
    std::vector<std::string> fields;
    size_t start = 0;
    while (fields.size() < 8) {
        const size_t end = line.find('\0', start);
        fields.push_back(line.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (fields.size() < 4 || fields[1].empty() || !quotable(fields[1]))
        return 0;
    const unsigned bits = fields[0].empty() ? 0 : static_cast<unsigned char>(fields[0][0]);
    const int r = static_cast<int>(bits % 3), x = (bits >> 2) & 1, d = (bits >> 3) & 1;
    std::string cmdLine = "-r" + std::to_string(r) + "x" + std::to_string(x) + "d" +
                          std::to_string(d) + ((bits & 16) ? "n1c1gm1" : "") + " a " +
                          quoted(fields[1]);
    std::string base = fields[2];
    if (!base.empty()) {
        if (!quotable(base + "/"))
            return 0;
        if (base.back() != '/')
            base += '/';
        cmdLine += " " + quoted(base);
        while (base.size() > 1 && base.back() == '/')
            base.pop_back();
    }
    std::vector<std::string> targets;
    for (size_t i = 3; i < fields.size(); ++i) {
        if (fields[i].empty() || !quotable(fields[i]))
            return 0;
        targets.push_back(fields[i]);
        cmdLine += " " + quoted(fields[i]);
    }
    if (base.empty() && targets[0].back() == '/')
        return 0; // would name the base folder
    unlha::Command cmd;
    try {
        cmd = unlha::parseCommandLine(cmdLine);
    } catch (const unlha::CommandError& e) {
        FUZZ_CHECK(false, "refused: %s\nline: %s", e.what(), cmdLine.c_str());
    }
    FUZZ_CHECK(cmd.recurse == (r != 0) && cmd.keepPaths == (x == 1) &&
                   cmd.folderEntries == (d == 1),
               "options differ: %s", cmdLine.c_str());
    FUZZ_CHECK(cmd.archive == fields[1], "archive differs: %s", cmdLine.c_str());
    FUZZ_CHECK(cmd.baseFolder == base, "base folder differs: %s", cmdLine.c_str());
    FUZZ_CHECK(cmd.targets == targets, "targets differ: %s", cmdLine.c_str());
    return 0;
}
