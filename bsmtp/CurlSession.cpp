#include "CurlSession.h"

#include "Error.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

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

} // namespace

std::string curlUnavailable(const std::string& protocol) {
    return protocol +
           " 通信の準備 (libcurl の初期化) に失敗しました。メモリ不足の可能性があります。";
}

CurlSession::CurlSession(std::string protocol, std::string server)
    : protocol_(std::move(protocol)), server_(std::move(server)) {
    if (!curlReady() || !(curl_ = curl_easy_init()))
        throw MailError(curlUnavailable(protocol_));
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L); // worker threads: no SIGALRM
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(curl_, CURLOPT_VERBOSE, 1L); // feeds onDebug; nothing is printed
    curl_easy_setopt(curl_, CURLOPT_DEBUGFUNCTION, &CurlSession::onDebug);
    curl_easy_setopt(curl_, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl_, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
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

int CurlSession::onDebug(CURL*, curl_infotype type, char* data, size_t size, void* self) {
    auto* session = static_cast<CurlSession*>(self);
    std::string_view text(data, size);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    const size_t lastBreak = text.find_last_of("\r\n");
    if (lastBreak != std::string_view::npos)
        text.remove_prefix(lastBreak + 1);
    if (type == CURLINFO_HEADER_IN && !text.empty())
        session->lastReply_ = sanitize(text);
    else if (type == CURLINFO_HEADER_OUT)
        session->noteCommand(text);
    return 0;
}

// Only the command word is looked at: the rest of a line (and the
// continuation lines of AUTH) may carry credentials.
void CurlSession::noteCommand(std::string_view line) {
    const std::string_view verb = line.substr(0, line.find(' '));
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
        {"QUIT", "切断 (QUIT)"},
        {"STAT", "コマンド (STAT)"},
        {"NOOP", "コマンド (NOOP)"},
        {"LIST", "コマンド (LIST)"},
        {"UIDL", "コマンド (UIDL)"},
    };
    for (const auto& s : steps)
        if (verb == s.verb) {
            step_ = s.step;
            return;
        }
}

std::string CurlSession::reason(CURLcode code, const std::string& localFailure) const {
    if (!localFailure.empty())
        return localFailure;
    const bool refused = protocol_ == "POP" ? startsWith(lastReply_, "-ERR")
                                            : (!lastReply_.empty() &&
                                               (lastReply_[0] == '4' || lastReply_[0] == '5'));
    const bool temporary = protocol_ != "POP" && refused && lastReply_[0] == '4';
    const std::string later = temporary ? "一時的な拒否なので、時間をおいて再び試せます。" : "";
    if (code == CURLE_LOGIN_DENIED || (refused && startsWith(step_, "認証")))
        return std::string("認証に失敗しました。ユーザー名、パスワード、") +
               (protocol_ == "POP" ? "APOP の設定" : "認証方式") + "を確認してください。" + later;
    if (refused && startsWith(step_, "差出人"))
        return "サーバーが差出人アドレスを受け付けませんでした。" + later;
    if (refused && startsWith(step_, "送信先"))
        return "サーバーが送信先アドレスを受け付けませんでした。" + later;
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
    case CURLE_PEER_FAILED_VERIFICATION:
        return "サーバー証明書を検証できませんでした。証明書の名前、有効期限、発行元を確認して"
               "ください。";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
        return "TLS (暗号化) 接続を確立できませんでした。";
    case CURLE_USE_SSL_FAILED:
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

std::string CurlSession::perform(const std::string& action, const std::string& secret,
                                 const std::string& localFailure) {
    errorBuffer_[0] = '\0';
    step_ = "接続";
    lastReply_.clear();
    const CURLcode code = curl_easy_perform(curl_);
    if (code == CURLE_OK && localFailure.empty())
        return {};
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
