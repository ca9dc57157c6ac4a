// seamline_generate: writes benchmark data for seamline: a site map in VCF
// layout and K overlapping chunk files, plain and gzip-compressed.
//
// Haplotypes have linkage structure: a handful of founder haplotypes carry
// the alleles of every site, and each haplotype of a sample is a mosaic that
// copies one founder at a time, switching now and then, with rare mutations.
// Rare variants (singletons upwards) are added on top. Every chunk holds each
// sample's two haplotypes in an order of its own, and a few per cent of chunk
// rows give their two alleles in the opposite order to the site map's, with
// the codes complemented (seamline needs --flip for them).
//
// The data are generated site by site and streamed: one row of the site map
// and one row of every chunk that covers the site are built in memory buffers
// and written in large blocks.
//
// Optionally (--switch-mid, --switch-edge) every chunk also gets phasing
// errors of its own: from a switch error on, the chunk holds that sample's two
// haplotypes exchanged. A window phases its ends with information from one
// side only, so the rate rises toward both edges of a chunk:
//   rate(d) = mid + (edge - mid) * exp(-d / L),
// d the distance in rows to the nearer edge of the chunk and L a quarter of the
// overlap, so that at the middle of an overlap (d = O/2 = 2L) the rate is
// within 14% of the way from mid to edge. The error-free haplotypes then go to
// truth.haps, in the layout of seamline's text output. The errors draw from a
// random stream of their own: the rest of the data stays the same as without
// them.
//
// Optionally (--imputed) the VCF chunks look like an imputer's output: INFO
// AF and IQ, FORMAT fields chosen with --fields (GT, DS, GP, AP1, AP2), a
// second ALT allele at a few sites, and a few unphased and missing genotypes.
// Which sites are multi-allelic and which genotypes are unphased or missing is
// drawn once per site and sample, so every chunk that holds a site agrees on
// them (they come from the same input genotypes); the probabilities are drawn
// per chunk, as each window is imputed on its own. Every haplotype's allele
// gets probability 0.75 to 1, the other alleles share the rest, and AP1, AP2,
// DS and GP all derive from these, in the chunk's stored haplotype order: AP1
// goes with the first allele written, and GP's largest value is the genotype
// written. These draws come from a stream of their own too, and the same draws
// are made whatever the fields, so sets that differ only in --fields hold the
// same records, genotypes and INFO values.

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const kVersion = "seamline_generate 2";

[[noreturn]] void fail(const std::string& message) {
    fprintf(stderr, "seamline_generate: %s\n", message.c_str());
    exit(1);
}

// xoshiro256** seeded through splitmix64: the same seed gives the same data
// on every platform (the standard library's distributions do not).
class rng {
public:
    explicit rng(uint64_t seed) {
        for (uint64_t& w : s_) {
            seed += 0x9e3779b97f4a7c15ULL;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            w = z ^ (z >> 31);
        }
    }
    uint64_t next() {
        const uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    // Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    // Uniform in [0, n).
    uint64_t below(uint64_t n) {
        return static_cast<uint64_t>((static_cast<unsigned __int128>(next()) * n) >> 64);
    }
    bool chance(double p) { return uniform() < p; }
    // Number of failures before the first success, success probability p.
    int64_t geometric(double p) {
        double u = 1.0 - uniform();  // in (0, 1]
        double g = std::floor(std::log(u) / std::log1p(-p));
        return g > 1e15 ? static_cast<int64_t>(1e15) : static_cast<int64_t>(g);
    }

private:
    uint64_t s_[4];
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
};

struct options {
    int64_t samples = 2000;
    int64_t sites = 20000;
    int64_t chunks = 8;
    int64_t overlap = 500;
    uint64_t seed = 1;
    std::string out;
    bool gz = true;
    double switchMid = 0;                   // switch errors per chunk row and sample, chunk middle
    double switchEdge = 0;                  // the same at a chunk's edges
    bool truth = false;                     // write truth.haps (always with switch errors)
    bool vcfChunks = false;                 // also write every chunk as plain VCF
    bool imputed = false;                   // VCF chunks as an imputer writes them
    std::vector<std::string> fields{"GT"};  // their FORMAT fields
    double multiRate = 0.02;                // share of sites with a second ALT allele
    double unphasedRate = 0.01;             // share of genotypes written unphased
    double missingRate = 0.005;             // share of genotypes written missing
};

const char* const kUsage =
    "usage: seamline_generate --out DIR [--samples N] [--sites S] [--chunks K]\n"
    "                         [--overlap O] [--seed X] [--no-gz]\n"
    "                         [--switch-mid RATE] [--switch-edge RATE] [--truth]\n"
    "                         [--vcf-chunks] [--imputed] [--fields LIST]\n"
    "                         [--multi-rate RATE] [--unphased-rate RATE]\n"
    "                         [--missing-rate RATE]\n"
    "\n"
    "Writes DIR/sites.vcf and DIR/chunk_01.haps ... (and .gz copies of all of\n"
    "them unless --no-gz). Defaults: N=2000 samples, S=20000 sites, K=8 chunks,\n"
    "O=500 rows shared by neighbouring chunks, seed 1.\n"
    "\n"
    "--switch-mid, --switch-edge: phasing errors per chunk row and sample in the\n"
    "middle of a chunk and at its edges (default 0: none); with either, the\n"
    "error-free haplotypes go to DIR/truth.haps. --truth writes truth.haps\n"
    "without errors too. --vcf-chunks also writes DIR/chunk_01.vcf ... (plain VCF,\n"
    "phased GT, alleles in site-map order).\n"
    "\n"
    "--imputed: the VCF chunks as an imputer writes them (implies --vcf-chunks):\n"
    "INFO AF (ALT frequency estimated in the chunk) and IQ (imputation quality),\n"
    "FORMAT fields --fields LIST (GT first, then any of DS, GP, AP1:AP2; default\n"
    "GT), a second ALT allele at a share --multi-rate of the sites (default\n"
    "0.02), unphased genotypes (0/1) at --unphased-rate (default 0.01) and\n"
    "missing ones (.|. or .) at --missing-rate (default 0.005) of the genotypes.\n"
    "Any of these options implies --imputed.\n";

double rate(const char* option, const char* text) {
    if (!text) fail(std::string("option ") + option + " needs a value");
    char* end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno || end == text || *end || !(v >= 0 && v <= 1))
        fail(std::string("option ") + option + ": not a rate between 0 and 1: " + text);
    return v;
}

