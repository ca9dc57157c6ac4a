// The steps of the join of VCF/BCF chunks by their records, without a site
// map. Each chunk holds one chromosome; the plan orders the chunks by their
// first records, found through the index beside each file where there is
// one; a boundary reads the overlap of its two chunks; a stretch reads its
// chunk and the overlaps of its neighbours, and writes the records it
// supplies as the join in one process writes them.
#include <fcntl.h>
#include <htslib/bgzf.h>
#include <htslib/tbx.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <unordered_map>

#include "dropin/passthrough.h"
#include "dropin/variants.h"
#include "failure.h"
#include "split/steps.h"
#include "text.h"
#include "vcfread.h"

namespace seamline {

namespace {

// Where a chunk's records lie: its chromosome (empty for a chunk without
// records) and the positions of its first and last records.
struct span {
    std::string contig;
    int64_t first = 0, last = 0, end = 0;  // end: where the last record ends, 0-based
};

// The plan of a join by records: the chunks in their order along the
// chromosomes, where each lies, its place on the command line, and the
// header every output record is written under (the chunks' lines with the
// contigs they lack, without the command line).
struct recordPlanFile : planSummary {
    std::vector<span> spans;
    std::vector<size_t> places;  // per chunk: its place on the command line
    std::string header;          // VCF text
    int64_t reach = 0;           // where the record that ends last ends
    bool farSites = false;       // some record lies beyond what TBI holds
};

void saveRecordPlan(const stepContext& at, const recordPlanFile& p, outputSet& outputs, size_t to) {
    stepOut out("plan", at.run);
    writeSummary(out, p);
    out.text(p.header);
    out.number(static_cast<uint64_t>(p.reach));
    out.number(p.farSites ? 1 : 0);
    for (size_t c = 0; c < p.chunks.size(); c++) {
        out.text(p.spans[c].contig);
        out.number(static_cast<uint64_t>(p.spans[c].first));
        out.number(static_cast<uint64_t>(p.spans[c].last));
        out.number(static_cast<uint64_t>(p.spans[c].end));
        out.number(p.places[c]);
    }
    out.save(outputs[to].path(), outputs[to].name);
}

recordPlanFile readRecordPlan(const stepContext& at) {
    stepIn in(at.file("plan"), "plan", at.run);
    recordPlanFile p;
    static_cast<planSummary&>(p) = readSummary(in, at);
    p.header = in.text();
    p.reach = static_cast<int64_t>(in.number());
    p.farSites = in.number() != 0;
    for (size_t c = 0; c < p.chunks.size(); c++) {
        span s;
        s.contig = in.text();
        s.first = static_cast<int64_t>(in.number());
        s.last = static_cast<int64_t>(in.number());
        s.end = static_cast<int64_t>(in.number());
        p.spans.push_back(s);
        p.places.push_back(in.number());
        if (p.places.back() >= at.opt.chunks.size())
            fail("cannot read [" + in.name() + "]: the file is damaged");
    }
    return p;
}

headerPtr parsedHeader(const std::string& text, const std::string& name) {
    headerPtr header(bcf_hdr_init("r"));
    std::string lines = text;
    if (!header || bcf_hdr_parse(header.get(), &lines[0]) < 0)
        fail("cannot read [" + name + "]: the file is damaged");
    return header;
}

// Notes the chromosome and position of a record read into a span.
void extend(std::vector<span>& spans, const std::string& name, const variantRecord& r) {
    if (spans.empty() || spans.back().contig != r.chrom) {
        for (const span& s : spans)
            if (s.contig == r.chrom)
                fail("cannot read [" + name + "]: the records of chromosome " + s.contig +
                     " are not together");
        spans.push_back({std::string(r.chrom), r.pos, r.pos, 0});
    }
    span& s = spans.back();
    s.last = r.pos;
    s.end = std::max(s.end, r.pos - 1 + static_cast<int64_t>(r.ref.size()));
}

// The spans of a chunk's chromosomes: through its index, from the first
// record of each chromosome and the records of the last stretch of the file
// that the index gives it; without an index, from every record, through
// reader, which has read none yet.
std::vector<span> spansOf(variantReader& reader, const std::string& name) {
    std::vector<span> spans;
    std::vector<std::string> contigs;
    {
        const bool usable = !staleIndex(name);
        tbx_t* tabix = usable && reader.text()
                           ? tbx_index_load3(name.c_str(), nullptr, HTS_IDX_SILENT_FAIL)
                           : nullptr;
        hts_idx_t* index = usable && !reader.text()
                               ? bcf_index_load3(name.c_str(), nullptr, HTS_IDX_SILENT_FAIL)
                               : nullptr;
        int n = 0;
        const char** names = tabix   ? tbx_seqnames(tabix, &n)
                             : index ? bcf_index_seqnames(index, reader.header(), &n)
                                     : nullptr;
        for (int i = 0; names && i < n; i++) contigs.emplace_back(names[i]);
        free(names);
        if (tabix) tbx_destroy(tabix);
        if (index) hts_idx_destroy(index);
        if (!tabix && !index) {
            while (reader.next()) extend(spans, name, reader.site());
            return spans;
        }
    }
    for (const std::string& contig : contigs) {
        variantReader first(name);
        if (!first.skipTo(contig, 1)) continue;
        while (first.next()) {
            const variantRecord r = first.site();
            if (r.chrom == contig) {
                extend(spans, name, r);
                break;
            }
        }
    }
    // The last records of each chromosome lie in the last stretch its
    // index gives; every record from there on is read.
    for (span& s : spans) {
        variantReader last(name);
        if (!last.skipToLast(s.contig)) continue;
        bool in = false;
        while (last.next()) {
            const variantRecord r = last.site();
            if (r.chrom != s.contig && in) break;
            if (r.chrom != s.contig) continue;
            in = true;
            s.last = std::max(s.last, r.pos);
            s.end = std::max(s.end, r.pos - 1 + static_cast<int64_t>(r.ref.size()));
        }
    }
    return spans;
}

// The chunks of a step, in their order on the command line, as they are
// read; places: their places on the command line.
std::vector<chunkFile> filesAt(const stepContext& at, const std::vector<size_t>& places) {
    std::vector<chunkFile> files;
    for (size_t place : places) files.push_back({at.opt.chunks[place], at.opt.chunks[place]});
    return files;
}

// The piece of the chunk at a place on the command line among those read.
const variantPiece* pieceOf(const variantSites& read, size_t file) {
    for (const variantPiece& piece : read.pieces)
        if (piece.file == file) return &piece;
    return nullptr;
}

// The chunks' contigs in output order: those the header names, in its
// order, then the others as the chunks name them.
std::vector<std::string> contigOrder(const bcf_hdr_t* header, const std::vector<span>& spans) {
    std::vector<std::string> contigs;
    for (int i = 0; i < header->n[BCF_DT_CTG]; i++)
        contigs.emplace_back(bcf_hdr_id2name(header, i));
    for (const span& s : spans)
        if (!s.contig.empty() &&
            std::find(contigs.begin(), contigs.end(), s.contig) == contigs.end())
            contigs.push_back(s.contig);
    return contigs;
}

}  // namespace

void recordPlan(const stepContext& at, outputSet& outputs) {
    const size_t to = outputs.add(at.file("plan"));
    const std::vector<std::string>& names = at.opt.chunks;
    std::vector<span> spans;
    headerMerger headers;
    std::vector<std::string> samples;
    for (const std::string& name : names) {
        variantReader reader(name);
        if (samples.empty()) samples = reader.samples();
        sampleOrder(samples, reader.samples(), name, "the first chunk");
        headers.add(headerPtr(bcf_hdr_dup(reader.header())), name);
        std::vector<span> found = spansOf(reader, name);
        if (found.size() > 1)
            fail("chunk [" + name + "] holds chromosomes " + found[0].contig + " and " +
                 found[1].contig + ": the steps of a join take one chromosome per chunk");
        spans.push_back(found.empty() ? span{} : found[0]);
    }
    const headerPtr merged = headers.take();
    const std::vector<std::string> contigs = contigOrder(merged.get(), spans);
    auto rank = [&contigs](const span& s) {
        return s.contig.empty()
                   ? contigs.size()
                   : std::find(contigs.begin(), contigs.end(), s.contig) - contigs.begin();
    };
    // The order of the join in one process: by chromosome and first record,
    // then last record, a chunk without records after every other.
    std::vector<size_t> order(names.size());
    for (size_t c = 0; c < order.size(); c++) order[c] = c;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const size_t ra = rank(spans[a]), rb = rank(spans[b]);
        if (ra != rb) return ra < rb;
        const span &x = spans[a], &y = spans[b];
        return x.first != y.first ? x.first < y.first : x.last < y.last;
    });
    std::cout << "Sorting the " << order.size() << " chunks of data" << std::endl;
    recordPlanFile p;
    p.samples = samples;
    for (size_t c : order) {
        p.chunks.push_back(names[c]);
        p.spans.push_back(spans[c]);
        p.places.push_back(c);
        p.reach = std::max(p.reach, spans[c].end);
        p.farSites |= spans[c].last >= (int64_t(1) << 29) || spans[c].end > (int64_t(1) << 29);
    }
    const headerPtr header = outputHeader(merged.get(), contigs, "");
    kstring_t text = {0, 0, nullptr};
    const int formatted = bcf_hdr_format(header.get(), 0, &text);
    p.header.assign(text.s ? text.s : "", text.l);
    free(text.s);
    if (formatted < 0) fail("cannot join the headers of the chunks");
    saveRecordPlan(at, p, outputs, to);
}

