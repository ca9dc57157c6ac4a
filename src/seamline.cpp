#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "data.h"
#include "utils.h"
#include "vcfread.h"

namespace {

// The settings of the command line; null means unset.
struct options {
    const char* vcf = nullptr;
    std::vector<const char*> chunks;
    const char* scaffold = nullptr;
    const char* haplotypes = nullptr;
    const char* samples = nullptr;
    const char* report = nullptr;
    const char* seam = nullptr;
    const char* threads = nullptr;
    bool flip = false;
};

// Every argument is compared with the option texts in its turn, even one that
// the option before it took as its value. An option standing last unsets its
// value (argv[argc] is null).
options scanArguments(int argc, char** argv) {
    options opt;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--scaffold") opt.scaffold = argv[i + 1];
        if (arg == "--output") {
            opt.haplotypes = argv[i + 1];
            opt.samples = argv[i + 1] ? argv[i + 2] : nullptr;
        }
        if (arg == "--vcf") opt.vcf = argv[i + 1];
        if (arg == "--flip") opt.flip = true;
        if (arg == "--report") opt.report = argv[i + 1];
        if (arg == "--seam") opt.seam = argv[i + 1];
        if (arg == "--threads") opt.threads = argv[i + 1];
        if (arg == "--chunks")
            for (int j = i + 1; j < argc && argv[j][0] != '-'; j++) opt.chunks.push_back(argv[j]);
    }
    return opt;
}

// A whole decimal number of at least 1, or 0.
int threadCount(const std::string& text) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return std::stoi(text);
}

[[noreturn]] void missing(const char* line) {
    std::cout << line << std::endl;
    exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    // Once, before any thread uses htslib: seamline reports every failure itself.
    seamline::quietHtslib();

    // A file size limit or an output pipe without reader must fail the write
    // (File too large, Broken pipe), which ends the run with a message and
    // removes the temporary outputs; their signals would kill it and leave them.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    options opt = scanArguments(argc, argv);
    if (opt.seam && std::string(opt.seam) != "middle" && std::string(opt.seam) != "agree")
        futils::fatal("--seam takes middle or agree, not [" + std::string(opt.seam) + "]");
    if (opt.threads && threadCount(opt.threads) < 1)
        futils::fatal("--threads takes a whole number of at least 1, not [" +
                      std::string(opt.threads) + "]");
    // With data on standard output, progress goes to standard error.
    if ((opt.haplotypes && isStandardOutput(opt.haplotypes)) ||
        (opt.samples && isStandardOutput(opt.samples)) ||
        (opt.report && isStandardOutput(opt.report)))
        std::cout.rdbuf(std::cerr.rdbuf());

    if (!opt.vcf) missing("Missing option --vcf");
    std::cout << "VCF :\t[" << opt.vcf << "]" << std::endl;
    if (opt.chunks.empty()) missing("Missing option: --chunks");
    std::cout << "Chunks :\t" << opt.chunks.size() << " haplotype files" << std::endl;
    if (opt.scaffold) std::cout << "Scaffold :\t[" << opt.scaffold << "]" << std::endl;
    // --output followed by one argument only leaves the sample file unset.
    if (!opt.haplotypes || !opt.samples) missing("Missing option: --output");
    std::cout << "Output :\t[" << opt.haplotypes << "] [" << opt.samples << "]" << std::endl;
    if (opt.seam) std::cout << "Seam :\t" << opt.seam << std::endl;

    data* run = new data();
    run->flip = opt.flip;
    run->report = opt.report;
    run->agreeSeam = opt.seam && std::string(opt.seam) == "agree";
    run->seamColumn = opt.seam != nullptr;
    if (opt.threads) run->threads = threadCount(opt.threads);
    // The outputs are the same whatever the thread count, the command line
    // that VCF and BCF headers record included.
    for (int i = 0; i < argc; i++) {
        if (std::string(argv[i]) == "--threads") {
            i++;
            continue;
        }
        run->commandLine += (run->commandLine.empty() ? "" : " ") + std::string(argv[i]);
    }
    std::vector<std::string> inputs(opt.chunks.begin(), opt.chunks.end());
    inputs.push_back(opt.vcf);
    if (opt.scaffold) inputs.push_back(opt.scaffold);
    run->checkOutputs(opt.haplotypes, opt.samples, inputs);
    run->readMap(opt.vcf);
    if (opt.scaffold) run->readScaffold(opt.scaffold);
    run->readChunks(opt.chunks);
    run->assemble();
    run->writeHaplotypes(opt.haplotypes, opt.samples);
    delete run;
    return 0;
}
