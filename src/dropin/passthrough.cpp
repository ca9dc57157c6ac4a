#include "dropin/passthrough.h"

#include <htslib/hts.h>
#include <htslib/vcf.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>

#include "bits.h"
#include "dropin/bcfcopy.h"
#include "dropin/phasesets.h"
#include "dropin/rawline.h"
#include "dropin/records.h"
#include "failure.h"
#include "regions.h"
#include "vcfread.h"
#include "vcfwrite.h"

namespace seamline {

namespace {

// A chunk file read a second time, its records put into the output's
// dictionary and sample order.
class chunkSource {
public:
    chunkSource(const chunkFile& file, const std::vector<std::string>& samples)
        : in(file.path, file.name) {
        const std::vector<int32_t> order =
            sampleOrder(samples, in.samples(), file.name, "the first chunk");
        for (size_t j = 0; j < order.size(); j++)
            if (order[j] != static_cast<int32_t>(j)) permutation = order;
    }

    // Lines of VCF text into VCF, and BCF records into BCF, are copied as
    // they stand where they can be.
    void startCopying(const bcf_hdr_t* output, bool binary) {
        if (in.text() && !binary)
            copier = std::make_unique<lineCopier>(in.header(), output, permutation.empty());
        if (!in.text() && binary)
            rawCopier = std::make_unique<bcfCopier>(in.header(), output, permutation.empty());
    }

    // Row r of a piece of this file as a ready line, GT of the samples of
    // exchange exchanged, when it can be copied; otherwise false.
    bool copyLine(const variantPiece& piece, int32_t r, const std::vector<uint64_t>& exchange,
                  std::string& out, lineCopier::placement& where) {
        if (!copier) return false;
        moveTo(piece, r);
        return copier->copy(in.line(), exchange, out, where);
    }

    // Row r of a piece of this BCF file appended to out as it stands, GT of
    // the samples of exchange exchanged, when it can be copied so; otherwise
    // null.
    const bcf1_t* copyRecord(const variantPiece& piece, int32_t r,
                             const std::vector<uint64_t>& exchange, std::string& out) {
        if (!rawCopier || !rawCopier->usable()) return nullptr;
        moveTo(piece, r);
        const bcf1_t* rec = in.record();
        return rawCopier->copy(rec, exchange, out) ? rec : nullptr;
    }

    // Row r of a piece of this file, ready to be written under header.
    bcf1_t* record(const variantPiece& piece, int32_t r, bcf_hdr_t* header) {
        moveTo(piece, r);
        bcf1_t* rec = in.record();
        if (bcf_unpack(rec, BCF_UN_ALL) < 0 || bcf_translate(header, in.header(), rec) < 0)
            in.fail("the record at " + std::to_string(rec->pos + 1) + " cannot be copied");
        if (!permutation.empty()) reorder(rec);
        return rec;
    }

private:
    variantReader in;
    std::vector<int32_t> permutation;  // file sample j is output sample permutation[j]
    std::vector<uint8_t> scratch;
    std::unique_ptr<lineCopier> copier;
    std::unique_ptr<bcfCopier> rawCopier;
    const variantPiece* current = nullptr;  // the piece read last

    // Moves to the record of row r of a piece: reading on, or, to go back or
    // to skip the other pieces, from where the piece starts. A record read
    // anew must be the one read first.
    void moveTo(const variantPiece& piece, int32_t r) {
        const size_t n = piece.firstRecord + r, at = in.count();
        if (n + 1 == at && current == &piece) return;
        if (n + 1 < at || (current != &piece && piece.start.offset >= 0)) in.restart(piece.start);
        current = &piece;
        in.seek(n);
        if (in.checksum() != piece.checksums[r])
            in.fail("record " + std::to_string(n + 1) +
                    " is not the one read first: the file has changed since");
    }

