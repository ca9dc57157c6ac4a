#ifndef SEAMLINE_DROPIN_PASSTHROUGH_H
#define SEAMLINE_DROPIN_PASSTHROUGH_H

#include <string>
#include <vector>

#include "dropin/variants.h"
#include "join.h"
#include "staging.h"
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

}  // namespace seamline

#endif
