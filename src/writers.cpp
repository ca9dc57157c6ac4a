#include "writers.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iostream>

#include "failure.h"

namespace seamline {

namespace {

std::string reasonOf(int error, const char* fallback) { return error ? strerror(error) : fallback; }

// An index is written beside a compressed VCF or a BCF file that is put in
// place, not into a device, a pipe or standard output.
bool indexed(const output& out, const haplotypeSettings& settings) {
    const variantFormat format = haplotypeFormat(out.name, settings.format, settings.single);
    const variantFormat named = variantFormatOf(out.name);
    const bool byName =
        settings.indexByName && (named == variantFormat::vcfgz || named == variantFormat::bcf);
    return (format == variantFormat::vcfgz || format == variantFormat::bcf) && !out.temp.empty() &&
           (byName || settings.index);
}

std::string indexName(const std::string& haplotypes, bool csi) {
    return haplotypes + (csi ? ".csi" : ".tbi");
}

}  // namespace

outputFile::outputFile(const output& out, int threads)
    : outputFile(out.path(), out.name, compressionOfName(out.path()), threads) {}

outputFile::outputFile(const std::string& path, const std::string& name, compression how,
                       int threads)
    : ofile(path, how, threads), name(name) {
    if (!isOpen())
        seamline::fail("cannot open [" + name + "]: " + reasonOf(openError(), "unknown error"));
}

void outputFile::put(std::string& text) {
    write(text.data(), static_cast<std::streamsize>(text.size()));
    text.clear();
}

void outputFile::finish() {
    bool failed = bad();
    close();
    if (failed || bad()) failOutput(name, reasonOf(errno, "write error"));
}

// TBI holds records that begin below 2^29 and end at 2^29 at most (0-based
// begin pos - 1, end begin + REF length); a site beyond that needs CSI.
bool beyondTbi(const std::vector<site>& sites) {
    const int64_t reach = int64_t(1) << 29;
    for (const site& s : sites)
        if (s.pos >= reach || int64_t(s.pos) - 1 + s.refLength > reach) return true;
    return false;
}

std::string stageIndex(outputSet& outputs, size_t haplotypes, bool csi,
                       const haplotypeSettings& settings) {
    if (!indexed(outputs[haplotypes], settings)) return "";
    return outputs[outputs.add(indexName(outputs[haplotypes].name, csi))].path();
}

void writeSamples(const output& out, const std::vector<std::string>& samples) {
    std::cout << "Writing samples in [" << out.name << "]" << std::endl;
    outputFile file(out);
    file << "ID_1 ID_2 missing\n0 0 0\n";
    for (const std::string& id : samples) file << id << " " << id << " 0\n";
    file.finish();
}

void writeReport(const output& out, const joinResult& join, const std::vector<std::string>& samples,
                 const std::vector<bool>& scaffolded, bool seamColumn) {
    std::cout << "Writing report in [" << out.name << "]" << std::endl;
    outputFile file(out);
    file << "left\tright\tsample\toverlap\tkeep\tswap\tdecision\tquality"
         << (seamColumn ? "\tseam\n" : "\n");
    std::string text;
    for (size_t c = 1; c < join.chunks.size(); c++) {
        const boundary& b = join.boundaries[c];
        // A chromosome's first chunk has no boundary before it.
        if (b.meeting == boundary::kind::start) continue;
        const bool gap = b.meeting == boundary::kind::gap;
        std::string names = join.chunks[c - 1].name + "\t" + join.chunks[c].name + "\t";
        std::string overlap = "\t" + std::to_string(b.rows()) + "\t";
        for (size_t k = 0; k < samples.size(); k++) {
            const int32_t keep = gap ? 0 : b.keep[k], swap = gap ? 0 : b.swap[k];
            const char* decision = scaffolded[k] ? "scaffold"
                                   : gap         ? "gap"
                                   : swap > keep ? "swap"
                                                 : "keep";
            text += names + samples[k] + overlap + std::to_string(keep) + "\t" +
                    std::to_string(swap) + "\t" + decision + "\t" +
                    std::to_string(reportQuality(keep, swap));
            if (seamColumn) text += "\t" + std::to_string(gap ? 0 : b.seam(k));
            text += "\n";
            if (text.size() >= textBlock) file.put(text);
        }
    }
    file.put(text);
    file.finish();
}

variantFormat haplotypeFormat(const std::string& name, bool single) {
    return single && name == "-" ? variantFormat::vcf : variantFormatOf(name);
}

variantFormat haplotypeFormat(const std::string& name, variantFormat forced, bool single) {
    return forced != variantFormat::none ? forced : haplotypeFormat(name, single);
}

variantFormat outputFormatOf(char type) {
    switch (type) {
        case 'u':
            return variantFormat::ubcf;
        case 'b':
            return variantFormat::bcf;
        case 'v':
            return variantFormat::vcf;
        case 'z':
            return variantFormat::vcfgz;
        default:
            return variantFormat::none;
    }
}

void reserveIndex(outputSet& outputs, size_t haplotypes, const haplotypeSettings& settings) {
    if (!indexed(outputs[haplotypes], settings)) return;
    const std::string name = outputs[haplotypes].name;
    if (haplotypeFormat(name, settings.format, settings.single) == variantFormat::vcfgz)
        outputs.reserve(indexName(name, false));
    outputs.reserve(indexName(name, true));
}

outputIndex stageOutputs(outputSet& outputs, const options& opt,
                         const haplotypeSettings& settings) {
    outputIndex at;
    refuseOptionNames(opt);
    if (!opt.single) at.samples = outputs.add(opt.samples);
    at.haplotypes = outputs.add(opt.single ? opt.single : opt.haplotypes);
    if (opt.report) at.report = outputs.add(opt.report);
    reserveIndex(outputs, at.haplotypes, settings);
    std::vector<std::string> inputs(opt.chunks);
    if (opt.vcf) inputs.push_back(opt.vcf);
    if (opt.scaffold) inputs.push_back(opt.scaffold);
    outputs.refuseInputs(inputs);
    return at;
}

int reportQuality(int32_t keep, int32_t swap) {
    if (keep == 0 && swap == 0) return 0;
    if (keep == 0 || swap == 0) return 99;
    double f = static_cast<double>(keep) / (keep + swap);
    double q = 99 * (0.7 + f * std::log(f) + (1 - f) * std::log(1 - f)) / 0.7;
    return static_cast<int>(std::lround(std::min(99.0, std::max(0.0, q))));
}

}  // namespace seamline
