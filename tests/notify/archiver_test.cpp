// The archive step against the real libunlha32.so, judged by lhasa.
#include "core/Text.h"
#include "notify/Archiver.h"
#include "support/AppFixture.h"

#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace kestrova;
using kestrova::test::AppFixture;

namespace {

struct RunResult {
    int status = -1;
    std::string output;
};

// Runs a program (argv list, no shell) and collects its standard output.
RunResult run(const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    RunResult r;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
        r.output.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    if (rc != 0)
        return r;
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class Archive : public ::testing::Test {
protected:
    void SetUp() override {
        const char* appDir = std::getenv("KESTROVA_APP_DIR");
        ASSERT_NE(appDir, nullptr);
        f.app.programDir = appDir;
        d = f.dir / "D";
        ::mkdir(d.c_str(), 0755);
        test::writeFile(d + "/report.txt", "報告\nreport\n");
        ::mkdir((d + "/S").c_str(), 0755);
        ::mkdir((d + "/S/sub").c_str(), 0755);
        test::writeFile(d + "/S/a.txt", std::string(100000, 'a'));
        test::writeFile(d + "/S/日本語.txt", "名前");
        test::writeFile(d + "/S/sub/deep.txt", "deep");
    }
    // Extracts with lhasa (after its own check) into a fresh folder.
    std::string extract(const std::string& archive) {
        std::string out = f.dir / ("out" + std::to_string(++extractions));
        ::mkdir(out.c_str(), 0755);
        RunResult check = run({"lhasa", "t", archive});
        EXPECT_EQ(check.status, 0) << check.output;
        RunResult x = run({"lhasa", "xqw=" + out, archive});
        EXPECT_EQ(x.status, 0) << x.output;
        return out;
    }
    static std::string cp932(const std::string& utf8) {
        std::string out;
        EXPECT_TRUE(text::toCp932(utf8, out));
        return out;
    }
    int extractions = 0;
    AppFixture f{true};
    std::string d;
};

} // namespace

TEST(ArchiveNames, CommandLines) {
    EXPECT_EQ(lhaCommandLine("/p/Temp/report.lzh", "/h/D/report.txt", false, true),
              "-n1c1gm1  a \"/p/Temp/report.lzh\" \"/h/D/\" \"report.txt\"");
    EXPECT_EQ(lhaCommandLine("/p/Temp/S.lzh", "/h/D/S/", false, false),
              "-n1c1gm1  a \"/p/Temp/S.lzh\" \"/h/D/\" \"S/*\"");
    EXPECT_EQ(lhaCommandLine("/p/Temp/S.lzh", "/h/D/S/", true, false),
              "-r2x1d1n1c1gm1  a \"/p/Temp/S.lzh\" \"/h/D/\" \"S\"");
    // A parent that is the root keeps a single separator.
    EXPECT_EQ(lhaCommandLine("/p/Temp/x.lzh", "/x.txt", false, true),
              "-n1c1gm1  a \"/p/Temp/x.lzh\" \"/\" \"x.txt\"");
    // Quotes in a path are doubled, so no name can end an argument early.
    EXPECT_EQ(lhaCommandLine("/p/Temp/b.lzh", "/h/a\" \"b", false, true),
              "-n1c1gm1  a \"/p/Temp/b.lzh\" \"/h/\" \"a\"\" \"\"b\"");
}

TEST(ArchiveNames, ArchivePaths) {
    AppFixture f;
    const std::string t = f.app.settings.TempFolder + "/";
    EXPECT_EQ(lhaArchivePath(f.app, "/h/D/report.txt"), t + "report.lzh");
    EXPECT_EQ(lhaArchivePath(f.app, "/h/D/a.txt"), lhaArchivePath(f.app, "/h/D/a.log"));
    EXPECT_EQ(lhaArchivePath(f.app, "/h/D/c.tar.gz"), t + "c.tar.lzh");
    EXPECT_EQ(lhaArchivePath(f.app, "/h/D/S/"), t + "S.lzh");
    EXPECT_EQ(lhaArchivePath(f.app, "/h/D/v1.2/"), t + "v1.2.lzh");
    EXPECT_EQ(lhaArchivePath(f.app, "/h/D/.profile"), t + ".profile.lzh");
    EXPECT_EQ(lhaArchivePath(f.app, "/h/D/報告書.txt"), t + "報告書.lzh");
}

TEST_F(Archive, FileArchiveReplacesAnOldOne) {
    const std::string old = f.app.settings.TempFolder + "/report.lzh";
    test::writeFile(old, "not an archive");
    ASSERT_GE(GetUnlhaVersion(f.app), 0);

    EXPECT_EQ(GetLhaFile(f.app, d + "/report.txt", false), old);
    std::string out = extract(old);
    EXPECT_EQ(test::readFile(out + "/report.txt"), "報告\nreport\n");
    EXPECT_TRUE(f.logLines().empty());
    EXPECT_EQ(f.app.message.shown, 0);
}

TEST_F(Archive, FolderWithAndWithoutSubfolders) {
    const std::string archive = f.app.settings.TempFolder + "/S.lzh";
    EXPECT_EQ(GetLhaFile(f.app, d + "/S/", false), archive);
    // Direct files only, stored without the folder.
    std::string out = extract(archive);
    EXPECT_EQ(test::readFile(out + "/a.txt"), std::string(100000, 'a'));
    EXPECT_EQ(test::readFile(out + "/" + cp932("日本語.txt")), "名前");
    EXPECT_FALSE(test::exists(out + "/sub"));
    EXPECT_FALSE(test::exists(out + "/deep.txt"));

    // The whole tree below the base folder.
    EXPECT_EQ(GetLhaFile(f.app, d + "/S/", true), archive);
    out = extract(archive);
    EXPECT_EQ(test::readFile(out + "/S/a.txt"), std::string(100000, 'a'));
    EXPECT_EQ(test::readFile(out + "/S/" + cp932("日本語.txt")), "名前");
    EXPECT_EQ(test::readFile(out + "/S/sub/deep.txt"), "deep");
    EXPECT_TRUE(f.logLines().empty());
}

TEST_F(Archive, FailureShowsTheLibrarysMessage) {
    EXPECT_EQ(GetLhaFile(f.app, d + "/missing/", false), "");
    EXPECT_EQ(f.app.message.caption, "ファイル圧縮エラー");
    const std::string message = f.app.message.text;
    EXPECT_FALSE(message.empty());
    EXPECT_TRUE(text::isValidUtf8(message));
    EXPECT_EQ(f.app.message.shown, 1);
    auto lines = f.logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\tMsgForm\tGetLhaFile\t" + OperationLog::levelLabel(LogWarning) +
                            "\t" + text::replaceAll(message, "\r\n", "")),
              std::string::npos)
        << lines[0];
    EXPECT_FALSE(test::exists(f.app.settings.TempFolder + "/missing.lzh"));
    EXPECT_TRUE(f.boxes.empty());

    // ExecUnlha itself: the library's message without surrounding blanks,
    // or "" for an archive made.
    const std::string failed = ExecUnlha(f.app, "-n1c1gm1  a \"" + f.app.settings.TempFolder +
                                                    "/m.lzh\" \"" + d + "/\" \"missing\"");
    ASSERT_FALSE(failed.empty());
    EXPECT_EQ(failed, text::trimBlanks(failed));
    EXPECT_EQ(ExecUnlha(f.app, "-n1c1gm1  a \"" + f.app.settings.TempFolder + "/r.lzh\" \"" + d +
                                   "/\" \"report.txt\""),
              "");
}