    // Moves every sample's FORMAT values to its place in the output.
    void reorder(bcf1_t* rec) {
        for (int i = 0; i < rec->n_fmt; i++) {
            bcf_fmt_t& f = rec->d.fmt[i];
            const size_t each = static_cast<size_t>(f.size);
            scratch.assign(f.p, f.p + each * permutation.size());
            for (size_t j = 0; j < permutation.size(); j++)
                memcpy(f.p + each * permutation[j], scratch.data() + each * j, each);
        }
    }
};

// The output's header: the first chunk's, with the lines the others add,
// every chromosome of the records and the command line.

// Writes records of the join, read a second time from their chunk files, to
// an output of the caller's under header (which it neither owns nor closes).
class recordWriter {
public:
    recordWriter(const std::vector<chunkFile>& files, const variantSites& chunks,
                 const joinResult& join, const bcf_hdr_t* header, variantWriter& out,
                 const std::string& name, bool binary, const haplotypeSettings& settings = {})
        : chunks(chunks),
          join(join),
          name(name),
          header(const_cast<bcf_hdr_t*>(header)),
          text(&out),
          binary(binary),
          seams(join),
          regions(settings.regions) {
        if (settings.phaseSets && settings.phaseSets->write) {
            links = linkedPhaseSets(join, *settings.phaseSets);
            phaseSets = std::make_unique<phaseSetWriter>(links, chunks.samples.size(),
                                                         settings.phaseSets->compact);
        }
        for (const chunkFile& file : files)
            sources.push_back(std::make_unique<chunkSource>(file, chunks.samples));
        for (auto& source : sources) source->startCopying(header, binary);
        blended = bcf_init();
        synced = bcf_init();
        if (!blended || !synced) refuse("out of memory");
    }
    ~recordWriter() {
        if (blended) bcf_destroy(blended);
        if (synced) bcf_destroy(synced);
        free(line.s);
    }
    recordWriter(const recordWriter&) = delete;
    recordWriter& operator=(const recordWriter&) = delete;

    // Every site the join maps, in order, within the regions.
    void writeAll() {
        for (size_t i = 0; i < join.sources.size(); i++)
            if (join.sources[i].chunk >= 0 && inRegions(chunks.sites[i])) write(join.sources[i]);
    }

private:
    const variantSites& chunks;
    const joinResult& join;
    const std::string name;
    std::vector<std::unique_ptr<chunkSource>> sources;
    bcf_hdr_t* header;  // htslib's editing functions take it as not const
    variantWriter* text;
    bool binary = false;               // BCF rather than VCF text
    kstring_t line = {0, 0, nullptr};  // a record as VCF text
    std::string copied;                // a line copied as it stands, or a BCF record
    bcf1_t* blended = nullptr;
    recordEditor editor;       // its buffers serve every record
    bcf1_t* synced = nullptr;  // where records are copied to bring their parts up to date
    seamBlender seams;
    const regionList* regions;
    std::vector<std::vector<uint64_t>> links;
    std::unique_ptr<phaseSetWriter> phaseSets;

    // A site within the regions, by its POS or REF; by its variant, which
    // only its record tells, the record is asked in write().
    bool inRegions(const site& s) const {
        if (!regions) return true;
        const int64_t begin = s.pos - 1;
        return regions->meets(chunks.contigs[s.contig], begin,
                              regions->overlap() == 0 ? begin : begin + s.refLength - 1);
    }
    bool variantInRegions(bcf1_t* rec) const {
        if (!regions || regions->overlap() != 2) return true;
        if (bcf_unpack(rec, BCF_UN_STR) < 0) refuseRecord(rec);
        return regions->meets(bcf_seqname(header, rec),
                              variantBegin(rec->pos, rec->d.allele, rec->n_allele, rec->rlen),
                              rec->pos + rec->rlen - 1);
    }

    [[noreturn]] void refuse(const std::string& reason) const {
        fail("cannot write [" + name + "]: " + reason);
    }

    void put(bcf1_t* rec) {
        if (rec->n_sample != static_cast<uint32_t>(bcf_hdr_nsamples(header))) refuseRecord(rec);
        const char* chrom = bcf_hdr_id2name(header, rec->rid);
        if (binary) {
            copied.clear();
            if (!appendBcfRecord(copied, rec, synced)) refuseRecord(rec);
            text->writeLine(rec->rid, chrom, rec->pos, rec->pos + rec->rlen, copied);
            return;
        }
        line.l = 0;
        if (vcf_format(header, rec, &line) < 0) refuseRecord(rec);
        text->writeLine(rec->rid, chrom, rec->pos, rec->pos + rec->rlen,
                        std::string_view(line.s, line.l));
    }

