#include "blocks.h"

#include <algorithm>
#include <cstdint>

namespace seamline {

namespace {

// Whether VCF text holds genotypes alone: colons separate the FORMAT
// subfields of every sample, so text with more than GT has many of them.
bool genotypesAlone(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), ':')) * 64 < text.size();
}

// Whether BCF records hold genotypes alone: their typed values are then
// nearly all small codes (2 to 5 for phased and unphased alleles 0 and 1),
// where dosages and probabilities, as floats, spread over every byte value.
bool binaryGenotypesAlone(const std::string& records) {
    const size_t small = static_cast<size_t>(std::count_if(
        records.begin(), records.end(), [](char c) { return static_cast<uint8_t>(c) < 16; }));
    return 10 * small >= 9 * records.size();
}

// Genotypes that the project's encoder compresses best; its long matches
// need not be hashed through.
const int recordsInsertLimit = 64;

}  // namespace

void blockBuffers::compress(blockFormat format) {
    compressed.clear();
    if (format == blockFormat::bgzfVcfRecords || format == blockFormat::bgzfBcfRecords) {
        encoder.insertLimit = recordsInsertLimit;
        const bool alone = format == blockFormat::bgzfVcfRecords ? genotypesAlone(text)
                                                                 : binaryGenotypesAlone(text);
        format = alone ? blockFormat::bgzf : blockFormat::bgzfGeneral;
    }
    if (format == blockFormat::gzipMember)
        encoder.gzipMember(text.data(), text.size(), compressed);
    else if (format == blockFormat::bgzf)
        encoder.bgzfBlock(text.data(), text.size(), compressed);
    else
        general.bgzfBlock(text.data(), text.size(), compressed);
}

}  // namespace seamline
