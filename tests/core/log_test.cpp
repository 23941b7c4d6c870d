#include "core/OperationLog.h"
#include "core/Text.h"
#include "support/AppFixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrova;
using kestrova::test::AppFixture;
using kestrova::test::readFile;
using kestrova::test::writeFile;

namespace {

std::string nLines(int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += "2026/01/01 00:00:00\tM\tP\t情報        \tline " + std::to_string(i) + "\r\n";
    return text::encodeFile(s);
}

size_t lineCount(const std::string& bytes) {
    size_t n = 0;
    for (char c : bytes)
        n += c == '\n';
    return n;
}

} // namespace

TEST(OperationLog, LabelsAreTwelveCp932Bytes) {
    for (int level : {-5, -4, -3, -2, -1, 0, -6}) {
        std::string bytes;
        ASSERT_TRUE(text::toCp932(OperationLog::levelLabel(level), bytes));
        EXPECT_EQ(bytes.size(), 12u) << level;
    }
    EXPECT_EQ(OperationLog::levelLabel(-6), OperationLog::levelLabel(0));
    EXPECT_EQ(OperationLog::levelLabel(-3), "トレース\u3000  ");
}

TEST(OperationLog, LineFormat) {
    AppFixture f;
    f.app.log.WriteLog(0, LogWarning, "MsgForm", "SendFileUpdMsg", "a\r\nb\nc\rd", 0);
    auto lines = f.logLines();
    ASSERT_EQ(lines.size(), 1u);
    const std::string& l = lines[0];
    ASSERT_GE(l.size(), 20u);
    EXPECT_EQ(l[4], '/');
    EXPECT_EQ(l[10], ' ');
    EXPECT_EQ(l.substr(19), "\tMsgForm\tSendFileUpdMsg\tワーニング  \tab\nc\rd");
    EXPECT_TRUE(f.boxes.empty());
}

TEST(OperationLog, RotatesAtFiveHundredLines) {
    AppFixture f;
    writeFile(f.app.log.logFile(), nLines(499));
    EXPECT_FALSE(test::exists(f.app.log.oldLogFile()));
    f.app.log.WriteLog(0, LogTrace, "M", "P", "line 499", 0);
    EXPECT_EQ(lineCount(readFile(f.app.log.logFile())), 500u);
    EXPECT_FALSE(test::exists(f.app.log.oldLogFile()));
    std::string full = readFile(f.app.log.logFile());
    writeFile(f.app.log.oldLogFile(), "previous old log\r\n");
    f.app.log.WriteLog(0, LogTrace, "M", "P", "line 500", 0);
    EXPECT_EQ(readFile(f.app.log.oldLogFile()), full);
    auto lines = f.logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("line 500"), std::string::npos);
}

TEST(OperationLog, MessageBoxesFollowTheLevel) {
    AppFixture f;
    f.app.log.WriteLog(-1, LogError, "CommonModule", "ReadIni", "a\r\nb", 0);
    ASSERT_EQ(f.boxes.size(), 1u);
    EXPECT_EQ(f.boxes[0].text, "＜システムエラー＞CommonModule:ReadIni\r\na\r\nb");
    EXPECT_EQ(f.boxes[0].style, MbIconCritical);
    EXPECT_EQ(f.boxes[0].title, "ケストロバ(Ver.1.00)");
    EXPECT_NE(f.logLines().back().find("\tab"), std::string::npos);

    f.app.log.WriteLog(-1, LogWarning, "M", "P", "warn", 0);
    f.app.log.WriteLog(-1, LogInfo, "M", "P", "info", MbOkCancel);
    ASSERT_EQ(f.boxes.size(), 3u);
    EXPECT_EQ(f.boxes[1].text, "warn");
    EXPECT_EQ(f.boxes[1].style, MbIconExclamation);
    EXPECT_EQ(f.boxes[2].style, MbOkCancel + MbIconInformation);

    size_t before = f.logLines().size();
    f.answer = IdOk;
    EXPECT_EQ(f.app.log.WriteLog(-1, 1000, "M", "P", "x", 0), IdOk);
    EXPECT_EQ(f.boxes.back().text, "M:P\r\nx");
    EXPECT_EQ(f.logLines().size(), before); // levels above 0 are not written

    EXPECT_EQ(f.app.log.WriteLog(0, LogError, "M", "P", "quiet", 0), 0);
    EXPECT_EQ(f.boxes.size(), 4u);
}

TEST(OperationLog, NoBoxesInBackgroundRuns) {
    AppFixture f(false);
    EXPECT_EQ(f.app.log.WriteLog(-1, LogError, "M", "P", "x", 0), 0);
    EXPECT_TRUE(f.boxes.empty());
    EXPECT_EQ(f.logLines().size(), 1u);
}

TEST(OperationLog, ReloadHookAfterEveryLine) {
    AppFixture f;
    int reloads = 0;
    f.app.log.reloadViewer = [&] { ++reloads; };
    f.app.log.WriteLog(0, LogTrace, "M", "P", "1", 0);
    f.app.log.WriteLog(-1, 5, "M", "P", "not written", 0);
    EXPECT_EQ(reloads, 1);
}

TEST(OperationLog, UnwritableLogIsDroppedSilently) {
    AppFixture f;
    writeFile(f.dir / "blocker", "a file, not a folder");
    f.app.log.setBasePath(f.dir / "blocker/kestrova");
    EXPECT_EQ(f.app.log.WriteLog(-1, LogError, "M", "P", "x", 0), 0);
    EXPECT_TRUE(f.boxes.empty()); // the box asked for is not shown either
}

