#ifndef SEAMLINE_SPLIT_STEPS_H
#define SEAMLINE_SPLIT_STEPS_H

#include <cstdint>
#include <string>
#include <vector>

#include "join.h"
#include "options.h"
#include "split/stepfiles.h"
#include "split/stretch.h"
#include "staging.h"
#include "vcfwrite.h"
#include "writers.h"

namespace seamline {

// What every step knows of the join: its options, where its files go and
// the identity that ties them together.
struct stepContext {
    const options& opt;
    const haplotypeSettings& settings;
    std::string work;
    std::vector<std::string> inputs;
    uint64_t run = 0;
    seamRule rule = seamRule::middle;

    std::string file(const std::string& kind, size_t part = 0) const {
        return work + "/" + kind + (part ? "." + std::to_string(part) : "");
    }
    std::string haplotypes() const { return opt.single ? opt.single : opt.haplotypes; }
    // Chunks joined by their records, without a site map.
    bool bySite() const { return opt.vcf == nullptr; }
};

// What the plan of either mode holds first: the samples and the chunks in
// their order along the chromosome. Each mode's plan goes on with what its
// own steps need.
struct planSummary {
    std::vector<std::string> samples, chunks;
};
void writeSummary(stepOut& out, const planSummary& p);
planSummary readSummary(stepIn& in, const stepContext& at);

// One boundary as its step found it: the decision's evidence, and with a
// site map the overlap's sites and rows for the stretches on either side.
struct boundaryFile {
    boundary b;
    std::vector<int32_t> exchangedSeams;        // agree seams for a right chunk written exchanged
    std::vector<int32_t> sites;                 // the overlap's sites, in order
    std::vector<uint64_t> leftBits, rightBits;  // agree rule: the overlap rows of each chunk
};
void saveBoundary(const stepContext& at, size_t part, const boundaryFile& f, outputSet& outputs);
boundaryFile readBoundary(const stepContext& at, size_t part, size_t samples);

// The join's decisions: per boundary its evidence and seams, per chunk its
// exchange mask.
struct foldFile {
    std::vector<boundary> boundaries;  // [0] unused
    std::vector<std::vector<uint64_t>> exchange;
};
foldFile readFold(const stepContext& at, size_t chunks, size_t samples);

// The two outputs of a stretch step, staged before it reads anything: the
// stretch's bytes, and its size and index entries for the gather. A part
// that is no chunk number fails first.
struct stretchOutputs {
    size_t bytes, entries;
};
stretchOutputs stageStretch(const stepContext& at, size_t part, size_t chunks, outputSet& outputs);
void saveStretch(const stepContext& at, size_t part, stretchOutputs staged, outputSet& outputs,
                 const std::vector<variantWriter::pieceEntry>& entries);

// A step's --part: a chunk number from first to chunks.
void requirePart(size_t part, size_t first, size_t chunks, const char* step);

std::vector<bool> scaffoldOf(const stepContext& at, const std::vector<std::string>& samples);

// The steps of the join along a site map.
void mapPlan(const stepContext& at, outputSet& outputs);
void mapBoundary(const stepContext& at, size_t part, outputSet& outputs);
void mapStretch(const stepContext& at, size_t part, outputSet& outputs);
void mapGather(const stepContext& at, outputSet& outputs, size_t haplotypes,
               const std::vector<stretchFile>& stretches);

// The steps of the join of VCF/BCF chunks by their records.
void recordPlan(const stepContext& at, outputSet& outputs);
void recordBoundary(const stepContext& at, size_t part, outputSet& outputs);
void recordStretch(const stepContext& at, size_t part, outputSet& outputs);
void recordGather(const stepContext& at, outputSet& outputs, size_t haplotypes,
                  const std::vector<stretchFile>& stretches);

}  // namespace seamline

#endif
