#include "watch/ScanHelper.h"

#include "core/App.h"
#include "core/FileIo.h"
#include "core/OperationLog.h"
#include "core/Text.h"
#include "core/UnixSignals.h"
#include "watch/Scanner.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrova {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Requests and answers are frames: a 4-byte length, then fields, each a
// 4-byte number or a length and its bytes.
class Writer {
public:
    void number(std::uint32_t n) {
        for (int shift = 0; shift < 32; shift += 8)
            out += static_cast<char>((n >> shift) & 0xFF);
    }
    void text(std::string_view s) {
        number(static_cast<std::uint32_t>(s.size()));
        out += s;
    }
    std::string frame() const {
        Writer w;
        w.text(out);
        return w.out;
    }
    std::string out;
};

class Reader {
public:
    explicit Reader(const std::string& in) : in_(in) {}
    std::uint32_t number() {
        if (in_.size() - pos_ < 4) {
            ok = false;
            return 0;
        }
        std::uint32_t n = 0;
        for (int i = 0; i < 4; ++i)
            n |= static_cast<std::uint32_t>(static_cast<unsigned char>(in_[pos_ + i])) << (8 * i);
        pos_ += 4;
        return n;
    }
    std::string text() {
        const std::uint32_t n = number();
        if (!ok || in_.size() - pos_ < n) {
            ok = false;
            return {};
        }
        std::string s = in_.substr(pos_, n);
        pos_ += n;
        return s;
    }
    bool ok = true;

private:
    const std::string& in_;
    std::size_t pos_ = 0;
};

constexpr std::uint32_t kScan = 'S';
constexpr std::uint32_t kCopy = 'C';

void writeRecord(Writer& w, const CheckFileList& record) {
    w.number(static_cast<std::uint32_t>(record.size()));
    for (const CheckFile& f : record) {
        w.text(f.Path());
        w.text(f.Date());
    }
}

CheckFileList readRecord(Reader& r) {
    const std::uint32_t n = r.number();
    CheckFileList::Items items;
    for (std::uint32_t i = 0; i < n && r.ok; ++i) {
        const std::string path = r.text();
        const std::string date = r.text();
        items.emplace_back(path, date);
    }
    return CheckFileList(std::move(items));
}

// Log lines and boxes of the helper, replayed by the watcher.
struct LoggedLine {
    int flag;
    int level;
    std::string module, procedure, message;
};

void writeLines(Writer& w, const std::vector<LoggedLine>& lines) {
    w.number(static_cast<std::uint32_t>(lines.size()));
    for (const LoggedLine& l : lines) {
        w.number(static_cast<std::uint32_t>(l.flag));
        w.number(static_cast<std::uint32_t>(l.level));
        w.text(l.module);
        w.text(l.procedure);
        w.text(l.message);
    }
}

void replayLines(App& app, Reader& r) {
    const std::uint32_t n = r.number();
    for (std::uint32_t i = 0; i < n && r.ok; ++i) {
        const int flag = static_cast<int>(r.number());
        const int level = static_cast<int>(r.number());
        const std::string module = r.text();
        const std::string procedure = r.text();
        const std::string message = r.text();
        if (r.ok)
            app.log.WriteLog(flag, level, module, procedure, message);
    }
}

std::string shown(const std::string& path) {
    return text::singleLine(text::displayName(path));
}

bool readAll(int fd, char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Copies one regular file, keeping its times; the copy is private.
bool copyFile(const std::string& from, const std::string& to, std::string& error) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (in < 0) {
        // Gone since the scan (a deletion is notified without it).
        if (errno != ENOENT)
            error = shown(from) + ": " + errnoText(errno);
        return false;
    }
    struct stat st {};
    const int out = ::fstat(in, &st) == 0 && S_ISREG(st.st_mode)
                        ? ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)
                        : -1;
    bool ok = out >= 0;
    if (!ok)
        error = shown(S_ISREG(st.st_mode) ? to : from) + ": " + errnoText(errno);
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = shown(from) + ": " + errnoText(errno);
            ok = false;
        }
        if (n <= 0)
            break;
        if (!writeAll(out, std::string_view(buffer, static_cast<std::size_t>(n)))) {
            error = shown(to) + ": " + errnoText(errno);
            ok = false;
        }
    }
    if (ok) {
        const timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out, times);
    }
    if (out >= 0)
        ::close(out);
    ::close(in);
    return ok;
}

