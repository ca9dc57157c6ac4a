#include "split/scatter.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <iterator>

#include "blocks.h"
#include "failure.h"
#include "scaffold.h"
#include "split/steps.h"
#include "text.h"

namespace seamline {

namespace {

// A boundary's decision as the boundary and fold files hold it: how the two
// chunks meet, the overlap's rows, the evidence and the seams.
void writeDecision(stepOut& out, const boundary& b) {
    out.number(static_cast<uint64_t>(b.meeting));
    out.number(static_cast<uint64_t>(b.rows()));
    out.numbers(b.keep);
    out.numbers(b.swap);
    out.numbers(b.seams);
}

boundary readDecision(stepIn& in, size_t samples) {
    boundary b;
    const uint64_t meeting = in.number(), rows = in.number();
    b.keep = in.numbers();
    b.swap = in.numbers();
    b.seams = in.numbers();
    const bool overlap = meeting == static_cast<uint64_t>(boundary::kind::overlap);
    if (meeting > static_cast<uint64_t>(boundary::kind::start) || rows > INT32_MAX ||
        (overlap && (b.keep.size() != samples || b.swap.size() != samples || rows < 1)))
        fail("cannot read [" + in.name() + "]: the file is damaged");
    b.meeting = static_cast<boundary::kind>(meeting);
    b.pairInOrder(0, static_cast<int32_t>(rows));
    return b;
}

}  // namespace

void writeSummary(stepOut& out, const planSummary& p) {
    out.texts(p.samples);
    out.texts(p.chunks);
}

planSummary readSummary(stepIn& in, const stepContext& at) {
    planSummary p;
    p.samples = in.texts();
    p.chunks = in.texts();
    if (p.chunks.size() != at.opt.chunks.size())
        fail("cannot read [" + in.name() + "]: the file is damaged");
    return p;
}

void requirePart(size_t part, size_t first, size_t chunks, const char* step) {
    if (part < first || part > chunks)
        fail(std::string("--part of a ") + step + " is a chunk number from " +
             std::to_string(first) + " to " + std::to_string(chunks));
}

std::vector<bool> scaffoldOf(const stepContext& at, const std::vector<std::string>& samples) {
    return scaffolded(samples,
                      at.opt.scaffold ? readScaffold(at.opt.scaffold) : std::set<std::string>());
}

void saveBoundary(const stepContext& at, size_t part, const boundaryFile& f, outputSet& outputs) {
    stepOut out("boundary", at.run);
    out.number(part);
    writeDecision(out, f.b);
    out.numbers(f.exchangedSeams);
    out.numbers(f.sites);
    out.words(f.leftBits);
    out.words(f.rightBits);
    const size_t i = outputs.add(at.file("boundary", part));
    out.save(outputs[i].path(), outputs[i].name);
}

boundaryFile readBoundary(const stepContext& at, size_t part, size_t samples) {
    stepIn in(at.file("boundary", part), "boundary", at.run);
    const uint64_t found = in.number();
    if (found != part)
        fail("cannot read [" + in.name() + "]: it is the file of boundary " +
             std::to_string(found) + ", not " + std::to_string(part));
    boundaryFile f;
    f.b = readDecision(in, samples);
    f.exchangedSeams = in.numbers();
    f.sites = in.numbers();
    f.leftBits = in.words();
    f.rightBits = in.words();
    if (!f.sites.empty() && f.sites.size() != static_cast<size_t>(f.b.rows()))
        fail("cannot read [" + in.name() + "]: the file is damaged");
    return f;
}

foldFile readFold(const stepContext& at, size_t chunks, size_t samples) {
    stepIn in(at.file("fold"), "fold", at.run);
    foldFile fold;
    fold.boundaries.resize(chunks);
    for (size_t c = 1; c < chunks; c++) fold.boundaries[c] = readDecision(in, samples);
    for (size_t c = 0; c < chunks; c++) fold.exchange.push_back(in.words());
    return fold;
}

stretchOutputs stageStretch(const stepContext& at, size_t part, size_t chunks, outputSet& outputs) {
    requirePart(part, 1, chunks, "stretch");
    const size_t bytes = outputs.add(at.file("stretch", part));
    return {bytes, outputs.add(at.file("stretch", part) + ".entries")};
}

void saveStretch(const stepContext& at, size_t part, stretchOutputs staged, outputSet& outputs,
                 const std::vector<variantWriter::pieceEntry>& entries) {
    struct stat st;
    if (stat(outputs[staged.bytes].path().c_str(), &st) != 0)
        fail("cannot read [" + outputs[staged.bytes].name + "]: " + strerror(errno));
    stepOut out("stretch", at.run);
    out.number(part);
    out.number(static_cast<uint64_t>(st.st_size));
    out.number(fileChecksum(outputs[staged.bytes].path()));
    out.number(entries.size());
    for (const variantWriter::pieceEntry& e : entries) {
        out.number(static_cast<uint64_t>(e.contig));
        out.number(static_cast<uint64_t>(e.begin));
        out.number(static_cast<uint64_t>(e.end));
        out.number(e.offset);
    }
    out.save(outputs[staged.entries].path(), outputs[staged.entries].name);
}

namespace {

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
    stepIn in(at.file("plan"), "plan", at.run);
    const planSummary p = readSummary(in, at);
    const size_t N = p.samples.size(), K = p.chunks.size();
    std::vector<boundaryFile> files(K);
    for (size_t c = 1; c < K; c++) {
        files[c] = readBoundary(at, c + 1, N);
        std::cout << "Assembling [" << p.chunks[c - 1] << "] with [" << p.chunks[c] << "]"
                  << std::endl;
        // With a site map, the overlap rule again, on what the boundaries
        // found of the left chunk's rows: those before the middle of its
        // overlap with the chunk before it are not its to pair.
        if (c >= 2 && !at.bySite()) {
            const boundaryFile& before = files[c - 1];
            chunk left(p.chunks[c - 1], 0), right(p.chunks[c], 0);
            std::set_union(before.sites.begin(), before.sites.end(), files[c].sites.begin(),
                           files[c].sites.end(), std::back_inserter(left.sites));
            right.sites = files[c].sites;
            meet(left, before.b.middle(), right, false);
        }
    }
    foldFile fold;
    for (const boundaryFile& f : files) fold.boundaries.push_back(f.b);
    fold.exchange = foldOrientations(fold.boundaries, scaffoldOf(at, p.samples), at.bySite());
    stepOut out("fold", at.run);
    for (size_t c = 1; c < K; c++) {
        boundary& b = fold.boundaries[c];
        if (at.rule == seamRule::agree && b.meeting == boundary::kind::overlap)
            b.seams = chosenSeams(files[c], fold.exchange[c - 1], fold.exchange[c]);
        writeDecision(out, b);
    }
    for (const std::vector<uint64_t>& mask : fold.exchange) out.words(mask);
    out.save(outputs[i].path(), outputs[i].name);
}

stretchFile readStretch(const stepContext& at, size_t part) {
    stepIn in(at.file("stretch", part) + ".entries", "stretch", at.run);
    stretchFile s;
    s.path = at.file("stretch", part);
    const uint64_t found = in.number();
    s.size = in.number();
    const uint64_t sum = in.number();
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
    // The bytes are copied into the output as they stand, unread: a stretch
    // damaged since it was written would pass into it unseen.
    if (fileChecksum(s.path) != sum)
        fail("cannot read [" + s.path + "]: it is not the stretch that [" + in.name() +
             "] describes (its checksum differs)");
    return s;
}

void gatherStep(const stepContext& at, outputSet& outputs) {
    const options& opt = at.opt;
    const outputIndex staged = stageOutputs(outputs, opt, at.settings);
    stepIn in(at.file("plan"), "plan", at.run);
    const planSummary p = readSummary(in, at);
    const size_t K = p.chunks.size();
    std::vector<stretchFile> stretches;
    for (size_t c = 1; c <= K; c++) stretches.push_back(readStretch(at, c));
    if (!opt.single) writeSamples(outputs[staged.samples], p.samples);
    if (opt.report) {
        joinResult join;
        for (const std::string& name : p.chunks) join.chunks.emplace_back(name, 0);
        join.boundaries = readFold(at, K, p.samples.size()).boundaries;
        writeReport(outputs[staged.report], join, p.samples, scaffoldOf(at, p.samples),
                    opt.seam != nullptr);
    }
    if (at.bySite())
        recordGather(at, outputs, staged.haplotypes, stretches);
    else
        mapGather(at, outputs, staged.haplotypes, stretches);
}

// The settings that make the join's output what it is.
std::vector<std::string> runSettings(const options& opt) {
    auto text = [](const char* value) { return value ? std::string(value) : std::string("\1"); };
    std::vector<std::string> settings = {text(opt.vcf),
                                         text(opt.scaffold),
                                         text(opt.haplotypes),
                                         text(opt.samples),
                                         text(opt.single),
                                         text(opt.report),
                                         text(opt.seam ? opt.seam : "middle"),
                                         opt.flip ? "flip" : "",
                                         opt.allowGaps ? "gaps" : ""};
    settings.insert(settings.end(), opt.chunks.begin(), opt.chunks.end());
    // Steps of other levels would gather blocks of mixed levels. A default
    // given in words is the same join as one left out.
    if (compressionLevel() != defaultLevel)
        settings.push_back("--compression-level " + std::to_string(compressionLevel()));
    return settings;
}

size_t partOf(const options& opt) {
    if (!opt.part) fail("--step " + std::string(opt.step) + " needs --part");
    int64_t part = 0;
    if (!parsePosition(opt.part, INT32_MAX, part))
        fail("--part takes a chunk number from 1, not [" + std::string(opt.part) + "]");
    return static_cast<size_t>(part);
}

}  // namespace

