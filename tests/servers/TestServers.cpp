#include "TestServers.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace kestrova::test {

namespace {

std::vector<char*> argvPointers(const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    for (const std::string& a : argv)
        pointers.push_back(const_cast<char*>(a.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

template <typename Predicate> bool waitUntil(Predicate done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::string text(const QJsonValue& v) {
    return v.toString().toStdString();
}

std::vector<std::string> texts(const QJsonValue& v) {
    std::vector<std::string> out;
    for (const QJsonValue& item : v.toArray())
        out.push_back(text(item));
    return out;
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const fs::path& logFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const std::string log = logFile.empty() ? "/dev/null" : logFile.string();
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args = argvPointers(argv);
    const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0]);
    }
}

ChildProcess::~ChildProcess() {
    stop();
}

bool ChildProcess::running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::stop() {
    if (!running())
        return;
    kill(pid_, SIGTERM);
    if (!waitUntil([this] { return !running(); }, 5s)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

RunResult runProgram(const std::vector<std::string>& argv) {
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::vector<char*> args = argvPointers(argv);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    RunResult result;
    if (rc != 0) {
        close(fds[0]);
        return result;
    }
    char buffer[65536];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        result.output.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string python() {
    const char* chosen = std::getenv("KESTROVA_PYTHON");
    return chosen && *chosen ? chosen : "/usr/bin/python3";
}

fs::path serversDir() {
    return KESTROVA_TEST_SERVERS_DIR;
}

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("no free port");
    close(fd);
    return ntohs(address.sin_port);
}

bool waitForPort(int port, std::chrono::milliseconds timeout) {
    return waitUntil(
        [port] {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(port));
            const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            close(fd);
            return ok;
        },
        timeout);
}

SmtpServer::SmtpServer(SmtpServerOptions options) : options_(std::move(options)) {
    std::vector<std::string> argv = {python(),         (serversDir() / "smtp_server.py").string(),
                                     "--outdir",       dir_.path().string(),
                                     "--auth",         options_.auth,
                                     "--user",         options_.user,
                                     "--password",     options_.password,
                                     "--refuse-first", std::to_string(options_.refuseFirst),
                                     "--mode",         options_.mode,
                                     "--port",         std::to_string(options_.port)};
    if (options_.firstDelayMs > 0 || options_.randomDelayMs > 0 || options_.failRate > 0)
        argv.insert(argv.end(), {"--first-delay-ms", std::to_string(options_.firstDelayMs),
                                 "--random-delay-ms", std::to_string(options_.randomDelayMs),
                                 "--fail-rate", std::to_string(options_.failRate),
                                 "--max-fails-in-a-row", std::to_string(options_.maxFailsInARow),
                                 "--seed", std::to_string(options_.seed)});
    if (options_.startTlsSelfSigned || options_.implicitTlsSelfSigned) {
        const fs::path cert = work_.path() / "cert.pem", key = work_.path() / "key.pem";
        const RunResult made = runProgram(
            {"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
             "-subj", "/CN=127.0.0.1", "-keyout", key.string(), "-out", cert.string()});
        if (made.exitCode != 0)
            throw std::runtime_error("openssl could not make a test certificate");
        argv.insert(argv.end(), {"--cert", cert.string(), "--key", key.string()});
        if (options_.implicitTlsSelfSigned)
            argv.push_back("--implicit-tls");
    }
    const fs::path log = work_.path() / "smtp.log";
    process_ = std::make_unique<ChildProcess>(argv, log);
    const fs::path portFile = dir_.path() / "port";
    if (!waitUntil([&] { return fs::exists(portFile) || !process_->running(); }, 15s) ||
        !fs::exists(portFile))
        throw std::runtime_error("SMTP test server did not start: " + readFile(log));
    port_ = std::stoi(readFile(portFile));
    fs::remove(portFile);
    if (!waitForPort(port_, 5s))
        throw std::runtime_error("SMTP test server does not accept connections");
}

std::vector<fs::path> SmtpServer::messages() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir_.path()))
        if (entry.path().extension() == ".eml")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<fs::path> SmtpServer::waitForMessages(size_t count,
                                                  std::chrono::milliseconds timeout) const {
    waitUntil([&] { return messages().size() >= count; }, timeout);
    return messages();
}

Pop3Server::Pop3Server(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password)) {
    const fs::path dir = dir_.path();
    fs::create_directories(dir / "mail");
    fs::create_directories(dir / "run");
    // Dovecot drops privileges: as root the login and mail processes run as
    // its own system users, which must be able to reach these folders.
    std::string internalUser, loginUser, mailUid;
    if (geteuid() == 0) {
        chmod(dir.c_str(), 0755);
        const passwd* dovecot = getpwnam("dovecot");
        if (!dovecot)
            throw std::runtime_error("the dovecot user is missing (dovecot-core installed?)");
        if (chown((dir / "mail").c_str(), dovecot->pw_uid, dovecot->pw_gid) != 0)
            throw std::runtime_error("cannot hand the mail folder to dovecot");
        internalUser = "dovecot";
        loginUser = "dovenull";
        mailUid = "uid=dovecot gid=dovecot";
    } else {
        const passwd* me = getpwuid(geteuid());
        internalUser = loginUser = me ? me->pw_name : "nobody";
        mailUid = "uid=" + std::to_string(geteuid()) + " gid=" + std::to_string(getegid());
    }
    port_ = freePort();
    writeFile(dir / "passwd", user_ + ":{PLAIN}" + password_ + "\n");
    const std::string d = dir.string();
    writeFile(dir / "dovecot.conf",
              "protocols = pop3\n"
              "listen = 127.0.0.1\n"
              "base_dir = " +
                  d +
                  "/run\n"
                  "state_dir = " +
                  d +
                  "/state\n"
                  "log_path = " +
                  d +
                  "/dovecot.log\n"
                  "ssl = no\n"
                  "disable_plaintext_auth = no\n"
                  "auth_mechanisms = plain apop\n"
                  "auth_failure_delay = 0\n"
                  "first_valid_uid = 0\n"
                  "default_internal_user = " +
                  internalUser +
                  "\n"
                  "default_internal_group = " +
                  internalUser +
                  "\n"
                  "default_login_user = " +
                  loginUser +
                  "\n"
                  "mail_location = maildir:" +
                  d +
                  "/mail/%u\n"
                  "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " +
                  d +
                  "/passwd\n}\n"
                  "userdb {\n  driver = static\n  args = " +
                  mailUid + " home=" + d +
                  "/mail/%u\n}\n"
                  "service pop3-login {\n  chroot =\n  inet_listener pop3 {\n    port = " +
                  std::to_string(port_) +
                  "\n  }\n}\n"
                  "service anvil {\n  chroot =\n}\n"
                  "service imap-login {\n  chroot =\n}\n");
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/dovecot", "-F", "-c", d + "/dovecot.conf"},
        dir / "dovecot.out");
    if (!waitForPort(port_, 15s))
        throw std::runtime_error("dovecot did not start: " + readFile(dir / "dovecot.out") +
                                 readFile(logFile()));
}

