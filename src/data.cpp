#include "data.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "chunkrow.h"
#include "utils.h"

namespace {

// strtol with base 10, narrowed to 32 bits; text without a leading number is 0.
int32_t toInt32(const std::string& field) {
    return static_cast<int32_t>(strtol(field.c_str(), nullptr, 10));
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

}  // namespace

data::data() : flip(false) {}

data::~data() {
    for (chunk* c : chunks) delete c;
    for (site* s : sites) delete s;
}

void data::readMap(const char* name) {
    std::cout << "Reading site map in [" << name << "]" << std::endl;
    ifile in(name, false);
    requireOpen(in);
    lineReader lines(in);
    std::string_view line;
    std::string_view f[5];
    while (lines.next(line)) {
        if (line.substr(0, 4) == "#CHR") {
            std::vector<std::string> tok = sutils::tokenize(std::string(line), "\t");
            for (size_t t = 9; t < tok.size(); t++) I.push_back(tok[t]);
            std::cout << "  * #inds=" << I.size() << std::endl;
            continue;
        }
        if (!line.empty() && line[0] == '#') continue;
        // Only the five leading columns are looked at; genotypes are never split.
        if (sutils::splitFields(line, '\t', 5, f) < 5) continue;
        std::string alt(f[4]);
        std::vector<std::string> alts = sutils::tokenize(alt, ",");
        if (alts.empty() || alts[0] == "." || alts[0] == "0" || alts.size() != 1) continue;
        site* s = new site{toInt32(std::string(f[0])),
                           std::string(f[2]),
                           toInt32(std::string(f[1])),
                           std::string(f[3]),
                           alt,
                           static_cast<int32_t>(sites.size()),
                           -1,
                           -1};
        sites.push_back(s);
        pos2site.insert(std::make_pair(s->pos, s));
    }
    requireReadToEnd(in);
    in.close();
    std::cout << "  * #sites=" << sites.size() << std::endl;
}

void data::readScaffold(const char* name) {
    std::cout << "Reading scaffolded samples in [" << name << "]" << std::endl;
    ifile in(name, false);
    requireOpen(in);
    lineReader lines(in);
    std::string_view line;
    while (lines.next(line)) scaffold.insert(std::string(line));
    requireReadToEnd(in);
    in.close();
    std::cout << "  * #scaff=" << scaffold.size() << std::endl;
}

// Ends an open "Reading haplotypes in [" line before a failure message on
// standard error, so that both streams stay line by line on a terminal.
[[noreturn]] static void stopReading(const std::string& message) {
    std::cout << std::endl;
    futils::fatal(message);
}

void data::readChunk(const char* name) {
    std::cout << "Reading haplotypes in [" << name << "]" << std::flush;
    chunk* c = new chunk(static_cast<int>(I.size()), name);
    ifile in(name, false);
    if (!in.fd.is_open())
        stopReading("cannot open [" + in.name() + "]: " + reasonOf(in.error, "unknown error"));
    const size_t ncodes = I.size() * 2;
    lineReader lines(in);
    std::string_view line;
    chunkRow row;
    int32_t rows = 0;
    while (lines.next(line)) {
        c->H.emplace_back(ncodes, false);
        size_t nfields = row.parse(line, ncodes, c->H.back().words.data());
        if (nfields != ncodes + 5)
            stopReading("src/data.cpp: check failed: tok.size() == (I.size() * 2 + 5) in [" +
                        std::string(name) + "] line " + std::to_string(rows + 1) + ": " +
                        std::to_string(nfields) + " fields, expected " +
                        std::to_string(ncodes + 5));
        int32_t pos = toInt32(std::string(row.fields[2]));
        bool swapped = false;
        const site* found = nullptr;
        auto range = pos2site.equal_range(pos);
        for (auto it = range.first; it != range.second && !found; ++it) {
            const site* s = it->second;
            if (s->ref == row.fields[3] && s->alt == row.fields[4]) {
                found = s;
            } else if (flip && s->ref == row.fields[4] && s->alt == row.fields[3]) {
                found = s;
                swapped = true;
            }
        }
        if (!found) {
            std::cout << "Not found = " << pos << " " << row.fields[3] << "  " << row.fields[4]
                      << std::endl;
            exit(1);
        }
        c->sidx.push_back(found->idx);
        // A row with the alleles exchanged stores the complement of its codes,
        // so that a set bit is always the site's alt allele.
        if (swapped) c->H.back().invert();
        rows++;
    }
    if (in.bad()) stopReading("cannot read [" + in.name() + "]: the file is damaged or unreadable");
    std::cout << "\t" << rows << std::endl;
    chunks.push_back(c);
    in.close();
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
            sites[sidx[j]]->cidx = static_cast<int32_t>(c);
            sites[sidx[j]]->cpos = static_cast<int32_t>(j);
        }
    }
    std::cout << "Checking mapping sites to chunks" << std::endl;
    for (const site* s : sites)
        if (s->cidx < 0)
            std::cout << "Site " << s->idx << " with pos=" << s->pos << " is unmapped" << std::endl;
}

