#include "cipher/Des.h"

#include "core/Text.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace kestrova {

namespace {

// FIPS 46-3 tables; entries are the 1-based bit numbers of the input.
constexpr std::array<uint8_t, 64> kIp = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7};

constexpr std::array<uint8_t, 64> kIpInverse = {
    40, 8,  48, 16, 56, 24, 64, 32, 39, 7,  47, 15, 55, 23, 63, 31, 38, 6,  46, 14, 54, 22,
    62, 30, 37, 5,  45, 13, 53, 21, 61, 29, 36, 4,  44, 12, 52, 20, 60, 28, 35, 3,  43, 11,
    51, 19, 59, 27, 34, 2,  42, 10, 50, 18, 58, 26, 33, 1,  41, 9,  49, 17, 57, 25};

constexpr std::array<uint8_t, 48> kExpansion = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11, 12, 13, 12, 13, 14, 15, 16, 17,
    16, 17, 18, 19, 20, 21, 20, 21, 22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

constexpr std::array<uint8_t, 32> kPermutation = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23,
                                                  26, 5, 18, 31, 10, 2,  8,  24, 14, 32, 27,
                                                  3,  9, 19, 13, 30, 6,  22, 11, 4,  25};

constexpr std::array<uint8_t, 56> kPc1 = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                                          10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                                          63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                                          14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr std::array<uint8_t, 48> kPc2 = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr std::array<uint8_t, 16> kRotations = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// S1 to S8, each 4 rows of 16 columns.
constexpr uint8_t kSBoxes[8][4][16] = {{{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
                                        {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
                                        {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
                                        {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
                                       {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
                                        {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
                                        {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
                                        {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
                                       {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
                                        {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
                                        {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
                                        {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
                                       {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
                                        {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
                                        {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
                                        {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
                                       {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
                                        {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
                                        {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
                                        {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
                                       {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
                                        {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
                                        {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
                                        {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
                                       {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
                                        {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
                                        {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
                                        {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
                                       {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
                                        {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
                                        {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
                                        {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}}};

// Bit strings one bit per element, element 0 being table bit 1.
template <size_t N> using Bits = std::array<uint8_t, N>;

Bits<64> unpack(std::string_view bytes) {
    Bits<64> bits{};
    for (size_t n = 0; n < 64; ++n)
        bits[n] = (static_cast<unsigned char>(bytes[n / 8]) >> (n % 8)) & 1;
    return bits;
}

std::string pack(const Bits<64>& bits) {
    std::string bytes(8, '\0');
    for (size_t n = 0; n < 64; ++n)
        if (bits[n])
            bytes[n / 8] =
                static_cast<char>(static_cast<unsigned char>(bytes[n / 8]) | (1u << (n % 8)));
    return bytes;
}

template <size_t Out, size_t In>
Bits<Out> permute(const Bits<In>& in, const std::array<uint8_t, Out>& table) {
    Bits<Out> out{};
    for (size_t i = 0; i < Out; ++i)
        out[i] = in[table[i] - 1];
    return out;
}

// Rotates one 28-bit half of C D left by one, the leftmost bit going last.
void rotateHalf(Bits<56>& cd, size_t from) {
    uint8_t first = cd[from];
    for (size_t i = from; i < from + 27; ++i)
        cd[i] = cd[i + 1];
    cd[from + 27] = first;
}

std::array<Bits<48>, 16> keySchedule(std::string_view key) {
    Bits<56> cd = permute(unpack(key), kPc1);
    std::array<Bits<48>, 16> subkeys{};
    for (size_t round = 0; round < 16; ++round) {
        for (int k = 0; k < kRotations[round]; ++k) {
            rotateHalf(cd, 0);
            rotateHalf(cd, 28);
        }
        subkeys[round] = permute(cd, kPc2);
    }
    return subkeys;
}

// The cipher function f(R, K): E, exclusive-or, S-boxes, P.
Bits<32> feistel(const Bits<32>& right, const Bits<48>& subkey) {
    Bits<48> x = permute(right, kExpansion);
    for (size_t i = 0; i < 48; ++i)
        x[i] ^= subkey[i];
    Bits<32> s{};
    for (size_t g = 0; g < 8; ++g) {
        const uint8_t* b = &x[g * 6];
        int row = b[0] * 2 + b[5];
        int col = b[1] * 8 + b[2] * 4 + b[3] * 2 + b[4];
        int v = kSBoxes[g][row][col];
        for (size_t j = 0; j < 4; ++j)
            s[g * 4 + j] = (v >> (3 - j)) & 1;
    }
    return permute(s, kPermutation);
}

std::string keyBytes(const std::string& key) {
    std::string bytes = CipherTextBytes(key);
    bytes.resize(8, '\0');
    return bytes;
}

} // namespace

std::string CipherTextBytes(std::string_view text) {
    std::string bytes;
    if (!text::toCp932(text, bytes))
        bytes.assign(text);
    return bytes;
}

std::string DesCryptBlock(std::string_view block, bool encipher, std::string_view key) {
    if (block.size() != 8 || key.size() != 8)
        return {};
    const std::array<Bits<48>, 16> subkeys = keySchedule(key);
    Bits<64> lr = permute(unpack(block), kIp);
    Bits<32> left{}, right{};
    std::copy(lr.begin(), lr.begin() + 32, left.begin());
    std::copy(lr.begin() + 32, lr.end(), right.begin());
    for (size_t r = 0; r < 16; ++r) {
        Bits<32> f = feistel(right, subkeys[encipher ? r : 15 - r]);
        for (size_t i = 0; i < 32; ++i)
            f[i] ^= left[i];
        left = right;
        right = f;
    }
    Bits<64> preoutput{};
    std::copy(right.begin(), right.end(), preoutput.begin());
    std::copy(left.begin(), left.end(), preoutput.begin() + 32);
    return pack(permute(preoutput, kIpInverse));
}

std::string DesCryptBytes(std::string_view data, bool encipher, const std::string& key) {
    const std::string k = keyBytes(key);
    std::string out;
    out.reserve((data.size() + 7) / 8 * 8);
    for (size_t at = 0; at < data.size(); at += 8) {
        std::string block(data.substr(at, 8));
        block.resize(8, '\0');
        std::string crypted = DesCryptBlock(block, encipher, k);
        if (crypted.empty())
            return {};
        out += crypted;
    }
    return out;
}

std::string TripleDesCrypt(std::string_view data, bool encipher, const std::string& key1,
                           const std::string& key2, const std::string& key3) {
    const std::string& outer1 = encipher ? key1 : key3;
    const std::string& outer2 = encipher ? key3 : key1;
    std::string stage = DesCryptBytes(data, encipher, outer1);
    if (stage.empty())
        return {};
    stage = DesCryptBytes(stage, !encipher, key2);
    if (stage.empty())
        return {};
    return DesCryptBytes(stage, encipher, outer2);
}

} // namespace kestrova
