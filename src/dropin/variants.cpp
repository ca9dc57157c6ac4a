#include "dropin/variants.h"

#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/kseq.h>
#include <htslib/vcf.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <unordered_map>

#include "bits.h"
#include "dropin/gtscan.h"
#include "dropin/sitekeys.h"
#include "failure.h"
#include "text.h"
#include "threads.h"
#include "vcfread.h"

namespace seamline {

namespace {

// One chromosome's records of a file as read, before the sites are numbered.
struct rawPiece {
    std::string chrom;
    size_t firstRecord = 0;
    variantReader::mark start;
    std::vector<uint32_t> checksums;
    std::string alleles;             // every record's REF and ALT joined by a tab, end to end
    std::vector<size_t> alleleEnds;  // per record: where its alleles end
    std::vector<int64_t> positions;
    std::vector<uint32_t> refLengths;
    std::unique_ptr<rowStore> rows;
    byteRows pairs;  // the allele pairs of records with several ALT alleles

    std::string_view allelesOf(size_t r) const {
        const size_t begin = r == 0 ? 0 : alleleEnds[r - 1];
        return std::string_view(alleles).substr(begin, alleleEnds[r] - begin);
    }
};

struct rawFile {
    std::string name;
    std::vector<std::string> samples, contigs;
    headerPtr header;  // with what the records added
    std::vector<rawPiece> pieces;
    size_t records = 0;
};

std::string altOf(const bcf1_t* record) {
    if (record->n_allele < 2) return ".";
    std::string alt = record->d.allele[1];
    for (int a = 2; a < record->n_allele; a++) alt += std::string(",") + record->d.allele[a];
    return alt;
}

// Sets the evidence bits of every sample (in the first chunk's order) from
// found (in the file's order) and, for a record of several ALT alleles, fills
// alleles with each sample's pair.
void storeEvidence(const std::vector<uint16_t>& found, const std::vector<int32_t>& order,
                   uint64_t* bits, uint8_t* alleles) {
    for (size_t j = 0; j < order.size(); j++) {
        const uint16_t e = found[j];
        if (!e) continue;
        if (alleles) alleles[order[j]] = static_cast<uint8_t>(e);
        const uint64_t pair = e & genotypeScanner::firstLower ? 2 : 1;
        bits[order[j] >> 5] |= pair << (2 * (order[j] & 31));
    }
}

// The evidence of every sample of a parsed record, in the file's order.
void parsedEvidence(variantReader& in, size_t samples, int32_t*& gt, int& capacity,
                    std::vector<uint16_t>& found) {
    found.assign(samples, 0);
    bcf1_t* record = in.record();
    const int n = bcf_get_genotypes(in.header(), record, &gt, &capacity);
    if (n <= 0 || samples == 0 || n % samples != 0) return;
    // n / samples values each, as many as the largest ploidy of the record.
    const int each = n / static_cast<int>(samples);
    for (size_t j = 0; j < samples; j++)
        found[j] = decodedEvidence(gt + each * j, each, record->n_allele);
}

// Reads a file's records into its pieces: BCF records through htslib, VCF
// text lines through the genotype scanner where it can read them.
class fileReader {
public:
    fileReader(const chunkFile& file, const std::vector<std::string>& wanted,
               const recordRange& range)
        : in(file.path, file.name), samples(wanted.size()), scanner(in.header()), range(range) {
        const std::string& name = file.name;
        out.name = name;
        out.samples = in.samples();
        out.contigs = in.contigs();
        if (!wanted.empty()) order = sampleOrder(wanted, out.samples, name, "the first chunk");
        if (!range.contig.empty() && range.from > 1) in.skipTo(range.contig, range.from);
    }
    ~fileReader() { free(gt); }
    fileReader(const fileReader&) = delete;
    fileReader& operator=(const fileReader&) = delete;

