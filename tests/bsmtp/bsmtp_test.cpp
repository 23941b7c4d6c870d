// libbsmtp against real servers on loopback: aiosmtpd for SMTP, dovecot for
// POP3. Received mails are judged by Python's email package.
#include "bsmtp.h"
#include "servers/TestServers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

using namespace kestrova::test;
namespace fs = std::filesystem;

namespace {

std::string send(const std::string& server, const std::string& to, const std::string& from,
                 const std::string& subject, const std::string& body,
                 const std::string& attachment = "") {
    char* result = SendMail(server.c_str(), to.c_str(), from.c_str(), subject.c_str(), body.c_str(),
                            attachment.c_str());
    std::string text = result;
    BsmtpFree(result);
    return text;
}

std::pair<int, std::string> pop(const std::string& server, const std::string& user,
                                const std::string& password) {
    char* error = nullptr;
    const int ok = RcvMail(server.c_str(), user.c_str(), password.c_str(), "STAT", "/tmp", &error);
    std::string text = error;
    BsmtpFree(error);
    return {ok, text};
}

// Sets an environment variable for one scope.
struct ScopedEnv {
    ScopedEnv(const char* name, const char* value) : name(name) { setenv(name, value, 1); }
    ~ScopedEnv() { unsetenv(name); }
    const char* name;
};

const std::string kSubject = "【更新通知】監視フォルダ「報告書」でファイルが更新されました "
                             "(長い件名は複数の encoded-word に分けて折り返されること)";
const std::string kBody = "更新\tPC01\t/home/共有/報告書.xlsx\t2024/05/01 12:34:56\r\n"
                          "追加\tPC01\t/home/共有/議事録.txt\r\n";

} // namespace

TEST(Bsmtp, JapaneseMailWithAttachmentArrivesThroughEveryAuthMethod) {
    TempDir files;
    const fs::path attachment = files.path() / "報告書 2024年5月.bin";
    std::string data(1 << 20, '\0');
    std::mt19937 random(42);
    for (char& c : data)
        c = static_cast<char>(random());
    writeFile(attachment, data);

    for (const std::string method : {"LOGIN", "PLAIN", "CRAM-MD5"}) {
        SCOPED_TRACE(method);
        SmtpServer smtp({.auth = method, .user = "sender", .password = "p@ss:wörd"});
        const std::string from = "監視くん*<watch@example.com>\tsender:p@ss:wörd\t" + method;
        ASSERT_EQ(send(smtp.address(), "ops@example.com\tboss@example.org", from, kSubject, kBody,
                       attachment),
                  "");
        const auto received = smtp.waitForMessages(1);
        ASSERT_EQ(received.size(), 1u);
        const ParsedMail mail = parseEml(received[0]);
        EXPECT_EQ(mail.subject, kSubject);
        EXPECT_EQ(mail.fromName, "監視くん*");
        EXPECT_EQ(mail.fromAddress, "watch@example.com");
        EXPECT_EQ(mail.to, (std::vector<std::string>{"ops@example.com", "boss@example.org"}));
        EXPECT_EQ(mail.body, kBody);
        EXPECT_EQ(mail.attachmentCount, 1);
        EXPECT_EQ(mail.attachmentName, "報告書 2024年5月.bin");
        EXPECT_EQ(mail.attachmentBytes, 1 << 20);
        EXPECT_EQ(mail.attachmentSha256, sha256Hex(attachment));
        EXPECT_EQ(mail.defects, 0);
        for (const char* header : {"Date", "Message-ID", "MIME-Version", "Subject", "To"})
            EXPECT_NE(std::find(mail.headerNames.begin(), mail.headerNames.end(), header),
                      mail.headerNames.end())
                << header;
        // Folded headers and base64 keep every line short and CR LF terminated.
        size_t start = 0;
        for (size_t end; (end = mail.raw.find("\r\n", start)) != std::string::npos;
             start = end + 2) {
            EXPECT_LE(end - start, 78u);
            EXPECT_EQ(mail.raw.substr(start, end - start).find('\n'), std::string::npos);
        }
        const Envelope envelope = readEnvelope(received[0]);
        EXPECT_EQ(envelope.mailFrom, "watch@example.com");
        EXPECT_TRUE(envelope.authenticated);
    }
}

