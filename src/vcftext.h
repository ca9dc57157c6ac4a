#ifndef SEAMLINE_VCFTEXT_H
#define SEAMLINE_VCFTEXT_H

#include <htslib/vcf.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace seamline {

// VCF text as every reader of seamline sees it: the site map's reader, the
// chunk reader, the genotype scanner and the line copier of the mode
// without a site map all take their header lines, record columns and
// genotypes from here.

// The header lines:
// - a line that begins "##contig=" is a contig line, kept as it stands;
// - a line that begins "#CHR" holds the column names; its fields, split at
//   runs of tabs (an empty field does not count), from the tenth on are the
//   sample names;
// - any other line that begins "#" is passed over;
// - the first line that does not begin "#" is the first record.
enum class headerLine { contig, columns, other, record };
headerLine headerLineKind(std::string_view line);
std::vector<std::string> headerSamples(std::string_view columns);

// The nine leading columns of a record line (CHROM to FORMAT), then the
// sample columns as one text in columns[9]; false when the line has fewer
// than ten columns.
bool recordColumns(std::string_view line, std::string_view* columns);

// Subfield n (from 0) of a ':'-separated list (FORMAT keys, a sample
// column); false when the list has fewer.
bool subfield(std::string_view list, int n, std::string_view& field);
// The place of key among the ':'-separated keys of a FORMAT column; -1 when
// it is not there. twice: whether it is there more than once.
int keyIndex(std::string_view keys, std::string_view key, bool& twice);

// What one sample's genotype holds, read from its GT text or decoded from
// its BCF values. The same reading serves every mode, so that a genotype is
// taken the same way wherever it is met.
struct genotype {
    // One word for a genotype as the join sees it: a phased diploid pair of
    // known alleles, one with a missing allele ("0|.", ".|."), an unphased
    // one ("0/1"), a haploid call, a missing one ("."), or another (more than
    // two alleles, unreadable text).
    enum class kind { phased, halfMissing, unphased, haploid, missing, other };

    int ploidy = 0;             // alleles written
    int alleles[2] = {-1, -1};  // the first two; -1 for '.'
    int highest = -1;           // the largest allele index
    bool anyMissing = false;    // some allele is '.'
    bool phased = true;         // no separator is '/'
    bool readable = true;       // the text has the form of a genotype
    size_t separator = 0;       // text: where the first separator stands

    kind classify() const;
    // An allele index above 1: a site of several ALT alleles.
    bool multiAllelic() const { return highest > 1; }
};

// The GT text of a sample: alleles of digits or '.', separated by '|' or '/'.
genotype readGenotype(std::string_view text);
// A sample's GT as bcf_get_genotypes gives its values (n per sample,
// bcf_int32_vector_end after the last allele).
genotype decodeGenotype(const int32_t* values, int n);

// Whether a FORMAT field of a BCF record holds integers (GT always does).
inline bool integers(const bcf_fmt_t& f) {
    return f.type == BCF_BT_INT8 || f.type == BCF_BT_INT16 || f.type == BCF_BT_INT32;
}
// A BCF integer of a type (BCF_BT_INT8, INT16 or INT32) at p, widened to 32
// bits with htslib's 32-bit marks of a missing value and of the end of the
// values. BCF values are little-endian and need not be aligned.
int32_t typedInteger(const uint8_t* p, int type);
// Value i of a sample's integers in a FORMAT field, widened the same way.
inline int32_t fieldInteger(const bcf_fmt_t& f, size_t sample, int i) {
    const int width = f.type == BCF_BT_INT8 ? 1 : f.type == BCF_BT_INT16 ? 2 : 4;
    return typedInteger(f.p + sample * f.size + width * i, f.type);
}
// Whether the first three of a sample's GT values (as fieldInteger gives
// them, bcf_int32_vector_end where there are fewer) are a phased diploid
// genotype whose two alleles, known or '.', can change places.
bool exchangeable(const int32_t* values);

// The GT values of a phased pair a|b exchanged into b|a: the alleles change
// places, the phase bits stay where they are.
inline std::pair<int32_t, int32_t> exchangedPair(int32_t a, int32_t b) {
    return {(b & ~1) | (a & 1), (a & ~1) | (b & 1)};
}

// The GT text of a sample's values, as bcf_get_genotypes gives them, for messages.
std::string genotypeText(const int32_t* values, int n);

// Whether the three characters at p are the usual diploid genotype: two
// one-digit alleles, phased or not ("0|1", "1/0").
inline bool usualGenotype(const char* p) {
    return p[0] >= '0' && p[0] <= '9' && (p[1] == '|' || p[1] == '/') && p[2] >= '0' && p[2] <= '9';
}

// Exchanges the alleles of a phased diploid GT text in place ("a|b" becomes
// "b|a", missing alleles included) and returns true; leaves a haploid, a
// missing and an unphased genotype as they stand and returns true; returns
// false for any other text.
bool exchangeGenotypeText(char* text, size_t size);

}  // namespace seamline

#endif
