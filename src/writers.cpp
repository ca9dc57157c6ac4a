#include "writers.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iostream>
#include <memory>

#include "bits.h"
#include "failure.h"
#include "files.h"
#include "vcfwrite.h"

namespace seamline {

namespace {

std::string reasonOf(int error, const char* fallback) { return error ? strerror(error) : fallback; }

// Opens an output file for its writer; messages name the output as given.
class outputFile : public ofile {
public:
    outputFile(const output& out, int threads = 1)
        : outputFile(out.path(), out.name, compressionOfName(out.path()), threads) {}
    outputFile(const std::string& path, const std::string& name, compression how, int threads)
        : ofile(path, how, threads), name(name) {
        if (!isOpen())
            seamline::fail("cannot open [" + name + "]: " + reasonOf(openError(), "unknown error"));
    }
    void put(std::string& text) {
        write(text.data(), static_cast<std::streamsize>(text.size()));
        text.clear();
    }
    // A failed write, flush or compressed trailer is a failure.
    void finish() {
        bool failed = bad();
        close();
        if (failed || bad()) failOutput(name, reasonOf(errno, "write error"));
    }

private:
    std::string name;
};

// Text is gathered into blocks of about a megabyte before it is written.
const size_t textBlock = size_t(1) << 20;

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

void writeText(outputFile& file, const siteMap& sites, const joinResult& join) {
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

// An index is written beside a compressed VCF or a BCF file that is put in
// place, not into a device, a pipe or standard output.
bool indexed(const output& out) {
    const variantFormat format = variantFormatOf(out.name);
    return (format == variantFormat::vcfgz || format == variantFormat::bcf) && !out.temp.empty();
}

std::string indexName(const std::string& haplotypes, bool csi) {
    return haplotypes + (csi ? ".csi" : ".tbi");
}

// The file of an output written by copying, or -1 with errno set.
int openOutput(const output& out) {
    if (out.path() == "-") return STDOUT_FILENO;
    return ::open(out.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

// TBI holds records that begin below 2^29 and end at 2^29 at most (0-based
// begin pos - 1, end begin + REF length); a site beyond that needs CSI.
}  // namespace

bool beyondTbi(const std::vector<site>& sites) {
    const int64_t reach = int64_t(1) << 29;
    for (const site& s : sites)
        if (s.pos >= reach || int64_t(s.pos) - 1 + s.refLength > reach) return true;
    return false;
}

std::string stageIndex(outputSet& outputs, size_t haplotypes, bool csi) {
    if (!indexed(outputs[haplotypes])) return "";
    return outputs[outputs.add(indexName(outputs[haplotypes].name, csi))].path();
}

namespace {

variantWriter::header headerOf(const siteMap& sites, const std::string& commandLine) {
    variantWriter::header h;
    h.contigLines = sites.contigLines();
    h.contigs = sites.contigs();
    h.samples = sites.samples();
    h.source = "seamline " SEAMLINE_VERSION;
    h.command = commandLine;
    return h;
}

void writeRecords(variantWriter& writer, const siteMap& sites, const joinResult& join) {
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
std::unique_ptr<variantWriter> wholeWriter(outputSet& outputs, size_t haplotypes,
                                           const siteMap& sites,
                                           const haplotypeSettings& settings) {
    const std::string name = outputs[haplotypes].name;
    const variantFormat format = haplotypeFormat(name, settings.single);
    const bool csi = format == variantFormat::bcf || beyondTbi(sites.sites());
    const std::string indexPath = stageIndex(outputs, haplotypes, csi);
    return std::make_unique<variantWriter>(outputs[haplotypes].path(), name, format,
                                           headerOf(sites, settings.commandLine), indexPath, csi,
                                           settings.threads);
}

}  // namespace

void writeSamples(const output& out, const std::vector<std::string>& samples) {
    std::cout << "Writing samples in [" << out.name << "]" << std::endl;
    outputFile file(out);
    file << "ID_1 ID_2 missing\n0 0 0\n";
    for (const std::string& id : samples) file << id << " " << id << " 0\n";
    file.finish();
}

void writeReport(const output& out, const joinResult& join, const std::vector<std::string>& samples,
                 const std::vector<bool>& scaffolded, bool seamColumn) {
    std::cout << "Writing report in [" << out.name << "]" << std::endl;
    outputFile file(out);
    file << "left\tright\tsample\toverlap\tkeep\tswap\tdecision\tquality"
         << (seamColumn ? "\tseam\n" : "\n");
    std::string text;
    for (size_t c = 1; c < join.chunks.size(); c++) {
        const boundary& b = join.boundaries[c];
        // A chromosome's first chunk has no boundary before it.
        if (b.meeting == boundary::kind::start) continue;
        const bool gap = b.meeting == boundary::kind::gap;
        std::string names = join.chunks[c - 1].name + "\t" + join.chunks[c].name + "\t";
        std::string overlap = "\t" + std::to_string(b.rows()) + "\t";
        for (size_t k = 0; k < samples.size(); k++) {
            const int32_t keep = gap ? 0 : b.keep[k], swap = gap ? 0 : b.swap[k];
            const char* decision = scaffolded[k] ? "scaffold"
                                   : gap         ? "gap"
                                   : swap > keep ? "swap"
                                                 : "keep";
            text += names + samples[k] + overlap + std::to_string(keep) + "\t" +
                    std::to_string(swap) + "\t" + decision + "\t" +
                    std::to_string(reportQuality(keep, swap));
            if (seamColumn) text += "\t" + std::to_string(gap ? 0 : b.seam(k));
            text += "\n";
            if (text.size() >= textBlock) file.put(text);
        }
    }
    file.put(text);
    file.finish();
}

void writeHaplotypes(outputSet& outputs, size_t haplotypes, const siteMap& sites,
                     const joinResult& join, const haplotypeSettings& settings) {
    const output& out = outputs[haplotypes];
    std::cout << "Writing haplotypes in [" << out.name << "]" << std::endl;
    if (haplotypeFormat(out.name, settings.single) != variantFormat::none) {
        writeRecords(*wholeWriter(outputs, haplotypes, sites, settings), sites, join);
    } else {
        outputFile file(out, settings.threads);
        writeText(file, sites, join);
    }
}

void writeStretch(const std::string& path, const std::string& name, const std::string& haplotypes,
                  const siteMap& sites, const joinResult& join, const haplotypeSettings& settings,
                  std::vector<variantWriter::pieceEntry>& entries) {
    const variantFormat format = haplotypeFormat(haplotypes, settings.single);
    if (format != variantFormat::none) {
        variantWriter writer(path, name, format, headerOf(sites, ""), entries, settings.threads);
        writeRecords(writer, sites, join);
    } else {
        outputFile file(path, name, compressionOfName(haplotypes), settings.threads);
        writeText(file, sites, join);
    }
}

void gatherHaplotypes(outputSet& outputs, size_t haplotypes, const siteMap& sites,
                      const std::vector<stretchFile>& stretches,
                      const haplotypeSettings& settings) {
    const output& out = outputs[haplotypes];
    std::cout << "Writing haplotypes in [" << out.name << "]" << std::endl;
    std::unique_ptr<variantWriter> writer;
    int fd = -1;
    if (haplotypeFormat(out.name, settings.single) != variantFormat::none)
        writer = wholeWriter(outputs, haplotypes, sites, settings);
    else if ((fd = openOutput(out)) < 0)
        fail("cannot open [" + out.name + "]: " + strerror(errno));
    for (const stretchFile& stretch : stretches) {
        int from = ::open(stretch.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (from < 0) fail("cannot read [" + stretch.path + "]: " + strerror(errno));
        std::string problem;
        try {
            if (writer)
                writer->appendPiece(from, stretch.size, stretch.entries);
            else
                problem = copyBytes(from, fd, stretch.size);
        } catch (...) {
            ::close(from);
            if (fd >= 0 && fd != STDOUT_FILENO) ::close(fd);
            throw;
        }
        ::close(from);
        if (!problem.empty()) {
            if (fd != STDOUT_FILENO) ::close(fd);
            failOutput(out.name, problem);
        }
    }
    if (writer) writer->close();
    if (fd >= 0 && fd != STDOUT_FILENO && ::close(fd) < 0) failOutput(out.name, strerror(errno));
}

variantFormat haplotypeFormat(const std::string& name, bool single) {
    return single && name == "-" ? variantFormat::vcf : variantFormatOf(name);
}

void reserveIndex(outputSet& outputs, size_t haplotypes) {
    if (!indexed(outputs[haplotypes])) return;
    const std::string name = outputs[haplotypes].name;
    if (variantFormatOf(name) == variantFormat::vcfgz) outputs.reserve(indexName(name, false));
    outputs.reserve(indexName(name, true));
}

int reportQuality(int32_t keep, int32_t swap) {
    if (keep == 0 && swap == 0) return 0;
    if (keep == 0 || swap == 0) return 99;
    double f = static_cast<double>(keep) / (keep + swap);
    double q = 99 * (0.7 + f * std::log(f) + (1 - f) * std::log(1 - f)) / 0.7;
    return static_cast<int>(std::lround(std::min(99.0, std::max(0.0, q))));
}

}  // namespace seamline
