// The mail body read from a watched file: compared with reading the whole
// file and picking the lines, on random files of every encoding, with tiny
// and ordinary chunks; bounded memory on a large file; pipes and devices.
#include "core/Text.h"
#include "notify/MailBody.h"
#include "notify/Notifier.h"
#include "support/AppFixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kestrova;
using kestrova::test::AppFixture;

namespace {

// The lines as read from the whole file at once: the rule stated plainly.
std::string wholeFileLines(const std::string& bytes, std::int32_t count) {
    const std::string t = text::decodeWatchedText(bytes);
    std::vector<std::string> lines;
    size_t start = 0, i = 0;
    while (i < t.size()) {
        if (t[i] == '\r' || t[i] == '\n') {
            lines.push_back(t.substr(start, i - start));
            i += (t[i] == '\r' && i + 1 < t.size() && t[i + 1] == '\n') ? 2 : 1;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < t.size())
        lines.push_back(t.substr(start));
    const std::int64_t n = static_cast<std::int64_t>(lines.size());
    std::int64_t first = 1, last = 0;
    if (count < 0) {
        std::int64_t k = 0;
        for (std::int64_t j = n; j >= 1 && k == 0; --j)
            if (!lines[static_cast<size_t>(j - 1)].empty())
                k = j;
        first = std::max<std::int64_t>(1, k + count + 1);
        last = n;
    } else if (count > 0) {
        std::int64_t f = 0;
        for (std::int64_t j = 1; j <= n && f == 0; ++j)
            if (!lines[static_cast<size_t>(j - 1)].empty())
                f = j;
        if (f > 0) {
            first = f;
            last = std::min<std::int64_t>(n, f + count - 1);
        }
    }
    std::string out;
    for (std::int64_t j = first; j <= last; ++j)
        out += lines[static_cast<size_t>(j - 1)] + "\r\n";
    return out;
}

enum class Kind { Ascii, Cp932, Utf8, Utf8Bom, Utf8Broken, Utf16Le, Utf16Be };

// A random file: lines of random length (some empty, some longer than a
// chunk), random line ends, characters drawn for the encoding, now and then
// a byte that does not belong.
std::string randomFile(std::mt19937& rnd, Kind kind) {
    auto pick = [&](int n) { return static_cast<int>(rnd() % static_cast<unsigned>(n)); };
    const char* ends[] = {"\r\n", "\n", "\r"};
    if (kind == Kind::Utf16Le || kind == Kind::Utf16Be) {
        const bool be = kind == Kind::Utf16Be;
        std::string out = be ? "\xFE\xFF" : "\xFF\xFE";
        auto unit = [&](unsigned u) {
            char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
            out += be ? hi : lo;
            out += be ? lo : hi;
        };
        const int lines = pick(12);
        for (int l = 0; l < lines; ++l) {
            const int len = pick(4) == 0 ? 0 : pick(pick(8) == 0 ? 300 : 12);
            for (int c = 0; c < len; ++c) {
                switch (pick(6)) {
                case 0:
                    unit(0x76E3);
                    break; // 監
                case 1:
                    unit(0xD83D);
                    unit(0xDE00);
                    break; // a pair
                case 2:
                    unit(pick(2) ? 0xD800 : 0xDC00);
                    break; // a lone half
                default:
                    unit(0x61 + static_cast<unsigned>(pick(26)));
                }
            }
            if (l + 1 < lines || pick(2))
                for (char e : std::string(ends[pick(3)]))
                    unit(static_cast<unsigned char>(e));
        }
        if (pick(5) == 0)
            out += 'x'; // an odd byte at the end
        return out;
    }
    std::string out = kind == Kind::Utf8Bom ? "\xEF\xBB\xBF" : "";
    const int lines = pick(12);
    for (int l = 0; l < lines; ++l) {
        const int len = pick(4) == 0 ? 0 : pick(pick(8) == 0 ? 300 : 12);
        for (int c = 0; c < len; ++c) {
            const int r = pick(8);
            if (kind == Kind::Ascii || r < 4) {
                out += static_cast<char>('a' + pick(26));
            } else if (kind == Kind::Cp932) {
                const char* pool[] = {"\x8A\xC4", "\xED\x40", "\xB1", "\x81\x40",
                                      "\x85\x40", "\xFD",     "\x82"};
                out += pool[pick(7)];
            } else {
                const char* pool[] = {"監", "é", "😀", "ｱ"};
                out += pool[pick(4)];
            }
        }
        if (l + 1 < lines || pick(2))
            out += ends[pick(3)];
    }
    if (kind == Kind::Utf8Broken || (kind == Kind::Utf8Bom && pick(4) == 0)) {
        // One byte that is no UTF-8, somewhere.
        size_t at = out.empty() ? 0 : static_cast<size_t>(pick(static_cast<int>(out.size()) + 1));
        if (kind == Kind::Utf8Bom && at < 3)
            at = out.size();
        out.insert(at, "\xFF");
    }
    return out;
}

class MailBodyReader : public ::testing::Test {
protected:
    AppFixture f{true};
    std::string write(const std::string& bytes) {
        const std::string path = f.dir / "watched.txt";
        test::writeFile(path, bytes);
        return path;
    }
};

TEST_F(MailBodyReader, SameLinesAsReadingTheWholeFile) {
    std::mt19937 rnd(20261207);
    const Kind kinds[] = {Kind::Ascii,      Kind::Cp932,   Kind::Utf8,   Kind::Utf8Bom,
                          Kind::Utf8Broken, Kind::Utf16Le, Kind::Utf16Be};
    const std::int32_t extremes[] = {INT32_MIN, INT32_MAX, 0, 1, -1};
    int compared = 0;
    for (int round = 0; round < 3000; ++round) {
        const Kind kind = kinds[round % 7];
        const std::string bytes = randomFile(rnd, kind);
        const std::string path = write(bytes);
        std::int32_t count = round % 11 == 0 ? extremes[(round / 11) % 5]
                                             : static_cast<std::int32_t>(rnd() % 31) - 15;
        const std::string expected = wholeFileLines(bytes, count);
        for (size_t chunk :
             {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}, size_t{65536}}) {
            bool special = false;
            ASSERT_EQ(mailBodyLines(path, count, special, chunk), expected)
                << "round " << round << " kind " << static_cast<int>(kind) << " count " << count
                << " chunk " << chunk;
            EXPECT_FALSE(special);
            ++compared;
        }
        ASSERT_EQ(GetMailMessage(f.app, path, count), expected) << "round " << round;
    }
    EXPECT_TRUE(f.logLines().empty());
    RecordProperty("compared", compared);
}

long peakKilobytes() {
    struct rusage u {};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// A 300 MB log (a sparse hole between a few lines at each end): the first
// and the last lines come back without the middle ever being held.
TEST_F(MailBodyReader, LargeFileIsNotReadWhole) {
    const std::string path = f.dir / "big.log";
    test::writeFile(path, "head1\r\nhead2\r\nhead3\r\n");
    const off_t hole = 300LL * 1024 * 1024;
    ASSERT_EQ(::truncate(path.c_str(), hole), 0);
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    const std::string tail = "\r\ntail1\r\n\r\ntail2\r\ntail3\r\n\r\n";
    ASSERT_EQ(::write(fd, tail.data(), tail.size()), static_cast<ssize_t>(tail.size()));
    ::close(fd);

    const long before = peakKilobytes();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(GetMailMessage(f.app, path, -3), "\r\ntail2\r\ntail3\r\n\r\n");
    EXPECT_EQ(GetMailMessage(f.app, path, 2), "head1\r\nhead2\r\n");
    const auto took = std::chrono::steady_clock::now() - start;
    const long grown = peakKilobytes() - before;
    EXPECT_LT(grown, 16 * 1024) << "peak memory grew by " << grown << " KiB";
    EXPECT_LT(took, std::chrono::seconds(2));
    RecordProperty("peakGrowthKiB", static_cast<int>(grown));
}

// Writes to a pipe whenever a reader has it open, for a while: a reader
// that blocks in open or read is let go with a line of text.
void feedPipe(const std::string& fifo, std::chrono::seconds forHowLong) {
    auto end = std::chrono::steady_clock::now() + forHowLong;
    while (std::chrono::steady_clock::now() < end) {
        int w = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (w >= 0) {
            ssize_t r = ::write(w, "text\n", 5);
            (void)r;
            ::close(w);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

TEST_F(MailBodyReader, PipesAndDevicesAreNoText) {
    const std::string fifo = f.dir / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread feeder(feedPipe, fifo, std::chrono::seconds(2));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(GetMailMessage(f.app, fifo, 3), "");
    EXPECT_EQ(GetMailMessage(f.app, fifo, -3), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    feeder.join();

    // A device without end: read in a child whose memory is bounded, so that
    // reading it whole fails there rather than here.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rlimit limit {
            1LL << 30, 1LL << 30
        };
        ::setrlimit(RLIMIT_AS, &limit);
        ::alarm(20);
        const bool empty = GetMailMessage(f.app, "/dev/zero", 3).empty() &&
                           GetMailMessage(f.app, "/dev/zero", -3).empty();
        bool errors = false;
        for (const std::string& l : f.logLines())
            errors = errors || l.find(OperationLog::levelLabel(LogError)) != std::string::npos;
        ::_exit(empty && !errors ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // One warning for each such path in a run (the child's run logged the
    // device), however often it is asked for.
    const auto lines = f.logLines();
    ASSERT_EQ(lines.size(), 2u);
    const std::string head =
        "\tMsgForm\tGetMailMessage\t" + OperationLog::levelLabel(LogWarning) + "\t";
    EXPECT_NE(lines[0].find(head + fifo + ": 通常のファイルではありません"), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find(head + "/dev/zero: 通常のファイルではありません"), std::string::npos)
        << lines[1];
    EXPECT_TRUE(f.boxes.empty());
}

} // namespace
