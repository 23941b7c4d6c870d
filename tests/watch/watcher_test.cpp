// `kestrova b` as a whole: a portable copy of the program watching a real
// folder and mailing to a loopback SMTP server.
#include "core/DateTime.h"
#include "core/Settings.h"
#include "core/Text.h"

#include "TestServers.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestrova {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ParsedMail;
using test::SmtpServer;

const long long T0 = static_cast<long long>(std::time(nullptr)) - 7200;

void setMtime(const std::string& path, long long unixSeconds) {
    struct timespec times[2] = {{unixSeconds, 0}, {unixSeconds, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string when(long long unixSeconds) {
    return formatDateTime(fromUnix(unixSeconds));
}

std::string hostName() {
    char buf[256] = {};
    ::gethostname(buf, sizeof buf - 1);
    return buf;
}

std::vector<std::string> bodyLines(const ParsedMail& m) {
    std::string body = text::replaceAll(m.body, "\r\n", "\n");
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < body.size()) {
        size_t end = body.find('\n', pos);
        if (end == std::string::npos)
            end = body.size();
        lines.push_back(body.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

class Watcher : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "watch_watcher_test";
            static char* argv[] = {name, nullptr};
            static QCoreApplication qapp(argc, argv);
        }
        const char* appDir = std::getenv("KESTROVA_APP_DIR");
        ASSERT_TRUE(appDir && *appDir);
        fs::create_directories(program);
        for (const char* f : {"kestrova", "libbsmtp.so", "libunlha32.so"})
            fs::copy_file(fs::path(appDir) / f, program / f);
        fs::create_directories(watched);
        fs::create_directories(dir.path() / "run");
    }

    void writeFiles(const std::string& smtp, std::int32_t mode) {
        test::writeFile(program / "kestrova.ini",
                        text::encodeFile("[InitSetting]\r\nSmtpServer=" + smtp +
                                         "\r\nAuthMode=SMTP AUTH LOGIN\r\nMailFromAddr="
                                         "watch@example.com\r\nMailTitle=フォルダ監視\r\n"
                                         "CheckSec=1\r\n"));
        test::writeFile(program / "kestrovaD.ini",
                        text::encodeFile("[CheckFolders]\r\n0=" + folder() +
                                         "\r\n[SendMailTo]\r\n0=ops@example.com\r\n"
                                         "[FileChkMode]\r\n0=" +
                                         std::to_string(mode) + "\r\n"));
    }
    std::string folder() const { return watched.string() + "/"; }
    std::string file(const std::string& name, long long mtime) {
        std::string p = folder() + name;
        test::writeFile(p, name);
        setMtime(p, mtime);
        return p;
    }

    std::unique_ptr<QProcess> start() {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(v);
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString((dir.path() / "run").string()));
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->start(QString::fromStdString((program / "kestrova").string()), {"b"});
        EXPECT_TRUE(p->waitForStarted(5000));
        return p;
    }
    static void stop(QProcess& p) {
        p.terminate();
        if (!p.waitForFinished(5000))
            p.kill();
        p.waitForFinished(2000);
        std::string out = p.readAll().toStdString();
        EXPECT_EQ(out, "") << out;
    }
    ParsedMail mailNumber(const SmtpServer& smtp, size_t n) {
        auto files = smtp.waitForMessages(n, 8s);
        EXPECT_GE(files.size(), n);
        if (files.size() < n)
            return {};
        return test::parseEml(files[n - 1]);
    }
    std::string line(const char* label, const std::string& path, long long mtime) const {
        return std::string(label) + " " + hostName() + " " + path + " " + when(mtime);
    }
    void expectNowLine(const std::string& l, const char* label, const std::string& path,
                       DateTime from) {
        std::string head = std::string(label) + " " + hostName() + " " + path + " ";
        ASSERT_EQ(l.rfind(head, 0), 0u) << l;
        auto t = parseDateTime(l.substr(head.size()));
        ASSERT_TRUE(t) << l;
        EXPECT_GE(*t, from);
        EXPECT_LE(*t, nowDateTime());
    }

    test::TempDir dir;
    fs::path program = dir.path() / "app";
    fs::path watched = dir.path() / "w";
};

TEST_F(Watcher, MailsEachKindOfChangeAndRecordsIt) {
    SmtpServer smtp;
    std::string a = file("a", T0), c = file("c", T0);
    writeFiles(smtp.address(), NotifyDelete | NotifyUpdate | NotifyNew);

    auto watcher = start();
    ParsedMail first = mailNumber(smtp, 1);
    EXPECT_EQ(first.subject, "フォルダ監視");
    EXPECT_EQ(first.to, std::vector<std::string>{"ops@example.com"});
    auto lines = bodyLines(first);
    ASSERT_EQ(lines.size(), 4u) << first.body;
    EXPECT_EQ(lines[1], "＜更新一覧＞");
    std::sort(lines.begin() + 2, lines.end()); // listing order is the file system's
    // New names carry their own time.
    EXPECT_EQ(lines[2], line("追加", a, T0));
    EXPECT_EQ(lines[3], line("追加", c, T0));

    // One of each kind within one interval.
    setMtime(a, T0 + 100);
    ::unlink(c.c_str());
    std::string b = file("b", T0 + 5);
    DateTime changed = nowDateTime();
    ParsedMail second = mailNumber(smtp, 2);
    lines = bodyLines(second);
    ASSERT_EQ(lines.size(), 5u) << second.body;
    // Updates and deletions in recorded order, then additions.
    std::vector<std::string> changes(lines.begin() + 2, lines.end());
    size_t del = changes[0].rfind("削除", 0) == 0 ? 0 : 1;
    EXPECT_EQ(changes[1 - del], line("更新", a, T0 + 100));
    expectNowLine(changes[del], "削除", c, changed);
    EXPECT_EQ(changes[2], line("追加", b, T0 + 5));

    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(smtp.messages().size(), 2u);
    stop(*watcher);

    const std::string stored = text::decodeFile(test::readFile(program / "kestrovaD.ini"));
    const auto holds = [&](const std::string& value) {
        return stored.find(std::string("=").append(value).append("\r\n")) != std::string::npos;
    };
    EXPECT_TRUE(holds(a)) << stored;
    EXPECT_TRUE(holds(formatRecordDate(utcFromUnix(T0 + 100)))) << stored;
    EXPECT_TRUE(holds(b)) << stored;
    EXPECT_FALSE(holds(c)) << stored;
}

TEST_F(Watcher, TwoWatchersOnOneFolderNeverCheckAtTheSameTime) {
    SmtpServer smtp;
    file("a", T0);
    // An archive attachment makes every pass wait 3 s before mailing: two
    // passes running side by side would both mail the same change.
    writeFiles(smtp.address(), NotifyDelete | NotifyUpdate | NotifyNew | AttachFiles);
    auto one = start();
    auto two = start();
    ParsedMail first = mailNumber(smtp, 1);
    EXPECT_EQ(first.attachmentName, "w.lzh");
    // A second pass begun before the first committed would mail within
    // the same 3 s wait.
    std::this_thread::sleep_for(4s);
    EXPECT_EQ(smtp.messages().size(), 1u);

    std::string b = file("b", T0);
    ParsedMail second = mailNumber(smtp, 2);
    auto lines = bodyLines(second);
    ASSERT_EQ(lines.size(), 3u) << second.body;
    EXPECT_EQ(lines[2].rfind("追加 " + hostName() + " " + b + " ", 0), 0u) << lines[2];
    std::this_thread::sleep_for(4s);
    EXPECT_EQ(smtp.messages().size(), 2u);
    stop(*one);
    stop(*two);
}

// SIGTERM ends a run within a few seconds whatever its pass is doing: here
// a pass that watches a named pipe for its text and then waits on a mail
// server that never answers. The lock of the pass goes with the process.
TEST_F(Watcher, SigtermEndsARunInTheMiddleOfAPass) {
    SmtpServer silent({.mode = "silent"});
    const std::string fifo = (watched / "pipe").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    test::writeFile(program / "kestrova.ini",
                    text::encodeFile("[InitSetting]\r\nSmtpServer=" + silent.address() +
                                     "\r\nMailFromAddr=watch@example.com\r\nCheckSec=1\r\n"));
    test::writeFile(program / "kestrovaD.ini",
                    text::encodeFile("[CheckFolders]\r\n0=" + fifo +
                                     "\r\n[SendMailTo]\r\n0=ops@example.com\r\n"
                                     "[FileChkMode]\r\n0=50\r\n[MailBdLines]\r\n0=-3\r\n"
                                     "[CheckFiles]\r\n0_0_path=" +
                                     fifo + "\r\n0_0_date=2000/01/01 0:00:00\r\n"));
    auto watcher = start();
    // The pass gets past the pipe (3 s settling wait first) to the mail.
    const std::string log = (program / "kestrova.log").string();
    auto deadline = std::chrono::steady_clock::now() + 15s;
    bool mailing = false;
    while (!mailing && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
        mailing = fs::exists(log) &&
                  text::decodeFile(test::readFile(log)).find("Mail送信:") != std::string::npos;
    }
    EXPECT_TRUE(mailing) << "the pass never reached the mail";
    std::this_thread::sleep_for(500ms);
    auto sent = std::chrono::steady_clock::now();
    ::kill(static_cast<pid_t>(watcher->processId()), SIGTERM);
    // A mail in progress may finish (and be recorded) within the stop bound.
    const bool ended = watcher->waitForFinished(10000);
    EXPECT_TRUE(ended) << "still running 10 s after SIGTERM";
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 10s);
    if (!ended) {
        watcher->kill();
        watcher->waitForFinished(2000);
    }
    // The lock "Kestrova3333" is free again.
    int fd = ::open((dir.path() / "run" / "Kestrova3333.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
}

} // namespace
} // namespace kestrova
