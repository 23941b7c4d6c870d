#include "lzh_header.h"

#include "crc16.h"

#include <stdexcept>

namespace unlha {
namespace {

// Extended header types written here.
constexpr std::uint8_t kExtHeaderCrc = 0x00;
constexpr std::uint8_t kExtFileName = 0x01;
constexpr std::uint8_t kExtDirectory = 0x02;
constexpr std::uint8_t kExtDosAttributes = 0x40;
constexpr std::uint8_t kExtCodePage = 0x46;
constexpr std::uint8_t kExtUnixMode = 0x50;

void put16(std::vector<std::uint8_t>& v, std::size_t at, unsigned x) {
    v[at] = static_cast<std::uint8_t>(x);
    v[at + 1] = static_cast<std::uint8_t>(x >> 8);
}

void append16(std::vector<std::uint8_t>& v, unsigned x) {
    v.push_back(static_cast<std::uint8_t>(x));
    v.push_back(static_cast<std::uint8_t>(x >> 8));
}

void append32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}

} // namespace

std::vector<std::uint8_t> buildLevel2Header(const EntryHeader& h) {
    std::vector<std::uint8_t> v;
    v.reserve(64 + h.directory.size() + h.fileName.size());
    append16(v, 0); // total size, set below
    v.insert(v.end(), h.method.begin(), h.method.end());
    append32(v, h.compressedSize);
    append32(v, h.originalSize);
    append32(v, h.mtime);
    v.push_back(0x20); // reserved
    v.push_back(2);    // header level
    append16(v, h.crc);
    v.push_back('U'); // made on a Unix-like system: the mode header applies

    // Each extended header is preceded by its size (type + data + next size).
    std::size_t crcAt = 0;
    auto ext = [&](std::uint8_t type, const std::uint8_t* data, std::size_t size) {
        if (size + 3 > 0xFFFF)
            throw std::length_error("name too long for an LZH header");
        append16(v, static_cast<unsigned>(size + 3));
        v.push_back(type);
        if (type == kExtHeaderCrc)
            crcAt = v.size();
        v.insert(v.end(), data, data + size);
    };
    const std::uint8_t zero2[2] = {0, 0};
    ext(kExtHeaderCrc, zero2, 2);
    if (!h.fileName.empty() || h.method != "-lhd-")
        ext(kExtFileName, reinterpret_cast<const std::uint8_t*>(h.fileName.data()),
            h.fileName.size());
    if (!h.directory.empty())
        ext(kExtDirectory, reinterpret_cast<const std::uint8_t*>(h.directory.data()),
            h.directory.size());
    const std::uint8_t attr[2] = {static_cast<std::uint8_t>(h.dosAttributes),
                                  static_cast<std::uint8_t>(h.dosAttributes >> 8)};
    ext(kExtDosAttributes, attr, 2);
    const std::uint8_t cp[4] = {
        static_cast<std::uint8_t>(h.codePage), static_cast<std::uint8_t>(h.codePage >> 8),
        static_cast<std::uint8_t>(h.codePage >> 16), static_cast<std::uint8_t>(h.codePage >> 24)};
    ext(kExtCodePage, cp, 4);
    const std::uint8_t mode[2] = {static_cast<std::uint8_t>(h.unixMode),
                                  static_cast<std::uint8_t>(h.unixMode >> 8)};
    ext(kExtUnixMode, mode, 2);
    append16(v, 0); // no further extended header

    // A first byte of 0 would read as the end of the archive: pad one byte.
    if ((v.size() & 0xFF) == 0)
        v.push_back(0);
    if (v.size() > 0xFFFF)
        throw std::length_error("name too long for an LZH header");
    put16(v, 0, static_cast<unsigned>(v.size()));
    put16(v, crcAt, crc16Update(0, v.data(), v.size()));
    return v;
}

} // namespace unlha
