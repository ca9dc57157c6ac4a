#include "dropin/gtscan.h"

#include <algorithm>
#include <cstring>

#include "dropin/rawline.h"
#include "text.h"
#include "vcftext.h"

namespace seamline {

namespace {

// The alleles of an ALT column ("." for none), or 0 when it has an empty or
// missing allele among others.
int altAlleles(std::string_view alt) {
    if (alt == ".") return 0;
    if (alt.empty() || alt.front() == ',' || alt.back() == ',' ||
        alt.find(",,") != std::string_view::npos || alt.find('.') != std::string_view::npos)
        return -1;
    return 1 + static_cast<int>(std::count(alt.begin(), alt.end(), ','));
}

// Where the sample column that starts at start ends: a column of three
// characters is looked at in place, a longer one searched through.
size_t columnEnd(std::string_view text, size_t start) {
    const char* p = text.data() + start;
    if (start + 3 < text.size() && p[3] == '\t' && p[0] != '\t' && p[1] != '\t' && p[2] != '\t')
        return start + 3;
    return text.find('\t', start);
}

}  // namespace

genotypeScanner::genotypeScanner(const bcf_hdr_t* header)
    : found(static_cast<size_t>(bcf_hdr_nsamples(header))), header(header) {}

bool genotypeScanner::scan(std::string_view line) {
    std::string_view columns[10];
    if (found.empty() || !recordColumns(line, columns) || !checkSite(columns) ||
        !checkFormat(columns[8]))
        return false;
    return scanSamples(columns[9]);
}

bool genotypeScanner::checkSite(const std::string_view* columns) {
    chrom = columns[0], ref = columns[3], alt = columns[4];
    const int more = altAlleles(alt);
    if (!parsePosition(columns[1], maxPosition, pos) || more < 0 || ref.empty() ||
        alt.find('<') != std::string_view::npos)
        return false;
    alleles = 1 + more;
    if (chrom != knownChrom) {
        knownChrom.assign(chrom);
        if (bcf_hdr_name2id(header, knownChrom.c_str()) < 0) {
            knownChrom.clear();
            return false;
        }
    }
    return keysDeclared(header, columns[6], ';', BCF_HL_FLT) &&
           keysDeclared(header, columns[7], ';', BCF_HL_INFO);
}

bool genotypeScanner::checkFormat(std::string_view format) {
    if (!knownFormat.empty() && format == knownFormat) return true;
    knownFormat.clear();
    if (format.empty() || !keysDeclared(header, format, ':', BCF_HL_FMT)) return false;
    bool twice;
    gtIndex = keyIndex(format, "GT", twice);
    if (twice) return false;
    knownFormat.assign(format);
    return true;
}

bool genotypeScanner::scanSamples(std::string_view text) {
    size_t start = 0;
    for (size_t j = 0; j < found.size(); j++) {
        // A column of GT alone, "0|1", with more to come.
        const char* p = text.data() + start;
        if (gtIndex == 0 && start + 3 < text.size() && p[3] == '\t' && j + 1 < found.size() &&
            usualGenotype(p)) {
            found[j] = 0;
            if (!scanUsual(p, found[j])) return false;
            start += 4;
            continue;
        }
        const size_t tab = columnEnd(text, start);
        if ((tab == std::string_view::npos) != (j + 1 == found.size())) return false;
        const std::string_view column = text.substr(start, tab - start);
        found[j] = 0;
        start = tab + 1;
        if (gtIndex < 0) continue;
        // GT first, in the usual form: no colon before the fourth character.
        const bool usual = gtIndex == 0 && column.size() >= 3 && usualGenotype(column.data()) &&
                           (column.size() == 3 || column[3] == ':');
        std::string_view gt;
        if (usual)
            gt = column.substr(0, 3);
        else if (!subfield(column, gtIndex, gt))
            gt = std::string_view();
        if (!scanGenotype(gt, found[j])) return false;
    }
    return true;
}

bool genotypeScanner::scanGenotype(std::string_view gt, uint16_t& evidence) {
    if (gt.size() == 3 && usualGenotype(gt.data())) return scanUsual(gt.data(), evidence);
    const genotype g = readGenotype(gt);
    if (!g.readable || g.highest >= alleles) return false;
    // Evidence is per genotype: one of another ploidy gives none and takes
    // none from the other samples of the record.
    if (g.ploidy == 2) evidence = pairEvidence(g.alleles[0], g.alleles[1], g.phased, alleles);
    return true;
}

bool genotypeScanner::scanUsual(const char* gt, uint16_t& evidence) {
    const int allele[2] = {gt[0] - '0', gt[2] - '0'};
    if (allele[0] >= alleles || allele[1] >= alleles) return false;
    evidence = pairEvidence(allele[0], allele[1], gt[1] == '|', alleles);
    return true;
}

uint16_t pairEvidence(int first, int second, bool phased, int alleles) {
    const int low = std::min(first, second), high = std::max(first, second);
    if (!phased || low < 0 || low == high || (alleles > 2 && high > 15)) return 0;
    return static_cast<uint16_t>(
        (first < second ? genotypeScanner::firstLower : genotypeScanner::firstHigher) |
        (16 * low + high));
}

uint16_t decodedEvidence(const int32_t* values, int n, int alleles) {
    const genotype g = decodeGenotype(values, n);
    return g.ploidy == 2 ? pairEvidence(g.alleles[0], g.alleles[1], g.phased, alleles) : 0;
}

}  // namespace seamline
