#include "vcfread.h"

#include <htslib/bgzf.h>
#include <htslib/kseq.h>
#include <htslib/tbx.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "bits.h"
#include "failure.h"
#include "text.h"

namespace seamline {

namespace {

const char* const damaged = "the file is damaged or unreadable";

// Splits text at tabs into at most n fields; returns how many it stored.
size_t splitTabs(std::string_view text, size_t n, std::string_view* fields) {
    size_t count = 0, start = 0;
    while (count < n) {
        size_t tab = text.find('\t', start);
        if (tab == std::string_view::npos) {
            fields[count++] = text.substr(start);
            break;
        }
        fields[count++] = text.substr(start, tab - start);
        start = tab + 1;
    }
    return count;
}

// What a genotype holds, as far as the rules for phased input need to know.
struct genotype {
    int ploidy = 0;
    int alleles[2] = {0, 0};
    bool missing = false;   // some allele is '.'
    bool above = false;     // some allele index above 1
    bool unphased = false;  // some separator is '/'
    bool unreadable = false;
};

// Why the genotype cannot be taken, or null when it can.
const char* problemOf(const genotype& g) {
    if (g.unreadable) return "unreadable genotype";
    if (g.missing) return "missing allele in genotype";
    if (g.ploidy == 1) return "haploid genotype";
    if (g.ploidy > 2) return "genotype with more than two alleles";
    if (g.above) return "allele index above 1 in genotype";
    if (g.unphased && g.alleles[0] != g.alleles[1]) return "unphased heterozygous genotype";
    return nullptr;
}

genotype parseGenotype(std::string_view text) {
    genotype g;
    size_t i = 0;
    if (text.empty()) g.unreadable = true;
    while (i < text.size() && !g.unreadable) {
        int allele = 0;
        if (text[i] == '.') {
            g.missing = true;
            i++;
        } else if (text[i] >= '0' && text[i] <= '9') {
            for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++)
                allele = std::min(allele * 10 + (text[i] - '0'), 1000);
            if (allele > 1) g.above = true;
        } else {
            g.unreadable = true;
            break;
        }
        if (g.ploidy < 2) g.alleles[g.ploidy] = allele;
        g.ploidy++;
        if (i == text.size()) break;
        if (text[i] == '/')
            g.unphased = true;
        else if (text[i] != '|')
            g.unreadable = true;
        if (++i == text.size()) g.unreadable = true;
    }
    return g;
}

inline void setPair(uint64_t* bits, int32_t sample, uint64_t pair) {
    bits[sample >> 5] |= pair << (2 * (sample & 31));
}

// The usual layout of the sample columns: n genotypes "a|b" of alleles 0 and
// 1, one tab between them, nothing else. Sets the pairs and returns true, or
// returns false (with some pairs set) for any other text.
bool packPhasedPairs(const char* text, size_t n, const std::vector<int32_t>& order,
                     uint64_t* bits) {
    size_t j = 0;
#ifdef __SSE2__
    // Eight genotypes with their tabs at a time: 32 bytes of "a|b\t".
    const __m128i zero = _mm_set1_epi8('0'), one = _mm_set1_epi8('1'), bar = _mm_set1_epi8('|'),
                  tab = _mm_set1_epi8('\t');
    auto mask = [](__m128i lo, __m128i hi, __m128i c) {
        return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(lo, c))) |
               static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(hi, c))) << 16;
    };
    for (; j + 8 < n; j += 8) {
        const char* p = text + 4 * j;
        __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        uint32_t ones = mask(lo, hi, one);
        if (((mask(lo, hi, zero) | ones) & 0x55555555u) != 0x55555555u ||
            mask(lo, hi, bar) != 0x22222222u || mask(lo, hi, tab) != 0x88888888u)
            return false;
        uint32_t pairs = evenBits(ones);
        for (int s = 0; s < 8; s++) setPair(bits, order[j + s], (pairs >> (2 * s)) & 3);
    }
#endif
    for (; j < n; j++) {
        const char* p = text + 4 * j;
        if ((p[0] != '0' && p[0] != '1') || p[1] != '|' || (p[2] != '0' && p[2] != '1') ||
            (j + 1 < n && p[3] != '\t'))
            return false;
        setPair(bits, order[j], static_cast<uint64_t>(p[0] - '0') | (p[2] - '0') << 1);
    }
    return true;
}

