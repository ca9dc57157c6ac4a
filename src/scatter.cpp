#include "scatter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "chunks.h"
#include "failure.h"
#include "join.h"
#include "scaffold.h"
#include "sitemap.h"
#include "staging.h"
#include "stepfiles.h"
#include "text.h"

namespace seamline {

namespace {

// What every step knows of the join: its options, where its files go and
// the identity that ties them together.
struct stepContext {
    const options& opt;
    const haplotypeSettings& settings;
    std::string work;
    std::vector<std::string> inputs;
    uint64_t run = 0;
    seamRule rule = seamRule::middle;

    std::string file(const std::string& kind, size_t part = 0) const {
        return work + "/" + kind + (part ? "." + std::to_string(part) : "");
    }
    std::string haplotypes() const { return opt.single ? opt.single : opt.haplotypes; }
};

// The plan: the site map and the chunks in their order along the chromosome,
// each with its first site (-1 for a chunk without rows).
struct plan {
    siteMap sites;
    std::vector<std::string> chunks;
    std::vector<int32_t> firstSites;
};

plan readPlan(const stepContext& at) {
    stepIn in(at.file("plan"), "plan", at.run);
    siteMap sites = siteMap::load(in);
    std::vector<std::string> chunks = in.texts();
    std::vector<int32_t> firstSites = in.numbers();
    if (chunks.size() != at.opt.chunks.size() || firstSites.size() != chunks.size())
        fail("cannot read [" + in.name() + "]: the file is damaged");
    return {std::move(sites), std::move(chunks), std::move(firstSites)};
}

// One boundary as its step found it: the decision's evidence, and the
// overlap's sites and rows for the stretches on either side.
struct boundaryFile {
    boundary b;
    std::vector<int32_t> exchangedSeams;        // agree seams for a right chunk written exchanged
    std::vector<int32_t> sites;                 // the overlap's sites, in order
    std::vector<uint64_t> leftBits, rightBits;  // agree rule: the overlap rows of each chunk
};

void saveBoundary(const stepContext& at, size_t part, const boundaryFile& f, outputSet& outputs) {
    stepOut out("boundary", at.run);
    out.number(part);
    out.number(f.b.rows);
    out.numbers(f.b.keep);
    out.numbers(f.b.swap);
    out.numbers(f.b.seams);
    out.numbers(f.exchangedSeams);
    out.numbers(f.sites);
    out.words(f.leftBits);
    out.words(f.rightBits);
    const size_t i = outputs.add(at.file("boundary", part));
    out.save(outputs[i].path(), outputs[i].name);
}

boundaryFile readBoundary(const stepContext& at, size_t part, size_t samples) {
    stepIn in(at.file("boundary", part), "boundary", at.run);
    boundaryFile f;
    const uint64_t found = in.number();
    f.b.rows = static_cast<int32_t>(in.number());
    f.b.keep = in.numbers();
    f.b.swap = in.numbers();
    f.b.seams = in.numbers();
    f.exchangedSeams = in.numbers();
    f.sites = in.numbers();
    f.leftBits = in.words();
    f.rightBits = in.words();
    if (found != part)
        fail("cannot read [" + in.name() + "]: it is the file of boundary " +
             std::to_string(found) + ", not " + std::to_string(part));
    if (f.b.keep.size() != samples || f.b.swap.size() != samples ||
        f.sites.size() != static_cast<size_t>(f.b.rows) || f.b.rows < 1)
        fail("cannot read [" + in.name() + "]: the file is damaged");
    return f;
}

// The rows of an overlap held in a boundary file, as a chunk of its own.
chunk overlapChunk(const std::string& name, size_t samples, const std::vector<uint64_t>& bits) {
    chunk c(name, samples);
    const size_t words = c.rows.words();
    for (size_t r = 0; words && r < bits.size() / words; r++)
        std::copy(bits.begin() + r * words, bits.begin() + (r + 1) * words, c.rows.add());
    c.rows.finish();
    return c;
}

std::vector<uint64_t> overlapBits(const chunk& c, int32_t first, int32_t rows) {
    std::vector<uint64_t> bits;
    rowCursor cursor(c.rows);
    for (int32_t r = first; r < first + rows; r++) {
        const uint64_t* row = cursor.row(r);
        bits.insert(bits.end(), row, row + c.rows.words());
    }
    return bits;
}

void planStep(const stepContext& at, outputSet& outputs) {
    if (mkdir(at.work.c_str(), 0777) != 0 && errno != EEXIST)
        fail("cannot write [" + at.work + "]: " + strerror(errno));
    const size_t i = outputs.add(at.file("plan"));
    plan p{siteMap::read(at.opt.vcf), {}, {}};
    std::vector<int32_t> first;
    for (const std::string& name : at.opt.chunks) {
        chunk c = readRows(name, p.sites, at.opt.flip, {0, 0});
        first.push_back(c.sites.empty() ? -1 : c.sites[0]);
    }
    // The order of the join in one process: by first site, a chunk without
    // rows after every other.
    std::vector<size_t> order(first.size());
    for (size_t c = 0; c < order.size(); c++) order[c] = c;
    std::sort(order.begin(), order.end(), [&first](size_t a, size_t b) {
        if (first[a] < 0) return false;
        if (first[b] < 0) return true;
        return first[a] < first[b];
    });
    std::cout << "Sorting the " << order.size() << " chunks of data" << std::endl;
    for (size_t c : order) {
        p.chunks.push_back(at.opt.chunks[c]);
        p.firstSites.push_back(first[c]);
    }
    stepOut out("plan", at.run);
    p.sites.save(out);
    out.texts(p.chunks);
    out.numbers(p.firstSites);
    out.save(outputs[i].path(), outputs[i].name);
}

void boundaryStep(const stepContext& at, size_t part, outputSet& outputs) {
    plan p = readPlan(at);
    const size_t N = p.sites.samples().size();
    if (part < 2 || part > p.chunks.size())
        fail("--part of a boundary is a chunk number from 2 to " + std::to_string(p.chunks.size()));
    const int32_t rightFirst = p.firstSites[part - 1];
    // A right chunk without rows fails in the join, as in one process.
    chunk left = readRows(p.chunks[part - 2], p.sites, at.opt.flip,
                          {rightFirst < 0 ? 0 : rightFirst, rightFirst < 0 ? 0 : INT32_MAX});
    const int32_t leftLast = left.sites.empty() ? INT32_MAX : left.sites.back();
    chunk right = readRows(p.chunks[part - 1], p.sites, at.opt.flip, {0, leftLast});
    boundaryFile f;
    f.b = joinPair(left, right, N, at.rule, f.exchangedSeams);
    f.sites.assign(left.sites.begin() + f.b.leftStart, left.sites.end());
    if (at.rule == seamRule::agree) {
        f.leftBits = overlapBits(left, f.b.leftStart, f.b.rows);
        f.rightBits = overlapBits(right, 0, f.b.rows);
    }
    saveBoundary(at, part, f, outputs);
}

// The join's decisions: per boundary its evidence and seams, per chunk its
// exchange mask.
struct foldFile {
    std::vector<boundary> boundaries;  // [0] unused
    std::vector<std::vector<uint64_t>> exchange;
};

std::vector<bool> scaffoldOf(const stepContext& at, const std::vector<std::string>& samples) {
    return scaffolded(samples,
                      at.opt.scaffold ? readScaffold(at.opt.scaffold) : std::set<std::string>());
}

// The seams of a boundary with the agree rule: those worked out for the
// orientation in which the two chunks are written.
std::vector<int32_t> chosenSeams(const boundaryFile& f, const std::vector<uint64_t>& left,
                                 const std::vector<uint64_t>& right) {
    std::vector<int32_t> seams = f.b.seams;
    for (size_t k = 0; k < seams.size(); k++)
        if (((left[k >> 5] ^ right[k >> 5]) >> (2 * (k & 31))) & 1) seams[k] = f.exchangedSeams[k];
    return seams;
}

void foldStep(const stepContext& at, outputSet& outputs) {
    const size_t i = outputs.add(at.file("fold"));
    plan p = readPlan(at);
    const size_t N = p.sites.samples().size(), K = p.chunks.size();
    std::vector<boundaryFile> files(K);
    for (size_t c = 1; c < K; c++) {
        files[c] = readBoundary(at, c + 1, N);
        std::cout << "Assembling [" << p.chunks[c - 1] << "] with [" << p.chunks[c] << "]"
                  << std::endl;
        // The left chunk's rows before the middle of its own overlap with
        // the chunk before it are not its to pair.
        if (c >= 2) {
            const boundaryFile& before = files[c - 1];
            if (files[c].sites.front() <= before.sites[before.b.middle() - 1])
                failOnConsole("Chunk [" + p.chunks[c] + "] does not overlap chunk [" +
                              p.chunks[c - 1] + "], code 1");
        }
    }
    foldFile fold;
    for (const boundaryFile& f : files) fold.boundaries.push_back(f.b);
    fold.exchange = foldOrientations(fold.boundaries, scaffoldOf(at, p.sites.samples()));
    stepOut out("fold", at.run);
    for (size_t c = 1; c < K; c++) {
        boundary& b = fold.boundaries[c];
        if (at.rule == seamRule::agree)
            b.seams = chosenSeams(files[c], fold.exchange[c - 1], fold.exchange[c]);
        out.number(b.rows);
        out.numbers(b.keep);
        out.numbers(b.swap);
        out.numbers(b.seams);
    }
    for (const std::vector<uint64_t>& mask : fold.exchange) out.words(mask);
    out.save(outputs[i].path(), outputs[i].name);
}

foldFile readFold(const stepContext& at, size_t chunks, size_t samples) {
    stepIn in(at.file("fold"), "fold", at.run);
    foldFile fold;
    fold.boundaries.resize(chunks);
    for (size_t c = 1; c < chunks; c++) {
        boundary& b = fold.boundaries[c];
        b.rows = static_cast<int32_t>(in.number());
        b.keep = in.numbers();
        b.swap = in.numbers();
        b.seams = in.numbers();
        if (b.keep.size() != samples || b.swap.size() != samples)
            fail("cannot read [" + in.name() + "]: the file is damaged");
    }
    for (size_t c = 0; c < chunks; c++) fold.exchange.push_back(in.words());
    return fold;
}

// The first row of c whose site is s; a chunk that lacks it has changed
// since its boundary was read.
int32_t rowOfSite(const chunk& c, int32_t s) {
    auto found = std::lower_bound(c.sites.begin(), c.sites.end(), s);
    if (found == c.sites.end() || *found != s)
        fail("cannot read [" + c.name + "]: its rows are not those its boundary found");
    return static_cast<int32_t>(found - c.sites.begin());
}

void stretchStep(const stepContext& at, size_t part, outputSet& outputs) {
    plan p = readPlan(at);
    const size_t N = p.sites.samples().size(), K = p.chunks.size();
    if (part < 1 || part > K)
        fail("--part of a stretch is a chunk number from 1 to " + std::to_string(K));
    const size_t bytes = outputs.add(at.file("stretch", part));
    const size_t entriesAt = outputs.add(at.file("stretch", part) + ".entries");
    foldFile fold = readFold(at, K, N);
    const size_t c = part - 1;
    // The chunk along with the overlap rows of its neighbours, which the
    // agree rule blends with its own.
    joinResult join;
    join.rule = at.rule;
    join.chunks.emplace_back(c > 0 ? p.chunks[c - 1] : "", N);
    join.chunks.push_back(readRows(p.chunks[c], p.sites, at.opt.flip, {}));
    join.chunks.emplace_back(c + 1 < K ? p.chunks[c + 1] : "", N);
    join.boundaries.resize(3);
    join.exchange.assign(3, std::vector<uint64_t>(fold.exchange[c].size(), 0));
    const chunk& own = join.chunks[1];
    int32_t first = 0, end = static_cast<int32_t>(own.sites.size());
    if (c > 0) {
        boundaryFile f = readBoundary(at, part, N);
        if (rowOfSite(own, f.sites.front()) != 0)
            fail("cannot read [" + own.name + "]: its rows are not those its boundary found");
        join.boundaries[1] = fold.boundaries[c];
        join.chunks[0] = overlapChunk(p.chunks[c - 1], N, f.leftBits);
        join.exchange[0] = fold.exchange[c - 1];
        first = join.boundaries[1].middle();
    }
    join.exchange[1] = fold.exchange[c];
    if (c + 1 < K) {
        boundaryFile f = readBoundary(at, part + 1, N);
        boundary& b = join.boundaries[2];
        b = fold.boundaries[c + 1];
        b.leftStart = rowOfSite(own, f.sites.front());
        if (b.leftStart + b.rows != end)
            fail("cannot read [" + own.name + "]: its rows are not those its boundary found");
        join.chunks[2] = overlapChunk(p.chunks[c + 1], N, f.rightBits);
        join.exchange[2] = fold.exchange[c + 1];
        end = b.leftStart + b.middle();
    }
    join.sources.resize(p.sites.sites().size());
    for (int32_t r = first; r < end; r++) join.sources[own.sites[r]] = {1, r};
    std::cout << "Writing the stretch of [" << own.name << "]" << std::endl;
    std::vector<variantWriter::pieceEntry> entries;
    writeStretch(outputs[bytes].path(), outputs[bytes].name, at.haplotypes(), p.sites, join,
                 at.settings, entries);
    struct stat st;
    if (stat(outputs[bytes].path().c_str(), &st) != 0)
        fail("cannot read [" + outputs[bytes].name + "]: " + strerror(errno));
    stepOut out("stretch", at.run);
    out.number(part);
    out.number(static_cast<uint64_t>(st.st_size));
    out.number(entries.size());
    for (const variantWriter::pieceEntry& e : entries) {
        out.number(static_cast<uint64_t>(e.contig));
        out.number(static_cast<uint64_t>(e.begin));
        out.number(static_cast<uint64_t>(e.end));
        out.number(e.offset);
    }
    out.save(outputs[entriesAt].path(), outputs[entriesAt].name);
}

stretchFile readStretch(const stepContext& at, size_t part) {
    stepIn in(at.file("stretch", part) + ".entries", "stretch", at.run);
    stretchFile s;
    s.path = at.file("stretch", part);
    const uint64_t found = in.number();
    s.size = in.number();
    const uint64_t n = in.number();
    if (found != part)
        fail("cannot read [" + in.name() + "]: it is the stretch of chunk " +
             std::to_string(found) + ", not " + std::to_string(part));
    for (uint64_t i = 0; i < n; i++) {
        variantWriter::pieceEntry e;
        e.contig = static_cast<int32_t>(in.number());
        e.begin = static_cast<int64_t>(in.number());
        e.end = static_cast<int64_t>(in.number());
        e.offset = in.number();
        s.entries.push_back(e);
    }
    struct stat st;
    if (stat(s.path.c_str(), &st) != 0) fail("cannot read [" + s.path + "]: " + strerror(errno));
    if (static_cast<uint64_t>(st.st_size) != s.size)
        fail("cannot read [" + s.path + "]: it is not the stretch that [" + in.name() +
             "] describes");
    return s;
}

void gatherStep(const stepContext& at, outputSet& outputs) {
    const options& opt = at.opt;
    const size_t samples = opt.single ? 0 : outputs.add(opt.samples);
    const size_t haplotypes = outputs.add(at.haplotypes());
    const size_t report = opt.report ? outputs.add(opt.report) : 0;
    reserveIndex(outputs, haplotypes);
    outputs.refuseInputs(at.inputs);
    plan p = readPlan(at);
    const size_t K = p.chunks.size();
    std::vector<stretchFile> stretches;
    for (size_t c = 1; c <= K; c++) stretches.push_back(readStretch(at, c));
    if (!opt.single) writeSamples(outputs[samples], p.sites.samples());
    if (opt.report) {
        joinResult join;
        for (const std::string& name : p.chunks) join.chunks.emplace_back(name, 0);
        join.boundaries = readFold(at, K, p.sites.samples().size()).boundaries;
        writeReport(outputs[report], join, p.sites.samples(), scaffoldOf(at, p.sites.samples()),
                    opt.seam != nullptr);
    }
    gatherHaplotypes(outputs, haplotypes, p.sites, stretches, at.settings);
}

// The settings that make the join's output what it is.
std::vector<std::string> runSettings(const options& opt) {
    auto text = [](const char* value) { return value ? std::string(value) : std::string("\1"); };
    std::vector<std::string> settings = {
        text(opt.vcf),    text(opt.scaffold), text(opt.haplotypes), text(opt.samples),
        text(opt.single), text(opt.report),   text(opt.seam),       opt.flip ? "flip" : ""};
    settings.insert(settings.end(), opt.chunks.begin(), opt.chunks.end());
    // Steps of other levels would gather blocks of mixed levels.
    if (opt.compressionLevel)
        settings.push_back("--compression-level " + text(opt.compressionLevel));
    return settings;
}

size_t partOf(const options& opt) {
    if (!opt.part) fail("--step " + std::string(opt.step) + " needs --part");
    int32_t part = 0;
    if (!parsePosition(opt.part, part))
        fail("--part takes a chunk number from 1, not [" + std::string(opt.part) + "]");
    return static_cast<size_t>(part);
}

}  // namespace

void runStep(const options& opt, const haplotypeSettings& settings) {
    if (!opt.work) fail("--step needs --work, the folder of the steps' files");
    if (!opt.vcf) fail("a join split into steps needs a site map (--vcf)");
    std::vector<std::string> inputs(opt.chunks);
    inputs.push_back(opt.vcf);
    if (opt.scaffold) inputs.push_back(opt.scaffold);
    stepContext at{
        opt,
        settings,
        opt.work,
        inputs,
        runIdentity(runSettings(opt), inputs),
        opt.seam && std::string(opt.seam) == "agree" ? seamRule::agree : seamRule::middle};
    const std::string step = opt.step;
    outputSet outputs;
    if (step == "plan")
        planStep(at, outputs);
    else if (step == "boundary")
        boundaryStep(at, partOf(opt), outputs);
    else if (step == "fold")
        foldStep(at, outputs);
    else if (step == "stretch")
        stretchStep(at, partOf(opt), outputs);
    else if (step == "gather")
        gatherStep(at, outputs);
    else
        fail("--step takes plan, boundary, fold, stretch or gather, not [" + step + "]");
    outputs.refuseInputs(inputs);
    outputs.commit();
}

}  // namespace seamline
