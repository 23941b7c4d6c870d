#include "crc16.h"

#include <array>

namespace unlha {
namespace {

// Eight tables so that the loop can consume eight bytes per step ("slicing"):
// the CRC runs over every byte of every file, so it must not be the slow part.
constexpr std::array<std::array<std::uint16_t, 256>, 8> makeTables() {
    std::array<std::array<std::uint16_t, 256>, 8> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xA001u : c >> 1;
        t[0][i] = static_cast<std::uint16_t>(c);
    }
    for (unsigned i = 0; i < 256; ++i)
        for (int s = 1; s < 8; ++s)
            t[s][i] = static_cast<std::uint16_t>((t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF]);
    return t;
}

constexpr auto kTables = makeTables();

} // namespace

std::uint16_t crc16Update(std::uint16_t crc, const std::uint8_t* p, std::size_t n) {
    unsigned c = crc;
    while (n >= 8) {
        c ^= static_cast<unsigned>(p[0]) | static_cast<unsigned>(p[1]) << 8;
        c = kTables[7][c & 0xFF] ^ kTables[6][c >> 8] ^ kTables[5][p[2]] ^ kTables[4][p[3]] ^
            kTables[3][p[4]] ^ kTables[2][p[5]] ^ kTables[1][p[6]] ^ kTables[0][p[7]];
        p += 8;
        n -= 8;
    }
    while (n--)
        c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
    return static_cast<std::uint16_t>(c);
}

} // namespace unlha
