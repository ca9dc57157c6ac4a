#ifndef SEAMLINE_DROPIN_VARIANTS_H
#define SEAMLINE_DROPIN_VARIANTS_H

#include <htslib/vcf.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "chunk.h"
#include "dropin/headers.h"
#include "files.h"
#include "site.h"
#include "vcfread.h"

namespace seamline {

// VCF or BCF chunks read without a site map: the sites are the chunks'
// records, identified by CHROM, POS, REF and ALT, and each chunk is cut into
// one piece per chromosome, which is joined on its own.

// The records of one chromosome in one chunk file: a chunk of the join,
// whose rows hold the orientation evidence of every sample (bits 2k and 2k+1:
// a phased heterozygous diploid genotype with both alleles known, as 0|1 when
// its first allele is the lower, as 1|0 otherwise; any other genotype 0|0).
struct variantPiece {
    size_t file = 0;            // the chunk file, in command-line order
    size_t firstRecord = 0;     // its first record's number in the file, from 0
    variantReader::mark start;  // where its first record stands in the file
    int32_t contig = 0;         // in variantSites::contigs
    chunk rows;
    std::vector<uint32_t> checksums;  // per row: its record's, as first read

    variantPiece(const std::string& name, size_t samples) : rows(name, samples) {}
};

// The sites of every chunk, in output order: chromosome by chromosome in the
// order of the chunks' headers (the first chunk's, then those the others
// add), then of first appearance; by position; records at one position in
// order of first appearance.
struct variantSites {
    std::vector<std::string> samples;  // the first chunk's, in its order
    // Every chunk's header lines, the first chunk's first, with what their
    // records added (contigs and keys that a header lacks).
    headerPtr header;
    std::vector<std::string> contigs;
    std::vector<site> sites;           // pos, contig and REF length filled in
    std::vector<variantPiece> pieces;  // by chromosome, then by first site
    // The keys that records use and their chunk's header does not declare,
    // as FILTER/ID, INFO/ID or FORMAT/ID, each with the chunk's name: the
    // header above has the lines that htslib made up for them.
    struct undeclaredKey {
        std::string key, chunk;
    };
    std::vector<undeclaredKey> undeclared;
};

// Which records of a chunk file to read: those of one chromosome from
// position from on (through the index beside the file, where there is one)
// up to position until; every record when contig is empty. Of those, the
// records from genotypesFrom to genotypesUntil have their genotypes read:
// their evidence taken and, in VCF text, checked as the join in one process
// checks them; the others give their sites alone, their rows no evidence.
struct recordRange {
    std::string contig;
    int64_t from = 1, until = INT64_MAX;
    int64_t genotypesFrom = 1, genotypesUntil = INT64_MAX;

    bool genotypes(int64_t pos) const { return pos >= genotypesFrom && pos <= genotypesUntil; }
};

// Reads every chunk file (several at once with threads), printing a line per
// file. Every chunk must hold the samples (by default the first chunk's), in
// any order, and list each chromosome's records together and by position.
// ranges: per file, the records to read; empty for all of them.
variantSites readVariantChunks(const std::vector<chunkFile>& files, int threads,
                               const std::vector<std::string>& samples = {},
                               const std::vector<recordRange>& ranges = {});

}  // namespace seamline

#endif