void recordBoundary(const stepContext& at, size_t part, outputSet& outputs) {
    const recordPlanFile p = readRecordPlan(at);
    requirePart(part, 2, p.chunks.size(), "boundary");
    const span &left = p.spans[part - 2], &right = p.spans[part - 1];
    boundaryFile f;
    f.b.meeting = boundary::kind::start;
    if (!left.contig.empty() && left.contig == right.contig) {
        refuseWithin(p.chunks[part - 2], left.last, p.chunks[part - 1], right.last);
        // Only the overlap: the left chunk from the right one's first record
        // on, the right chunk up to the left one's last.
        const size_t l = p.places[part - 2], r = p.places[part - 1];
        std::vector<size_t> places = {l, r};
        std::vector<recordRange> ranges = {{left.contig, right.first, INT64_MAX},
                                           {right.contig, 1, left.last}};
        if (r < l) {
            std::swap(places[0], places[1]);
            std::swap(ranges[0], ranges[1]);
        }
        variantSites read =
            readVariantChunks(filesAt(at, places), at.settings.threads, p.samples, ranges);
        const variantPiece* a = pieceOf(read, r < l ? 1 : 0);
        const variantPiece* b = pieceOf(read, r < l ? 0 : 1);
        const chunk noLeft(p.chunks[part - 2], p.samples.size());
        const chunk noRight(p.chunks[part - 1], p.samples.size());
        f.b = joinPair(a ? a->rows : noLeft, b ? b->rows : noRight, p.samples.size(), at.rule, true,
                       at.opt.allowGaps, f.exchangedSeams);
        if (f.b.meeting == boundary::kind::gap && right.first <= left.last)
            fail("chunks [" + p.chunks[part - 2] + "] and [" + p.chunks[part - 1] +
                 "] share no record but their records interleave: join them in one process");
    }
    saveBoundary(at, part, f, outputs);
}

