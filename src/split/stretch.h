#ifndef SEAMLINE_SPLIT_STRETCH_H
#define SEAMLINE_SPLIT_STRETCH_H

#include <cstdint>
#include <string>
#include <vector>

#include "join.h"
#include "sitemap/sitemap.h"
#include "staging.h"
#include "vcfwrite.h"
#include "writers.h"

namespace seamline {

// One chunk's stretch of the haplotype output of a join split into jobs,
// written to path (name names it in messages): the rows of the sites that
// join maps, in the format of the output named haplotypes, compressed as
// complete gzip members or BGZF blocks, with no header; for VCF.gz and BCF
// the records' index entries go to entries.
void writeStretch(const std::string& path, const std::string& name, const std::string& haplotypes,
                  const siteMap& sites, const joinResult& join, const haplotypeSettings& settings,
                  std::vector<variantWriter::pieceEntry>& entries);

// A stretch as the gathering of the output finds it.
struct stretchFile {
    std::string path;
    uint64_t size = 0;
    std::vector<variantWriter::pieceEntry> entries;
};

// The haplotype output made of its stretches in order, their bytes copied
// as they stand behind the header (of VCF and BCF outputs), with the index
// built from their entries (CSI when farSites).
void gatherHaplotypes(outputSet& outputs, size_t haplotypes, const variantWriter::header& header,
                      bool farSites, const std::vector<stretchFile>& stretches,
                      const haplotypeSettings& settings);

}  // namespace seamline

#endif
