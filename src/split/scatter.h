#ifndef SEAMLINE_SPLIT_SCATTER_H
#define SEAMLINE_SPLIT_SCATTER_H

#include <string>

#include "options.h"
#include "writers.h"

namespace seamline {

// The join split into steps that run as separate jobs, on separate machines
// if need be, passing files on through a work folder:
// - plan, one: reads the site map once and orders the chunks by their first
//   rows;
// - boundary C, for C = 2..K: reads the overlap of the (C-1)-th and C-th
//   chunk along the chromosome (through the index of an indexed VCF.gz or
//   BCF chunk) and counts the evidence of its decisions;
// - fold, one: turns the decisions into each chunk's orientation;
// - stretch C, for C = 1..K: writes the part of the output that chunk C
//   supplies, as complete blocks, with its index entries;
// - gather, one: puts the output together from the stretches, copying their
//   bytes behind the header, with the index, the sample file and the report.
// Every step takes the options of the whole join; a file of another join
// (other inputs or options) is refused. The gathered outputs hold the same
// data as the join run in one process.
void runStep(const options& opt, const haplotypeSettings& settings);

}  // namespace seamline

#endif