namespace {

// An output written under a temporary name in its own directory and renamed
// into place only once both outputs are complete, so that a failed run never
// leaves a partial file and never destroys an earlier result. A name that
// exists and is not a regular file (a device, a pipe, a symbolic link) is
// written directly.
struct stagedOutput {
    std::string target;
    std::string temp;  // empty when written directly
};

std::vector<stagedOutput> staged;

[[noreturn]] void failOutput(const std::string& message) {
    for (const stagedOutput& o : staged)
        if (!o.temp.empty()) unlink(o.temp.c_str());
    futils::fatal(message);
}

// Creates the temporary file and returns the name to write to. The temporary
// name ends with the target's own name, so it keeps its extension and thus
// its compression.
std::string stage(const std::string& target) {
    // An empty name names no file. Its temporary file could still be made, and
    // only its renaming would fail, after the other output had been put in place.
    if (target.empty()) failOutput("cannot open []: " + std::string(strerror(ENOENT)));
    struct stat st;
    if (lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        staged.push_back({target, ""});
        return target;
    }
    size_t slash = target.find_last_of('/');
    std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string temp = dir + ".seamline-XXXXXX-" + base;
    int fd = mkstemps(&temp[0], static_cast<int>(base.size() + 1));
    if (fd < 0) failOutput("cannot open [" + target + "]: " + strerror(errno));
    // mkstemps creates the file private; give it the mode a new file would get.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    ::close(fd);
    staged.push_back({target, temp});
    return temp;
}

void commitStaged() {
    for (const stagedOutput& o : staged)
        if (!o.temp.empty() && rename(o.temp.c_str(), o.target.c_str()) != 0)
            failOutput("cannot write [" + o.target + "]: " + strerror(errno));
    staged.clear();
}

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

void requireOpen(const ofile& out, const std::string& target) {
    if (!out.fd.is_open())
        failOutput("cannot open [" + target + "]: " + reasonOf(out.error, "unknown error"));
}

// Closes an output file; a failed write, flush or compressed trailer ends the run.
void closeChecked(ofile& out, const std::string& target) {
    bool failed = out.bad();
    out.close();
    if (failed || out.bad())
        failOutput("cannot write [" + target + "]: " + reasonOf(errno, "write error"));
}

}  // namespace

void data::writeHaplotypes(const char* fhaps, const char* fsamples) {
    std::cout << "Writing samples in [" << fsamples << "]" << std::endl;
    ofile samples(stage(fsamples), false);
    requireOpen(samples, fsamples);
    samples << "ID_1 ID_2 missing\n0 0 0\n";
    for (const std::string& id : I) samples << id << " " << id << " 0\n";
    closeChecked(samples, fsamples);

    std::cout << "Writing haplotypes in [" << fhaps << "]" << std::endl;
    ofile haps(stage(fhaps), false);
    requireOpen(haps, fhaps);
    std::vector<std::vector<uint64_t>> exchange;
    for (const chunk* c : chunks) exchange.push_back(exchangeMask(*c, I, scaffold));
    const size_t nbits = 2 * I.size();
    std::vector<uint64_t> ordered((nbits + 63) / 64);
    std::string text;
    for (const site* s : sites) {
        // An unmapped site has been reported already; it gets no line.
        if (s->cidx < 0) continue;
        const std::vector<uint64_t>& row = chunks[s->cidx]->H[s->cpos].words;
        const std::vector<uint64_t>& mask = exchange[s->cidx];
        for (size_t w = 0; w < ordered.size(); w++)
            ordered[w] = (row[w] & ~mask[w]) | (exchangePairs(row[w]) & mask[w]);
        text += std::to_string(s->chr);
        text += ' ';
        text += s->id;
        text += ' ';
        text += std::to_string(s->pos);
        text += ' ';
        text += s->ref;
        text += ' ';
        text += s->alt;
        appendCodes(text, ordered.data(), nbits);
        text += '\n';
        if (text.size() >= (1 << 20)) {
            haps.write(text.data(), static_cast<std::streamsize>(text.size()));
            text.clear();
            if (haps.bad()) break;
        }
    }
    haps.write(text.data(), static_cast<std::streamsize>(text.size()));
    closeChecked(haps, fhaps);
    commitStaged();
}
