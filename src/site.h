#ifndef SEAMLINE_SITE_H
#define SEAMLINE_SITE_H

#include <cstdint>

namespace seamline {

// One site that the join maps to the chunk row supplying it: a biallelic
// site of the site map, or, without one, a record of the chunks. A
// chromosome may hold millions of sites, so a site is a few numbers; the
// site map keeps its ID, REF and ALT texts one after another in its text.
struct site {
    int64_t pos;     // 1-based; a site map's positions stay below 2^31
    uint64_t text;   // where its ID starts in the site map's text
    int32_t chr;     // CHROM read as a number, 0 when it does not begin with one
    int32_t contig;  // index of its CHROM text in the contigs
    uint32_t idLength, refLength, altLength;
};

}  // namespace seamline

#endif
