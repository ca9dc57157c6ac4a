#ifndef SEAMLINE_VCF_H
#define SEAMLINE_VCF_H

#include <htslib/hfile.h>
#include <htslib/hts.h>
#include <htslib/kstring.h>
#include <htslib/vcf.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "deflate.h"
#include "threads.h"

enum class variantFormat { none, vcf, vcfgz, bcf };
// By the end of the name: ".vcf", ".vcf.gz" or ".vcf.bgz", ".bcf"; otherwise none.
variantFormat variantFormatOf(const std::string& name);

// Writes phased genotypes as VCF, BGZF-compressed VCF or BCF, with a TBI or
// CSI index built on the way. Text and BCF records are made here, and BGZF
// blocks are cut at a fixed size and compressed by the project's encoder.
// Error messages carry the reason only; the caller adds the file name.
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

    std::string path;
    variantFormat format = variantFormat::none;
    int fd = -1;
    bool ownFd = false;         // false for standard output
    std::string pending;        // bytes not yet written to fd
    std::string block;          // BGZF: text of the block being filled
    uint64_t blockAddress = 0;  // BGZF: file offset of the block being filled
    deflater encoder;
    std::string recordBytes;
    std::vector<std::string> contigs;
    std::vector<int32_t> contigKeys;  // BCF: dictionary index of each contig
    size_t nsamples = 0;
    int32_t gtKey = 0;  // BCF: dictionary index of GT
    hts_idx_t* index = nullptr;
    std::string indexPath;
    int indexFormat = 0;
    int lastContig = -1;
    int64_t lastPos = 0;
    std::vector<bool> contigDone;  // contigs whose records are all behind
    int threads = 1;               // BGZF blocks compressed at once; set before open
    // An index entry of a record in the block being filled, whose address is
    // not known until the blocks before it are compressed.
    struct indexEntry {
        int tid;
        hts_pos_t begin, end;
        uint32_t within;  // where the record ends in its block
    };
    std::vector<indexEntry> entries;
    struct compressedBlock {
        std::string bytes;
        std::vector<indexEntry> entries;
        std::unique_ptr<deflater> coder;
    };
    std::unique_ptr<orderedPipeline<compressedBlock>> compressing;  // with threads > 1
    std::vector<std::unique_ptr<deflater>> spareEncoders;

    variantWriter() = default;
    variantWriter(const variantWriter&) = delete;
    variantWriter& operator=(const variantWriter&) = delete;
    // Releases a writer that was not closed; the file is then incomplete.
    ~variantWriter();

    // path: where to write ("-" = standard output); indexPath: where to write
    // the index, empty for none. csi asks a CSI index of .vcf.gz instead of
    // TBI (BCF is always indexed with CSI). With an index, records must come
    // sorted. Turns htslib's own messages off, as the reader does.
    bool open(const std::string& path, variantFormat format, const header& h,
              const std::string& indexPath, bool csi, std::string& error);
    // One record: CHROM of the contig, POS, ID, REF, ALT; QUAL, FILTER and
    // INFO '.'; FORMAT GT, sample k "a|b" with a = bit 2k, b = bit 2k+1.
    bool write(int contig, int32_t pos, std::string_view id, std::string_view ref,
               std::string_view alt, const uint64_t* bits, std::string& error);
    // Finishes the file and writes the index.
    bool close(std::string& error);

private:
    bool checkOrder(int contig, int32_t pos, std::string& error);
    bool put(const char* bytes, size_t n, std::string& error);
    bool finishBlock(std::string& error);
    bool placeBlock(compressedBlock done, std::string& error);
    bool flushBlocks(std::string& error);
    bool pushEntries(const std::vector<indexEntry>& blockEntries, std::string& error);
    bool drain(std::string& error);
    bool saveIndex(std::string& error);
    bool indexRecord(int contig, int32_t pos, size_t refLength, std::string& error);
    void release();
};

#endif