int64_t number(const char* option, const char* text) {
    if (!text) fail(std::string("option ") + option + " needs a value");
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno || end == text || *end || v < 0)
        fail(std::string("option ") + option + ": not a number: " + text);
    return v;
}

// GT, then any of DS, GP and AP1 with AP2, separated by colons.
std::vector<std::string> formatFields(const char* text) {
    if (!text) fail("option --fields needs a value");
    std::vector<std::string> fields;
    std::string list = text;
    for (size_t at = 0; at <= list.size();) {
        size_t end = std::min(list.find(':', at), list.size());
        fields.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    auto has = [&](const char* id) {
        return std::count(fields.begin(), fields.end(), std::string(id));
    };
    bool known = true;
    for (const std::string& f : fields)
        known = known && (f == "GT" || f == "DS" || f == "GP" || f == "AP1" || f == "AP2") &&
                has(f.c_str()) == 1;
    if (!known || fields[0] != "GT" || has("AP1") != has("AP2"))
        fail(
            std::string("option --fields: not GT followed by any of DS, GP, AP1:AP2, each once: ") +
            text);
    return fields;
}

options parse(int argc, char** argv) {
    options o;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--samples") {
            o.samples = number("--samples", v), i++;
        } else if (a == "--sites") {
            o.sites = number("--sites", v), i++;
        } else if (a == "--chunks") {
            o.chunks = number("--chunks", v), i++;
        } else if (a == "--overlap") {
            o.overlap = number("--overlap", v), i++;
        } else if (a == "--seed") {
            o.seed = static_cast<uint64_t>(number("--seed", v)), i++;
        } else if (a == "--out") {
            if (!v) fail("option --out needs a value");
            o.out = v, i++;
        } else if (a == "--no-gz") {
            o.gz = false;
        } else if (a == "--switch-mid") {
            o.switchMid = rate("--switch-mid", v), i++;
        } else if (a == "--switch-edge") {
            o.switchEdge = rate("--switch-edge", v), i++;
        } else if (a == "--truth") {
            o.truth = true;
        } else if (a == "--vcf-chunks") {
            o.vcfChunks = true;
        } else if (a == "--imputed") {
            o.imputed = true;
        } else if (a == "--fields") {
            o.fields = formatFields(v), i++;
            o.imputed = true;
        } else if (a == "--multi-rate") {
            o.multiRate = rate("--multi-rate", v), i++;
            o.imputed = true;
        } else if (a == "--unphased-rate") {
            o.unphasedRate = rate("--unphased-rate", v), i++;
            o.imputed = true;
        } else if (a == "--missing-rate") {
            o.missingRate = rate("--missing-rate", v), i++;
            o.imputed = true;
        } else if (a == "--version") {
            printf("%s\n", kVersion);
            exit(0);
        } else if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            exit(0);
        } else {
            fprintf(stderr, "%s", kUsage);
            fail("unknown argument: " + a);
        }
    }
    if (o.out.empty()) {
        fprintf(stderr, "%s", kUsage);
        fail("missing option --out");
    }
    if (o.samples < 1) fail("--samples must be at least 1");
    if (o.chunks < 1 || o.chunks > 999) fail("--chunks must be between 1 and 999");
    if (o.chunks > 1 && o.overlap < 1) fail("--overlap must be at least 1 with several chunks");
    if (o.sites > 100000000) fail("--sites must be at most 100000000");
    // Every chunk keeps at least one row of its own besides the two overlaps,
    // so that only neighbouring chunks share rows.
    if (o.sites < o.chunks * (o.overlap + 1))
        fail("--sites must be at least chunks x (overlap + 1)");
    if (o.switchMid > 0 || o.switchEdge > 0) o.truth = true;
    if (o.imputed) o.vcfChunks = true;
    return o;
}