TEST(OperationLog, LinesOutsideCp932TurnTheFileToUtf8) {
    AppFixture f;
    f.app.log.WriteLog(0, LogTrace, "M", "P", "監視", 0);
    EXPECT_NE(readFile(f.app.log.logFile()).substr(0, 3), "\xEF\xBB\xBF");
    f.app.log.WriteLog(0, LogTrace, "M", "P", "/home/é", 0);
    f.app.log.WriteLog(0, LogTrace, "M", "P", "after", 0);
    EXPECT_EQ(readFile(f.app.log.logFile()).substr(0, 3), "\xEF\xBB\xBF");
    auto lines = f.logLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("監視"), std::string::npos);
    EXPECT_NE(lines[1].find("/home/é"), std::string::npos);
}

namespace {

// Standard error redirected into a file while body runs; what was written.
std::string capturedStderr(const std::string& file, const std::function<void()>& body) {
    std::fflush(stderr);
    int saved = ::dup(STDERR_FILENO);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
    body();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    return readFile(file);
}

} // namespace

TEST(OperationLog, JournalGetsEveryLineWithItsPriority) {
    AppFixture f;
    f.app.log.journal = true;
    std::string err = capturedStderr(f.dir / "stderr", [&] {
        f.app.log.WriteLog(0, LogError, "M", "P", "失敗", 0);
        f.app.log.WriteLog(0, LogWarning, "M", "P", "警告", 0);
        f.app.log.WriteLog(0, LogTrace, "M", "P", "経過", 0);
        f.app.log.WriteLog(0, LogInfo, "M", "P", "情報", 0);
        f.app.log.WriteLog(0, 5, "M", "P", "not a line", 0);
    });
    auto lines = f.logLines();
    ASSERT_EQ(lines.size(), 4u);
    // The same lines, in UTF-8, each behind its priority.
    EXPECT_EQ(err, "<3>" + lines[0] + "\n<4>" + lines[1] + "\n<7>" + lines[2] + "\n<6>" + lines[3] +
                       "\n");
    EXPECT_NE(err.find("\tシス・エラー\t失敗\n"), std::string::npos);
    // The log file itself is as without the journal: CP932, CR LF.
    EXPECT_EQ(text::fromCp932(readFile(f.app.log.logFile())).find("<"), std::string::npos);

    // A log that cannot be written gives each line once, with its priority.
    f.app.log.setBasePath(f.dir / "stderr/kestrova");
    err = capturedStderr(f.dir / "stderr2",
                         [&] { f.app.log.WriteLog(0, LogWarning, "M", "P", "x", 0); });
    EXPECT_EQ(err.rfind("<4>", 0), 0u);
    EXPECT_EQ(lineCount(err), 1u);

    f.app.log.journal = false;
    f.app.log.setBasePath(f.dir / "kestrova");
    EXPECT_EQ(capturedStderr(f.dir / "stderr3",
                             [&] { f.app.log.WriteLog(0, LogWarning, "M", "P", "x", 0); }),
              "");
}

TEST(OperationLog, JournalStreamMustBeThisStandardError) {
    test::TempDir dir;
    std::string file = dir / "err";
    struct stat st {};
    bool matched = false, unmatched = true, unset = true;
    capturedStderr(file, [&] {
        ::fstat(STDERR_FILENO, &st);
        std::string mine = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        ::setenv("JOURNAL_STREAM", mine.c_str(), 1);
        matched = stderrIsJournal();
        ::setenv("JOURNAL_STREAM", (mine + "0").c_str(), 1);
        unmatched = stderrIsJournal();
        ::unsetenv("JOURNAL_STREAM");
        unset = stderrIsJournal();
    });
    EXPECT_TRUE(matched);
    EXPECT_FALSE(unmatched);
    EXPECT_FALSE(unset);
}

TEST(Utilities, RepeatStr) {
    EXPECT_EQ(RepeatStr(" ", 3), "   ");
    EXPECT_EQ(RepeatStr("ab", -2), "");
    EXPECT_EQ(RepeatStr("ab", 0), "");
}

TEST(Utilities, SleepHandlesEventsInSlices) {
    int argc = 1;
    char name[] = "log_test";
    char* argv[] = {name, nullptr};
    QCoreApplication qapp(argc, argv);
    bool fired = false;
    QTimer::singleShot(50, [&] { fired = true; });
    QElapsedTimer t;
    t.start();
    My_Sleep(250);
    EXPECT_GE(t.elapsed(), 295); // three slices
    EXPECT_TRUE(fired);
    t.restart();
    My_Sleep(0);
    My_Sleep(-5);
    EXPECT_LT(t.elapsed(), 50);
}

// Once the program is asked to end (a termination signal quits the
// application), a wait of the notification path returns at once instead of
// holding the end up.
TEST(Utilities, SleepEndsWhenTheProgramQuits) {
    int argc = 1;
    char name[] = "log_test";
    char* argv[] = {name, nullptr};
    QCoreApplication qapp(argc, argv);
    qint64 waited = -1;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(200, [] { QCoreApplication::quit(); });
        QElapsedTimer t;
        t.start();
        My_Sleep(3000);
        waited = t.elapsed();
    });
    QCoreApplication::exec();
    EXPECT_GE(waited, 150);
    EXPECT_LT(waited, 1000);
}
