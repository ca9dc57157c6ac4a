#ifndef SEAMLINE_VCFREAD_H
#define SEAMLINE_VCFREAD_H

#include <htslib/hfile.h>
#include <htslib/hts.h>
#include <htslib/kstring.h>
#include <htslib/tbx.h>
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

// The leading columns of a VCF or BCF record.
struct variantRecord {
    std::string_view chrom, id, ref, alt;  // alt: the whole ALT column ("T", "T,G" or ".")
    int64_t pos = 0;                       // 1-based, as in the file
    // VCF text: the FORMAT column (empty when the line has none) and where
    // the sample columns begin (null when the line has none).
    std::string_view format;
    const char* samples = nullptr;
};

// Whether an index beside a VCF.gz or BCF file (.tbi, .csi) is older than
// the file: made for an earlier content, so a reader must not go by it.
bool staleIndex(const std::string& path);

// The one reader of VCF (plain, gzip or BGZF) and BCF files, for every mode.
// A line of VCF text is handed out as it stands, for readers that take what
// they need from the text, and parsed into htslib's record only on request;
// a BCF record is read by htslib and unpacked up to its alleles. Every
// failure throws a seamline::failure "cannot read [name]: reason"; after one
// the reader is done.
class variantReader {
public:
    // Opens the file at path (by default, the name); one that cannot be
    // opened throws "cannot open [name]: reason".
    explicit variantReader(const std::string& name) : variantReader(name, name) {}
    variantReader(const std::string& path, const std::string& name);
    // Takes over fp, an input opened to tell its format (also on failure).
    variantReader(hFILE* fp, const std::string& name);
    ~variantReader();
    variantReader(const variantReader&) = delete;
    variantReader& operator=(const variantReader&) = delete;

    const std::string& name() const { return file; }
    // VCF text, rather than BCF.
    bool text() const { return !binary; }
    // Header sample names, in file order.
    const std::vector<std::string>& samples() const { return sampleNames; }
    // The "##contig=<...>" header lines, in order.
    const std::vector<std::string>& contigLines() const { return contigHeaderLines; }
    // htslib's form of the header; for VCF text made from its lines when first
    // asked for, with the contigs of a tabix index beside the file that the
    // lines lack, as htslib's own reading adds them.
    bcf_hdr_t* header();
    // The header's contig names, in order.
    std::vector<std::string> contigs();

    // The chromosomes that the index beside the file (.tbi or .csi) names,
    // in its order; empty when the file has no index that describes it: none,
    // one older than the file, or one made for other content (a chromosome's
    // first record not where the index puts it, or records of it after the
    // last that the index knows). Called before the first record is read.
    std::vector<std::string> indexedContigs();
    // Moves to the first block that may hold records at or after position
    // pos (1-based) of chrom, through the index beside the file: records
    // before it are not read. False, without moving, when the file has no
    // index that describes it or its index does not know chrom. Called
    // before the first record is read.
    bool skipTo(const std::string& chrom, int64_t pos);
    // The same, to a record shortly before the last records of chrom: those
    // of the last stretch of the chromosome that the index tells apart.
    bool skipToLast(const std::string& chrom);

    // Where the reader stands before a record, so that it can come back.
    struct mark {
        int64_t offset = -1;  // in the file; -1 where it cannot seek
        size_t records = 0;
        int64_t lines = 0;
    };
    // The place of the next record.
    mark here() const;
    // Comes back to a place of this file, by seeking where the file allows
    // it, otherwise by reading it again from the start.
    void restart(const mark& at);

    // Moves to the next record; false at the end of the data. Damaged or
    // cut-short input throws.
    bool next();
    // Moves on to record n (from 0) of the file, passing over those before it
    // unread; a file that holds fewer records has changed since it was first
    // read, and throws.
    void seek(size_t n);
    // Records read so far.
    size_t count() const { return records; }
    // A checksum of the current record as it stands in the file (the line of
    // VCF text, the bytes of a BCF record), which tells it from another.
    uint32_t checksum() const;

    // The current line of VCF text, as it stands (until it is parsed).
    std::string_view line() const { return std::string_view(text_.s, text_.l); }
    // The leading columns of the current record; VCF text is split here, and
    // a line that is not a record throws, naming it.
    variantRecord site();
    // The current record as htslib's: VCF text parsed (once: the parser
    // changes the line), BCF as read.
    bcf1_t* record();

    // Failures about the current record: "cannot read [name]: reason".
    [[noreturn]] void fail(const std::string& reason) const;
    // The same, unless the input turns out damaged or cut short right after
    // the current line: a line that cannot be read may be the fragment that
    // damage or a cut left, and the failure then says so. Reads one line ahead.
    [[noreturn]] void failBlamingDamage(const std::string& reason);
    // The start of a message about the current line, record or sample.
    std::string atLine() const;
    std::string where() const;
    std::string where(size_t sample) const;

private:
    std::string file;  // for messages
    std::string path;  // where it is read from
    std::vector<std::string> sampleNames;
    std::vector<std::string> contigHeaderLines;
    std::string headerText;  // VCF text: the header lines, for htslib's header
    variantRecord current;
    std::string altText;  // BCF: the ALT alleles joined by commas

    htsFile* in = nullptr;
    bool binary = false;  // BCF
    bcf_hdr_t* parsedHeader = nullptr;
    bcf1_t* parsed = nullptr;
    bool parsedCurrent = false;         // VCF text: the current line was parsed
    kstring_t text_ = {0, 0, nullptr};  // VCF: the current line
    std::string unparsed;               // VCF: the line being parsed, as it stood
    size_t records = 0;
    int64_t lineNumber = 0;  // VCF: lines read so far
    bool skipped = false;    // lines were skipped through the index
    bool drained = false;    // the index says no record is left
    // The index beside the file, loaded and checked against the file when
    // first asked for; both null when there is none that describes it.
    bool indexLoaded = false;
    tbx_t* tabix = nullptr;         // VCF.gz
    hts_idx_t* binIndex = nullptr;  // BCF
    int64_t dataStart = -1;         // BGZF: where the first record stands

    void open(hFILE* fp);
    void release();
    int readLine(kstring_t& into);  // hts_getline, with BGZF damage reported at once
    // Why the data stops where it does, or null when it ends cleanly.
    const char* endProblem() const;
    void readTextHeader();
    void readBinaryHeader();
    // Reads past the header of a file opened anew.
    void passHeader();
    void refuseRepeatedSamples() const;
    // Why htslib refused the header of a BCF file, where it can be told.
    void diagnoseBinaryHeader();
    // Fails for a record line that htslib cannot parse, naming what it can.
    [[noreturn]] void refuseRecord(std::string_view line) const;
    void addIndexContigs();
    bool nextText();
    bool nextBinary();
    bool skip(const std::string& chrom, int64_t pos, bool toLast);
    // Loads the index and keeps it only when it describes the file.
    bool loadIndex();
    bool indexDescribes(const std::vector<std::string>& contigs);
    // The index's number of chrom, -1 when it does not know it.
    int indexId(const std::string& chrom) const;
    // htslib's iterator of records of contig id overlapping [beg, end), 0-based.
    hts_itr_t* query(int id, int64_t beg, int64_t end) const;
    // Reads the record at a virtual offset: its contig's name, empty at the
    // end of the data; false when it cannot be read there.
    bool contigAt(uint64_t offset, std::string& contig);
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
