#include "options.h"

#include <algorithm>
#include <iostream>
#include <thread>

#include "blocks.h"
#include "failure.h"

namespace seamline {

namespace {

// An option standing last takes argv[argc], which is null. dashChunk: "-"
// in a chunk list is a chunk (standard input) rather than its end.
options scan(int argc, char** argv, bool dashChunk) {
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
        if (arg == "--compression-level") opt.compressionLevel = value(1);
        if (arg == "-o") opt.single = value(1);
        if (arg == "--allow-gaps") opt.allowGaps = taken[i] = true;
        if (arg == "--help") opt.help = taken[i] = true;
        if (arg == "--version") opt.version = taken[i] = true;
        if (arg == "--step") opt.step = value(1);
        if (arg == "--part") opt.part = value(1);
        if (arg == "--work") opt.work = value(1);
        if (arg == "--chunks") {
            taken[i] = true;
            for (int j = i + 1; j < argc && (argv[j][0] != '-' || (dashChunk && !argv[j][1])); j++)
                opt.chunks.push_back(value(j - i));
        }
    }
    for (int i = 1; i < argc; i++)
        if (!taken[i]) opt.ignored.push_back(argv[i]);
    return opt;
}

}  // namespace

options scanArguments(int argc, char** argv) {
    // Without a site map a chunk may be standard input, named "-"; with one,
    // an argument that begins with "-" ends the chunk list.
    options opt = scan(argc, argv, false);
    return opt.vcf ? opt : scan(argc, argv, true);
}

namespace {

// A whole decimal number of at least 1, or 0.
int threadCount(const std::string& text) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    return std::stoi(text);
}

}  // namespace

// Threads beyond the cores only hold more blocks in memory (about 5 MiB each).
int usableThreads(const char* asked) {
    if (!asked) return 1;
    int threads = threadCount(asked);
    if (threads < 1)
        fail("--threads takes a whole number of at least 1, not [" + std::string(asked) + "]");
    int cores = static_cast<int>(std::thread::hardware_concurrency());
    return cores > 0 ? std::min(threads, cores) : threads;
}

int usableThreads(const options& opt) {
    if (opt.workers < 0) return usableThreads(opt.threads);
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    return cores > 0 ? std::min(opt.workers + 1, cores) : opt.workers + 1;
}

int compressionLevelOf(const char* asked) {
    if (!asked) return defaultLevel;
    const std::string text = asked;
    if (text.size() != 1 || text[0] < '0' + storedLevel || text[0] > '0' + smallestLevel)
        fail("--compression-level takes a whole number from 0 to 9, not [" + text + "]");
    return text[0] - '0';
}

void echo(const options& opt, bool siteMap) {
    if (siteMap && !opt.vcf) failOnConsole("Missing option --vcf");
    if (opt.vcf) std::cout << "VCF :\t[" << opt.vcf << "]" << std::endl;
    if (opt.chunks.empty()) failOnConsole("Missing option: --chunks");
    std::cout << "Chunks :\t" << opt.chunks.size() << " haplotype files" << std::endl;
    if (opt.scaffold) std::cout << "Scaffold :\t[" << opt.scaffold << "]" << std::endl;
    if (opt.single) {
        std::cout << "Output :\t[" << opt.single << "]" << std::endl;
    } else {
        // --output followed by one argument only leaves the sample file unset.
        if (!opt.haplotypes || !opt.samples) failOnConsole("Missing option: --output");
        std::cout << "Output :\t[" << opt.haplotypes << "] [" << opt.samples << "]" << std::endl;
    }
    if (opt.seam) std::cout << "Seam :\t" << opt.seam << std::endl;
}

void refuseOptionNames(const options& opt) {
    for (const char* name : {opt.single, opt.haplotypes, opt.samples, opt.report})
        if (name && name[0] == '-' && name[1])
            fail("cannot write [" + std::string(name) + "]: it is named like an option");
}

