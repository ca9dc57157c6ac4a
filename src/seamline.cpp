#include <algorithm>
#include <csignal>
#include <cstring>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "blocks.h"
#include "command.h"
#include "dropin/passthrough.h"
#include "dropin/phasesets.h"
#include "dropin/variants.h"
#include "failure.h"
#include "files.h"
#include "join.h"
#include "options.h"
#include "regions.h"
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

seamRule seamOf(const options& opt) {
    return opt.seam && std::string(opt.seam) == "agree" ? seamRule::agree : seamRule::middle;
}

std::vector<bool> scaffoldOf(const options& opt, const std::vector<std::string>& samples) {
    return scaffolded(samples, opt.scaffold ? readScaffold(opt.scaffold) : std::set<std::string>());
}

// Records that --ligate-warn drops, as bcftools warns of them: once.
void warnDropped(const std::vector<int32_t>& dropped, const variantSites& chunks) {
    if (dropped.empty()) return;
    const site& first = chunks.sites[dropped[0]];
    std::cerr << "seamline: warning: --ligate-warn dropped " << dropped.size()
              << " records that only one chunk of an overlap lists, the first at "
              << chunks.contigs[first.contig] << ":" << first.pos << std::endl;
}

// The VCF or BCF chunks joined by their records, every field kept.
void joinRecords(const options& opt, const std::vector<chunkFile>& files, outputSet& outputs,
                 const outputIndex& at, haplotypeSettings settings) {
    const regionList regions =
        opt.regions ? regionList(opt.regions, opt.regionsFile, opt.regionsOverlap) : regionList();
    variantSites chunks = readVariantChunks(files, settings.threads);
    const std::vector<bool> scaffold = scaffoldOf(opt, chunks.samples);
    const phaseSetRule phaseSets{opt.phaseSets, opt.compactPhaseSets, opt.minPhaseQuality,
                                 scaffold};
    settings.regions = &regions;
    settings.phaseSets = &phaseSets;
    std::vector<chunk> pieces;
    std::vector<int32_t> contigs;
    for (variantPiece& p : chunks.pieces) {
        pieces.push_back(std::move(p.rows));
        contigs.push_back(p.contig);
    }
    joinResult joined =
        joinBySite(std::move(pieces), contigs, chunks.sites, scaffold, seamOf(opt), opt.allowGaps);
    if (opt.ligateWarn) warnDropped(dropLoneOverlapSites(joined), chunks);
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
    streamCopies copies;
    const command read = readCommand(argc, argv, copies);
    const options& opt = read.opt;
    if (opt.help || opt.version) {
        std::cout << (opt.help ? usage() : "seamline " SEAMLINE_VERSION "\n");
        return 0;
    }
    const std::vector<chunkFile>& records = read.records;
    const bool siteMap = records.empty();
    setCompressionLevel(compressionLevelOf(opt.compressionLevel));
    haplotypeSettings settings{opt.noVersion ? "" : commandLine(argc, argv, !siteMap),
                               usableThreads(opt), opt.single != nullptr};
    settings.format = outputFormatOf(opt.outputType);
    settings.index = opt.indexType;
    settings.indexByName = opt.indexByName;
    settings.noVersion = opt.noVersion;
    // With data on standard output, progress goes to standard error.
    for (const char* name : {opt.haplotypes, opt.samples, opt.single, opt.report})
        if (name && isStandardOutput(name)) std::cout.rdbuf(std::cerr.rdbuf());
    echo(opt, siteMap);
    if (opt.step) {
        runStep(opt, settings);
        return 0;
    }

    outputSet outputs;
    const outputIndex at = stageOutputs(outputs, opt, settings);
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
