#include "lh5_encoder.h"

#include "huffman.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace unlha {
namespace {

constexpr int kMinMatch = 3;
constexpr int kMaxMatch = 256;
// The decoder's window is 8 KiB; one byte less keeps every decoder safe.
constexpr std::int64_t kMaxDist = 8191;
constexpr int kWindowMask = 8191;
constexpr int kNC = 256 + kMaxMatch - kMinMatch + 1; // literals and lengths: 510
constexpr int kNP = 14;                              // distance bit lengths 0..13
constexpr int kNT = 19;                              // codes of the length table
constexpr int kCBit = 9, kPBit = 4, kTBit = 5;
constexpr int kMaxCodeLen = 16;

constexpr int kHashBits = 15;
constexpr std::size_t kBufSize = 1 << 17;
constexpr std::size_t kBlockSymbols = 0x7FFF;

// Match search effort, comparable to a mid-level deflate setting.
constexpr int kMaxChain = 96;
constexpr int kGoodLength = 16;
constexpr int kNiceLength = 128;
constexpr int kMaxLazy = 32;
constexpr std::int64_t kTooFar = 4096; // a 3-byte match farther away is not worth it

class BitWriter {
public:
    explicit BitWriter(ByteSink& sink) : sink_(sink) { out_.reserve(1 << 16); }
    void put(int n, unsigned value) {
        acc_ = (acc_ << n) | (value & ((1u << n) - 1));
        bits_ += n;
        while (bits_ >= 8) {
            bits_ -= 8;
            out_.push_back(static_cast<std::uint8_t>(acc_ >> bits_));
        }
        if (out_.size() >= (1 << 16))
            drain();
    }
    void finish() {
        if (bits_ > 0)
            put(8 - bits_, 0);
        drain();
    }

private:
    void drain() {
        if (!out_.empty())
            sink_.put(out_.data(), out_.size());
        out_.clear();
    }
    ByteSink& sink_;
    std::vector<std::uint8_t> out_;
    std::uint64_t acc_ = 0;
    int bits_ = 0;
};

int bitLength(unsigned v) {
    return v ? 32 - __builtin_clz(v) : 0;
}

} // namespace

struct Lh5Encoder::State {
    explicit State(ByteSink& sink) : bits(sink) {
        buf.assign(kBufSize + 16, 0);
        head.assign(std::size_t{1} << kHashBits, -1 - kMaxDist);
        prev.assign(kWindowMask + 1, -1 - kMaxDist);
        symC.reserve(kBlockSymbols);
        symP.reserve(kBlockSymbols);
    }

    BitWriter bits;
    std::vector<std::uint8_t> buf; // input, buf[0] is stream position bufStart
    std::int64_t bufStart = 0;
    std::size_t bufEnd = 0;
    std::int64_t pos = 0; // next position to look at
    std::vector<std::int64_t> head, prev;

    // Lazy matching carries one pending match across calls.
    bool pendingLiteral = false;
    int matchLen = kMinMatch - 1;
    std::int64_t matchDist = 0;

    std::vector<std::uint16_t> symC, symP; // code and distance-1 per symbol
    std::uint32_t freqC[kNC] = {};
    std::uint32_t freqP[kNP] = {};

    std::uint8_t at(std::int64_t p) const { return buf[static_cast<std::size_t>(p - bufStart)]; }
    std::int64_t end() const { return bufStart + static_cast<std::int64_t>(bufEnd); }

    unsigned hashAt(std::int64_t p) const {
        const std::uint8_t* q = &buf[static_cast<std::size_t>(p - bufStart)];
        const std::uint32_t v = q[0] | (q[1] << 8) | (q[2] << 16);
        return (v * 2654435761u) >> (32 - kHashBits);
    }

    // Inserts p into the hash chains; returns the previous head (a candidate).
    std::int64_t insert(std::int64_t p) {
        if (p + kMinMatch > end())
            return -1 - kMaxDist;
        const unsigned h = hashAt(p);
        const std::int64_t cand = head[h];
        prev[p & kWindowMask] = cand;
        head[h] = p;
        return cand;
    }