    rawFile read() {
        for (before = in.here(); !beyond && in.next(); before = in.here(), out.records++) {
            // Before a line of text is parsed, which changes it.
            checksum = in.checksum();
            if (in.text())
                addText();
            else
                addParsed();
        }
        for (rawPiece& p : out.pieces) {
            p.rows->finish();
            p.pairs.finish();
        }
        out.header.reset(bcf_hdr_dup(in.header()));
        if (!out.header) in.fail("out of memory");
        return std::move(out);
    }

private:
    rawFile out;
    variantReader in;
    size_t samples;
    std::vector<int32_t> order;
    genotypeScanner scanner;
    int32_t* gt = nullptr;
    int capacity = 0;
    std::vector<uint16_t> parsed;  // the evidence of a parsed record, by file sample
    variantReader::mark before;    // where the current record stands
    uint32_t checksum = 0;         // the current record's
    const recordRange range;
    bool beyond = false;  // a record after the range was met

    // Whether a record at chrom:pos is one to read; past the range's end,
    // the reading stops.
    bool wanted(std::string_view chrom, int64_t pos) {
        if (range.contig.empty()) return true;
        if (chrom != range.contig) return false;
        beyond = pos > range.until;
        return pos >= range.from && !beyond;
    }

    void addText() {
        if (!scanner.scan(in.line())) {
            addParsed();
            return;
        }
        if (!wanted(scanner.chrom, scanner.pos)) return;
        uint8_t* alleles = nullptr;
        uint64_t* bits = add(std::string(scanner.chrom), scanner.pos, scanner.ref, scanner.alt,
                             static_cast<uint32_t>(scanner.ref.size()), scanner.alleles, alleles);
        if (!order.empty()) storeEvidence(scanner.found, order, bits, alleles);
    }

    void addParsed() {
        uint8_t* alleles = nullptr;
        const bcf1_t* record = in.record();
        if (!wanted(bcf_seqname_safe(in.header(), record), record->pos + 1)) return;
        uint64_t* bits =
            add(bcf_seqname_safe(in.header(), record), record->pos + 1, record->d.allele[0],
                altOf(record), static_cast<uint32_t>(record->rlen), record->n_allele, alleles);
        if (order.empty()) return;
        parsedEvidence(in, order.size(), gt, capacity, parsed);
        storeEvidence(parsed, order, bits, alleles);
    }

    // The piece of chrom, begun when the records before were of another.
    rawPiece& pieceOf(const std::string& chrom) {
        if (!out.pieces.empty() && out.pieces.back().chrom == chrom) return out.pieces.back();
        for (const rawPiece& p : out.pieces)
            if (p.chrom == chrom)
                in.fail("the records of chromosome " + p.chrom + " are not together");
        out.pieces.emplace_back();
        out.pieces.back().chrom = chrom;
        out.pieces.back().firstRecord = out.records;
        out.pieces.back().start = before;
        out.pieces.back().rows = std::make_unique<rowStore>(2 * samples);
        out.pieces.back().pairs = byteRows(samples);
        return out.pieces.back();
    }

    // Adds a record's site and returns its evidence row; alleles is set to
    // the record's allele codes when it has several ALT alleles.
    uint64_t* add(const std::string& chrom, int64_t pos, std::string_view ref, std::string_view alt,
                  uint32_t rlen, int n, uint8_t*& alleles) {
        rawPiece& p = pieceOf(chrom);
        if (!p.positions.empty() && pos < p.positions.back())
            in.fail("the records are not sorted: " + p.chrom + ":" + std::to_string(pos) +
                    " comes after " + p.chrom + ":" + std::to_string(p.positions.back()));
        p.alleles.append(ref).append("\t").append(alt);
        p.alleleEnds.push_back(p.alleles.size());
        p.positions.push_back(pos);
        p.refLengths.push_back(rlen);
        p.checksums.push_back(checksum);
        uint64_t* bits = p.rows->add();
        if (n > 2) alleles = p.pairs.add(static_cast<int32_t>(p.positions.size() - 1));
        return bits;
    }
};

rawFile readFile(const chunkFile& file, const std::vector<std::string>& wanted,
                 const recordRange& range) {
    return fileReader(file, wanted, range).read();
}

// Numbers the sites of every file in output order and makes the pieces.
class siteNumbering {
public:
    explicit siteNumbering(variantSites& out) : out(out) {}

