#include "join.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "bits.h"
#include "failure.h"

namespace seamline {

namespace {

[[noreturn]] void noOverlap(const chunk& curr, const chunk& prev, int code) {
    failOnConsole("Chunk [" + curr.name + "] does not overlap chunk [" + prev.name + "], code " +
                  std::to_string(code));
}

// First row from `from` on whose site is idx, or -1.
int32_t firstRowOf(const std::vector<int32_t>& sites, size_t from, int32_t idx) {
    auto it = std::find(sites.begin() + std::min(from, sites.size()), sites.end(), idx);
    return it == sites.end() ? -1 : static_cast<int32_t>(it - sites.begin());
}

// The first bit of every pair of word w whose sample holds the same two
// alleles in both rows (a and b: the allele pairs of rows with several ALT
// alleles, or null); every pair when neither row has several ALT alleles.
uint64_t sameAlleles(const uint8_t* a, const uint8_t* b, size_t w, size_t samples) {
    if (!a && !b) return ~uint64_t(0);
    uint64_t same = 0;
    if (!a || !b) return same;
    for (size_t k = 32 * w; k < std::min(32 * w + 32, samples); k++)
        if (a[k] && a[k] == b[k]) same |= uint64_t(1) << (2 * (k & 31));
    return same;
}

// Calls visit(r, w, ab, xy, both) for every overlap row r and word w of
// packed pairs (ab the left chunk's, xy the right one's) where some sample is
// informative: heterozygous in both chunks, with the same alleles; both has
// the first bit of every such sample's pair.
template <typename Visit>
void forEachInformative(const chunk& left, const chunk& right, const boundary& b, Visit visit) {
    rowCursor leftRows(left.rows), rightRows(right.rows);
    byteRowCursor leftPairs(left.alleles), rightPairs(right.alleles);
    const size_t samples = right.alleles.samples();
    for (int32_t r = 0; r < b.rows(); r++) {
        const uint64_t* ab = leftRows.row(b.leftRow(r));
        const uint64_t* xy = rightRows.row(b.rightRow(r));
        const uint8_t* leftAlleles = leftPairs.find(b.leftRow(r));
        const uint8_t* rightAlleles = rightPairs.find(b.rightRow(r));
        for (size_t w = 0; w < right.rows.words(); w++) {
            uint64_t both = heterozygousInBoth(ab[w], xy[w]);
            if (both) both &= sameAlleles(leftAlleles, rightAlleles, w, samples);
            if (both) visit(r, w, ab[w], xy[w], both);
        }
    }
}

// Counts, per sample, the overlap rows that keep or swap its pair.
void countAgreement(const chunk& prev, const chunk& curr, boundary& b, size_t samples) {
    b.keep.assign(samples, 0);
    b.swap.assign(samples, 0);
    forEachInformative(
        prev, curr, b, [&b](int32_t, size_t w, uint64_t ab, uint64_t xy, uint64_t both) {
            // The pairs agree as stored when the first
            // haplotypes agree, and exchanged otherwise.
            uint64_t differ = (ab ^ xy) & both;
            for (uint64_t bits = both; bits; bits &= bits - 1) {
                int at = __builtin_ctzll(bits);
                int32_t& count =
                    (differ >> at) & 1 ? b.swap[w * 32 + at / 2] : b.keep[w * 32 + at / 2];
                count++;
            }
        });
}

// The overlap of neighbours that list their overlap's sites in the same
// order, as with a site map: from curr's first site, found among prev's rows
// from prevFirst on, to prev's last site, found among curr's rows.
boundary inOrder(const chunk& prev, int32_t prevFirst, const chunk& curr) {
    const int32_t P = static_cast<int32_t>(prev.sites.size());
    const int32_t Q = static_cast<int32_t>(curr.sites.size());
    if (P == 0) noOverlap(curr, prev, 1);
    if (Q == 0) noOverlap(curr, prev, 2);
    const int32_t p = firstRowOf(prev.sites, prevFirst, curr.sites[0]);
    if (p < 0) noOverlap(curr, prev, 1);
    // The previous chunk's last row counts only when it still supplies it.
    const int32_t q = P - 1 < prevFirst ? -1 : firstRowOf(curr.sites, 0, prev.sites[P - 1]);
    if (q < 0) noOverlap(curr, prev, 2);
    const int32_t o1 = P - p, o2 = q + 1;
    // Overlap rows are paired in order, so both chunks must list the same
    // sites there: a site one of them lacks would pair rows of two sites.
    if (o1 != o2 ||
        !std::equal(curr.sites.begin(), curr.sites.begin() + o1, prev.sites.begin() + p))
        failOnConsole("Overlaps are different between [" + curr.name +
                      "] does not overlap chunk [" + prev.name + "] o1=" + std::to_string(o1) +
                      " o2=" + std::to_string(o2));
    boundary b;
    b.pairInOrder(p, o1);
    return b;
}

// The console lines of an overlap paired in order.
void printInOrder(const boundary& b, const chunk& prev, const chunk& curr) {
    const int32_t m = b.middle();
    const int32_t Q = static_cast<int32_t>(curr.sites.size());
    std::cout << "  * overlap=" << b.rows() << std::endl;
    std::cout << "  * prev chunk end = " << prev.sites[b.leftRow(m - 1)] << std::endl;
    // With a one-row overlap and a one-row current chunk no row is supplied here.
    std::cout << "  * curr chunk beg = " << (m < Q ? curr.sites[m] : -1) << std::endl;
}

// Per sample, the overlap row nearest the overlap's middle that lies between
// two consecutive informative rows (the sample heterozygous in both chunks)
// where the pairs, as written, agree. The middle itself when it lies between
// such rows, or when there are none; of two candidates equally near, the
// earlier.
std::vector<int32_t> agreeSeams(const chunk& left, const std::vector<uint64_t>& leftExchange,
                                const chunk& right, const std::vector<uint64_t>& rightExchange,
                                const boundary& b, size_t samples) {
    const int32_t middle = b.middle();
    std::vector<int32_t> seams(samples, middle);
    // Per sample: its last informative row, whether the chunks agree there,
    // and how far from the middle the best seam found so far lies.
    std::vector<int32_t> last(samples, -1), distance(samples, INT32_MAX);
    std::vector<char> lastAgrees(samples, 0);
    // Seams after row `from` up to row `to` lie between two agreeing
    // informative rows; the one nearest the middle is a candidate.
    auto consider = [&](size_t k, int32_t from, int32_t to) {
        int32_t seam = std::min(std::max(middle, from + 1), to);
        int32_t d = std::abs(seam - middle);
        if (d < distance[k]) distance[k] = d, seams[k] = seam;
    };
    forEachInformative(
        left, right, b, [&](int32_t r, size_t w, uint64_t ab, uint64_t xy, uint64_t both) {
            // The pairs as they are written, exchanged or not.
            uint64_t agree =
                both & ~(orientPairs(ab, leftExchange[w]) ^ orientPairs(xy, rightExchange[w]));
            for (uint64_t bits = both; bits; bits &= bits - 1) {
                int at = __builtin_ctzll(bits);
                size_t k = w * 32 + at / 2;
                bool agrees = (agree >> at) & 1;
                if (agrees && lastAgrees[k]) consider(k, last[k], r);
                last[k] = r;
                lastAgrees[k] = agrees;
            }
        });
    return seams;
}

// Per sample: the pair of the right chunk stands the other way round to the
// orientation carried from the first chunk, or from the last tie; left: the
// same for the left chunk.
std::vector<char> orientation(const boundary& b, const std::vector<char>& left) {
    std::vector<char> exchanged(left.size());
    int32_t count = 0;
    for (size_t k = 0; k < left.size(); k++) {
        exchanged[k] = !b.tied(k) && (left[k] != b.swapped(k));
        count += exchanged[k];
    }
    std::cout << "  * #switches=" << count << " out of " << left.size() << " possible" << std::endl;
    return exchanged;
}

// Writing exchanges the pair of every sample whose orientation differs from
// the first chunk's written one, unless the sample is scaffolded: the text
// format writes the first chunk's pairs exchanged, VCF tools as stored.
std::vector<uint64_t> exchangeMask(const std::vector<char>& exchanged,
                                   const std::vector<bool>& scaffolded, bool firstExchanged) {
    std::vector<uint64_t> mask((2 * exchanged.size() + 63) / 64, 0);
    for (size_t k = 0; k < exchanged.size(); k++)
        if (exchanged[k] != firstExchanged && !scaffolded[k]) mask[k >> 5] |= pairMask(k);
    return mask;
}

// The first row of the right chunk that it supplies, and the end of the rows
// the left chunk supplies, when the two overlap.
int32_t rightBegin(const boundary& b) {
    const int32_t m = b.middle();
    return m < b.rows() ? b.rightRow(m) : b.rightRow(b.rows() - 1) + 1;
}
int32_t leftEnd(const boundary& b) {
    const int32_t m = b.middle();
    return m < b.rows() ? b.leftRow(m) : b.leftRow(b.rows() - 1) + 1;
}

}  // namespace

std::vector<source> mapSites(const joinResult& join, size_t nsites, bool bySite) {
    std::vector<source> sources(nsites);
    const size_t K = join.chunks.size();
    auto overlaps = [&join](size_t c) {
        return join.boundaries[c].meeting == boundary::kind::overlap;
    };
    for (size_t c = 0; c < K; c++) {
        const std::vector<int32_t>& rows = join.chunks[c].sites;
        size_t first = c > 0 && overlaps(c) ? rightBegin(join.boundaries[c]) : 0;
        size_t end = c + 1 < K && overlaps(c + 1) ? leftEnd(join.boundaries[c + 1]) : rows.size();
        for (size_t r = first; r < end; r++)
            sources[rows[r]] = {static_cast<int32_t>(c), static_cast<int32_t>(r)};
    }
    for (size_t c = 0; bySite && c < K; c++)
        for (size_t r = 0; r < join.chunks[c].sites.size(); r++)
            if (sources[join.chunks[c].sites[r]].chunk < 0)
                sources[join.chunks[c].sites[r]] = {static_cast<int32_t>(c),
                                                    static_cast<int32_t>(r)};
    return sources;
}

namespace {

// The rows of two chunks that hold the same sites, in order.
std::vector<std::pair<int32_t, int32_t>> sharedSites(const chunk& left, const chunk& right) {
    std::vector<std::pair<int32_t, int32_t>> pairs;
    const std::vector<int32_t>&a = left.sites, &b = right.sites;
    for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
        if (a[i] == b[j])
            pairs.emplace_back(static_cast<int32_t>(i++), static_cast<int32_t>(j++));
        else if (a[i] < b[j])
            i++;
        else
            j++;
    }
    return pairs;
}

// The console line of neighbours joined by site.
void printBySite(const boundary& b) {
    if (b.meeting == boundary::kind::gap)
        std::cout << "  * gap: no record in common, the orientation starts afresh" << std::endl;
    else
        std::cout << "  * overlap=" << b.rows() << std::endl;
}

// Masks, seams and sources once every orientation is known.
void finish(joinResult& join, const std::vector<std::vector<char>>& exchanged,
            const std::vector<site>& sites, const std::vector<bool>& scaffolded,
            bool firstExchanged, bool bySite) {
    for (const std::vector<char>& e : exchanged)
        join.exchange.push_back(exchangeMask(e, scaffolded, firstExchanged));
    if (join.rule == seamRule::agree)
        for (size_t c = 1; c < join.chunks.size(); c++)
            if (join.boundaries[c].meeting == boundary::kind::overlap)
                join.boundaries[c].seams =
                    agreeSeams(join.chunks[c - 1], join.exchange[c - 1], join.chunks[c],
                               join.exchange[c], join.boundaries[c], scaffolded.size());
    std::cout << "Mapping sites to chunks" << std::endl;
    join.sources = mapSites(join, sites.size(), bySite);
    std::cout << "Checking mapping sites to chunks" << std::endl;
    for (size_t i = 0; i < join.sources.size(); i++)
        if (join.sources[i].chunk < 0)
            std::cout << "Site " << i << " with pos=" << sites[i].pos << " is unmapped"
                      << std::endl;
}

}  // namespace

