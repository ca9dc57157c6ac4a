#include "chunk.h"

#include <algorithm>
#include <cassert>
#include <cmath>
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
    // Paired overlap rows hold the same sites unless one chunk lists a site
    // the other lacks; only then may a row mix samples of both chunks.
    overlapSitesMatch = std::equal(sidx.begin(), sidx.begin() + h, prev->sidx.begin() + p);
    std::fill(prev->sidx.begin() + p + m, prev->sidx.end(), -1);
    std::fill(sidx.begin(), sidx.begin() + m, -1);

    overlapStart = p;
    overlapRows = h;
    agreement counts = countAgreement(*prev, p, *this, h);
    int32_t switches = 0;
    for (size_t s = 0; s < counts.keep.size(); s++) {
        // The previous chunk's own orientation exchanges keep and swap.
        bool exchanged = prev->switched.get(s) ? counts.keep[s] > counts.swap[s]
                                               : counts.swap[s] > counts.keep[s];
        switched.set(s, exchanged);
        switches += exchanged;
    }
    std::cout << "  * #switches=" << switches << " out of " << switched.size() << " possible"
              << std::endl;
}

agreement countAgreement(const chunk& prev, int p, const chunk& curr, int h) {
    const size_t N = curr.switched.size();
    agreement counts;
    counts.keep.assign(N, 0);
    counts.swap.assign(N, 0);
    rowCursor prevRows(prev.H), currRows(curr.H);
    for (int r = 0; r < h; r++) {
        const uint64_t* ab = prevRows.row(p + r);
        const uint64_t* xy = currRows.row(r);
        for (size_t w = 0; w < curr.H.words; w++) {
            // Heterozygous in both chunks; then the pairs agree as stored
            // when the first haplotypes agree, and exchanged otherwise.
            uint64_t both = heterozygousInBoth(ab[w], xy[w]);
            if (!both) continue;
            uint64_t differ = (ab[w] ^ xy[w]) & both;
            for (uint64_t bits = both; bits; bits &= bits - 1) {
                int at = __builtin_ctzll(bits);
                int32_t& count = (differ >> at) & 1 ? counts.swap[w * 32 + at / 2]
                                                    : counts.keep[w * 32 + at / 2];
                count++;
            }
        }
    }
    return counts;
}

std::vector<int32_t> agreeSeams(const chunk& left, const std::vector<uint64_t>& leftExchange,
                                const chunk& right, const std::vector<uint64_t>& rightExchange) {
    const size_t N = right.switched.size();
    const int32_t h = right.overlapRows, middle = (h + 1) / 2;
    std::vector<int32_t> seams(N, middle);
    if (!right.overlapSitesMatch) return seams;
    // Per sample: its last informative row, whether the chunks agree there,
    // and how far from the middle the best seam found so far lies.
    std::vector<int32_t> last(N, -1), distance(N, INT32_MAX);
    std::vector<char> lastAgrees(N, 0);
    // Seams after row `from` up to row `to` lie between two agreeing
    // informative rows; the one nearest the middle is a candidate.
    auto consider = [&](size_t k, int32_t from, int32_t to) {
        int32_t seam = std::min(std::max(middle, from + 1), to);
        int32_t d = std::abs(seam - middle);
        if (d < distance[k]) distance[k] = d, seams[k] = seam;
    };
    rowCursor leftRows(left.H), rightRows(right.H);
    for (int32_t r = 0; r < h; r++) {
        const uint64_t* ab = leftRows.row(right.overlapStart + r);
        const uint64_t* xy = rightRows.row(r);
        for (size_t w = 0; w < right.H.words; w++) {
            uint64_t both = heterozygousInBoth(ab[w], xy[w]);
            if (!both) continue;
            // The pairs as they are written, exchanged or not.
            uint64_t agree = both & ~(orientPairs(ab[w], leftExchange[w]) ^
                                      orientPairs(xy[w], rightExchange[w]));
            for (uint64_t bits = both; bits; bits &= bits - 1) {
                int at = __builtin_ctzll(bits);
                size_t k = w * 32 + at / 2;
                bool agrees = (agree >> at) & 1;
                if (agrees && lastAgrees[k]) consider(k, last[k], r);
                last[k] = r;
                lastAgrees[k] = agrees;
            }
        }
    }
    return seams;
}

int reportQuality(int32_t keep, int32_t swap) {
    if (keep == 0 && swap == 0) return 0;
    if (keep == 0 || swap == 0) return 99;
    double f = static_cast<double>(keep) / (keep + swap);
    double q = 99 * (0.7 + f * std::log(f) + (1 - f) * std::log(1 - f)) / 0.7;
    return static_cast<int>(std::lround(std::min(99.0, std::max(0.0, q))));
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
