#include "core/OperationLog.h"

#include "core/DateTime.h"
#include "core/FileIo.h"
#include "core/Text.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestrova {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// Trace lines hold mailed text, a watched file's first lines among it. A
// log already there keeps the mode its owner gave it.
constexpr mode_t kLogMode = 0600;

size_t countLines(std::string_view bytes) {
    size_t n = 0;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find('\n', pos);
        ++n;
        if (end == std::string_view::npos)
            break;
        pos = end + 1;
    }
    return n;
}

} // namespace

void OperationLog::setBasePath(const std::string& folderAndBaseName) {
    logFile_ = folderAndBaseName + ".log";
    oldLogFile_ = folderAndBaseName + "_old.log";
}

std::string OperationLog::levelLabel(int level) {
    switch (level) {
    case LogError:
        return "シス・エラー";
    case LogWarning:
        return "ワーニング  ";
    case LogTrace:
        return "トレース　  ";
    case LogInquiry:
        return "問い合せ    ";
    case LogInfo:
        return "情報        ";
    default:
        return level > 0 ? "" : "その他      ";
    }
}

bool OperationLog::appendLine(const std::string& line) {
    if (logFile_.empty())
        return false;
    std::string folder = parentFolder(logFile_);
    if (!folder.empty())
        ::mkdir(folder.c_str(), 0700);

    std::string existing, error;
    ReadStatus st = readWholeFile(logFile_, existing, error);
    if (st == ReadStatus::Failed)
        return false;
    bool fileIsUtf8 = existing.substr(0, 3) == kUtf8Bom;

    if (countLines(existing) >= static_cast<size_t>(kMaxLines)) {
        // The full log becomes the old log whole; the new line starts a new
        // file.
        if (!writeFileAtomic(oldLogFile_, existing, kLogMode, error, 07777))
            return false;
        existing.clear();
        fileIsUtf8 = false;
        if (!writeFileAtomic(logFile_, "", kLogMode, error, 07777))
            return false;
    }

    std::string lineBytes;
    bool fits = text::toCp932(line, lineBytes);
    if (fileIsUtf8) {
        lineBytes = line;
    } else if (!fits) {
        // CP932 cannot hold this line: the whole file turns to UTF-8 with a
        // mark, so nothing is replaced or lost.
        std::string whole(kUtf8Bom);
        whole += text::fromCp932(existing);
        whole += line;
        whole += "\r\n";
        return writeFileAtomic(logFile_, whole, kLogMode, error, 07777);
    }
    lineBytes += "\r\n";
    int fd = ::open(logFile_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kLogMode);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, lineBytes);
    ::close(fd);
    return ok;
}

int OperationLog::WriteLog(int flag, int level, std::string_view module, std::string_view procedure,
                           std::string_view message, int style) {
    if (capture) {
        capture(flag, level, module, procedure, message);
        return 0;
    }
    if (level <= 0) {
        std::string line = logTimestamp();
        line += '\t';
        line += module;
        line += '\t';
        line += procedure;
        line += '\t';
        line += levelLabel(level);
        line += '\t';
        line += text::replaceAll(message, "\r\n", "");
        const bool written = appendLine(line);
        // A log that cannot be written (read-only or full disk) must not
        // swallow the report: it goes to standard error instead.
        if (journal || !written) {
            std::string out = (journal ? journalPrefix(level) : std::string()) + line + "\n";
            ssize_t ignored = ::write(STDERR_FILENO, out.data(), out.size());
            (void)ignored;
        } else if (echoWarnings && level <= LogWarning && level >= LogError &&
                   !(flag == -1 && !interactive)) {
            // (A box of a run without windows goes to standard error anyway.)
            std::string out = logTimestamp() + " " + text::trimBlanks(levelLabel(level)) + " " +
                              text::replaceAll(message, "\r\n", " ") + "\n";
            ssize_t ignored = ::write(STDERR_FILENO, out.data(), out.size());
            (void)ignored;
        }
        if (!written)
            return 0;
        if (reloadViewer)
            reloadViewer();
    }
    if (flag != -1 || (interactive && !messageBox))
        return 0;

    std::string header;
    std::int32_t icon = 0;
    std::string where = std::string(module) + ":" + std::string(procedure);
    if (level == LogError) {
        header = "＜システムエラー＞" + where;
        icon = MbIconCritical;
    } else if (level == LogWarning) {
        icon = MbIconExclamation;
    } else if (level == LogInquiry) {
        icon = MbIconQuestion;
    } else if (level == LogInfo) {
        icon = MbIconInformation;
    } else {
        header = where;
    }
    MessageBoxRequest box;
    box.title = title;
    box.text = header.empty() ? std::string(message) : header + "\r\n" + std::string(message);
    box.style = style + icon;
    if (!interactive) {
        writeBoxToStandardError(box);
        return 0;
    }
    return messageBox(box);
}

void writeBoxToStandardError(const MessageBoxRequest& box) {
    std::string out = text::replaceAll(text::replaceAll(box.text, "\r\n", "\n"), "\r", "\n");
    out += "\n";
    ssize_t ignored = ::write(STDERR_FILENO, out.data(), out.size());
    (void)ignored;
}

bool stderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream || !*stream)
        return false;
    struct stat st {};
    if (::fstat(STDERR_FILENO, &st) != 0)
        return false;
    return std::string(stream) == std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                                      std::to_string(static_cast<unsigned long long>(st.st_ino));
}

std::string journalPrefix(int level) {
    switch (level) {
    case LogError:
        return "<3>";
    case LogWarning:
        return "<4>";
    case LogTrace:
        return "<7>";
    default:
        return "<6>";
    }
}

void My_Sleep(int ms) {
    for (int t = 0; t <= ms - 1; t += 100) {
        if (QCoreApplication::instance() &&
            QThread::currentThread() == QCoreApplication::instance()->thread()) {
            // Handle events while the slice passes rather than after it.
            QEventLoop loop;
            QTimer::singleShot(100, &loop, &QEventLoop::quit);
            loop.exec();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

std::string RepeatStr(std::string_view text, int count) {
    std::string out;
    for (int i = 0; i < count; ++i)
        out += text;
    return out;
}

} // namespace kestrova