// The usual BCF encoding of GT: two int8 values per sample, each
// (allele + 1) * 2, plus 1 on the second when the genotype is phased. Sets
// the pairs and returns true when all n genotypes are diploid of alleles 0
// and 1, phased or homozygous; otherwise returns false (with some pairs set).
bool packBinaryPairs(const int8_t* v, size_t n, const std::vector<int32_t>& order, uint64_t* bits) {
    size_t j = 0;
#ifdef __SSE2__
    // Eight phased genotypes at a time: with the phase bit set on the
    // first values too, every byte must be 3 (allele 0) or 5 (allele 1).
    const __m128i firstPhase = _mm_set1_epi16(1), three = _mm_set1_epi8(3), five = _mm_set1_epi8(5);
    for (; j + 8 <= n; j += 8) {
        __m128i x =
            _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 2 * j)), firstPhase);
        __m128i ones = _mm_cmpeq_epi8(x, five);
        if (_mm_movemask_epi8(_mm_or_si128(ones, _mm_cmpeq_epi8(x, three))) != 0xffff) break;
        uint32_t pairs = static_cast<uint32_t>(_mm_movemask_epi8(ones));
        for (int s = 0; s < 8; s++) setPair(bits, order[j + s], (pairs >> (2 * s)) & 3);
    }
#endif
    for (; j < n; j++) {
        int a = v[2 * j], b = v[2 * j + 1];
        bool firstOk = a >= 2 && a <= 5;
        bool secondOk = b == 3 || b == 5 || ((b == 2 || b == 4) && (a >> 1) == (b >> 1));
        if (!firstOk || !secondOk) return false;
        setPair(bits, order[j], static_cast<uint64_t>((a >> 2) & 1) | ((b >> 2) & 1) << 1);
    }
    return true;
}

// The position of GT among the FORMAT keys, or -1.
int gtIndexOf(std::string_view keys) {
    size_t start = 0;
    for (int index = 0;; index++) {
        size_t colon = keys.find(':', start);
        if (keys.substr(start, colon - start) == "GT") return index;
        if (colon == std::string_view::npos) return -1;
        start = colon + 1;
    }
}

// The GT of one sample column whose GT is key number gtIndex: "." when the
// column has fewer keys.
std::string_view gtOfColumn(std::string_view column, int gtIndex) {
    size_t from = 0;
    for (int k = 0; k < gtIndex && from != std::string_view::npos; k++) {
        from = column.find(':', from);
        if (from != std::string_view::npos) from++;
    }
    std::string_view gt =
        from == std::string_view::npos ? std::string_view(".") : column.substr(from);
    return gt.substr(0, gt.find(':'));
}

// The values that end a short vector and that mark a missing value in the
// BCF integer vectors of each width.
struct integerBounds {
    int type;
    int32_t vectorEnd, missing;
};
const integerBounds boundsByType[] = {
    {BCF_BT_INT8, bcf_int8_vector_end, bcf_int8_missing},
    {BCF_BT_INT16, bcf_int16_vector_end, bcf_int16_missing},
    {BCF_BT_INT32, bcf_int32_vector_end, bcf_int32_missing},
};

// The bounds of a type of BCF vector; null for a type other than integers.
const integerBounds* integerBoundsOf(int type) {
    for (const integerBounds& bounds : boundsByType)
        if (bounds.type == type) return &bounds;
    return nullptr;
}

// One sample's GT values of a BCF record, widened to 32 bits.
void widenValues(const bcf_fmt_t& gt, size_t sample, int32_t* values) {
    const uint8_t* p = gt.p + sample * gt.size;
    for (int i = 0; i < gt.n; i++) {
        if (gt.type == BCF_BT_INT8)
            values[i] = reinterpret_cast<const int8_t*>(p)[i];
        else if (gt.type == BCF_BT_INT16)
            values[i] = le_to_i16(p + 2 * i);
        else
            values[i] = le_to_i32(p + 4 * i);
    }
}

std::string genotypeText(const int32_t* values, int n, int32_t vectorEnd, int32_t missing) {
    std::string text;
    for (int i = 0; i < n && values[i] != vectorEnd; i++) {
        if (i > 0) text += (values[i] & 1) ? '|' : '/';
        if (values[i] == missing || (values[i] >> 1) == 0)
            text += '.';
        else
            text += std::to_string((values[i] >> 1) - 1);
    }
    return text;
}