boundary bySites(const chunk& prev, const chunk& curr, bool allowGaps) {
    boundary b;
    b.pairs = sharedSites(prev, curr);
    if (b.pairs.empty()) {
        if (!allowGaps) {
            // The line that scripts know, then what to do about it.
            std::cout << "Chunk [" << curr.name << "] does not overlap chunk [" << prev.name
                      << "], code 1" << std::endl;
            fail("chunks [" + prev.name + "] and [" + curr.name +
                 "] share no record: --allow-gaps (bcftools: --ligate-force) joins them anyway");
        }
        b.meeting = boundary::kind::gap;
    }
    return b;
}

std::vector<int32_t> dropLoneOverlapSites(joinResult& join) {
    std::vector<int32_t> dropped;
    for (size_t c = 1; c < join.chunks.size(); c++) {
        const boundary& b = join.boundaries[c];
        if (b.meeting != boundary::kind::overlap) continue;
        const chunk &left = join.chunks[c - 1], &right = join.chunks[c];
        // Site numbers follow the output's order, so the overlap is the
        // stretch of numbers from the right chunk's first site to the left
        // one's last.
        const int32_t first = right.sites.front(), last = left.sites.back();
        std::vector<int32_t> shared;
        for (const auto& pair : b.pairs) shared.push_back(left.sites[pair.first]);
        for (const chunk* side : {&left, &right})
            for (int32_t s : side->sites)
                if (s >= first && s <= last &&
                    !std::binary_search(shared.begin(), shared.end(), s) &&
                    join.sources[s].chunk >= 0) {
                    join.sources[s] = source();
                    dropped.push_back(s);
                }
    }
    std::sort(dropped.begin(), dropped.end());
    return dropped;
}