TEST(Bsmtp, NamesAndEdgeCasesSurviveTheMimeParser) {
    struct Case {
        std::string fileName;
        size_t bytes; // attachment size; chunk and line boundaries matter
        std::string subject, from, to, body, expectedBody, fromName, toName;
    };
    const std::vector<Case> cases = {
        {"report \"final\" v2.txt", 0, "Plain ASCII subject " + std::string(100, 'y'),
         "watch@example.com", "Boss Name <boss@example.com>", "", "", "", "Boss Name"},
        {"とても長い日本語のファイル名を持つ添付ファイルの例です、名前が続きます.lzh", 57 * 64, "",
         "\"Quoted, Name\"<watch@example.com>", "boss@example.com", "a\nb\n", "a\r\nb\r\n",
         "Quoted, Name", ""},
        {"x.bin", 57 * 64 + 1, "=?UTF-8?B?not-an-encoded-word?=", "x<watch@example.com>",
         "ボス<boss@example.com>", "last line without end", "last line without end", "x", "ボス"},
    };
    SmtpServer smtp;
    TempDir files;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.fileName);
        const fs::path file = files.path() / c.fileName;
        writeFile(file, std::string(c.bytes, static_cast<char>('A' + i)));
        ASSERT_EQ(send(smtp.address(), c.to, c.from, c.subject, c.body, file), "");
        const auto received = smtp.waitForMessages(i + 1);
        ASSERT_EQ(received.size(), i + 1);
        const ParsedMail mail = parseEml(received[i]);
        EXPECT_EQ(mail.subject, c.subject);
        EXPECT_EQ(mail.fromName, c.fromName);
        EXPECT_EQ(mail.fromAddress, "watch@example.com");
        EXPECT_EQ(mail.toNames, std::vector<std::string>{c.toName});
        EXPECT_EQ(mail.body, c.expectedBody);
        EXPECT_EQ(mail.attachmentName, c.fileName);
        EXPECT_EQ(mail.attachmentBytes, static_cast<long long>(c.bytes));
        EXPECT_EQ(mail.attachmentSha256, sha256Hex(file));
        EXPECT_EQ(mail.defects, 0);
    }
}

// Readers that know only one of the two forms of a non-ASCII attachment
// name (RFC 2231 or RFC 2047 in quotes) must show the same name: Python's
// email package and Perl's MIME::Tools read it back, and MIME::Tools also
// decodes the Content-Type name on its own.
TEST(Bsmtp, AttachmentNamesReadTheSameInTwoReaderFamiliesWithinTheLineLimit) {
    const std::vector<std::string> names = {
        "報告書.xlsx",
        "【重要】2024年度 第3四半期 売上報告書 (営業部・最終版) 修正済み 確定稿.xlsx",
        "a file name in plain ASCII that is far too long for one header line of a mail.txt",
        "Grüße & \"Zitate\" – ü.txt",
        "short name.txt",
    };
    SmtpServer smtp;
    TempDir files;
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        const fs::path file = files.path() / names[i];
        writeFile(file, "data " + std::to_string(i));
        ASSERT_EQ(send(smtp.address(), "ops@example.com", "watch@example.com", "s", "b", file), "");
        const auto received = smtp.waitForMessages(i + 1);
        ASSERT_EQ(received.size(), i + 1);
        const ParsedMail mail = parseEml(received[i]);
        EXPECT_EQ(mail.attachmentName, names[i]);
        EXPECT_EQ(mail.attachmentTypeName, names[i]);
        EXPECT_EQ(mail.defects, 0);

        const std::string perl =
            runProgram({"/usr/bin/perl", (serversDir() / "parse_eml.pl").string(), received[i]})
                .output;
        EXPECT_EQ(perl, "filename\t" + names[i] + "\ntype-name\t" + names[i] + "\n");

        const std::string head = mail.raw.substr(0, mail.raw.find("\r\n\r\n--"));
        const std::string part = mail.raw.substr(mail.raw.rfind("Content-Type:"));
        for (const std::string& text : {head, part.substr(0, part.find("\r\n\r\n"))}) {
            for (size_t at = 0, end; at < text.size(); at = end + 2) {
                end = std::min(text.find("\r\n", at), text.size());
                EXPECT_LE(end - at, 78u) << text.substr(at, end - at);
            }
        }
        if (i > 0 && i < 4) {
            EXPECT_NE(part.find("filename*"), std::string::npos) << part;
        }
    }
}

