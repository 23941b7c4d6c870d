// The stored form of the mail password: Triple DES over its code page 932
// bytes, written as Base64.
#pragma once

#include <functional>
#include <string>

namespace kestrova {

inline constexpr const char* kCipherKey1 = "19871104";
inline constexpr const char* kCipherKey2 = "mowbrilk";
inline constexpr const char* kCipherKey3 = "tevanosq";

// Reports an unexpected failure of the cipher ("システムエラー" CR LF description);
// the program installs a message box; may be empty (then nothing is shown).
using CipherFailureReport = std::function<void(const std::string& text)>;

// encipher != 0: text -> Base64 of the cipher bytes; 0: the reverse, with the
// zero bytes that filled the last block removed. Empty input gives "", and so
// does a failure (after the report).
std::string CryptString(const std::string& text, int encipher, const std::string& key1,
                        const std::string& key2, const std::string& key3,
                        const CipherFailureReport& report = {});

} // namespace kestrova
