#ifndef SEAMLINE_CHUNK_H
#define SEAMLINE_CHUNK_H

#include <cstdint>
#include <string>
#include <vector>

#include "spill.h"

// Fixed-length bit vector packed 64 bits to a word; bits past the length
// are always clear so that whole words can be compared and counted.
class bitvec {
public:
    std::vector<uint64_t> words;
    size_t nbits = 0;

    bitvec() = default;
    explicit bitvec(size_t n, bool value = false);
    void assign(size_t n, bool value);
    void invert();
    size_t size() const { return nbits; }
    bool get(size_t i) const { return (words[i >> 6] >> (i & 63)) & 1; }
    void set(size_t i, bool value) {
        uint64_t mask = uint64_t(1) << (i & 63);
        if (value)
            words[i >> 6] |= mask;
        else
            words[i >> 6] &= ~mask;
    }
};

// The rows of one chunk file: one site index and one row of 2N haplotype
// bits per row (bit 2k and 2k+1 are the two haplotypes of sample k, a set
// bit is the site's alt allele).
class chunk {
public:
    std::string name;
    std::vector<int32_t> sidx;  // site index per row; -1 once a neighbour supplies the row
    rowStore H;
    bitvec switched;        // per sample: haplotypes held in the opposite order to the first chunk
    int overlapStart = -1;  // the previous chunk's row where the overlap with it begins
    int overlapRows = 0;    // rows shared with the previous chunk
    bool overlapSitesMatch = true;  // both chunks list the same sites in that overlap

    chunk(int N, const char* name);
    ~chunk();
    // Joins this chunk to the chunk that precedes it along the chromosome.
    void assemble(chunk* prev);
};

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

// Per sample, the overlap rows where the sample is heterozygous in both
// chunks and the two stored pairs agree as they stand (keep) or only once one
// of them is exchanged (swap). Every other row fits both orders equally well.
struct agreement {
    std::vector<int32_t> keep, swap;
};
agreement countAgreement(const chunk& prev, int p, const chunk& curr, int h);

// Per sample, the overlap row from which the right chunk's rows are written:
// the row nearest the overlap's middle that lies between two consecutive
// informative rows (the sample heterozygous in both chunks) where the pairs,
// as written (exchanged where the masks say), agree. The middle itself when
// it lies between such rows, or when there are none, or when the two chunks
// list different sites in the overlap; of two candidates equally near, the
// earlier.
std::vector<int32_t> agreeSeams(const chunk& left, const std::vector<uint64_t>& leftExchange,
                                const chunk& right, const std::vector<uint64_t>& rightExchange);

// Confidence, 0 to 99, in an orientation decision taken on keep and swap rows.
int reportQuality(int32_t keep, int32_t swap);

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
void invertBits(uint64_t* words, size_t nbits);

// Number of positions at which the two bit vectors differ.
int32_t hamming(const bitvec& h1, const bitvec& h2);

// Number of positions at which h1 + h2 differs from h3 + h4.
int32_t discordance(const bitvec& h1, const bitvec& h2, const bitvec& h3, const bitvec& h4);

#endif
