#ifndef SEAMLINE_DROPIN_GTSCAN_H
#define SEAMLINE_DROPIN_GTSCAN_H

#include <htslib/vcf.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace seamline {

// What the join needs of a VCF text record line, read from the text without
// parsing the line into a record: its site and, for each sample, the
// orientation evidence of its GT as bcf_get_genotypes would give it.
class genotypeScanner {
public:
    // The evidence of a sample: 0 for none; else the pair 16 * low + high of
    // its alleles, with bit 8 set when the first allele is the lower and
    // bit 9 when it is the higher.
    static constexpr uint16_t firstLower = 0x100, firstHigher = 0x200;

    explicit genotypeScanner(const bcf_hdr_t* header);

    // Reads line; false, when the parser must read it instead (an unusual
    // or damaged line, INFO/END, a key the header does not declare).
    bool scan(std::string_view line);

    std::string_view chrom, ref, alt;
    int64_t pos = 0;              // 1-based
    int alleles = 0;              // REF and ALT alleles
    std::vector<uint16_t> found;  // by sample, in the header's order

private:
    const bcf_hdr_t* header;
    std::string knownFormat, knownChrom;
    int gtIndex = -1;  // of GT among the known FORMAT keys; -1 without GT

    bool checkSite(const std::string_view* columns);
    bool checkFormat(std::string_view format);
    bool scanSamples(std::string_view text);
    bool scanGenotype(std::string_view gt, uint16_t& evidence);
    // scanGenotype of the usual form, three characters such as "0|1".
    bool scanUsual(const char* gt, uint16_t& evidence);
};

// The evidence of a diploid genotype (see genotypeScanner::found) of the
// alleles first and second, -1 for a missing one, at a site of `alleles`
// alleles: only a phased heterozygous pair of known alleles gives any, and at
// a site of several ALT alleles only one whose alleles fit a byte.
uint16_t pairEvidence(int first, int second, bool phased, int alleles);

// The same of a genotype as htslib decodes it: bcf_get_genotypes' n values
// of a sample (bcf_int32_vector_end after the last allele); only a diploid
// genotype gives any.
uint16_t decodedEvidence(const int32_t* values, int n, int alleles);

}  // namespace seamline

#endif
