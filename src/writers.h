#ifndef SEAMLINE_WRITERS_H
#define SEAMLINE_WRITERS_H

#include <cstdint>
#include <string>
#include <vector>

#include "join.h"
#include "sitemap.h"
#include "staging.h"
#include "vcfwrite.h"

namespace seamline {

// The sample file: a two-line header, then one line per sample.
void writeSamples(const output& out, const std::vector<std::string>& samples);

// The decision report: one row per boundary and sample with the evidence of
// the orientation decision, and with seamColumn each sample's seam.
void writeReport(const output& out, const joinResult& join, const std::vector<std::string>& samples,
                 const std::vector<bool>& scaffolded, bool seamColumn);

// What a haplotype output needs besides the join.
struct haplotypeSettings {
    std::string commandLine;  // recorded in VCF and BCF headers
    int threads = 1;
    bool single = false;  // the one output of -o, where "-" means VCF on standard output
};

// The format of a haplotype output: by its name, and VCF for "-" given to -o.
variantFormat haplotypeFormat(const std::string& name, bool single);

// One line per site that a chunk supplies, in site-map order: text rows, or
// VCF or BCF as the name says, with its index staged beside it.
void writeHaplotypes(outputSet& outputs, size_t haplotypes, const siteMap& sites,
                     const joinResult& join, const haplotypeSettings& settings);

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
// as they stand behind the header, with the index built from their entries.
void gatherHaplotypes(outputSet& outputs, size_t haplotypes, const siteMap& sites,
                      const std::vector<stretchFile>& stretches, const haplotypeSettings& settings);

// Reserves every name that the index beside the haplotype output may take
// (TBI or CSI for VCF.gz, CSI for BCF), so that it is checked before anything
// is read; writeHaplotypes stages the one it chooses.
void reserveIndex(outputSet& outputs, size_t haplotypes);

// Stages the index beside a haplotype output that is put in place: TBI, or
// CSI when csi says so. Returns where to write it; empty when there is none.
std::string stageIndex(outputSet& outputs, size_t haplotypes, bool csi);

// Whether a site begins or ends beyond what a TBI index holds.
bool beyondTbi(const std::vector<site>& sites);

// Confidence, 0 to 99, in an orientation decision taken on keep and swap rows.
int reportQuality(int32_t keep, int32_t swap);

}  // namespace seamline

#endif
