#ifndef SEAMLINE_SITEMAP_HAPLOTYPES_H
#define SEAMLINE_SITEMAP_HAPLOTYPES_H

#include <memory>
#include <string>

#include "join.h"
#include "sitemap/sitemap.h"
#include "staging.h"
#include "vcfwrite.h"
#include "writers.h"

namespace seamline {

// The haplotypes of a join along the site map: one line or record per site
// that a chunk supplies, in site-map order, every sample's pair as written.

// The whole output: text rows, or VCF or BCF as the name says, with its index
// staged beside it.
void writeHaplotypes(outputSet& outputs, size_t haplotypes, const siteMap& sites,
                     const joinResult& join, const haplotypeSettings& settings);

// The text rows, to a file of the caller's, which is finished.
void writeHaplotypeText(outputFile& file, const siteMap& sites, const joinResult& join);
// The records, to a writer of the caller's, which is closed.
void writeHaplotypeRecords(variantWriter& writer, const siteMap& sites, const joinResult& join);
// The header of the VCF or BCF records; commandLine: what it records.
variantWriter::header haplotypeHeader(const siteMap& sites, const std::string& commandLine);
// The writer of a whole VCF or BCF output, its index staged beside it (CSI
// when farSites: some site lies beyond what TBI holds).
std::unique_ptr<variantWriter> haplotypeWriter(outputSet& outputs, size_t haplotypes,
                                               const variantWriter::header& header, bool farSites,
                                               const haplotypeSettings& settings);

}  // namespace seamline

#endif