namespace {

// The sources of a stretch's sites as the join of all chunks maps them: the
// neighbours' rows by their overlaps, then each site that none of them
// supplies from the first chunk along the chromosome that lists it, the
// chunks further off (appended to join, boundaries and all) included.
// members: the plan's number of each chunk of join, then of each further off.
std::vector<source> suppliedSites(joinResult& join, std::vector<chunk> furtherOff,
                                  const std::vector<size_t>& members, size_t nsites) {
    std::vector<source> sources = mapSites(join, nsites, false);
    const size_t first = join.chunks.size();
    for (chunk& far : furtherOff) join.chunks.push_back(std::move(far));
    join.boundaries.resize(join.chunks.size());
    for (size_t i = first; i < join.chunks.size(); i++)
        join.boundaries[i].meeting = boundary::kind::start;
    std::vector<size_t> alongChromosome(join.chunks.size());
    for (size_t i = 0; i < alongChromosome.size(); i++) alongChromosome[i] = i;
    std::sort(alongChromosome.begin(), alongChromosome.end(),
              [&members](size_t a, size_t b) { return members[a] < members[b]; });
    for (size_t i : alongChromosome)
        for (size_t r = 0; r < join.chunks[i].sites.size(); r++)
            if (sources[join.chunks[i].sites[r]].chunk < 0)
                sources[join.chunks[i].sites[r]] = {static_cast<int32_t>(i),
                                                    static_cast<int32_t>(r)};
    return sources;
}

}  // namespace

