#include <csignal>
#include <iostream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "chunks.h"
#include "failure.h"
#include "join.h"
#include "scaffold.h"
#include "sitemap.h"
#include "staging.h"
#include "vcfread.h"
#include "writers.h"

using namespace seamline;

namespace {

// The settings of the command line; null means unset.
struct options {
    const char* vcf = nullptr;
    std::vector<std::string> chunks;
    const char* scaffold = nullptr;
    const char* haplotypes = nullptr;
    const char* samples = nullptr;
    const char* report = nullptr;
    const char* seam = nullptr;
    const char* threads = nullptr;
    bool flip = false;
    std::vector<std::string> ignored;  // arguments that are neither options nor their values
};

// Every argument is compared with the option texts in its turn, even one that
// the option before it took as its value. An option standing last unsets its
// value (argv[argc] is null).
options scanArguments(int argc, char** argv) {
    options opt;
    std::vector<bool> taken(argc, false);  // per argument: an option, or the value of one
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        // The k-th argument after the option, taken as its value.
        auto value = [&](int k) {
            taken[i] = true;
            if (i + k < argc) taken[i + k] = true;
            return argv[i + k];
        };
        if (arg == "--scaffold") opt.scaffold = value(1);
        if (arg == "--output") {
            opt.haplotypes = value(1);
            opt.samples = argv[i + 1] ? value(2) : nullptr;
        }
        if (arg == "--vcf") opt.vcf = value(1);
        if (arg == "--flip") opt.flip = taken[i] = true;
        if (arg == "--report") opt.report = value(1);
        if (arg == "--seam") opt.seam = value(1);
        if (arg == "--threads") opt.threads = value(1);
        if (arg == "--chunks") {
            taken[i] = true;
            for (int j = i + 1; j < argc && argv[j][0] != '-'; j++)
                opt.chunks.push_back(value(j - i));
        }
    }
    for (int i = 1; i < argc; i++)
        if (!taken[i]) opt.ignored.push_back(argv[i]);
    return opt;
}

// A whole decimal number of at least 1, or 0.
int threadCount(const std::string& text) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return std::stoi(text);
}

// Threads beyond the cores only hold more blocks in memory (about 5 MiB each).
int usableThreads(const char* asked) {
    if (!asked) return 1;
    int threads = threadCount(asked);
    if (threads < 1)
        fail("--threads takes a whole number of at least 1, not [" + std::string(asked) + "]");
    int cores = static_cast<int>(std::thread::hardware_concurrency());
    return cores > 0 ? std::min(threads, cores) : threads;
}

// Checks the options and echoes them.
void echo(const options& opt) {
    if (!opt.vcf) failOnConsole("Missing option --vcf");
    std::cout << "VCF :\t[" << opt.vcf << "]" << std::endl;
    if (opt.chunks.empty()) failOnConsole("Missing option: --chunks");
    std::cout << "Chunks :\t" << opt.chunks.size() << " haplotype files" << std::endl;
    if (opt.scaffold) std::cout << "Scaffold :\t[" << opt.scaffold << "]" << std::endl;
    // --output followed by one argument only leaves the sample file unset.
    if (!opt.haplotypes || !opt.samples) failOnConsole("Missing option: --output");
    std::cout << "Output :\t[" << opt.haplotypes << "] [" << opt.samples << "]" << std::endl;
    if (opt.seam) std::cout << "Seam :\t" << opt.seam << std::endl;
}

// The command line that VCF and BCF headers record: the same whatever the
// thread count, so that the outputs are too.
std::string commandLine(int argc, char** argv) {
    std::string line;
    for (int i = 0; i < argc; i++) {
        if (std::string(argv[i]) == "--threads") {
            i++;
            continue;
        }
        line += (line.empty() ? "" : " ") + std::string(argv[i]);
    }
    return line;
}

// Stages every output before anything is read: the sample file first (and
// so put in place first), the haplotypes, the report; the names the index may
// take are checked too. None may be an input.
void stage(outputSet& outputs, const options& opt) {
    outputs.add(opt.samples);
    outputs.add(opt.haplotypes);
    if (opt.report) outputs.add(opt.report);
    reserveIndex(outputs, 1);
    std::vector<std::string> inputs(opt.chunks);
    inputs.push_back(opt.vcf);
    if (opt.scaffold) inputs.push_back(opt.scaffold);
    outputs.refuseInputs(inputs);
}

int run(int argc, char** argv) {
    options opt = scanArguments(argc, argv);
    // A stray argument may be a chunk file that --chunks stopped short of.
    for (const std::string& arg : opt.ignored)
        std::cerr << "seamline: ignoring argument [" << arg << "]" << std::endl;
    if (opt.seam && std::string(opt.seam) != "middle" && std::string(opt.seam) != "agree")
        fail("--seam takes middle or agree, not [" + std::string(opt.seam) + "]");
    const int threads = usableThreads(opt.threads);
    // With data on standard output, progress goes to standard error.
    for (const char* name : {opt.haplotypes, opt.samples, opt.report})
        if (name && isStandardOutput(name)) std::cout.rdbuf(std::cerr.rdbuf());
    echo(opt);

    outputSet outputs;
    stage(outputs, opt);
    const siteMap sites = siteMap::read(opt.vcf);
    const std::vector<bool> scaffold = scaffolded(
        sites.samples(), opt.scaffold ? readScaffold(opt.scaffold) : std::set<std::string>());
    std::vector<chunk> chunks = readChunks(opt.chunks, sites, opt.flip, threads);
    const seamRule rule =
        opt.seam && std::string(opt.seam) == "agree" ? seamRule::agree : seamRule::middle;
    const joinResult joined = joinChunks(std::move(chunks), sites.sites(), scaffold, rule);
    writeSamples(outputs[0], sites.samples());
    if (opt.report) writeReport(outputs[2], joined, sites.samples(), scaffold, opt.seam != nullptr);
    writeHaplotypes(outputs, 1, sites, joined, {commandLine(argc, argv), threads});
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
    }
    return 1;
}
