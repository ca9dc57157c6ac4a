#ifndef SEAMLINE_DROPIN_BCFCOPY_H
#define SEAMLINE_DROPIN_BCFCOPY_H

#include <htslib/vcf.h>

#include <cstdint>
#include <string>
#include <vector>

namespace seamline {

// Copies a BCF chunk's records into the BCF output from the bytes that
// bcf_read leaves in them, without decoding or encoding them again: the
// record as it stands, with the GT values of exchanged samples changed in
// place. It serves a chunk whose header numbers every key and contig as the
// output's header does and whose samples are the output's, in order; records
// it cannot copy so go the long way, through htslib and the record editor.
class bcfCopier {
public:
    // samplesInOrder: the chunk's samples are the output's, in its order.
    bcfCopier(const bcf_hdr_t* chunk, const bcf_hdr_t* output, bool samplesInOrder);

    // Whether any record of the chunk can be copied.
    bool usable() const { return sameNumbers; }

    // Appends record (as bcf_read gives it, its parts not yet decoded or
    // edited) to out with the haplotypes of the samples whose pair is set in
    // exchange changed places where their GT is a phased diploid a|b, as
    // recordEditor::exchangeHaplotypes does. False, with out as it was, for
    // a record that needs more: per-haplotype fields (AP1, AP2, HDS) of an
    // exchanged sample, a damaged or unusual record.
    bool copy(const bcf1_t* record, const std::vector<uint64_t>& exchange, std::string& out) const;

private:
    bool sameNumbers = false;
    uint32_t samples = 0;
    int gtKey = -1;
    std::vector<int> perHaplotypeKeys;  // AP1, AP2, HDS where the header declares them

    // Exchanges GT in the individual part at indiv (n bytes); false where
    // it cannot be read or a per-haplotype field is there.
    bool exchangeGenotypes(uint8_t* indiv, size_t n, int fields,
                           const std::vector<uint64_t>& exchange) const;
};

}  // namespace seamline

#endif
