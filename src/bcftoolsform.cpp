#include "bcftoolsform.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "blocks.h"
#include "failure.h"
#include "writers.h"

namespace seamline {

namespace {

enum class takes { nothing, value, optionalValue, list };

enum class key {
    // seamline's own
    chunks,
    vcf,
    scaffold,
    flip,
    report,
    seam,
    compressionLevel,
    allowGaps,
    help,
    version,
    step,
    part,
    work,
    // bcftools concat's, read
    output,
    outputType,
    fileList,
    ligate,
    ligateForce,
    ligateWarn,
    noVersion,
    compactPS,
    minPQ,
    regions,
    regionsFile,
    regionsOverlap,
    threads,
    writeIndex,
    verbosity,
    // bcftools concat's that are not ligation
    allowOverlaps,
    naive,
    naiveForce,
    rmDups,
    removeDuplicates,
    dropGenotypes
};

struct optionText {
    const char* name;  // long name, without "--"
    char letter;       // short form, or 0
    takes what;
    key id;
    bool ownName;  // seamline's own form has it under this name
};

const optionText table[] = {
    {"chunks", 0, takes::list, key::chunks, true},
    {"vcf", 0, takes::value, key::vcf, true},
    {"scaffold", 0, takes::value, key::scaffold, true},
    {"flip", 0, takes::nothing, key::flip, true},
    {"report", 0, takes::value, key::report, true},
    {"seam", 0, takes::value, key::seam, true},
    {"compression-level", 0, takes::value, key::compressionLevel, true},
    {"allow-gaps", 0, takes::nothing, key::allowGaps, false},
    {"help", 0, takes::nothing, key::help, true},
    {"version", 0, takes::nothing, key::version, true},
    {"step", 0, takes::value, key::step, true},
    {"part", 0, takes::value, key::part, true},
    {"work", 0, takes::value, key::work, true},
    {"output", 'o', takes::value, key::output, true},
    {"output-type", 'O', takes::value, key::outputType, false},
    {"file-list", 'f', takes::value, key::fileList, false},
    {"ligate", 'l', takes::nothing, key::ligate, false},
    {"ligate-force", 0, takes::nothing, key::ligateForce, false},
    {"ligate-warn", 0, takes::nothing, key::ligateWarn, false},
    {"no-version", 0, takes::nothing, key::noVersion, false},
    {"compact-PS", 'c', takes::nothing, key::compactPS, false},
    {"min-PQ", 'q', takes::value, key::minPQ, false},
    {"regions", 'r', takes::value, key::regions, false},
    {"regions-file", 'R', takes::value, key::regionsFile, false},
    {"regions-overlap", 0, takes::value, key::regionsOverlap, false},
    {"threads", 0, takes::value, key::threads, true},
    {"write-index", 'W', takes::optionalValue, key::writeIndex, false},
    {"verbosity", 'v', takes::value, key::verbosity, false},
    {"verbose", 0, takes::value, key::verbosity, false},
    {"allow-overlaps", 'a', takes::nothing, key::allowOverlaps, false},
    {"naive", 'n', takes::nothing, key::naive, false},
    {"naive-force", 0, takes::nothing, key::naiveForce, false},
    {"rm-dups", 'd', takes::value, key::rmDups, false},
    {"remove-duplicates", 'D', takes::nothing, key::removeDuplicates, false},
    {"drop-genotypes", 'G', takes::nothing, key::dropGenotypes, false},
};

// Why an option of bcftools concat that is not ligation is refused, and what
// to run instead.
std::string notLigation(key id) {
    switch (id) {
        case key::allowOverlaps:
            return "-a (--allow-overlaps) combines files that overlap in any way, which is not "
                   "ligation: use bcftools concat -a";
        case key::naive:
        case key::naiveForce:
            return "-n (--naive) joins compressed files as they stand, which is not ligation: use "
                   "bcftools concat --naive";
        case key::rmDups:
        case key::removeDuplicates:
            return "-d (--rm-dups) and -D drop duplicates of files combined with -a, which is not "
                   "ligation: use bcftools concat -a -d, or bcftools norm -d";
        default:
            return "-G (--drop-genotypes) drops the genotypes that ligation joins: use bcftools "
                   "view -G on the output";
    }
}

// The long option that name (without "--") stands for: itself, or the one
// option it abbreviates; null when there is none, ambiguous when several.
const optionText* longOption(const std::string& name, bool& ambiguous, bool& abbreviated) {
    ambiguous = abbreviated = false;
    const optionText* found = nullptr;
    for (const optionText& o : table)
        if (name == o.name) return &o;
    for (const optionText& o : table) {
        if (name.empty() || strncmp(o.name, name.c_str(), name.size()) != 0) continue;
        if (found && found->id != o.id) ambiguous = true;
        found = &o;
    }
    abbreviated = found != nullptr;
    return ambiguous ? nullptr : found;
}

const optionText* shortOption(char letter) {
    for (const optionText& o : table)
        if (o.letter == letter) return &o;
    return nullptr;
}

// The digits "0" to "9", for a level given inside another value.
const char* const levels[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};

// A whole decimal number, as strtol reads all of it; false otherwise.
bool wholeNumber(const char* text, long& value) {
    if (!*text) return false;
    char* end = nullptr;
    errno = 0;
    value = strtol(text, &end, 10);
    return !*end && errno == 0;
}

class scanner {
public:
    scanner(int argc, char** argv) : argc(argc), argv(argv) {
        // --output takes a second name only in a command with --chunks.
        for (int i = 1; i < argc; i++) {
            const std::string arg = argv[i];
            if (arg == "--") break;
            bool ambiguous, abbreviated;
            const optionText* o =
                arg.rfind("--", 0) == 0
                    ? longOption(arg.substr(2, arg.find('=') - 2), ambiguous, abbreviated)
                    : nullptr;
            if (o && o->id == key::chunks) withChunks = true;
        }
    }

