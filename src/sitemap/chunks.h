#ifndef SEAMLINE_SITEMAP_CHUNKS_H
#define SEAMLINE_SITEMAP_CHUNKS_H

#include <cstdint>
#include <string>
#include <vector>

#include "chunk.h"
#include "sitemap/sitemap.h"
#include "spill.h"
#include "vcfread.h"

namespace seamline {

// Reads the chunk files, text or VCF/BCF as their content says, matching
// every row to its site; several at once with threads > 1. The files are
// reported in command-line order, and of several failures the first in that
// order ends the run, as when they are read one after the other. With flip,
// rows whose alleles stand the other way round match too.
std::vector<chunk> readChunks(const std::vector<std::string>& names, const siteMap& sites,
                              bool flip, int threads);

// The phased pairs of the current record of a VCF or BCF chunk, as bits:
// file sample j goes to output sample order[j] (bits 2*order[j] and
// 2*order[j]+1; a set bit is allele 1). bits has room for all output samples
// and is clear on entry. Every genotype must be diploid, phased, of alleles
// 0 and 1; a homozygous genotype may be unphased. Any other fails, naming
// the file, the position and the sample.
void phasedPairs(variantReader& reader, const variantRecord& record,
                 const std::vector<int32_t>& order, uint64_t* bits);

// The rows of a chunk file that a step of a split join needs: none before the
// first row whose site is at least from (VCF.gz and BCF files with an index
// beside them are read from there), and none after the first row whose site
// is at least until. Of a VCF or BCF file, only the rows whose site lies in
// [decodeFrom, decodeUntil) have their genotypes read (and checked); the
// others keep clear bits.
struct rowRange {
    int32_t from = 0, until = INT32_MAX;
    int32_t decodeFrom = 0, decodeUntil = INT32_MAX;
};
chunk readRows(const std::string& name, const siteMap& sites, bool flip, rowRange range);

}  // namespace seamline

#endif
