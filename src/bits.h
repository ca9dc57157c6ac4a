#ifndef SEAMLINE_BITS_H
#define SEAMLINE_BITS_H

#include <cstddef>
#include <cstdint>

namespace seamline {

// Rows of haplotypes are packed 64 bits to a word: bits 2k and 2k+1 are the
// two haplotypes of sample k, a set bit the site's ALT allele.

// Both bits of sample k's pair, within its word.
inline uint64_t pairMask(size_t k) { return uint64_t(3) << (2 * (k & 31)); }

// Exchanges the two bits of every sample held in a word.
inline uint64_t exchangePairs(uint64_t w) {
    const uint64_t even = 0x5555555555555555ULL;
    return ((w & even) << 1) | ((w >> 1) & even);
}

// The pairs of a word with those of the samples whose two bits are set in
// mask exchanged.
inline uint64_t orientPairs(uint64_t w, uint64_t mask) {
    return (w & ~mask) | (exchangePairs(w) & mask);
}

// The first bit of every sample's pair in both words where the sample is
// heterozygous in both.
inline uint64_t heterozygousInBoth(uint64_t ab, uint64_t xy) {
    return (ab ^ (ab >> 1)) & (xy ^ (xy >> 1)) & 0x5555555555555555ULL;
}

// Moves the bits at even positions of x to the low half, in order.
inline uint32_t evenBits(uint32_t x) {
    x &= 0x55555555u;
    x = (x | (x >> 1)) & 0x33333333u;
    x = (x | (x >> 2)) & 0x0f0f0f0fu;
    x = (x | (x >> 4)) & 0x00ff00ffu;
    x = (x | (x >> 8)) & 0x0000ffffu;
    return x;
}

// Inverts the first nbits bits of a row, leaving the bits past them clear.
inline void invertBits(uint64_t* words, size_t nbits) {
    size_t n = (nbits + 63) / 64;
    for (size_t w = 0; w < n; w++) words[w] = ~words[w];
    if (nbits & 63) words[n - 1] &= (uint64_t(1) << (nbits & 63)) - 1;
}

}  // namespace seamline

#endif