TEST(Bsmtp, WrongCredentialsGiveAnErrorWithoutThePassword) {
    SmtpServer smtp({.auth = "LOGIN"});
    const std::string error = send(smtp.address(), "ops@example.com",
                                   "W<watch@example.com>\tsender:Wr0ngPass\tLOGIN", "s", "b");
    EXPECT_NE(error.find("127.0.0.1:" + std::to_string(smtp.port())), std::string::npos);
    EXPECT_NE(error.find("535"), std::string::npos) << error;
    EXPECT_NE(error.find("認証"), std::string::npos) << error;
    EXPECT_EQ(error.find("Wr0ngPass"), std::string::npos) << error;
    EXPECT_TRUE(smtp.messages().empty());

    EXPECT_NE(
        send(smtp.address(), "ops@example.com", "watch@example.com\tsender:secret\tNTLM", "s", "b")
            .find("NTLM"),
        std::string::npos);
}

TEST(Bsmtp, DotLinesAndConcurrentCallsSurvive) {
    SmtpServer smtp;
    const std::string body = ".\r\n..\r\n.start\r\nmiddle\r\n.\r\nend.\r\n";
    std::vector<std::thread> workers;
    std::vector<std::string> results(4);
    for (size_t i = 0; i < results.size(); ++i)
        workers.emplace_back([&, i] {
            results[i] = send(smtp.address(), " ops@example.com \t\t", "watch@example.com",
                              "dots " + std::to_string(i), body);
        });
    for (auto& w : workers)
        w.join();
    for (const std::string& r : results)
        EXPECT_EQ(r, "");
    const auto received = smtp.waitForMessages(4);
    ASSERT_EQ(received.size(), 4u);
    for (const fs::path& eml : received) {
        const ParsedMail mail = parseEml(eml);
        EXPECT_EQ(mail.body, body);
        EXPECT_EQ(mail.to, std::vector<std::string>{"ops@example.com"});
    }
}