// Copies the files of a folder (and its subfolders, when asked) as the
// archiver would read them there.
bool copyFolder(const std::string& from, const std::string& to, bool subfolders,
                std::string& error) {
    struct stat own {};
    if (::stat(from.c_str(), &own) != 0) {
        if (errno != ENOENT)
            error = shown(from) + ": " + errnoText(errno);
        return false;
    }
    if (::mkdir(to.c_str(), 0700) != 0) {
        error = shown(to) + ": " + errnoText(errno);
        return false;
    }
    DIR* dir = ::opendir(from.c_str());
    if (!dir) {
        error = shown(from) + ": " + errnoText(errno);
        return false;
    }
    bool ok = true;
    while (dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        const std::string path = from + "/" + name;
        if (::stat(path.c_str(), &st) != 0)
            continue; // gone meanwhile, or a dangling link: not archived either
        if (S_ISREG(st.st_mode))
            ok = copyFile(path, to + "/" + name, error);
        else if (S_ISDIR(st.st_mode) && subfolders)
            ok = copyFolder(path, to + "/" + name, true, error);
        if (!ok)
            break;
    }
    ::closedir(dir);
    const timespec times[2] = {own.st_atim, own.st_mtim};
    ::utimensat(AT_FDCWD, to.c_str(), times, 0);
    return ok;
}

void pumpEvents() {
    QCoreApplication* core = QCoreApplication::instance();
    if (core && QThread::currentThread() == core->thread())
        QCoreApplication::processEvents();
}

} // namespace

int runScanHelper() {
    // The helper goes with the watcher, and a Ctrl-C at its terminal is the
    // watcher's to handle.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    App app; // lives as long as the helper, so a lasting condition warns once
    app.settings.Interactive = true;
    std::vector<LoggedLine> lines;
    app.log.capture = [&lines](int flag, int level, std::string_view module,
                               std::string_view procedure, std::string_view message) {
        lines.push_back(
            {flag, level, std::string(module), std::string(procedure), std::string(message)});
    };
    for (;;) {
        char size[4];
        if (!readAll(0, size, sizeof size))
            return 0;
        const std::string head(size, sizeof size);
        const std::uint32_t n = Reader(head).number();
        std::string request(n, '\0');
        if (!readAll(0, request.data(), n))
            return 0;
        Reader r(request);
        lines.clear();
        Writer w;
        const std::uint32_t kind = r.number();
        if (kind == kScan) {
            app.settings.ComputerName = r.text();
            WatchEntry e;
            e.CheckFolder = r.text();
            e.SendMailTo = r.text();
            e.FileChkMode = static_cast<std::int32_t>(r.number());
            e.MailBdLines = r.text();
            e.CheckFiles = readRecord(r);
            std::vector<WatchEntry> list{std::move(e)};
            ScanResult scan;
            const bool ok = r.ok && scanWatchList(app, list, ScanRequest{}, scan);
            w.number(ok ? 1 : 0);
            w.text(ok ? scan.updateLists[0] : std::string());
            const bool changed = ok && scan.replaced[0].has_value();
            w.number(changed ? 1 : 0);
            if (changed)
                writeRecord(w, list[0].CheckFiles);
        } else if (kind == kCopy) {
            const std::string from = r.text();
            const bool subfolders = r.number() != 0;
            const std::string to = r.text() + "/" + lastPathName(from);
            std::string error;
            const bool folder = !from.empty() && from.back() == '/';
            const bool ok = folder
                                ? copyFolder(from.substr(0, from.size() - 1), to, subfolders, error)
                                : copyFile(from, to, error);
            if (!ok && !error.empty())
                app.logError("MsgForm", "FolderCheckSub", error, false);
            w.number(ok ? 1 : 0);
            w.text(ok ? (folder ? to + "/" : to) : std::string());
        } else {
            return 2;
        }
        writeLines(w, lines);
        if (!writeAll(1, w.frame()))
            return 0;
    }
}

HelperScans::HelperScans(std::string executable) : executable_(std::move(executable)) {}

HelperScans::~HelperScans() {
    for (Helper& h : helpers_)
        stop(h);
}

HelperScans::Helper* HelperScans::helperFor(App& app, const std::string& mount) {
    for (Helper& h : helpers_) {
        if (h.mount != mount)
            continue;
        if (h.pid < 0 && !start(app, h))
            return nullptr;
        return &h;
    }
    helpers_.push_back(Helper{});
    helpers_.back().mount = mount;
    return start(app, helpers_.back()) ? &helpers_.back() : nullptr;
}

