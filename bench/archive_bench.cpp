// Archive benchmark: libunlha32 against gzip -6, bsdtar's zip and jlha's LZH
// on the same ~50 MiB of files (text, binaries, random data).
//
// Usage: archive_bench [MiB]   (default 50; needs gzip, bsdtar, jlha in PATH)
// gzip -6 compresses an uncompressed tar of the same files (tar time excluded);
// the other three archive the folder themselves.
#include "unlha32.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;
namespace fs = std::filesystem;

namespace {

bool run(const std::vector<std::string>& argv, const fs::path& cwd, const char* out = "/dev/null") {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    posix_spawn_file_actions_addopen(&fa, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int err = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    int status = 0;
    return err == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// Copies regular files matching pred from src into dst until limit bytes.
std::uint64_t harvest(const fs::path& src, const fs::path& dst, std::uint64_t limit,
                      bool (*pred)(const fs::path&)) {
    std::uint64_t total = 0;
    std::error_code ec;
    int n = 0;
    for (auto it = fs::recursive_directory_iterator(
             src, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator() && total < limit; it.increment(ec)) {
        if (ec || !it->is_regular_file(ec) || it->is_symlink(ec) || !pred(it->path()))
            continue;
        const auto size = it->file_size(ec);
        if (ec || size < 512 || size > 4u << 20)
            continue;
        const fs::path to = dst / std::to_string(n / 100) /
                            (std::to_string(n) + "_" + it->path().filename().string());
        fs::create_directories(to.parent_path());
        if (fs::copy_file(it->path(), to, ec)) {
            total += size;
            ++n;
        }
    }
    return total;
}

std::uint64_t treeSize(const fs::path& p) {
    std::uint64_t s = 0;
    for (const auto& e : fs::recursive_directory_iterator(p))
        if (e.is_regular_file())
            s += e.file_size();
    return s;
}

struct Result {
    double seconds = -1;
    std::uint64_t size = 0;
};

template <typename F> Result timed(const fs::path& out, F&& f) {
    fs::remove(out);
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = f();
    const auto t1 = std::chrono::steady_clock::now();
    if (!ok || !fs::exists(out))
        return {};
    return {std::chrono::duration<double>(t1 - t0).count(), fs::file_size(out)};
}

void benchSet(const fs::path& work, const std::string& set) {
    const std::uint64_t input = treeSize(work / set);
    const fs::path out = work / "out";
    fs::create_directories(out);
    Result r[4];
    r[0] = timed(out / (set + ".lzh"), [&] {
        const std::string line = "-r2x1d1n1c1gm1  a \"" + (out / (set + ".lzh")).string() +
                                 "\" \"" + work.string() + "/\" \"" + set + "\"";
        char msg[256] = {};
        const int rc = Unlha(nullptr, line.c_str(), msg, sizeof msg);
        if (rc != 0)
            std::fprintf(stderr, "libunlha32: %s\n", msg);
        return rc == 0;
    });
    const fs::path tar = out / (set + ".tar");
    run({"bsdtar", "-cf", tar.string(), set}, work);
    r[1] = timed(out / (set + ".tar.gz"), [&] {
        return run({"gzip", "-6", "-c", tar.string()}, work, (out / (set + ".tar.gz")).c_str());
    });
    fs::remove(tar);
    r[2] = timed(out / (set + ".zip"), [&] {
        return run({"bsdtar", "--format", "zip", "-cf", (out / (set + ".zip")).string(), set},
                   work);
    });
    r[3] = timed(out / (set + ".j.lzh"), [&] {
        return run({"jlha", "cqo52", (out / (set + ".j.lzh")).string(), set}, work);
    });
    const char* names[] = {"libunlha32 (lh5)", "gzip -6 (tar)", "bsdtar zip", "jlha (lh5)"};
    std::printf("\n%s: %.1f MiB in %zu files\n", set.c_str(), input / 1048576.0,
                static_cast<std::size_t>(std::distance(fs::recursive_directory_iterator(work / set),
                                                       fs::recursive_directory_iterator())));
    std::printf("  %-18s %12s %8s %9s %10s %9s\n", "archiver", "bytes", "ratio", "seconds", "MiB/s",
                "vs gzip");
    for (int i = 0; i < 4; ++i) {
        if (r[i].seconds < 0) {
            std::printf("  %-18s %12s\n", names[i], "(not available)");
            continue;
        }
        std::printf("  %-18s %12llu %7.1f%% %9.2f %10.1f %8.3fx\n", names[i],
                    static_cast<unsigned long long>(r[i].size), 100.0 * r[i].size / input,
                    r[i].seconds, input / 1048576.0 / r[i].seconds,
                    r[1].size ? static_cast<double>(r[i].size) / r[1].size : 0.0);
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t mib = argc > 1 ? std::stoull(argv[1]) : 50;
    char tmpl[] = "/tmp/archive_bench_XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    const fs::path work = tmpl;

    // About 60 % text (headers, documentation), 30 % binaries, 10 % random.
    const std::uint64_t textGoal = mib * 1048576 * 6 / 10, binGoal = mib * 1048576 * 3 / 10;
    auto isText = [](const fs::path& p) {
        const auto e = p.extension();
        return e == ".h" || e == ".txt" || e == ".py" || e == ".html" || e == ".c";
    };
    auto isBinary = [](const fs::path& p) {
        return p.filename().string().find(".so") != std::string::npos;
    };
    std::uint64_t text = harvest("/usr/include", work / "text", textGoal, isText);
    text +=
        harvest("/usr/share", work / "text" / "share", textGoal - std::min(text, textGoal), isText);
    harvest("/usr/lib", work / "mix" / "bin", binGoal, isBinary);
    std::mt19937_64 rng(42);
    for (int i = 0; i < 5; ++i) {
        std::string data(mib * 1048576 / 50, '\0');
        for (auto& c : data)
            c = static_cast<char>(rng());
        std::ofstream(work / "mix" / ("random" + std::to_string(i) + ".bin"), std::ios::binary)
            << data;
    }
    fs::copy(work / "text", work / "mix" / "text", fs::copy_options::recursive);

    std::printf("Working in %s (%.1f MiB of text)\n", work.c_str(), text / 1048576.0);
    benchSet(work, "text");
    benchSet(work, "mix");
    fs::remove_all(work);
    return 0;
}
