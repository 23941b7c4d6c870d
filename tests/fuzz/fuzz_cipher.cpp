// Deciphering a stored password: Base64Decode and CryptString(text, 0, ...)
// on arbitrary text; and enciphering arbitrary text must decipher back.
#include "check.h"
#include "cipher/Base64.h"
#include "cipher/CryptString.h"
#include "core/Text.h"

#include <string>

using namespace kestrova;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    std::string failure;
    const std::string decoded = Base64Decode(input, &failure);
    FUZZ_CHECK(failure.empty() || decoded.empty(), "failure with a result");
    FUZZ_CHECK(decoded.size() <= (input.size() + 3) / 4 * 3, "decoded too long");
    FUZZ_CHECK(Base64Decode(Base64Encode(input)) == input, "Base64 round trip");

    int reports = 0;
    const CipherFailureReport report = [&](const std::string& text) {
        FUZZ_CHECK(text.rfind("システムエラー\r\n", 0) == 0, "report without heading");
        ++reports;
    };
    const std::string plain = CryptString(input, 0, kCipherKey1, kCipherKey2, kCipherKey3, report);
    FUZZ_CHECK(text::isValidUtf8(plain), "deciphered text is not UTF-8");
    FUZZ_CHECK(plain.empty() || reports == 0, "a report and a result");

    // Any text (as stored in memory: UTF-8) without trailing U+0000 survives.
    if (text::isValidUtf8(input) && (input.empty() || input.back() != '\0')) {
        const std::string stored =
            CryptString(input, 1, kCipherKey1, kCipherKey2, kCipherKey3, report);
        FUZZ_CHECK(input.empty() || !stored.empty(), "enciphering failed");
        const std::string back =
            CryptString(stored, 0, kCipherKey1, kCipherKey2, kCipherKey3, report);
        FUZZ_CHECK(back == input, "password changed by the round trip");
    }
    return 0;
}