    bcftoolsScan scan() {
        for (i = 1; i < argc; i++) {
            const std::string arg = argv[i];
            if (arg == "--") {
                for (i++; i < argc; i++) input(argv[i]);
                break;
            }
            if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-')
                longForm(arg.substr(2));
            else if (arg.size() > 1 && arg[0] == '-')
                shortForms(arg);
            else if (seenChunks)
                refuse("argument [" + arg +
                       "] is taken by no option; chunks follow --chunks, before the next option");
            else
                input(argv[i]);
        }
        // Chunks named as bcftools names them (arguments, -f): its output
        // rules, an index only with -W and standard output without -o. With
        // --chunks, seamline's own word, --threads counts every thread, so
        // that a job gets the CPUs it was given (the workflow's joins).
        if (!seenChunks) {
            result.opt.indexByName = false;
            if (!result.opt.single && !result.opt.haplotypes) result.opt.single = "-";
        } else {
            result.opt.workers = -1;
        }
        return result;
    }

private:
    int argc;
    char** argv;
    int i = 0;  // the argument being read
    bool withChunks = false, seenChunks = false;
    bcftoolsScan result;

    void refuse(const std::string& why) {
        if (result.error.empty()) result.error = why;
    }

    void input(const char* name) {
        result.opt.chunks.push_back(name);
        result.distinct = true;
    }

    // --name or --name=value.
    void longForm(const std::string& text) {
        const size_t equals = text.find('=');
        const std::string name = text.substr(0, equals);
        bool ambiguous, abbreviated;
        const optionText* o = longOption(name, ambiguous, abbreviated);
        if (ambiguous) return refuse("option '--" + name + "' is ambiguous");
        if (!o) return refuse("unrecognized option '--" + name + "' (seamline --help lists them)");
        if (abbreviated || equals != std::string::npos || !o->ownName) result.distinct = true;
        const std::string shown = "--" + std::string(o->name);
        if (equals != std::string::npos) {
            if (o->what == takes::nothing || o->what == takes::list)
                return refuse("option '" + shown + "' doesn't allow an argument");
            return apply(*o, argv[i] + 2 + equals + 1, shown, true);
        }
        if (o->what == takes::optionalValue || o->what == takes::nothing || o->what == takes::list)
            return apply(*o, nullptr, shown, false);
        if (i + 1 >= argc) return refuse("option '" + shown + "' requires an argument");
        apply(*o, argv[++i], shown, false);
    }