bool HelperScans::start(App& app, Helper& h) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        app.logError("MsgForm", "FolderCheckSub", "socketpair: " + errnoText(errno), false);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::string program = "kestrova"; // its name in ps and top
    std::string word = kScanHelperWord;
    char* argv[] = {program.data(), word.data(), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, executable_.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        app.logError("MsgForm", "FolderCheckSub", shown(executable_) + ": " + errnoText(rc), false);
        return false;
    }
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    h.pid = pid;
    h.toChild = h.fromChild = fds[0];
    h.received.clear();
    h.owed = 0;
    return true;
}

void HelperScans::stop(Helper& h) {
    if (h.pid > 0) {
        // One blocked in the file system cannot be reaped until it answers;
        // it is left to the system rather than waited for.
        ::kill(h.pid, SIGKILL);
        ::waitpid(h.pid, nullptr, WNOHANG);
    }
    if (h.toChild >= 0)
        ::close(h.toChild);
    h.pid = -1;
    h.toChild = h.fromChild = -1;
    h.received.clear();
    h.owed = 0;
}

bool HelperScans::send(Helper& h, const std::string& payload) {
    Writer w;
    w.out = payload;
    const std::string frame = w.frame();
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = ::send(h.toChild, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // An idle helper reads at once; one that does not is gone astray.
            pollfd p{h.toChild, POLLOUT, 0};
            if (::poll(&p, 1, 5000) > 0)
                continue;
        }
        return false;
    }
    ++h.owed;
    return true;
}

bool HelperScans::receive(Helper& h) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(h.fromChild, buffer, sizeof buffer, 0);
        if (n > 0) {
            h.received.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

std::optional<std::string> HelperScans::takeAnswer(Helper& h) {
    Reader r(h.received);
    const std::string payload = r.text();
    if (!r.ok)
        return std::nullopt;
    h.received.erase(0, 4 + payload.size());
    --h.owed;
    return payload;
}

bool HelperScans::catchUp(App& app, Helper& h) {
    if (h.owed == 0)
        return true;
    const bool alive = receive(h);
    while (h.owed > 0 && takeAnswer(h)) {
    }
    if (h.owed > 0 && !alive) {
        stop(h);
        return false;
    }
    if (h.owed > 0)
        return false;
    if (!h.unanswered.empty())
        app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub",
                         shown(h.mount) + " が再び応答しました");
    h.unanswered.clear();
    return true;
}

void HelperScans::notAnswering(App& app, Helper& h, const std::string& path) {
    if (h.unanswered.insert(path).second)
        app.log.WriteLog(0, LogWarning, "MsgForm", "FolderCheckSub",
                         shown(path) + " が応答しません");
}

namespace {

std::string scanRequest(const App& app, const WatchEntry& e) {
    Writer w;
    w.number(kScan);
    w.text(app.settings.ComputerName);
    w.text(e.CheckFolder);
    w.text(e.SendMailTo);
    w.number(static_cast<std::uint32_t>(e.FileChkMode));
    w.text(e.MailBdLines);
    writeRecord(w, e.CheckFiles);
    return w.out;
}

// Puts a helper's answer for entry j where scanWatchList would have.
void takeScan(App& app, const std::string& answer, std::size_t j, std::vector<WatchEntry>& list,
              std::vector<std::string>& updateLists,
              std::vector<std::optional<CheckFileList>>& replaced) {
    Reader r(answer);
    const bool ok = r.number() != 0;
    std::string changes = r.text();
    const bool changed = r.number() != 0;
    CheckFileList record;
    if (changed)
        record = readRecord(r);
    replayLines(app, r);
    if (!r.ok || !ok)
        return; // logged by the helper: the entry keeps its record
    updateLists[j] = std::move(changes);
    if (changed) {
        replaced[j] = std::move(list[j].CheckFiles);
        list[j].CheckFiles = std::move(record);
    }
}

} // namespace

