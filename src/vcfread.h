#ifndef SEAMLINE_VCFREAD_H
#define SEAMLINE_VCFREAD_H

#include <htslib/hfile.h>
#include <htslib/hts.h>
#include <htslib/kstring.h>
#include <htslib/vcf.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace seamline {

// Turns htslib's own messages off: the readers and writers report every
// failure themselves, and htslib's lines would only repeat them. Called once,
// before any thread uses htslib.
void quietHtslib();

// The header lines of VCF text as seamline reads them, in site maps and in
// VCF chunks alike:
// - a line that begins "##contig=" is a contig line, kept as it stands;
// - a line that begins "#CHR" holds the column names; its fields, split at
//   runs of tabs (an empty field does not count), from the tenth on are the
//   sample names;
// - any other line that begins "#" is passed over;
// - the first line that does not begin "#" is the first record.
enum class headerLine { contig, columns, other, record };
headerLine headerLineKind(std::string_view line);
std::vector<std::string> headerSamples(std::string_view columns);

// The leading columns of a VCF or BCF record.
struct variantRecord {
    std::string_view chrom, id, ref, alt;  // alt: the whole ALT column ("T", "T,G" or ".")
    int64_t pos = 0;                       // 1-based, as in the file
};

// Reads a VCF (plain, gzip or BGZF) or BCF file record by record: the leading
// columns of every record, and on request its phased genotypes as bit rows.
// VCF text is split in place; BCF goes through htslib. Every failure throws a
// seamline::failure "cannot read [name]: reason"; after one the reader is
// done.
class variantReader {
public:
    // Takes over fp (also on failure) and reads the header.
    variantReader(hFILE* fp, const std::string& name);
    ~variantReader();
    variantReader(const variantReader&) = delete;
    variantReader& operator=(const variantReader&) = delete;

    // Header sample names, in file order.
    const std::vector<std::string>& samples() const { return sampleNames; }
    // The "##contig=<...>" header lines, in order.
    const std::vector<std::string>& contigLines() const { return contigHeaderLines; }

    // Moves to the first block that may hold records at or after position
    // pos (1-based) of chrom, through the index beside the file (.tbi or
    // .csi): records before it are not read. False, without moving, when the
    // file has no index or its index does not know chrom. Called before the
    // first record is read.
    bool skipTo(const std::string& chrom, int64_t pos);

    // The next record; false at the end of the data. Damaged or cut-short
    // input and a bad record throw. The views stay valid until the next call.
    bool next(variantRecord& record);
    // Decodes the current record's GT into packed bits: file sample j goes to
    // output sample order[j] (bits 2*order[j] and 2*order[j]+1; a set bit is
    // allele 1). bits has room for all output samples and is clear on entry.
    // Every genotype must be diploid, phased, of alleles 0 and 1; a
    // homozygous genotype may be unphased.
    void genotypes(const std::vector<int32_t>& order, uint64_t* bits);

private:
    std::string name;  // for messages
    std::vector<std::string> sampleNames;
    std::vector<std::string> contigHeaderLines;
    variantRecord current;

    htsFile* file = nullptr;
    bool binary = false;               // BCF
    bcf_hdr_t* header = nullptr;       // BCF only
    bcf1_t* record = nullptr;          // BCF only
    int gtKey = -1;                    // BCF: dictionary index of GT, -1 when undeclared
    std::string altText;               // BCF: the ALT alleles joined by commas
    kstring_t line = {0, 0, nullptr};  // VCF: the current line
    const char* format = nullptr;      // VCF: the FORMAT column, null when the line has none
    int64_t lineNumber = 0;            // VCF: lines read so far
    bool skipped = false;              // lines were skipped through the index
    bool drained = false;              // the index says no record is left

    void open(hFILE* fp);
    void release();
    [[noreturn]] void fail(const std::string& reason) const;
    int readLine(kstring_t& into);  // hts_getline, with BGZF damage reported at once
    // Why the data stops where it does, or null when it ends cleanly.
    const char* endProblem() const;
    // Fails with the reason, unless the input turns out damaged or cut short
    // right after the current line: a line that cannot be read may be the
    // fragment that damage or a cut left, and the failure then says so.
    // Reads one line ahead.
    [[noreturn]] void failBlamingDamage(const std::string& reason);
    void readTextHeader();
    void readBinaryHeader();
    bool nextText();
    bool nextBinary();
    void textGenotypes(const std::vector<int32_t>& order, uint64_t* bits);
    void binaryGenotypes(const std::vector<int32_t>& order, uint64_t* bits);
    // The start of a message about the current line, record or sample.
    std::string atLine() const;
    std::string where() const;
    std::string where(size_t sample) const;
};

// Maps file samples onto the wanted samples by name: order[j] is the index
// in wanted of inFile[j]. A wanted sample missing from the file, a file
// sample not wanted, or a repeated sample throws a seamline::failure
// "cannot read [name]: " naming the sample.
// reference: where the wanted samples come from, for messages.
std::vector<int32_t> sampleOrder(const std::vector<std::string>& wanted,
                                 const std::vector<std::string>& inFile, const std::string& name,
                                 const std::string& reference = "the site map");

}  // namespace seamline

#endif
