// A strict -lh5- decoder for checking the encoder: it accepts only what a
// well-behaved encoder writes (complete Huffman codes, no zero-sized block,
// no reference before the start, no run past a table's end, zero padding
// after the last symbol) and throws std::runtime_error on anything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

struct Lh5Stats {
    std::size_t blocks = 0;
    std::size_t maxDistance = 0;
};

std::vector<std::uint8_t> lh5Decode(const std::uint8_t* data, std::size_t size,
                                    std::size_t originalSize, Lh5Stats* stats = nullptr);

} // namespace fuzz