    int longestMatch(std::int64_t p, std::int64_t cand, int prevLen, std::int64_t& dist) const {
        const int limit = static_cast<int>(std::min<std::int64_t>(kMaxMatch, end() - p));
        if (limit < kMinMatch)
            return 0;
        int chain = prevLen >= kGoodLength ? kMaxChain / 4 : kMaxChain;
        int best = std::max(prevLen, kMinMatch - 1);
        const std::uint8_t* s = &buf[static_cast<std::size_t>(p - bufStart)];
        const std::int64_t lowest = p - kMaxDist;
        while (cand >= lowest && chain-- > 0) {
            const std::uint8_t* c = &buf[static_cast<std::size_t>(cand - bufStart)];
            if (best < limit && c[best] == s[best] && c[0] == s[0] && c[1] == s[1]) {
                int len = 0;
                while (len < limit) {
                    std::uint64_t a, b;
                    std::memcpy(&a, c + len, 8);
                    std::memcpy(&b, s + len, 8);
                    if (a != b) {
                        len += __builtin_ctzll(a ^ b) >> 3;
                        break;
                    }
                    len += 8;
                }
                len = std::min(len, limit);
                if (len > best) {
                    best = len;
                    dist = p - cand;
                    if (len >= kNiceLength || len >= limit)
                        break;
                }
            }
            cand = prev[cand & kWindowMask];
        }
        return best;
    }

    void emitLiteral(std::uint8_t c) {
        symC.push_back(c);
        symP.push_back(0);
        ++freqC[c];
        if (symC.size() >= kBlockSymbols)
            flushBlock();
    }

    void emitMatch(int len, std::int64_t dist) {
        const unsigned code = 256 + len - kMinMatch;
        const unsigned d = static_cast<unsigned>(dist - 1);
        symC.push_back(static_cast<std::uint16_t>(code));
        symP.push_back(static_cast<std::uint16_t>(d));
        ++freqC[code];
        ++freqP[bitLength(d)];
        if (symC.size() >= kBlockSymbols)
            flushBlock();
    }

    // Runs the lazy matcher up to (not including) position stop.
    void compress(std::int64_t stop) {
        while (pos < stop) {
            const std::int64_t cand = insert(pos);
            const int prevLen = matchLen;
            const std::int64_t prevDist = matchDist;
            matchLen = kMinMatch - 1;
            if (cand >= pos - kMaxDist && prevLen < kMaxLazy) {
                std::int64_t d = 0;
                const int len = longestMatch(pos, cand, prevLen, d);
                if (len > prevLen && len >= kMinMatch && !(len == kMinMatch && d > kTooFar)) {
                    matchLen = len;
                    matchDist = d;
                }
            }
            if (prevLen >= kMinMatch && matchLen <= prevLen) {
                // The match found one position back is at least as good: take it.
                emitMatch(prevLen, prevDist);
                const std::int64_t last = pos - 1 + prevLen;
                for (std::int64_t q = pos + 1; q < last; ++q)
                    insert(q);
                pos = last;
                pendingLiteral = false;
                matchLen = kMinMatch - 1;
            } else if (pendingLiteral) {
                emitLiteral(at(pos - 1));
                ++pos;
            } else {
                pendingLiteral = true;
                ++pos;
            }
        }
    }

    void sendTree(int n, int nbit, int special, const std::uint8_t* lens) {
        int count = n;
        while (count > 0 && lens[count - 1] == 0)
            --count;
        bits.put(nbit, static_cast<unsigned>(count));
        int i = 0;
        while (i < count) {
            const int k = lens[i++];
            if (k <= 6)
                bits.put(3, static_cast<unsigned>(k));
            else
                bits.put(k - 3, (1u << (k - 3)) - 2); // 111, k-7 ones, a zero
            if (i == special) {
                int zeros = 0;
                while (i < count && zeros < 3 && lens[i] == 0) {
                    ++i;
                    ++zeros;
                }
                bits.put(2, static_cast<unsigned>(zeros));
            }
        }
    }

    // Walks the literal/length code lengths as the length table codes them;
    // with emit false it only counts how often each code of that table occurs.
    template <typename F> static void walkCLens(const std::uint8_t* cLen, int count, F&& f) {
        int i = 0;
        while (i < count) {
            const int k = cLen[i++];
            if (k != 0) {
                f(k + 2, -1, 0);
                continue;
            }
            int run = 1;
            while (i < count && cLen[i] == 0) {
                ++i;
                ++run;
            }
            if (run <= 2) {
                for (int r = 0; r < run; ++r)
                    f(0, -1, 0);
            } else if (run <= 18) {
                f(1, 4, run - 3);
            } else if (run == 19) {
                f(0, -1, 0);
                f(1, 4, 15);
            } else {
                f(2, kCBit, run - 20);
            }
        }
    }

