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

RunResult runProgram(const std::vector<std::string>& argv, bool quiet) {
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (quiet)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
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
    if (options_.holdMessage > 0)
        argv.insert(argv.end(), {"--hold-message", std::to_string(options_.holdMessage),
                                 "--hold-ms", std::to_string(options_.holdMs)});
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

namespace {

void run(const std::vector<std::string>& argv, const std::string& what) {
    if (runProgram(argv, true).exitCode != 0)
        throw std::runtime_error(what + " failed");
}

// "AB:CD:..." as openssl prints it.
std::string fingerprintOf(const fs::path& certificate) {
    const std::string out = runProgram({"/usr/bin/openssl", "x509", "-in", certificate.string(),
                                        "-noout", "-fingerprint", "-sha256"})
                                .output;
    const size_t equals = out.find('=');
    if (equals == std::string::npos)
        throw std::runtime_error("no fingerprint for " + certificate.string());
    std::string fingerprint = out.substr(equals + 1);
    while (!fingerprint.empty() && (fingerprint.back() == '\n' || fingerprint.back() == '\r'))
        fingerprint.pop_back();
    return fingerprint;
}

bool processGone(pid_t pid) {
    if (pid <= 0 || kill(pid, 0) != 0)
        return true;
    // A finished daemon nobody has reaped yet is gone too.
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && stat.compare(paren, 4, ") Z ") == 0;
}

// An installed package other than Postfix that provides the machine's mail
// server (Postfix is not installed beside one: it would replace it), or "".
std::string otherMailServer(const fs::path& status) {
    std::ifstream in(status);
    std::string line, package;
    bool installed = false, mta = false;
    auto found = [&] { return installed && mta && package != "postfix"; };
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty()) {
            if (found())
                return package;
            package.clear();
            installed = mta = false;
        } else if (line.rfind("Package: ", 0) == 0) {
            package = line.substr(9);
        } else if (line.rfind("Status: ", 0) == 0) {
            installed = line.find(" not-installed") == std::string::npos &&
                        line.find(" config-files") == std::string::npos;
        } else if (line.rfind("Provides: ", 0) == 0) {
            std::string provides = line.substr(10) + ",";
            for (size_t at = 0;
                 (at = provides.find("mail-transport-agent", at)) != std::string::npos; at += 20) {
                const char before = at == 0 ? ' ' : provides[at - 1];
                const char after = provides[at + 20];
                if ((before == ' ' || before == ',') &&
                    (after == ' ' || after == ',' || after == '('))
                    mta = true;
            }
        }
    }
    return found() ? package : "";
}

} // namespace

std::string MailSystem::unavailable() {
    if (geteuid() != 0)
        return "Postfix needs root to run";
    if (access("/usr/sbin/postfix", X_OK) != 0) {
        const std::string other = otherMailServer("/var/lib/dpkg/status");
        if (!other.empty())
            return "Postfix is not installed: this machine's mail server is " + other +
                   ", and installing Postfix would replace it";
    }
    for (const char* program : {"/usr/sbin/postfix", "/usr/sbin/dovecot", "/usr/bin/openssl"})
        if (access(program, X_OK) != 0)
            return std::string(program) +
                   " is missing (scripts/install-deps.sh --test installs it)";
    for (const char* user : {"postfix", "dovecot", "dovenull"})
        if (!getpwnam(user))
            return std::string("the ") + user + " user is missing";
    return {};
}

MailSystem::MailSystem() {
    const std::string why = unavailable();
    if (!why.empty())
        throw std::runtime_error(why);
    // Both daemons drop privileges and must reach their folders in here.
    chmod(dir_.path().c_str(), 0755);
    makeCertificates();
    plainPort = freePort();
    startTlsPort = freePort();
    selfSignedPort = freePort();
    heloRefusedPort = freePort();
    popPort = freePort();
    smtpsPort = waitForPort(465, 0ms) ? 0 : 465;
    startDovecot();
    try {
        startPostfix();
    } catch (...) {
        dovecot_.reset();
        throw;
    }
}

