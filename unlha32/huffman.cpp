#include "huffman.h"

#include <algorithm>
#include <vector>

namespace unlha {

int huffmanLengths(const std::uint32_t* freq, int n, int maxLen, std::uint8_t* lens) {
    std::fill(lens, lens + n, 0);
    std::vector<std::uint32_t> f(freq, freq + n);
    int used = 0;
    for (int i = 0; i < n; ++i)
        used += f[i] != 0;
    if (used < 2)
        return used;

    for (;;) {
        // Classic two-queue construction over leaves sorted by weight.
        struct Node {
            std::uint64_t weight;
            int parent;
        };
        std::vector<int> leaves;
        for (int i = 0; i < n; ++i)
            if (f[i])
                leaves.push_back(i);
        std::stable_sort(leaves.begin(), leaves.end(), [&](int a, int b) { return f[a] < f[b]; });
        const int m = static_cast<int>(leaves.size());
        std::vector<Node> nodes(2 * m - 1);
        for (int i = 0; i < m; ++i)
            nodes[i] = {f[leaves[i]], -1};
        int leafNext = 0, innerNext = m, innerEnd = m;
        auto takeMin = [&]() {
            if (leafNext < m &&
                (innerNext >= innerEnd || nodes[leafNext].weight <= nodes[innerNext].weight))
                return leafNext++;
            return innerNext++;
        };
        while (innerEnd < 2 * m - 1) {
            const int a = takeMin();
            const int b = takeMin();
            nodes[innerEnd] = {nodes[a].weight + nodes[b].weight, -1};
            nodes[a].parent = nodes[b].parent = innerEnd;
            ++innerEnd;
        }
        // Depths from the root down (parents always have larger indices).
        std::vector<int> depth(2 * m - 1, 0);
        int deepest = 0;
        for (int i = 2 * m - 3; i >= 0; --i) {
            depth[i] = depth[nodes[i].parent] + 1;
            if (i < m)
                deepest = std::max(deepest, depth[i]);
        }
        if (deepest <= maxLen) {
            for (int i = 0; i < m; ++i)
                lens[leaves[i]] = static_cast<std::uint8_t>(depth[i]);
            return used;
        }
        // Too deep: flatten the distribution and try again (rare, costs little).
        for (auto& w : f)
            if (w)
                w = (w >> 1) | 1;
    }
}

void huffmanCodes(const std::uint8_t* lens, int n, std::uint16_t* codes) {
    unsigned count[18] = {};
    for (int i = 0; i < n; ++i)
        ++count[lens[i]];
    unsigned next[18] = {};
    unsigned code = 0;
    count[0] = 0;
    for (int len = 1; len <= 17; ++len) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    for (int i = 0; i < n; ++i)
        codes[i] = lens[i] ? static_cast<std::uint16_t>(next[lens[i]]++) : 0;
}

} // namespace unlha