void boundary::pairInOrder(int32_t leftStart, int32_t rows) {
    pairs.resize(rows);
    for (int32_t j = 0; j < rows; j++) pairs[j] = {leftStart + j, j};
}

boundary meet(const chunk& prev, int32_t prevFirst, const chunk& curr, bool bySite,
              bool allowGaps) {
    if (!bySite) return inOrder(prev, prevFirst, curr);
    if (!prev.sites.empty() && !curr.sites.empty())
        refuseWithin(prev.name, prev.sites.back(), curr.name, curr.sites.back());
    return bySites(prev, curr, allowGaps);
}

void refuseWithin(const std::string& prev, int64_t prevLast, const std::string& curr,
                  int64_t currLast) {
    // A chunk that ends where its neighbour ends takes over the end of the
    // neighbour's range as any later chunk would. One that ends before it
    // would split the neighbour's rows in two, with a seam on either side
    // of it and the chunk after it joined to a chunk that does not reach it.
    if (currLast < prevLast)
        fail(
            "chunk [" + curr + "] lies within chunk [" + prev +
            "], which goes on beyond its end: " +
            "it would cut that chunk's records in two; every chunk must reach at least as far as " +
            "the one before it, so leave it out of the join");
}

joinResult joinChunks(std::vector<chunk> chunks, const std::vector<site>& sites,
                      const std::vector<bool>& scaffolded, seamRule rule) {
    const size_t N = scaffolded.size();
    joinResult join;
    join.rule = rule;
    std::cout << "Sorting the " << chunks.size() << " chunks of data" << std::endl;
    // A chunk without rows has no first site; it goes after every other.
    std::vector<size_t> order(chunks.size());
    for (size_t c = 0; c < order.size(); c++) order[c] = c;
    std::sort(order.begin(), order.end(), [&chunks](size_t a, size_t b) {
        if (chunks[a].sites.empty()) return false;
        if (chunks[b].sites.empty()) return true;
        return chunks[a].sites[0] < chunks[b].sites[0];
    });
    for (size_t c : order) join.chunks.push_back(std::move(chunks[c]));

    join.boundaries.resize(join.chunks.size());
    std::vector<std::vector<char>> exchanged(join.chunks.size(), std::vector<char>(N, 0));
    for (size_t c = 1; c < join.chunks.size(); c++) {
        const chunk &prev = join.chunks[c - 1], &curr = join.chunks[c];
        std::cout << "Assembling [" << prev.name << "] with [" << curr.name << "]" << std::endl;
        boundary& b = join.boundaries[c];
        const int32_t prevFirst = c > 1 ? rightBegin(join.boundaries[c - 1]) : 0;
        b = meet(prev, prevFirst, curr, false);
        printInOrder(b, prev, curr);
        countAgreement(prev, curr, b, N);
        exchanged[c] = orientation(b, exchanged[c - 1]);
    }
    finish(join, exchanged, sites, scaffolded, true, false);
    return join;
}

