#include "cipher/CryptString.h"

#include "cipher/Base64.h"
#include "cipher/Des.h"
#include "core/Text.h"

#include <exception>

namespace kestrova {

namespace {

void reportFailure(const CipherFailureReport& report, const std::string& description) {
    if (report)
        report("システムエラー\r\n" + description);
}

// A password with a character outside code page 932 is enciphered as UTF-8
// behind a byte-order mark, so that it deciphers unchanged. The mark cannot
// start a code page 932 text (0xEF is no lead byte there).
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

std::string bytesFromText(const std::string& text) {
    std::string bytes;
    if (text::toCp932(text, bytes))
        return bytes;
    return std::string(kUtf8Mark) + text;
}

std::string textFromBytes(std::string_view bytes) {
    if (bytes.starts_with(kUtf8Mark) && text::isValidUtf8(bytes.substr(kUtf8Mark.size())))
        return std::string(bytes.substr(kUtf8Mark.size()));
    return text::fromCp932(bytes);
}

} // namespace

std::string CryptString(const std::string& text, int encipher, const std::string& key1,
                        const std::string& key2, const std::string& key3,
                        const CipherFailureReport& report) {
    try {
        if (encipher != 0) {
            std::string crypted = TripleDesCrypt(bytesFromText(text), true, key1, key2, key3);
            return crypted.empty() ? std::string() : Base64Encode(crypted);
        }
        std::string failure;
        std::string bytes = Base64Decode(text, &failure);
        if (!failure.empty()) {
            reportFailure(report, failure);
            return {};
        }
        std::string plain = TripleDesCrypt(bytes, false, key1, key2, key3);
        // A zero byte is never part of a double-byte character in code page
        // 932, so dropping trailing zero bytes equals dropping trailing U+0000.
        while (!plain.empty() && plain.back() == '\0')
            plain.pop_back();
        return textFromBytes(plain);
    } catch (const std::exception& e) {
        reportFailure(report, e.what());
        return {};
    }
}

} // namespace kestrova