    void add(rawFile& file, size_t index) {
        mergeHeader(file);
        for (const std::string& contig : file.contigs) headerContig(contig);
        for (rawPiece& p : file.pieces) {
            const int32_t contig = contigOf(p.chrom);
            std::vector<int32_t> ids(p.positions.size());
            for (size_t r = 0; r < ids.size(); r++) ids[r] = siteOf(p, r, contig);
            variantPiece piece(file.name, out.samples.size());
            piece.file = index;
            piece.firstRecord = p.firstRecord;
            piece.start = p.start;
            piece.contig = contig;
            piece.rows.rows = std::move(*p.rows);
            piece.rows.alleles = std::move(p.pairs);
            piece.rows.sites = std::move(ids);
            piece.checksums = std::move(p.checksums);
            out.pieces.push_back(std::move(piece));
        }
    }

    // Sorts the sites and renumbers every piece's rows.
    void finish() {
        keys.release();
        out.header = headers.take();
        orderContigs();
        std::vector<int32_t> order(out.sites.size());
        for (size_t i = 0; i < order.size(); i++) order[i] = static_cast<int32_t>(i);
        std::stable_sort(order.begin(), order.end(), [this](int32_t a, int32_t b) {
            const site &x = out.sites[a], &y = out.sites[b];
            return x.contig != y.contig ? x.contig < y.contig : x.pos < y.pos;
        });
        std::vector<int32_t> rank(order.size());
        std::vector<site> sorted;
        sorted.reserve(order.size());
        for (size_t i = 0; i < order.size(); i++) {
            rank[order[i]] = static_cast<int32_t>(i);
            sorted.push_back(out.sites[order[i]]);
        }
        out.sites = std::move(sorted);
        for (variantPiece& p : out.pieces) {
            for (int32_t& id : p.rows.sites) id = rank[id];
            for (size_t r = 1; r < p.rows.sites.size(); r++)
                if (p.rows.sites[r] <= p.rows.sites[r - 1])
                    fail("cannot read [" + p.rows.name + "]: record " +
                         std::to_string(p.firstRecord + r + 1) +
                         " repeats a site or stands in another order than in the chunks before");
        }
        // Of two chunks that start at one record, the one that ends first
        // comes first, so that neither lies within the one before it,
        // whatever the order of their names.
        std::stable_sort(out.pieces.begin(), out.pieces.end(),
                         [](const variantPiece& a, const variantPiece& b) {
                             const std::vector<int32_t>&x = a.rows.sites, &y = b.rows.sites;
                             if (a.contig != b.contig) return a.contig < b.contig;
                             return x[0] != y[0] ? x[0] < y[0] : x.back() < y.back();
                         });
        warnOfOtherNames();
    }

private:
    variantSites& out;
    std::unordered_map<std::string, int32_t> contigs;
    std::vector<std::string> headerContigs;  // of every header, in order, each once
    std::unordered_map<std::string, bool> inHeader;
    headerMerger headers;
    siteKeys keys;