boundary joinPair(const chunk& left, const chunk& right, size_t samples, seamRule rule, bool bySite,
                  bool allowGaps, std::vector<int32_t>& exchangedSeams) {
    std::cout << "Assembling [" << left.name << "] with [" << right.name << "]" << std::endl;
    boundary b = bySite ? bySites(left, right, allowGaps) : meet(left, 0, right, false);
    if (bySite)
        printBySite(b);
    else
        printInOrder(b, left, right);
    exchangedSeams.clear();
    if (b.meeting != boundary::kind::overlap) return b;
    countAgreement(left, right, b, samples);
    if (rule == seamRule::agree) {
        const std::vector<uint64_t> same(right.rows.words(), 0), exchanged(same.size(), ~0ULL);
        b.seams = agreeSeams(left, same, right, same, b, samples);
        exchangedSeams = agreeSeams(left, same, right, exchanged, b, samples);
    }
    return b;
}

std::vector<std::vector<uint64_t>> foldOrientations(const std::vector<boundary>& boundaries,
                                                    const std::vector<bool>& scaffolded,
                                                    bool bySite) {
    std::vector<std::vector<uint64_t>> masks;
    std::vector<char> exchanged(scaffolded.size(), 0);
    for (size_t c = 0; c < boundaries.size(); c++) {
        if (c > 0 && boundaries[c].meeting == boundary::kind::overlap)
            exchanged = orientation(boundaries[c], exchanged);
        else if (c > 0)
            exchanged.assign(scaffolded.size(), 0);
        masks.push_back(exchangeMask(exchanged, scaffolded, !bySite));
    }
    return masks;
}