    // -x, clustered (-lc), with a value attached (-Oz, -ofile) or following.
    void shortForms(const std::string& arg) {
        result.distinct = true;
        for (size_t at = 1; at < arg.size(); at++) {
            const optionText* o = shortOption(arg[at]);
            if (!o) return refuse("invalid option -- '" + arg.substr(at, 1) + "'");
            const std::string shown = "-" + arg.substr(at, 1);
            if (o->what == takes::nothing) {
                apply(*o, nullptr, shown, false);
                continue;
            }
            if (at + 1 < arg.size()) return apply(*o, argv[i] + at + 1, shown, true);
            if (o->what == takes::optionalValue) return apply(*o, nullptr, shown, false);
            if (i + 1 >= argc)
                return refuse("option requires an argument -- '" + arg.substr(at, 1) + "'");
            return apply(*o, argv[++i], shown, false);
        }
    }

    // Option o with its value (null when it takes none or none came);
    // attached: the value was part of the option's argument.
    void apply(const optionText& o, const char* value, const std::string& shown, bool attached) {
        options& opt = result.opt;
        switch (o.id) {
            case key::chunks:
                seenChunks = true;
                for (; i + 1 < argc && (argv[i + 1][0] != '-' || !argv[i + 1][1]); i++)
                    opt.chunks.push_back(argv[i + 1]);
                break;
            case key::vcf:
                opt.vcf = value;
                break;
            case key::scaffold:
                opt.scaffold = value;
                break;
            case key::flip:
                opt.flip = true;
                break;
            case key::report:
                opt.report = value;
                break;
            case key::seam:
                opt.seam = value;
                break;
            case key::compressionLevel:
                opt.compressionLevel = value;
                break;
            case key::allowGaps:
            case key::ligateForce:
                opt.allowGaps = true;
                break;
            case key::help:
                opt.help = true;
                break;
            case key::version:
                opt.version = true;
                break;
            case key::step:
                opt.step = value;
                break;
            case key::part:
                opt.part = value;
                break;
            case key::work:
                opt.work = value;
                break;
            case key::output:
                output(value, shown, attached);
                break;
            case key::outputType:
                outputType(value);
                break;
            case key::fileList:
                opt.fileList = value;
                opt.fileListAt = opt.chunks.size();
                break;
            case key::ligate:
                break;
            case key::ligateWarn:
                opt.ligateWarn = true;
                break;
            case key::noVersion:
                opt.noVersion = true;
                break;
            case key::compactPS:
                opt.phaseSets = opt.compactPhaseSets = true;
                break;
            case key::minPQ: {
                long q;
                if (!wholeNumber(value, q) || q < INT_MIN || q > INT_MAX)
                    return refuse("-q (--min-PQ) takes a whole number, not [" + std::string(value) +
                                  "]");
                opt.phaseSets = true;
                opt.minPhaseQuality = static_cast<int>(q);
                break;
            }
            case key::regions:
            case key::regionsFile:
                opt.regions = value;
                opt.regionsFile = o.id == key::regionsFile;
                break;
            case key::regionsOverlap:
                regionsOverlap(value);
                break;
            case key::threads: {
                long n;
                const std::string text = value;
                if (text.find_first_not_of("0123456789") != std::string::npos || text.size() > 6 ||
                    !wholeNumber(value, n))
                    return refuse(
                        "--threads takes a whole number of worker threads besides the main one "
                        "(0 or more), not [" +
                        text + "]");
                opt.workers = static_cast<int>(n);
                opt.threads = value;
                break;
            }
            case key::writeIndex:
                writeIndex(value);
                break;
            case key::verbosity:
                if (strcmp(value, "0") != 0 && strcmp(value, "1") != 0)
                    refuse("-v (--verbosity) takes 0 or 1, not [" + std::string(value) + "]");
                break;
            default:
                refuse(notLigation(o.id));
        }
    }