// One output file written plain and, optionally, gzip-compressed at level 6,
// from one buffer flushed in large blocks. Compression runs in a thread of
// its own per file, so that the site map and the chunks are compressed side
// by side; at most two blocks wait for it.
class output {
public:
    output(const std::string& path, bool gz) : path_(path) {
        plain_ = fopen(path.c_str(), "wb");
        if (!plain_) fail("cannot open [" + path + "]: " + strerror(errno));
        if (gz) {
            gz_ = gzopen((path + ".gz").c_str(), "wb6");
            if (!gz_) fail("cannot open [" + path + ".gz]: " + strerror(errno));
            gzbuffer(gz_, 1 << 20);
            worker_ = std::thread(&output::compress, this);
        }
        buf_.reserve(kBlock + (1 << 16));
    }
    ~output() { close(); }
    std::string& buffer() { return buf_; }
    // Called after every appended line.
    void maybeFlush() {
        if (buf_.size() >= kBlock) flush();
    }
    void close() {
        if (!plain_) return;
        flush();
        if (fclose(plain_) != 0) fail("cannot write [" + path_ + "]: " + strerror(errno));
        plain_ = nullptr;
        if (!gz_) return;
        {
            std::lock_guard<std::mutex> lock(m_);
            done_ = true;
        }
        cv_.notify_all();
        worker_.join();
        if (gzclose(gz_) != Z_OK || failed_) fail("cannot write [" + path_ + ".gz]");
        gz_ = nullptr;
    }

private:
    static const size_t kBlock = 4 << 20;
    std::string path_;
    FILE* plain_ = nullptr;
    gzFile gz_ = nullptr;
    std::string buf_;
    std::thread worker_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::string> queue_;
    bool done_ = false;
    bool failed_ = false;  // set by the worker only

    void flush() {
        if (buf_.empty()) return;
        if (fwrite(buf_.data(), 1, buf_.size(), plain_) != buf_.size())
            fail("cannot write [" + path_ + "]: " + strerror(errno));
        if (gz_) {
            std::unique_lock<std::mutex> lock(m_);
            cv_.wait(lock, [this] { return queue_.size() < 2; });
            queue_.push_back(std::move(buf_));
            lock.unlock();
            cv_.notify_all();
            buf_ = std::string();
            buf_.reserve(kBlock + (1 << 16));
        } else {
            buf_.clear();
        }
    }

    void compress() {
        for (;;) {
            std::unique_lock<std::mutex> lock(m_);
            cv_.wait(lock, [this] { return !queue_.empty() || done_; });
            if (queue_.empty()) return;
            std::string block = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            cv_.notify_all();
            if (!failed_ && gzwrite(gz_, block.data(), static_cast<unsigned>(block.size())) !=
                                static_cast<int>(block.size()))
                failed_ = true;
        }
    }
};

struct siteInfo {
    int32_t pos;
    uint32_t rs;
    std::string ref, alt;
    bool multiAfter;  // a multi-allelic record follows this site in the site map
};

const int kFounders = 8;
const double kSwitchRate = 1.0 / 300;  // founder switches per haplotype and site
const double kMutationRate = 1e-4;     // mutations per haplotype and site
const double kRareSites = 0.3;         // share of sites with rare variants only
const double kFlipRows = 0.03;         // share of chunk rows with exchanged alleles

std::string randomBases(rng& r, int n) {
    static const char bases[] = "ACGT";
    std::string s;
    for (int i = 0; i < n; i++) s += bases[r.below(4)];
    return s;
}

// Positions, identifiers and alleles of all sites, plus where multi-allelic
// records go. Positions rise by at least 2, so that a multi-allelic record
// fits at the position after a site.
std::vector<siteInfo> makeSites(rng& r, int64_t S) {
    std::vector<siteInfo> sites(S);
    const int64_t meanGap = std::max<int64_t>(4, std::min<int64_t>(1000, 60000000 / (S + 1)));
    int64_t pos = 60000;
    for (siteInfo& s : sites) {
        pos += 2 + static_cast<int64_t>(r.below(2 * meanGap - 3));
        s.pos = static_cast<int32_t>(pos);
        s.rs = static_cast<uint32_t>(1000000 + r.below(200000000));
        double kind = r.uniform();
        static const char bases[] = "ACGT";
        if (kind < 0.9) {  // SNP
            int a = static_cast<int>(r.below(4)), b = static_cast<int>(r.below(3));
            if (b >= a) b++;
            s.ref = bases[a];
            s.alt = bases[b];
        } else if (kind < 0.95) {  // deletion
            s.ref = randomBases(r, 2 + static_cast<int>(r.below(3)));
            s.alt = s.ref.substr(0, 1);
        } else {  // insertion
            s.ref = randomBases(r, 1);
            s.alt = s.ref + randomBases(r, 1 + static_cast<int>(r.below(3)));
        }
        s.multiAfter = false;
    }
    // A few multi-allelic records (about one per thousand sites, at least one).
    int64_t multi = std::max<int64_t>(1, S / 1000);
    for (int64_t m = 0; m < multi && S > 0; m++) sites[r.below(S)].multiAfter = true;
    return sites;
}

void appendInt(std::string& b, int64_t v) {
    char tmp[24];
    int n = snprintf(tmp, sizeof tmp, "%lld", static_cast<long long>(v));
    b.append(tmp, n);
}

std::string sampleName(int64_t k) {
    char tmp[32];
    snprintf(tmp, sizeof tmp, "HG%05lld", static_cast<long long>(100 + k));
    return tmp;
}

// chunk_01.haps ... (extension "haps") or chunk_01.vcf ... ("vcf").
std::string chunkName(int64_t c, int64_t K, const char* extension) {
    int width = K >= 100 ? 3 : 2;
    char tmp[40];
    snprintf(tmp, sizeof tmp, "chunk_%0*lld.%s", width, static_cast<long long>(c + 1), extension);
    return tmp;
}

// The switch errors of one chunk (see the top of the file). Candidate rows
// are drawn at the highest of the two rates and kept with probability
// rate(row) / highest, which gives every row its own rate without a draw per
// row and sample.
class switchErrors {
public:
    double mid = 0, edge = 0;
    double scale = 1;  // L: rows over which the edge excess falls by a factor e
    int64_t rows = 0;
    std::vector<char> swapped;           // per sample: exchanged from the current row on
    std::vector<int64_t> nextCandidate;  // per sample: the next row that may hold an error
    int64_t count = 0;                   // errors drawn so far