    [[noreturn]] void refuseRecord(const bcf1_t* rec) const {
        refuse("cannot write the record at " + std::to_string(rec->pos + 1));
    }

    // Row r of chunk c, oriented as written.
    bcf1_t* oriented(size_t c, int32_t r) {
        const variantPiece& piece = chunks.pieces[c];
        bcf1_t* rec = sources[piece.file]->record(piece, r, header);
        editor.exchangeHaplotypes(header, rec, join.exchange[c]);
        return rec;
    }

    void write(const source& s) {
        const size_t c = s.chunk;
        seamBlender::blend b;
        // Phase sets and variants within regions are told from whole records.
        const bool whole = phaseSets || (regions && regions->overlap() == 2);
        bcf1_t* rec = nullptr;
        if (seams.find(c, s.row, b)) {
            // The right chunk's record is read after the left one's, which
            // stays valid: they come from two files.
            bcf1_t* left = oriented(b.right - 1, b.leftRow);
            rec = blend(left, oriented(b.right, b.rightRow), *b.fromRight, b.right == c);
            if (phaseSets) phaseSets->apply(header, rec, b.right - 1, b.fromRight);
        } else if (whole || !copy(c, s.row)) {
            rec = oriented(c, s.row);
            if (phaseSets) phaseSets->apply(header, rec, c, nullptr);
        }
        if (rec && variantInRegions(rec)) put(rec);
    }

    // Row r of chunk c copied as it stands, when it can be.
    bool copy(size_t c, int32_t r) {
        const variantPiece& piece = chunks.pieces[c];
        lineCopier::placement where;
        copied.clear();
        if (binary) {
            const bcf1_t* rec = sources[piece.file]->copyRecord(piece, r, join.exchange[c], copied);
            if (rec)
                text->writeLine(rec->rid, bcf_hdr_id2name(header, rec->rid), rec->pos,
                                rec->pos + rec->rlen, copied);
            return rec != nullptr;
        }
        if (!sources[piece.file]->copyLine(piece, r, join.exchange[c], copied, where)) return false;
        text->writeLine(where.rid, bcf_hdr_id2name(header, where.rid), where.begin, where.end,
                        copied);
        return true;
    }

