#ifndef SEAMLINE_CHUNK_H
#define SEAMLINE_CHUNK_H

#include <cstdint>
#include <string>
#include <vector>

#include "spill.h"

namespace seamline {

// The rows of one chunk, in the order of its sites: the site of every row
// and its haplotypes, 2N bits (bits 2k and 2k+1 are the two haplotypes of sample
// k, a set bit is the site's ALT allele, whichever order the file gave the
// alleles in).
struct chunk {
    std::string name;
    std::vector<int32_t> sites;  // per row: its site, of the site map or of the chunks
    rowStore rows;
    // Rows of sites with more than one ALT allele, read without a site map:
    // per sample its two alleles (the lower times 16 plus the higher) where
    // the row holds evidence, so that only equal pairs are compared.
    byteRows alleles;

    chunk(const std::string& name, size_t samples)
        : name(name), rows(2 * samples), alleles(samples) {}
};

}  // namespace seamline

#endif
