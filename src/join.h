#ifndef SEAMLINE_JOIN_H
#define SEAMLINE_JOIN_H

#include <cstdint>
#include <string>
#include <vector>

#include "chunk.h"
#include "site.h"

namespace seamline {

// Where each sample of a chunk switches over from the chunk before it: the
// middle of the overlap, or the place nearest it where both chunks agree.
enum class seamRule { middle, agree };

// Where a chunk meets the chunk before it along the chromosome: the one form
// of an overlap, in both modes and in the join split into steps.
struct boundary {
    // How the two chunks meet: over rows they share; across a gap or at the
    // start of a chromosome, where the orientation starts afresh.
    enum class kind { overlap, gap, start };
    kind meeting = kind::overlap;
    // The overlap rows: the pairs of the left and the right chunk's rows
    // that hold the same site, in order.
    std::vector<std::pair<int32_t, int32_t>> pairs;
    // Per sample: overlap rows where the sample is heterozygous in both
    // chunks and the stored pairs agree as they stand (keep) or only once
    // one of them is exchanged (swap).
    std::vector<int32_t> keep, swap;
    // Per sample: the overlap row from which the right chunk is written;
    // empty when every sample switches over at the middle.
    std::vector<int32_t> seams;

    int32_t rows() const { return static_cast<int32_t>(pairs.size()); }
    // The left and the right chunk's rows of overlap row j.
    int32_t leftRow(int32_t j) const { return pairs[j].first; }
    int32_t rightRow(int32_t j) const { return pairs[j].second; }
    // Overlap rows that pair the left chunk's rows from leftStart on with the
    // right chunk's first rows, in order.
    void pairInOrder(int32_t leftStart, int32_t rows);
    // The first overlap row that the right chunk supplies.
    int32_t middle() const { return (rows() + 1) / 2; }
    int32_t seam(size_t k) const { return seams.empty() ? middle() : seams[k]; }
    // The orientation decision: the right chunk's pair is taken as exchanged
    // relative to the left one's. A tie restarts the orientation instead.
    bool swapped(size_t k) const { return swap[k] > keep[k]; }
    bool tied(size_t k) const { return swap[k] == keep[k]; }
};

// The chunk row that supplies a site, or -1 and -1.
struct source {
    int32_t chunk = -1, row = -1;
};

// Everything the join decided, worked out once; the report and the writers
// read it and never work any part of it out again.
struct joinResult {
    std::vector<chunk> chunks;         // along the chromosome
    std::vector<boundary> boundaries;  // boundaries[c]: chunks[c - 1] and chunks[c]; [0] unused
    // Per chunk: both bits of every sample whose pair is written exchanged.
    std::vector<std::vector<uint64_t>> exchange;
    std::vector<source> sources;  // per site of the site map
    seamRule rule = seamRule::middle;
};

// Orders the chunks along the chromosome, joins every neighbouring pair over
// its overlap and maps every site to the chunk row that supplies it, printing
// each step. scaffolded: per sample, whether its pairs are written as stored.
// Chunks that do not overlap usably end the run.
joinResult joinChunks(std::vector<chunk> chunks, const std::vector<site>& sites,
                      const std::vector<bool>& scaffolded, seamRule rule);

// The join of VCF or BCF chunks without a site map: chunks are the pieces of
// the files, one chromosome each, ordered by chromosome and first site
// (contigs: each piece's chromosome). Neighbours on one chromosome are paired
// by the sites both list; neighbours that share none fail the run, or with
// allowGaps start the orientation afresh. Along each chromosome the first
// chunk's pairs are written as stored and the later chunks follow it. A site
// that one chunk alone lists comes from that chunk.
joinResult joinBySite(std::vector<chunk> chunks, const std::vector<int32_t>& contigs,
                      const std::vector<site>& sites, const std::vector<bool>& scaffolded,
                      seamRule rule, bool allowGaps);

// Unmaps the sites of every overlap that only one of its two chunks lists
// (bcftools' --ligate-warn), the overlap running from the right chunk's
// first site to the left one's last; returns them, in order.
std::vector<int32_t> dropLoneOverlapSites(joinResult& join);

// The one rule of a usable overlap: where chunk curr meets chunk prev, whose
// rows before prevFirst the chunk before prev supplies. With a site map
// (bySite false) the overlap runs from curr's first site, found among prev's
// rows from prevFirst on, to prev's last site, found among curr's rows, and
// both chunks list the same sites there. Without one, the overlap is every
// site both list; with allowGaps, neighbours that share none meet across a
// gap. Neighbours that do not overlap usably fail with the console lines
// that users' scripts know ("Chunk [..] does not overlap chunk [..]").
boundary meet(const chunk& prev, int32_t prevFirst, const chunk& curr, bool bySite,
              bool allowGaps = false);

// Neighbours joined by site as meet joins them, the pairs of rows of the
// sites both list, or with allowGaps a gap where they list none, without the
// rule that curr must reach beyond prev: for rows around an overlap only.
boundary bySites(const chunk& prev, const chunk& curr, bool allowGaps);

// The rule of meet that a chunk must reach at least as far as the one before
// it, on the last sites (or positions) of the two chunks.
void refuseWithin(const std::string& prev, int64_t prevLast, const std::string& curr,
                  int64_t currLast);

// One boundary of a join split into jobs: left holds the left chunk's rows
// from the right chunk's first site on, right at least the right chunk's rows
// up to the left one's last site. Finds the overlap (bySite and allowGaps as
// for meet; whether one chunk lies within the other is for the caller to
// tell, as these rows cannot) and counts the evidence, printing each step, as
// the join in one process does. With the agree rule, seams holds
// the seams for a right chunk written as the left one, and exchangedSeams
// those for a right chunk written exchanged relative to it.
boundary joinPair(const chunk& left, const chunk& right, size_t samples, seamRule rule, bool bySite,
                  bool allowGaps, std::vector<int32_t>& exchangedSeams);

// The exchange masks of the chunks along the chromosome (see
// joinResult::exchange) from the decisions at their boundaries, printing the
// count of each boundary as the join in one process does; the orientation
// starts afresh at a gap or a chromosome's start. bySite: chunks joined
// without a site map, whose first chunk is written as it stands.
std::vector<std::vector<uint64_t>> foldOrientations(const std::vector<boundary>& boundaries,
                                                    const std::vector<bool>& scaffolded,
                                                    bool bySite);

// The chunk row that supplies each of the nsites sites: every chunk its rows
// from the middle of the overlap with the chunk before it up to the middle of
// the overlap with the chunk after it; bySite, a site that one chunk alone
// lists comes from the first chunk that lists it.
std::vector<source> mapSites(const joinResult& join, size_t nsites, bool bySite);

// The one seam blender of the writers. With the agree rule, every sample of
// an overlap is written from the left chunk before its seam and from the
// right chunk from its seam on; this walks the rows the output is written
// from, in site order, and tells for each which overlap row it is, if any,
// and which samples the right chunk supplies there.
class seamBlender {
public:
    explicit seamBlender(const joinResult& join);

    // An overlap row as written: the chunks' rows, and both bits of every
    // sample that the right chunk supplies.
    struct blend {
        size_t right = 0;  // the right chunk; the left one is right - 1
        int32_t leftRow = 0, rightRow = 0;
        const std::vector<uint64_t>* fromRight = nullptr;
    };

    // Whether row r of chunk c, which supplies the next site written, is an
    // overlap row whose samples come from both chunks. Rows must be asked
    // for in the order they are written.
    bool find(size_t c, int32_t r, blend& out);

private:
    const joinResult& join;
    std::vector<int32_t> next;  // per boundary: the next overlap row to look at
    // The overlap being blended: its samples in order of their seams, how
    // many of them have passed their seam, and their bits.
    size_t current = 0;
    std::vector<std::pair<int32_t, int32_t>> order;
    size_t taken = 0;
    std::vector<uint64_t> fromRight;

    // The overlap row of boundary b whose left (or right) row is r, or -1.
    int32_t overlapRow(size_t b, int32_t r, bool left);
    const std::vector<uint64_t>& samplesFromRight(size_t b, int32_t j);
};

}  // namespace seamline

#endif