    switchErrors(double mid, double edge, double scale, int64_t rows, int64_t samples, rng& r)
        : mid(mid),
          edge(edge),
          scale(scale),
          rows(rows),
          swapped(samples, 0),
          nextCandidate(samples) {
        for (int64_t& next : nextCandidate) next = drawCandidate(0, r);
    }

    double rateAt(int64_t row) const {
        const int64_t d = std::min(row, rows - 1 - row);
        return mid + (edge - mid) * std::exp(-static_cast<double>(d) / scale);
    }

    // Draws the errors of one row; called for rows 0, 1, ... in turn.
    void advance(int64_t row, rng& r) {
        const double keep = highest() > 0 ? rateAt(row) / highest() : 0;
        for (size_t k = 0; k < nextCandidate.size(); k++) {
            if (nextCandidate[k] != row) continue;
            if (r.chance(keep)) {
                swapped[k] ^= 1;
                count++;
            }
            nextCandidate[k] = drawCandidate(row + 1, r);
        }
    }

private:
    double highest() const { return std::max(mid, edge); }
    int64_t drawCandidate(int64_t from, rng& r) const {
        if (highest() <= 0) return INT64_MAX;
        return from + r.geometric(highest());
    }
};

// Codes of one chunk row in chunk-file layout (" x y" per sample), sample k's
// pair exchanged when swap[k] is set and complemented when flip is.
void appendTextCodes(std::string& b, const std::vector<char>& allele, const std::vector<char>& swap,
                     char flip) {
    size_t at = b.size();
    b.resize(at + 2 * allele.size());
    char* p = &b[at];
    for (size_t k = 0; k < swap.size(); k++) {
        char x = allele[2 * k], y = allele[2 * k + 1];
        if (swap[k]) std::swap(x, y);
        p[0] = ' ';
        p[1] = static_cast<char>('0' + (x ^ flip));
        p[2] = ' ';
        p[3] = static_cast<char>('0' + (y ^ flip));
        p += 4;
    }
}

// The same as phased VCF genotypes ("\tx|y" per sample).
void appendVcfCodes(std::string& b, const std::vector<char>& allele,
                    const std::vector<char>& swap) {
    size_t at = b.size();
    b.resize(at + 2 * allele.size());
    char* p = &b[at];
    for (size_t k = 0; k < swap.size(); k++) {
        char x = allele[2 * k], y = allele[2 * k + 1];
        if (swap[k]) std::swap(x, y);
        p[0] = '\t';
        p[1] = static_cast<char>('0' + x);
        p[2] = '|';
        p[3] = static_cast<char>('0' + y);
        p += 4;
    }
}

// Header of a plain VCF chunk: the site map's contig, GT only, the samples.
void appendChunkVcfHeader(std::string& b, int64_t contigLength, int64_t N) {
    b += "##fileformat=VCFv4.2\n##source=seamline_generate\n##contig=<ID=20,length=";
    appendInt(b, contigLength);
    b += ">\n##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Phased genotype\">\n"
         "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
    for (int64_t k = 0; k < N; k++) {
        b += '\t';
        b += sampleName(k);
    }
    b += '\n';
}

// The first five columns of a site in seamline's text output layout.
void appendTruthSite(std::string& b, const siteInfo& s) {
    b += "20 rs";
    appendInt(b, s.rs);
    b += ' ';
    appendInt(b, s.pos);
    b += ' ';
    b += s.ref;
    b += ' ';
    b += s.alt;
}

// CHROM, POS, ID, REF and ALT of a site in VCF, tab-separated.
void appendVcfSite(std::string& b, const siteInfo& s) {
    b += "20\t";
    appendInt(b, s.pos);
    b += "\trs";
    appendInt(b, s.rs);
    b += '\t';
    b += s.ref;
    b += '\t';
    b += s.alt;
}

// What an imputed set fixes per site, the same in every chunk that holds it:
// the second ALT allele, if any, every haplotype's allele (0, 1 or 2) and the
// form of every sample's genotype.
enum genotypeForm : char { kPhased, kUnphased, kMissingPair, kMissingOne };
struct imputedSite {
    std::string alt2;          // empty: biallelic
    std::vector<char> allele;  // per haplotype
    std::vector<char> form;    // per sample, a genotypeForm
};

// Counts over all chunk records, for the summary.
struct imputedCounts {
    int64_t multiRecords = 0, unphased = 0, missing = 0;
};

// A second ALT allele: a third base at a SNP, else the first ALT lengthened.
std::string secondAlt(const siteInfo& s, rng& r) {
    static const char bases[] = "ACGT";
    if (s.ref.size() == 1 && s.alt.size() == 1)
        for (;;) {
            char c = bases[r.below(4)];
            if (c != s.ref[0] && c != s.alt[0]) return std::string(1, c);
        }
    for (;;) {
        std::string a = s.alt + bases[r.below(4)];
        if (a != s.ref) return a;
    }
}

