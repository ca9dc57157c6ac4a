#include <algorithm>
#include <iostream>

#include "failure.h"
#include "sitemap/chunks.h"
#include "sitemap/sitemap.h"
#include "split/steps.h"

namespace seamline {

namespace {

// The plan: what every step knows of the join, the chunks in their order
// along the chromosome, each with its first site (-1 for a chunk without
// rows). The site map itself goes to a file of its own, which only the steps
// that read chunks load.
struct plan : planSummary {
    std::vector<std::string> contigs, contigLines;
    bool farSites = false;  // some site lies beyond what TBI holds
    std::vector<int32_t> firstSites;

    variantWriter::header header(const std::string& commandLine) const {
        return {contigLines, contigs, samples, "seamline " SEAMLINE_VERSION, commandLine};
    }
};

plan readPlan(const stepContext& at) {
    stepIn in(at.file("plan"), "plan", at.run);
    plan p;
    static_cast<planSummary&>(p) = readSummary(in, at);
    p.contigs = in.texts();
    p.contigLines = in.texts();
    p.farSites = in.number() != 0;
    p.firstSites = in.numbers();
    if (p.firstSites.size() != p.chunks.size())
        fail("cannot read [" + in.name() + "]: the file is damaged");
    return p;
}

siteMap readSites(const stepContext& at) {
    stepIn in(at.file("plan.sites"), "sites", at.run);
    return loadSiteMap(in);
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

// The first row of c whose site is s; a chunk that lacks it has changed
// since its boundary was read.
int32_t rowOfSite(const chunk& c, int32_t s) {
    auto found = std::lower_bound(c.sites.begin(), c.sites.end(), s);
    if (found == c.sites.end() || *found != s)
        fail("cannot read [" + c.name + "]: its rows are not those its boundary found");
    return static_cast<int32_t>(found - c.sites.begin());
}

}  // namespace

void mapPlan(const stepContext& at, outputSet& outputs) {
    const size_t i = outputs.add(at.file("plan")), s = outputs.add(at.file("plan.sites"));
    const siteMap sites = siteMap::read(at.opt.vcf);
    std::vector<int32_t> first;
    for (const std::string& name : at.opt.chunks) {
        chunk c = readRows(name, sites, at.opt.flip, {0, 0});
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
    planSummary summary{sites.samples(), {}};
    std::vector<int32_t> firstSites;
    for (size_t c : order) {
        summary.chunks.push_back(at.opt.chunks[c]);
        firstSites.push_back(first[c]);
    }
    stepOut out("plan", at.run);
    writeSummary(out, summary);
    out.texts(sites.contigs());
    out.texts(sites.contigLines());
    out.number(beyondTbi(sites.sites()) ? 1 : 0);
    out.numbers(firstSites);
    out.save(outputs[i].path(), outputs[i].name);
    stepOut map("sites", at.run);
    saveSiteMap(map, sites);
    map.save(outputs[s].path(), outputs[s].name);
}

void mapBoundary(const stepContext& at, size_t part, outputSet& outputs) {
    const plan p = readPlan(at);
    const size_t N = p.samples.size();
    requirePart(part, 2, p.chunks.size(), "boundary");
    const int32_t rightFirst = p.firstSites[part - 1];
    // A right chunk without rows fails in the join, as in one process.
    const siteMap sites = readSites(at);
    chunk left = readRows(p.chunks[part - 2], sites, at.opt.flip,
                          {rightFirst < 0 ? 0 : rightFirst, rightFirst < 0 ? 0 : INT32_MAX});
    const int32_t leftLast = left.sites.empty() ? INT32_MAX : left.sites.back();
    chunk right = readRows(p.chunks[part - 1], sites, at.opt.flip, {0, leftLast});
    boundaryFile f;
    f.b = joinPair(left, right, N, at.rule, false, false, f.exchangedSeams);
    f.sites.assign(left.sites.begin() + f.b.leftRow(0), left.sites.end());
    if (at.rule == seamRule::agree) {
        f.leftBits = overlapBits(left, f.b.leftRow(0), f.b.rows());
        f.rightBits = overlapBits(right, 0, f.b.rows());
    }
    saveBoundary(at, part, f, outputs);
}

void mapStretch(const stepContext& at, size_t part, outputSet& outputs) {
    const plan p = readPlan(at);
    const size_t N = p.samples.size(), K = p.chunks.size();
    const stretchOutputs staged = stageStretch(at, part, K, outputs);
    foldFile fold = readFold(at, K, N);
    const size_t c = part - 1;
    // The chunk along with the overlap rows of its neighbours, which the
    // agree rule blends with its own.
    joinResult join;
    join.rule = at.rule;
    join.chunks.emplace_back(c > 0 ? p.chunks[c - 1] : "", N);
    const siteMap sites = readSites(at);
    // The rows before the middle of the overlap with the chunk before, and
    // from the middle of the one with the chunk after, are their neighbours'
    // to write: their genotypes, which the boundaries read and checked, are
    // not read again.
    boundaryFile before, after;
    rowRange decoded;
    if (c > 0) {
        before = readBoundary(at, part, N);
        const int32_t m = fold.boundaries[c].middle();
        if (!before.sites.empty())
            decoded.decodeFrom = m < static_cast<int32_t>(before.sites.size())
                                     ? before.sites[m]
                                     : before.sites.back() + 1;
    }
    if (c + 1 < K) {
        after = readBoundary(at, part + 1, N);
        const int32_t m = fold.boundaries[c + 1].middle();
        if (m < static_cast<int32_t>(after.sites.size())) decoded.decodeUntil = after.sites[m];
    }
    join.chunks.push_back(readRows(p.chunks[c], sites, at.opt.flip, decoded));
    join.chunks.emplace_back(c + 1 < K ? p.chunks[c + 1] : "", N);
    join.boundaries.resize(3);
    join.exchange.assign(3, std::vector<uint64_t>(fold.exchange[c].size(), 0));
    const chunk& own = join.chunks[1];
    int32_t first = 0, end = static_cast<int32_t>(own.sites.size());
    if (c > 0) {
        const boundaryFile& f = before;
        if (rowOfSite(own, f.sites.front()) != 0)
            fail("cannot read [" + own.name + "]: its rows are not those its boundary found");
        join.boundaries[1] = fold.boundaries[c];
        join.chunks[0] = overlapChunk(p.chunks[c - 1], N, f.leftBits);
        join.exchange[0] = fold.exchange[c - 1];
        first = join.boundaries[1].middle();
    }
    join.exchange[1] = fold.exchange[c];
    if (c + 1 < K) {
        const boundaryFile& f = after;
        boundary& b = join.boundaries[2];
        b = fold.boundaries[c + 1];
        const int32_t leftStart = rowOfSite(own, f.sites.front());
        if (leftStart + b.rows() != end)
            fail("cannot read [" + own.name + "]: its rows are not those its boundary found");
        b.pairInOrder(leftStart, b.rows());
        join.chunks[2] = overlapChunk(p.chunks[c + 1], N, f.rightBits);
        join.exchange[2] = fold.exchange[c + 1];
        end = leftStart + b.middle();
    }
    join.sources.resize(sites.sites().size());
    for (int32_t r = first; r < end; r++) join.sources[own.sites[r]] = {1, r};
    std::cout << "Writing the stretch of [" << own.name << "]" << std::endl;
    std::vector<variantWriter::pieceEntry> entries;
    writeStretch(outputs[staged.bytes].path(), outputs[staged.bytes].name, at.haplotypes(), sites,
                 join, at.settings, entries);
    saveStretch(at, part, staged, outputs, entries);
}

void mapGather(const stepContext& at, outputSet& outputs, size_t haplotypes,
               const std::vector<stretchFile>& stretches) {
    const plan p = readPlan(at);
    gatherHaplotypes(outputs, haplotypes, p.header(at.settings.commandLine), p.farSites, stretches,
                     at.settings);
}

}  // namespace seamline
