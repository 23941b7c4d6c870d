// The archiver library judged by two independent extractors (lhasa and
// bsdtar): whatever it writes must come back byte for byte.
#include "unlha32.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iconv.h>
#include <map>
#include <random>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;
namespace fs = std::filesystem;

namespace {

using Tree = std::map<std::string, std::string>; // relative path -> content ("/" = folder)

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeAll(const fs::path& p, const std::string& data) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << data;
}

int run(const std::vector<std::string>& argv, const fs::path& cwd) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int err = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (err != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string toCp932(const std::string& utf8) {
    iconv_t cd = iconv_open("CP932", "UTF-8");
    std::string out(utf8.size() * 2, '\0');
    char* src = const_cast<char*>(utf8.data());
    char* dst = out.data();
    size_t inLeft = utf8.size(), outLeft = out.size();
    iconv(cd, &src, &inLeft, &dst, &outLeft);
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

Tree readTree(const fs::path& root) {
    Tree t;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string rel = fs::relative(e.path(), root).string();
        t[rel] = e.is_directory() ? "/" : readAll(e.path());
    }
    return t;
}

std::string pseudoText(size_t size, unsigned seed) {
    static const char* words[] = {"監視",  "file ",       "folder ",  "update ",  "the ",
                                  "mail ", "更新 ",       "archive ", "report\n", "of ",
                                  "and ",  "2024/01/01 ", "a "};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < size)
        s += words[rng() % (sizeof words / sizeof *words)];
    s.resize(size);
    return s;
}

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

class Unlha32Test : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/unlha32_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        base = dir / "D";
        fs::create_directories(base);
    }
    void TearDown() override {
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir, ec);
    }

    int archive(const std::string& options, const fs::path& lzh,
                const std::vector<std::string>& targets) {
        std::string line = options + "  a \"" + lzh.string() + "\" \"" + base.string() + "/\"";
        for (const auto& t : targets)
            line += " \"" + t + "\"";
        char out[256];
        std::memset(out, 'X', sizeof out);
        const int rc = Unlha(nullptr, line.c_str(), out, sizeof out);
        message = out;
        return rc;
    }

    // Extracts with both judges and checks the result against expected.
    void expectExtracts(const fs::path& lzh, const Tree& expected, const Tree& expectedLhasa) {
        const fs::path byLhasa = dir / "out-lhasa", byBsdtar = dir / "out-bsdtar";
        fs::remove_all(byLhasa);
        fs::remove_all(byBsdtar);
        fs::create_directories(byLhasa);
        fs::create_directories(byBsdtar);
        EXPECT_EQ(run({"lhasa", "t", lzh.string()}, dir), 0);
        ASSERT_EQ(run({"lhasa", "x", lzh.string()}, byLhasa), 0);
        ASSERT_EQ(run({"bsdtar", "-xf", lzh.string()}, byBsdtar), 0);
        EXPECT_EQ(readTree(byLhasa), expectedLhasa);
        EXPECT_EQ(readTree(byBsdtar), expected);
    }
    void expectExtracts(const fs::path& lzh, const Tree& expected) {
        expectExtracts(lzh, expected, expected);
    }

    // Nothing but the listed names may be left in the archive's folder.
    void expectNoArchiveIn(const fs::path& folder) {
        for (const auto& e : fs::directory_iterator(folder))
            EXPECT_EQ(e.path().extension().string().find(".lzh"), std::string::npos) << e.path();
    }

    fs::path dir, base;
    std::string message;
};

TEST_F(Unlha32Test, VersionIs100) {
    EXPECT_EQ(UnlhaGetVersion(), 100);
}

TEST_F(Unlha32Test, DirectFilesOfAllKindsComeBackIdentical) {
    const Tree files = {
        {"empty.txt", ""},
        {"one.bin", "x"},
        {"repeat.txt", std::string(300000, 'a') + pseudoText(1000, 1)},
        {"random.bin", randomBytes(100000, 2)},
        {"large.txt", pseudoText(700000, 3)}, // several Huffman blocks
        {"mixed.bin", pseudoText(50000, 4) + randomBytes(20000, 5) + pseudoText(90000, 6)},
    };
    for (const auto& [name, data] : files)
        writeAll(base / "S" / name, data);
    writeAll(base / "S" / "sub" / "deeper.txt", "not wanted");
    const fs::path lzh = dir / "S.lzh";
    ASSERT_EQ(archive("-n1c1gm1", lzh, {"S/*"}), 0) << message;
    EXPECT_EQ(message, "");
    expectExtracts(lzh, files);

    const std::string bytes = readAll(lzh);
    EXPECT_NE(bytes.find("-lh0-"), std::string::npos); // random data stored
    EXPECT_NE(bytes.find("-lh5-"), std::string::npos);
    EXPECT_LT(bytes.size(), 100000u + 20000u + 200000u); // text compressed well
}