std::string commandLine(int argc, char** argv, bool getopt) {
    std::string line;
    for (int i = 0; i < argc; i++) {
        const std::string arg = argv[i];
        // A join split into steps records the command of the whole join.
        if (arg == "--threads" || arg == "--step" || arg == "--part" || arg == "--work") {
            i++;
            continue;
        }
        // getopt also reads --threads=N and abbreviations of --threads.
        const std::string name = arg.substr(0, arg.find('='));
        if (getopt && name.size() >= 4 && std::string("--threads").rfind(name, 0) == 0) {
            if (name.size() == arg.size()) i++;
            continue;
        }
        line += (line.empty() ? "" : " ") + std::string(argv[i]);
    }
    return line;
}

const char* usage() {
    return "usage: seamline --vcf SITES --chunks CHUNK... --output HAPS SAMPLES [options]\n"
           "       seamline --chunks CHUNK.vcf.gz|.bcf... -o OUT.vcf.gz|.bcf|.vcf|- [options]\n"
           "\n"
           "Joins haplotypes phased in overlapping windows (chunks) of a chromosome.\n"
           "\n"
           "  --vcf SITES            site map (VCF layout, or BCF); may be left out when\n"
           "                         every chunk is VCF or BCF: the sites are then the\n"
           "                         chunks' records, every field and genotype kept\n"
           "  --chunks CHUNK...      chunk files: text rows, or phased VCF/BCF, in any order\n"
           "  --output HAPS SAMPLES  haplotype file (text, .gz, .bz2, .vcf, .vcf.gz, .bcf)\n"
           "                         and sample file\n"
           "  -o OUT                 one VCF or BCF output, no sample file; - writes VCF to\n"
           "                         standard output\n"
           "  --scaffold LIST        samples whose pairs are written as stored\n"
           "  --flip                 also match chunk rows with the alleles the other way round\n"
           "  --report FILE          the evidence of every orientation decision\n"
           "  --seam middle|agree    where each sample switches chunks (default middle)\n"
           "  --allow-gaps           without a site map: join neighbours that share no\n"
           "                         record, the orientation starting afresh\n"
           "  --threads N            threads, at most the cores (default 1)\n"
           "  --compression-level N  of compressed outputs: 0 (stored) to 9 (smallest),\n"
           "                         as bgzip's (default 6)\n"
           "  --step STEP --work DIR [--part C]\n"
           "                         one step of the join split into jobs: plan, boundary\n"
           "                         (C = 2..K), fold, stretch (C = 1..K) or gather; every\n"
           "                         step takes the options of the whole join\n"
           "  --help, --version      this text, or the version\n"
           "\n"
           "bcftools concat's ligation command line works too, when the chunks are VCF or\n"
           "BCF and there is no --vcf: replace \"bcftools concat\" by \"seamline\".\n"
           "       seamline [-l] [options] A.vcf.gz B.vcf.gz ...   or   -f LIST\n"
           "    -l, --ligate              what seamline does; accepted\n"
           "    -f, --file-list FILE      chunk names, one a line\n"
           "    -o, --output FILE         -oFILE, --output=FILE; - or none: standard output\n"
           "    -O, --output-type u|b|v|z[0-9]  -Oz9, -O z9, --output-type=z9: the format\n"
           "                              and level, whatever the name\n"
           "    -W, --write-index[=tbi|csi]     the index, CSI unless tbi (none without -W)\n"
           "    --no-version              no command or version lines in the header\n"
           "    --threads N               N worker threads besides the main one\n"
           "    --ligate-force            the same as --allow-gaps\n"
           "    --ligate-warn             drop the records of an overlap that only one of\n"
           "                              its two chunks lists\n"
           "    -c, --compact-PS          write FORMAT/PS only where a phase set starts\n"
           "    -q, --min-PQ N            write FORMAT/PS, a new set where the evidence's\n"
           "                              quality is below N (default 30)\n"
           "    -r, --regions REGIONS     -R, --regions-file FILE, --regions-overlap 0|1|2:\n"
           "                              only the records within the regions\n"
           "    -a, -n, -d, -D, -G        refused: not ligation\n";
}

}  // namespace seamline
