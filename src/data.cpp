#include "data.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>

#include "chunkrow.h"
#include "failure.h"
#include "threads.h"
#include "utils.h"
#include "vcfread.h"
#include "vcfwrite.h"

namespace {

// strtol with base 10, narrowed to 32 bits; text without a leading number is 0.
int32_t toInt32(std::string_view field) {
    return static_cast<int32_t>(strtol(std::string(field).c_str(), nullptr, 10));
}

bool isPosition(int64_t value) { return value >= 1 && value <= INT32_MAX; }

// A position is a whole decimal number from 1 to 2^31 - 1, nothing else.
bool parsePosition(std::string_view field, int32_t& pos) {
    if (field.empty()) return false;
    int64_t value = 0;
    for (char ch : field) {
        if (ch < '0' || ch > '9') return false;
        value = value * 10 + (ch - '0');
        if (value > INT32_MAX) return false;
    }
    pos = static_cast<int32_t>(value);
    return isPosition(value);
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string badPosition(std::string_view field) {
    return "position " + quoted(field) + " is not a whole number from 1 to 2147483647";
}

// Text inputs may come with Windows line ends.
void dropCarriageReturn(std::string_view& line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// A chromosome is named with or without a leading "chr".
std::string_view withoutChr(std::string_view chrom) {
    return startsWith(chrom, "chr") ? chrom.substr(3) : chrom;
}

// Of a site map line too long to hold, the part that the reader looks at: a
// header line whole, nothing of another "#" line, the five leading columns of
// a data row. npos asks for more of the line.
size_t siteMapColumns(std::string_view partial) {
    if (startsWith(partial, "#CHR")) return std::string_view::npos;
    if (startsWith(partial, "#")) return 1;
    size_t fields = 0, i = 0;
    while (i < partial.size()) {
        while (i < partial.size() && partial[i] == '\t') i++;
        while (i < partial.size() && partial[i] != '\t') i++;
        if (i == partial.size()) break;
        if (++fields == 5) return i;
    }
    return std::string_view::npos;
}

// An ALT of exactly one allele, neither "." nor "0" (items between commas;
// empty items do not count).
bool isSingleAllele(std::string_view alt) {
    std::string_view first;
    size_t items = 0;
    for (size_t i = 0; i < alt.size();) {
        size_t comma = alt.find(',', i);
        if (comma == std::string_view::npos) comma = alt.size();
        if (comma > i && items++ == 0) first = alt.substr(i, comma - i);
        i = comma + 1;
    }
    return items == 1 && first != "." && first != "0";
}

std::string reasonOf(int error, const char* fallback) { return error ? strerror(error) : fallback; }

void requireOpen(const ifile& in) {
    if (!in.fd.is_open())
        futils::fatal("cannot open [" + in.name() + "]: " + reasonOf(in.error, "unknown error"));
}

// A read loop ends both at the end of the data and at a decompression or
// read error; only the bad state tells the two apart.
void requireReadToEnd(const ifile& in) {
    if (in.bad())
        futils::fatal("cannot read [" + in.name() + "]: the file is damaged or unreadable");
}

[[noreturn]] void badLine(const std::string& name, const std::string& where,
                          const std::string& what) {
    futils::fatal("cannot read [" + name + "] " + where + ": " + what);
}

std::string lineAt(size_t lineNo) { return "line " + std::to_string(lineNo); }

// Ends an open "Reading haplotypes in [" line before a failure message on
// standard error, so that both streams stay line by line on a terminal.
[[noreturn]] void stopReading(const std::string& message) {
    std::cout << std::endl;
    futils::fatal(message);
}

// The outputs separate their fields with spaces: a site's ID, REF or ALT
// that holds one, described; empty when none does.
std::string spaceIn(const std::string_view* f) {
    const char* what[] = {"ID", "REF", "ALT"};
    for (int k = 0; k < 3; k++)
        if (f[2 + k].find(' ') != std::string_view::npos)
            return std::string(what[k]) + " " + quoted(f[2 + k]) + " holds a space";
    return "";
}

uint64_t keyOf(int32_t chromosome, int32_t pos, std::string_view ref, std::string_view alt) {
    std::hash<std::string_view> text;
    uint64_t h = (static_cast<uint64_t>(static_cast<uint32_t>(chromosome)) << 32) ^
                 static_cast<uint32_t>(pos);
    h = h * 0x9e3779b97f4a7c15ULL ^ text(ref);
    h = h * 0x9e3779b97f4a7c15ULL ^ text(alt);
    return h ^ (h >> 29);
}

}  // namespace

void siteIndex::insert(const data& d, int32_t idx) {
    const site& s = d.sites[idx];
    int32_t chromosome = d.contigChromosome[s.contig];
    if (find(d, chromosome, s.pos, d.ref(s), d.alt(s)) >= 0) return;
    if (2 * (used + 1) > slots.size()) {
        std::vector<int32_t> old = std::move(slots);
        slots.assign(std::max<size_t>(1024, 2 * old.size()), -1);
        used = 0;
        for (int32_t entry : old)
            if (entry >= 0) insert(d, entry);
    }
    size_t mask = slots.size() - 1;
    size_t at = keyOf(chromosome, s.pos, d.ref(s), d.alt(s)) & mask;
    while (slots[at] >= 0) at = (at + 1) & mask;
    slots[at] = idx;
    used++;
}

int32_t siteIndex::find(const data& d, int32_t chromosome, int32_t pos, std::string_view ref,
                        std::string_view alt) const {
    if (slots.empty()) return -1;
    size_t mask = slots.size() - 1;
    for (size_t at = keyOf(chromosome, pos, ref, alt) & mask; slots[at] >= 0;
         at = (at + 1) & mask) {
        const site& s = d.sites[slots[at]];
        if (s.pos == pos && d.contigChromosome[s.contig] == chromosome && d.ref(s) == ref &&
            d.alt(s) == alt)
            return slots[at];
    }
    return -1;
}

data::data() : flip(false) {}

data::~data() {
    for (chunk* c : chunks) delete c;
}

void data::checkOutputs(const char* fhaps, const char* fsamples,
                        const std::vector<std::string>& inputs) {
    // The sample file is added first, and so put in place first.
    outputs.add(fsamples);
    outputs.add(fhaps);
    if (report) outputs.add(report);
    outputs.refuseInputs(inputs);
}

int32_t data::contigIndex(std::string_view chrom) {
    // Site maps list their sites chromosome by chromosome.
    if (!contigs.empty() && contigs.back() == chrom)
        return static_cast<int32_t>(contigs.size() - 1);
    auto found = contigOf.find(std::string(chrom));
    if (found != contigOf.end()) return found->second;
    int32_t contig = static_cast<int32_t>(contigs.size());
    contigs.emplace_back(chrom);
    contigOf.emplace(std::string(chrom), contig);
    auto chromosome = chromosomeOf.emplace(std::string(withoutChr(chrom)), nchromosomes);
    if (chromosome.second) nchromosomes++;
    contigChromosome.push_back(chromosome.first->second);
    return contig;
}

void data::addSamples(const std::vector<std::string>& names, const std::string& name,
                      const std::string& where) {
    std::set<std::string> seen(I.begin(), I.end());
    for (const std::string& sample : names) {
        if (sample.find(' ') != std::string::npos)
            badLine(name, where, "sample " + quoted(sample) + " holds a space");
        if (!seen.insert(sample).second)
            badLine(name, where, "sample " + quoted(sample) + " is given twice");
        I.push_back(sample);
    }
    std::cout << "  * #inds=" << I.size() << std::endl;
}

void data::addSite(const std::string_view* f, int32_t pos) {
    site s;
    s.chr = toInt32(f[0]);
    s.pos = pos;
    s.contig = contigIndex(f[0]);
    s.cidx = s.cpos = -1;
    s.idLength = static_cast<uint32_t>(f[2].size());
    s.refLength = static_cast<uint32_t>(f[3].size());
    s.altLength = static_cast<uint32_t>(f[4].size());
    s.text = siteText.size();
    siteText.append(f[2]).append(f[3]).append(f[4]);
    sites.push_back(s);
    pos2site.insert(*this, static_cast<int32_t>(sites.size() - 1));
}

void data::readMap(const char* name) {
    std::cout << "Reading site map in [" << name << "]" << std::endl;
    inputFile input(name);
    if (!input.isOpen())
        futils::fatal("cannot open [" + input.name + "]: " + strerror(input.error));
    // A VCF text site map is read as text, which needs only five columns.
    if (input.isBcf()) {
        readVariantMap(name, input.release());
    } else {
        ifile in(name, input.release());
        readTextMap(in);
    }
    std::cout << "  * #sites=" << sites.size() << std::endl;
}

void data::readTextMap(ifile& in) {
    const std::string& name = in.file;
    lineReader lines(in);
    std::string_view line;
    std::string_view f[5];
    size_t lineNo = 0;
    try {
        while (lines.next(line, siteMapColumns)) {
            lineNo++;
            dropCarriageReturn(line);
            if (startsWith(line, "#CHR")) {
                std::vector<std::string> tok = sutils::tokenize(std::string(line), "\t");
                addSamples(std::vector<std::string>(tok.begin() + std::min<size_t>(9, tok.size()),
                                                    tok.end()),
                           name, lineAt(lineNo));
                continue;
            }
            if (startsWith(line, "##contig=")) contigLines.emplace_back(line);
            if (startsWith(line, "#")) continue;
            // Only the five leading columns are looked at; genotypes are never split.
            if (sutils::splitFields(line, '\t', 5, f) < 5 || !isSingleAllele(f[4])) continue;
            int32_t pos;
            if (!parsePosition(f[1], pos)) badLine(name, lineAt(lineNo), badPosition(f[1]));
            if (std::string bad = spaceIn(f); !bad.empty()) badLine(name, lineAt(lineNo), bad);
            addSite(f, pos);
        }
    } catch (const std::bad_alloc&) {
        badLine(name, lineAt(lineNo + 1), "out of memory");
    }
    requireReadToEnd(in);
    in.close();
}

void data::readVariantMap(const std::string& name, hFILE* fp) {
    try {
        seamline::variantReader reader(fp, name);
        addSamples(reader.samples(), name, "header");
        contigLines = reader.contigLines();
        seamline::variantRecord r;
        for (size_t record = 1; reader.next(r); record++) {
            if (!isSingleAllele(r.alt)) continue;
            auto where = [record] { return "record " + std::to_string(record); };
            if (!isPosition(r.pos)) badLine(name, where(), badPosition(std::to_string(r.pos)));
            std::string_view f[5] = {r.chrom, {}, r.id, r.ref, r.alt};
            if (std::string bad = spaceIn(f); !bad.empty()) badLine(name, where(), bad);
            addSite(f, static_cast<int32_t>(r.pos));
        }
    } catch (const seamline::failure& failure) {
        futils::fatal(failure.what());
    }
}

void data::readScaffold(const char* name) {
    std::cout << "Reading scaffolded samples in [" << name << "]" << std::endl;
    ifile in(name, false);
    requireOpen(in);
    lineReader lines(in);
    std::string_view line;
    size_t lineNo = 0;
    try {
        while (lines.next(line)) {
            lineNo++;
            dropCarriageReturn(line);
            scaffold.insert(std::string(line));
        }
    } catch (const std::bad_alloc&) {
        badLine(name, lineAt(lineNo + 1), "out of memory");
    }
    requireReadToEnd(in);
    in.close();
    std::cout << "  * #scaff=" << scaffold.size() << std::endl;
}

int32_t data::chromosomeOfRow(std::string_view chrom) const {
    // With one chromosome in the site map, rows match by position alone.
    if (nchromosomes <= 1) return 0;
    auto found = chromosomeOf.find(std::string(withoutChr(chrom)));
    return found == chromosomeOf.end() ? -1 : found->second;
}

int32_t data::findSite(std::string_view chrom, int32_t pos, std::string_view a1,
                       std::string_view a2, bool& swapped) const {
    int32_t chromosome = chromosomeOfRow(chrom);
    swapped = false;
    if (chromosome < 0) return -1;
    int32_t straight = pos2site.find(*this, chromosome, pos, a1, a2);
    if (!flip) return straight;
    // The first site in site-map order wins, whichever way it matches.
    int32_t exchanged = pos2site.find(*this, chromosome, pos, a2, a1);
    if (exchanged >= 0 && (straight < 0 || exchanged < straight)) {
        swapped = true;
        return exchanged;
    }
    return straight;
}

namespace {

// A chunk file that cannot be read: what to print, and where.
struct readFailure {
    std::string message;
    bool notFound;  // the "Not found = " line on standard output; otherwise standard error
};

[[noreturn]] void failRow(const std::string& name, size_t lineNo, const std::string& what) {
    throw readFailure{"cannot read [" + name + "] line " + std::to_string(lineNo) + ": " + what,
                      false};
}

}  // namespace

chunkReading data::parseChunk(const char* name, const std::atomic<bool>* cancel) const {
    chunkReading result;
    auto c = std::make_unique<chunk>(static_cast<int>(I.size()), name);
    size_t lineNo = 0;
    try {
        inputFile input(name);
        if (!input.isOpen())
            throw readFailure{"cannot open [" + input.name + "]: " + strerror(input.error), false};
        bool complete = input.isVariant() ? parseVariantChunk(input.release(), *c, cancel)
                                          : parseTextChunk(input.release(), *c, cancel, lineNo);
        if (!complete) return result;
        c->H.finish();
    } catch (const readFailure& failure) {
        (failure.notFound ? result.notFound : result.error) = failure.message;
        return result;
    } catch (const seamline::failure& failure) {
        result.error = failure.what();
        return result;
    } catch (const spillError& failure) {
        result.error = failure.what();
        return result;
    } catch (const std::bad_alloc&) {
        result.error = "cannot read [" + std::string(name) + "] line " +
                       std::to_string(lineNo + 1) + ": out of memory";
        return result;
    }
    result.c = c.release();
    return result;
}

int32_t data::chunkRowSite(const chunk& c, std::string_view chrom, int32_t pos, std::string_view a1,
                           std::string_view a2, bool& swapped, size_t lineNo) const {
    int32_t idx = findSite(chrom, pos, a1, a2, swapped);
    if (idx < 0)
        throw readFailure{
            "Not found = " + std::to_string(pos) + " " + std::string(a1) + "  " + std::string(a2),
            true};
    if (!c.sidx.empty() && idx <= c.sidx.back())
        throw readFailure{"cannot read [" + c.name + "] " +
                              (lineNo ? lineAt(lineNo) : "position " + std::to_string(pos)) +
                              ": the row at position " + std::to_string(pos) +
                              " does not come after the row before it in site-map order",
                          false};
    return idx;
}

bool data::parseTextChunk(hFILE* fp, chunk& c, const std::atomic<bool>* cancel,
                          size_t& lineNo) const {
    const std::string& name = c.name;
    ifile in(name, fp);
    const size_t ncodes = I.size() * 2;
    lineReader lines(in);
    std::string_view line;
    chunkRow row;
    while (lines.next(line)) {
        lineNo++;
        // Another chunk has failed: what this one holds will not be used.
        if (cancel && (lineNo & 1023) == 0 && *cancel) return false;
        dropCarriageReturn(line);
        uint64_t* bits = c.H.add();
        size_t nfields = row.parse(line, ncodes, bits);
        if (nfields != ncodes + 5)
            throw readFailure{"src/data.cpp: check failed: tok.size() == (I.size() * 2 + 5) in [" +
                                  name + "] line " + std::to_string(lineNo) + ": " +
                                  std::to_string(nfields) + " fields, expected " +
                                  std::to_string(ncodes + 5),
                              false};
        int32_t pos;
        if (!parsePosition(row.fields[2], pos)) failRow(name, lineNo, badPosition(row.fields[2]));
        bool swapped;
        int32_t idx =
            chunkRowSite(c, row.fields[0], pos, row.fields[3], row.fields[4], swapped, lineNo);
        if (row.badCode >= 0)
            failRow(name, lineNo,
                    "field " + std::to_string(row.badCode + 6) + " is " +
                        quoted(row.code(row.badCode)) + ", not 0 or 1");
        c.sidx.push_back(idx);
        // A row with the alleles exchanged stores the complement of its codes,
        // so that a set bit is always the site's alt allele.
        if (swapped) invertBits(bits, ncodes);
    }
    if (in.bad())
        throw readFailure{"cannot read [" + name + "]: the file is damaged or unreadable", false};
    in.close();
    return true;
}

bool data::parseVariantChunk(hFILE* fp, chunk& c, const std::atomic<bool>* cancel) const {
    const std::string& name = c.name;
    seamline::variantReader reader(fp, name);
    const std::vector<int32_t> order = seamline::sampleOrder(I, reader.samples(), name);
    const size_t ncodes = I.size() * 2;
    seamline::variantRecord r;
    for (size_t record = 1;; record++) {
        if (cancel && (record & 1023) == 0 && *cancel) return false;
        if (!reader.next(r)) break;
        if (!isPosition(r.pos))
            seamline::fail("cannot read [" + name + "]: " + badPosition(std::to_string(r.pos)));
        const int32_t pos = static_cast<int32_t>(r.pos);
        bool swapped;
        int32_t idx = chunkRowSite(c, r.chrom, pos, r.ref, r.alt, swapped, 0);
        uint64_t* bits = c.H.add();
        reader.genotypes(order, bits);
        c.sidx.push_back(idx);
        if (swapped) invertBits(bits, ncodes);
    }
    return true;
}

void data::addChunk(const chunkReading& reading) {
    if (!reading.notFound.empty()) {
        std::cout << reading.notFound << std::endl;
        exit(1);
    }
    if (!reading.error.empty()) stopReading(reading.error);
    std::cout << "\t" << reading.c->sidx.size() << std::endl;
    chunks.push_back(reading.c);
}

void data::readChunk(const char* name) {
    std::cout << "Reading haplotypes in [" << name << "]" << std::flush;
    addChunk(parseChunk(name, nullptr));
}

void data::readChunks(const std::vector<const char*>& names) {
    if (threads <= 1) {
        for (const char* name : names) readChunk(name);
        return;
    }
    // Files are read on the pool and reported in command-line order; the
    // first failure in that order is the one reported, as in a run that reads
    // them one after the other, once the others have stopped.
    std::atomic<bool> cancel(false);
    chunkReading failed;
    orderedPipeline<chunkReading> reading(threads, threads + 1);
    size_t reported = 0;
    auto report = [&](chunkReading r) {
        const char* name = names[reported++];
        if (cancel) {
            delete r.c;
            return;
        }
        std::cout << "Reading haplotypes in [" << name << "]" << std::flush;
        if (r.c) {
            addChunk(r);
            return;
        }
        cancel = true;
        failed = r;
    };
    for (const char* name : names) {
        while (reading.full()) report(reading.take());
        if (cancel) break;
        reading.submit([this, name, &cancel] { return parseChunk(name, &cancel); });
    }
    while (!reading.empty()) report(reading.take());
    if (cancel) addChunk(failed);
}

bool less_than_chunk::operator()(const chunk* a, const chunk* b) const {
    // A chunk without rows has no first site; it goes after every other.
    if (a->sidx.empty()) return false;
    if (b->sidx.empty()) return true;
    return a->sidx[0] < b->sidx[0];
}

void data::assemble() {
    std::cout << "Sorting the " << chunks.size() << " chunks of data" << std::endl;
    std::sort(chunks.begin(), chunks.end(), less_than_chunk());
    for (size_t i = 0; i + 1 < chunks.size(); i++) {
        std::cout << "Assembling [" << chunks[i]->name << "] with [" << chunks[i + 1]->name << "]"
                  << std::endl;
        chunks[i + 1]->assemble(chunks[i]);
    }
    std::cout << "Mapping sites to chunks" << std::endl;
    for (size_t c = 0; c < chunks.size(); c++) {
        const std::vector<int32_t>& sidx = chunks[c]->sidx;
        for (size_t j = 0; j < sidx.size(); j++) {
            if (sidx[j] < 0) continue;
            sites[sidx[j]].cidx = static_cast<int32_t>(c);
            sites[sidx[j]].cpos = static_cast<int32_t>(j);
        }
    }
    std::cout << "Checking mapping sites to chunks" << std::endl;
    for (size_t i = 0; i < sites.size(); i++)
        if (sites[i].cidx < 0)
            std::cout << "Site " << i << " with pos=" << sites[i].pos << " is unmapped"
                      << std::endl;
}

namespace {

// Marks both bits of every sample whose pair is written in the exchanged
// order: a clear switched bit exchanges, unless the sample is scaffolded.
std::vector<uint64_t> exchangeMask(const chunk& c, const std::vector<std::string>& I,
                                   const std::set<std::string>& scaffold) {
    std::vector<uint64_t> mask((2 * I.size() + 63) / 64, 0);
    for (size_t k = 0; k < I.size(); k++)
        if (!c.switched.get(k) && !scaffold.count(I[k]))
            mask[k >> 5] |= uint64_t(3) << (2 * (k & 31));
    return mask;
}

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

void requireOpen(const ofile& out, const std::string& name) {
    if (!out.fd.is_open())
        futils::fatal("cannot open [" + name + "]: " + reasonOf(out.error, "unknown error"));
}

// Closes an output file; a failed write, flush or compressed trailer ends the run.
void closeChecked(ofile& out, const std::string& name) {
    bool failed = out.bad();
    out.close();
    if (failed || out.bad()) failOutput(name, reasonOf(errno, "write error"));
}

}  // namespace

std::vector<std::vector<uint64_t>> data::exchangeMasks() const {
    std::vector<std::vector<uint64_t>> masks;
    for (const chunk* c : chunks) masks.push_back(exchangeMask(*c, I, scaffold));
    return masks;
}

std::vector<int32_t> data::seamsOf(size_t b,
                                   const std::vector<std::vector<uint64_t>>& exchange) const {
    const chunk& right = *chunks[b];
    if (agreeSeam) return agreeSeams(*chunks[b - 1], exchange[b - 1], right, exchange[b]);
    return std::vector<int32_t>(I.size(), (right.overlapRows + 1) / 2);
}

joinedRows::joinedRows(const data& d)
    : d(d),
      exchange(d.exchangeMasks()),
      cursors(d.chunks.size()),
      row(d.chunks.empty() ? 0 : d.chunks[0]->H.words) {}

const uint64_t* joinedRows::stored(size_t c, size_t r) {
    if (!cursors[c]) cursors[c] = std::make_unique<rowCursor>(d.chunks[c]->H);
    return cursors[c]->row(r);
}

void joinedRows::written(const uint64_t* bits, size_t c, uint64_t* out) const {
    const std::vector<uint64_t>& mask = exchange[c];
    for (size_t w = 0; w < mask.size(); w++) out[w] = orientPairs(bits[w], mask[w]);
}

void joinedRows::enterOverlap(size_t b) {
    boundary = b;
    std::vector<int32_t> seams = d.seamsOf(b, exchange);
    order.clear();
    for (size_t k = 0; k < seams.size(); k++) order.emplace_back(seams[k], static_cast<int32_t>(k));
    std::sort(order.begin(), order.end());
    taken = 0;
    fromRight.assign(row.size(), 0);
    other.assign(row.size(), 0);
}

// Row j of the overlap of chunk b with the one before it: each sample from
// the left chunk before its seam and from the right chunk from it on.
void joinedRows::blendOverlap(size_t b, size_t j, const uint64_t* left, const uint64_t* right) {
    if (static_cast<int32_t>(b) != boundary) enterOverlap(b);
    for (; taken < order.size() && order[taken].first <= static_cast<int32_t>(j); taken++)
        fromRight[order[taken].second >> 5] |= uint64_t(3) << (2 * (order[taken].second & 31));
    written(left, b - 1, row.data());
    written(right, b, other.data());
    for (size_t w = 0; w < row.size(); w++)
        row[w] = (row[w] & ~fromRight[w]) | (other[w] & fromRight[w]);
}

bool joinedRows::next(const site*& s, const uint64_t*& bits) {
    while (at < d.sites.size() && d.sites[at].cidx < 0) at++;
    if (at == d.sites.size()) return false;
    s = &d.sites[at++];
    const size_t c = s->cidx, r = s->cpos;
    // Cursors of chunks the walk has left behind are released.
    if (c >= 2) cursors[c - 2].reset();
    const uint64_t* own = stored(c, r);
    bits = row.data();
    if (d.agreeSeam) {
        const chunk& curr = *d.chunks[c];
        if (c >= 1 && r < static_cast<size_t>(curr.overlapRows)) {
            blendOverlap(c, r, stored(c - 1, curr.overlapStart + r), own);
            return true;
        }
        if (c + 1 < d.chunks.size() && d.chunks[c + 1]->overlapRows > 0 &&
            r >= static_cast<size_t>(d.chunks[c + 1]->overlapStart)) {
            size_t j = r - d.chunks[c + 1]->overlapStart;
            blendOverlap(c + 1, j, own, stored(c + 1, j));
            return true;
        }
    }
    written(own, c, row.data());
    return true;
}

void data::writeReport(const std::string& path) {
    std::cout << "Writing report in [" << report << "]" << std::endl;
    ofile out(path, false);
    requireOpen(out, report);
    out << "left\tright\tsample\toverlap\tkeep\tswap\tdecision\tquality"
        << (seamColumn ? "\tseam\n" : "\n");
    std::vector<std::vector<uint64_t>> exchange = exchangeMasks();
    std::string text;
    for (size_t c = 1; c < chunks.size(); c++) {
        const chunk& left = *chunks[c - 1];
        const chunk& right = *chunks[c];
        agreement counts = countAgreement(left, right.overlapStart, right, right.overlapRows);
        std::vector<int32_t> seams;
        if (seamColumn) seams = seamsOf(c, exchange);
        std::string boundary = left.name + "\t" + right.name + "\t";
        std::string overlap = "\t" + std::to_string(right.overlapRows) + "\t";
        for (size_t k = 0; k < I.size(); k++) {
            int32_t keep = counts.keep[k], swap = counts.swap[k];
            const char* decision = scaffold.count(I[k]) ? "scaffold"
                                   : swap > keep        ? "swap"
                                                        : "keep";
            text += boundary + I[k] + overlap + std::to_string(keep) + "\t" + std::to_string(swap) +
                    "\t" + decision + "\t" + std::to_string(reportQuality(keep, swap));
            if (seamColumn) text += "\t" + std::to_string(seams[k]);
            text += "\n";
            if (text.size() >= (1 << 20)) {
                out.write(text.data(), static_cast<std::streamsize>(text.size()));
                text.clear();
            }
        }
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    closeChecked(out, report);
}

void data::writeVariants(const std::string& fhaps) {
    const seamline::variantFormat format = seamline::variantFormatOf(fhaps);
    seamline::variantWriter::header h;
    h.contigLines = contigLines;
    h.contigs = contigs;
    h.samples = I;
    h.source = "seamline " SEAMLINE_VERSION;
    h.command = commandLine;
    int32_t maxPos = 0;
    for (const site& s : sites) maxPos = std::max(maxPos, s.pos);
    // TBI holds positions below 2^29; beyond them only CSI does.
    const bool csi = format == seamline::variantFormat::bcf || maxPos >= (1 << 29);
    // An index is written beside a file that is put in place, not into a
    // device, a pipe or standard output.
    std::string indexPath;
    if (format != seamline::variantFormat::vcf && !outputs[1].temp.empty())
        indexPath = outputs[outputs.add(fhaps + (csi ? ".csi" : ".tbi"))].path();
    try {
        seamline::variantWriter writer(outputs[1].path(), fhaps, format, h, indexPath, csi,
                                       threads);
        joinedRows joined(*this);
        const site* at;
        const uint64_t* row;
        while (joined.next(at, row))
            writer.write(at->contig, at->pos, id(*at), ref(*at), alt(*at), row);
        writer.close();
    } catch (const seamline::failure& failure) {
        futils::fatal(failure.what());
    }
}

void data::writeHaplotypes(const char* fhaps, const char* fsamples) {
    // A caller that did not check the outputs before reading gets them staged now.
    if (outputs.files.empty()) checkOutputs(fhaps, fsamples, {});
    std::cout << "Writing samples in [" << fsamples << "]" << std::endl;
    ofile samples(outputs[0].path(), false);
    requireOpen(samples, fsamples);
    samples << "ID_1 ID_2 missing\n0 0 0\n";
    for (const std::string& id : I) samples << id << " " << id << " 0\n";
    closeChecked(samples, fsamples);

    if (report) writeReport(outputs[2].path());

    std::cout << "Writing haplotypes in [" << fhaps << "]" << std::endl;
    if (seamline::variantFormatOf(fhaps) != seamline::variantFormat::none) {
        writeVariants(fhaps);
        outputs.commit();
        return;
    }
    ofile haps(outputs[1].path(), false, threads);
    requireOpen(haps, fhaps);
    const size_t nbits = 2 * I.size();
    std::string text;
    joinedRows joined(*this);
    const site* at;
    const uint64_t* row;
    while (joined.next(at, row)) {
        const site& s = *at;
        text += std::to_string(s.chr);
        text += ' ';
        text += id(s);
        text += ' ';
        text += std::to_string(s.pos);
        text += ' ';
        text += ref(s);
        text += ' ';
        text += alt(s);
        appendCodes(text, row, nbits);
        text += '\n';
        if (text.size() >= (1 << 20)) {
            haps.write(text.data(), static_cast<std::streamsize>(text.size()));
            text.clear();
            if (haps.bad()) break;
        }
    }
    haps.write(text.data(), static_cast<std::streamsize>(text.size()));
    closeChecked(haps, fhaps);
    outputs.commit();
}
