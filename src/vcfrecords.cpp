#include "vcfrecords.h"

#include <algorithm>
#include <cstring>

#include "failure.h"

namespace seamline {

namespace {

// The genotypes of four samples, one byte of a bit row, as VCF text and as
// BCF GT values.
struct genotypeTables {
    char text[256][16];   // "a|b\t" four times
    char binary[256][8];  // (allele + 1) * 2, plus 1 on the second (phased)
    genotypeTables() {
        for (int byte = 0; byte < 256; byte++)
            for (int s = 0; s < 4; s++) {
                int a = (byte >> (2 * s)) & 1, b = (byte >> (2 * s + 1)) & 1;
                char* t = text[byte] + 4 * s;
                t[0] = static_cast<char>('0' + a), t[1] = '|';
                t[2] = static_cast<char>('0' + b), t[3] = '\t';
                binary[byte][2 * s] = static_cast<char>(2 + 2 * a);
                binary[byte][2 * s + 1] = static_cast<char>(3 + 2 * b);
            }
    }
};
const genotypeTables tables;

inline uint8_t rowByte(const uint64_t* bits, size_t k) {
    return static_cast<uint8_t>(bits[k >> 3] >> (8 * (k & 7)));
}

// Appends, for each of n samples, the table entry of its pair of bits.
template <size_t width>
void appendPairs(std::string& out, const uint64_t* bits, size_t n, const char (*table)[width]) {
    const size_t each = width / 4, start = out.size();
    out.resize(start + each * n);
    char* p = &out[start];
    size_t k = 0;
    for (; k < n / 4; k++) memcpy(p + width * k, table[rowByte(bits, k)], width);
    for (size_t s = 4 * k; s < n; s++)
        memcpy(p + each * s, table[(bits[s >> 5] >> (2 * (s & 31))) & 3], each);
}

void appendLittleEndian(std::string& out, uint32_t value) {
    char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                     static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
    out.append(bytes, 4);
}

// A BCF typed integer in the smallest type that holds it.
void appendTypedInt(std::string& out, int64_t value) {
    if (value >= -120 && value <= 127) {
        out.push_back(1 << 4 | BCF_BT_INT8);
        out.push_back(static_cast<char>(value));
    } else if (value >= -32760 && value <= 32767) {
        out.push_back(1 << 4 | BCF_BT_INT16);
        out.push_back(static_cast<char>(value));
        out.push_back(static_cast<char>(value >> 8));
    } else {
        out.push_back(1 << 4 | BCF_BT_INT32);
        appendLittleEndian(out, static_cast<uint32_t>(value));
    }
}

// The type byte of a BCF typed vector, with its length.
void appendTypeAndSize(std::string& out, size_t size, int type) {
    if (size < 15) {
        out.push_back(static_cast<char>(size << 4 | type));
    } else {
        out.push_back(static_cast<char>(15 << 4 | type));
        appendTypedInt(out, static_cast<int64_t>(size));
    }
}

void appendTypedString(std::string& out, std::string_view text) {
    appendTypeAndSize(out, text.size(), BCF_BT_CHAR);
    out.append(text);
}

}  // namespace

void appendTextRecord(std::string& out, std::string_view chrom, int32_t pos, std::string_view id,
                      std::string_view ref, std::string_view alt, const uint64_t* bits,
                      size_t nsamples) {
    out.append(chrom);
    out.push_back('\t');
    out.append(std::to_string(pos));
    out.push_back('\t');
    out.append(id);
    out.push_back('\t');
    out.append(ref);
    out.push_back('\t');
    out.append(alt);
    if (nsamples == 0) {
        out.append("\t.\t.\t.\n");
        return;
    }
    out.append("\t.\t.\t.\tGT\t");
    appendPairs(out, bits, nsamples, tables.text);
    out.back() = '\n';
}

// One BCF record of phased genotypes: its shared part (ID and alleles) and
// its individual part (GT alone) built in the scratch strings, then framed.
void appendGenotypeRecord(std::string& out, int32_t contigKey, int32_t pos, std::string_view id,
                          std::string_view ref, std::string_view alt, const uint64_t* bits,
                          size_t nsamples, int32_t gtKey, std::string& shared, std::string& indiv) {
    shared.clear();
    indiv.clear();
    uint32_t alleles = 1;
    if (alt != ".") alleles += 1 + static_cast<uint32_t>(std::count(alt.begin(), alt.end(), ','));
    appendTypedString(shared, id == "." ? std::string_view() : id);
    appendTypedString(shared, ref);
    for (size_t from = 0; alleles > 1 && from <= alt.size();) {
        size_t comma = std::min(alt.find(',', from), alt.size());
        appendTypedString(shared, alt.substr(from, comma - from));
        from = comma + 1;
    }
    shared.push_back(0);  // FILTER '.': an empty vector
    if (nsamples > 0) {
        appendTypedInt(indiv, gtKey);
        indiv.push_back(2 << 4 | BCF_BT_INT8);
        appendPairs(indiv, bits, nsamples, tables.binary);
    }
    const bcfFixed fixed{contigKey,
                         pos - 1,
                         static_cast<int64_t>(ref.size()),
                         0x7F800001u,  // QUAL missing
                         alleles,
                         0,
                         nsamples ? 1u : 0u,
                         static_cast<uint32_t>(nsamples)};
    appendBcfRecord(out, fixed, shared, indiv);
}

bool appendBcfRecord(std::string& out, const bcfFixed& fixed, std::string_view shared,
                     std::string_view indiv) {
    // BCF holds 0-based positions and lengths below 2^31 - 1, as htslib does.
    if (fixed.pos < 0 || fixed.pos >= INT32_MAX || fixed.rlen < 0 || fixed.rlen >= INT32_MAX)
        return false;
    appendLittleEndian(out, static_cast<uint32_t>(shared.size() + 24));
    appendLittleEndian(out, static_cast<uint32_t>(indiv.size()));
    appendLittleEndian(out, static_cast<uint32_t>(fixed.rid));
    appendLittleEndian(out, static_cast<uint32_t>(fixed.pos));
    appendLittleEndian(out, static_cast<uint32_t>(fixed.rlen));
    appendLittleEndian(out, fixed.qual);
    appendLittleEndian(out, fixed.alleles << 16 | fixed.info);
    appendLittleEndian(out, fixed.formats << 24 | fixed.samples);
    out.append(shared);
    out.append(indiv);
    return true;
}

bool appendBcfRecord(std::string& out, const bcf1_t* record) {
    if (record->errcode) return false;
    uint32_t qual;
    memcpy(&qual, &record->qual, 4);
    const bcfFixed fixed{record->rid,      record->pos,    record->rlen,  qual,
                         record->n_allele, record->n_info, record->n_fmt, record->n_sample};
    return appendBcfRecord(out, fixed, std::string_view(record->shared.s, record->shared.l),
                           std::string_view(record->indiv.s, record->indiv.l));
}

bool appendBcfRecord(std::string& out, bcf1_t* record, bcf1_t* scratch) {
    // Copying a record brings its parts up to date with any edit of its
    // decoded fields.
    return !record->errcode && bcf_copy(scratch, record) && appendBcfRecord(out, record);
}

std::string bcfHeaderBytes(const bcf_hdr_t* header, const std::string& name) {
    kstring_t formatted = {0, 0, nullptr};
    if (bcf_hdr_format(header, 1, &formatted) < 0) {
        free(formatted.s);
        fail("cannot write [" + name + "]: cannot make the header");
    }
    std::string text("BCF\2\2", 5);
    appendLittleEndian(text, static_cast<uint32_t>(formatted.l + 1));
    text.append(formatted.s, formatted.l);
    text.push_back('\0');
    free(formatted.s);
    return text;
}

}  // namespace seamline
