#include "blocks.h"

#include <algorithm>

namespace seamline {

namespace {

// Whether VCF text holds genotypes alone: colons separate the FORMAT
// subfields of every sample, so text with more than GT has many of them.
bool genotypesAlone(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), ':')) * 64 < text.size();
}

// Genotype text that the project's encoder compresses best; its long matches
// need not be hashed through.
const int recordsInsertLimit = 64;

}  // namespace

void blockBuffers::compress(blockFormat format) {
    compressed.clear();
    if (format == blockFormat::bgzfRecords) {
        encoder.insertLimit = recordsInsertLimit;
        format = genotypesAlone(text) ? blockFormat::bgzf : blockFormat::bgzfGeneral;
    }
    if (format == blockFormat::gzipMember)
        encoder.gzipMember(text.data(), text.size(), compressed);
    else if (format == blockFormat::bgzf)
        encoder.bgzfBlock(text.data(), text.size(), compressed);
    else
        general.bgzfBlock(text.data(), text.size(), compressed);
}

}  // namespace seamline
