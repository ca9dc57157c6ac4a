#include "dropin/bcfcopy.h"

#include <cstring>

#include "vcftext.h"
#include "vcfwrite.h"

namespace seamline {

namespace {

// Bytes of one value of a BCF type; 0 for a type that FORMAT data does not use.
size_t typeBytes(int type) {
    switch (type) {
        case BCF_BT_INT8:
        case BCF_BT_CHAR:
            return 1;
        case BCF_BT_INT16:
            return 2;
        case BCF_BT_INT32:
        case BCF_BT_FLOAT:
            return 4;
        default:
            return 0;
    }
}

// Reads the BCF data of one FORMAT field, each step checked against the end.
class fieldReader {
public:
    fieldReader(uint8_t* p, size_t n) : p(p), end(p + n) {}

    // An integer as BCF types it: a type byte, then the value.
    bool typedInteger(int32_t& value) {
        if (p >= end) return false;
        const int type = *p & 15;
        const size_t bytes = type == BCF_BT_FLOAT || type == BCF_BT_CHAR ? 0 : typeBytes(type);
        if (bytes == 0 || (*p >> 4) != 1 || static_cast<size_t>(end - p) < 1 + bytes) return false;
        value = seamline::typedInteger(p + 1, type);
        p += 1 + bytes;
        return true;
    }

    // The type and count of a vector: a type byte whose top half is the
    // count, or 15 and a typed integer after it.
    bool vectorOf(int& type, int32_t& count) {
        if (p >= end) return false;
        type = *p & 15;
        count = *p >> 4;
        p++;
        return typeBytes(type) != 0 && (count != 15 || (typedInteger(count) && count >= 0));
    }

    // Takes n bytes; null when fewer are left.
    uint8_t* take(size_t n) {
        if (static_cast<size_t>(end - p) < n) return nullptr;
        uint8_t* at = p;
        p += n;
        return at;
    }

    static void setInteger(uint8_t* q, int type, int32_t v) {
        for (size_t i = 0; i < typeBytes(type); i++) q[i] = static_cast<uint8_t>(v >> (8 * i));
    }

private:
    uint8_t* p;
    uint8_t* const end;
};

bool isInteger(int type) {
    return type == BCF_BT_INT8 || type == BCF_BT_INT16 || type == BCF_BT_INT32;
}

// Whether every entry of a dictionary of the chunk has the same number in
// the output's; gaps that removed header lines leave are passed over.
bool sameDictionary(const bcf_hdr_t* chunk, const bcf_hdr_t* output, int dictionary) {
    for (int i = 0; i < chunk->n[dictionary]; i++) {
        const char* key = chunk->id[dictionary][i].key;
        if (key && bcf_hdr_id2int(output, dictionary, key) != i) return false;
    }
    return true;
}

bool anyPairSet(const std::vector<uint64_t>& mask) {
    for (uint64_t w : mask)
        if (w) return true;
    return false;
}

}  // namespace

bcfCopier::bcfCopier(const bcf_hdr_t* chunk, const bcf_hdr_t* output, bool samplesInOrder)
    : samples(static_cast<uint32_t>(bcf_hdr_nsamples(output))) {
    sameNumbers = samplesInOrder && bcf_hdr_nsamples(chunk) == bcf_hdr_nsamples(output) &&
                  sameDictionary(chunk, output, BCF_DT_ID) &&
                  sameDictionary(chunk, output, BCF_DT_CTG);
    auto formatKey = [&](const char* name) {
        const int id = bcf_hdr_id2int(output, BCF_DT_ID, name);
        return id >= 0 && bcf_hdr_idinfo_exists(output, BCF_HL_FMT, id) ? id : -1;
    };
    gtKey = formatKey("GT");
    for (const char* name : {"AP1", "AP2", "HDS"})
        if (formatKey(name) >= 0) perHaplotypeKeys.push_back(formatKey(name));
}

bool bcfCopier::copy(const bcf1_t* record, const std::vector<uint64_t>& exchange,
                     std::string& out) const {
    if (!sameNumbers || record->n_sample != samples || record->d.shared_dirty ||
        record->d.indiv_dirty || exchange.size() < (2 * static_cast<size_t>(samples) + 63) / 64)
        return false;
    const size_t start = out.size();
    if (!appendBcfRecord(out, record)) return false;
    if (!anyPairSet(exchange)) return true;
    uint8_t* indiv = reinterpret_cast<uint8_t*>(&out[out.size() - record->indiv.l]);
    if (exchangeGenotypes(indiv, record->indiv.l, record->n_fmt, exchange)) return true;
    out.resize(start);
    return false;
}

bool bcfCopier::exchangeGenotypes(uint8_t* indiv, size_t n, int fields,
                                  const std::vector<uint64_t>& exchange) const {
    fieldReader read(indiv, n);
    uint8_t* gt = nullptr;
    int gtType = 0;
    int32_t gtCount = 0;
    for (int f = 0; f < fields; f++) {
        int32_t key, count;
        int type;
        if (!read.typedInteger(key) || !read.vectorOf(type, count)) return false;
        uint8_t* values = read.take(static_cast<size_t>(count) * typeBytes(type) * samples);
        if (!values) return false;
        for (int k : perHaplotypeKeys)
            if (key == k) return false;
        if (key == gtKey) gt = values, gtType = type, gtCount = count;
    }
    if (!gt || gtCount == 0) return true;
    if (!isInteger(gtType)) return false;
    const size_t width = typeBytes(gtType), each = width * static_cast<size_t>(gtCount);
    for (size_t k = 0; k < samples; k++) {
        if (!((exchange[k / 32] >> (2 * (k % 32))) & 1) || gtCount < 2) continue;
        uint8_t* p = gt + k * each;
        const int32_t values[3] = {
            typedInteger(p, gtType), typedInteger(p + width, gtType),
            gtCount > 2 ? typedInteger(p + 2 * width, gtType) : bcf_int32_vector_end};
        // A phased diploid genotype, as recordEditor's exchange takes it.
        if (!exchangeable(values)) continue;
        const auto [first, second] = exchangedPair(values[0], values[1]);
        fieldReader::setInteger(p, gtType, first);
        fieldReader::setInteger(p + width, gtType, second);
    }
    return true;
}

}  // namespace seamline