// At a multi-allelic site about a third of the first ALT's haplotypes carry
// the second instead, at least one.
void makeImputedSite(imputedSite& is, const siteInfo& s, const std::vector<char>& allele,
                     const options& o, rng& r) {
    is.allele = allele;
    is.alt2.clear();
    if (r.chance(o.multiRate)) {
        is.alt2 = secondAlt(s, r);
        bool any = false;
        size_t carriers = 0;
        for (char& a : is.allele) {
            carriers += a == 1;
            if (a == 1 && r.below(3) == 0) a = 2, any = true;
        }
        // Else one of the first ALT's haplotypes, or any if there is none.
        if (!any && carriers) {
            size_t pick = r.below(carriers);
            for (char& a : is.allele)
                if (a == 1 && pick-- == 0) {
                    a = 2;
                    break;
                }
        } else if (!any) {
            is.allele[r.below(is.allele.size())] = 2;
        }
    }
    for (char& f : is.form) {
        if (r.chance(o.missingRate))
            f = r.below(2) ? kMissingPair : kMissingOne;
        else
            f = r.chance(o.unphasedRate) ? kUnphased : kPhased;
    }
}

// How far a haplotype's probabilities stray from its allele, in thousandths:
// none for half of them, else up to 0.25, mostly little.
int probabilityNoise(rng& r) {
    double u = r.uniform();
    if (u < 0.5) return 0;
    double v = 2 * u - 1;
    return static_cast<int>(250 * v * v * v);
}

// A value in thousandths (0 to 9999) as a decimal without trailing zeros.
void appendMilli(std::string& b, int v) {
    b += static_cast<char>('0' + v / 1000);
    int frac = v % 1000;
    if (!frac) return;
    char digits[4] = {'.', static_cast<char>('0' + frac / 100),
                      static_cast<char>('0' + frac / 10 % 10), static_cast<char>('0' + frac % 10)};
    int n = 4;
    while (digits[n - 1] == '0') n--;
    b.append(digits, n);
}

// Header of an imputed VCF chunk: the contig, INFO AF and IQ, the FORMAT
// fields asked for, the samples.
void appendImputedVcfHeader(std::string& b, int64_t contigLength, int64_t N,
                            const std::vector<std::string>& fields) {
    b += "##fileformat=VCFv4.2\n##source=seamline_generate\n##contig=<ID=20,length=";
    appendInt(b, contigLength);
    b += ">\n"
         "##INFO=<ID=AF,Number=A,Type=Float,Description=\"ALT allele frequency estimated "
         "in the chunk\">\n"
         "##INFO=<ID=IQ,Number=A,Type=Float,Description=\"Imputation quality: variance of "
         "the dosage over its expected variance\">\n";
    for (const std::string& f : fields) {
        if (f == "GT")
            b += "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n";
        else if (f == "DS")
            b += "##FORMAT=<ID=DS,Number=A,Type=Float,Description=\"ALT allele dosage\">\n";
        else if (f == "GP")
            b += "##FORMAT=<ID=GP,Number=G,Type=Float,Description=\"Genotype "
                 "probabilities\">\n";
        else
            b += "##FORMAT=<ID=" + f +
                 ",Number=A,Type=Float,Description=\"ALT allele probabilities of the " +
                 (f == "AP1" ? "first" : "second") + " haplotype\">\n";
    }
    b += "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
    for (int64_t k = 0; k < N; k++) {
        b += '\t';
        b += sampleName(k);
    }
    b += '\n';
}

// One record of an imputed chunk. Every written haplotype gets a probability
// per allele (thousandths); AP1 and AP2 are those of the ALT alleles, DS
// their sums and GP the genotype probabilities of the pair, so that all
// follow the chunk's stored haplotype order. The draws are the same whatever
// the fields and forms.
class imputedWriter {
public:
    explicit imputedWriter(const std::vector<std::string>& fields) : fields_(fields) {}

    void append(std::string& b, const siteInfo& s, const imputedSite& is,
                const std::vector<char>& swap, rng& r, imputedCounts& counts) {
        const int alleles = is.alt2.empty() ? 2 : 3;
        const size_t N = swap.size();
        written_.resize(2 * N);
        prob_.assign(6 * N, 0);
        double sum[2] = {0, 0}, sumSq[2] = {0, 0};
        int64_t called = 0;
        for (size_t k = 0; k < N; k++) {
            char x = is.allele[2 * k], y = is.allele[2 * k + 1];
            if (swap[k]) std::swap(x, y);
            const char form = is.form[k];
            if (form == kUnphased && x > y) std::swap(x, y);
            written_[2 * k] = x, written_[2 * k + 1] = y;
            for (size_t j = 0; j < 2; j++) {
                int* p = &prob_[3 * (2 * k + j)];
                const int a = written_[2 * k + j], e = probabilityNoise(r);
                p[a] = 1000 - e;
                if (alleles == 2) {
                    p[1 - a] = e;
                } else {
                    const int one = static_cast<int>(r.below(e + 1));
                    p[a == 0 ? 1 : 0] = one;
                    p[a == 2 ? 1 : 2] = e - one;
                }
            }
            if (form == kMissingPair || form == kMissingOne) {
                counts.missing++;
                continue;
            }
            counts.unphased += form == kUnphased;
            called++;
            for (int t = 0; t + 1 < alleles; t++) {
                const double ds = (prob_[6 * k + 1 + t] + prob_[6 * k + 4 + t]) / 1000.0;
                sum[t] += ds;
                sumSq[t] += ds * ds;
            }
        }
        counts.multiRecords += alleles == 3;

        appendVcfSite(b, s);
        if (alleles == 3) {
            b += ',';
            b += is.alt2;
        }
        b += "\t.\tPASS\tAF=";
        appendInfo(b, alleles, called, sum, sumSq, false);
        b += ";IQ=";
        appendInfo(b, alleles, called, sum, sumSq, true);
        b += '\t';
        for (size_t f = 0; f < fields_.size(); f++) {
            if (f) b += ':';
            b += fields_[f];
        }
        for (size_t k = 0; k < N; k++) {
            const char form = is.form[k];
            const bool missing = form == kMissingPair || form == kMissingOne;
            const int* p1 = &prob_[6 * k];
            const int* p2 = p1 + 3;
            b += '\t';
            for (size_t f = 0; f < fields_.size(); f++) {
                const std::string& id = fields_[f];
                if (f) b += ':';
                if (id == "GT") {
                    if (form == kMissingOne) {
                        b += '.';
                    } else if (form == kMissingPair) {
                        b += ".|.";
                    } else {
                        b += static_cast<char>('0' + written_[2 * k]);
                        b += form == kUnphased ? '/' : '|';
                        b += static_cast<char>('0' + written_[2 * k + 1]);
                    }
                } else if (missing) {
                    b += '.';
                } else if (id == "DS") {
                    for (int t = 1; t < alleles; t++) {
                        if (t > 1) b += ',';
                        appendMilli(b, p1[t] + p2[t]);
                    }
                } else if (id == "GP") {
                    appendGenotypeProbabilities(b, alleles, p1, p2);
                } else {
                    const int* p = id == "AP1" ? p1 : p2;
                    for (int t = 1; t < alleles; t++) {
                        if (t > 1) b += ',';
                        appendMilli(b, p[t]);
                    }
                }
            }
        }
        b += '\n';
    }

private:
    std::vector<std::string> fields_;
    std::vector<char> written_;  // per haplotype, in written order
    std::vector<int> prob_;      // per haplotype and allele, thousandths