    bcf1_t* blend(bcf1_t* left, bcf1_t* right, const std::vector<uint64_t>& mask,
                  bool siteFromRight) {
        editor.blendSamples(header, left, right, mask, siteFromRight, blended);
        return blended;
    }
};

// BCF holds positions below 2^31; a record beyond is refused before
// anything is written, naming the chunk and the record.
void refuseBeyondBcf(const std::vector<chunkFile>& files, const variantSites& chunks,
                     const joinResult& join, const std::string& name) {
    for (size_t c = 0; c < join.chunks.size(); c++)
        for (size_t r = 0; r < join.chunks[c].sites.size(); r++) {
            const variantPiece& piece = chunks.pieces[c];
            const site& s = chunks.sites[join.chunks[c].sites[r]];
            if (s.pos < INT32_MAX && s.pos - 1 + s.refLength < INT32_MAX) continue;
            fail("cannot write [" + name + "]: record " +
                 std::to_string(piece.firstRecord + r + 1) + " of [" + files[piece.file].name +
                 "] is at " + chunks.contigs[s.contig] + ":" + std::to_string(s.pos) +
                 ", beyond the positions BCF holds (up to 2147483647); write VCF instead");
        }
}

// The end of the record that ends last, which the index must cover.
int64_t reachOf(const variantSites& chunks) {
    int64_t end = 0;
    for (const site& s : chunks.sites) end = std::max(end, s.pos - 1 + s.refLength);
    return end;
}

}  // namespace

headerPtr outputHeader(const bcf_hdr_t* chunksHeader, const std::vector<std::string>& contigs,
                       const std::string& commandLine) {
    headerPtr header(bcf_hdr_dup(chunksHeader));
    if (!header) fail("cannot join the headers of the chunks");
    bool made = true;
    for (const std::string& contig : contigs)
        if (bcf_hdr_name2id(header.get(), contig.c_str()) < 0)
            made &= bcf_hdr_printf(header.get(), "##contig=<ID=%s>", contig.c_str()) == 0;
    if (!commandLine.empty()) {
        made &= bcf_hdr_append(header.get(), "##source=seamline " SEAMLINE_VERSION) == 0;
        std::string line = "##seamlineCommand=" + commandLine;
        for (char& ch : line)
            if (ch == '\n' || ch == '\r') ch = ' ';
        made &= bcf_hdr_append(header.get(), line.c_str()) == 0;
    }
    if (!made || bcf_hdr_sync(header.get()) < 0) fail("cannot join the headers of the chunks");
    return header;
}

variantWriter::readyHeader readyHeaderOf(const bcf_hdr_t* header, bool binary, int64_t reach,
                                         const std::string& name) {
    variantWriter::readyHeader ready;
    if (binary) {
        ready.text = bcfHeaderBytes(header, name);
    } else {
        kstring_t text = {0, 0, nullptr};
        if (bcf_hdr_format(header, 0, &text) < 0) {
            free(text.s);
            fail("cannot write [" + name + "]: cannot write the header");
        }
        ready.text.assign(text.s, text.l);
        free(text.s);
        while (!ready.text.empty() && ready.text.back() == '\0') ready.text.pop_back();
    }
    for (int i = 0; i < header->n[BCF_DT_CTG]; i++)
        ready.contigs.emplace_back(bcf_hdr_id2name(header, i));
    ready.reach = reach;
    return ready;
}

void writeRecords(outputSet& outputs, size_t haplotypes, const std::vector<chunkFile>& files,
                  const variantSites& chunks, const joinResult& join,
                  const haplotypeSettings& settings) {
    const std::string name = outputs[haplotypes].name;
    std::cout << "Writing haplotypes in [" << name << "]" << std::endl;
    const headerPtr header =
        outputHeader(chunks.header.get(), chunks.contigs, settings.commandLine);
    if (settings.phaseSets && settings.phaseSets->write) declarePhaseSet(header.get());
    const variantFormat format = haplotypeFormat(name, settings.format, settings.single);
    const bool binary = binaryFormat(format);
    if (binary) refuseBeyondBcf(files, chunks, join, name);
    const bool far = beyondTbi(chunks.sites);
    if (settings.index == 't' && format == variantFormat::vcfgz && far)
        fail("cannot write [" + name +
             "]: a record lies beyond what a TBI index holds (2^29); "
             "write a CSI index instead (-W csi)");
    const bool csi = binary || far || settings.index == 'c';
    const std::string indexPath = stageIndex(outputs, haplotypes, csi, settings);
    variantWriter out(outputs[haplotypes].path(), name, format,
                      readyHeaderOf(header.get(), binary, reachOf(chunks), name), indexPath, csi,
                      settings.threads,
                      binary ? blockFormat::bgzfBcfRecords : blockFormat::bgzfVcfRecords);
    recordWriter(files, chunks, join, header.get(), out, name, binary, settings).writeAll();
    out.close();
}

void writeRecordPiece(const std::string& path, const std::string& name, variantFormat format,
                      const bcf_hdr_t* header, const std::vector<chunkFile>& files,
                      const variantSites& chunks, const joinResult& join,
                      std::vector<variantWriter::pieceEntry>& entries, int threads) {
    const bool binary = binaryFormat(format);
    if (binary) refuseBeyondBcf(files, chunks, join, name);
    variantWriter out(path, name, format, readyHeaderOf(header, binary, 0, name), entries, threads,
                      binary ? blockFormat::bgzfBcfRecords : blockFormat::bgzfVcfRecords);
    recordWriter(files, chunks, join, header, out, name, binary).writeAll();
    out.close();
}

}  // namespace seamline
