#include "vcftext.h"

#include <htslib/vcf.h>

#include <algorithm>

#include "text.h"

namespace seamline {

headerLine headerLineKind(std::string_view line) {
    if (line.substr(0, 9) == "##contig=") return headerLine::contig;
    if (line.substr(0, 4) == "#CHR") return headerLine::columns;
    return !line.empty() && line[0] == '#' ? headerLine::other : headerLine::record;
}

std::vector<std::string> headerSamples(std::string_view columns) {
    std::vector<std::string> names = tokenize(std::string(columns), "\t");
    names.erase(names.begin(), names.begin() + std::min<size_t>(9, names.size()));
    return names;
}

bool recordColumns(std::string_view line, std::string_view* columns) {
    fieldSplitter split(line, "\t", fieldSplitter::exact);
    return split.take(9, columns) == 9 && split.rest(columns[9]);
}

bool subfield(std::string_view list, int n, std::string_view& field) {
    fieldSplitter split(list, ":", fieldSplitter::exact);
    for (int k = 0; k <= n; k++)
        if (!split.next(field)) return false;
    return true;
}

int keyIndex(std::string_view keys, std::string_view key, bool& twice) {
    fieldSplitter split(keys, ":", fieldSplitter::exact);
    int index = -1;
    twice = false;
    std::string_view k;
    for (int i = 0; split.next(k); i++) {
        if (k != key) continue;
        if (index >= 0) twice = true;
        if (index < 0) index = i;
    }
    return index;
}

genotype::kind genotype::classify() const {
    if (!readable || ploidy > 2) return kind::other;
    if (ploidy == 0) return kind::missing;
    if (ploidy == 1) return alleles[0] < 0 ? kind::missing : kind::haploid;
    if (alleles[0] < 0 && alleles[1] < 0) return kind::missing;
    if (anyMissing) return kind::halfMissing;
    return phased ? kind::phased : kind::unphased;
}

genotype readGenotype(std::string_view text) {
    genotype g;
    // Allele indices beyond any site's alleles are all alike.
    const int64_t huge = int64_t(1) << 30;
    for (size_t i = 0;;) {
        int allele = -1;
        if (i < text.size() && text[i] == '.') {
            g.anyMissing = true;
            i++;
        } else {
            const size_t begin = i;
            int64_t value = 0;
            for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++)
                value = std::min(value * 10 + (text[i] - '0'), huge);
            if (i == begin) {
                g.readable = false;
                return g;
            }
            allele = static_cast<int>(value);
            g.highest = std::max(g.highest, allele);
        }
        if (g.ploidy < 2) g.alleles[g.ploidy] = allele;
        if (++g.ploidy == 1) g.separator = i;
        if (i == text.size()) return g;
        if (text[i] == '/') {
            g.phased = false;
        } else if (text[i] != '|') {
            g.readable = false;
            return g;
        }
        i++;
    }
}

genotype decodeGenotype(const int32_t* values, int n) {
    genotype g;
    for (int i = 0; i < n && values[i] != bcf_int32_vector_end; i++) {
        // htslib marks a sample without a GT value with its missing integer.
        const int allele = values[i] == bcf_int32_missing || bcf_gt_is_missing(values[i])
                               ? -1
                               : bcf_gt_allele(values[i]);
        if (allele < 0) g.anyMissing = true;
        g.highest = std::max(g.highest, allele);
        if (i > 0 && !bcf_gt_is_phased(values[i])) g.phased = false;
        if (g.ploidy < 2) g.alleles[g.ploidy] = allele;
        g.ploidy++;
    }
    // A sample with no value at all has nothing but missing alleles.
    if (g.ploidy == 0) g.anyMissing = true;
    return g;
}

bool exchangeable(const int32_t* values) {
    const genotype g = decodeGenotype(values, 3);
    // A value that htslib marks missing is no allele to move.
    return g.ploidy == 2 && g.phased && values[0] != bcf_int32_missing &&
           values[1] != bcf_int32_missing;
}

int32_t typedInteger(const uint8_t* p, int type) {
    if (type == BCF_BT_INT8) {
        const int8_t v = static_cast<int8_t>(p[0]);
        if (v == bcf_int8_missing) return bcf_int32_missing;
        return v == bcf_int8_vector_end ? bcf_int32_vector_end : v;
    }
    if (type == BCF_BT_INT16) {
        const int16_t v = static_cast<int16_t>(p[0] | p[1] << 8);
        if (v == bcf_int16_missing) return bcf_int32_missing;
        return v == bcf_int16_vector_end ? bcf_int32_vector_end : v;
    }
    return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

std::string genotypeText(const int32_t* values, int n) {
    std::string text;
    for (int i = 0; i < n && values[i] != bcf_int32_vector_end; i++) {
        if (i > 0) text += bcf_gt_is_phased(values[i]) ? '|' : '/';
        if (values[i] == bcf_int32_missing || bcf_gt_is_missing(values[i]))
            text += '.';
        else
            text += std::to_string(bcf_gt_allele(values[i]));
    }
    return text;
}

bool exchangeGenotypeText(char* text, size_t size) {
    // The usual "a|b" of one-character alleles: the two change places.
    auto oneCharacter = [](char c) { return c == '.' || (c >= '0' && c <= '9'); };
    if (size == 3 && text[1] == '|' && oneCharacter(text[0]) && oneCharacter(text[2])) {
        std::swap(text[0], text[2]);
        return true;
    }
    const genotype g = readGenotype(std::string_view(text, size));
    if (!g.readable || g.ploidy > 2) return false;
    if (g.ploidy == 1 || !g.phased) return true;
    // "a|b": rotated to "b|a" around the bar.
    char* bar = text + g.separator;
    std::rotate(text, bar + 1, text + size);
    const size_t b = size - g.separator - 1;
    std::rotate(text + b, text + size - 1, text + size);
    return true;
}

}  // namespace seamline
