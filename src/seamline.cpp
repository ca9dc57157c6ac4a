#include <algorithm>
#include <csignal>
#include <cstring>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "blocks.h"
#include "dropin/passthrough.h"
#include "dropin/variants.h"
#include "failure.h"
#include "files.h"
#include "join.h"
#include "options.h"
#include "scaffold.h"
#include "sitemap/chunks.h"
#include "sitemap/haplotypes.h"
#include "sitemap/sitemap.h"
#include "split/scatter.h"
#include "staging.h"
#include "vcfread.h"
#include "writers.h"

using namespace seamline;

namespace {

// Why a chunk cannot be read without a site map.
[[noreturn]] void refuseChunk(const std::string& name, const inputCheck& check) {
    switch (check.kind) {
        case inputKind::missing:
            fail("chunk [" + name + "]: no such file");
        case inputKind::directory:
            fail("chunk [" + name + "] is a directory");
        case inputKind::index:
            fail("chunk [" + name + "] is an index, not a chunk");
        case inputKind::compressed:
            fail("chunk [" + name + "] is compressed with " + check.compression +
                 "; without --vcf every chunk must be VCF or BCF, plain or compressed with bgzip");
        case inputKind::empty:
            fail("chunk [" + name + "] is empty");
        case inputKind::unreadable:
            fail("cannot open [" + name + "]: " + strerror(check.error));
        default:
            fail("chunk [" + name + "] is not VCF or BCF; without --vcf every chunk must be");
    }
}

// The chunks of a join without a site map, streams copied aside, as they
// are read; none when the run joins along a site map. A run without --vcf
// joins without one when some chunk holds VCF or BCF; then every chunk must.
// Otherwise it is a run along a site map that lacks it.
std::vector<chunkFile> chunksWithoutSiteMap(const options& opt, streamCopies& copies) {
    if (opt.vcf || opt.chunks.empty()) return {};
    std::vector<chunkFile> files;
    std::vector<inputCheck> checks;
    bool anyVariants = false;
    for (const std::string& name : opt.chunks) {
        files.push_back(copies.add(name));
        checks.push_back(checkInput(files.back().path));
        if (checks.back().kind == inputKind::variants) anyVariants = true;
    }
    if (!anyVariants) return {};
    // A stray argument is most often a chunk that lost its place in the list.
    if (!opt.ignored.empty())
        fail("argument [" + opt.ignored[0] +
             "] is taken by no option; chunks follow --chunks, before the next option");
    if (std::count(opt.chunks.begin(), opt.chunks.end(), "-") > 1)
        fail("chunk [-] is named twice: standard input can be read once");
    for (size_t c = 0; c < files.size(); c++)
        if (checks[c].kind != inputKind::variants) refuseChunk(files[c].name, checks[c]);
    return files;
}

// The checks of the options that come before anything is read or echoed.
void check(const options& opt, bool siteMap) {
    if (opt.seam && std::string(opt.seam) != "middle" && std::string(opt.seam) != "agree")
        fail("--seam takes middle or agree, not [" + std::string(opt.seam) + "]");
    if (opt.single && (opt.haplotypes || opt.samples))
        fail("-o and --output cannot be given together");
    if (opt.single && haplotypeFormat(opt.single, true) == variantFormat::none)
        fail("-o takes a name ending in .vcf, .vcf.gz, .vcf.bgz or .bcf, or -, not [" +
             std::string(opt.single) + "]");
    if (siteMap && opt.allowGaps) fail("--allow-gaps joins chunks without a site map only");
    if (!siteMap && opt.haplotypes && haplotypeFormat(opt.haplotypes, false) == variantFormat::none)
        fail("without a site map the haplotypes are written as VCF or BCF, not [" +
             std::string(opt.haplotypes) + "]");
}

seamRule seamOf(const options& opt) {
    return opt.seam && std::string(opt.seam) == "agree" ? seamRule::agree : seamRule::middle;
}

std::vector<bool> scaffoldOf(const options& opt, const std::vector<std::string>& samples) {
    return scaffolded(samples, opt.scaffold ? readScaffold(opt.scaffold) : std::set<std::string>());
}

// The VCF or BCF chunks joined by their records, every field kept.
void joinRecords(const options& opt, const std::vector<chunkFile>& files, outputSet& outputs,
                 const outputIndex& at, const haplotypeSettings& settings) {
    variantSites chunks = readVariantChunks(files, settings.threads);
    const std::vector<bool> scaffold = scaffoldOf(opt, chunks.samples);
    std::vector<chunk> pieces;
    std::vector<int32_t> contigs;
    for (variantPiece& p : chunks.pieces) {
        pieces.push_back(std::move(p.rows));
        contigs.push_back(p.contig);
    }
    const joinResult joined =
        joinBySite(std::move(pieces), contigs, chunks.sites, scaffold, seamOf(opt), opt.allowGaps);
    if (!opt.single) writeSamples(outputs[at.samples], chunks.samples);
    if (opt.report)
        writeReport(outputs[at.report], joined, chunks.samples, scaffold, opt.seam != nullptr);
    writeRecords(outputs, at.haplotypes, files, chunks, joined, settings);
}

// The chunks joined along the site map.
void joinAlongSiteMap(const options& opt, outputSet& outputs, const outputIndex& at,
                      const haplotypeSettings& settings) {
    const siteMap sites = siteMap::read(opt.vcf);
    const std::vector<bool> scaffold = scaffoldOf(opt, sites.samples());
    std::vector<chunk> chunks = readChunks(opt.chunks, sites, opt.flip, settings.threads);
    const joinResult joined = joinChunks(std::move(chunks), sites.sites(), scaffold, seamOf(opt));
    if (!opt.single) writeSamples(outputs[at.samples], sites.samples());
    if (opt.report)
        writeReport(outputs[at.report], joined, sites.samples(), scaffold, opt.seam != nullptr);
    writeHaplotypes(outputs, at.haplotypes, sites, joined, settings);
}

int run(int argc, char** argv) {
    const options opt = scanArguments(argc, argv);
    if (opt.help || opt.version) {
        std::cout << (opt.help ? usage() : "seamline " SEAMLINE_VERSION "\n");
        return 0;
    }
    streamCopies copies;
    const std::vector<chunkFile> records = chunksWithoutSiteMap(opt, copies);
    const bool siteMap = records.empty();
    // A stray argument may be a chunk file that --chunks stopped short of.
    for (const std::string& arg : opt.ignored)
        std::cerr << "seamline: ignoring argument [" << arg << "]" << std::endl;
    check(opt, siteMap);
    setCompressionLevel(compressionLevelOf(opt.compressionLevel));
    const haplotypeSettings settings{commandLine(argc, argv), usableThreads(opt.threads),
                                     opt.single != nullptr};
    // With data on standard output, progress goes to standard error.
    for (const char* name : {opt.haplotypes, opt.samples, opt.single, opt.report})
        if (name && isStandardOutput(name)) std::cout.rdbuf(std::cerr.rdbuf());
    echo(opt, siteMap);
    if (opt.step) {
        runStep(opt, settings);
        return 0;
    }

    outputSet outputs;
    const outputIndex at = stageOutputs(outputs, opt);
    if (siteMap)
        joinAlongSiteMap(opt, outputs, at, settings);
    else
        joinRecords(opt, records, outputs, at, settings);
    outputs.commit();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A file size limit or an output pipe without reader must fail the write
    // (File too large, Broken pipe), which ends the run with a message and
    // removes the temporary outputs; their signals would kill it and leave them.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    // Every failure is reported through an exception; htslib's own lines
    // would only repeat it. Set once, before any thread starts.
    quietHtslib();
    try {
        return run(argc, argv);
    } catch (const failure& f) {
        if (f.where == failure::stream::console) {
            std::cout << f.message() << std::endl;
        } else {
            std::cout.flush();
            std::cerr << "seamline: " << f.message() << std::endl;
        }
    } catch (const std::bad_alloc&) {
        std::cout.flush();
        std::cerr << "seamline: out of memory" << std::endl;
    } catch (const std::exception& e) {
        // Any other error of a library the run calls ends it the same way:
        // a message, status 1, and the temporary outputs gone with the
        // stages that the exception unwound.
        std::cout.flush();
        std::cerr << "seamline: " << e.what() << std::endl;
    }
    return 1;
}
