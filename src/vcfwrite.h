#ifndef SEAMLINE_VCFWRITE_H
#define SEAMLINE_VCFWRITE_H

#include <htslib/hts.h>
#include <htslib/vcf.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "blocks.h"
#include "formats.h"
#include "vcfrecords.h"

namespace seamline {

// Writes phased genotypes as VCF, BGZF-compressed VCF or BCF, with a TBI or
// CSI index built on the way. Text and BCF records are made here, and BGZF
// blocks are cut at a fixed size and compressed by the project's encoder.
// Every failure throws a seamline::failure "cannot write [name]: reason".
class variantWriter {
public:
    struct header {
        std::vector<std::string> contigLines;  // verbatim ##contig lines
        // Names; index = contig number in write(). A contig without a line
        // gets "##contig=<ID=name>" after the given lines.
        std::vector<std::string> contigs;
        std::vector<std::string> samples;
        std::string source;   // "seamline 0.1.0"
        std::string command;  // the command line
    };

    // A record's index entry in a piece of an output: its contig number (as
    // in write()), the stretch it covers, and where it ends, as a virtual
    // offset from the piece's first byte.
    struct pieceEntry {
        int32_t contig;
        int64_t begin, end;
        uint64_t offset;
    };

    // path: where to write ("-" = standard output); name: the output as the
    // user named it, for messages; indexPath: where to write the index, empty
    // for none. csi asks a CSI index of .vcf.gz instead of TBI (BCF is always
    // indexed with CSI). With an index, records must come sorted. threads:
    // BGZF blocks compressed at once; the bytes are the same for every count.
    variantWriter(const std::string& path, const std::string& name, variantFormat format,
                  const header& h, const std::string& indexPath, bool csi, int threads);
    // A writer of one piece of an output, for a join split into jobs: the
    // records only, in complete BGZF blocks (VCF.gz, BCF) or as text (VCF),
    // without the header and the end-of-file block; the index entries of
    // the records go to entries.
    variantWriter(const std::string& path, const std::string& name, variantFormat format,
                  const header& h, std::vector<pieceEntry>& entries, int threads);
    // A header made elsewhere, for records that come ready through
    // writeLine().
    struct readyHeader {
        // The whole header: for VCF, the #CHROM line included; for BCF, its
        // magic and length too.
        std::string text;
        // The header's contigs in its order: the numbers the records give.
        std::vector<std::string> contigs;
        // The end (0-based) of the record that ends last, which a CSI index
        // must cover.
        int64_t reach = 0;
    };
    // A writer of ready records, with its index at indexPath as above.
    // compression: how the blocks of a compressed format are compressed.
    variantWriter(const std::string& path, const std::string& name, variantFormat format,
                  const readyHeader& h, const std::string& indexPath, bool csi, int threads,
                  blockFormat compression = blockFormat::bgzf);
    // A writer of one piece of ready records, as the piece writer above.
    variantWriter(const std::string& path, const std::string& name, variantFormat format,
                  const readyHeader& h, std::vector<pieceEntry>& entries, int threads,
                  blockFormat compression = blockFormat::bgzf);
    // Releases a writer that was not closed; the file is then incomplete.
    ~variantWriter();
    variantWriter(const variantWriter&) = delete;
    variantWriter& operator=(const variantWriter&) = delete;

    // One record: CHROM of the contig, POS, ID, REF, ALT; QUAL, FILTER and
    // INFO '.'; FORMAT GT, sample k "a|b" with a = bit 2k, b = bit 2k+1.
    void write(int contig, int32_t pos, std::string_view id, std::string_view ref,
               std::string_view alt, const uint64_t* bits);
    // One ready record line, with its '\n', for a writer of ready text (or
    // one whole BCF record): for the index, its contig (its number in the
    // header) and the 0-based half-open stretch [begin, end) it covers.
    void writeLine(int contig, const char* chrom, hts_pos_t begin, hts_pos_t end,
                   std::string_view line);
    // Appends a piece written by a piece writer of the same header and
    // format: size bytes read from the file from, whose records have these
    // index entries. The bytes are copied as they stand.
    void appendPiece(int from, uint64_t size, const std::vector<pieceEntry>& entries);
    // Finishes the file and writes the index.
    void close();

private:
    // An index entry of a record, kept with the block the record ends in
    // until the blocks before it are compressed and its address is known.
    struct indexEntry {
        int tid;
        hts_pos_t begin, end;
        uint32_t within;  // where the record ends in its block
    };
    typedef std::vector<indexEntry> indexEntries;
    // Hands the blocks that come back compressed to place().
    struct placer {
        variantWriter& writer;
        void operator()(const std::string& compressed, indexEntries& entries) const;
    };

    std::string name;  // for messages
    variantFormat format;
    int fd = -1;
    bool ownFd = false;         // false for standard output
    std::string pending;        // bytes not yet written to fd
    std::string record;         // the record being written (compressed formats)
    std::string shared, indiv;  // BCF: the two parts of the record being written
    uint64_t address = 0;       // compressed formats: file offset of the next block
    std::unique_ptr<orderedBlocks<indexEntries>> blocks;  // compressed formats
    std::vector<std::string> contigs;
    std::vector<int32_t> contigKeys;  // BCF: dictionary index of each contig
    size_t nsamples = 0;
    int32_t gtKey = 0;  // BCF: dictionary index of GT
    hts_idx_t* index = nullptr;
    std::string indexPath;
    int indexFormat = 0;
    int lastContig = -1;
    int64_t lastPos = 0;
    std::vector<bool> contigDone;                     // contigs whose records are all behind
    std::vector<pieceEntry>* pieceEntries = nullptr;  // a piece writer's entries

    void open(const std::string& path, const header& h, bool csi, int threads);
    int tidOf(int contig);
    // Opens the file and writes the ready header text.
    void start(const std::string& path, const std::string& text, int threads,
               blockFormat compression);
    void pushIndex(int tid, hts_pos_t begin, hts_pos_t end);
    void openFile(const std::string& path);
    void startIndex(int contigsInHeader, bool csi, int64_t reach = 0);
    void openReady(const std::string& path, const readyHeader& h, bool csi, int threads,
                   blockFormat compression);
    void release();
    [[noreturn]] void fail(const std::string& reason) const;
    void checkOrder(int contig, int64_t pos);
    void indexRecord(int contig, int32_t pos, size_t refLength);
    void put(const std::string& bytes);
    // Takes a compressed block back: its index entries, then its bytes.
    void place(const std::string& compressed, indexEntries& entries);
    void drain();
    void drainWhenFull();
    void saveIndex();
};

}  // namespace seamline

#endif