    // AF (the mean dosage over two) or IQ (the dosage variance over 2p(1-p))
    // per ALT allele, over the called genotypes.
    static void appendInfo(std::string& b, int alleles, int64_t called, const double* sum,
                           const double* sumSq, bool quality) {
        for (int t = 0; t + 1 < alleles; t++) {
            if (t) b += ',';
            if (!called) {
                b += '.';
                continue;
            }
            const double mean = sum[t] / called, p = mean / 2;
            double v = p;
            if (quality) {
                const double expected = 2 * p * (1 - p);
                v = expected > 0 ? std::min(1.0, (sumSq[t] / called - mean * mean) / expected) : 0;
                v = std::max(0.0, v);
            }
            char tmp[32];
            int n = snprintf(tmp, sizeof tmp, quality ? "%.3f" : "%.4g", v);
            b.append(tmp, n);
        }
    }

    // GP in VCF order (0/0, 0/1, 1/1, 0/2, 1/2, 2/2), rounded to thousandths
    // that sum to one: the rounding difference goes to the largest value.
    static void appendGenotypeProbabilities(std::string& b, int alleles, const int* p1,
                                            const int* p2) {
        int gp[6], n = 0, total = 0, largest = 0;
        for (int y = 0; y < alleles; y++)
            for (int x = 0; x <= y; x++) {
                int v = p1[x] * p2[y] + (x != y ? p1[y] * p2[x] : 0);
                gp[n] = (v + 500) / 1000;
                total += gp[n];
                if (gp[n] > gp[largest]) largest = n;
                n++;
            }
        gp[largest] += 1000 - total;
        for (int i = 0; i < n; i++) {
            if (i) b += ',';
            appendMilli(b, gp[i]);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    const options o = parse(argc, argv);
    const int64_t N = o.samples, S = o.sites, K = o.chunks, O = o.overlap;
    const int64_t H = 2 * N;
    if (mkdir(o.out.c_str(), 0777) != 0 && errno != EEXIST)
        fail("cannot create [" + o.out + "]: " + strerror(errno));
    rng r(o.seed);

    const std::vector<siteInfo> sites = makeSites(r, S);

    // Chunk c covers the rows [first[c], last[c]); neighbours share O rows.
    std::vector<int64_t> first(K), last(K);
    for (int64_t c = 0; c < K; c++) {
        int64_t lo = c * S / K, hi = (c + 1) * S / K;
        first[c] = c == 0 ? 0 : lo - O / 2;
        last[c] = c == K - 1 ? S : hi + (O + 1) / 2;
    }
    // Per chunk and sample: are the two haplotypes stored exchanged?
    std::vector<std::vector<char>> exchanged(K, std::vector<char>(N));
    for (auto& e : exchanged)
        for (char& x : e) x = static_cast<char>(r.below(2));
    const int64_t contigLength = (S ? sites.back().pos : 60000) + 100000;

    // Switch errors per chunk, from a random stream of their own.
    rng errorRandom(o.seed ^ 0x5357495443484552ULL);
    const double edgeScale = std::max(1.0, O / 4.0);
    std::vector<switchErrors> errors;
    for (int64_t c = 0; c < K; c++)
        errors.emplace_back(o.switchMid, o.switchEdge, edgeScale, last[c] - first[c], N,
                            errorRandom);
    // Per chunk and sample: exchanged as stored, after the switch errors so far.
    std::vector<std::vector<char>> storedSwap = exchanged;

    // Imputed chunks: their own random stream, the site's state, the writer.
    rng imputedRandom(o.seed ^ 0x494d50555445440aULL);
    imputedSite imputed;
    imputed.form.resize(N);
    imputedWriter imputedRecords(o.fields);
    imputedCounts imputedTotals;

    // Site map header.
    output vcf(o.out + "/sites.vcf", o.gz);
    {
        std::string& b = vcf.buffer();
        b += "##fileformat=VCFv4.2\n##source=seamline_generate\n##contig=<ID=20,length=";
        appendInt(b, contigLength);
        b += ">\n"
             "##INFO=<ID=AC,Number=A,Type=Integer,Description=\"Allele count in genotypes\">\n"
             "##INFO=<ID=AN,Number=1,Type=Integer,Description=\"Total number of alleles in "
             "called genotypes\">\n"
             "##INFO=<ID=AF,Number=A,Type=Float,Description=\"Allele frequency\">\n"
             "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Phased genotype\">\n"
             "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
        for (int64_t k = 0; k < N; k++) {
            b += '\t';
            b += sampleName(k);
        }
        b += '\n';
        vcf.maybeFlush();
    }

    std::vector<std::unique_ptr<output>> files(K), vcfFiles(K);
    std::vector<int64_t> rows(K, 0), flipped(K, 0);
    std::unique_ptr<output> truth;
    if (o.truth) truth.reset(new output(o.out + "/truth.haps", false));

    // Haplotype states: founder copied, site of the next switch, site of the next mutation.
    std::vector<int> founder(H);
    std::vector<int64_t> nextSwitch(H), nextMutation(H);
    for (int64_t h = 0; h < H; h++) {
        founder[h] = static_cast<int>(r.below(kFounders));
        nextSwitch[h] = r.geometric(kSwitchRate);
        nextMutation[h] = r.geometric(kMutationRate);
    }
    std::vector<char> allele(H);
    std::vector<int64_t> carriers;

    for (int64_t i = 0; i < S; i++) {
        const siteInfo& s = sites[i];
        // Founder pattern: which founders carry the alt allele. Common sites
        // have 1 to kFounders - 1 carriers, fewer more likely (about 1/k);
        // rare sites have none, and a few haplotypes carry a new allele.
        unsigned pattern = 0;
        carriers.clear();
        if (r.chance(kRareSites)) {
            // 1 to 20 carriers, log-uniform (weight about 1/c).
            int64_t c = static_cast<int64_t>(std::exp(r.uniform() * std::log(21.0)));
            c = std::max<int64_t>(1, std::min<int64_t>(c, H));
            for (int64_t j = 0; j < c; j++) carriers.push_back(static_cast<int64_t>(r.below(H)));
        } else {
            // 1 to kFounders - 1 founders, log-uniform (weight about 1/k).
            int k = static_cast<int>(std::exp(r.uniform() * std::log(double(kFounders))));
            k = std::max(1, std::min(kFounders - 1, k));
            while (__builtin_popcount(pattern) < k) pattern |= 1u << r.below(kFounders);
        }
        int64_t ac = 0;
        for (int64_t h = 0; h < H; h++) {
            if (nextSwitch[h] == i) {
                int f = static_cast<int>(r.below(kFounders - 1));
                founder[h] = f >= founder[h] ? f + 1 : f;
                nextSwitch[h] = i + 1 + r.geometric(kSwitchRate);
            }
            char a = static_cast<char>((pattern >> founder[h]) & 1);
            if (nextMutation[h] == i) {
                a ^= 1;
                nextMutation[h] = i + 1 + r.geometric(kMutationRate);
            }
            allele[h] = a;
        }
        for (int64_t h : carriers) allele[h] = 1;
        for (int64_t h = 0; h < H; h++) ac += allele[h];
        if (o.imputed) makeImputedSite(imputed, s, allele, o, imputedRandom);

        // Site map row.
        {
            std::string& b = vcf.buffer();
            appendVcfSite(b, s);
            b += "\t100\tPASS\tAC=";
            appendInt(b, ac);
            b += ";AN=";
            appendInt(b, H);
            char af[32];
            snprintf(af, sizeof af, ";AF=%.4g\tGT", static_cast<double>(ac) / H);
            b += af;
            size_t at = b.size();
            b.resize(at + 4 * H / 2);
            char* p = &b[at];
            for (int64_t h = 0; h < H; h += 2) {
                p[0] = '\t';
                p[1] = static_cast<char>('0' + allele[h]);
                p[2] = '|';
                p[3] = static_cast<char>('0' + allele[h + 1]);
                p += 4;
            }
            b += '\n';
            if (s.multiAfter) {
                // A multi-allelic record at the next position: never a site.
                std::string ref = s.ref.substr(0, 1), alts;
                for (char c : std::string("ACGT"))
                    if (c != ref[0] && alts.size() < 3) {
                        if (!alts.empty()) alts += ',';
                        alts += c;
                    }
                b += "20\t";
                appendInt(b, s.pos + 1);
                b += "\t.\t";
                b += ref;
                b += '\t';
                b += alts;
                // One haplotype carries the second allele, another the third.
                int64_t one = static_cast<int64_t>(r.below(H)),
                        two = static_cast<int64_t>(r.below(H));
                char info[96];
                snprintf(info, sizeof info, "\t50\tPASS\tAC=1,%d;AN=%lld;AF=%.4g,%.4g\tGT",
                         one != two, static_cast<long long>(H), 1.0 / H,
                         (one != two) / static_cast<double>(H));
                b += info;
                for (int64_t h = 0; h < H; h += 2) {
                    b += '\t';
                    b += h == one ? '1' : h == two ? '2' : '0';
                    b += '|';
                    b += h + 1 == one ? '1' : h + 1 == two ? '2' : '0';
                }
                b += '\n';
            }
            vcf.maybeFlush();
        }
        if (truth) {
            std::string& b = truth->buffer();
            appendTruthSite(b, s);
            for (int64_t h = 0; h < H; h++) {
                b += ' ';
                b += static_cast<char>('0' + allele[h]);
            }
            b += '\n';
            truth->maybeFlush();
        }

        // Rows of the chunks that cover the site (one, or two in an overlap).
        for (int64_t c = 0; c < K; c++) {
            if (i < first[c] || i >= last[c]) continue;
            if (!files[c]) files[c].reset(new output(o.out + "/" + chunkName(c, K, "haps"), o.gz));
            switchErrors& errs = errors[c];
            errs.advance(i - first[c], errorRandom);
            for (int64_t k = 0; k < N; k++) storedSwap[c][k] = exchanged[c][k] ^ errs.swapped[k];
            const bool flip = r.chance(kFlipRows);
            flipped[c] += flip;
            rows[c]++;
            std::string& b = files[c]->buffer();
            b += "20 rs";
            appendInt(b, s.rs);
            b += ' ';
            appendInt(b, s.pos);
            b += ' ';
            b += flip ? s.alt : s.ref;
            b += ' ';
            b += flip ? s.ref : s.alt;
            appendTextCodes(b, allele, storedSwap[c], static_cast<char>(flip));
            b += '\n';
            files[c]->maybeFlush();
            if (o.vcfChunks) {
                if (!vcfFiles[c]) {
                    vcfFiles[c].reset(new output(o.out + "/" + chunkName(c, K, "vcf"), false));
                    if (o.imputed)
                        appendImputedVcfHeader(vcfFiles[c]->buffer(), contigLength, N, o.fields);
                    else
                        appendChunkVcfHeader(vcfFiles[c]->buffer(), contigLength, N);
                }
                std::string& v = vcfFiles[c]->buffer();
                if (o.imputed) {
                    imputedRecords.append(v, s, imputed, storedSwap[c], imputedRandom,
                                          imputedTotals);
                } else {
                    appendVcfSite(v, s);
                    v += "\t.\tPASS\t.\tGT";
                    appendVcfCodes(v, allele, storedSwap[c]);
                    v += '\n';
                }
                vcfFiles[c]->maybeFlush();
            }
            // A chunk is complete once its last row is written.
            if (i + 1 == last[c]) {
                files[c]->close();
                if (vcfFiles[c]) vcfFiles[c]->close();
            }
        }
    }
    vcf.close();
    if (truth) truth->close();
    for (int64_t c = 0; c < K; c++)
        if (!files[c]) output(o.out + "/" + chunkName(c, K, "haps"), o.gz).close();

    int64_t totalRows = 0, totalFlipped = 0, totalErrors = 0;
    for (int64_t c = 0; c < K; c++) {
        totalRows += rows[c], totalFlipped += flipped[c];
        totalErrors += errors[c].count;
    }

    // Written last: its presence says that every other file is complete.
    std::string summary = o.out + "/summary.txt";
    FILE* f = fopen(summary.c_str(), "w");
    if (!f) fail("cannot open [" + summary + "]: " + strerror(errno));
    fprintf(f,
            "generator=%s\nsamples=%lld\nsites=%lld\nchunks=%lld\noverlap=%lld\nseed=%llu\n"
            "rows=%lld\nflipped_rows=%lld\ngz=%d\n",
            kVersion, static_cast<long long>(N), static_cast<long long>(S),
            static_cast<long long>(K), static_cast<long long>(O),
            static_cast<unsigned long long>(o.seed), static_cast<long long>(totalRows),
            static_cast<long long>(totalFlipped), o.gz ? 1 : 0);
    // Keys that only sets with the newer parts have.
    if (o.switchMid > 0 || o.switchEdge > 0)
        fprintf(f, "switch_mid=%g\nswitch_edge=%g\nswitch_scale=%g\nswitch_errors=%lld\n",
                o.switchMid, o.switchEdge, edgeScale, static_cast<long long>(totalErrors));
    if (o.truth) fprintf(f, "truth=1\n");
    if (o.vcfChunks) fprintf(f, "vcf_chunks=1\n");
    std::string fieldList;
    for (const std::string& id : o.fields) fieldList += (fieldList.empty() ? "" : ":") + id;
    if (o.imputed)
        fprintf(f,
                "imputed=1\nfields=%s\nmulti_rate=%g\nunphased_rate=%g\nmissing_rate=%g\n"
                "multi_records=%lld\nunphased_genotypes=%lld\nmissing_genotypes=%lld\n",
                fieldList.c_str(), o.multiRate, o.unphasedRate, o.missingRate,
                static_cast<long long>(imputedTotals.multiRecords),
                static_cast<long long>(imputedTotals.unphased),
                static_cast<long long>(imputedTotals.missing));
    if (fclose(f) != 0) fail("cannot write [" + summary + "]: " + strerror(errno));

    printf("%s: %lld samples, %lld sites, %lld chunks, %lld rows (%lld with exchanged alleles)%s\n",
           kVersion, static_cast<long long>(N), static_cast<long long>(S),
           static_cast<long long>(K), static_cast<long long>(totalRows),
           static_cast<long long>(totalFlipped), o.gz ? ", plain and gz" : ", plain only");
    if (o.switchMid > 0 || o.switchEdge > 0)
        printf("switch errors: %lld (per row and sample %g in a chunk's middle, %g at its edges)\n",
               static_cast<long long>(totalErrors), o.switchMid, o.switchEdge);
    if (o.imputed)
        printf(
            "imputed VCF chunks, %s: %lld multi-allelic records, %lld unphased and %lld "
            "missing genotypes\n",
            fieldList.c_str(), static_cast<long long>(imputedTotals.multiRecords),
            static_cast<long long>(imputedTotals.unphased),
            static_cast<long long>(imputedTotals.missing));
    return 0;
}
