// The -lh5- encoder on arbitrary data, fed in arbitrary pieces; every output
// must decode (strictly) back to the input.
//
// Input: byte 0 chooses the mode (bit 0) and seeds the piece sizes. In raw
// mode the rest is the data. In expanded mode the rest is a list of records
// (flags, count, seed/length, bytes...) that repeat a few bytes or emit
// pseudo-random ones, so that small inputs reach the large files where the
// encoder's buffer slides and distances reach the window's edge.
#include "lh5_decoder.h"
#include "lh5_encoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::size_t kMaxPlain = 320 * 1024; // a few turns of the 128 KiB buffer

class VectorSink : public unlha::ByteSink {
public:
    void put(const std::uint8_t* data, std::size_t size) override {
        bytes.insert(bytes.end(), data, data + size);
    }
    std::vector<std::uint8_t> bytes;
};

struct Rng {
    std::uint32_t s;
    std::uint32_t next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
};

std::vector<std::uint8_t> expand(const std::uint8_t* p, std::size_t n) {
    std::vector<std::uint8_t> out;
    std::size_t i = 0;
    while (i + 3 <= n && out.size() < kMaxPlain) {
        const std::uint8_t flags = p[i];
        const std::size_t count = (static_cast<std::size_t>(p[i + 1]) << 4 | (flags & 15)) + 1;
        const std::uint8_t arg = p[i + 2];
        i += 3;
        if (flags & 0x80) {
            // count * 16 pseudo-random bytes: incompressible, pushes matches far back
            Rng rng{arg * 2654435761u + 1};
            for (std::size_t k = 0; k < count * 16 && out.size() < kMaxPlain; ++k)
                out.push_back(static_cast<std::uint8_t>(rng.next() >> 24));
        } else if (flags & 0x40) {
            // copy count bytes from distance arg * 64 + (flags & 0x30) back (wraps short outputs)
            const std::size_t dist = static_cast<std::size_t>(arg) * 64 + (flags & 0x30) + 1;
            for (std::size_t k = 0; k < count && !out.empty() && out.size() < kMaxPlain; ++k)
                out.push_back(out[out.size() - 1 - (dist - 1) % out.size()]);
        } else {
            // the next arg % 32 + 1 bytes, repeated count times
            const std::size_t len = std::min<std::size_t>(arg % 32 + 1, n - i);
            for (std::size_t r = 0; r < count && out.size() < kMaxPlain; ++r)
                out.insert(out.end(), p + i, p + i + len);
            i += len;
        }
    }
    if (out.size() > kMaxPlain)
        out.resize(kMaxPlain);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::vector<std::uint8_t> plain = (data[0] & 1)
                                                ? expand(data + 1, size - 1)
                                                : std::vector<std::uint8_t>(data + 1, data + size);

    VectorSink sink;
    {
        unlha::Lh5Encoder enc(sink);
        Rng rng{static_cast<std::uint32_t>(data[0]) * 40503u + 7};
        std::size_t at = 0;
        while (at < plain.size()) {
            // Mostly small pieces, now and then a large one.
            const std::uint32_t r = rng.next();
            std::size_t piece = (r & 3) == 0 ? (r >> 8) % 200000 + 1 : (r >> 8) % 97 + 1;
            if (data[0] & 2)
                piece = plain.size(); // all at once
            piece = std::min(piece, plain.size() - at);
            enc.write(plain.data() + at, piece);
            at += piece;
            if (r & 0x10)
                enc.write(plain.data() + at, 0); // empty writes change nothing
        }
        enc.finish();
    }

    fuzz::Lh5Stats stats;
    std::vector<std::uint8_t> back;
    try {
        back = fuzz::lh5Decode(sink.bytes.data(), sink.bytes.size(), plain.size(), &stats);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "encoder output does not decode (%zu bytes in): %s\n", plain.size(),
                     e.what());
        std::abort();
    }
    if (back != plain) {
        std::fprintf(stderr, "round trip changed the data (%zu bytes)\n", plain.size());
        std::abort();
    }
    // The encoder promises distances below the full window.
    if (stats.maxDistance > 8191) {
        std::fprintf(stderr, "distance %zu beyond 8191\n", stats.maxDistance);
        std::abort();
    }
    return 0;
}