// What one sample's GT values of a BCF record hold.
genotype binaryGenotype(const int32_t* values, int n, int32_t vectorEnd, int32_t missing) {
    genotype g;
    for (int i = 0; i < n && values[i] != vectorEnd; i++) {
        int allele = (values[i] == missing) ? -1 : (values[i] >> 1) - 1;
        if (allele < 0) g.missing = true;
        if (allele > 1) g.above = true;
        if (i > 0 && !(values[i] & 1)) g.unphased = true;
        if (g.ploidy < 2) g.alleles[g.ploidy] = allele;
        g.ploidy++;
    }
    if (g.ploidy == 0) g.missing = true, g.ploidy = 2;
    return g;
}

}  // namespace

void quietHtslib() { hts_set_log_level(HTS_LOG_OFF); }

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

variantReader::variantReader(hFILE* fp, const std::string& fileName) : name(fileName) {
    try {
        open(fp);
    } catch (...) {
        release();
        throw;
    }
}

variantReader::~variantReader() { release(); }

void variantReader::release() {
    if (record) bcf_destroy(record);
    if (header) bcf_hdr_destroy(header);
    if (file) hts_close(file);
    free(line.s);
}

void variantReader::fail(const std::string& reason) const {
    seamline::fail("cannot read [" + name + "]: " + reason);
}

void variantReader::open(hFILE* fp) {
    file = hts_hopen(fp, name.c_str(), "r");
    if (!file) {
        hclose_abruptly(fp);
        fail(damaged);
    }
    const htsFormat* kind = hts_get_format(file);
    binary = kind->format == bcf;
    if (binary)
        readBinaryHeader();
    else if (kind->format == vcf)
        readTextHeader();
    else
        fail("not a VCF or BCF file");
}

int variantReader::readLine(kstring_t& into) {
    int r = hts_getline(file, KS_SEP_LINE, &into);
    // A BGZF reader hands out the part of a line before damage first.
    return r >= 0 && file->is_bgzf && file->fp.bgzf->errcode ? -2 : r;
}

const char* variantReader::endProblem() const {
    if (!file->is_bgzf) return nullptr;
    const BGZF* z = file->fp.bgzf;
    if (z->errcode) return damaged;
    if (z->no_eof_block) return "the file is cut short (no BGZF end-of-file block)";
    return nullptr;
}

void variantReader::failBlamingDamage(const std::string& reason) {
    kstring_t ahead = {0, 0, nullptr};
    int r = readLine(ahead);
    free(ahead.s);
    if (r < -1) fail(damaged);
    const char* problem = r == -1 ? endProblem() : nullptr;
    fail(problem ? problem : reason);
}

void variantReader::readTextHeader() {
    for (;;) {
        int r = readLine(line);
        if (r < -1) fail(damaged);
        if (r == -1) {
            const char* problem = endProblem();
            fail(problem ? problem : "no #CHROM header line");
        }
        lineNumber++;
        std::string_view text(line.s, line.l);
        switch (headerLineKind(text)) {
            case headerLine::contig:
                contigHeaderLines.emplace_back(text);
                break;
            case headerLine::columns:
                sampleNames = headerSamples(text);
                return;
            case headerLine::record:
                // An empty line is passed over, as htslib does.
                if (!text.empty()) fail(atLine() + "a record before the #CHROM line");
                break;
            case headerLine::other:
                break;
        }
    }
}

void variantReader::readBinaryHeader() {
    header = bcf_hdr_read(file);
    if (!header) fail(damaged);
    for (int i = 0; i < bcf_hdr_nsamples(header); i++) sampleNames.emplace_back(header->samples[i]);
    kstring_t text = {0, 0, nullptr};
    for (int i = 0; i < header->nhrec; i++) {
        if (header->hrec[i]->type != BCF_HL_CTG) continue;
        text.l = 0;
        if (bcf_hrec_format(header->hrec[i], &text) < 0) {
            free(text.s);
            fail("out of memory");
        }
        std::string_view contig(text.s, text.l);
        while (!contig.empty() && contig.back() == '\n') contig.remove_suffix(1);
        contigHeaderLines.emplace_back(contig);
    }
    free(text.s);
    record = bcf_init();
    if (!record) fail("out of memory");
    gtKey = bcf_hdr_id2int(header, BCF_DT_ID, "GT");
}

