#include "CurlSession.h"

#include "Error.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

namespace bsmtp {

namespace {

constexpr double kConnectSeconds = 30;
constexpr double kTotalSeconds = 120;
constexpr std::uintmax_t kAllowanceBytesPerSecond = 64 * 1024;

// curl_global_init is not thread-safe; the first call of any thread runs it
// once (thread-safe static initialisation).
bool curlReady() {
    static const CURLcode status = curl_global_init(CURL_GLOBAL_DEFAULT);
    return status == CURLE_OK;
}

double secondsFromEnvironment(const char* name, double fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    return (end && *end == '\0' && std::isfinite(value) && value > 0) ? value : fallback;
}

// Server text may hold anything; keep printable, valid UTF-8 and cut it short.
std::string sanitize(std::string_view in, size_t limit = 300) {
    std::string out;
    size_t i = 0;
    while (i < in.size() && out.size() < limit) {
        const auto c = static_cast<unsigned char>(in[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = len != 0 && i + len <= in.size();
        for (size_t k = 1; valid && k < len; ++k)
            valid = (static_cast<unsigned char>(in[i + k]) & 0xC0) == 0x80;
        if (!valid) {
            out += '?';
            ++i;
        } else if (len == 1) {
            out += (c < 0x20 || c == 0x7f) ? ' ' : static_cast<char>(c);
            ++i;
        } else {
            out.append(in.substr(i, len));
            i += len;
        }
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

std::string formatSeconds(long ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", ms / 1000.0);
    return text;
}

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// "AB:CD:..." or "abcd..." (as openssl and browsers show it, also with
// openssl's "SHA256 Fingerprint=" in front) to 64 lower-case digits.
std::string normalFingerprint(const std::string& typed) {
    std::string_view text = typed;
    const size_t equals = text.find('=');
    if (equals != std::string_view::npos)
        text.remove_prefix(equals + 1);
    std::string out;
    for (char c : text) {
        if (c == ':' || c == ' ' || c == '\t')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {};
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out.size() == 64 ? out : std::string();
}

std::string hexDigest(const unsigned char* digest, unsigned length, bool colons) {
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        if (colons && i > 0)
            out += ':';
        out += (colons ? "0123456789ABCDEF" : "0123456789abcdef")[digest[i] >> 4];
        out += (colons ? "0123456789ABCDEF" : "0123456789abcdef")[digest[i] & 15];
    }
    return out;
}

bool refusalCode(std::string_view reply) {
    return !reply.empty() && (reply[0] == '4' || reply[0] == '5');
}

} // namespace

std::string curlUnavailable(const std::string& protocol) {
    return protocol +
           " 通信の準備 (libcurl の初期化) に失敗しました。メモリ不足の可能性があります。";
}

int verifyPeer(X509_STORE_CTX* store, void* self) {
    auto* session = static_cast<CurlSession*>(self);
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (!leaf || X509_digest(leaf, EVP_sha256(), digest, &length) != 1)
        length = 0;
    session->peerFingerprint_ = hexDigest(digest, length, true);
    if (!session->pin_.empty()) {
        // A pinned certificate stands for itself: chain and name do not matter,
        // and no other certificate is good enough.
        if (length > 0 && hexDigest(digest, length, false) == session->pin_) {
            X509_STORE_CTX_set_error(store, X509_V_OK);
            return 1;
        }
        session->pinMismatch_ = true;
        X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
        return 0;
    }
    const int verified = X509_verify_cert(store);
    if (verified <= 0)
        session->verifyError_ = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
    return verified;
}

CurlSession::CurlSession(std::string protocol, std::string server, const TlsOptions& tls)
    : protocol_(std::move(protocol)), server_(std::move(server)), tls_(tls) {
    if (!tls_.fingerprint.empty()) {
        pin_ = normalFingerprint(tls_.fingerprint);
        if (pin_.empty())
            throw MailError("TlsFingerprint の値 \"" + sanitize(tls_.fingerprint, 120) +
                            "\" は SHA-256 フィンガープリント (16 進数 64 桁、コロン区切り可) では"
                            "ありません。");
    }
    if (!curlReady() || !(curl_ = curl_easy_init()))
        throw MailError(curlUnavailable(protocol_));
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L); // worker threads: no SIGALRM
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(curl_, CURLOPT_VERBOSE, 1L); // feeds onDebug; nothing is printed
    curl_easy_setopt(curl_, CURLOPT_DEBUGFUNCTION, &CurlSession::onDebug);
    curl_easy_setopt(curl_, CURLOPT_DEBUGDATA, this);
    // With a pin, verifyPeer alone decides (curl would add its own chain and
    // name checks after the handshake).
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, pin_.empty() ? 1L : 0L);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, pin_.empty() ? 2L : 0L);
    curl_easy_setopt(curl_, CURLOPT_SSL_CTX_FUNCTION, &CurlSession::onSslContext);
    curl_easy_setopt(curl_, CURLOPT_SSL_CTX_DATA, this);
    curl_easy_setopt(curl_, CURLOPT_USE_SSL,
                     static_cast<long>(tls_.required ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    setTimeouts(0);
}

CurlSession::~CurlSession() {
    curl_easy_cleanup(curl_);
}

void CurlSession::setTimeouts(std::uintmax_t uploadBytes) {
    const double connect = secondsFromEnvironment("BSMTP_CONNECT_TIMEOUT", kConnectSeconds);
    const double total = secondsFromEnvironment(
        "BSMTP_TIMEOUT",
        kTotalSeconds + static_cast<double>(uploadBytes / kAllowanceBytesPerSecond));
    connectMs_ = std::lround(std::min(connect, 86400.0) * 1000);
    totalMs_ = std::lround(std::min(total, 86400.0) * 1000);
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, connectMs_);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, totalMs_);
}

// Runs before every TLS handshake, after curl has loaded the system's
// certificates into the context.
CURLcode CurlSession::onSslContext(CURL*, void* sslContext, void* self) {
    auto* session = static_cast<CurlSession*>(self);
    auto* context = static_cast<SSL_CTX*>(sslContext);
    const std::string& file = session->tls_.trustFile;
    if (!file.empty() && session->pin_.empty()) {
        struct stat info {};
        if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            session->trustFileError_ =
                "TlsTrustFile の証明書ファイル " + file + " が見つかりません。";
            return CURLE_SSL_CACERT_BADFILE;
        }
        if (X509_STORE_load_file(SSL_CTX_get_cert_store(context), file.c_str()) != 1) {
            ERR_clear_error();
            session->trustFileError_ = "TlsTrustFile の証明書ファイル " + file +
                                       " を読み込めません。PEM 形式の証明書か確認してください。";
            return CURLE_SSL_CACERT_BADFILE;
        }
    }
    SSL_CTX_set_cert_verify_callback(context, &verifyPeer, session);
    if (!session->pin_.empty())
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    return CURLE_OK;
}

int CurlSession::onDebug(CURL*, curl_infotype type, char* data, size_t size, void* self) {
    auto* session = static_cast<CurlSession*>(self);
    if (type == CURLINFO_SSL_DATA_IN || type == CURLINFO_SSL_DATA_OUT) {
        session->encrypted_ = true;
        return 0;
    }
    std::string_view text(data, size);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    const size_t lastBreak = text.find_last_of("\r\n");
    if (lastBreak != std::string_view::npos)
        text.remove_prefix(lastBreak + 1);
    if (type == CURLINFO_HEADER_IN && !text.empty())
        session->noteReply(text);
    else if (type == CURLINFO_HEADER_OUT)
        session->noteCommand(text);
    return 0;
}

// Only the command word (and the mechanism of AUTH, the address of RCPT) is
// looked at: the rest of a line and the continuation lines of AUTH may carry
// credentials.
void CurlSession::noteCommand(std::string_view line) {
    const size_t blank = line.find(' ');
    const std::string_view verb = line.substr(0, blank);
    const std::string_view rest =
        blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
    if (verb == "QUIT") {
        // Whatever went wrong happened before: keep its step and reply.
        quitting_ = true;
        return;
    }
    if (verb == "RCPT") {
        const size_t open = rest.find('<'), close = rest.rfind('>');
        recipient_ =
            open != std::string_view::npos && close != std::string_view::npos && close > open
                ? sanitize(rest.substr(open + 1, close - open - 1))
                : std::string();
    }
    if (!encrypted_) {
        const std::string_view mechanism = rest.substr(0, rest.find(' '));
        if (verb == "PASS" || (verb == "AUTH" && (mechanism == "PLAIN" || mechanism == "LOGIN")))
            passwordInClear_ = true;
    }
    static const struct {
        const char* verb;
        const char* step;
    } steps[] = {
        {"EHLO", "挨拶 (EHLO)"},
        {"HELO", "挨拶 (HELO)"},
        {"STARTTLS", "TLS 開始 (STARTTLS)"},
        {"STLS", "TLS 開始 (STLS)"},
        {"AUTH", "認証 (AUTH)"},
        {"USER", "認証 (USER)"},
        {"PASS", "認証 (PASS)"},
        {"APOP", "認証 (APOP)"},
        {"CAPA", "機能の確認 (CAPA)"},
        {"MAIL", "差出人の指定 (MAIL FROM)"},
        {"RCPT", "送信先の指定 (RCPT TO)"},
        {"DATA", "本文の送信 (DATA)"},
        {"STAT", "コマンド (STAT)"},
        {"NOOP", "コマンド (NOOP)"},
        {"LIST", "コマンド (LIST)"},
        {"UIDL", "コマンド (UIDL)"},
    };
    for (const auto& s : steps)
        if (verb == s.verb) {
            step_ = s.step;
            if (verb == "RCPT")
                step_ += " <" + recipient_ + ">";
            return;
        }
}

void CurlSession::noteReply(std::string_view line) {
    if (quitting_)
        return;
    lastReply_ = sanitize(line);
    // A refused RCPT does not end the dialogue (the others may be accepted):
    // each one is remembered with the final line of its reply.
    const bool finalLine = line.size() < 4 || line[3] != '-';
    if (protocol_ == "SMTP" && finalLine && startsWith(step_, "送信先") && refusalCode(line))
        refused_.push_back({recipient_, lastReply_});
}

std::string CurlSession::certificateReason() const {
    if (pinMismatch_)
        return "サーバー証明書の SHA-256 フィンガープリント " + peerFingerprint_ +
               " が TlsFingerprint の値と一致しないため、接続を中止しました。";
    std::string why =
        verifyError_.empty() ? "証明書の名前がサーバー名と一致しません" : verifyError_;
    std::string text = "サーバー証明書を検証できませんでした (" + why + ")。";
    if (!peerFingerprint_.empty())
        text += "サーバー証明書の SHA-256 フィンガープリントは " + peerFingerprint_ + " です。";
    return text + "この証明書を受け入れるには、発行元の証明書を TlsTrustFile に指定するか、"
                  "フィンガープリントを確かめてから TlsFingerprint に設定してください。";
}

std::string CurlSession::reason(CURLcode code, const std::string& localFailure) const {
    if (!localFailure.empty())
        return localFailure;
    if (!trustFileError_.empty())
        return trustFileError_;
    if (pinMismatch_ || !verifyError_.empty() || code == CURLE_PEER_FAILED_VERIFICATION)
        return certificateReason();
    const bool refused =
        protocol_ == "POP" ? startsWith(lastReply_, "-ERR") : refusalCode(lastReply_);
    const bool temporary = protocol_ != "POP" && refused && lastReply_[0] == '4';
    const std::string later = temporary ? "一時的な拒否なので、時間をおいて再び試せます。" : "";
    if (code == CURLE_LOGIN_DENIED || (refused && startsWith(step_, "認証")))
        return std::string("認証に失敗しました。ユーザー名、パスワード、") +
               (protocol_ == "POP" ? "APOP の設定" : "認証方式") + "を確認してください。" + later;
    if (refused && startsWith(step_, "挨拶"))
        return "サーバーが挨拶 (EHLO) で名乗ったホスト名 " + ehloName_ +
               " を受け付けませんでした。" + later;
    // 530: the server wants a login that the settings do not make.
    if (refused && startsWith(step_, "差出人") && startsWith(lastReply_, "530"))
        return "サーバーが認証を求めています。AuthMode を SMTP AUTH LOGIN、SMTP AUTH CRAM-MD5 "
               "か SMTP AUTH PLAIN にして、ユーザー ID とパスワードを設定してください。";
    if (refused && startsWith(step_, "差出人"))
        return "サーバーが差出人アドレスを受け付けませんでした。" + later;
    if (!refused_.empty() && startsWith(step_, "送信先")) {
        if (refused_.size() == 1)
            return "サーバーが送信先アドレス " + refused_[0].address + " を受け付けませんでした。" +
                   later;
        std::string list;
        for (const Refusal& r : refused_)
            list += (list.empty() ? "" : "、") + r.address + " (" + r.reply + ")";
        return "サーバーがどの送信先アドレスも受け付けませんでした: " + list + "。";
    }
    if (refused && startsWith(step_, "本文"))
        return "サーバーがメールを受け付けませんでした。" + later;
    if (refused)
        return "サーバーが要求を拒否しました。" + later;
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return "サーバー名が見つかりません。サーバー名とネットワークを確認してください。";
    case CURLE_COULDNT_CONNECT:
        return "接続できません。サーバー名、ポート番号、ネットワークを確認してください。";
    case CURLE_OPERATION_TIMEDOUT:
        return "サーバーが時間内に応答しませんでした (接続 " + formatSeconds(connectMs_) +
               " 秒、全体 " + formatSeconds(totalMs_) + " 秒まで)。";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
        return "TLS (暗号化) 接続を確立できませんでした。";
    case CURLE_USE_SSL_FAILED:
        if (tls_.required)
            return std::string("サーバーが暗号化 (") + (protocol_ == "POP" ? "STLS" : "STARTTLS") +
                   ") に対応していないため、TlsRequired の設定により" +
                   (protocol_ == "POP" ? "ログイン" : "送信") +
                   "しませんでした。パスワードは送っていません。";
        return "サーバーとの TLS (暗号化) 接続を開始できませんでした。";
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
        return "サーバーとの通信が途中で切れました。";
    case CURLE_OUT_OF_MEMORY:
        return "メモリが足りません。";
    default:
        return std::string(curl_easy_strerror(code)) + "。";
    }
}

