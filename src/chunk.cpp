#include "chunk.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <iostream>

bitvec::bitvec(size_t n, bool value) { assign(n, value); }

void bitvec::assign(size_t n, bool value) {
    nbits = n;
    words.assign((n + 63) / 64, value ? ~uint64_t(0) : 0);
    if (value && (n & 63)) words.back() = (uint64_t(1) << (n & 63)) - 1;
}

void bitvec::invert() { invertBits(words.data(), nbits); }

void invertBits(uint64_t* words, size_t nbits) {
    size_t n = (nbits + 63) / 64;
    for (size_t w = 0; w < n; w++) words[w] = ~words[w];
    if (nbits & 63) words[n - 1] &= (uint64_t(1) << (nbits & 63)) - 1;
}

chunk::chunk(int N, const char* name)
    : name(name), H(2 * static_cast<size_t>(N)), switched(N, false) {}

chunk::~chunk() {}

namespace {

[[noreturn]] void failJoin(const chunk* curr, const chunk* prev, int code) {
    std::cout << "Chunk [" << curr->name << "] does not overlap chunk [" << prev->name << "], code "
              << code << std::endl;
    exit(1);
}

// First row whose site index equals idx, or -1.
int firstRowOf(const std::vector<int32_t>& sidx, int32_t idx) {
    auto it = std::find(sidx.begin(), sidx.end(), idx);
    return it == sidx.end() ? -1 : static_cast<int>(it - sidx.begin());
}

// For every sample, keep - swap over the overlap rows: keep counts the
// differences between the previous chunk's haplotypes (A, B) and the current
// chunk's (X, Y) in stored order, hamming(A, X) + hamming(B, Y); swap those
// in exchanged order, hamming(A, Y) + hamming(B, X). Rows are visited one at
// a time so that every row is read once, word by word.
std::vector<int32_t> keepMinusSwap(const chunk& prev, int p, const chunk& curr, int h) {
    size_t N = curr.switched.size();
    std::vector<int32_t> diff(N, 0);
    static const int8_t pairCount[4] = {0, 1, 1, 2};
    rowCursor prevRows(prev.H), currRows(curr.H);
    for (int r = 0; r < h; r++) {
        const uint64_t* ab = prevRows.row(p + r);
        const uint64_t* xy = currRows.row(r);
        for (size_t w = 0; w < curr.H.words; w++) {
            uint64_t keep = ab[w] ^ xy[w];
            uint64_t swap = ab[w] ^ exchangePairs(xy[w]);
            if (keep == swap) continue;
            size_t first = w * 32, last = std::min(N, first + 32);
            for (size_t s = first; s < last; s++, keep >>= 2, swap >>= 2)
                diff[s] += pairCount[keep & 3] - pairCount[swap & 3];
        }
    }
    return diff;
}

}  // namespace

void chunk::assemble(chunk* prev) {
    const int P = static_cast<int>(prev->sidx.size());
    const int Q = static_cast<int>(sidx.size());
    if (P == 0) failJoin(this, prev, 1);
    if (Q == 0) failJoin(this, prev, 2);
    const int p = firstRowOf(prev->sidx, sidx[0]);
    if (p < 0) failJoin(this, prev, 1);
    const int q = firstRowOf(sidx, prev->sidx[P - 1]);
    if (q < 0) failJoin(this, prev, 2);
    const int o1 = P - p, o2 = q + 1;
    if (o1 != o2) {
        std::cout << "Overlaps are different between [" << name << "] does not overlap chunk ["
                  << prev->name << "] o1=" << o1 << " o2=" << o2 << std::endl;
        exit(1);
    }
    const int h = o1;
    const int m = (h + 1) / 2;
    std::cout << "  * overlap=" << h << std::endl;
    std::cout << "  * prev chunk end = " << prev->sidx[p + m - 1] << std::endl;
    // With a one-row overlap and a one-row current chunk no row is supplied here.
    std::cout << "  * curr chunk beg = " << (m < Q ? sidx[m] : -1) << std::endl;
    std::fill(prev->sidx.begin() + p + m, prev->sidx.end(), -1);
    std::fill(sidx.begin(), sidx.begin() + m, -1);

    std::vector<int32_t> diff = keepMinusSwap(*prev, p, *this, h);
    int32_t switches = 0;
    for (size_t s = 0; s < diff.size(); s++) {
        // The previous chunk's own orientation exchanges keep and swap.
        int32_t d = prev->switched.get(s) ? -diff[s] : diff[s];
        switched.set(s, d > 0);
        if (d > 0) switches++;
    }
    std::cout << "  * #switches=" << switches << " out of " << switched.size() << " possible"
              << std::endl;
}

int32_t hamming(const bitvec& h1, const bitvec& h2) {
    assert(h1.size() == h2.size());
    int32_t d = 0;
    for (size_t w = 0; w < h1.words.size(); w++)
        d += __builtin_popcountll(h1.words[w] ^ h2.words[w]);
    return d;
}

int32_t discordance(const bitvec& h1, const bitvec& h2, const bitvec& h3, const bitvec& h4) {
    int32_t d = 0;
    for (size_t i = 0; i < h1.size(); i++)
        if (h1.get(i) + h2.get(i) != h3.get(i) + h4.get(i)) d++;
    return d;
}