void runStep(const options& opt, const haplotypeSettings& settings) {
    if (!opt.work) fail("--step needs --work, the folder of the steps' files");
    std::vector<std::string> inputs(opt.chunks);
    if (opt.vcf) inputs.push_back(opt.vcf);
    if (opt.scaffold) inputs.push_back(opt.scaffold);
    // A stream read by one step would be gone for the next, and its
    // identity would tell no change of it.
    for (const std::string& name : inputs) {
        struct stat st;
        if (name == "-" || (stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode)))
            fail("input [" + name +
                 "] is not a file: the steps of a join read each input more than once");
    }
    stepContext at{
        opt,
        settings,
        opt.work,
        inputs,
        runIdentity(runSettings(opt), inputs),
        opt.seam && std::string(opt.seam) == "agree" ? seamRule::agree : seamRule::middle};
    const std::string step = opt.step;
    outputSet outputs;
    const bool bySite = at.bySite();
    if (step == "plan") {
        // The outputs the gather will write are checked as the join in one
        // process checks them before it reads anything, and unstaged again.
        {
            outputSet trial;
            stageOutputs(trial, opt, settings);
        }
        // The folder of the steps' files, made by the first of them.
        if (mkdir(at.work.c_str(), 0777) != 0 && errno != EEXIST)
            fail("cannot write [" + at.work + "]: " + strerror(errno));
        bySite ? recordPlan(at, outputs) : mapPlan(at, outputs);
    } else if (step == "boundary")
        bySite ? recordBoundary(at, partOf(opt), outputs) : mapBoundary(at, partOf(opt), outputs);
    else if (step == "fold")
        foldStep(at, outputs);
    else if (step == "stretch")
        bySite ? recordStretch(at, partOf(opt), outputs) : mapStretch(at, partOf(opt), outputs);
    else if (step == "gather")
        gatherStep(at, outputs);
    else
        fail("--step takes plan, boundary, fold, stretch or gather, not [" + step + "]");
    outputs.refuseInputs(inputs);
    outputs.commit();
}

}  // namespace seamline