void recordStretch(const stepContext& at, size_t part, outputSet& outputs) {
    const recordPlanFile p = readRecordPlan(at);
    const size_t N = p.samples.size(), K = p.chunks.size();
    const stretchOutputs staged = stageStretch(at, part, K, outputs);
    const foldFile fold = readFold(at, K, N);
    const size_t c = part - 1;
    const span& own = p.spans[c];
    // The chunk, with the overlap records of its neighbours: those that only
    // a neighbour lists, and those the agree rule blends with its own.
    std::vector<size_t> members;  // the neighbours' in the plan's order, then those further off
    const bool left = c > 0 && fold.boundaries[c].meeting == boundary::kind::overlap;
    const bool right = c + 1 < K && fold.boundaries[c + 1].meeting == boundary::kind::overlap;
    if (left) members.push_back(c - 1);
    members.push_back(c);
    if (right) members.push_back(c + 1);
    const size_t neighbours = members.size();
    // Chunks further off whose records reach into this one's (a window
    // within the overlap of two others): a record that only such a chunk
    // lists is written from it.
    for (size_t m = c - 1;
         left && m-- > 0 && p.spans[m].contig == own.contig && p.spans[m].last >= own.first;)
        members.push_back(m);
    for (size_t m = c + 2;
         right && m < K && p.spans[m].contig == own.contig && p.spans[m].first <= own.last; m++)
        members.push_back(m);
    std::vector<size_t> byPlace = members;
    std::sort(byPlace.begin(), byPlace.end(),
              [&p](size_t a, size_t b) { return p.places[a] < p.places[b]; });
    std::vector<size_t> places;
    std::vector<recordRange> ranges;
    for (size_t m : byPlace) {
        places.push_back(p.places[m]);
        if (m < c)
            ranges.push_back({own.contig, own.first, INT64_MAX});
        else if (m > c)
            ranges.push_back({own.contig, 1, own.last});
        else
            ranges.push_back({own.contig, 1, INT64_MAX});
    }
    const std::vector<chunkFile> files = filesAt(at, places);
    variantSites read = own.contig.empty()
                            ? variantSites{}
                            : readVariantChunks(files, at.settings.threads, p.samples, ranges);
    read.samples = p.samples;
    // The join of these chunks as the join of all of them decided it.
    joinResult join;
    join.rule = at.rule;
    std::vector<variantPiece> pieces;
    for (size_t m : own.contig.empty() ? std::vector<size_t>() : members) {
        const size_t file = std::find(byPlace.begin(), byPlace.end(), m) - byPlace.begin();
        auto found = std::find_if(read.pieces.begin(), read.pieces.end(),
                                  [file](const variantPiece& v) { return v.file == file; });
        if (found == read.pieces.end())
            fail("cannot read [" + p.chunks[m] + "]: its records are not those the plan found");
        pieces.push_back(std::move(*found));
        join.chunks.push_back(std::move(pieces.back().rows));
        join.exchange.push_back(fold.exchange[m]);
    }
    join.boundaries.resize(join.chunks.size());
    std::vector<chunk> furtherOff;
    for (size_t i = neighbours; i < join.chunks.size(); i++)
        furtherOff.push_back(std::move(join.chunks[i]));
    join.chunks.erase(join.chunks.begin() + std::min(neighbours, join.chunks.size()),
                      join.chunks.end());
    for (size_t i = 1; i < join.chunks.size(); i++) {
        boundary& b = join.boundaries[i];
        const boundary& decided = fold.boundaries[members[i]];
        b = bySites(join.chunks[i - 1], join.chunks[i], false);
        if (b.rows() != decided.rows())
            fail("cannot read [" + p.chunks[members[i]] +
                 "]: its records are not those its boundary found");
        b.keep = decided.keep;
        b.swap = decided.swap;
        b.seams = decided.seams;
    }
    join.sources = suppliedSites(join, std::move(furtherOff), members, read.sites.size());
    // The sites this stretch writes: from the first the chunk supplies up to
    // the first its right neighbour supplies.
    const size_t self = left ? 1 : 0;
    auto firstSupplied = [&join](size_t k) {
        const boundary& b = join.boundaries[k];
        const std::vector<int32_t>& sites = join.chunks[k].sites;
        const int32_t m = b.middle();
        return m < b.rows() ? sites[b.rightRow(m)] : sites[b.rightRow(b.rows() - 1)] + 1;
    };
    const int32_t from = join.chunks.empty() ? 0 : left ? firstSupplied(self) : 0;
    const int32_t to = right ? firstSupplied(self + 1) : static_cast<int32_t>(read.sites.size());
    for (size_t s = 0; s < join.sources.size(); s++)
        if (static_cast<int32_t>(s) < from || static_cast<int32_t>(s) >= to) join.sources[s] = {};
    for (variantPiece& piece : pieces) piece.rows = chunk(piece.rows.name, 0);
    read.pieces = std::move(pieces);
    std::cout << "Writing the stretch of [" << p.chunks[c] << "]" << std::endl;
    const headerPtr header = parsedHeader(p.header, at.file("plan"));
    std::vector<variantWriter::pieceEntry> entries;
    writeRecordPiece(outputs[staged.bytes].path(), outputs[staged.bytes].name,
                     haplotypeFormat(at.haplotypes(), at.settings.single), header.get(), files,
                     read, join, entries, at.settings.threads);
    saveStretch(at, part, staged, outputs, entries);
}

void recordGather(const stepContext& at, outputSet& outputs, size_t haplotypes,
                  const std::vector<stretchFile>& stretches) {
    const recordPlanFile p = readRecordPlan(at);
    const std::string name = outputs[haplotypes].name;
    std::cout << "Writing haplotypes in [" << name << "]" << std::endl;
    const headerPtr header =
        outputHeader(parsedHeader(p.header, at.file("plan")).get(), {}, at.settings.commandLine);
    const variantFormat format = haplotypeFormat(name, at.settings.single);
    const bool binary = format == variantFormat::bcf, csi = binary || p.farSites;
    const std::string indexPath = stageIndex(outputs, haplotypes, csi);
    variantWriter out(outputs[haplotypes].path(), name, format,
                      readyHeaderOf(header.get(), binary, p.reach, name), indexPath, csi,
                      at.settings.threads);
    for (const stretchFile& stretch : stretches) {
        const int from = ::open(stretch.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (from < 0) fail("cannot read [" + stretch.path + "]: " + strerror(errno));
        try {
            out.appendPiece(from, stretch.size, stretch.entries);
        } catch (...) {
            ::close(from);
            throw;
        }
        ::close(from);
    }
    out.close();
}

}  // namespace seamline