    void output(const char* value, const std::string& shown, bool attached) {
        options& opt = result.opt;
        // A second name, in a command with --chunks, makes the two outputs
        // of seamline's own form: the haplotypes and the sample file.
        if (shown == "--output" && !attached && withChunks && i + 1 < argc && argv[i + 1][0] &&
            argv[i + 1][0] != '-') {
            opt.haplotypes = value;
            opt.samples = argv[++i];
            return;
        }
        if (shown == "--output") result.distinct = true;
        opt.single = value;
    }

    void outputType(const char* value) {
        options& opt = result.opt;
        const std::string text = value;
        const bool typed = !text.empty() && strchr("ubvz", text[0]);
        const std::string level = typed ? text.substr(1) : text;
        long n = 0;
        if ((!typed && level.empty()) ||
            (!level.empty() && (!wholeNumber(level.c_str(), n) || n < 0 || n > 9)))
            return refuse(
                "-O (--output-type) takes u, b, v or z, then a compression level 0-9 if "
                "you wish, not [" +
                text + "]");
        if (typed) opt.outputType = text[0];
        if (level.empty()) return;
        if (typed && (text[0] == 'u' || text[0] == 'v'))
            return refuse("-O " + text + ": " + text.substr(0, 1) +
                          " is uncompressed, and a compression level does not apply to it");
        opt.compressionLevel = levels[n];
    }

    void regionsOverlap(const char* value) {
        const std::string text = value;
        if (text == "0" || text == "pos")
            result.opt.regionsOverlap = 0;
        else if (text == "1" || text == "record")
            result.opt.regionsOverlap = 1;
        else if (text == "2" || text == "variant")
            result.opt.regionsOverlap = 2;
        else
            refuse("--regions-overlap takes 0 (pos), 1 (record) or 2 (variant), not [" + text +
                   "]");
    }

    void writeIndex(const char* value) {
        const std::string text = value ? value : "";
        if (text.empty() || text == "csi" || text == "=csi")
            result.opt.indexType = 'c';
        else if (text == "tbi" || text == "=tbi")
            result.opt.indexType = 't';
        else
            refuse("-W (--write-index) takes tbi or csi, not [" + text + "]");
    }
};

}  // namespace

bcftoolsScan scanBcftoolsForm(int argc, char** argv) { return scanner(argc, argv).scan(); }

void checkBcftoolsForm(const options& opt) {
    if (opt.ligateWarn && opt.allowGaps)
        fail("--ligate-warn drops what --ligate-force (--allow-gaps) keeps: give one of them");
    if (opt.seam && std::string(opt.seam) != "middle" && std::string(opt.seam) != "agree")
        fail("--seam takes middle or agree, not [" + std::string(opt.seam) + "]");
    compressionLevelOf(opt.compressionLevel);
    if (opt.single && opt.haplotypes) fail("-o and --output cannot be given together");
    if (!opt.single && !opt.haplotypes)
        fail("no output: give -o FILE, or -o - for standard output");
    refuseOptionNames(opt);
    const char* name = opt.single ? opt.single : opt.haplotypes;
    if (!opt.outputType && opt.haplotypes &&
        haplotypeFormat(opt.haplotypes, false) == variantFormat::none)
        fail("without a site map the haplotypes are written as VCF or BCF, not [" +
             std::string(opt.haplotypes) + "]");
    if (opt.indexType) {
        const variantFormat format = haplotypeFormat(name, outputFormatOf(opt.outputType), true);
        if (std::string(name) == "-")
            fail("-W writes an index beside a file; standard output has none");
        if (format != variantFormat::vcfgz && format != variantFormat::bcf)
            fail("-W: [" + std::string(name) +
                 "] is written uncompressed, and only compressed VCF and BCF can be indexed");
    }
    if (opt.step) {
        const char* alone = opt.outputType   ? "-O (--output-type)"
                            : opt.indexType  ? "-W (--write-index)"
                            : opt.phaseSets  ? "-c and -q (phase sets)"
                            : opt.regions    ? "-r and -R (regions)"
                            : opt.ligateWarn ? "--ligate-warn"
                                             : nullptr;
        if (alone)
            fail(std::string(alone) +
                 " is not read in a join split into steps; join in one process instead");
    }
}

}  // namespace seamline