TEST(Bsmtp, HeaderInjectionDoesNotAddHeaders) {
    SmtpServer smtp;
    ASSERT_EQ(send(smtp.address(), "ops@example.com", "Name X-Evil: 1<watch@example.com>",
                   "Hello\r\nBcc: evil@example.com\r\n", "body"),
              "");
    const auto received = smtp.waitForMessages(1);
    ASSERT_EQ(received.size(), 1u);
    const ParsedMail mail = parseEml(received[0]);
    EXPECT_EQ(mail.headerNames, (std::vector<std::string>{
                                    "Date", "From", "To", "Subject", "Message-ID", "MIME-Version",
                                    "Content-Type", "Content-Transfer-Encoding"}));
    EXPECT_EQ(mail.subject.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(readEnvelope(received[0]).rcptTo, std::vector<std::string>{"ops@example.com"});

    for (const char* to : {"ops@example.com\r\nBcc: evil@example.com",
                           "ops@example.com>\r\nRCPT TO:<evil@example.com"}) {
        const std::string error = send(smtp.address(), to, "watch@example.com", "s", "b");
        EXPECT_NE(error.find("送信先"), std::string::npos) << error;
    }
    EXPECT_NE(send(smtp.address(), "ops@example.com", "watch@example.com\r\nX: y", "s", "b"), "");
    // A break in the display name is refused too: it could equally be one
    // before a forged address.
    EXPECT_NE(
        send(smtp.address(), "ops@example.com", "Name\r\nX-Evil: 1<watch@example.com>", "s", "b"),
        "");
    EXPECT_NE(send(smtp.address(), "ops@example.com>\r\nRCPT TO:<evil@example.com>",
                   "watch@example.com", "s", "b"),
              "");
    EXPECT_EQ(smtp.messages().size(), 1u);
}

TEST(Bsmtp, ServerFailuresAreReported) {
    {
        SmtpServer refusing({.refuseFirst = 1});
        const std::string error =
            send(refusing.address(), "ops@example.com", "watch@example.com", "s", "b");
        EXPECT_NE(error.find("451"), std::string::npos) << error;
        EXPECT_EQ(send(refusing.address(), "ops@example.com", "watch@example.com", "s", "b"), "");
    }
    {
        SmtpServer closing({.mode = "close"});
        EXPECT_NE(send(closing.address(), "ops@example.com", "watch@example.com", "s", "b"), "");
        EXPECT_TRUE(closing.messages().empty());
    }
    {
        SmtpServer silent({.mode = "silent"});
        ScopedEnv timeout("BSMTP_TIMEOUT", "2");
        const auto start = std::chrono::steady_clock::now();
        const std::string error =
            send(silent.address(), "ops@example.com", "watch@example.com", "s", "b");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        EXPECT_NE(error.find("時間内に応答しませんでした"), std::string::npos) << error;
    }
    {
        SmtpServer tls({.startTlsSelfSigned = true});
        const std::string error =
            send(tls.address(), "ops@example.com", "watch@example.com", "s", "b");
        EXPECT_NE(error.find("証明書"), std::string::npos) << error;
        EXPECT_TRUE(tls.messages().empty());
    }
    // Port 465 speaks TLS from the start; the untrusted certificate proves it.
    if (!waitForPort(465, std::chrono::milliseconds(0))) {
        SmtpServer smtps({.implicitTlsSelfSigned = true, .port = 465});
        const std::string error =
            send("127.0.0.1:465", "ops@example.com", "watch@example.com", "s", "b");
        EXPECT_NE(error.find("証明書"), std::string::npos) << error;
        EXPECT_TRUE(smtps.messages().empty());
    }
    const std::string down = "127.0.0.1:" + std::to_string(freePort());
    EXPECT_NE(send(down, "ops@example.com", "watch@example.com", "s", "b").find("接続できません"),
              std::string::npos);
    SmtpServer smtp;
    EXPECT_NE(send(smtp.address(), "ops@example.com", "watch@example.com", "s", "b",
                   "/nonexistent/添付.txt")
                  .find("/nonexistent/添付.txt"),
              std::string::npos);
    EXPECT_NE(send(smtp.address(), "", "watch@example.com", "s", "b"), "");
    EXPECT_TRUE(smtp.messages().empty());
}

TEST(Bsmtp, PopLoginVariants) {
    Pop3Server server;
    const std::string host = "127.0.0.1", port = std::to_string(server.port());
    for (const std::string& address : {host + ":" + port, host + "\t" + port}) {
        SCOPED_TRACE(address);
        EXPECT_EQ(pop(address, server.user(), server.password()), std::make_pair(1, std::string()));
        EXPECT_EQ(pop(address, server.user(), "a " + server.password()),
                  std::make_pair(1, std::string()));
    }
    EXPECT_NE(readFile(server.logFile()).find("method=APOP"), std::string::npos);

    const auto [ok, error] = pop(host + ":" + port, server.user(), "a Secret-Wrong");
    EXPECT_EQ(ok, 0);
    EXPECT_NE(error.find("認証"), std::string::npos) << error;
    EXPECT_EQ(error.find("Secret-Wrong"), std::string::npos) << error;

    // This server has no TLS: with TLS required nothing is sent, and
    // without it the password's trip in clear is reported.
    const BsmtpTls required{nullptr, nullptr, 1};
    char* refusal = nullptr;
    BsmtpReport report{nullptr, -1, -1};
    EXPECT_EQ(RcvMailEx((host + ":" + port).c_str(), server.user().c_str(),
                        server.password().c_str(), "STAT", "/tmp", &required, &refusal, &report),
              0);
    BsmtpFree(report.refused);
    const std::string refusalText = refusal;
    BsmtpFree(refusal);
    EXPECT_NE(refusalText.find("暗号化 (STLS) に対応していないため、TlsRequired の設定により"
                               "ログインしませんでした"),
              std::string::npos)
        << refusalText;
    EXPECT_EQ(report.passwordInClear, 0);
    EXPECT_EQ(report.failure, BSMTP_FAILURE_OTHER); // refused before any login
    char* none = nullptr;
    EXPECT_EQ(RcvMailEx((host + ":" + port).c_str(), server.user().c_str(),
                        server.password().c_str(), "STAT", "/tmp", nullptr, &none, &report),
              1);
    BsmtpFree(none);
    BsmtpFree(report.refused);
    EXPECT_EQ(report.passwordInClear, 1);
    // A wrong password is a refused login, which callers must not retry.
    char* wrong = nullptr;
    EXPECT_EQ(RcvMailEx((host + ":" + port).c_str(), server.user().c_str(), "wrong", "STAT", "/tmp",
                        nullptr, &wrong, &report),
              0);
    BsmtpFree(wrong);
    BsmtpFree(report.refused);
    EXPECT_EQ(report.failure, BSMTP_FAILURE_LOGIN);

    const auto [downOk, downError] =
        pop(host + "\t" + std::to_string(freePort()), server.user(), server.password());
    EXPECT_EQ(downOk, 0);
    EXPECT_NE(downError.find("接続できません"), std::string::npos) << downError;
}
