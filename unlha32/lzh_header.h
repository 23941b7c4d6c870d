// Level-2 LZH entry headers.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace unlha {

struct EntryHeader {
    std::string method = "-lh5-"; // -lh0-, -lh5- or -lhd-
    std::uint32_t compressedSize = 0;
    std::uint32_t originalSize = 0;
    std::uint32_t mtime = 0;      // Unix time, UTC
    std::uint16_t crc = 0;        // CRC-16 of the original data
    std::string directory;        // folder part, each component ended by 0xFF
    std::string fileName;         // empty for folder entries
    std::uint32_t codePage = 932; // encoding of both name parts
    std::uint16_t unixMode = 0;   // st_mode (type and permission bits)
    std::uint16_t dosAttributes = 0x20;
};

// Builds the complete header, including its own CRC. Throws std::length_error
// when the names do not fit into a level-2 header.
std::vector<std::uint8_t> buildLevel2Header(const EntryHeader& h);

// The byte that ends an archive.
inline constexpr std::uint8_t kEndOfArchive = 0;

} // namespace unlha
