// Nothing in the product starts a shell or another program: the sources of
// the program and of both libraries hold no system(), popen(), exec*(),
// fork(), posix_spawn(), QProcess and no shell path.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
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
            for (int n = 1; std::getline(lines, line); ++n)
                if (std::regex_search(line, forbidden))
                    hits.push_back(entry.path().string() + ":" + std::to_string(n) + ": " + line);
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

} // namespace
