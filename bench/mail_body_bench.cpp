// The mail body of a large watched log: time and peak memory of taking its
// last and first lines, beside reading the whole file as text, each in a
// child process of its own so that peaks do not mix.
//
//   mail_body_bench [folder] [megabytes]   (defaults: /tmp, 300)
#include "core/Text.h"
#include "notify/MailBody.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Runs fn in a child; prints its time and the child's peak resident size.
template <class Fn> void measure(const char* what, Fn fn) {
    std::fflush(stdout);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const size_t n = fn();
        std::fflush(stdout);
        ::_exit(n == 0 ? 1 : 0);
    }
    int status = 0;
    struct rusage use {};
    ::wait4(pid, &status, 0, &use);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("%-36s %9.1f ms  peak RSS %8ld KiB%s\n", what, ms, use.ru_maxrss,
                WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "  (no text)");
}

} // namespace

// Writes megabytes of log lines, in CP932 or in UTF-8 without a mark.
bool writeLog(const std::string& path, long megabytes, bool utf8) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        std::perror(path.c_str());
        return false;
    }
    std::string block;
    for (int i = 0; block.size() < (1u << 20); ++i)
        block += "2026/12/07 23:59:59 処理 " + std::to_string(i) + " 件目を終えました。\r\n";
    std::string bytes = block;
    if (!utf8)
        kestrova::text::toCp932(block, bytes);
    bool ok = true;
    for (long written = 0; ok && written < megabytes << 20;
         written += static_cast<long>(bytes.size()))
        ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    return ok;
}

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : "/tmp";
    const long megabytes = argc > 2 ? std::atol(argv[2]) : 300;
    const std::string path = folder + "/kestrova_mail_body_bench.log";
    for (bool utf8 : {false, true}) {
        if (!writeLog(path, megabytes, utf8))
            return 1;
        // Telling UTF-8 from CP932 needs the whole file: a UTF-8 log is
        // streamed through once, a CP932 one stops at its first such byte.
        std::printf("file: %ld MB of %s log lines\n", megabytes,
                    utf8 ? "UTF-8 (no mark)" : "CP932");
        bool special = false;
        measure("last 3 lines (count -3)",
                [&] { return kestrova::mailBodyLines(path, -3, special).size(); });
        measure("first 3 lines (count 3)",
                [&] { return kestrova::mailBodyLines(path, 3, special).size(); });
        measure("whole file read and decoded", [&] {
            int fd = ::open(path.c_str(), O_RDONLY);
            std::string bytes;
            char buf[65536];
            for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
                bytes.append(buf, static_cast<size_t>(n));
            ::close(fd);
            return kestrova::text::decodeWatchedText(bytes).size();
        });
    }
    ::unlink(path.c_str());
    return 0;
}
