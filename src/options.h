#ifndef SEAMLINE_OPTIONS_H
#define SEAMLINE_OPTIONS_H

#include <string>
#include <vector>

namespace seamline {

// The settings of the command line; null means unset.
struct options {
    const char* vcf = nullptr;
    std::vector<std::string> chunks;
    const char* scaffold = nullptr;
    const char* haplotypes = nullptr;  // --output's first name
    const char* samples = nullptr;     // --output's second name
    const char* single = nullptr;      // -o: the one output, VCF or BCF
    const char* report = nullptr;
    const char* seam = nullptr;
    const char* threads = nullptr;
    const char* compressionLevel = nullptr;
    bool flip = false;
    bool allowGaps = false;  // without a site map: join neighbours that share no record
    bool help = false, version = false;
    // One step of a join split into jobs (plan, boundary, fold, stretch,
    // gather), its part (a boundary or chunk number, from 1) and the folder
    // of the files the steps pass on.
    const char* step = nullptr;
    const char* part = nullptr;
    const char* work = nullptr;
    std::vector<std::string> ignored;  // arguments that are neither options nor their values

    // Read from bcftools' ligation form only (bcftoolsform.h); the defaults
    // leave every run of seamline's own form as it was.
    const char* fileList = nullptr;  // -f: a file of chunk names, read once the checks are done
    size_t fileListAt = 0;           // where its names go among chunks
    char outputType = 0;             // -O: 'u', 'b', 'v' or 'z'; 0 leaves it to the name
    char indexType = 0;              // -W: 'c' (CSI) or 't' (TBI); 0 as the output's name says
    // Without -W, an output named .vcf.gz or .bcf gets its index all the
    // same; not for chunks named as bcftools names them (arguments, -f), which
    // get one only with -W, so that a pipeline's own indexing step after the
    // join does not find one there.
    bool indexByName = true;
    int workers = -1;         // --threads as bcftools counts them; -1 when not so given
    bool noVersion = false;   // no command or version lines in the output header
    bool ligateWarn = false;  // drop the records of an overlap that one chunk lacks
    bool phaseSets = false, compactPhaseSets = false;  // write FORMAT/PS; only where a set starts
    int minPhaseQuality = 30;                          // a boundary below it starts a new set
    const char* regions = nullptr;                     // -r, or -R's file when regionsFile
    bool regionsFile = false;
    int regionsOverlap = 1;  // 0: POS in a region, 1: the record overlaps one, 2: the variant does
};

// Every argument is compared with the option texts in its turn, even one that
// the option before it took as its value. An option standing last unsets its
// value.
options scanArguments(int argc, char** argv);

// Threads to use: --threads, at most the cores available. A value that is not
// a whole number of at least 1 is a failure.
int usableThreads(const char* asked);
// Threads to use as the command gave them: bcftools' worker threads and the
// main one, or --threads as usableThreads reads it; at most the cores.
int usableThreads(const options& opt);

// The level of compressed outputs: --compression-level, 0 to 9 as bgzip's,
// or the default. Any other value is a failure naming it.
int compressionLevelOf(const char* asked);

// Checks the options that a run needs and echoes them; siteMap: the run reads
// a site map.
void echo(const options& opt, bool siteMap);

// Fails on an output named like an option ("--threads"), which is never
// written; "-" is standard output.
void refuseOptionNames(const options& opt);

// The command line that VCF and BCF headers record: the same whatever the
// thread count, so that the outputs are too. getopt: the command was read as
// getopt reads it, where --threads may also be --threads=N or abbreviated.
std::string commandLine(int argc, char** argv, bool getopt = false);

// The text of --help.
const char* usage();

}  // namespace seamline

#endif
