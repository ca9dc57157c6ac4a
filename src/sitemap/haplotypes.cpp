#include "sitemap/haplotypes.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>

#include "bits.h"
#include "failure.h"

namespace seamline {

namespace {

// Walks the mapped sites in site-map order and gives each one's row as it is
// written: every sample's pair in its written orientation, from the chunk
// that supplies the site, or, in an overlap with seams where the chunks
// agree, from the side of that sample's seam.
class joinedRows {
public:
    explicit joinedRows(const joinResult& join)
        : join(join),
          seams(join),
          cursors(join.chunks.size()),
          row(join.chunks.empty() ? 0 : join.chunks[0].rows.words()),
          other(row.size()) {}

    // The next mapped site and its row; false after the last.
    bool next(size_t& site, const uint64_t*& bits) {
        while (at < join.sources.size() && join.sources[at].chunk < 0) at++;
        if (at == join.sources.size()) return false;
        site = at;
        const source s = join.sources[at++];
        const size_t c = s.chunk;
        // Cursors of chunks the walk has left behind are released.
        if (c >= 2) cursors[c - 2].reset();
        bits = row.data();
        seamBlender::blend b;
        if (!seams.find(c, s.row, b)) {
            written(stored(c, s.row), c, row.data());
            return true;
        }
        // Each sample from the left chunk before its seam, from the right one from it on.
        written(stored(b.right - 1, b.leftRow), b.right - 1, row.data());
        written(stored(b.right, b.rightRow), b.right, other.data());
        const std::vector<uint64_t>& fromRight = *b.fromRight;
        for (size_t w = 0; w < row.size(); w++)
            row[w] = (row[w] & ~fromRight[w]) | (other[w] & fromRight[w]);
        return true;
    }

private:
    const joinResult& join;
    seamBlender seams;
    std::vector<std::unique_ptr<rowCursor>> cursors;  // per chunk, while the walk needs it
    std::vector<uint64_t> row, other;
    size_t at = 0;  // the next site to look at

    const uint64_t* stored(size_t c, size_t r) {
        if (!cursors[c]) cursors[c] = std::make_unique<rowCursor>(join.chunks[c].rows);
        return cursors[c]->row(r);
    }

    void written(const uint64_t* bits, size_t c, uint64_t* out) const {
        const std::vector<uint64_t>& mask = join.exchange[c];
        for (size_t w = 0; w < mask.size(); w++) out[w] = orientPairs(bits[w], mask[w]);
    }
};

// Text of every byte of haplotype bits: " b0 b1 ... b7".
struct codeTable {
    char text[256][16];
    codeTable() {
        for (int byte = 0; byte < 256; byte++)
            for (int b = 0; b < 8; b++) {
                text[byte][2 * b] = ' ';
                text[byte][2 * b + 1] = (byte >> b) & 1 ? '1' : '0';
            }
    }
};

// Appends " v" for each of the nbits bits.
void appendCodes(std::string& out, const uint64_t* bits, size_t nbits) {
    static const codeTable table;
    size_t at = out.size();
    out.resize(at + 2 * nbits);
    char* p = &out[at];
    size_t i = 0;
    for (; i + 8 <= nbits; i += 8, p += 16)
        memcpy(p, table.text[(bits[i >> 6] >> (i & 63)) & 0xff], 16);
    for (; i < nbits; i++, p += 2) {
        p[0] = ' ';
        p[1] = (bits[i >> 6] >> (i & 63)) & 1 ? '1' : '0';
    }
}

}  // namespace

void writeHaplotypeText(outputFile& file, const siteMap& sites, const joinResult& join) {
    const size_t nbits = 2 * sites.samples().size();
    std::string text;
    joinedRows joined(join);
    size_t at;
    const uint64_t* row;
    while (joined.next(at, row)) {
        const site& s = sites.sites()[at];
        text += std::to_string(s.chr);
        text += ' ';
        text += sites.id(s);
        text += ' ';
        text += std::to_string(s.pos);
        text += ' ';
        text += sites.ref(s);
        text += ' ';
        text += sites.alt(s);
        appendCodes(text, row, nbits);
        text += '\n';
        if (text.size() >= textBlock) {
            file.put(text);
            if (file.bad()) break;
        }
    }
    file.put(text);
    file.finish();
}

variantWriter::header haplotypeHeader(const siteMap& sites, const std::string& commandLine) {
    variantWriter::header h;
    h.contigLines = sites.contigLines();
    h.contigs = sites.contigs();
    h.samples = sites.samples();
    h.source = "seamline " SEAMLINE_VERSION;
    h.command = commandLine;
    return h;
}

void writeHaplotypeRecords(variantWriter& writer, const siteMap& sites, const joinResult& join) {
    joinedRows joined(join);
    size_t at;
    const uint64_t* row;
    while (joined.next(at, row)) {
        const site& s = sites.sites()[at];
        writer.write(s.contig, s.pos, sites.id(s), sites.ref(s), sites.alt(s), row);
    }
    writer.close();
}

// The writer of a whole VCF or BCF output, its index staged beside it.
std::unique_ptr<variantWriter> haplotypeWriter(outputSet& outputs, size_t haplotypes,
                                               const variantWriter::header& header, bool farSites,
                                               const haplotypeSettings& settings) {
    const std::string name = outputs[haplotypes].name;
    const variantFormat format = haplotypeFormat(name, settings.single);
    const bool csi = format == variantFormat::bcf || farSites;
    const std::string indexPath = stageIndex(outputs, haplotypes, csi);
    return std::make_unique<variantWriter>(outputs[haplotypes].path(), name, format, header,
                                           indexPath, csi, settings.threads);
}

void writeHaplotypes(outputSet& outputs, size_t haplotypes, const siteMap& sites,
                     const joinResult& join, const haplotypeSettings& settings) {
    const output& out = outputs[haplotypes];
    std::cout << "Writing haplotypes in [" << out.name << "]" << std::endl;
    if (haplotypeFormat(out.name, settings.single) != variantFormat::none) {
        const variantWriter::header header = haplotypeHeader(sites, settings.commandLine);
        writeHaplotypeRecords(
            *haplotypeWriter(outputs, haplotypes, header, beyondTbi(sites.sites()), settings),
            sites, join);
    } else {
        outputFile file(out, settings.threads);
        writeHaplotypeText(file, sites, join);
    }
}

}  // namespace seamline
