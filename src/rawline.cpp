#include "rawline.h"

#include <algorithm>
#include <cstring>

#include "text.h"

namespace seamline {

namespace {

// The fields of the header types a line refers to.
const int lineTypes[] = {BCF_HL_FLT, BCF_HL_INFO, BCF_HL_FMT};

// Whether every FILTER, INFO and FORMAT key of chunk is declared in output
// the same way (type, number).
bool sameDeclarations(const bcf_hdr_t* chunk, const bcf_hdr_t* output) {
    for (int i = 0; i < chunk->n[BCF_DT_ID]; i++) {
        const bcf_idpair_t& mine = chunk->id[BCF_DT_ID][i];
        if (!mine.key || !mine.val) continue;
        const int theirs = bcf_hdr_id2int(output, BCF_DT_ID, mine.key);
        for (int type : lineTypes) {
            if (!mine.val->hrec[type]) continue;
            if (theirs < 0 || !bcf_hdr_idinfo_exists(output, type, theirs) ||
                output->id[BCF_DT_ID][theirs].val->info[type] != mine.val->info[type])
                return false;
        }
    }
    return true;
}

// An allele of a GT text: digits, or '.'; returns where it ends, or null.
const char* alleleEnd(const char* p, const char* end) {
    if (p < end && *p == '.') return p + 1;
    const char* q = p;
    while (q < end && *q >= '0' && *q <= '9') q++;
    return q > p ? q : nullptr;
}

}  // namespace

// Splits the line at its first n tabs into fields; false when it has fewer.
bool splitColumns(std::string_view line, size_t n, std::string_view* fields) {
    size_t start = 0;
    for (size_t i = 0; i < n; i++) {
        const size_t tab = line.find('\t', start);
        if (tab == std::string_view::npos) return false;
        fields[i] = line.substr(start, tab - start);
        start = tab + 1;
    }
    fields[n] = line.substr(start);
    return true;
}

// A POS column of digits only, 1 or more, as 0-based; -1 otherwise.
hts_pos_t positionOf(std::string_view text) {
    int64_t value;
    if (text.size() > 12 || !parseWhole(text, INT64_MAX, value) || value < 1) return -1;
    return value - 1;
}

bool exchangeGenotypeText(char* text, size_t size) {
    // The usual "a|b" of one-character alleles: the two change places.
    auto oneCharacter = [](char c) { return c == '.' || (c >= '0' && c <= '9'); };
    if (size == 3 && text[1] == '|' && oneCharacter(text[0]) && oneCharacter(text[2])) {
        std::swap(text[0], text[2]);
        return true;
    }
    const char* end = text + size;
    const char* first = alleleEnd(text, end);
    if (!first) return false;
    if (first == end) return true;  // haploid
    const char* second = alleleEnd(first + 1, end);
    if (!second || second != end || (*first != '|' && *first != '/')) return false;
    if (*first == '/') return true;
    // "a|b": rotated to "ba|", then its tail to "b|a".
    char* bar = text + (first - text);
    std::rotate(text, bar + 1, text + size);
    const size_t b = static_cast<size_t>(end - (bar + 1));
    std::rotate(text + b, text + size - 1, text + size);
    return true;
}

lineCopier::lineCopier(const bcf_hdr_t* chunkHeader, const bcf_hdr_t* outputHeader,
                       bool sameSamples)
    : chunk(chunkHeader), output(outputHeader) {
    usable = sameSamples && bcf_hdr_nsamples(output) > 0 && sameDeclarations(chunk, output);
}

bool keysDeclared(const bcf_hdr_t* header, std::string_view list, char separator, int type) {
    if (list == ".") return true;
    std::string key;
    for (size_t start = 0; start <= list.size();) {
        size_t stop = list.find(separator, start);
        if (stop == std::string_view::npos) stop = list.size();
        std::string_view item = list.substr(start, stop - start);
        if (type == BCF_HL_INFO) item = item.substr(0, item.find('='));
        if (item.empty() || (type == BCF_HL_INFO && item == "END")) return false;
        key.assign(item);
        const int id = bcf_hdr_id2int(header, BCF_DT_ID, key.c_str());
        if (id < 0 || !bcf_hdr_idinfo_exists(header, type, id)) return false;
        start = stop + 1;
    }
    return true;
}

bool lineCopier::checkFormat(std::string_view format) {
    if (format == knownFormat) return true;
    if (!keysDeclared(chunk, format, ':', BCF_HL_FMT)) return false;
    knownHasGt = false, knownExchanges = false;
    for (size_t start = 0, i = 0; start <= format.size(); i++) {
        size_t stop = std::min(format.find(':', start), format.size());
        std::string_view key = format.substr(start, stop - start);
        if (key == "GT") {
            if (i != 0) return false;
            knownHasGt = true;
        }
        if (key == "AP1" || key == "AP2" || key == "HDS") knownExchanges = true;
        start = stop + 1;
    }
    knownFormat.assign(format);
    return true;
}

bool lineCopier::copy(std::string_view line, const std::vector<uint64_t>& exchange,
                      std::string& out, placement& where) {
    std::string_view columns[10];
    if (!usable || !splitColumns(line, 9, columns)) return false;
    const hts_pos_t pos = positionOf(columns[1]);
    const std::string chrom(columns[0]);
    where.rid = bcf_hdr_name2id(output, chrom.c_str());
    if (pos < 0 || where.rid < 0 || !keysDeclared(chunk, columns[6], ';', BCF_HL_FLT) ||
        !keysDeclared(chunk, columns[7], ';', BCF_HL_INFO) || !checkFormat(columns[8]))
        return false;
    const size_t samples = static_cast<size_t>(bcf_hdr_nsamples(output));
    const char* sampleText = columns[9].data();
    const size_t sampleSize = columns[9].size();
    bool exchanges = false;
    for (uint64_t word : exchange) exchanges |= word != 0;
    exchanges &= knownHasGt;
    if (exchanges && knownExchanges) return false;
    starts.clear();
    starts.push_back(0);
    const char* const end = sampleText + sampleSize;
    for (const char* p = sampleText;;) {
        // Columns of three characters ("0|1") are looked at in place.
        if (end - p > 3 && p[3] == '\t' && p[0] != '\t' && p[1] != '\t' && p[2] != '\t')
            p += 3;
        else if (!(p = static_cast<const char*>(memchr(p, '\t', end - p))))
            break;
        starts.push_back(static_cast<size_t>(++p - sampleText));
    }
    if (starts.size() != samples) return false;
    const size_t at = out.size();
    out.append(line);
    out.push_back('\n');
    if (exchanges &&
        !exchangeGenotypes(&out[at] + (sampleText - line.data()), sampleSize, exchange)) {
        out.resize(at);
        return false;
    }
    where.begin = pos;
    where.end = pos + static_cast<hts_pos_t>(columns[3].size());
    return true;
}

bool lineCopier::exchangeGenotypes(char* text, size_t size, const std::vector<uint64_t>& exchange) {
    const size_t n = starts.size();
    for (size_t w = 0; w < exchange.size(); w++)
        // The first bit of every pair.
        for (uint64_t bits = exchange[w] & 0x5555555555555555ULL; bits; bits &= bits - 1) {
            const size_t k = w * 32 + __builtin_ctzll(bits) / 2;
            if (k >= n) continue;
            const size_t stop = k + 1 < n ? starts[k + 1] - 1 : size;
            char* column = text + starts[k];
            const char* colon = static_cast<const char*>(memchr(column, ':', stop - starts[k]));
            const size_t length = colon ? static_cast<size_t>(colon - column) : stop - starts[k];
            if (!exchangeGenotypeText(column, length)) return false;
        }
    return true;
}

}  // namespace seamline