int CurlSession::failureKind(CURLcode code) const {
    if (!trustFileError_.empty())
        return BSMTP_FAILURE_OTHER;
    if (pinMismatch_ || !verifyError_.empty() || code == CURLE_PEER_FAILED_VERIFICATION)
        return BSMTP_FAILURE_CERTIFICATE;
    // A refused login: 535 (bad credentials), 534 (mechanism too weak), 530
    // to AUTH, or -ERR to PASS or APOP. A 4xx answer is temporary.
    const bool atLogin = startsWith(step_, "認証");
    if (protocol_ == "POP")
        return atLogin && (code == CURLE_LOGIN_DENIED || startsWith(lastReply_, "-ERR"))
                   ? BSMTP_FAILURE_LOGIN
                   : BSMTP_FAILURE_OTHER;
    if (atLogin && (startsWith(lastReply_, "535") || startsWith(lastReply_, "534") ||
                    startsWith(lastReply_, "530")))
        return BSMTP_FAILURE_LOGIN;
    if (code == CURLE_LOGIN_DENIED && !startsWith(lastReply_, "4"))
        return BSMTP_FAILURE_LOGIN;
    return BSMTP_FAILURE_OTHER;
}

std::string CurlSession::perform(const std::string& action, const std::string& secret,
                                 const std::string& localFailure) {
    errorBuffer_[0] = '\0';
    step_ = "接続";
    lastReply_.clear();
    recipient_.clear();
    refused_.clear();
    quitting_ = encrypted_ = passwordInClear_ = pinMismatch_ = false;
    failure_ = BSMTP_FAILURE_OTHER;
    peerFingerprint_.clear();
    verifyError_.clear();
    trustFileError_.clear();
    const CURLcode code = curl_easy_perform(curl_);
    if (code == CURLE_OK && localFailure.empty())
        return {};
    failure_ = failureKind(code);
    std::string text = protocol_ + " サーバー " + server_ + " " + action + "に失敗しました: " +
                       reason(code, code == CURLE_ABORTED_BY_CALLBACK ? localFailure : "");
    std::string details = "段階: " + step_;
    if (!lastReply_.empty())
        details += "、サーバーの応答: " + lastReply_;
    const std::string curlText = sanitize(errorBuffer_);
    if (!curlText.empty())
        details += "、詳細: " + curlText;
    text += " (" + details + ")";
    if (secret.size() >= 3)
        for (size_t at = 0; (at = text.find(secret, at)) != std::string::npos; at += 4)
            text.replace(at, secret.size(), "****");
    return text;
}

} // namespace bsmtp
