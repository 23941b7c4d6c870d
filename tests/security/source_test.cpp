// Nothing in the product starts a shell or another program: the sources of
// the program and of both libraries hold no system(), popen(), exec*(),
// fork(), posix_spawn(), QProcess and no shell path; only the scan helper
// starts a program, and that is the program itself. And what the settings
// code reads is documented: every key and section has its entry in
// kestrova.ini(5).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The text with comments blanked out (string literals are kept: a shell
// path hides there).
std::string withoutComments(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        if (s[i] == '"' || s[i] == '\'') {
            char q = s[i];
            out += s[i++];
            while (i < s.size() && s[i] != q) {
                if (s[i] == '\\' && i + 1 < s.size())
                    out += s[i++];
                out += s[i++];
            }
            if (i < s.size())
                out += s[i++];
        } else if (s.compare(i, 2, "//") == 0) {
            while (i < s.size() && s[i] != '\n')
                ++i;
        } else if (s.compare(i, 2, "/*") == 0) {
            size_t end = s.find("*/", i + 2);
            i = end == std::string::npos ? s.size() : end + 2;
            out += ' ';
        } else {
            out += s[i++];
        }
    }
    return out;
}

TEST(NoShell, ProductSourcesStartNoShellAndNoProgram) {
    const char* root = std::getenv("KESTROVA_SOURCE_DIR");
    ASSERT_TRUE(root && *root);
    const std::regex forbidden(
        R"((\bsystem\s*\()|(\bpopen\s*\()|(\bexec(l|lp|le|v|vp|vpe|ve)\s*\()|(\bfork\s*\()|)"
        R"((\bvfork\s*\()|(\bposix_spawnp?\s*\()|(\bQProcess\b)|(/bin/(ba|da|z|c|k)?sh\b)|)"
        R"(("sh")|(\bwordexp\b))");
    size_t files = 0;
    std::vector<std::string> hits;
    for (const char* part : {"src", "bsmtp", "unlha32"}) {
        for (const auto& entry : fs::recursive_directory_iterator(fs::path(root) / part)) {
            const std::string ext = entry.path().extension().string();
            if (!entry.is_regular_file() ||
                (ext != ".cpp" && ext != ".h" && ext != ".c" && ext != ".hpp"))
                continue;
            ++files;
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream buf;
            buf << in.rdbuf();
            const std::string code = withoutComments(buf.str());
            std::istringstream lines(code);
            std::string line;
            // The one program started is the program itself, as the helper
            // that scans a file system which may stop answering.
            const bool helper = entry.path().filename() == "ScanHelper.cpp";
            for (int n = 1; std::getline(lines, line); ++n) {
                if (line.find("scanHelperProgram =") != std::string::npos &&
                    line.find("scanHelperProgram = \"/proc/self/exe\";") == std::string::npos)
                    hits.push_back(entry.path().string() + ":" + std::to_string(n) + ": " + line);
                if (std::regex_search(line, forbidden) &&
                    !(helper &&
                      line.find("::posix_spawn(&pid, executable_.c_str()") != std::string::npos))
                    hits.push_back(entry.path().string() + ":" + std::to_string(n) + ": " + line);
            }
        }
    }
    EXPECT_GT(files, 50u);
    for (const std::string& h : hits)
        ADD_FAILURE() << h;
}

TEST(NoShell, TheCheckItselfFindsWhatItLooksFor) {
    const std::regex forbidden(R"(\bsystem\s*\(|\bpopen\s*\(|\bexecvp\s*\(|QProcess)");
    EXPECT_TRUE(std::regex_search(withoutComments("int x = std::system (\"ls\");"), forbidden));
    EXPECT_TRUE(std::regex_search(withoutComments("QProcess p;"), forbidden));
    EXPECT_FALSE(std::regex_search(withoutComments("// system(\"ls\")\nint y;"), forbidden));
    EXPECT_FALSE(std::regex_search(withoutComments("/* popen( */ int z;"), forbidden));
    EXPECT_FALSE(std::regex_search(withoutComments("filesystem(x)"), forbidden));
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buf;
    buf << in.rdbuf();
    return buf.str();
}

// The keys the settings code reads: the table of section InitSetting
// ({"Key", SettingKind...) and list.get("Section", ...) of the watch list.
void keysRead(const std::string& code, std::set<std::string>& keys,
              std::set<std::string>& sections) {
    const std::regex key(R"re(\{"([A-Z]\w+)",\s*K::)re"), section(R"(\.get\("([A-Z]\w+)\")");
    for (std::sregex_iterator it(code.begin(), code.end(), key), end; it != end; ++it)
        keys.insert((*it)[1]);
    for (std::sregex_iterator it(code.begin(), code.end(), section), end; it != end; ++it)
        sections.insert((*it)[1]);
}

TEST(Documented, EveryKeyTheSettingsReadHasItsEntryInTheManualPage) {
    const char* root = std::getenv("KESTROVA_SOURCE_DIR");
    ASSERT_TRUE(root && *root);
    std::set<std::string> keys, sections;
    keysRead(withoutComments(readText(fs::path(root) / "src/core/Settings.cpp") +
                             readText(fs::path(root) / "src/core/SettingKeys.cpp") +
                             readText(fs::path(root) / "src/core/WatchListReader.cpp")),
             keys, sections);
    const std::string page = readText(fs::path(root) / "data/kestrova.ini.5");
    ASSERT_FALSE(page.empty());
    // 16 keys of InitSetting and the five watch-list sections at least; a
    // change in how Settings.cpp reads them must change this test too.
    EXPECT_GE(keys.size(), 16u);
    EXPECT_EQ(sections.size(), 5u);
    for (const std::string& k : keys)
        EXPECT_NE(page.find("\n.TP\n.B " + k + "\n"), std::string::npos)
            << k << " has no entry in data/kestrova.ini.5";
    for (const std::string& s : sections)
        EXPECT_NE(page.find("\n.SS [" + s + "]\n"), std::string::npos)
            << "[" << s << "] has no section in data/kestrova.ini.5";
    const std::string one = readText(fs::path(root) / "data/kestrova.1");
    EXPECT_NE(one.find(".BR kestrova.ini (5)"), std::string::npos);
}

TEST(Documented, TheKeyCheckFindsWhatItLooksFor) {
    std::set<std::string> keys, sections;
    keysRead(withoutComments("{\"SmtpServer\", K::Text,\nx = list.get(\"CheckFolders\", n);\n"
                             "// {\"Commented\", K::Text\n"),
             keys, sections);
    EXPECT_EQ(keys, std::set<std::string>{"SmtpServer"});
    EXPECT_EQ(sections, std::set<std::string>{"CheckFolders"});
}

} // namespace
