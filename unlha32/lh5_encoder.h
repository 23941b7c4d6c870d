// The -lh5- method: LZSS over an 8 KiB window, coded in blocks with static
// Huffman tables (literal/length codes, distance-bit-length codes, and a
// small table that codes the lengths of the first one).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

namespace unlha {

class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void put(const std::uint8_t* data, std::size_t size) = 0;
};

class Lh5Encoder {
public:
    explicit Lh5Encoder(ByteSink& sink);
    ~Lh5Encoder();
    Lh5Encoder(const Lh5Encoder&) = delete;
    Lh5Encoder& operator=(const Lh5Encoder&) = delete;

    // Feeds input; compressed bytes reach the sink as blocks fill up.
    void write(const std::uint8_t* data, std::size_t size);
    // Codes what is left and pads the bit stream to a byte.
    void finish();

private:
    struct State;
    std::unique_ptr<State> s_;
};

} // namespace unlha
