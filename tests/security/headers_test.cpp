// Mail headers cannot be injected: a subject, sender name, sender address
// or recipient holding CR or LF is encoded or refused, never sent raw. The
// received mail is judged as the server stored it.
#include "reliability/PassHarness.h"

#include "TestServers.h"
#include "notify/Notifier.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestrova {
namespace {

using test::PassHarness;
using test::SmtpServer;

// The header block as received, one logical header per element (folded
// lines joined).
std::vector<std::string> headerLines(const std::string& raw) {
    std::string head = raw.substr(0, raw.find("\r\n\r\n"));
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= head.size()) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string::npos)
            end = head.size();
        std::string line = head.substr(pos, end - pos);
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !out.empty())
            out.back() += line;
        else
            out.push_back(line);
        pos = end + 2;
    }
    return out;
}

class HeaderInjection : public ::testing::Test {
protected:
    HeaderInjection() {
        AppSettings& s = h.app().settings;
        s.SmtpServer = smtp.address();
        s.AuthMode = "SMTP AUTH LOGIN";
        s.MailFromName = "監視";
        s.MailFromAddr = "watch@example.com";
        s.MailTitle = "通知";
    }
    // Sends one mail; when it went out, checks that nothing was injected.
    // Returns whether it was sent.
    bool sendAndJudge(const std::string& mailTo) {
        PassState pass;
        size_t before = smtp.messages().size();
        bool sent = SendFileUpdMsg(h.app(), pass, mailTo, "本文\r\nBcc: body@example.com\r\n", "");
        auto files = smtp.messages();
        EXPECT_EQ(files.size(), before + (sent ? 1 : 0));
        if (!sent) {
            // Refused: said in the log, no mail at all.
            EXPECT_TRUE(h.logHas("\tMsgForm\tSendFileUpdMsg\tワーニング  \t"));
            return false;
        }
        const auto& eml = files.back();
        test::ParsedMail m = test::parseEml(eml);
        test::Envelope env = test::readEnvelope(eml);
        EXPECT_EQ(m.defects, 0) << m.raw;
        for (const std::string& line : headerLines(m.raw)) {
            std::string name = line.substr(0, line.find(':'));
            std::transform(name.begin(), name.end(), name.begin(), ::tolower);
            EXPECT_NE(name, "bcc") << m.raw;
            EXPECT_NE(name, "x-injected") << m.raw;
            EXPECT_EQ(line.find('\r'), std::string::npos);
            EXPECT_EQ(line.find('\n'), std::string::npos);
        }
        std::vector<std::string> names = m.headerNames;
        for (const std::string& n : names) {
            EXPECT_NE(n, "Bcc");
            EXPECT_NE(n, "X-Injected");
        }
        for (const std::string& r : env.rcptTo)
            EXPECT_EQ(r.find("evil"), std::string::npos) << r;
        EXPECT_EQ(env.mailFrom.find("evil"), std::string::npos) << env.mailFrom;
        last = m;
        return true;
    }

    SmtpServer smtp;
    PassHarness h{true};
    test::ParsedMail last;
};

TEST_F(HeaderInjection, SubjectWithLineBreaksIsEncoded) {
    h.app().settings.MailTitle = "件名\r\nBcc: evil@example.com\r\nX-Injected: 1";
    if (sendAndJudge("x@example.com")) {
        EXPECT_EQ(last.to, std::vector<std::string>{"x@example.com"});
        EXPECT_NE(last.subject.find("件名"), std::string::npos);
    }
    h.app().settings.MailTitle = "plain\nBcc: evil@example.com";
    sendAndJudge("x@example.com");
    h.app().settings.MailTitle = "cr only\rX-Injected: 1";
    sendAndJudge("x@example.com");
}

TEST_F(HeaderInjection, SenderNameAndAddressWithLineBreaks) {
    h.app().settings.MailFromName = "名前\r\nX-Injected: yes";
    if (sendAndJudge("x@example.com")) {
        EXPECT_EQ(last.fromAddress, "watch@example.com");
    }
    h.app().settings.MailFromName = "Name\r\nBcc: evil@example.com";
    sendAndJudge("x@example.com");
    h.app().settings.MailFromName = "監視";
    h.app().settings.MailFromAddr = "watch@example.com\r\nBcc: evil@example.com";
    sendAndJudge("x@example.com");
    h.app().settings.MailFromAddr = "watch@example.com>\r\nRCPT TO:<evil@example.com";
    sendAndJudge("x@example.com");
}

TEST_F(HeaderInjection, RecipientWithLineBreaks) {
    sendAndJudge("x@example.com\r\nBcc: evil@example.com");
    sendAndJudge("x@example.com\nX-Injected: 1");
    sendAndJudge("x@example.com>\r\nRCPT TO:<evil@example.com>");
    sendAndJudge("\"x\r\nBcc: evil@example.com\" <x@example.com>");
    // An honest list still works.
    ASSERT_TRUE(sendAndJudge("x@example.com,y@example.com"));
    EXPECT_EQ(last.to, (std::vector<std::string>{"x@example.com", "y@example.com"}));
}

} // namespace
} // namespace kestrova
