#ifndef SEAMLINE_DATA_H
#define SEAMLINE_DATA_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "chunk.h"
#include "output.h"
#include "utils.h"

// One biallelic site of the site map. A chromosome may hold millions of
// sites, so a site is a few numbers; its ID, REF and ALT texts stand one
// after another in data::siteText.
class site {
public:
    int32_t chr;  // CHROM read as a number, 0 when it does not begin with one
    int32_t pos;
    int32_t contig;  // index of its CHROM text in data::contigs
    int32_t cidx;    // chunk supplying the site, -1 when none does
    int32_t cpos;    // row of that chunk, -1 when none does
    uint32_t idLength, refLength, altLength;
    uint64_t text;  // where its ID starts in data::siteText
};

// Finds the first site, in site-map order, of a chromosome, position and
// pair of alleles, in constant time however many sites share a position.
class siteIndex {
public:
    std::vector<int32_t> slots;  // site indices, -1 for an empty slot
    size_t used = 0;

    // Enters the site unless an earlier site has the same key.
    void insert(const class data& d, int32_t idx);
    // The site, or -1.
    int32_t find(const data& d, int32_t chromosome, int32_t pos, std::string_view ref,
                 std::string_view alt) const;
};

// How reading one chunk file ended: the chunk, or what to report instead.
struct chunkReading {
    chunk* c = nullptr;
    std::string notFound;  // a row that matches no site: the "Not found = " line
    std::string error;     // any other failure: the message for standard error
};

// Orders chunks along the chromosome by the site index of their first row.
struct less_than_chunk {
    bool operator()(const chunk* a, const chunk* b) const;
};

// The whole run: samples, sites, chunks and the options that shape reading.
class data {
public:
    std::vector<site> sites;
    std::string siteText;
    std::vector<std::string> contigs;       // CHROM texts of the site map, in order of appearance
    std::vector<std::string> contigLines;   // its ##contig header lines
    std::vector<int32_t> contigChromosome;  // per contig: its chromosome, "chr" prefix ignored
    int32_t nchromosomes = 0;
    siteIndex pos2site;
    bool flip;
    const char* report = nullptr;  // the decision report, when asked for
    bool agreeSeam = false;        // each sample switches chunks where its two chunks agree
    bool seamColumn = false;       // the report shows each sample's seam
    std::string commandLine;       // for the header of VCF and BCF outputs
    int threads = 1;
    std::vector<std::string> I;  // sample identifiers
    std::vector<chunk*> chunks;
    std::set<std::string> scaffold;
    outputSet outputs;

    data();
    ~data();
    // Stages both outputs before anything is read; none may be one of the inputs.
    void checkOutputs(const char* fhaps, const char* fsamples,
                      const std::vector<std::string>& inputs);
    void readMap(const char* name);
    void readScaffold(const char* name);
    void readChunk(const char* name);
    // Every chunk file, in command-line order, several at once with threads.
    void readChunks(const std::vector<const char*>& names);
    // Reads a chunk file without printing or ending the run, so that several
    // can be read at once; stops early, with nothing, once cancel is set.
    chunkReading parseChunk(const char* name, const std::atomic<bool>* cancel) const;
    // The two formats of chunk files; false when cancelled.
    bool parseTextChunk(hFILE* fp, chunk& c, const std::atomic<bool>* cancel, size_t& lineNo) const;
    bool parseVariantChunk(hFILE* fp, chunk& c, const std::atomic<bool>* cancel) const;
    // The site of a chunk row, which must come after the chunk's last one;
    // lineNo names the row in messages, or 0 for a record named by position.
    int32_t chunkRowSite(const chunk& c, std::string_view chrom, int32_t pos, std::string_view a1,
                         std::string_view a2, bool& swapped, size_t lineNo) const;
    // Prints how the reading ended and keeps the chunk, or ends the run.
    void addChunk(const chunkReading& reading);
    void assemble();
    void writeHaplotypes(const char* fhaps, const char* fsamples);
    // The haplotypes as VCF or BCF, with their index.
    void writeVariants(const std::string& fhaps);
    // One row per boundary and sample: the evidence behind each orientation decision.
    void writeReport(const std::string& path);
    // Per chunk: both bits of every sample whose pair is written exchanged.
    std::vector<std::vector<uint64_t>> exchangeMasks() const;
    // Per sample, the overlap row of chunk b's join from which chunk b is written.
    std::vector<int32_t> seamsOf(size_t b,
                                 const std::vector<std::vector<uint64_t>>& exchange) const;

    std::string_view id(const site& s) const { return {&siteText[s.text], s.idLength}; }
    std::string_view ref(const site& s) const {
        return {&siteText[s.text + s.idLength], s.refLength};
    }
    std::string_view alt(const site& s) const {
        return {&siteText[s.text + s.idLength + s.refLength], s.altLength};
    }

private:
    std::unordered_map<std::string, int32_t> contigOf, chromosomeOf;
    int32_t contigIndex(std::string_view chrom);
    int32_t chromosomeOfRow(std::string_view chrom) const;
    void readTextMap(ifile& in);
    void readVariantMap(const std::string& name, hFILE* fp);
    // where: the line or record, for messages.
    void addSamples(const std::vector<std::string>& names, const std::string& name,
                    const std::string& where);
    // f: CHROM, POS, ID, REF, ALT, checked; the position, read, in pos.
    void addSite(const std::string_view* f, int32_t pos);
    // The row's site, or -1; swapped tells a match with the alleles exchanged.
    int32_t findSite(std::string_view chrom, int32_t pos, std::string_view a1, std::string_view a2,
                     bool& swapped) const;
};

// Walks the mapped sites in site-map order and gives each one's row as it is
// written: every sample's pair in its written orientation, from the chunk
// that supplies the site, or, in an overlap with seams where the chunks
// agree, from the side of that sample's seam.
class joinedRows {
public:
    const data& d;
    std::vector<std::vector<uint64_t>> exchange;
    std::vector<std::unique_ptr<rowCursor>> cursors;  // per chunk, while the walk needs it
    std::vector<uint64_t> row, other;
    size_t at = 0;  // the next site to look at
    // The overlap being written: its samples in order of their seams, how
    // many of them have passed their seam, and their bits.
    int32_t boundary = -1;
    std::vector<std::pair<int32_t, int32_t>> order;
    size_t taken = 0;
    std::vector<uint64_t> fromRight;

    explicit joinedRows(const data& d);
    // The next mapped site and its row; false after the last.
    bool next(const site*& s, const uint64_t*& bits);

private:
    const uint64_t* stored(size_t c, size_t r);
    void written(const uint64_t* bits, size_t c, uint64_t* out) const;
    void enterOverlap(size_t b);
    void blendOverlap(size_t b, size_t j, const uint64_t* left, const uint64_t* right);
};

#endif
