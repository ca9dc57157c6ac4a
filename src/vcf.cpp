#include "vcf.h"

#include <fcntl.h>
#include <htslib/bgzf.h>
#include <htslib/tbx.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

variantFormat variantFormatOf(const std::string& name) {
    auto endsWith = [&name](std::string_view suffix) {
        return name.size() >= suffix.size() &&
               name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (endsWith(".vcf")) return variantFormat::vcf;
    if (endsWith(".vcf.gz") || endsWith(".vcf.bgz")) return variantFormat::vcfgz;
    if (endsWith(".bcf")) return variantFormat::bcf;
    return variantFormat::none;
}

namespace {

// Bytes of output gathered before one write to the file.
const size_t drainSize = size_t(1) << 20;

bool writeAll(int fd, const char* bytes, size_t n, std::string& error) {
    while (n > 0) {
        ssize_t written = ::write(fd, bytes, n);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error = written < 0 ? strerror(errno) : "nothing could be written";
            return false;
        }
        bytes += written;
        n -= static_cast<size_t>(written);
    }
    return true;
}

// The genotypes of four samples, one byte of a bit row, as VCF text and as
// BCF GT values.
struct genotypeTables {
    char text[256][16];   // "a|b\t" four times
    char binary[256][8];  // (allele + 1) * 2, plus 1 on the second (phased)
    genotypeTables() {
        for (int byte = 0; byte < 256; byte++)
            for (int s = 0; s < 4; s++) {
                int a = (byte >> (2 * s)) & 1, b = (byte >> (2 * s + 1)) & 1;
                char* t = text[byte] + 4 * s;
                t[0] = static_cast<char>('0' + a), t[1] = '|';
                t[2] = static_cast<char>('0' + b), t[3] = '\t';
                binary[byte][2 * s] = static_cast<char>(2 + 2 * a);
                binary[byte][2 * s + 1] = static_cast<char>(3 + 2 * b);
            }
    }
};
const genotypeTables tables;

inline uint8_t rowByte(const uint64_t* bits, size_t k) {
    return static_cast<uint8_t>(bits[k >> 3] >> (8 * (k & 7)));
}

// Appends, for each of n samples, the table entry of its pair of bits.
template <size_t width>
void appendPairs(std::string& out, const uint64_t* bits, size_t n, const char (*table)[width]) {
    const size_t each = width / 4, start = out.size();
    out.resize(start + each * n);
    char* p = &out[start];
    size_t k = 0;
    for (; k < n / 4; k++) memcpy(p + width * k, table[rowByte(bits, k)], width);
    for (size_t s = 4 * k; s < n; s++)
        memcpy(p + each * s, table[(bits[s >> 5] >> (2 * (s & 31))) & 3], each);
}

void appendLittleEndian(std::string& out, uint32_t value) {
    char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                     static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
    out.append(bytes, 4);
}

// A BCF typed integer in the smallest type that holds it.
void appendTypedInt(std::string& out, int64_t value) {
    if (value >= -120 && value <= 127) {
        out.push_back(1 << 4 | BCF_BT_INT8);
        out.push_back(static_cast<char>(value));
    } else if (value >= -32760 && value <= 32767) {
        out.push_back(1 << 4 | BCF_BT_INT16);
        out.push_back(static_cast<char>(value));
        out.push_back(static_cast<char>(value >> 8));
    } else {
        out.push_back(1 << 4 | BCF_BT_INT32);
        appendLittleEndian(out, static_cast<uint32_t>(value));
    }
}

// The type byte of a BCF typed vector, with its length.
void appendTypeAndSize(std::string& out, size_t size, int type) {
    if (size < 15) {
        out.push_back(static_cast<char>(size << 4 | type));
    } else {
        out.push_back(static_cast<char>(15 << 4 | type));
        appendTypedInt(out, static_cast<int64_t>(size));
    }
}

void appendTypedString(std::string& out, std::string_view text) {
    appendTypeAndSize(out, text.size(), BCF_BT_CHAR);
    out.append(text);
}

void appendTextRecord(std::string& out, std::string_view chrom, int32_t pos, std::string_view id,
                      std::string_view ref, std::string_view alt, const uint64_t* bits,
                      size_t nsamples) {
    out.append(chrom);
    out.push_back('\t');
    out.append(std::to_string(pos));
    out.push_back('\t');
    out.append(id);
    out.push_back('\t');
    out.append(ref);
    out.push_back('\t');
    out.append(alt);
    if (nsamples == 0) {
        out.append("\t.\t.\t.\n");
        return;
    }
    out.append("\t.\t.\t.\tGT\t");
    appendPairs(out, bits, nsamples, tables.text);
    out.back() = '\n';
}

// One BCF record: shared part (site) and individual part (GT only).
void appendBinaryRecord(std::string& out, int32_t contigKey, int32_t pos, std::string_view id,
                        std::string_view ref, std::string_view alt, const uint64_t* bits,
                        size_t nsamples, int32_t gtKey) {
    const size_t start = out.size();
    out.append(8, '\0');  // the two lengths, filled in below
    appendLittleEndian(out, static_cast<uint32_t>(contigKey));
    appendLittleEndian(out, static_cast<uint32_t>(pos - 1));
    appendLittleEndian(out, static_cast<uint32_t>(ref.size()));
    appendLittleEndian(out, 0x7F800001u);  // QUAL missing
    uint32_t alleles = 1;
    if (alt != ".") alleles += 1 + static_cast<uint32_t>(std::count(alt.begin(), alt.end(), ','));
    appendLittleEndian(out, alleles << 16);  // no INFO
    appendLittleEndian(out, (nsamples ? 1u << 24 : 0u) | static_cast<uint32_t>(nsamples));
    appendTypedString(out, id == "." ? std::string_view() : id);
    appendTypedString(out, ref);
    for (size_t from = 0; alleles > 1 && from <= alt.size();) {
        size_t comma = std::min(alt.find(',', from), alt.size());
        appendTypedString(out, alt.substr(from, comma - from));
        from = comma + 1;
    }
    out.push_back(0);  // FILTER '.': an empty vector
    const size_t shared = out.size() - start - 8;
    if (nsamples > 0) {
        appendTypedInt(out, gtKey);
        out.push_back(2 << 4 | BCF_BT_INT8);
        appendPairs(out, bits, nsamples, tables.binary);
    }
    const size_t indiv = out.size() - start - 8 - shared;
    for (int b = 0; b < 4; b++) {
        out[start + b] = static_cast<char>(shared >> (8 * b));
        out[start + 4 + b] = static_cast<char>(indiv >> (8 * b));
    }
}

std::string withoutLineBreaks(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

// The header lines in the order they are written, the #CHROM line excepted,
// and the same header parsed by htslib (for the BCF dictionary).
struct headerLines {
    std::vector<std::string> lines;
    bcf_hdr_t* parsed = nullptr;
    ~headerLines() {
        if (parsed) bcf_hdr_destroy(parsed);
    }
    bool make(const variantWriter::header& h, std::string& error) {
        parsed = bcf_hdr_init("w");
        if (!parsed) {
            error = "out of memory";
            return false;
        }
        auto add = [&](const std::string& line) {
            if (bcf_hdr_append(parsed, line.c_str()) < 0) {
                error = "cannot use the header line " + line;
                return false;
            }
            lines.push_back(line);
            return true;
        };
        for (const std::string& line : h.contigLines)
            if (!add(withoutLineBreaks(line))) return false;
        if (bcf_hdr_sync(parsed) < 0) {
            error = "cannot use the contig lines";
            return false;
        }
        for (const std::string& contig : h.contigs)
            if (bcf_hdr_name2id(parsed, contig.c_str()) < 0 && !add("##contig=<ID=" + contig + ">"))
                return false;
        if (!add("##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Phased genotype\">"))
            return false;
        if (!h.source.empty() && !add("##source=" + withoutLineBreaks(h.source))) return false;
        if (!h.command.empty() && !add("##seamlineCommand=" + withoutLineBreaks(h.command)))
            return false;
        for (const std::string& sample : h.samples)
            if (bcf_hdr_add_sample(parsed, sample.c_str()) < 0) {
                error = "cannot use the sample name " + sample;
                return false;
            }
        if (bcf_hdr_sync(parsed) < 0) {
            error = "cannot make the header";
            return false;
        }
        return true;
    }
};

}  // namespace

variantWriter::~variantWriter() { release(); }

void variantWriter::release() {
    compressing.reset();
    entries.clear();
    if (index) hts_idx_destroy(index);
    if (fd >= 0 && ownFd) ::close(fd);
    index = nullptr;
    fd = -1;
    pending.clear();
    block.clear();
    blockAddress = 0;
    lastContig = -1;
    contigDone.clear();
}

bool variantWriter::open(const std::string& outPath, variantFormat outFormat, const header& h,
                         const std::string& outIndexPath, bool csi, std::string& error) {
    release();
    hts_set_log_level(HTS_LOG_OFF);
    path = outPath;
    format = outFormat;
    indexPath = outIndexPath;
    contigs = h.contigs;
    nsamples = h.samples.size();
    encoder.hashBytes = format == variantFormat::bcf ? 8 : 16;
    if (format == variantFormat::none) {
        error = "not a VCF or BCF file name";
        return false;
    }
    if (format == variantFormat::vcf && !indexPath.empty()) {
        error = "plain VCF text cannot be indexed";
        return false;
    }
    headerLines lines;
    if (!lines.make(h, error)) return false;
    std::string text;
    if (format == variantFormat::bcf) {
        kstring_t formatted = {0, 0, nullptr};
        if (bcf_hdr_format(lines.parsed, 1, &formatted) < 0) {
            free(formatted.s);
            error = "cannot make the header";
            return false;
        }
        text.assign("BCF\2\2", 5);
        appendLittleEndian(text, static_cast<uint32_t>(formatted.l + 1));
        text.append(formatted.s, formatted.l);
        text.push_back('\0');
        free(formatted.s);
        contigKeys.clear();
        for (const std::string& contig : contigs)
            contigKeys.push_back(bcf_hdr_name2id(lines.parsed, contig.c_str()));
        gtKey = bcf_hdr_id2int(lines.parsed, BCF_DT_ID, "GT");
    } else {
        text = "##fileformat=VCFv4.2\n";
        for (const std::string& line : lines.lines) text += line + "\n";
        text += "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO";
        if (nsamples > 0) text += "\tFORMAT";
        for (const std::string& sample : h.samples) text += "\t" + sample;
        text += "\n";
    }

    if (path == "-") {
        fd = STDOUT_FILENO;
        ownFd = false;
    } else {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        ownFd = true;
        if (fd < 0) {
            error = strerror(errno);
            return false;
        }
    }
    // The records start in a block of their own, as htslib's do.
    if (!put(text.data(), text.size(), error)) return false;
    if (format != variantFormat::vcf && !finishBlock(error)) return false;
    if (threads > 1 && format != variantFormat::vcf) {
        if (!flushBlocks(error)) return false;
        compressing = std::make_unique<orderedPipeline<compressedBlock>>(threads, 2 * threads);
    }

    contigDone.assign(contigs.size(), false);
    if (indexPath.empty()) return true;
    // Tabix indexes number contigs by first appearance; BCF by header order.
    // Six CSI levels above 2^14 reach 2^32, past every 32-bit position.
    indexFormat = format == variantFormat::vcfgz && !csi ? HTS_FMT_TBI : HTS_FMT_CSI;
    int contigsInHeader = format == variantFormat::bcf ? lines.parsed->n[BCF_DT_CTG] : 0;
    index = hts_idx_init(contigsInHeader, indexFormat, blockAddress << 16, 14,
                         indexFormat == HTS_FMT_TBI ? 5 : 6);
    if (!index) {
        error = "out of memory";
        return false;
    }
    if (format == variantFormat::vcfgz) {
        // Tabix settings for VCF: CHROM in column 1, POS in 2, '#' comments.
        uint8_t meta[28] = {0};
        const uint32_t values[6] = {TBX_VCF, 1, 2, 0, '#', 0};
        for (int v = 0; v < 6; v++)
            for (int b = 0; b < 4; b++)
                meta[4 * v + b] = static_cast<uint8_t>(values[v] >> (8 * b));
        if (hts_idx_set_meta(index, sizeof meta, meta, 1) < 0) {
            error = "out of memory";
            return false;
        }
    }
    return true;
}

bool variantWriter::write(int contig, int32_t pos, std::string_view id, std::string_view ref,
                          std::string_view alt, const uint64_t* bits, std::string& error) {
    if (fd < 0) {
        error = "the file is not open";
        return false;
    }
    if (contig < 0 || static_cast<size_t>(contig) >= contigs.size()) {
        error = "record with an unknown contig number " + std::to_string(contig);
        return false;
    }
    if (pos < 0) {
        error = "record with a negative position " + std::to_string(pos);
        return false;
    }
    if (index && !checkOrder(contig, pos, error)) return false;
    if (format == variantFormat::vcf) {
        appendTextRecord(pending, contigs[contig], pos, id, ref, alt, bits, nsamples);
        return pending.size() < drainSize || drain(error);
    }
    recordBytes.clear();
    if (format == variantFormat::bcf)
        appendBinaryRecord(recordBytes, contigKeys[contig], pos, id, ref, alt, bits, nsamples,
                           gtKey);
    else
        appendTextRecord(recordBytes, contigs[contig], pos, id, ref, alt, bits, nsamples);
    if (!put(recordBytes.data(), recordBytes.size(), error)) return false;
    return !index || indexRecord(contig, pos, ref.size(), error);
}

bool variantWriter::checkOrder(int contig, int32_t pos, std::string& error) {
    if (contig != lastContig) {
        if (contigDone[contig]) {
            error = "records are not sorted (an index needs them sorted): chromosome " +
                    contigs[contig] + " comes again after chromosome " + contigs[lastContig];
            return false;
        }
        if (lastContig >= 0) contigDone[lastContig] = true;
        lastContig = contig;
    } else if (pos < lastPos) {
        error = "records are not sorted (an index needs them sorted): " + contigs[contig] + ":" +
                std::to_string(pos) + " comes after " + contigs[contig] + ":" +
                std::to_string(lastPos);
        return false;
    }
    lastPos = pos;
    return true;
}

bool variantWriter::indexRecord(int contig, int32_t pos, size_t refLength, std::string& error) {
    const hts_pos_t begin = static_cast<hts_pos_t>(pos) - 1;
    const hts_pos_t end = begin + static_cast<hts_pos_t>(refLength);
    if (indexFormat == HTS_FMT_TBI && end > (hts_pos_t(1) << 29)) {
        error = "position " + std::to_string(pos) + " is beyond the reach of a TBI index";
        return false;
    }
    int tid = format == variantFormat::bcf
                  ? contigKeys[contig]
                  : hts_idx_tbi_name(index, contig, contigs[contig].c_str());
    // The offset where the record ends, which is where the next one starts.
    if (tid < 0) {
        error = "cannot index " + contigs[contig] + ":" + std::to_string(pos);
        return false;
    }
    // The block's address is known once the blocks before it are compressed.
    entries.push_back({tid, begin, end, static_cast<uint32_t>(block.size())});
    return true;
}

bool variantWriter::pushEntries(const std::vector<indexEntry>& blockEntries, std::string& error) {
    for (const indexEntry& e : blockEntries)
        if (hts_idx_push(index, e.tid, e.begin, e.end, blockAddress << 16 | e.within, 1) < 0) {
            error = "cannot index record at " + std::to_string(e.begin + 1);
            return false;
        }
    return true;
}

bool variantWriter::put(const char* bytes, size_t n, std::string& error) {
    if (format == variantFormat::vcf) {
        pending.append(bytes, n);
        return pending.size() < drainSize || drain(error);
    }
    while (n > 0) {
        size_t take = std::min(n, bgzfBlockSize - block.size());
        block.append(bytes, take);
        bytes += take;
        n -= take;
        if (block.size() == bgzfBlockSize && !finishBlock(error)) return false;
    }
    return true;
}

bool variantWriter::finishBlock(std::string& error) {
    if (!compressing) {
        const size_t before = pending.size();
        encoder.bgzfBlock(block.data(), block.size(), pending);
        if (index && !pushEntries(entries, error)) return false;
        entries.clear();
        blockAddress += pending.size() - before;
        block.clear();
        return pending.size() < drainSize || drain(error);
    }
    // Blocks are cut by size alone, so compressing several at once changes
    // no byte; each job takes an encoder and gives it back with its block.
    while (compressing->full())
        if (!placeBlock(compressing->take(), error)) return false;
    std::unique_ptr<deflater> coder;
    if (spareEncoders.empty()) {
        coder = std::make_unique<deflater>();
        coder->hashBytes = encoder.hashBytes;
    } else {
        coder = std::move(spareEncoders.back());
        spareEncoders.pop_back();
    }
    compressing->submit([text = std::move(block), blockEntries = std::move(entries),
                         coder = std::move(coder)]() mutable {
        compressedBlock done;
        coder->bgzfBlock(text.data(), text.size(), done.bytes);
        done.entries = std::move(blockEntries);
        done.coder = std::move(coder);
        return done;
    });
    block.clear();
    entries.clear();
    return true;
}

bool variantWriter::placeBlock(compressedBlock done, std::string& error) {
    if (index && !pushEntries(done.entries, error)) return false;
    pending += done.bytes;
    blockAddress += done.bytes.size();
    spareEncoders.push_back(std::move(done.coder));
    return pending.size() < drainSize || drain(error);
}

bool variantWriter::flushBlocks(std::string& error) {
    while (compressing && !compressing->empty())
        if (!placeBlock(compressing->take(), error)) return false;
    return true;
}

// Writes out every pending byte.
bool variantWriter::drain(std::string& error) {
    if (!writeAll(fd, pending.data(), pending.size(), error)) return false;
    pending.clear();
    return true;
}

bool variantWriter::saveIndex(std::string& error) {
    // htslib leaves its stream allocated when a write of the index file
    // fails, and tells no reason. So it writes into memory, which does not
    // fail that way, and the bytes go to the file from here.
    std::string bytes;
    int memory = memfd_create("seamline-index", MFD_CLOEXEC);
    const std::string memoryPath = "/proc/self/fd/" + std::to_string(memory);
    bool saved = memory >= 0 &&
                 hts_idx_save_as(index, nullptr, memoryPath.c_str(), indexFormat) == 0 &&
                 lseek(memory, 0, SEEK_SET) == 0;
    char buffer[1 << 16];
    for (ssize_t n = 1; saved && n > 0;) {
        n = read(memory, buffer, sizeof buffer);
        if (n < 0 && errno != EINTR) saved = false;
        if (n > 0) bytes.append(buffer, static_cast<size_t>(n));
    }
    if (memory >= 0) ::close(memory);
    if (!saved) {
        error = "index [" + indexPath + "]: cannot make the index";
        return false;
    }
    int out = ::open(indexPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool ok = out >= 0 && writeAll(out, bytes.data(), bytes.size(), error);
    if (out < 0) error = strerror(errno);
    if (out >= 0 && ::close(out) < 0 && ok) {
        error = strerror(errno);
        ok = false;
    }
    if (!ok) error = "index [" + indexPath + "]: " + error;
    return ok;
}

bool variantWriter::close(std::string& error) {
    if (fd < 0) {
        error = "the file is not open";
        return false;
    }
    bool ok = true;
    if (format != variantFormat::vcf) {
        ok = (block.empty() || finishBlock(error)) && flushBlocks(error);
        if (ok && index) {
            if (hts_idx_finish(index, blockAddress << 16) < 0) {
                error = "cannot finish the index";
                ok = false;
            }
        }
        pending.append(bgzfEndOfFile, sizeof bgzfEndOfFile);
    }
    ok = ok && drain(error);
    if (ownFd && ::close(fd) < 0 && ok) {
        error = strerror(errno);
        ok = false;
    }
    fd = -1;
    ok = ok && (!index || saveIndex(error));
    release();
    return ok;
}
