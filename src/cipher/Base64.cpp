#include "cipher/Base64.h"

#include <algorithm>
#include <cstdint>

namespace kestrova {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

std::string Base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t at = 0; at < bytes.size(); at += 3) {
        size_t have = std::min<size_t>(3, bytes.size() - at);
        uint32_t value = 0;
        for (size_t i = 0; i < 3; ++i)
            value = value << 8 | (i < have ? static_cast<unsigned char>(bytes[at + i]) : 0u);
        for (size_t i = 0; i < 4; ++i)
            out += i <= have ? kAlphabet[(value >> (18 - 6 * i)) & 63] : '=';
    }
    return out;
}

std::string Base64Decode(std::string_view text, std::string* failure) {
    std::string out;
    out.reserve((text.size() + 3) / 4 * 3);
    for (size_t at = 0; at < text.size(); at += 4) {
        std::string_view group = text.substr(at, 4);
        uint32_t value = 0;
        size_t pads = 0;
        for (char c : group) {
            size_t pos = kAlphabet.find(c);
            if (pos == std::string_view::npos) {
                pos = 0;
                ++pads;
            }
            value = value * 64 + static_cast<uint32_t>(pos);
        }
        out += static_cast<char>((value >> 16) & 0xFF);
        out += static_cast<char>((value >> 8) & 0xFF);
        out += static_cast<char>(value & 0xFF);
        // Pads that would leave nothing are no Base64 this cipher wrote.
        if (pads >= out.size()) {
            if (failure)
                *failure = "Base64 の埋め文字が復号したバイト数を超えています。";
            return {};
        }
        out.resize(out.size() - pads);
    }
    return out;
}

} // namespace kestrova