    // Chromosomes named with and without "chr" (chr20, 20) are two to the
    // join; where their records overlap, that is most likely one
    // chromosome named two ways, and its records would come out twice.
    void warnOfOtherNames() const {
        for (size_t a = 0; a < out.pieces.size(); a++)
            for (size_t b = a + 1; b < out.pieces.size(); b++) {
                const variantPiece &x = out.pieces[a], &y = out.pieces[b];
                const std::string &one = out.contigs[x.contig], &two = out.contigs[y.contig];
                if (one == two || withoutChr(one) != withoutChr(two)) continue;
                const int64_t from = std::max(firstPos(x), firstPos(y));
                const int64_t to = std::min(lastPos(x), lastPos(y));
                if (from > to) continue;
                std::cerr << "seamline: warning: [" << x.rows.name << "] names the chromosome "
                          << one << " and [" << y.rows.name << "] names it " << two
                          << "; their records overlap from " << from << " to " << to
                          << " but are joined as two chromosomes" << std::endl;
            }
    }
    int64_t firstPos(const variantPiece& p) const { return out.sites[p.rows.sites.front()].pos; }
    int64_t lastPos(const variantPiece& p) const { return out.sites[p.rows.sites.back()].pos; }

    void headerContig(const std::string& name) {
        if (inHeader.emplace(name, true).second) headerContigs.push_back(name);
    }

    // Numbers the contigs in output order: those the headers name, in their
    // order, then those the records alone name, as they first appeared.
    void orderContigs() {
        std::vector<int32_t> rank(out.contigs.size(), -1);
        std::vector<std::string> ordered;
        for (const std::string& name : headerContigs) {
            auto found = contigs.find(name);
            if (found == contigs.end()) continue;
            rank[found->second] = static_cast<int32_t>(ordered.size());
            ordered.push_back(name);
        }
        for (size_t c = 0; c < out.contigs.size(); c++)
            if (rank[c] < 0) {
                rank[c] = static_cast<int32_t>(ordered.size());
                ordered.push_back(out.contigs[c]);
            }
        for (site& s : out.sites) s.contig = rank[s.contig];
        for (variantPiece& p : out.pieces) p.contig = rank[p.contig];
        out.contigs = std::move(ordered);
    }

    // The header of the output gains the lines of this file's.
    void mergeHeader(rawFile& file) { headers.add(std::move(file.header), file.name); }

    int32_t contigOf(const std::string& name) {
        auto found = contigs.emplace(name, static_cast<int32_t>(out.contigs.size()));
        if (found.second) out.contigs.push_back(name);
        return found.first->second;
    }

    int32_t siteOf(const rawPiece& p, size_t r, int32_t contig) {
        const int32_t number = keys.number(contig, p.positions[r], p.allelesOf(r));
        if (static_cast<size_t>(number) == out.sites.size()) {
            site s{};
            s.pos = p.positions[r];
            s.contig = contig;
            s.refLength = p.refLengths[r];
            out.sites.push_back(s);
        }
        return number;
    }
};

}  // namespace

variantSites readVariantChunks(const std::vector<chunkFile>& files, int threads,
                               const std::vector<std::string>& samples,
                               const std::vector<recordRange>& ranges) {
    variantSites out;
    out.samples = samples.empty() ? variantReader(files[0].path, files[0].name).samples() : samples;
    siteNumbering numbering(out);
    orderedPipeline<rawFile> reading(threads, threads + 1);
    size_t next = 0;
    auto take = [&] {
        const size_t index = next++;
        std::cout << "Reading haplotypes in [" << files[index].name << "]" << std::flush;
        try {
            rawFile file = reading.take();
            std::cout << "\t" << file.records << std::endl;
            numbering.add(file, index);
        } catch (const failure&) {
            std::cout << std::endl;
            while (!reading.empty()) {
                try {
                    reading.take();
                } catch (const failure&) {
                }
            }
            throw;
        }
    };
    const recordRange whole;
    for (size_t f = 0; f < files.size(); f++) {
        while (reading.full()) take();
        const recordRange& range = ranges.empty() ? whole : ranges[f];
        reading.submit(
            [&file = files[f], &out, &range] { return readFile(file, out.samples, range); });
    }
    while (!reading.empty()) take();
    numbering.finish();
    return out;
}

}  // namespace seamline
