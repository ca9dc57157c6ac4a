#include "blocks.h"

#include <algorithm>
#include <cstdint>

namespace seamline {

namespace {

// How many bytes of text pass the test, counted in runs short enough for
// byte-wide counters, which the compiler turns into wide vector compares.
template <typename Test>
size_t countBytes(const std::string& text, Test test) {
    size_t count = 0;
    for (size_t at = 0; at < text.size(); at += 255) {
        const size_t end = std::min(text.size(), at + 255);
        uint8_t run = 0;
        for (size_t i = at; i < end; i++) run += test(static_cast<uint8_t>(text[i]));
        count += run;
    }
    return count;
}

// Whether VCF text holds genotypes alone: colons separate the FORMAT
// subfields of every sample, so text with more than GT has many of them.
bool genotypesAlone(const std::string& text) {
    return countBytes(text, [](uint8_t c) { return c == ':'; }) * 64 < text.size();
}

// Whether BCF records hold genotypes alone: their typed values are then
// nearly all small codes (2 to 5 for phased and unphased alleles 0 and 1),
// where dosages and probabilities, as floats, spread over every byte value.
bool binaryGenotypesAlone(const std::string& records) {
    return 10 * countBytes(records, [](uint8_t c) { return c < 16; }) >= 9 * records.size();
}

// Genotypes that the project's encoder compresses best; its long matches
// need not be hashed through.
const int recordsInsertLimit = 64;

int runLevel = defaultLevel;

// libdeflate's level for each compression level, per kind of block, or
// ownEncoder: points on each kind's frontier of size against speed,
// measured on imputed chunks of 2,000 samples. Genotypes alone: the
// project's encoder is smaller than libdeflate's levels of its speed and
// faster than those of its size, up to the default; above it, a block is
// compressed both ways and the smaller kept, as libdeflate's slow levels
// find the long matches of some genotype text and miss those of other.
// Text of other fields: libdeflate's own levels. BCF of other fields
// shrinks little beyond libdeflate's third level, at half the speed or less.
const int ownEncoder = -1;
const int genotypeLevels[10] = {0,          1,          ownEncoder, ownEncoder, ownEncoder,
                                ownEncoder, ownEncoder, 7,          8,          9};
const int textLevels[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
const int binaryLevels[10] = {0, 1, 1, 2, 2, 3, 3, 6, 8, 9};

}  // namespace

void setCompressionLevel(int level) { runLevel = level; }

int compressionLevel() { return runLevel; }

void blockBuffers::compress(blockFormat format, int level) {
    const int* levels = genotypeLevels;
    if (format == blockFormat::bgzfVcfRecords || format == blockFormat::bgzfBcfRecords) {
        encoder.insertLimit = recordsInsertLimit;
        if (format == blockFormat::bgzfVcfRecords && !genotypesAlone(text)) levels = textLevels;
        if (format == blockFormat::bgzfBcfRecords && !binaryGenotypesAlone(text))
            levels = binaryLevels;
    }
    level = std::min(std::max(level, storedLevel), smallestLevel);
    const bool member = format == blockFormat::gzipMember;
    compressWith(levels[level], member, compressed);
    if (levels == genotypeLevels && level > defaultLevel) {
        compressWith(ownEncoder, member, alternative);
        if (alternative.size() < compressed.size()) compressed.swap(alternative);
    }
}

void blockBuffers::compressWith(int libraryLevel, bool member, std::string& out) {
    out.clear();
    if (libraryLevel == ownEncoder && member)
        encoder.gzipMember(text.data(), text.size(), out);
    else if (libraryLevel == ownEncoder)
        encoder.bgzfBlock(text.data(), text.size(), out);
    else if (member)
        library.gzipMember(libraryLevel, text.data(), text.size(), out);
    else
        library.bgzfBlock(libraryLevel, text.data(), text.size(), out);
}

}  // namespace seamline
