#include "passthrough.h"

#include <htslib/hts.h>
#include <htslib/vcf.h>

#include <cstring>
#include <iostream>
#include <memory>

#include "bcfcopy.h"
#include "bits.h"
#include "failure.h"
#include "rawline.h"
#include "records.h"
#include "vcfread.h"
#include "vcfwrite.h"

namespace seamline {

namespace {

// A chunk file read a second time, its records put into the output's
// dictionary and sample order.
class chunkSource {
public:
    chunkSource(const std::string& name, const std::vector<std::string>& samples) : in(name) {
        const std::vector<int32_t> order =
            sampleOrder(samples, in.samples(), name, "the first chunk");
        for (size_t j = 0; j < order.size(); j++)
            if (order[j] != static_cast<int32_t>(j)) permutation = order;
    }

    // Lines of VCF text into VCF, and BCF records into BCF, are copied as
    // they stand where they can be.
    void startCopying(const bcf_hdr_t* output, bool binary) {
        if (in.text() && !binary)
            copier = std::make_unique<lineCopier>(in.header, output, permutation.empty());
        if (!in.text() && binary)
            rawCopier = std::make_unique<bcfCopier>(in.header, output, permutation.empty());
    }

    // Record n of the file as a ready line, GT of the samples of exchange
    // exchanged, when it can be copied; otherwise false.
    bool copyLine(size_t n, const std::vector<uint64_t>& exchange, std::string& out,
                  lineCopier::placement& where) {
        if (!copier) return false;
        const kstring_t& line = in.seekLine(n);
        return copier->copy(std::string_view(line.s, line.l), exchange, out, where);
    }

    // Record n of the BCF file appended to out as it stands, GT of the
    // samples of exchange exchanged, when it can be copied so; otherwise null.
    const bcf1_t* copyRecord(size_t n, const std::vector<uint64_t>& exchange, std::string& out) {
        if (!rawCopier || !rawCopier->usable()) return nullptr;
        const bcf1_t* rec = in.seek(n);
        return rawCopier->copy(rec, exchange, out) ? rec : nullptr;
    }

    // Record n of the file, ready to be written under header.
    bcf1_t* record(size_t n, bcf_hdr_t* header) {
        bcf1_t* rec = in.text() ? (in.seekLine(n), in.parseLine()) : in.seek(n);
        if (bcf_unpack(rec, BCF_UN_ALL) < 0 || bcf_translate(header, in.header, rec) < 0)
            in.refuse("the record at " + std::to_string(rec->pos + 1) + " cannot be copied");
        if (!permutation.empty()) reorder(rec);
        return rec;
    }
    const bcf_hdr_t* header() const { return in.header; }

private:
    recordFile in;
    std::vector<int32_t> permutation;  // file sample j is output sample permutation[j]
    std::vector<uint8_t> scratch;
    std::unique_ptr<lineCopier> copier;
    std::unique_ptr<bcfCopier> rawCopier;

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
bcf_hdr_t* outputHeader(std::vector<std::unique_ptr<chunkSource>>& sources,
                        const variantSites& chunks, const std::string& commandLine) {
    bcf_hdr_t* header = bcf_hdr_dup(sources[0]->header());
    for (size_t f = 1; header && f < sources.size(); f++)
        header = bcf_hdr_merge(header, sources[f]->header());
    if (!header) fail("cannot join the headers of the chunks");
    for (const std::string& contig : chunks.contigs)
        if (bcf_hdr_name2id(header, contig.c_str()) < 0)
            bcf_hdr_printf(header, "##contig=<ID=%s>", contig.c_str());
    std::string line = "##seamlineCommand=" + commandLine;
    for (char& ch : line)
        if (ch == '\n' || ch == '\r') ch = ' ';
    bcf_hdr_append(header, line.c_str());
    if (bcf_hdr_sync(header) < 0) fail("cannot join the headers of the chunks");
    return header;
}

// A record as BCF stores it: the lengths of its two parts, the site's fixed
// fields, then the shared and individual parts. Copying the record brings
// those parts up to date with any edit of its decoded fields.
bool appendBinaryRecord(bcf1_t* rec, bcf1_t* synced, std::string& out) {
    if (rec->errcode || rec->pos < 0 || rec->pos > INT32_MAX || rec->rlen < 0 ||
        rec->rlen > INT32_MAX || !bcf_copy(synced, rec))
        return false;
    appendRecordBytes(rec, out);
    return true;
}

// Per sample, whether row j of an overlap takes the right chunk's fields.
std::vector<uint64_t> fromRight(const boundary& b, int32_t j, size_t samples) {
    std::vector<uint64_t> mask((2 * samples + 63) / 64, 0);
    for (size_t k = 0; k < samples; k++)
        if (b.seam(k) <= j) mask[k >> 5] |= pairMask(k);
    return mask;
}

class recordWriter {
public:
    recordWriter(outputSet& outputs, size_t haplotypes, const std::vector<std::string>& files,
                 const variantSites& chunks, const joinResult& join,
                 const haplotypeSettings& settings)
        : chunks(chunks),
          join(join),
          name(outputs[haplotypes].name),
          pairAt(join.chunks.size() + 1, 0) {
        for (const std::string& file : files)
            sources.push_back(std::make_unique<chunkSource>(file, chunks.samples));
        header = outputHeader(sources, chunks, settings.commandLine);
        const variantFormat format = haplotypeFormat(name, settings.single);
        const bool csi = format == variantFormat::bcf || beyondTbi(chunks.sites);
        indexPath = stageIndex(outputs, haplotypes, csi);
        const std::string path = outputs[haplotypes].path();
        binary = format == variantFormat::bcf;
        const std::string start = binary ? bcfHeaderBytes(header, name) : headerText();
        text = std::make_unique<variantWriter>(
            path, name, format, start, indexPath, csi, settings.threads, header->n[BCF_DT_CTG],
            binary ? blockFormat::bgzfBcfRecords : blockFormat::bgzfVcfRecords);
        for (auto& source : sources) source->startCopying(header, binary);
        blended = bcf_init();
        synced = bcf_init();
    }
    ~recordWriter() {
        if (header) bcf_hdr_destroy(header);
        if (blended) bcf_destroy(blended);
        if (synced) bcf_destroy(synced);
        free(line.s);
    }

