#include "vcfwrite.h"

#include <fcntl.h>
#include <htslib/tbx.h>
#include <htslib/vcf.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "failure.h"
#include "files.h"

namespace seamline {

namespace {

// Bytes of output gathered before one write to the file.
const size_t drainSize = size_t(1) << 20;

[[noreturn]] void failWriting(const std::string& name, const std::string& reason) {
    fail("cannot write [" + name + "]: " + reason);
}

// Writes all n bytes; returns why that failed, or nothing when it did not.
std::string writeAll(int fd, const char* bytes, size_t n) {
    while (n > 0) {
        ssize_t written = ::write(fd, bytes, n);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return written < 0 ? strerror(errno) : "nothing could be written";
        bytes += written;
        n -= static_cast<size_t>(written);
    }
    return "";
}

std::string withoutLineBreaks(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

struct headerDeleter {
    void operator()(bcf_hdr_t* parsed) const { bcf_hdr_destroy(parsed); }
};

// The header lines in the order they are written, the #CHROM line excepted,
// and the same header parsed by htslib (for the BCF dictionary). A header
// that cannot be made fails naming the output.
class headerLines {
public:
    std::vector<std::string> lines;
    std::unique_ptr<bcf_hdr_t, headerDeleter> parsed;

    headerLines(const variantWriter::header& h, const std::string& name)
        : parsed(bcf_hdr_init("w")), name(name) {
        if (!parsed) failWriting(name, "out of memory");
        for (const std::string& line : h.contigLines) add(withoutLineBreaks(line));
        if (bcf_hdr_sync(parsed.get()) < 0) failWriting(name, "cannot use the contig lines");
        for (const std::string& contig : h.contigs)
            if (bcf_hdr_name2id(parsed.get(), contig.c_str()) < 0)
                add("##contig=<ID=" + contig + ">");
        add("##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Phased genotype\">");
        if (!h.source.empty()) add("##source=" + withoutLineBreaks(h.source));
        if (!h.command.empty()) add("##seamlineCommand=" + withoutLineBreaks(h.command));
        for (const std::string& sample : h.samples)
            if (bcf_hdr_add_sample(parsed.get(), sample.c_str()) < 0)
                failWriting(name, "cannot use the sample name " + sample);
        if (bcf_hdr_sync(parsed.get()) < 0) failWriting(name, "cannot make the header");
    }

    // The header of a VCF file, the #CHROM line included.
    std::string vcfText(const std::vector<std::string>& samples) const {
        std::string text = "##fileformat=VCFv4.2\n";
        for (const std::string& line : lines) text += line + "\n";
        text += "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO";
        if (!samples.empty()) text += "\tFORMAT";
        for (const std::string& sample : samples) text += "\t" + sample;
        return text + "\n";
    }

    // The header of a BCF file: magic, length, and the text htslib makes of
    // it with its closing NUL.
    std::string bcfText() const { return bcfHeaderBytes(parsed.get(), name); }

private:
    const std::string& name;

    void add(const std::string& line) {
        if (bcf_hdr_append(parsed.get(), line.c_str()) < 0)
            failWriting(name, "cannot use the header line " + line);
        lines.push_back(line);
    }
};

// The index as htslib saves it, or false when htslib cannot make it. htslib
// leaves its stream allocated when a write of the index file fails, and tells
// no reason. So it writes into memory, which does not fail that way, and the
// bytes go to the file from the writer.
bool savedIndex(hts_idx_t* index, int format, std::string& bytes) {
    int memory = memfd_create("seamline-index", MFD_CLOEXEC);
    const std::string memoryPath = "/proc/self/fd/" + std::to_string(memory);
    bool saved = memory >= 0 && hts_idx_save_as(index, nullptr, memoryPath.c_str(), format) == 0 &&
                 lseek(memory, 0, SEEK_SET) == 0;
    char buffer[1 << 16];
    for (ssize_t n = 1; saved && n > 0;) {
        n = read(memory, buffer, sizeof buffer);
        if (n < 0 && errno != EINTR) saved = false;
        if (n > 0) bytes.append(buffer, static_cast<size_t>(n));
    }
    if (memory >= 0) ::close(memory);
    return saved;
}

}  // namespace

void variantWriter::placer::operator()(const std::string& compressed, indexEntries& entries) const {
    writer.place(compressed, entries);
}

variantWriter::variantWriter(const std::string& path, const std::string& outName,
                             variantFormat outFormat, const header& h,
                             const std::string& outIndexPath, bool csi, int threads)
    : name(outName),
      format(outFormat),
      contigs(h.contigs),
      nsamples(h.samples.size()),
      indexPath(outIndexPath) {
    try {
        open(path, h, csi, threads);
    } catch (...) {
        release();
        throw;
    }
}

variantWriter::variantWriter(const std::string& path, const std::string& outName,
                             variantFormat outFormat, const header& h,
                             std::vector<pieceEntry>& entries, int threads)
    : name(outName),
      format(outFormat),
      contigs(h.contigs),
      nsamples(h.samples.size()),
      pieceEntries(&entries) {
    try {
        open(path, h, false, threads);
    } catch (...) {
        release();
        throw;
    }
}

variantWriter::variantWriter(const std::string& path, const std::string& outName,
                             variantFormat outFormat, const readyHeader& h,
                             const std::string& outIndexPath, bool csi, int threads,
                             blockFormat compression)
    : name(outName), format(outFormat), indexPath(outIndexPath) {
    try {
        openReady(path, h, csi, threads, compression);
    } catch (...) {
        release();
        throw;
    }
}

variantWriter::variantWriter(const std::string& path, const std::string& outName,
                             variantFormat outFormat, const readyHeader& h,
                             std::vector<pieceEntry>& entries, int threads, blockFormat compression)
    : name(outName), format(outFormat), pieceEntries(&entries) {
    try {
        openReady(path, h, false, threads, compression);
    } catch (...) {
        release();
        throw;
    }
}

void variantWriter::openReady(const std::string& path, const readyHeader& h, bool csi, int threads,
                              blockFormat compression) {
    if (format == variantFormat::none) fail("not a VCF or BCF file name");
    if ((format == variantFormat::vcf || format == variantFormat::ubcf) && !indexPath.empty())
        fail("uncompressed VCF or BCF cannot be indexed");
    contigs = h.contigs;
    contigDone.assign(contigs.size(), false);
    // Ready BCF records give their contig as its number in the header.
    for (size_t c = 0; c < contigs.size(); c++) contigKeys.push_back(static_cast<int32_t>(c));
    start(path, h.text, threads, compression);
    if (!indexPath.empty())
        startIndex(format == variantFormat::bcf ? static_cast<int>(contigs.size()) : 0, csi,
                   h.reach);
}

variantWriter::~variantWriter() { release(); }

void variantWriter::release() {
    blocks.reset();
    if (index) hts_idx_destroy(index);
    index = nullptr;
    if (fd >= 0 && ownFd) ::close(fd);
    fd = -1;
}

void variantWriter::fail(const std::string& reason) const { failWriting(name, reason); }

void variantWriter::open(const std::string& path, const header& h, bool csi, int threads) {
    if (format == variantFormat::none) fail("not a VCF or BCF file name");
    if ((format == variantFormat::vcf || format == variantFormat::ubcf) && !indexPath.empty())
        fail("uncompressed VCF or BCF cannot be indexed");
    const headerLines lines(h, name);
    std::string text;
    if (binaryFormat(format)) {
        text = lines.bcfText();
        for (const std::string& contig : contigs)
            contigKeys.push_back(bcf_hdr_name2id(lines.parsed.get(), contig.c_str()));
        gtKey = bcf_hdr_id2int(lines.parsed.get(), BCF_DT_ID, "GT");
    } else {
        text = lines.vcfText(h.samples);
    }
    start(path, text, threads, blockFormat::bgzf);
    contigDone.assign(contigs.size(), false);
    if (!indexPath.empty()) startIndex(binaryFormat(format) ? lines.parsed->n[BCF_DT_CTG] : 0, csi);
}

void variantWriter::start(const std::string& path, const std::string& text, int threads,
                          blockFormat compression) {
    openFile(path);
    if (format == variantFormat::vcf || format == variantFormat::ubcf) {
        if (!pieceEntries) pending = text;
        drainWhenFull();
    } else {
        // At most twice as many blocks in flight as threads.
        const int hashBytes = format == variantFormat::bcf ? 8 : 16;
        blocks = std::make_unique<orderedBlocks<indexEntries>>(
            compression, bgzfBlockSize, hashBytes, threads,
            threads > 1 ? 2 * static_cast<size_t>(threads) : 1);
        if (pieceEntries) return;
        // The records start in a block of their own, as htslib's do.
        blocks->add(text.data(), text.size(), placer{*this});
        blocks->cut(placer{*this});
        blocks->flush(placer{*this});
    }
}

void variantWriter::openFile(const std::string& path) {
    if (path == "-") {
        fd = STDOUT_FILENO;
        ownFd = false;
        return;
    }
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    ownFd = true;
    if (fd < 0) fail(strerror(errno));
}

void variantWriter::startIndex(int contigsInHeader, bool csi, int64_t reach) {
    // Tabix indexes number contigs by first appearance; BCF by header order.
    // Six CSI levels above 2^14 reach 2^32, past every 32-bit position; a
    // level more for every factor 8 beyond.
    indexFormat = format == variantFormat::vcfgz && !csi ? HTS_FMT_TBI : HTS_FMT_CSI;
    int levels = indexFormat == HTS_FMT_TBI ? 5 : 6;
    while (indexFormat == HTS_FMT_CSI && levels < 16 && reach >= (int64_t(1) << (14 + 3 * levels)))
        levels++;
    index = hts_idx_init(contigsInHeader, indexFormat, address << 16, 14, levels);
    if (!index) fail("out of memory");
    if (format != variantFormat::vcfgz) return;
    // Tabix settings for VCF: CHROM in column 1, POS in 2, '#' comments.
    uint8_t meta[28] = {0};
    const uint32_t values[6] = {TBX_VCF, 1, 2, 0, '#', 0};
    for (int v = 0; v < 6; v++)
        for (int b = 0; b < 4; b++) meta[4 * v + b] = static_cast<uint8_t>(values[v] >> (8 * b));
    if (hts_idx_set_meta(index, sizeof meta, meta, 1) < 0) fail("out of memory");
}

void variantWriter::write(int contig, int32_t pos, std::string_view id, std::string_view ref,
                          std::string_view alt, const uint64_t* bits) {
    if (fd < 0) fail("the file is not open");
    if (contig < 0 || static_cast<size_t>(contig) >= contigs.size())
        fail("record with an unknown contig number " + std::to_string(contig));
    if (pos < 0) fail("record with a negative position " + std::to_string(pos));
    if (index || pieceEntries) checkOrder(contig, pos);
    if (!blocks && format == variantFormat::vcf) {
        appendTextRecord(pending, contigs[contig], pos, id, ref, alt, bits, nsamples);
        drainWhenFull();
        return;
    }
    record.clear();
    if (binaryFormat(format))
        appendGenotypeRecord(record, contigKeys[contig], pos, id, ref, alt, bits, nsamples, gtKey,
                             shared, indiv);
    else
        appendTextRecord(record, contigs[contig], pos, id, ref, alt, bits, nsamples);
    if (!blocks) {
        pending.append(record);
        drainWhenFull();
        return;
    }
    blocks->add(record.data(), record.size(), placer{*this});
    if (index || pieceEntries) indexRecord(contig, pos, ref.size());
}

void variantWriter::writeLine(int contig, const char* chrom, hts_pos_t begin, hts_pos_t end,
                              std::string_view line) {
    if (fd < 0) fail("the file is not open");
    if (!blocks) {
        pending.append(line);
        drainWhenFull();
        return;
    }
    blocks->add(line.data(), line.size(), placer{*this});
    if (!index && !pieceEntries) return;
    // A piece keeps contig numbers; the whole output's writer numbers them.
    const int tid =
        pieceEntries || binaryFormat(format) ? contig : hts_idx_tbi_name(index, contig, chrom);
    if (tid < 0) fail("cannot index " + std::string(chrom) + ":" + std::to_string(begin + 1));
    pushIndex(tid, begin, end);
}

void variantWriter::checkOrder(int contig, int64_t pos) {
    static const std::string unsorted = "records are not sorted (an index needs them sorted): ";
    if (contig != lastContig) {
        if (contigDone[contig])
            fail(unsorted + "chromosome " + contigs[contig] + " comes again after chromosome " +
                 contigs[lastContig]);
        if (lastContig >= 0) contigDone[lastContig] = true;
        lastContig = contig;
    } else if (pos < lastPos) {
        fail(unsorted + contigs[contig] + ":" + std::to_string(pos) + " comes after " +
             contigs[contig] + ":" + std::to_string(lastPos));
    }
    lastPos = pos;
}

void variantWriter::indexRecord(int contig, int32_t pos, size_t refLength) {
    const hts_pos_t begin = static_cast<hts_pos_t>(pos) - 1;
    const hts_pos_t end = begin + static_cast<hts_pos_t>(refLength);
    // A piece keeps contig numbers; the whole output's writer numbers them.
    int tid = pieceEntries ? contig : tidOf(contig);
    if (tid < 0) fail("cannot index " + contigs[contig] + ":" + std::to_string(pos));
    pushIndex(tid, begin, end);
}

int variantWriter::tidOf(int contig) {
    return binaryFormat(format) ? contigKeys[contig]
                                : hts_idx_tbi_name(index, contig, contigs[contig].c_str());
}

void variantWriter::appendPiece(int from, uint64_t size, const std::vector<pieceEntry>& entries) {
    if (fd < 0) fail("the file is not open");
    for (const pieceEntry& e : entries) {
        if (e.contig < 0 || static_cast<size_t>(e.contig) >= contigs.size() || e.begin < 0)
            fail("a piece with a bad index entry");
        checkOrder(e.contig, e.begin + 1);
        if (!index) continue;
        const int tid = tidOf(e.contig);
        const uint64_t at = (address + (e.offset >> 16)) << 16 | (e.offset & 0xffff);
        if (tid < 0 || hts_idx_push(index, tid, e.begin, e.end, at, 1) < 0)
            fail("cannot index record at " + std::to_string(e.begin + 1));
    }
    drain();
    const std::string problem = copyBytes(from, fd, size);
    if (!problem.empty()) fail(problem);
    address += size;
}

void variantWriter::pushIndex(int tid, hts_pos_t begin, hts_pos_t end) {
    if (!pieceEntries && indexFormat == HTS_FMT_TBI && end > (hts_pos_t(1) << 29))
        fail("position " + std::to_string(begin + 1) + " is beyond the reach of a TBI index");
    // The entry points where the record ends in the block being filled; the
    // block's address is known once the blocks before it are compressed.
    const uint32_t within = static_cast<uint32_t>(blocks->gathered());
    blocks->tag().push_back({tid, begin, end, within});
}

void variantWriter::place(const std::string& compressed, indexEntries& entries) {
    for (const indexEntry& e : entries) {
        const uint64_t at = address << 16 | e.within;
        if (pieceEntries)
            pieceEntries->push_back({e.tid, e.begin, e.end, at});
        else if (hts_idx_push(index, e.tid, e.begin, e.end, at, 1) < 0)
            fail("cannot index record at " + std::to_string(e.begin + 1));
    }
    pending += compressed;
    address += compressed.size();
    drainWhenFull();
}

void variantWriter::drainWhenFull() {
    if (pending.size() >= drainSize) drain();
}

// Writes out every pending byte.
void variantWriter::drain() {
    const std::string problem = writeAll(fd, pending.data(), pending.size());
    if (!problem.empty()) fail(problem);
    pending.clear();
}

void variantWriter::saveIndex() {
    const std::string which = "index [" + indexPath + "]: ";
    // Without /proc (a bare chroot, say) the memory file has no name to give
    // htslib, which then writes the staged index file itself.
    if (access("/proc/self/fd", X_OK) != 0) {
        if (hts_idx_save_as(index, nullptr, indexPath.c_str(), indexFormat) != 0)
            fail(which + "cannot make the index");
        return;
    }
    std::string bytes;
    if (!savedIndex(index, indexFormat, bytes)) fail(which + "cannot make the index");
    int out = ::open(indexPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (out < 0) fail(which + strerror(errno));
    std::string problem = writeAll(out, bytes.data(), bytes.size());
    if (::close(out) < 0 && problem.empty()) problem = strerror(errno);
    if (!problem.empty()) fail(which + problem);
}

void variantWriter::close() {
    if (fd < 0) fail("the file is not open");
    if (blocks) {
        // A record that ends exactly where a block was cut leaves its entry
        // with the empty block after it, which is not written: the entry
        // points at the end of the data.
        indexEntries trailing;
        if (blocks->gathered() == 0) trailing.swap(blocks->tag());
        // A piece with no record has no block either.
        if (!pieceEntries || blocks->gathered() > 0) blocks->finish(placer{*this});
        blocks->flush(placer{*this});
        if (index || pieceEntries) place(std::string(), trailing);
        if (index && hts_idx_finish(index, address << 16) < 0) fail("cannot finish the index");
        if (!pieceEntries) pending.append(bgzfEndOfFile, sizeof bgzfEndOfFile);
    }
    drain();
    const int closing = fd;
    fd = -1;
    if (ownFd && ::close(closing) < 0) fail(strerror(errno));
    if (index) saveIndex();
    release();
}

}  // namespace seamline
