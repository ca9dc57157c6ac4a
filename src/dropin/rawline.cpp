#include "dropin/rawline.h"

#include <algorithm>
#include <cstring>

#include "text.h"
#include "vcftext.h"

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

}  // namespace

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
    fieldSplitter keys(format, ":", fieldSplitter::exact);
    std::string_view key;
    for (int i = 0; keys.next(key); i++) {
        if (key == "GT") {
            if (i != 0) return false;
            knownHasGt = true;
        }
        if (key == "AP1" || key == "AP2" || key == "HDS") knownExchanges = true;
    }
    knownFormat.assign(format);
    return true;
}

bool lineCopier::copy(std::string_view line, const std::vector<uint64_t>& exchange,
                      std::string& out, placement& where) {
    std::string_view columns[10];
    if (!usable || !recordColumns(line, columns)) return false;
    int64_t pos;
    const bool positioned = parsePosition(columns[1], maxPosition, pos);
    const std::string chrom(columns[0]);
    where.rid = bcf_hdr_name2id(output, chrom.c_str());
    if (!positioned || where.rid < 0 || !keysDeclared(chunk, columns[6], ';', BCF_HL_FLT) ||
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
    where.begin = pos - 1;
    where.end = pos - 1 + static_cast<hts_pos_t>(columns[3].size());
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