bool variantReader::skipTo(const std::string& chrom, int64_t pos) {
    if (!file->is_bgzf) return false;
    tbx_t* tabix = nullptr;
    hts_idx_t* index = nullptr;
    hts_itr_t* query = nullptr;
    if (binary) {
        index = bcf_index_load3(name.c_str(), nullptr, HTS_IDX_SILENT_FAIL);
        const int tid = index ? bcf_hdr_name2id(header, chrom.c_str()) : -1;
        if (tid >= 0) query = bcf_itr_queryi(index, tid, pos - 1, HTS_POS_MAX);
    } else {
        tabix = tbx_index_load3(name.c_str(), nullptr, HTS_IDX_SILENT_FAIL);
        const int tid = tabix ? tbx_name2id(tabix, chrom.c_str()) : -1;
        if (tid >= 0) query = tbx_itr_queryi(tabix, tid, pos - 1, HTS_POS_MAX);
    }
    bool moved = false;
    if (query) {
        moved = true;
        skipped = true;
        lineNumber = 0;
        if (query->n_off == 0)
            drained = true;
        else if (bgzf_seek(file->fp.bgzf, query->off[0].u, SEEK_SET) < 0)
            moved = false;
        hts_itr_destroy(query);
    }
    if (index) hts_idx_destroy(index);
    if (tabix) tbx_destroy(tabix);
    if (skipped && !moved) fail(damaged);
    return moved;
}

bool variantReader::next(variantRecord& out) {
    if (drained) return false;
    if (!(binary ? nextBinary() : nextText())) return false;
    out = current;
    return true;
}

bool variantReader::nextText() {
    for (;;) {
        int r = readLine(line);
        if (r == -1) {
            if (const char* problem = endProblem()) fail(problem);
            return false;
        }
        if (r < -1) fail(damaged);
        lineNumber++;
        if (line.l > 0) break;
    }
    std::string_view text(line.s, line.l), fields[9];
    size_t n = splitTabs(text, 9, fields);
    if (n < 8)
        failBlamingDamage(atLine() + std::to_string(n) + " columns, a record has at least 8");
    current.chrom = fields[0];
    current.id = fields[2];
    current.ref = fields[3];
    current.alt = fields[4];
    format = n == 9 ? fields[8].data() : nullptr;
    int64_t pos = 0;
    // Eighteen digits at most, so that no value overflows.
    const bool digits = fields[1].size() <= 18 && parseWhole(fields[1], INT64_MAX, pos);
    if (!digits) failBlamingDamage(atLine() + "bad position '" + std::string(fields[1]) + "'");
    current.pos = pos;
    return true;
}

bool variantReader::nextBinary() {
    int r = bcf_read(file, header, record);
    if (r == -1) {
        if (const char* problem = endProblem()) fail(problem);
        return false;
    }
    if (r < -1 || bcf_unpack(record, BCF_UN_STR) < 0 || record->n_allele < 1) fail(damaged);
    current.chrom = bcf_seqname_safe(header, record);
    current.id = record->d.id;
    current.ref = record->d.allele[0];
    altText.clear();
    for (int a = 1; a < record->n_allele; a++) {
        if (a > 1) altText += ',';
        altText += record->d.allele[a];
    }
    current.alt = record->n_allele > 1 ? std::string_view(altText) : std::string_view(".");
    current.pos = record->pos + 1;
    return true;
}

std::string variantReader::atLine() const {
    if (skipped)
        return "line " + std::to_string(lineNumber) + " of the region found through the index: ";
    return "line " + std::to_string(lineNumber) + ": ";
}

std::string variantReader::where() const {
    return "position " + std::to_string(current.pos) + ": ";
}

std::string variantReader::where(size_t sample) const {
    return "position " + std::to_string(current.pos) + ", sample " + sampleNames[sample] + ": ";
}

void variantReader::genotypes(const std::vector<int32_t>& order, uint64_t* bits) {
    if (order.size() != sampleNames.size())
        fail("internal error: the sample order does not fit the file");
    if (sampleNames.empty()) return;
    if (binary)
        binaryGenotypes(order, bits);
    else
        textGenotypes(order, bits);
}

