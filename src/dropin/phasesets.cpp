#include "dropin/phasesets.h"

#include <climits>
#include <string>

#include "bits.h"
#include "failure.h"
#include "writers.h"

namespace seamline {

std::vector<std::vector<uint64_t>> linkedPhaseSets(const joinResult& join,
                                                   const phaseSetRule& rule) {
    const size_t samples = rule.scaffolded.size();
    std::vector<std::vector<uint64_t>> links(join.chunks.size(),
                                             std::vector<uint64_t>((2 * samples + 63) / 64, 0));
    for (size_t c = 1; c < join.chunks.size(); c++) {
        const boundary& b = join.boundaries[c];
        if (b.meeting == boundary::kind::start) continue;
        for (size_t k = 0; k < samples; k++) {
            const bool goesOn =
                rule.scaffolded[k] || (b.meeting == boundary::kind::overlap && !b.tied(k) &&
                                       reportQuality(b.keep[k], b.swap[k]) >= rule.minQuality);
            if (goesOn) links[c][k >> 5] |= pairMask(k);
        }
    }
    return links;
}

void declarePhaseSet(bcf_hdr_t* header) {
    const int id = bcf_hdr_id2int(header, BCF_DT_ID, "PS");
    if (id >= 0 && bcf_hdr_idinfo_exists(header, BCF_HL_FMT, id)) {
        if (bcf_hdr_id2type(header, BCF_HL_FMT, id) != BCF_HT_INT ||
            bcf_hdr_id2number(header, BCF_HL_FMT, id) != 1)
            fail(
                "FORMAT/PS is declared in the chunks otherwise than Number=1,Type=Integer, "
                "which phase sets (-c, -q) are written as");
        return;
    }
    if (bcf_hdr_append(header, "##FORMAT=<ID=PS,Number=1,Type=Integer,Description=\"Phase set\">") <
            0 ||
        bcf_hdr_sync(header) < 0)
        fail("cannot declare FORMAT/PS in the output header");
}

phaseSetWriter::phaseSetWriter(const std::vector<std::vector<uint64_t>>& links, size_t samples,
                               bool compact)
    : links(links),
      compact(compact),
      older(samples, -1),
      newer(samples, -1),
      olderSet(samples, 0),
      newerSet(samples, 0),
      values(samples, 0) {}

bool phaseSetWriter::linked(size_t k, int64_t from, int64_t to) const {
    for (int64_t c = from + 1; c <= to; c++)
        if (!(links[c][k >> 5] & pairMask(k))) return false;
    return true;
}

void phaseSetWriter::apply(const bcf_hdr_t* header, bcf1_t* rec, size_t chunk,
                           const std::vector<uint64_t>* fromRight) {
    bool started = false;
    for (size_t k = 0; k < values.size(); k++) {
        const int64_t c = chunk + (fromRight && ((*fromRight)[k >> 5] & pairMask(k)) ? 1 : 0);
        int32_t set;
        bool starts = false;
        if (c == newer[k]) {
            set = newerSet[k];
        } else if (c == older[k]) {
            set = olderSet[k];
        } else {
            const bool goesOn =
                newer[k] >= 0 && linked(k, std::min(c, newer[k]), std::max(c, newer[k]));
            if (!goesOn && rec->pos + 1 > INT32_MAX)
                fail("a phase set starts at " + std::string(bcf_seqname(header, rec)) + ":" +
                     std::to_string(rec->pos + 1) +
                     ", beyond the positions PS (Type=Integer) holds");
            set = goesOn ? newerSet[k] : static_cast<int32_t>(rec->pos + 1);
            starts = !goesOn;
            older[k] = newer[k];
            olderSet[k] = newerSet[k];
            newer[k] = c;
            newerSet[k] = set;
        }
        values[k] = compact && !starts ? bcf_int32_missing : set;
        started |= starts;
    }
    const int stored = !compact || started
                           ? bcf_update_format_int32(header, rec, "PS", values.data(),
                                                     static_cast<int>(values.size()))
                           : bcf_update_format_int32(header, rec, "PS", nullptr, 0);
    if (stored < 0)
        fail("cannot set FORMAT/PS at " + std::string(bcf_seqname(header, rec)) + ":" +
             std::to_string(rec->pos + 1));
}

}  // namespace seamline
