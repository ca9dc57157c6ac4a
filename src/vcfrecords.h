#ifndef SEAMLINE_VCFRECORDS_H
#define SEAMLINE_VCFRECORDS_H

#include <htslib/vcf.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The bytes of VCF and BCF records as the files store them: records of
// phased genotypes made from bit rows, and BCF records framed from their
// parts or from htslib's records.

namespace seamline {

// A VCF text line of phased genotypes: CHROM, POS, ID, REF, ALT; QUAL, FILTER
// and INFO '.'; FORMAT GT, sample k "a|b" with a = bit 2k, b = bit 2k+1.
void appendTextRecord(std::string& out, std::string_view chrom, int32_t pos, std::string_view id,
                      std::string_view ref, std::string_view alt, const uint64_t* bits,
                      size_t nsamples);
// The same record in BCF: contigKey and gtKey are dictionary indexes; shared
// and indiv are scratch strings for its two parts.
void appendGenotypeRecord(std::string& out, int32_t contigKey, int32_t pos, std::string_view id,
                          std::string_view ref, std::string_view alt, const uint64_t* bits,
                          size_t nsamples, int32_t gtKey, std::string& shared, std::string& indiv);

// The fixed fields of a BCF record, as the file stores them before its
// shared part (ID, alleles, FILTER, INFO) and its individual part (FORMAT).
struct bcfFixed {
    int32_t rid;
    int64_t pos;  // 0-based
    int64_t rlen;
    uint32_t qual;  // the bits of the float
    uint32_t alleles, info, formats, samples;
};

// The one writer of BCF records: appends a record as the file stores it, from
// its fixed fields and its two parts. False, with nothing appended, when its
// position or length does not fit BCF's 32 bits.
bool appendBcfRecord(std::string& out, const bcfFixed& fixed, std::string_view shared,
                     std::string_view indiv);
// The same of an htslib record, its two parts as they stand (as bcf_read
// leaves them). False also for a record that htslib marked as in error.
bool appendBcfRecord(std::string& out, const bcf1_t* record);
// The same, the parts first brought up to date with any edit of the record's
// decoded fields, through scratch, a record of the caller's.
bool appendBcfRecord(std::string& out, bcf1_t* record, bcf1_t* scratch);

// The start of a BCF file before its records: magic, length and header text
// with its closing NUL. name names the output in messages.
std::string bcfHeaderBytes(const bcf_hdr_t* header, const std::string& name);

}  // namespace seamline

#endif