MailSystem::~MailSystem() {
    if (postfixStarted_) {
        const fs::path pidFile = dir_.path() / "spool/pid/master.pid";
        const std::string pidText = readFile(pidFile);
        const pid_t master = pidText.empty() ? -1 : static_cast<pid_t>(std::atol(pidText.c_str()));
        runProgram({"/usr/sbin/postfix", "-c", (dir_.path() / "postfix").string(), "stop"});
        if (!waitUntil([&] { return processGone(master); }, 10s) && master > 0)
            kill(master, SIGKILL);
    }
    dovecot_.reset();
}

void MailSystem::makeCertificates() {
    const fs::path d = dir_.path();
    const std::string openssl = "/usr/bin/openssl";
    auto key = [&](const char* name) { return (d / name).string(); };
    run({openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
         "/CN=Kestrova Test CA", "-keyout", key("ca.key"), "-out", key("ca.pem")},
        "making the test CA");
    run({openssl, "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
         key("server.key"), "-out", key("server.csr")},
        "making the server key");
    writeFile(d / "server.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    run({openssl, "x509", "-req", "-in", key("server.csr"), "-CA", key("ca.pem"), "-CAkey",
         key("ca.key"), "-CAcreateserial", "-days", "2", "-extfile", key("server.ext"), "-out",
         key("server.pem")},
        "signing the server certificate");
    run({openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
         "/CN=self-signed.invalid", "-keyout", key("self.key"), "-out", key("self.pem")},
        "making the self-signed certificate");
    for (const char* file : {"server.key", "self.key"})
        chmod((d / file).c_str(), 0644); // read by Postfix's smtpd as well
    serverFingerprint_ = fingerprintOf(d / "server.pem");
    selfFingerprint_ = fingerprintOf(d / "self.pem");
}

void MailSystem::startDovecot() {
    const fs::path d = dir_.path() / "dovecot";
    fs::create_directories(d / "mail");
    fs::create_directories(d / "run");
    fs::create_directories(dir_.path() / "sasl");
    const passwd* dovecot = getpwnam("dovecot");
    if (chown((d / "mail").c_str(), dovecot->pw_uid, dovecot->pw_gid) != 0)
        throw std::runtime_error("cannot hand the POP mail folder to dovecot");
    writeFile(d / "passwd", kUser + ":{PLAIN}" + kPassword + "\n");
    const std::string dir = d.string(), top = dir_.path().string();
    writeFile(d / "dovecot.conf",
              "protocols = pop3\n"
              "listen = 127.0.0.1\n"
              "base_dir = " +
                  dir +
                  "/run\n"
                  "state_dir = " +
                  dir +
                  "/state\n"
                  "log_path = " +
                  dir +
                  "/dovecot.log\n"
                  "ssl = yes\n"
                  "ssl_cert = <" +
                  top +
                  "/server.pem\n"
                  "ssl_key = <" +
                  top +
                  "/server.key\n"
                  "disable_plaintext_auth = no\n"
                  "auth_mechanisms = plain login cram-md5 apop\n"
                  "auth_failure_delay = 0\n"
                  "first_valid_uid = 0\n"
                  "default_internal_user = dovecot\n"
                  "default_internal_group = dovecot\n"
                  "default_login_user = dovenull\n"
                  "mail_location = maildir:" +
                  dir +
                  "/mail/%u\n"
                  "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " +
                  dir +
                  "/passwd\n}\n"
                  "userdb {\n  driver = static\n  args = uid=dovecot gid=dovecot home=" +
                  dir +
                  "/mail/%u\n}\n"
                  "service pop3-login {\n  chroot =\n  inet_listener pop3 {\n    port = " +
                  std::to_string(popPort) +
                  // No POP3S on the fixed port 995: two runs side by side
                  // would fight over it and the second Dovecot would stop.
                  "\n  }\n  inet_listener pop3s {\n    port = 0\n  }\n}\n"
                  "service auth {\n  unix_listener " +
                  top +
                  "/sasl/auth {\n    mode = 0666\n  }\n}\n"
                  "service anvil {\n  chroot =\n}\n"
                  "service imap-login {\n  chroot =\n}\n");
    dovecot_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/dovecot", "-F", "-c", dir + "/dovecot.conf"},
        d / "dovecot.out");
    if (!waitForPort(popPort, 20s) ||
        !waitUntil([&] { return fs::exists(dir_.path() / "sasl/auth"); }, 10s))
        throw std::runtime_error("dovecot did not start: " + readFile(d / "dovecot.out") +
                                 dovecotLog());
}