joinResult joinBySite(std::vector<chunk> chunks, const std::vector<int32_t>& contigs,
                      const std::vector<site>& sites, const std::vector<bool>& scaffolded,
                      seamRule rule, bool allowGaps) {
    const size_t N = scaffolded.size();
    joinResult join;
    join.rule = rule;
    std::cout << "Sorting the " << chunks.size() << " chunks of data" << std::endl;
    join.chunks = std::move(chunks);
    join.boundaries.resize(join.chunks.size());
    std::vector<std::vector<char>> exchanged(join.chunks.size(), std::vector<char>(N, 0));
    for (size_t c = 1; c < join.chunks.size(); c++) {
        boundary& b = join.boundaries[c];
        if (contigs[c] != contigs[c - 1]) {
            b.meeting = boundary::kind::start;
            continue;
        }
        const chunk &prev = join.chunks[c - 1], &curr = join.chunks[c];
        std::cout << "Assembling [" << prev.name << "] with [" << curr.name << "]" << std::endl;
        b = meet(prev, 0, curr, true, allowGaps);
        printBySite(b);
        if (b.meeting != boundary::kind::overlap) continue;
        countAgreement(prev, curr, b, N);
        exchanged[c] = orientation(b, exchanged[c - 1]);
    }
    finish(join, exchanged, sites, scaffolded, false, true);
    return join;
}

seamBlender::seamBlender(const joinResult& join) : join(join), next(join.chunks.size() + 1, 0) {}

bool seamBlender::find(size_t c, int32_t r, blend& out) {
    if (join.rule != seamRule::agree) return false;
    int32_t j = overlapRow(c, r, false);
    if (j >= 0) {
        out.right = c;
        out.leftRow = join.boundaries[c].leftRow(j);
        out.rightRow = r;
    } else if ((j = overlapRow(c + 1, r, true)) >= 0) {
        out.right = c + 1;
        out.leftRow = r;
        out.rightRow = join.boundaries[c + 1].rightRow(j);
    } else {
        return false;
    }
    out.fromRight = &samplesFromRight(out.right, j);
    return true;
}

int32_t seamBlender::overlapRow(size_t b, int32_t r, bool left) {
    if (b == 0 || b >= join.chunks.size()) return -1;
    const boundary& bound = join.boundaries[b];
    if (bound.meeting != boundary::kind::overlap) return -1;
    int32_t& j = next[b];
    auto row = [&](int32_t k) { return left ? bound.leftRow(k) : bound.rightRow(k); };
    while (j < bound.rows() && row(j) < r) j++;
    return j < bound.rows() && row(j) == r ? j : -1;
}

const std::vector<uint64_t>& seamBlender::samplesFromRight(size_t b, int32_t j) {
    const boundary& bound = join.boundaries[b];
    if (b != current) {
        current = b;
        order.clear();
        for (size_t k = 0; k < bound.keep.size(); k++)
            order.emplace_back(bound.seam(k), static_cast<int32_t>(k));
        std::sort(order.begin(), order.end());
        taken = 0;
        fromRight.assign(join.exchange[b].size(), 0);
    }
    for (; taken < order.size() && order[taken].first <= j; taken++)
        fromRight[order[taken].second >> 5] |= pairMask(order[taken].second);
    return fromRight;
}

}  // namespace seamline
