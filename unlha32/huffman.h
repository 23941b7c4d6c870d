// Length-limited canonical Huffman codes, bits sent most significant first.
#pragma once
#include <cstdint>

namespace unlha {

// Computes code lengths (at most maxLen) for n symbols from their frequencies.
// Returns the number of symbols in use; with fewer than two, lens stay 0.
int huffmanLengths(const std::uint32_t* freq, int n, int maxLen, std::uint8_t* lens);

// Assigns canonical codes: shorter codes first, equal lengths by symbol order.
void huffmanCodes(const std::uint8_t* lens, int n, std::uint16_t* codes);

} // namespace unlha