void MailSystem::startPostfix() {
    const fs::path d = dir_.path();
    const fs::path conf = d / "postfix";
    fs::create_directories(conf);
    fs::create_directories(d / "spool");
    fs::create_directories(d / "data");
    fs::create_directories(d / "mail");
    // getpwnam answers in one static buffer: copy before the next call.
    const passwd* found = getpwnam("postfix");
    const uid_t postfixUid = found->pw_uid;
    const gid_t postfixGid = found->pw_gid;
    found = getpwnam("nobody");
    if (!found)
        throw std::runtime_error("the nobody user is missing");
    const uid_t nobodyUid = found->pw_uid;
    const gid_t nobodyGid = found->pw_gid;
    if (chown((d / "data").c_str(), postfixUid, postfixGid) != 0 ||
        chown((d / "mail").c_str(), nobodyUid, nobodyGid) != 0)
        throw std::runtime_error("cannot prepare the Postfix folders");
    std::string boxes;
    for (const std::string& box : kMailboxes)
        boxes += box + "@example.com " + box + "/\n";
    writeFile(conf / "vmailbox", boxes);
    writeFile(conf / "senders", "blocked@example.org 451 4.7.1 Sender temporarily refused\n");
    writeFile(conf / "datasenders", "nodata@example.org 554 5.7.1 No mail from this sender\n");
    const std::string top = d.string(), c = conf.string();
    const std::string uid = std::to_string(nobodyUid), gid = std::to_string(nobodyGid);
    writeFile(
        conf / "main.cf",
        "compatibility_level = 3.6\n"
        "queue_directory = " +
            top +
            "/spool\n"
            "data_directory = " +
            top +
            "/data\n"
            "mail_owner = postfix\n"
            "myhostname = mail.test.example\n"
            "mydomain = test.example\n"
            "myorigin = test.example\n"
            "mydestination =\n"
            "inet_interfaces = 127.0.0.1\n"
            "inet_protocols = ipv4\n"
            "mynetworks = 192.0.2.1/32\n"
            "maillog_file = " +
            top +
            "/postfix.log\n"
            "maillog_file_prefixes = " +
            top +
            "\n"
            "biff = no\n"
            "virtual_mailbox_domains = example.com\n"
            "virtual_mailbox_base = " +
            top +
            "/mail\n"
            "virtual_mailbox_maps = texthash:" +
            c +
            "/vmailbox\n"
            "virtual_uid_maps = static:" +
            uid +
            "\n"
            "virtual_gid_maps = static:" +
            gid +
            "\n"
            "smtpd_delay_reject = no\n"
            "smtpd_helo_required = yes\n"
            "smtpd_helo_restrictions = reject_invalid_helo_hostname, "
            "reject_non_fqdn_helo_hostname\n"
            "smtpd_sender_restrictions = check_sender_access texthash:" +
            c +
            "/senders\n"
            "smtpd_relay_restrictions = permit_sasl_authenticated, reject_unauth_destination\n"
            "smtpd_data_restrictions = check_sender_access texthash:" +
            c +
            "/datasenders\n"
            "smtpd_sasl_type = dovecot\n"
            "smtpd_sasl_path = " +
            top +
            "/sasl/auth\n"
            "smtpd_sasl_auth_enable = yes\n"
            "smtpd_tls_cert_file = " +
            top +
            "/server.pem\n"
            "smtpd_tls_key_file = " +
            top +
            "/server.key\n"
            "smtpd_tls_security_level = may\n"
            "smtpd_tls_auth_only = no\n");
    auto listener = [](int port, const std::string& options) {
        return "127.0.0.1:" + std::to_string(port) + " inet n - n - - smtpd" + options + "\n";
    };
    auto listeners = [&] {
        std::string text =
            listener(plainPort, " -o smtpd_tls_security_level=none") +
            listener(startTlsPort, " -o smtpd_tls_auth_only=yes") +
            listener(selfSignedPort, " -o smtpd_tls_cert_file=" + top + "/self.pem" +
                                         " -o smtpd_tls_key_file=" + top + "/self.key") +
            listener(heloRefusedPort, " -o smtpd_tls_security_level=none"
                                      " -o smtpd_helo_restrictions=reject");
        if (smtpsPort)
            text += listener(smtpsPort, " -o smtpd_tls_wrappermode=yes");
        return text;
    };
    std::string services;
    services += "pickup unix n - n 60 1 pickup\n"
                "cleanup unix n - n - 0 cleanup\n"
                "qmgr unix n - n 300 1 qmgr\n"
                "tlsmgr unix - - n 1000? 1 tlsmgr\n"
                "rewrite unix - - n - - trivial-rewrite\n"
                "bounce unix - - n - 0 bounce\n"
                "defer unix - - n - 0 bounce\n"
                "trace unix - - n - 0 bounce\n"
                "verify unix - - n - 1 verify\n"
                "flush unix n - n 1000? 0 flush\n"
                "proxymap unix - - n - - proxymap\n"
                "smtp unix - - n - - smtp\n"
                "showq unix n - n - - showq\n"
                "error unix - - n - - error\n"
                "retry unix - - n - - error\n"
                "discard unix - - n - - discard\n"
                "local unix - n n - - local\n"
                "virtual unix - n n - - virtual\n"
                "anvil unix - - n - 1 anvil\n"
                "scache unix - - n - 1 scache\n"
                "postlog unix-dgram n - n - 1 postlogd\n";
    // A port found free may be taken before Postfix binds it (465 in
    // particular, which other tests use too): then once more on new ports.
    for (int attempt = 0;; ++attempt) {
        writeFile(conf / "master.cf", listeners() + services);
        const RunResult started = runProgram({"/usr/sbin/postfix", "-c", c, "start"});
        postfixStarted_ = true;
        if (started.exitCode == 0 && waitForPort(plainPort, 20s) && waitForPort(startTlsPort, 5s))
            return;
        if (attempt == 1)
            throw std::runtime_error("postfix did not start: " + postfixLog());
        runProgram({"/usr/sbin/postfix", "-c", c, "stop"}, true);
        plainPort = freePort();
        startTlsPort = freePort();
        selfSignedPort = freePort();
        heloRefusedPort = freePort();
        smtpsPort = 0;
    }
}

