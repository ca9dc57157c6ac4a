#include "data.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

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
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 4, "#CHR") == 0) {
            std::vector<std::string> tok = sutils::tokenize(line, "\t");
            for (size_t t = 9; t < tok.size(); t++) I.push_back(tok[t]);
            std::cout << "  * #inds=" << I.size() << std::endl;
            continue;
        }
        if (!line.empty() && line[0] == '#') continue;
        std::vector<std::string> tok = sutils::tokenize(line, "\t", 5);
        if (tok.size() < 5) continue;
        std::vector<std::string> alts = sutils::tokenize(tok[4], ",");
        if (alts.empty() || alts[0] == "." || alts[0] == "0" || alts.size() != 1) continue;
        site* s = new site{toInt32(tok[0]),
                           tok[2],
                           toInt32(tok[1]),
                           tok[3],
                           tok[4],
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
    std::string line;
    while (std::getline(in, line)) scaffold.insert(line);
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
    const size_t nfields = I.size() * 2 + 5;
    std::string line;
    int32_t rows = 0;
    while (std::getline(in, line)) {
        std::vector<std::string> tok = sutils::tokenize(line, " ");
        if (tok.size() != nfields)
            stopReading("src/data.cpp: check failed: tok.size() == (I.size() * 2 + 5) in [" +
                        std::string(name) + "] line " + std::to_string(rows + 1) + ": " +
                        std::to_string(tok.size()) + " fields, expected " +
                        std::to_string(nfields));
        int32_t pos = toInt32(tok[2]);
        bool swapped = false;
        const site* found = nullptr;
        auto range = pos2site.equal_range(pos);
        for (auto it = range.first; it != range.second && !found; ++it) {
            const site* s = it->second;
            if (s->ref == tok[3] && s->alt == tok[4]) {
                found = s;
            } else if (flip && s->ref == tok[4] && s->alt == tok[3]) {
                found = s;
                swapped = true;
            }
        }
        if (!found) {
            std::cout << "Not found = " << pos << " " << tok[3] << "  " << tok[4] << std::endl;
            exit(1);
        }
        c->sidx.push_back(found->idx);
        c->H.emplace_back(nfields - 5, swapped);
        bitvec& row = c->H.back();
        for (size_t i = 0; i + 5 < nfields; i++)
            if (tok[5 + i] == "1") row.set(i, !swapped);
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
    std::vector<char> inScaffold(I.size());
    for (size_t k = 0; k < I.size(); k++) inScaffold[k] = scaffold.count(I[k]) > 0;
    std::string line;
    for (const site* s : sites) {
        // An unmapped site has been reported already; it gets no line.
        if (s->cidx < 0) continue;
        const chunk* c = chunks[s->cidx];
        const bitvec& row = c->H[s->cpos];
        line = std::to_string(s->chr) + " " + s->id + " " + std::to_string(s->pos) + " " + s->ref +
               " " + s->alt;
        for (size_t k = 0; k < I.size(); k++) {
            bool a = row.get(2 * k), b = row.get(2 * k + 1);
            // A set switched bit, or a scaffolded sample, keeps the stored order.
            if (!c->switched.get(k) && !inScaffold[k]) std::swap(a, b);
            line += a ? " 1" : " 0";
            line += b ? " 1" : " 0";
        }
        line += '\n';
        haps.write(line.data(), static_cast<std::streamsize>(line.size()));
        if (haps.bad()) break;
    }
    closeChecked(haps, fhaps);
    commitStaged();
}