    void writeAll() {
        for (size_t i = 0; i < join.sources.size(); i++)
            if (join.sources[i].chunk >= 0) write(join.sources[i]);
        text->close();
    }

private:
    const variantSites& chunks;
    const joinResult& join;
    const std::string name;
    std::vector<std::unique_ptr<chunkSource>> sources;
    bcf_hdr_t* header = nullptr;
    std::unique_ptr<variantWriter> text;
    bool binary = false;               // BCF rather than VCF text
    kstring_t line = {0, 0, nullptr};  // a record as VCF text
    std::string copied;                // a line copied as it stands, or a BCF record
    std::string indexPath;
    bcf1_t* blended = nullptr;
    recordEditor editor;          // its buffers serve every record
    bcf1_t* synced = nullptr;     // where records are copied to bring their parts up to date
    std::vector<int32_t> pairAt;  // per boundary: the next overlap row to look at

    [[noreturn]] void refuse(const std::string& reason) const {
        fail("cannot write [" + name + "]: " + reason);
    }

    // The header as VCF text, the #CHROM line included.
    std::string headerText() {
        line.l = 0;
        if (bcf_hdr_format(header, 0, &line) < 0) refuse("cannot write the header");
        while (line.l > 0 && line.s[line.l - 1] == '\0') line.l--;
        return std::string(line.s, line.l);
    }

    void put(bcf1_t* rec) {
        if (rec->n_sample != static_cast<uint32_t>(bcf_hdr_nsamples(header))) refuseRecord(rec);
        const char* chrom = bcf_hdr_id2name(header, rec->rid);
        if (binary) {
            copied.clear();
            if (!appendBinaryRecord(rec, synced, copied)) refuseRecord(rec);
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
        bcf1_t* rec = sources[piece.file]->record(piece.firstRecord + r, header);
        editor.exchangeHaplotypes(header, rec, join.exchange[c]);
        return rec;
    }

    // The overlap row of boundary b whose left (or right) row is r, or -1.
    int32_t overlapRow(size_t b, int32_t r, bool left) {
        if (b == 0 || b >= join.chunks.size() || join.rule != seamRule::agree) return -1;
        const boundary& bound = join.boundaries[b];
        if (bound.meeting != boundary::kind::overlap) return -1;
        int32_t& j = pairAt[b];
        auto row = [&](int32_t k) { return left ? bound.leftRow(k) : bound.rightRow(k); };
        while (j < bound.rows && row(j) < r) j++;
        return j < bound.rows && row(j) == r ? j : -1;
    }

    void write(const source& s) {
        const size_t c = s.chunk;
        int32_t j = overlapRow(c, s.row, false);
        if (j >= 0) {
            const boundary& b = join.boundaries[c];
            bcf1_t* left = oriented(c - 1, b.leftRow(j));
            put(blend(left, oriented(c, s.row), fromRight(b, j, chunks.samples.size()), true));
        } else if ((j = overlapRow(c + 1, s.row, true)) >= 0) {
            const boundary& b = join.boundaries[c + 1];
            bcf1_t* rec = oriented(c, s.row);
            put(blend(rec, oriented(c + 1, b.rightRow(j)), fromRight(b, j, chunks.samples.size()),
                      false));
        } else if (!copy(c, s.row)) {
            put(oriented(c, s.row));
        }
    }

    // Row r of chunk c copied as it stands, when it can be.
    bool copy(size_t c, int32_t r) {
        const variantPiece& piece = chunks.pieces[c];
        lineCopier::placement where;
        copied.clear();
        if (binary) {
            const bcf1_t* rec =
                sources[piece.file]->copyRecord(piece.firstRecord + r, join.exchange[c], copied);
            if (rec)
                text->writeLine(rec->rid, bcf_hdr_id2name(header, rec->rid), rec->pos,
                                rec->pos + rec->rlen, copied);
            return rec != nullptr;
        }
        if (!sources[piece.file]->copyLine(piece.firstRecord + r, join.exchange[c], copied, where))
            return false;
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

}  // namespace

void writeRecords(outputSet& outputs, size_t haplotypes, const std::vector<std::string>& files,
                  const variantSites& chunks, const joinResult& join,
                  const haplotypeSettings& settings) {
    std::cout << "Writing haplotypes in [" << outputs[haplotypes].name << "]" << std::endl;
    recordWriter writer(outputs, haplotypes, files, chunks, join, settings);
    writer.writeAll();
}

}  // namespace seamline
