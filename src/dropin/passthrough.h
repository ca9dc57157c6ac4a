#ifndef SEAMLINE_DROPIN_PASSTHROUGH_H
#define SEAMLINE_DROPIN_PASSTHROUGH_H

#include <string>
#include <vector>

#include "dropin/variants.h"
#include "join.h"
#include "staging.h"
#include "vcfwrite.h"
#include "writers.h"

namespace seamline {

// Writes the joined VCF or BCF chunks whole: every record, with every field,
// read a second time from its chunk file. A sample's per-haplotype fields
// are exchanged where its pairs are, and with --seam agree a record of an
// overlap takes each sample's fields from the side of its seam. The header
// is the first chunk's, with the lines the other chunks add and the command
// line; the index is staged beside the output, as for the other outputs.
void writeRecords(outputSet& outputs, size_t haplotypes, const std::vector<chunkFile>& files,
                  const variantSites& chunks, const joinResult& join,
                  const haplotypeSettings& settings);

// One piece of the output of a join split into steps: the records of the
// sites that join maps, under header (the whole output's, so that BCF
// records number its keys alike), in complete BGZF blocks or as text, with
// their index entries.
void writeRecordPiece(const std::string& path, const std::string& name, variantFormat format,
                      const bcf_hdr_t* header, const std::vector<chunkFile>& files,
                      const variantSites& chunks, const joinResult& join,
                      std::vector<variantWriter::pieceEntry>& entries, int threads);

// The output header of records joined without a site map: the chunks'
// header lines, a contig line for each of contigs that they lack, then
// "##source=seamline VERSION" and the command line (neither when it is empty).
headerPtr outputHeader(const bcf_hdr_t* chunksHeader, const std::vector<std::string>& contigs,
                       const std::string& commandLine);

// The header as a writer of ready records takes it: VCF text or BCF bytes,
// the contigs, and the reach of its index.
variantWriter::readyHeader readyHeaderOf(const bcf_hdr_t* header, bool binary, int64_t reach,
                                         const std::string& name);

}  // namespace seamline

#endif
