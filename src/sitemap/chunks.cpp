#include "sitemap/chunks.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <new>

#include "bits.h"
#include "failure.h"
#include "files.h"
#include "sitemap/chunkrow.h"
#include "text.h"
#include "threads.h"
#include "vcfread.h"
#include "vcftext.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace seamline {

namespace {

inline void setPair(uint64_t* bits, int32_t sample, uint64_t pair) {
    bits[sample >> 5] |= pair << (2 * (sample & 31));
}

// Why a genotype cannot be taken as a phased pair of alleles 0 and 1 (a
// homozygous one may be unphased), or null when it can.
const char* problemOf(const genotype& g) {
    if (!g.readable) return "unreadable genotype";
    if (g.anyMissing) return "missing allele in genotype";
    if (g.ploidy == 1) return "haploid genotype";
    if (g.ploidy > 2) return "genotype with more than two alleles";
    if (g.multiAllelic()) return "allele index above 1 in genotype";
    if (!g.phased && g.alleles[0] != g.alleles[1]) return "unphased heterozygous genotype";
    return nullptr;
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

void textPairs(variantReader& reader, const variantRecord& r, const std::vector<int32_t>& order,
               uint64_t* bits) {
    if (r.format.data() == nullptr) reader.failBlamingDamage(reader.where() + "no GT field");
    bool twice;
    const int gtIndex = keyIndex(r.format, "GT", twice);
    if (gtIndex < 0) reader.failBlamingDamage(reader.where() + "no GT field");
    const size_t n = reader.samples().size();
    const std::string_view line = reader.line();
    const char* end = line.data() + line.size();
    const char* text = r.samples ? r.samples : end;
    if (gtIndex == 0 && r.format.size() == 2 && static_cast<size_t>(end - text) == 4 * n - 1 &&
        packPhasedPairs(text, n, order, bits))
        return;
    // General path: any FORMAT, any genotype text. The pairs the fast path
    // set belong to genotypes it checked, and are set again to the same.
    const char* tab = r.samples ? r.samples - 1 : nullptr;
    for (size_t j = 0; j < n; j++) {
        if (!tab)
            reader.failBlamingDamage(reader.where() + std::to_string(j) +
                                     " sample columns, expected " + std::to_string(n));
        tab = static_cast<const char*>(memchr(text, '\t', end - text));
        std::string_view gt;
        if (!subfield(std::string_view(text, (tab ? tab : end) - text), gtIndex, gt)) gt = ".";
        text = tab ? tab + 1 : end;
        const genotype g = readGenotype(gt);
        if (const char* problem = problemOf(g))
            reader.failBlamingDamage(reader.where(j) + (gt.empty()
                                                            ? "empty genotype"
                                                            : problem + (" " + std::string(gt))));
        setPair(bits, order[j], static_cast<uint64_t>(g.alleles[0]) | g.alleles[1] << 1);
    }
    if (tab)
        reader.failBlamingDamage(reader.where() + "more sample columns than the " +
                                 std::to_string(n) + " samples");
}

void binaryPairs(variantReader& reader, const std::vector<int32_t>& order, uint64_t* bits) {
    bcf1_t* record = reader.record();
    if (bcf_unpack(record, BCF_UN_FMT) < 0) reader.fail("the file is damaged or unreadable");
    const int gtKey = bcf_hdr_id2int(reader.header(), BCF_DT_ID, "GT");
    const bcf_fmt_t* gt = nullptr;
    for (int i = 0; i < record->n_fmt && gtKey >= 0; i++)
        if (record->d.fmt[i].id == gtKey) gt = &record->d.fmt[i];
    if (!gt || !gt->p) reader.fail(reader.where() + "no GT field");
    const size_t n = reader.samples().size();
    if (gt->type == BCF_BT_INT8 && gt->n == 2 &&
        packBinaryPairs(reinterpret_cast<const int8_t*>(gt->p), n, order, bits))
        return;
    // General path: any width and ploidy, one sample at a time.
    if (!integers(*gt)) reader.fail(reader.where() + "GT is not stored as integers");
    std::vector<int32_t> values(gt->n);
    for (size_t j = 0; j < n; j++) {
        for (int i = 0; i < gt->n; i++) values[i] = fieldInteger(*gt, j, i);
        const genotype g = decodeGenotype(values.data(), gt->n);
        if (const char* problem = problemOf(g))
            reader.fail(reader.where(j) + problem + " " + genotypeText(values.data(), gt->n));
        setPair(bits, order[j], static_cast<uint64_t>(g.alleles[0]) | g.alleles[1] << 1);
    }
}

// Reads one chunk file; stops early, with nothing, once another file's
// failure has cancelled the reading.
class chunkReader {
public:
    chunkReader(const siteMap& sites, bool flip, const std::atomic<bool>* cancel,
                rowRange range = {})
        : sites(sites),
          flip(flip),
          cancel(cancel),
          range(range),
          ncodes(2 * sites.samples().size()) {}

    std::unique_ptr<chunk> read(const std::string& name) {
        auto c = std::make_unique<chunk>(name, sites.samples().size());
        size_t lineNo = 0;
        try {
            inputFile input(name);
            bool complete = input.content() != contentKind::other
                                ? readVariant(input.release(), *c)
                                : readText(input.release(), *c, lineNo);
            if (!complete) return nullptr;
            c->rows.finish();
        } catch (const std::bad_alloc&) {
            fail("cannot read [" + name + "] line " + std::to_string(lineNo + 1) +
                 ": out of memory");
        }
        return c;
    }

private:
    const siteMap& sites;
    const bool flip;
    const std::atomic<bool>* cancel;
    const rowRange range;
    const size_t ncodes;

    bool cancelled(size_t count) const { return cancel && (count & 1023) == 0 && *cancel; }

    // The site of a row, which must come after the chunk's last one; lineNo
    // names a text row in messages, or is 0 for a VCF or BCF record, which is
    // named by position and whose chromosome must match its site's.
    int32_t siteOf(const chunk& c, std::string_view chrom, int32_t pos, std::string_view a1,
                   std::string_view a2, bool& flipped, size_t lineNo) const {
        int32_t idx = sites.find(chrom, lineNo == 0, pos, a1, a2, flip, flipped);
        if (idx < 0)
            failOnConsole("Not found = " + std::to_string(pos) + " " + std::string(a1) + "  " +
                          std::string(a2));
        if (!c.sites.empty() && idx <= c.sites.back())
            fail("cannot read [" + c.name + "] " +
                 (lineNo ? "line " + std::to_string(lineNo) : "position " + std::to_string(pos)) +
                 ": the row at position " + std::to_string(pos) +
                 " does not come after the row before it in site-map order");
        return idx;
    }

    bool readText(hFILE* fp, chunk& c, size_t& lineNo) const {
        const std::string& name = c.name;
        ifile in(name, fp);
        lineReader lines(in);
        std::string_view line;
        chunkRow row;
        std::vector<uint64_t> scratch;  // the bits of a row before the range
        while (lines.next(line)) {
            lineNo++;
            if (cancelled(lineNo)) return false;
            dropCarriageReturn(line);
            // VCF that htslib could not recognise: compressed with bzip2.
            if (lineNo == 1 && (startsWith(line, "##fileformat=VCF") || startsWith(line, "#CHROM")))
                fail("cannot read [" + name +
                     "]: VCF compressed with bzip2 cannot be read; compress it with bgzip");
            // Until the range starts, rows are parsed into scratch.
            const bool ahead = c.sites.empty() && range.from > 0;
            if (ahead) scratch.assign((ncodes + 63) / 64, 0);
            uint64_t* bits = ahead ? scratch.data() : c.rows.add();
            size_t nfields = row.parse(line, ncodes, bits);
            // A fixed text that users' scripts know, not an assertion of the code.
            if (nfields != ncodes + 5)
                fail("src/data.cpp: check failed: tok.size() == (I.size() * 2 + 5) in [" + name +
                     "] line " + std::to_string(lineNo) + ": " + std::to_string(nfields) +
                     " fields, expected " + std::to_string(ncodes + 5));
            int64_t pos;
            if (!parsePosition(row.fields[2], sitePositions, pos))
                fail("cannot read [" + name + "] line " + std::to_string(lineNo) + ": " +
                     badPosition(row.fields[2]));
            bool flipped;
            int32_t idx = siteOf(c, row.fields[0], static_cast<int32_t>(pos), row.fields[3],
                                 row.fields[4], flipped, lineNo);
            if (row.badCode >= 0)
                fail("cannot read [" + name + "] line " + std::to_string(lineNo) + ": field " +
                     std::to_string(row.badCode + 6) + " is " + quoted(row.code(row.badCode)) +
                     ", not 0 or 1");
            if (ahead) {
                if (idx < range.from) continue;
                bits = std::copy(scratch.begin(), scratch.end(), c.rows.add()) - scratch.size();
            }
            c.sites.push_back(idx);
            // A row with the alleles the other way round stores the
            // complement of its codes, so that a set bit is always ALT.
            if (flipped) invertBits(bits, ncodes);
            if (idx >= range.until) break;
        }
        if (in.bad()) fail("cannot read [" + name + "]: the file is damaged or unreadable");
        in.close();
        return true;
    }

    bool readVariant(hFILE* fp, chunk& c) const {
        const std::string& name = c.name;
        variantReader reader(fp, name);
        const std::vector<int32_t> order = sampleOrder(sites.samples(), reader.samples(), name);
        if (range.from > 0 && static_cast<size_t>(range.from) < sites.sites().size()) {
            const site& first = sites.sites()[range.from];
            reader.skipTo(sites.contigs()[first.contig], first.pos);
        }
        for (size_t record = 1; reader.next(); record++) {
            if (cancelled(record)) return false;
            const variantRecord r = reader.site();
            if (!isPosition(r.pos, sitePositions))
                fail("cannot read [" + name + "]: " + badPosition(std::to_string(r.pos)));
            const int32_t pos = static_cast<int32_t>(r.pos);
            bool flipped;
            int32_t idx = siteOf(c, r.chrom, pos, r.ref, r.alt, flipped, 0);
            if (idx < range.from) continue;
            uint64_t* bits = c.rows.add();
            const bool decoded = idx >= range.decodeFrom && idx < range.decodeUntil;
            if (decoded) phasedPairs(reader, r, order, bits);
            c.sites.push_back(idx);
            if (flipped && decoded) invertBits(bits, ncodes);
            if (idx >= range.until) break;
        }
        return true;
    }
};

}  // namespace

void phasedPairs(variantReader& reader, const variantRecord& record,
                 const std::vector<int32_t>& order, uint64_t* bits) {
    if (order.size() != reader.samples().size())
        fail("internal error: the sample order does not fit the file");
    if (order.empty()) return;
    if (reader.text())
        textPairs(reader, record, order, bits);
    else
        binaryPairs(reader, order, bits);
}

namespace {

// The console line of a file is left open until its row count or failure
// completes it; a message on standard error starts on a line of its own.
void announce(const std::string& name) {
    std::cout << "Reading haplotypes in [" << name << "]" << std::flush;
}

chunk counted(std::unique_ptr<chunk> c) {
    std::cout << "\t" << c->sites.size() << std::endl;
    return std::move(*c);
}

[[noreturn]] void stop(std::exception_ptr failed) {
    try {
        std::rethrow_exception(failed);
    } catch (const failure& f) {
        if (f.where == failure::stream::errors) std::cout << std::endl;
        throw;
    }
}

std::vector<chunk> readInTurn(const std::vector<std::string>& names, const siteMap& sites,
                              bool flip) {
    std::vector<chunk> chunks;
    chunkReader reader(sites, flip, nullptr);
    for (const std::string& name : names) {
        announce(name);
        try {
            chunks.push_back(counted(reader.read(name)));
        } catch (const failure&) {
            stop(std::current_exception());
        }
    }
    return chunks;
}

}  // namespace

chunk readRows(const std::string& name, const siteMap& sites, bool flip, rowRange range) {
    announce(name);
    try {
        return counted(chunkReader(sites, flip, nullptr, range).read(name));
    } catch (const failure&) {
        stop(std::current_exception());
    }
}

std::vector<chunk> readChunks(const std::vector<std::string>& names, const siteMap& sites,
                              bool flip, int threads) {
    if (threads <= 1) return readInTurn(names, sites, flip);
    // Files are read on the pool and reported in command-line order; once
    // one has failed, the others stop and their results are dropped.
    std::atomic<bool> cancel(false);
    std::exception_ptr failed;
    std::vector<chunk> chunks;
    chunkReader reader(sites, flip, &cancel);
    orderedPipeline<std::unique_ptr<chunk>> reading(threads, threads + 1);
    size_t reported = 0;
    auto report = [&] {
        const std::string& name = names[reported++];
        try {
            std::unique_ptr<chunk> c = reading.take();
            if (cancel) return;
            announce(name);
            chunks.push_back(counted(std::move(c)));
        } catch (const failure&) {
            if (cancel) return;
            announce(name);
            cancel = true;
            failed = std::current_exception();
        }
    };
    for (const std::string& name : names) {
        while (reading.full()) report();
        if (cancel) break;
        reading.submit([&reader, &name] { return reader.read(name); });
    }
    while (!reading.empty()) report();
    if (failed) stop(failed);
    return chunks;
}

}  // namespace seamline
