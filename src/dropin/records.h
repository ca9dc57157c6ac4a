#ifndef SEAMLINE_DROPIN_RECORDS_H
#define SEAMLINE_DROPIN_RECORDS_H

#include <htslib/vcf.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace seamline {

// Edits whole VCF/BCF records (htslib's bcf1_t, as bcf_read gives them) for
// the output that keeps every field of the chunks: exchanges a sample's
// haplotypes together with its per-haplotype fields, and puts one record of a
// site together from two.
//
// Samples are those of the record, in header order; masks are rows of packed
// pairs as in bits.h: sample k is bits 2k and 2k+1, set together. A record
// whose samples do not match its header, whose FORMAT data cannot be decoded
// or whose fields are not stored as the header declares throws a
// seamline::failure naming the site.
//
// An editor keeps its scratch buffers from call to call, so that records of
// thousands of samples cost no allocation each; one editor per thread.
class recordEditor {
public:
    recordEditor() = default;
    ~recordEditor();
    recordEditor(const recordEditor&) = delete;
    recordEditor& operator=(const recordEditor&) = delete;

    // Exchanges, in place, the haplotypes of every sample whose pair is set
    // in mask ((2n+63)/64 words or more for n samples), where the sample's
    // GT is diploid: the sample's values of AP1 and AP2 (per-haplotype ALT
    // probabilities) change places, and the two values of HDS (haploid
    // dosages) change places, an HDS of more values throwing; a phased GT
    // a|b (alleles missing or not) becomes b|a, an unphased one stays as it
    // stands. Any other GT (haploid, '.', another ploidy) and a record
    // without GT leave the sample exactly as it stands; so do fields that do
    // not depend on the order (DS, GP and all others). AP1 without AP2, or
    // the reverse, is left as it stands.
    void exchangeHaplotypes(const bcf_hdr_t* header, bcf1_t* record,
                            const std::vector<uint64_t>& mask);

    // Makes out (a record other than both) the record of a site from two
    // chunks' records of it, both in header's dictionary (bcf_translate) with
    // header's samples, of the same site and alleles (otherwise this throws):
    // CHROM, POS, ID, REF, ALT, QUAL, FILTER and INFO from right when
    // siteFromRight, from left otherwise; every FORMAT field of sample k from
    // right where fromRight has the sample's pair set, from left otherwise.
    // The FORMAT keys are those of the records that give samples: left's, in
    // its order, then those that only right has (GT first); a key that only
    // one of them has gives missing values to the samples taken from the
    // other ('.' for GT).
    void blendSamples(const bcf_hdr_t* header, bcf1_t* left, bcf1_t* right,
                      const std::vector<uint64_t>& fromRight, bool siteFromRight, bcf1_t* out);

private:
    // A malloc'd buffer, as htslib's getters grow it with realloc.
    struct buffer {
        void* data = nullptr;
        size_t bytes = 0;
    };
    struct valueKind;

    buffer first, second, blended;
    std::vector<int32_t> exchanged;  // samples whose haplotypes change places
    std::vector<uint64_t> chosen;    // exchanged, as a mask

    void exchangeGenotypes(const bcf_hdr_t* header, bcf1_t* record,
                           const std::vector<uint64_t>& mask);
    void exchangeBetween(const bcf_hdr_t* header, bcf1_t* record, int key1, int key2);
    void exchangeWithin(const bcf_hdr_t* header, bcf1_t* record, int key);
    // The values of FORMAT key of record into b, widened to 32 bits (strings
    // as they are); returns the values per sample, 0 when the record lacks it.
    int fetch(const bcf_hdr_t* header, bcf1_t* record, int key, const valueKind& kind, buffer& b);
    // Into blended, per sample k: right's values where fromRight has k's pair
    // set, left's otherwise; returns the values per sample.
    int compose(const valueKind& kind, size_t samples, const buffer& left, int leftValues,
                const buffer& right, int rightValues, const uint64_t* fromRight);
    // Writes blended, values per sample, as FORMAT key of record.
    void store(const bcf_hdr_t* header, bcf1_t* record, int key, const valueKind& kind, int values);
    void blendField(const bcf_hdr_t* header, bcf1_t* left, bcf1_t* right, int key,
                    const uint64_t* fromRight, bcf1_t* out);
    static valueKind kindOf(const bcf_hdr_t* header, int key);
};

// One-off forms of recordEditor's functions, with an editor of their own.
void exchangeHaplotypes(const bcf_hdr_t* header, bcf1_t* record, const std::vector<uint64_t>& mask);
void blendSamples(const bcf_hdr_t* header, bcf1_t* left, bcf1_t* right,
                  const std::vector<uint64_t>& fromRight, bool siteFromRight, bcf1_t* out);

}  // namespace seamline

#endif