bool HelperScans::scan(App& app, std::vector<WatchEntry>& list, const std::vector<Job>& jobs,
                       std::vector<std::string>& updateLists,
                       std::vector<std::optional<CheckFileList>>& replaced,
                       std::chrono::milliseconds limit) {
    // One queue per file system: its helper scans one entry at a time, and
    // the file systems are waited for side by side.
    struct Queue {
        Helper* helper = nullptr;
        std::vector<std::size_t> entries;
        std::size_t next = 0;
        bool waiting = false;
        SteadyClock::time_point deadline{};
    };
    leftOut = 0;
    std::vector<Queue> queues;
    for (const Job& job : jobs) {
        auto q = std::find_if(queues.begin(), queues.end(),
                              [&](const Queue& o) { return o.helper->mount == job.mount; });
        if (q == queues.end()) {
            Helper* h = helperFor(app, job.mount);
            if (!h) {
                ++leftOut; // logged
                continue;
            }
            q = queues.insert(queues.end(), Queue{h, {}, 0, false, {}});
        }
        q->entries.push_back(job.index);
    }
    auto sendNext = [&](Queue& q) {
        q.waiting = false;
        if (q.next >= q.entries.size())
            return;
        if (!send(*q.helper, scanRequest(app, list[q.entries[q.next]]))) {
            app.logError("MsgForm", "FolderCheckSub",
                         shown(q.helper->mount) + ": 走査の補助プロセスに依頼できません", false);
            stop(*q.helper);
            leftOut += static_cast<int>(q.entries.size() - q.next);
            q.next = q.entries.size();
            return;
        }
        q.waiting = true;
        q.deadline = SteadyClock::now() + limit;
    };
    // The rest of a queue is left out of this pass.
    auto leaveOut = [&](Queue& q, bool silent) {
        leftOut += static_cast<int>(q.entries.size() - q.next);
        if (silent)
            for (std::size_t k = q.next; k < q.entries.size(); ++k)
                notAnswering(app, *q.helper, list[q.entries[k]].CheckFolder);
        q.waiting = false;
        q.next = q.entries.size();
    };
    for (Queue& q : queues) {
        // Still busy with what an earlier pass asked: not asked again.
        if (catchUp(app, *q.helper))
            sendNext(q);
        else
            leaveOut(q, true);
    }

    for (;;) {
        std::vector<pollfd> fds;
        for (Queue& q : queues)
            if (q.waiting)
                fds.push_back({q.helper->fromChild, POLLIN, 0});
        if (fds.empty())
            return true;
        if (terminationRequested())
            return false;
        ::poll(fds.data(), fds.size(), 20);
        for (Queue& q : queues) {
            if (!q.waiting)
                continue;
            Helper& h = *q.helper;
            const bool alive = receive(h);
            while (q.waiting) {
                std::optional<std::string> answer = takeAnswer(h);
                if (!answer)
                    break;
                takeScan(app, *answer, q.entries[q.next++], list, updateLists, replaced);
                sendNext(q);
            }
            if (q.waiting && !alive) {
                app.logError("MsgForm", "FolderCheckSub",
                             shown(h.mount) + ": 走査の補助プロセスが終了しました", false);
                stop(h);
                leaveOut(q, false);
            } else if (q.waiting && SteadyClock::now() >= q.deadline) {
                // Its answer is awaited at later passes, not asked for again.
                leaveOut(q, true);
            }
        }
        pumpEvents();
    }
}

std::optional<std::string> HelperScans::stage(App& app, const std::string& mount,
                                              const std::string& path, bool subfolders,
                                              const std::string& into,
                                              std::chrono::milliseconds limit) {
    Helper* h = helperFor(app, mount);
    if (!h)
        return "";
    if (!catchUp(app, *h)) {
        notAnswering(app, *h, path);
        return std::nullopt;
    }
    Writer w;
    w.number(kCopy);
    w.text(path);
    w.number(subfolders ? 1 : 0);
    w.text(into);
    if (!send(*h, w.out)) {
        stop(*h);
        return "";
    }
    const SteadyClock::time_point deadline = SteadyClock::now() + limit;
    for (;;) {
        const bool alive = receive(*h);
        if (std::optional<std::string> answer = takeAnswer(*h)) {
            Reader r(*answer);
            const bool ok = r.number() != 0;
            std::string copy = r.text();
            replayLines(app, r);
            return r.ok && ok ? copy : std::string();
        }
        if (!alive) {
            stop(*h);
            return "";
        }
        if (terminationRequested())
            return std::nullopt;
        if (SteadyClock::now() >= deadline) {
            notAnswering(app, *h, path);
            return std::nullopt;
        }
        pollfd p{h->fromChild, POLLIN, 0};
        ::poll(&p, 1, 20);
        pumpEvents();
    }
}

} // namespace kestrova
