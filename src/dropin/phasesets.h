#ifndef SEAMLINE_DROPIN_PHASESETS_H
#define SEAMLINE_DROPIN_PHASESETS_H

#include <htslib/vcf.h>

#include <cstdint>
#include <vector>

#include "join.h"

namespace seamline {

// FORMAT/PS of the joined records (bcftools' -c and -q). A sample's phase
// set runs for as long as the join links its chunks, and a new one starts
// where it could not: at a chromosome's start, across a gap, at a tie, or
// where the evidence's quality (the report's: 99 * (0.7 + f ln f + (1-f)
// ln(1-f)) / 0.7, f the share of the agreeing rows; 99 when every row
// agrees one way, 0 without evidence) is below minQuality. A scaffolded
// sample's set runs over its whole chromosome. A set's value is the POS of
// its first record written.
struct phaseSetRule {
    bool write = false;
    bool compact = false;  // PS only where a set starts, '.' for the samples whose set goes on
    int minQuality = 30;
    std::vector<bool> scaffolded;
};

// Per chunk along the join, both bits of every sample whose phase set goes
// on from the chunk before it.
std::vector<std::vector<uint64_t>> linkedPhaseSets(const joinResult& join,
                                                   const phaseSetRule& rule);

// Declares FORMAT/PS in header, which must not declare it otherwise.
void declarePhaseSet(bcf_hdr_t* header);

// Sets the PS of records written in order, each sample's values from one
// chunk of the join.
class phaseSetWriter {
public:
    phaseSetWriter(const std::vector<std::vector<uint64_t>>& links, size_t samples, bool compact);
    // Record rec (in header's dictionary) whose samples come from chunk, or
    // those set in fromRight (when not null) from chunk + 1.
    void apply(const bcf_hdr_t* header, bcf1_t* rec, size_t chunk,
               const std::vector<uint64_t>* fromRight);

private:
    const std::vector<std::vector<uint64_t>>& links;
    bool compact;
    // Per sample, the last two chunks it was written from and their sets.
    std::vector<int64_t> older, newer;
    std::vector<int32_t> olderSet, newerSet;
    std::vector<int32_t> values;

    bool linked(size_t k, int64_t from, int64_t to) const;
};

}  // namespace seamline

#endif
