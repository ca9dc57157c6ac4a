#include "sitemap/chunkrow.h"

#include "bits.h"
#include "text.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace seamline {

bool packCodes(const char* text, size_t ncodes, uint64_t* bits) {
    size_t i = 0;
#ifdef __SSE2__
    // Sixteen codes at a time, each with the space after it: the spaces must
    // stand exactly at the odd bytes, '0' or '1' at the even ones, and the '1'
    // codes give the bits.
    const __m128i space = _mm_set1_epi8(' '), zero = _mm_set1_epi8('0'), one = _mm_set1_epi8('1');
    for (; i + 16 < ncodes; i += 16) {
        const char* p = text + 2 * i;
        __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        uint32_t spaces = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(lo, space))) |
                          static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(hi, space))) << 16;
        if (spaces != 0xaaaaaaaau) return false;
        uint32_t ones = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(lo, one))) |
                        static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(hi, one))) << 16;
        uint32_t zeros = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(lo, zero))) |
                         static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(hi, zero))) << 16;
        if ((ones | zeros) != 0x55555555u) return false;
        bits[i >> 6] |= static_cast<uint64_t>(evenBits(ones)) << (i & 63);
    }
#endif
    for (; i < ncodes; i++) {
        char code = text[2 * i];
        if ((code != '0' && code != '1') || (i + 1 < ncodes && text[2 * i + 1] != ' '))
            return false;
        if (code == '1') bits[i >> 6] |= uint64_t(1) << (i & 63);
    }
    return true;
}

size_t chunkRow::parse(std::string_view line, size_t ncodes, uint64_t* bits) {
    // Fast path: the usual layout, one-character codes with single spaces
    // between them, read in place.
    badCode = -1;
    size_t n = fieldSplitter(line, " ", fieldSplitter::runs).take(5, fields);
    if (n == 5) {
        size_t end = line.size();
        while (end > 0 && line[end - 1] == ' ') end--;
        size_t start = fields[4].data() + fields[4].size() - line.data();
        if (ncodes == 0 && start == end) return 5;
        if (ncodes > 0 && end - start == 2 * ncodes && line[start] == ' ' &&
            packCodes(line.data() + start + 1, ncodes, bits))
            return ncodes + 5;
        for (size_t w = 0; w < (ncodes + 63) / 64; w++) bits[w] = 0;
    }
    // General path: every field split and compared as text.
    tok = tokenize(std::string(line), " ");
    if (tok.size() != ncodes + 5) return tok.size();
    for (size_t f = 0; f < 5; f++) fields[f] = tok[f];
    for (size_t i = 0; i < ncodes; i++) {
        if (tok[5 + i] == "1")
            bits[i >> 6] |= uint64_t(1) << (i & 63);
        else if (tok[5 + i] != "0" && badCode < 0)
            badCode = static_cast<long>(i);
    }
    return tok.size();
}

}  // namespace seamline
