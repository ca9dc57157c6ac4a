#ifndef SEAMLINE_DROPIN_VARIANTS_H
#define SEAMLINE_DROPIN_VARIANTS_H

#include <htslib/vcf.h>

#include <cstdint>
#include <string>
#include <vector>

#include "files.h"
#include "sitemap/chunks.h"
#include "sitemap/sitemap.h"

namespace seamline {

// VCF or BCF chunks read without a site map: the sites are the chunks'
// records, identified by CHROM, POS, REF and ALT, and each chunk is cut into
// one piece per chromosome, which is joined on its own.

// The records of one chromosome in one chunk file: a chunk of the join,
// whose rows hold the orientation evidence of every sample (bits 2k and 2k+1:
// a phased heterozygous diploid genotype with both alleles known, as 0|1 when
// its first allele is the lower, as 1|0 otherwise; any other genotype 0|0).
struct variantPiece {
    size_t file = 0;         // the chunk file, in command-line order
    size_t firstRecord = 0;  // its first record's number in the file, from 0
    int32_t contig = 0;      // in variantSites::contigs
    chunk rows;

    variantPiece(const std::string& name, size_t samples) : rows(name, samples) {}
};

// The sites of every chunk, in output order: chromosome by chromosome in the
// order of the first chunk's header, then of first appearance; by position;
// records at one position in order of first appearance.
struct variantSites {
    std::vector<std::string> samples;  // the first chunk's, in its order
    std::vector<std::string> contigs;
    std::vector<site> sites;           // pos, contig and REF length filled in
    std::vector<variantPiece> pieces;  // by chromosome, then by first site
};

// Reads every chunk file (several at once with threads), printing a line per
// file. Every chunk must hold the first chunk's samples, in any order, and
// list its records in the order of the output's chromosomes and by position.
variantSites readVariantChunks(const std::vector<chunkFile>& files, int threads);

}  // namespace seamline

#endif
