#include "lh5_decoder.h"

#include <stdexcept>
#include <string>

namespace fuzz {
namespace {

constexpr int kNC = 510, kNP = 14, kNT = 19;
constexpr int kCBit = 9, kPBit = 4, kTBit = 5;
constexpr int kMaxLen = 16;
constexpr std::size_t kWindow = 8192;

[[noreturn]] void fail(const std::string& why) {
    throw std::runtime_error("lh5: " + why);
}

class BitReader {
public:
    BitReader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    unsigned get(int k) {
        while (bits_ < k) {
            if (at_ >= n_)
                fail("read past the end of the compressed data");
            acc_ = (acc_ << 8) | p_[at_++];
            bits_ += 8;
        }
        bits_ -= k;
        return static_cast<unsigned>((acc_ >> bits_) & ((1u << k) - 1));
    }
    std::size_t left() const { return (n_ - at_) * 8 + static_cast<std::size_t>(bits_); }

private:
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t at_ = 0;
    std::uint64_t acc_ = 0;
    int bits_ = 0;
};

// Canonical Huffman code: shorter codes first, equal lengths by symbol.
class Huffman {
public:
    void setSingle(int n, unsigned symbol) {
        if (symbol >= static_cast<unsigned>(n))
            fail("single symbol out of range");
        single_ = static_cast<int>(symbol);
    }
    void setLengths(const std::uint8_t* len, int n) {
        single_ = -1;
        for (int l = 0; l <= kMaxLen; ++l)
            count_[l] = 0;
        for (int i = 0; i < n; ++i)
            ++count_[len[i]];
        long room = 1; // Kraft sum must be exactly one: a complete code
        for (int l = 1; l <= kMaxLen; ++l) {
            room = room * 2 - count_[l];
            if (room < 0)
                fail("over-subscribed code");
        }
        if (room != 0)
            fail("incomplete code");
        symbols_.clear();
        for (int l = 1; l <= kMaxLen; ++l)
            for (int i = 0; i < n; ++i)
                if (len[i] == l)
                    symbols_.push_back(i);
    }
    int decode(BitReader& in) const {
        if (single_ >= 0)
            return single_;
        int code = 0, first = 0, index = 0;
        for (int l = 1; l <= kMaxLen; ++l) {
            code |= static_cast<int>(in.get(1));
            const int c = count_[l];
            if (code - first < c)
                return symbols_[static_cast<std::size_t>(index + code - first)];
            index += c;
            first = (first + c) << 1;
            code <<= 1;
        }
        fail("bad code");
    }

private:
    int single_ = -1;
    int count_[kMaxLen + 1] = {};
    std::vector<int> symbols_;
};

void readPtLen(BitReader& in, int nn, int nbit, int special, Huffman& h) {
    const unsigned n = in.get(nbit);
    if (n == 0) {
        h.setSingle(nn, in.get(nbit));
        return;
    }
    if (n > static_cast<unsigned>(nn))
        fail("too many code lengths");
    std::uint8_t len[kNT] = {};
    int i = 0;
    while (i < static_cast<int>(n)) {
        unsigned c = in.get(3);
        if (c == 7) {
            while (in.get(1) == 1) {
                if (++c > kMaxLen)
                    fail("code length too long");
            }
        }
        len[i++] = static_cast<std::uint8_t>(c);
        if (i == special) {
            unsigned zeros = in.get(2);
            while (zeros-- > 0) {
                if (i >= static_cast<int>(n))
                    fail("zero run past the table");
                len[i++] = 0;
            }
        }
    }
    h.setLengths(len, nn);
}

void readCLen(BitReader& in, const Huffman& t, Huffman& h) {
    const unsigned n = in.get(kCBit);
    if (n == 0) {
        h.setSingle(kNC, in.get(kCBit));
        return;
    }
    if (n > static_cast<unsigned>(kNC))
        fail("too many literal/length code lengths");
    std::uint8_t len[kNC] = {};
    int i = 0;
    while (i < static_cast<int>(n)) {
        const int c = t.decode(in);
        if (c <= 2) {
            unsigned run = c == 0 ? 1 : c == 1 ? in.get(4) + 3 : in.get(kCBit) + 20;
            while (run-- > 0) {
                if (i >= static_cast<int>(n))
                    fail("zero run past the table");
                len[i++] = 0;
            }
        } else {
            len[i++] = static_cast<std::uint8_t>(c - 2);
        }
    }
    h.setLengths(len, kNC);
}

} // namespace

std::vector<std::uint8_t> lh5Decode(const std::uint8_t* data, std::size_t size,
                                    std::size_t originalSize, Lh5Stats* stats) {
    BitReader in(data, size);
    Huffman t, c, p;
    std::vector<std::uint8_t> out;
    out.reserve(originalSize);
    unsigned remaining = 0;
    Lh5Stats local;
    while (out.size() < originalSize) {
        if (remaining == 0) {
            remaining = in.get(16);
            if (remaining == 0)
                fail("empty block");
            readPtLen(in, kNT, kTBit, 3, t);
            readCLen(in, t, c);
            readPtLen(in, kNP, kPBit, -1, p);
            ++local.blocks;
        }
        --remaining;
        const int sym = c.decode(in);
        if (sym < 256) {
            out.push_back(static_cast<std::uint8_t>(sym));
            continue;
        }
        const std::size_t length = static_cast<std::size_t>(sym - 256 + 3);
        unsigned j = static_cast<unsigned>(p.decode(in));
        if (j != 0)
            j = (1u << (j - 1)) + in.get(static_cast<int>(j - 1));
        const std::size_t distance = j + 1u;
        if (distance > out.size())
            fail("reference before the start");
        if (distance > kWindow)
            fail("reference outside the window");
        if (out.size() + length > originalSize)
            fail("match past the original size");
        if (distance > local.maxDistance)
            local.maxDistance = distance;
        const std::size_t from = out.size() - distance;
        for (std::size_t k = 0; k < length; ++k)
            out.push_back(out[from + k]);
    }
    if (remaining != 0)
        fail("symbols left in the last block");
    if (in.left() >= 8)
        fail("bytes left after the last symbol");
    if (in.get(static_cast<int>(in.left())) != 0)
        fail("padding bits not zero");
    if (stats)
        *stats = local;
    return out;
}

} // namespace fuzz
