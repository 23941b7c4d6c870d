// DES stages of the password cipher. Bits inside each byte are numbered from
// the least significant end (bit n of the 64-bit tables is bit (n-1)%8 of
// byte (n-1)/8), so only the low seven bits of each key byte count. Bytes are
// held in std::string; an empty result means empty input or refusal.
#pragma once

#include <string>
#include <string_view>

namespace kestrova {

// A string's bytes for the cipher: code page 932, or the UTF-8 bytes as they
// are when the text has a character outside code page 932.
std::string CipherTextBytes(std::string_view text);

// One 8-byte block with an 8-byte key. Empty when either is not 8 bytes.
std::string DesCryptBlock(std::string_view block, bool encipher, std::string_view key);

// ECB over the data, the last block zero-filled. The key string is taken in
// code page 932 (UTF-8 bytes when it has no such form), cut or zero-filled to
// 8 bytes. Empty data gives empty.
std::string DesCryptBytes(std::string_view data, bool encipher, const std::string& key);

// Three-key EDE. Enciphering runs first, second, third key; deciphering the
// reverse. Any empty stage makes the whole result empty.
std::string TripleDesCrypt(std::string_view data, bool encipher, const std::string& key1,
                           const std::string& key2, const std::string& key3);

} // namespace kestrova