void variantReader::textGenotypes(const std::vector<int32_t>& order, uint64_t* bits) {
    if (!format) failBlamingDamage(where() + "no GT field");
    const char* end = line.s + line.l;
    const char* tab = static_cast<const char*>(memchr(format, '\t', end - format));
    std::string_view keys(format, (tab ? tab : end) - format);
    const int gtIndex = gtIndexOf(keys);
    if (gtIndex < 0) failBlamingDamage(where() + "no GT field");
    const size_t n = sampleNames.size();
    const char* text = tab ? tab + 1 : end;
    if (gtIndex == 0 && keys.size() == 2 && static_cast<size_t>(end - text) == 4 * n - 1 &&
        packPhasedPairs(text, n, order, bits))
        return;
    // General path: any FORMAT, any genotype text. The pairs the fast path
    // set belong to genotypes it checked, and are set again to the same.
    for (size_t j = 0; j < n; j++) {
        if (!tab)
            failBlamingDamage(where() + std::to_string(j) + " sample columns, expected " +
                              std::to_string(n));
        tab = static_cast<const char*>(memchr(text, '\t', end - text));
        std::string_view gt = gtOfColumn(std::string_view(text, (tab ? tab : end) - text), gtIndex);
        text = tab ? tab + 1 : end;
        genotype g = parseGenotype(gt);
        if (const char* problem = problemOf(g))
            failBlamingDamage(where(j) +
                              (gt.empty() ? "empty genotype" : problem + (" " + std::string(gt))));
        setPair(bits, order[j], static_cast<uint64_t>(g.alleles[0]) | g.alleles[1] << 1);
    }
    if (tab)
        failBlamingDamage(where() + "more sample columns than the " + std::to_string(n) +
                          " samples");
}

void variantReader::binaryGenotypes(const std::vector<int32_t>& order, uint64_t* bits) {
    if (bcf_unpack(record, BCF_UN_FMT) < 0) fail(damaged);
    const bcf_fmt_t* gt = nullptr;
    for (int i = 0; i < record->n_fmt && gtKey >= 0; i++)
        if (record->d.fmt[i].id == gtKey) gt = &record->d.fmt[i];
    if (!gt || !gt->p) fail(where() + "no GT field");
    const size_t n = sampleNames.size();
    if (gt->type == BCF_BT_INT8 && gt->n == 2 &&
        packBinaryPairs(reinterpret_cast<const int8_t*>(gt->p), n, order, bits))
        return;
    // General path: any width and ploidy, one sample at a time.
    const integerBounds* bounds = integerBoundsOf(gt->type);
    if (!bounds) fail(where() + "GT is not stored as integers");
    const int32_t vectorEnd = bounds->vectorEnd, missing = bounds->missing;
    std::vector<int32_t> values(gt->n);
    for (size_t j = 0; j < n; j++) {
        widenValues(*gt, j, values.data());
        genotype g = binaryGenotype(values.data(), gt->n, vectorEnd, missing);
        if (const char* problem = problemOf(g))
            fail(where(j) + problem + " " + genotypeText(values.data(), gt->n, vectorEnd, missing));
        setPair(bits, order[j], static_cast<uint64_t>(g.alleles[0]) | g.alleles[1] << 1);
    }
}

std::vector<int32_t> sampleOrder(const std::vector<std::string>& wanted,
                                 const std::vector<std::string>& inFile, const std::string& name,
                                 const std::string& reference) {
    auto refuse = [&name](const std::string& sample, const std::string& problem) {
        seamline::fail("cannot read [" + name + "]: sample " + sample + problem);
    };
    std::unordered_map<std::string_view, int32_t> index;
    for (size_t k = 0; k < wanted.size(); k++)
        if (!index.emplace(wanted[k], static_cast<int32_t>(k)).second)
            refuse(wanted[k], " is listed twice in " + reference);
    std::vector<int32_t> order(inFile.size(), -1);
    std::vector<bool> seen(wanted.size(), false);
    for (size_t j = 0; j < inFile.size(); j++) {
        auto it = index.find(inFile[j]);
        if (it == index.end()) refuse(inFile[j], " is not in " + reference);
        if (seen[it->second]) refuse(inFile[j], " appears twice");
        seen[it->second] = true;
        order[j] = it->second;
    }
    for (size_t k = 0; k < wanted.size(); k++)
        if (!seen[k]) refuse(wanted[k], " of " + reference + " is missing");
    return order;
}

}  // namespace seamline