std::vector<fs::path> MailSystem::mailbox(const std::string& name) const {
    std::vector<fs::path> files;
    const fs::path box = dir_.path() / "mail" / name / "new";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(box, error))
        files.push_back(entry.path());
    // Maildir names start with the delivery time in seconds.
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<fs::path> MailSystem::waitForMail(const std::string& name, size_t count,
                                              std::chrono::milliseconds timeout) const {
    waitUntil([&] { return mailbox(name).size() >= count; }, timeout);
    return mailbox(name);
}

bool MailSystem::waitForEmptyQueue(std::chrono::milliseconds timeout) const {
    return waitUntil(
        [&] {
            for (const char* queue : {"incoming", "active", "deferred", "maildrop"}) {
                std::error_code error;
                for (fs::recursive_directory_iterator it(dir_.path() / "spool" / queue, error), end;
                     it != end; it.increment(error))
                    if (it->is_regular_file())
                        return false;
            }
            return true;
        },
        timeout);
}

std::string MailSystem::postfixLog() const {
    return readFile(dir_.path() / "postfix.log");
}

std::string MailSystem::dovecotLog() const {
    return readFile(dir_.path() / "dovecot/dovecot.log");
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
    mail.attachmentTypeName = text(o["attachment_type_name"]);
    mail.attachmentBytes = o["attachment_bytes"].isNull()
                               ? -1
                               : static_cast<long long>(o["attachment_bytes"].toDouble());
    mail.attachmentSha256 = text(o["attachment_sha256"]);
    mail.headerNames = texts(o["header_names"]);
    mail.defects = o["defects"].toInt();
    mail.raw = readFile(eml);
    return mail;
}

std::string sentText(const fs::path& eml) {
    const std::string raw = readFile(eml.string());
    const std::string mark = "Content-Transfer-Encoding: base64\r\n\r\n";
    const size_t at = raw.find(mark);
    if (at == std::string::npos)
        return raw;
    const size_t end = raw.find("\r\n\r\n", at + mark.size());
    const std::string b64 = raw.substr(at + mark.size(), end - at - mark.size());
    return QByteArray::fromBase64(QByteArray::fromStdString(b64)).toStdString();
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