TEST_F(Unlha32Test, RecursiveWithFolderEntriesNamesAndTimes) {
    const std::string jp = "日本語フォルダ";
    const std::string jpFile = "表ソース 予定.txt"; // 0x5C as second byte of ソ and 表
    writeAll(base / "S" / "a.txt", "alpha");
    writeAll(base / "S" / jp / jpFile, "日本語の中身");
    writeAll(base / "S" / "with blank" / "say \"hi\".txt", "quoted");
    writeAll(base / "S" / "x" / "y" / "z" / "deep.bin", randomBytes(70000, 7));
    fs::create_directories(base / "S" / "empty");
    const struct timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
    utimensat(AT_FDCWD, (base / "S" / "a.txt").c_str(), times, 0);

    const fs::path lzh = dir / "S.lzh";
    ASSERT_EQ(archive("-r2x1d1n1c1gm1", lzh, {"S"}), 0) << message;
    Tree expected = {
        {"S", "/"},
        {"S/a.txt", "alpha"},
        {"S/empty", "/"},
        {"S/with blank", "/"},
        {"S/with blank/say \"hi\".txt", "quoted"},
        {"S/x", "/"},
        {"S/x/y", "/"},
        {"S/x/y/z", "/"},
        {"S/x/y/z/deep.bin", randomBytes(70000, 7)},
    };
    Tree lhasaExpected = expected; // lhasa writes the stored CP932 bytes as they are
    expected["S/" + jp] = "/";
    expected["S/" + jp + "/" + jpFile] = "日本語の中身";
    lhasaExpected["S/" + toCp932(jp)] = "/";
    lhasaExpected["S/" + toCp932(jp) + "/" + toCp932(jpFile)] = "日本語の中身";
    expectExtracts(lzh, expected, lhasaExpected);
    struct stat st {};
    ASSERT_EQ(stat((dir / "out-bsdtar" / "S" / "a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1600000000);
    ASSERT_EQ(stat((dir / "out-lhasa" / "S" / "a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1600000000);
}

TEST_F(Unlha32Test, SingleFileAndNamesOutsideCp932) {
    writeAll(base / "report.txt", pseudoText(5000, 8));
    const fs::path lzh = dir / "Temp" / "report.lzh";
    fs::create_directories(lzh.parent_path());
    // Exactly what the program sends: option text, two blanks, a, quoted words.
    const std::string line =
        "-n1c1gm1  a \"" + lzh.string() + "\" \"" + base.string() + "/\" \"report.txt\"";
    char out[256] = {};
    ASSERT_EQ(Unlha(nullptr, line.c_str(), out, sizeof out), 0) << out;
    expectExtracts(lzh, {{"report.txt", pseudoText(5000, 8)}});

    // No CP932 form: the UTF-8 bytes are kept, so no judge loses the name.
    const std::string odd = "café ☃ 😀.txt";
    writeAll(base / odd, "odd");
    const fs::path lzh2 = dir / "odd.lzh";
    ASSERT_EQ(archive("-n1c1gm1", lzh2, {odd}), 0) << message;
    expectExtracts(lzh2, {{odd, "odd"}});

    // A 205-byte name makes a 256-byte header, whose low size byte must not be 0.
    const std::string longName = std::string(201, 'n') + ".txt";
    writeAll(base / longName, "long");
    const fs::path lzh3 = dir / "long.lzh";
    ASSERT_EQ(archive("-n1c1gm1", lzh3, {longName, "report.txt"}), 0) << message;
    EXPECT_NE(readAll(lzh3)[0], '\0');
    expectExtracts(lzh3, {{longName, "long"}, {"report.txt", pseudoText(5000, 8)}});
}

TEST_F(Unlha32Test, FailuresLeaveNoArchiveAndNamePath) {
    writeAll(base / "ok.txt", "ok");
    const fs::path lzh = dir / "A.lzh";

    EXPECT_NE(archive("-n1c1gm1", lzh, {"ok.txt", "missing.txt"}), 0);
    EXPECT_NE(message.find((base / "missing.txt").string()), std::string::npos) << message;

    EXPECT_NE(archive("-n1c1gm1", dir / "no-such-folder" / "A.lzh", {"ok.txt"}), 0);
    EXPECT_NE(message.find("no-such-folder"), std::string::npos) << message;

    mkfifo((base / "pipe").c_str(), 0600);
    EXPECT_NE(archive("-n1c1gm1", lzh, {"pipe"}), 0);
    EXPECT_NE(message.find("pipe"), std::string::npos) << message;

    EXPECT_NE(archive("-n1c1gm1", lzh, {"../outside.txt"}), 0);

    // Fails while writing (too large for the format): the temp file goes too.
    {
        std::ofstream(base / "huge.bin").close();
        fs::resize_file(base / "huge.bin", (1ull << 32) + 1);
    }
    EXPECT_NE(archive("-n1c1gm1", lzh, {"ok.txt", "huge.bin"}), 0);
    EXPECT_NE(message.find("huge.bin"), std::string::npos) << message;

    if (geteuid() != 0) { // root reads and writes regardless of permissions
        fs::permissions(base / "ok.txt", fs::perms::none);
        EXPECT_NE(archive("-n1c1gm1", lzh, {"ok.txt"}), 0);
        EXPECT_NE(message.find("ok.txt"), std::string::npos) << message;
        fs::permissions(base / "ok.txt", fs::perms::owner_read | fs::perms::owner_write);
        const fs::path ro = dir / "ro";
        fs::create_directories(ro);
        fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_NE(archive("-n1c1gm1", ro / "A.lzh", {"ok.txt"}), 0);
        expectNoArchiveIn(ro);
    }
    expectNoArchiveIn(dir);

    // An existing archive is neither replaced nor touched.
    writeAll(lzh, "previous");
    EXPECT_NE(archive("-n1c1gm1", lzh, {"ok.txt"}), 0);
    EXPECT_EQ(readAll(lzh), "previous");
}

// Quotes inside paths come doubled; a lone quote inside a name is kept.
TEST_F(Unlha32Test, QuotesInsidePaths) {
    const std::string folder = "q\" \"$(x)";
    const std::string file = "end\"";
    writeAll(base / folder / file, "quoted");
    auto dq = [](const std::string& s) {
        std::string out;
        for (char c : s)
            out += c == '"' ? std::string("\"\"") : std::string(1, c);
        return "\"" + out + "\"";
    };
    const fs::path lzh = dir / (folder + ".lzh");
    const std::string line = "-r2x1d1n1c1gm1  a " + dq(lzh.string()) + " " +
                             dq((base / folder).string() + "/") + " " + dq(file);
    char out[256] = {};
    ASSERT_EQ(Unlha(nullptr, line.c_str(), out, sizeof out), 0) << out << "\n" << line;
    expectExtracts(lzh, {{file, "quoted"}});
    // The tolerated form: a quote inside a name that no blank follows.
    writeAll(base / "say \"hi\".txt", "hi");
    const fs::path lzh2 = dir / "hi.lzh";
    ASSERT_EQ(archive("-n1c1gm1", lzh2, {"say \"hi\".txt"}), 0) << message;
    expectExtracts(lzh2, {{"say \"hi\".txt", "hi"}});
}

TEST_F(Unlha32Test, BadCommandLinesAreRejected) {
    writeAll(base / "ok.txt", "ok");
    const fs::path lzh = dir / "A.lzh";
    for (const char* options : {"-z1", "-r3", "-n1q", "-x2"}) {
        EXPECT_EQ(archive(options, lzh, {"ok.txt"}), 1) << options;
        EXPECT_NE(message.find("option"), std::string::npos) << message;
    }
    char out[16];
    for (const char* line : {"", "-n1 x \"/tmp/a.lzh\" \"/tmp/\" \"b\"", "-n1 a \"/tmp/a.lzh",
                             "-n1 a \"/tmp/a.lzh\" \"/tmp/\""}) {
        EXPECT_NE(Unlha(nullptr, line, out, sizeof out), 0) << line;
        EXPECT_LT(std::strlen(out), sizeof out); // cut to fit
    }
    EXPECT_NE(Unlha(nullptr, nullptr, nullptr, 0), 0);
    expectNoArchiveIn(dir);
}

TEST_F(Unlha32Test, ThreadsArchiveAtTheSameTime) {
    for (int i = 0; i < 4; ++i)
        writeAll(base / ("f" + std::to_string(i)), pseudoText(200000, 10 + i));
    std::vector<std::thread> threads;
    std::vector<int> rc(4, -1);
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            const std::string line = "-n1 a \"" +
                                     (dir / ("t" + std::to_string(i) + ".lzh")).string() + "\" \"" +
                                     base.string() + "/\" \"f" + std::to_string(i) + "\"";
            char out[256];
            rc[i] = Unlha(nullptr, line.c_str(), out, sizeof out);
        });
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(rc[i], 0);
        expectExtracts(dir / ("t" + std::to_string(i) + ".lzh"),
                       {{"f" + std::to_string(i), pseudoText(200000, 10 + i)}});
    }
}

} // namespace