    void flushBlock() {
        if (symC.empty())
            return;
        std::uint8_t cLen[kNC];
        std::uint16_t cCode[kNC];
        std::uint8_t pLen[kNP];
        std::uint16_t pCode[kNP];
        const int cUsed = huffmanLengths(freqC, kNC, kMaxCodeLen, cLen);
        huffmanCodes(cLen, kNC, cCode);
        const int pUsed = huffmanLengths(freqP, kNP, kMaxCodeLen, pLen);
        huffmanCodes(pLen, kNP, pCode);

        bits.put(16, static_cast<unsigned>(symC.size()));
        if (cUsed >= 2) {
            int count = kNC;
            while (count > 0 && cLen[count - 1] == 0)
                --count;
            std::uint32_t freqT[kNT] = {};
            walkCLens(cLen, count, [&](int t, int, int) { ++freqT[t]; });
            std::uint8_t tLen[kNT];
            std::uint16_t tCode[kNT];
            if (huffmanLengths(freqT, kNT, kMaxCodeLen, tLen) >= 2) {
                sendTree(kNT, kTBit, 3, tLen);
            } else {
                const int only = static_cast<int>(
                    std::find_if(freqT, freqT + kNT, [](std::uint32_t f) { return f; }) - freqT);
                bits.put(kTBit, 0);
                bits.put(kTBit, static_cast<unsigned>(only));
            }
            huffmanCodes(tLen, kNT, tCode);
            bits.put(kCBit, static_cast<unsigned>(count));
            walkCLens(cLen, count, [&](int t, int extraBits, int extra) {
                if (tLen[t])
                    bits.put(tLen[t], tCode[t]);
                if (extraBits > 0)
                    bits.put(extraBits, static_cast<unsigned>(extra));
            });
        } else {
            bits.put(kTBit, 0);
            bits.put(kTBit, 0);
            bits.put(kCBit, 0);
            bits.put(kCBit, symC[0]);
        }
        if (pUsed >= 2) {
            sendTree(kNP, kPBit, -1, pLen);
        } else {
            const int only = static_cast<int>(
                std::find_if(freqP, freqP + kNP, [](std::uint32_t f) { return f; }) - freqP);
            bits.put(kPBit, 0);
            bits.put(kPBit, static_cast<unsigned>(only == kNP ? 0 : only));
        }

        for (std::size_t i = 0; i < symC.size(); ++i) {
            const unsigned c = symC[i];
            if (cLen[c])
                bits.put(cLen[c], cCode[c]);
            if (c >= 256) {
                const unsigned d = symP[i];
                const int p = bitLength(d);
                if (pLen[p])
                    bits.put(pLen[p], pCode[p]);
                if (p > 1)
                    bits.put(p - 1, d);
            }
        }
        symC.clear();
        symP.clear();
        std::fill(std::begin(freqC), std::end(freqC), 0);
        std::fill(std::begin(freqP), std::end(freqP), 0);
    }
};

Lh5Encoder::Lh5Encoder(ByteSink& sink) : s_(std::make_unique<State>(sink)) {}
Lh5Encoder::~Lh5Encoder() = default;

void Lh5Encoder::write(const std::uint8_t* data, std::size_t size) {
    State& s = *s_;
    while (size > 0) {
        if (s.bufEnd == kBufSize) {
            // Code what has full look-ahead, then keep only the window behind it.
            s.compress(s.end() - kMaxMatch - 1);
            const std::int64_t keep = std::max(s.bufStart, s.pos - kMaxDist - 1);
            const std::size_t drop = static_cast<std::size_t>(keep - s.bufStart);
            std::memmove(s.buf.data(), s.buf.data() + drop, s.bufEnd - drop);
            s.bufEnd -= drop;
            s.bufStart = keep;
        }
        const std::size_t n = std::min(size, kBufSize - s.bufEnd);
        std::memcpy(s.buf.data() + s.bufEnd, data, n);
        s.bufEnd += n;
        data += n;
        size -= n;
    }
}

void Lh5Encoder::finish() {
    State& s = *s_;
    s.compress(s.end());
    if (s.pendingLiteral) {
        s.emitLiteral(s.at(s.pos - 1));
        s.pendingLiteral = false;
    }
    s.flushBlock();
    s.bits.finish();
}

} // namespace unlha