Pop3Server::~Pop3Server() {
    if (process_)
        process_->stop();
}

ParsedMail parseEml(const fs::path& eml) {
    const RunResult run = runProgram({python(), (serversDir() / "parse_eml.py").string(), eml});
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(run.output)).object();
    if (run.exitCode != 0 || o.isEmpty())
        throw std::runtime_error("parse_eml.py failed on " + eml.string());
    ParsedMail mail;
    mail.subject = text(o["subject"]);
    mail.fromName = text(o["from_name"]);
    mail.fromAddress = text(o["from_address"]);
    mail.to = texts(o["to"]);
    mail.toNames = texts(o["to_names"]);
    mail.hasBody = o["body"].isString();
    mail.body = text(o["body"]);
    mail.attachmentCount = static_cast<int>(o["attachments"].toArray().size());
    mail.attachmentName = text(o["attachment_name"]);
    mail.attachmentBytes = o["attachment_bytes"].isNull()
                               ? -1
                               : static_cast<long long>(o["attachment_bytes"].toDouble());
    mail.attachmentSha256 = text(o["attachment_sha256"]);
    mail.headerNames = texts(o["header_names"]);
    mail.defects = o["defects"].toInt();
    mail.raw = readFile(eml);
    return mail;
}

Envelope readEnvelope(const fs::path& eml) {
    fs::path json = eml;
    json.replace_extension(".json");
    const QJsonObject o =
        QJsonDocument::fromJson(QByteArray::fromStdString(readFile(json))).object();
    return {text(o["mail_from"]), texts(o["rcpt_tos"]), o["authenticated"].toBool()};
}

std::string sha256Hex(const fs::path& file) {
    return runProgram({"/usr/bin/sha256sum", file.string()}).output.substr(0, 64);
}

} // namespace kestrova::test
