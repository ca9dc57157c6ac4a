#include "dropin/records.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "failure.h"
#include "vcftext.h"

namespace seamline {

// How the values of one FORMAT field are fetched, as htslib's getters give
// them, and how a sample's values are marked missing and ended.
struct recordEditor::valueKind {
    int type;     // BCF_HT_INT (GT too), BCF_HT_REAL or BCF_HT_STR
    size_t size;  // bytes per value: 4, or 1 for strings
    uint32_t missing, end;
};

namespace {

const uint64_t firstOfPairs = 0x5555555555555555ULL;

// "CHROM:POS" of a record, for messages.
std::string siteOf(const bcf_hdr_t* header, const bcf1_t* record) {
    return std::string(bcf_seqname_safe(header, record)) + ":" + std::to_string(record->pos + 1);
}

// Decodes the parts of a record that `which` names, after checking that it
// has its header's samples.
void unpack(const bcf_hdr_t* header, bcf1_t* record, int which) {
    if (record->n_sample != static_cast<uint32_t>(bcf_hdr_nsamples(header)))
        fail("the record of " + siteOf(header, record) + " has " +
             std::to_string(record->n_sample) + " samples, its header " +
             std::to_string(bcf_hdr_nsamples(header)));
    if (bcf_unpack(record, which) < 0)
        fail("cannot decode the record of " + siteOf(header, record));
}

void requireMask(const std::vector<uint64_t>& mask, size_t samples) {
    if (mask.size() < (2 * samples + 63) / 64)
        fail("a sample mask of " + std::to_string(mask.size()) + " words for " +
             std::to_string(samples) + " samples");
}

bool pairSet(const uint64_t* mask, size_t k) { return (mask[k / 32] >> (2 * (k % 32))) & 1; }

// The dictionary index of a FORMAT key that the header declares, or -1.
int formatKey(const bcf_hdr_t* header, const char* name) {
    const int id = bcf_hdr_id2int(header, BCF_DT_ID, name);
    return bcf_hdr_idinfo_exists(header, BCF_HL_FMT, id) ? id : -1;
}

// The record's FORMAT field of a key, or null when it has none.
bcf_fmt_t* fieldOf(bcf1_t* record, int key) {
    for (int i = 0; i < record->n_fmt && key >= 0; i++)
        if (record->d.fmt[i].id == key && record->d.fmt[i].p) return &record->d.fmt[i];
    return nullptr;
}

// Whether a field is stored as the getters of a value type read it; they
// would end the process on any other.
bool storedAs(const bcf_fmt_t& f, int type) {
    if (type == BCF_HT_INT) return integers(f);
    return f.type == (type == BCF_HT_REAL ? BCF_BT_FLOAT : BCF_BT_CHAR);
}

// BCF values are little-endian and need not be aligned; these read and
// write them a byte at a time, which compilers turn into plain moves.
uint32_t load32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void storeLittleEndian(uint8_t* p, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Stores value i of a sample's integers; v must fit the field's width.
void setIntegerAt(bcf_fmt_t& f, size_t sample, int i, int32_t v) {
    const int bytes = f.type == BCF_BT_INT8 ? 1 : f.type == BCF_BT_INT16 ? 2 : 4;
    storeLittleEndian(f.p + sample * f.size + bytes * i, static_cast<uint32_t>(v), bytes);
}

// The two GT values (allele and phase bit, as bcf_gt_phased encodes them)
// of a sample whose genotype is phased and diploid; false for any other.
bool phasedDiploid(const bcf_fmt_t& gt, size_t sample, int32_t& a, int32_t& b) {
    if (gt.n < 2) return false;
    const int32_t values[3] = {fieldInteger(gt, sample, 0), fieldInteger(gt, sample, 1),
                               gt.n > 2 ? fieldInteger(gt, sample, 2) : bcf_int32_vector_end};
    if (!exchangeable(values)) return false;
    a = values[0];
    b = values[1];
    return true;
}

// Whether a sample's GT holds two alleles, phased or not, known or '.'.
bool diploid(const bcf_fmt_t& gt, size_t sample) {
    if (gt.n < 2) return false;
    const int32_t values[3] = {fieldInteger(gt, sample, 0), fieldInteger(gt, sample, 1),
                               gt.n > 2 ? fieldInteger(gt, sample, 2) : bcf_int32_vector_end};
    return decodeGenotype(values, 3).ploidy == 2;
}

// The GT field of a record, null when it has none.
bcf_fmt_t* genotypesOf(const bcf_hdr_t* header, bcf1_t* record) {
    bcf_fmt_t* gt = fieldOf(record, formatKey(header, "GT"));
    if (gt && gt->n == 0) return nullptr;
    if (gt && !integers(*gt))
        fail("GT of " + siteOf(header, record) + " is not stored as integers");
    return gt;
}

// Whether a sample's value i is there, not past the end of its values.
bool holdsValue(const bcf_fmt_t& f, size_t sample, int i) {
    if (f.type == BCF_BT_FLOAT)
        return load32(f.p + sample * f.size + 4 * i) != bcf_float_vector_end;
    return fieldInteger(f, sample, i) != bcf_int32_vector_end;
}

void put(uint8_t* p, size_t size, uint32_t v) {
    if (size == 1)
        *p = static_cast<uint8_t>(v);
    else
        std::memcpy(p, &v, sizeof v);
}

// Grows a malloc'd buffer to at least `bytes`.
void reserve(void*& data, size_t& capacity, size_t bytes) {
    if (capacity >= bytes) return;
    void* grown = std::realloc(data, bytes);
    if (!grown) fail("out of memory for a record's FORMAT values");
    data = grown;
    capacity = bytes;
}

}  // namespace

recordEditor::~recordEditor() {
    std::free(first.data);
    std::free(second.data);
    std::free(blended.data);
}

recordEditor::valueKind recordEditor::kindOf(const bcf_hdr_t* header, int key) {
    if (std::strcmp(bcf_hdr_int2id(header, BCF_DT_ID, key), "GT") == 0)
        return {BCF_HT_INT, 4, bcf_gt_missing, static_cast<uint32_t>(bcf_int32_vector_end)};
    switch (bcf_hdr_id2type(header, BCF_HL_FMT, key)) {
        case BCF_HT_INT:
            return {BCF_HT_INT, 4, static_cast<uint32_t>(bcf_int32_missing),
                    static_cast<uint32_t>(bcf_int32_vector_end)};
        case BCF_HT_REAL:
            return {BCF_HT_REAL, 4, bcf_float_missing, bcf_float_vector_end};
        default:
            return {BCF_HT_STR, 1, '.', 0};
    }
}

void recordEditor::exchangeHaplotypes(const bcf_hdr_t* header, bcf1_t* record,
                                      const std::vector<uint64_t>& mask) {
    unpack(header, record, BCF_UN_FMT);
    requireMask(mask, record->n_sample);
    exchangeGenotypes(header, record, mask);
    if (exchanged.empty()) return;
    exchangeBetween(header, record, formatKey(header, "AP1"), formatKey(header, "AP2"));
    exchangeWithin(header, record, formatKey(header, "HDS"));
}

void recordEditor::exchangeGenotypes(const bcf_hdr_t* header, bcf1_t* record,
                                     const std::vector<uint64_t>& mask) {
    exchanged.clear();
    bcf_fmt_t* gt = genotypesOf(header, record);
    if (!gt) return;
    const size_t n = record->n_sample;
    for (size_t w = 0; w < (2 * n + 63) / 64; w++)
        for (uint64_t bits = mask[w] & firstOfPairs; bits; bits &= bits - 1) {
            const size_t k = w * 32 + __builtin_ctzll(bits) / 2;
            if (k >= n) continue;
            int32_t a, b;
            if (phasedDiploid(*gt, k, a, b)) {
                const auto [first, second] = exchangedPair(a, b);
                setIntegerAt(*gt, k, 0, first);
                setIntegerAt(*gt, k, 1, second);
            }
            // The per-haplotype values belong to the chunk's haplotypes,
            // whatever GT's separator says at this record.
            if (diploid(*gt, k)) exchanged.push_back(static_cast<int32_t>(k));
        }
}

void recordEditor::exchangeBetween(const bcf_hdr_t* header, bcf1_t* record, int key1, int key2) {
    bcf_fmt_t* f1 = fieldOf(record, key1);
    bcf_fmt_t* f2 = fieldOf(record, key2);
    if (!f1 || !f2) return;
    if (f1->type == f2->type && f1->n == f2->n) {
        for (int32_t k : exchanged)
            std::swap_ranges(f1->p + k * f1->size, f1->p + (k + 1) * f1->size,
                             f2->p + k * f2->size);
        return;
    }
    // Stored with different widths: both fields are written anew, as wide
    // as the wider one.
    const valueKind kind = kindOf(header, key1);
    if (kindOf(header, key2).type != kind.type)
        fail(std::string(bcf_hdr_int2id(header, BCF_DT_ID, key1)) + " and " +
             bcf_hdr_int2id(header, BCF_DT_ID, key2) + " are declared with different types");
    const size_t n = record->n_sample;
    chosen.assign((2 * n + 63) / 64, 0);
    for (int32_t k : exchanged) chosen[k / 32] |= uint64_t(3) << (2 * (k % 32));
    const int n1 = fetch(header, record, key1, kind, first);
    const int n2 = fetch(header, record, key2, kind, second);
    store(header, record, key1, kind, compose(kind, n, first, n1, second, n2, chosen.data()));
    store(header, record, key2, kind, compose(kind, n, second, n2, first, n1, chosen.data()));
}

void recordEditor::exchangeWithin(const bcf_hdr_t* header, bcf1_t* record, int key) {
    bcf_fmt_t* f = fieldOf(record, key);
    if (!f || f->n < 2 || f->type == BCF_BT_CHAR) return;
    if (f->type != BCF_BT_FLOAT && !integers(*f))
        fail(std::string(bcf_hdr_int2id(header, BCF_DT_ID, key)) + " of " + siteOf(header, record) +
             " is not stored as numbers");
    const size_t width = f->size / f->n;
    for (int32_t k : exchanged) {
        if (!holdsValue(*f, k, 1)) continue;
        // More values than one per haplotype (a site of several ALT alleles)
        // have no agreed order, so no exchange of them can be known right.
        if (f->n > 2 && holdsValue(*f, k, 2))
            fail(std::string(bcf_hdr_int2id(header, BCF_DT_ID, key)) + " of " +
                 siteOf(header, record) + " holds more than two values for sample " +
                 bcf_hdr_int2id(header, BCF_DT_SAMPLE, k) +
                 ", whose haplotypes are exchanged; only one value per haplotype can follow them");
        uint8_t* p = f->p + k * f->size;
        std::swap_ranges(p, p + width, p + width);
    }
}

namespace {

bool sameSite(const bcf1_t* left, const bcf1_t* right) {
    if (left->rid != right->rid || left->pos != right->pos || left->n_allele != right->n_allele)
        return false;
    for (int i = 0; i < left->n_allele; i++)
        if (std::strcmp(left->d.allele[i], right->d.allele[i]) != 0) return false;
    return true;
}

std::string allelesOf(const bcf1_t* record) {
    std::string text;
    for (int i = 0; i < record->n_allele; i++)
        text += (i ? "," : "") + std::string(record->d.allele[i]);
    return text;
}

// Whether any sample comes from the side that `right` names.
bool anyFrom(const uint64_t* fromRight, size_t samples, bool right) {
    for (size_t k = 0; k < samples; k++)
        if (pairSet(fromRight, k) == right) return true;
    return false;
}

}  // namespace

void recordEditor::blendSamples(const bcf_hdr_t* header, bcf1_t* left, bcf1_t* right,
                                const std::vector<uint64_t>& fromRight, bool siteFromRight,
                                bcf1_t* out) {
    unpack(header, left, BCF_UN_STR | BCF_UN_FMT);
    unpack(header, right, BCF_UN_STR | BCF_UN_FMT);
    if (!sameSite(left, right))
        fail("cannot put together records of different sites: " + siteOf(header, left) + " " +
             allelesOf(left) + " and " + siteOf(header, right) + " " + allelesOf(right));
    const size_t n = left->n_sample;
    requireMask(fromRight, n);
    bcf_copy(out, siteFromRight ? right : left);
    const bool anyLeft = anyFrom(fromRight.data(), n, false);
    const bool anyRight = anyFrom(fromRight.data(), n, true);
    if (!(siteFromRight ? anyLeft : anyRight)) return;
    // FORMAT anew, with the keys of the records that give samples: left's,
    // then those that only right has.
    out->n_fmt = 0;
    out->indiv.l = 0;
    for (int i = 0; i < left->n_fmt; i++) {
        const int key = left->d.fmt[i].id;
        if (left->d.fmt[i].p && (anyLeft || fieldOf(right, key)))
            blendField(header, left, right, key, fromRight.data(), out);
    }
    for (int i = 0; i < right->n_fmt; i++) {
        const int key = right->d.fmt[i].id;
        if (anyRight && right->d.fmt[i].p && !fieldOf(left, key))
            blendField(header, left, right, key, fromRight.data(), out);
    }
}

void recordEditor::blendField(const bcf_hdr_t* header, bcf1_t* left, bcf1_t* right, int key,
                              const uint64_t* fromRight, bcf1_t* out) {
    const valueKind kind = kindOf(header, key);
    const int leftValues = fetch(header, left, key, kind, first);
    const int rightValues = fetch(header, right, key, kind, second);
    store(header, out, key, kind,
          compose(kind, left->n_sample, first, leftValues, second, rightValues, fromRight));
}

int recordEditor::fetch(const bcf_hdr_t* header, bcf1_t* record, int key, const valueKind& kind,
                        buffer& b) {
    const bcf_fmt_t* f = fieldOf(record, key);
    if (!f || f->n == 0) return 0;
    const int values = f->n;
    const std::string name = bcf_hdr_int2id(header, BCF_DT_ID, key);
    if (!storedAs(*f, kind.type))
        fail(name + " of " + siteOf(header, record) + " is not stored as its header declares");
    int capacity = static_cast<int>(b.bytes / kind.size);
    if (bcf_get_format_values(header, record, name.c_str(), &b.data, &capacity, kind.type) < 0)
        fail("cannot read " + name + " of " + siteOf(header, record));
    b.bytes = std::max(b.bytes, static_cast<size_t>(capacity) * kind.size);
    return values;
}

int recordEditor::compose(const valueKind& kind, size_t samples, const buffer& left, int leftValues,
                          const buffer& right, int rightValues, const uint64_t* fromRight) {
    const int width = std::max({leftValues, rightValues, 1});
    const size_t stride = width * kind.size;
    reserve(blended.data, blended.bytes, samples * stride);
    uint8_t* out = static_cast<uint8_t*>(blended.data);
    for (size_t k = 0; k < samples; k++, out += stride) {
        const bool r = pairSet(fromRight, k);
        const int values = r ? rightValues : leftValues;
        const uint8_t* from = static_cast<const uint8_t*>((r ? right : left).data);
        int i = values;
        if (values > 0)
            std::memcpy(out, from + k * values * kind.size, values * kind.size);
        else
            put(out, kind.size, kind.missing), i = 1;
        for (; i < width; i++) put(out + i * kind.size, kind.size, kind.end);
    }
    return width;
}

void recordEditor::store(const bcf_hdr_t* header, bcf1_t* record, int key, const valueKind& kind,
                         int values) {
    const char* name = bcf_hdr_int2id(header, BCF_DT_ID, key);
    if (bcf_update_format(header, record, name, blended.data, values * record->n_sample,
                          kind.type) < 0)
        fail("cannot write " + std::string(name) + " of " + siteOf(header, record));
}

void exchangeHaplotypes(const bcf_hdr_t* header, bcf1_t* record,
                        const std::vector<uint64_t>& mask) {
    recordEditor().exchangeHaplotypes(header, record, mask);
}

void blendSamples(const bcf_hdr_t* header, bcf1_t* left, bcf1_t* right,
                  const std::vector<uint64_t>& fromRight, bool siteFromRight, bcf1_t* out) {
    recordEditor().blendSamples(header, left, right, fromRight, siteFromRight, out);
}

}  // namespace seamline
