#include "deflate.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <queue>

#include "failure.h"

#if SEAMLINE_WITH_ISAL
#include <isa-l/crc.h>
#endif

namespace seamline {

namespace {

const int windowSize = 32768;
const int hashBits = 17;
const int chainDepth = 8;
const int minMatch = 3;
const int maxMatch = 258;
const size_t tokensPerBlock = 1 << 16;

const uint16_t lengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t lengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t distanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                   33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                   1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t distanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                   6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// Order in which the lengths of the code-length code are stored.
const uint8_t codeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                     11, 4,  12, 3, 13, 2, 14, 1, 15};

struct symbolTables {
    uint8_t length[maxMatch + 1];
    uint8_t distance[windowSize + 1];
    symbolTables() {
        for (int s = 0; s < 29; s++)
            for (int l = lengthBase[s]; l < lengthBase[s] + (1 << lengthExtra[s]) && l <= maxMatch;
                 l++)
                length[l] = static_cast<uint8_t>(s);
        for (int s = 0; s < 30; s++)
            for (int d = distanceBase[s]; d < distanceBase[s] + (1 << distanceExtra[s]); d++)
                distance[d] = static_cast<uint8_t>(s);
    }
};
const symbolTables symbols;

}  // namespace

void huffmanLengths(const uint32_t* frequency, int n, int maxBits, uint8_t* lengths) {
    std::vector<uint32_t> f(frequency, frequency + n);
    int used =
        static_cast<int>(std::count_if(f.begin(), f.end(), [](uint32_t x) { return x > 0; }));
    for (int s = 0; s < n && used < 2; s++)
        if (f[s] == 0) f[s] = 1, used++;
    for (;;) {
        typedef std::pair<uint64_t, int> item;  // weight, node
        std::priority_queue<item, std::vector<item>, std::greater<item>> queue;
        std::vector<int> parent(2 * n, -1);
        for (int s = 0; s < n; s++)
            if (f[s] > 0) queue.push({f[s], s});
        int next = n;
        while (queue.size() > 1) {
            item a = queue.top();
            queue.pop();
            item b = queue.top();
            queue.pop();
            parent[a.second] = parent[b.second] = next;
            queue.push({a.first + b.first, next++});
        }
        // Parents are numbered after their children: depths from the root down.
        std::vector<int> depth(next, 0);
        for (int node = next - 2; node >= 0; node--)
            if (parent[node] >= 0) depth[node] = depth[parent[node]] + 1;
        int longest = 0;
        for (int s = 0; s < n; s++) {
            lengths[s] = f[s] > 0 ? static_cast<uint8_t>(depth[s]) : 0;
            longest = std::max<int>(longest, lengths[s]);
        }
        if (longest <= maxBits) return;
        for (uint32_t& x : f) x = (x + 1) / 2;
    }
}

// Packs bits into bytes, least significant bit first, as deflate stores them.
class bitWriter {
public:
    std::string& out;
    uint64_t pending = 0;
    int count = 0;

    explicit bitWriter(std::string& out) : out(out) {}
    void put(uint32_t value, int nbits) {
        pending |= static_cast<uint64_t>(value) << count;
        count += nbits;
        if (count >= 32) {
            char bytes[4] = {static_cast<char>(pending), static_cast<char>(pending >> 8),
                             static_cast<char>(pending >> 16), static_cast<char>(pending >> 24)};
            out.append(bytes, 4);
            pending >>= 32;
            count -= 32;
        }
    }
    // Pads the last byte with zero bits.
    void flush() {
        for (; count > 0; count -= 8, pending >>= 8) out.push_back(static_cast<char>(pending));
        count = 0;
        pending = 0;
    }
};

namespace {

// Canonical codes for the lengths, bit-reversed for the bit writer.
void canonicalCodes(const uint8_t* lengths, int n, uint16_t* codes) {
    int count[16] = {0};
    for (int s = 0; s < n; s++) count[lengths[s]]++;
    count[0] = 0;
    uint16_t next[16] = {0};
    uint16_t code = 0;
    for (int bits = 1; bits < 16; bits++) {
        code = static_cast<uint16_t>((code + count[bits - 1]) << 1);
        next[bits] = code;
    }
    for (int s = 0; s < n; s++) {
        if (!lengths[s]) continue;
        uint16_t c = next[lengths[s]]++, reversed = 0;
        for (int b = 0; b < lengths[s]; b++)
            reversed = static_cast<uint16_t>((reversed << 1) | ((c >> b) & 1));
        codes[s] = reversed;
    }
}

// Hash of the 8 or 16 bytes at p.
uint32_t hashAt(const uint8_t* p, int hashBytes) {
    uint64_t a, b;
    memcpy(&a, p, 8);
    uint64_t h = a * 0x9E3779B97F4A7C15ULL;
    if (hashBytes > 8) {
        memcpy(&b, p + hashBytes - 8, 8);
        h ^= b * 0xC2B2AE3D27D4EB4FULL;
    }
    return static_cast<uint32_t>(h >> (64 - hashBits));
}

// Length of the common run at a and b, at most limit.
int matchLength(const uint8_t* a, const uint8_t* b, int limit) {
    int m = 0;
    while (m + 8 <= limit) {
        uint64_t x, y;
        memcpy(&x, a + m, 8);
        memcpy(&y, b + m, 8);
        if (x != y) return m + __builtin_ctzll(x ^ y) / 8;
        m += 8;
    }
    while (m < limit && a[m] == b[m]) m++;
    return m;
}

}  // namespace

uint32_t gzipCrc(uint32_t crc, const void* data, size_t n) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < n;) {
        const size_t part = std::min<size_t>(n - done, 1u << 30);
#if SEAMLINE_WITH_ISAL
        crc = crc32_gzip_refl(crc, bytes + done, part);
#else
        crc = libdeflate_crc32(crc, bytes + done, part);
#endif
        done += part;
    }
    return crc;
}

const char bgzfEndOfFile[28] = {'\x1f', '\x8b', 8,  4, 0, 0, 0, 0, 0, '\xff', 6, 0, 'B', 'C',
                                2,      0,      27, 0, 3, 0, 0, 0, 0, 0,      0, 0, 0,   0};

namespace {

uint32_t crcOf(const char* text, size_t n) { return gzipCrc(0, text, n); }

void putLittleEndian(std::string& out, uint32_t value, int bytes) {
    for (int b = 0; b < bytes; b++) out.push_back(static_cast<char>(value >> (8 * b)));
}

// Gzip header of a member without file name, modification time 0, from Unix.
const char gzipHeader[10] = {'\x1f', '\x8b', 8, 0, 0, 0, 0, 0, 0, 3};

}  // namespace

deflater::deflater() : head(size_t(1) << hashBits, 0), chain(windowSize) {
    tokens.reserve(tokensPerBlock);
}

void deflater::gzipMember(const char* text, size_t n, std::string& out) {
    out.append(gzipHeader, sizeof gzipHeader);
    bitWriter bits(out);
    findMatches(reinterpret_cast<const uint8_t*>(text), n, bits);
    writeBlock(bits, true);
    bits.flush();
    putLittleEndian(out, crcOf(text, n), 4);
    putLittleEndian(out, static_cast<uint32_t>(n), 4);
}

namespace {

// Gzip header with FEXTRA: the BC subfield holds the block size less one,
// filled in by closeBgzf.
const char bgzfHeader[18] = {'\x1f', '\x8b', 8, 4,   0,   0, 0, 0, 0,
                             '\xff', 6,      0, 'B', 'C', 2, 0, 0, 0};
const size_t bgzfHeaderSize = sizeof bgzfHeader;
const size_t bgzfMostBytes = 65536;

// Replaces the deflate data of the block that starts at start with one
// stored block of the text, which deflate cannot shrink.
void storeBgzf(const char* text, size_t n, std::string& out, size_t start) {
    out.resize(start + bgzfHeaderSize);
    out.push_back(1);  // last block, stored
    putLittleEndian(out, static_cast<uint32_t>(n), 2);
    putLittleEndian(out, static_cast<uint32_t>(~n), 2);
    out.append(text, n);
}

// Writes the block's size into the header of the block that starts at start.
void closeBgzf(std::string& out, size_t start) {
    const uint32_t blockSize = static_cast<uint32_t>(out.size() - start - 1);
    out[start + 16] = static_cast<char>(blockSize);
    out[start + 17] = static_cast<char>(blockSize >> 8);
}

}  // namespace

void deflater::bgzfBlock(const char* text, size_t n, std::string& out) {
    const size_t start = out.size();
    out.append(bgzfHeader, bgzfHeaderSize);
    bitWriter bits(out);
    findMatches(reinterpret_cast<const uint8_t*>(text), n, bits);
    writeBlock(bits, true);
    bits.flush();
    if (out.size() - start + 8 > bgzfMostBytes) storeBgzf(text, n, out, start);
    putLittleEndian(out, crcOf(text, n), 4);
    putLittleEndian(out, static_cast<uint32_t>(n), 4);
    closeBgzf(out, start);
}

libraryDeflater::~libraryDeflater() {
    if (compressor) libdeflate_free_compressor(compressor);
}

size_t libraryDeflater::deflate(int level, const char* text, size_t n, std::string& out) {
    if (!compressor || level != compressorLevel) {
        if (compressor) libdeflate_free_compressor(compressor);
        compressorLevel = -1;
        compressor = libdeflate_alloc_compressor(level);
        if (!compressor) throw std::bad_alloc();
        compressorLevel = level;
    }
    const size_t start = out.size(), room = libdeflate_deflate_compress_bound(compressor, n);
    out.resize(start + room);
    const size_t size = libdeflate_deflate_compress(compressor, text, n, &out[start], room);
    // The bound holds for any text, so that no size means a broken library.
    if (size == 0) fail("cannot compress a block of " + std::to_string(n) + " bytes");
    out.resize(start + size);
    return size;
}

void libraryDeflater::gzipMember(int level, const char* text, size_t n, std::string& out) {
    out.append(gzipHeader, sizeof gzipHeader);
    deflate(level, text, n, out);
    putLittleEndian(out, crcOf(text, n), 4);
    putLittleEndian(out, static_cast<uint32_t>(n), 4);
}

void libraryDeflater::bgzfBlock(int level, const char* text, size_t n, std::string& out) {
    const size_t start = out.size();
    out.append(bgzfHeader, bgzfHeaderSize);
    deflate(level, text, n, out);
    if (out.size() - start + 8 > bgzfMostBytes) storeBgzf(text, n, out, start);
    putLittleEndian(out, crcOf(text, n), 4);
    putLittleEndian(out, static_cast<uint32_t>(n), 4);
    closeBgzf(out, start);
}

void deflater::findMatches(const uint8_t* text, size_t n, bitWriter& bits) {
    // The table holds positions plus headBase, which grows past every text,
    // so that entries of earlier texts count as empty without clearing the
    // table (eight times the size of a BGZF block's text) for each one.
    if (static_cast<int64_t>(n) + 1 > INT32_MAX - headBase) {
        std::fill(head.begin(), head.end(), 0);
        headBase = 1;
    }
    const int32_t base = headBase;
    headBase += static_cast<int32_t>(n) + 1;
    auto headOf = [&](uint32_t h) -> int64_t { return head[h] >= base ? head[h] - base : -1; };
    const int64_t end = static_cast<int64_t>(n);
    auto insert = [&](int64_t i) {
        if (i + hashBytes > end) return;
        uint32_t h = hashAt(text + i, hashBytes);
        chain[i & (windowSize - 1)] = static_cast<int32_t>(headOf(h));
        head[h] = static_cast<int32_t>(i + base);
    };
    // Ends of the current line and of the two before it: the same column of
    // an earlier line, counted from the line's end, is the likeliest match.
    int64_t lineEnd = -1, previousEnd = -1, earlierEnd = -1;
    int64_t lastDistance = 0;
    int64_t i = 0;
    while (i < end) {
        if (i > lineEnd) {
            earlierEnd = previousEnd;
            previousEnd = lineEnd;
            const void* nl = memchr(text + i, '\n', static_cast<size_t>(end - i));
            lineEnd = nl ? static_cast<const uint8_t*>(nl) - text : end;
        }
        const int limit = static_cast<int>(std::min<int64_t>(maxMatch, end - i));
        int best = 0;
        int64_t bestDistance = 0;
        auto consider = [&](int64_t distance) {
            if (distance <= 0 || distance > windowSize || distance > i) return;
            int m = matchLength(text + i, text + i - distance, limit);
            if (m > best) best = m, bestDistance = distance;
        };
        consider(lastDistance);
        if (previousEnd >= 0) consider(lineEnd - previousEnd);
        if (earlierEnd >= 0) consider(lineEnd - earlierEnd);
        if (best < limit && i + hashBytes <= end) {
            int64_t j = headOf(hashAt(text + i, hashBytes));
            for (int depth = 0; j >= 0 && i - j <= windowSize && depth < chainDepth && best < limit;
                 depth++) {
                consider(i - j);
                int64_t older = chain[j & (windowSize - 1)];
                if (older >= j) break;
                j = older;
            }
        }
        if (best >= minMatch) {
            tokens.push_back({static_cast<uint16_t>(best), static_cast<uint16_t>(bestDistance)});
            lastDistance = bestDistance;
            const int64_t inserted = best <= insertLimit ? best : 1;
            for (int64_t k = i; k < i + inserted; k++) insert(k);
            i += best;
        } else {
            tokens.push_back({0, text[i]});
            insert(i);
            i++;
        }
        if (tokens.size() == tokensPerBlock) writeBlock(bits, false);
    }
}

void deflater::writeBlock(bitWriter& bits, bool last) {
    uint32_t litFrequency[286] = {0}, distFrequency[30] = {0};
    for (const token& t : tokens) {
        if (t.length == 0) {
            litFrequency[t.value]++;
        } else {
            litFrequency[257 + symbols.length[t.length]]++;
            distFrequency[symbols.distance[t.value]]++;
        }
    }
    litFrequency[256] = 1;  // end of block
    uint8_t litLength[286], distLength[30];
    uint16_t litCode[286], distCode[30];
    huffmanLengths(litFrequency, 286, 15, litLength);
    huffmanLengths(distFrequency, 30, 15, distLength);
    canonicalCodes(litLength, 286, litCode);
    canonicalCodes(distLength, 30, distCode);
    int nlit = 286, ndist = 30;
    while (nlit > 257 && litLength[nlit - 1] == 0) nlit--;
    while (ndist > 1 && distLength[ndist - 1] == 0) ndist--;

    // Both code length lists as one sequence, run-length coded with
    // symbols 16 (repeat the previous length), 17 and 18 (runs of zeros).
    std::vector<uint8_t> lengths(litLength, litLength + nlit);
    lengths.insert(lengths.end(), distLength, distLength + ndist);
    struct rle {
        uint8_t symbol, extra;
    };
    std::vector<rle> runs;
    for (size_t i = 0; i < lengths.size();) {
        size_t run = 1;
        while (i + run < lengths.size() && lengths[i + run] == lengths[i]) run++;
        if (lengths[i] == 0) {
            size_t left = run;
            while (left >= 11) {
                size_t r = std::min<size_t>(left, 138);
                runs.push_back({18, static_cast<uint8_t>(r - 11)});
                left -= r;
            }
            if (left >= 3) {
                runs.push_back({17, static_cast<uint8_t>(left - 3)});
                left = 0;
            }
            for (; left > 0; left--) runs.push_back({0, 0});
        } else {
            runs.push_back({lengths[i], 0});
            size_t left = run - 1;
            while (left >= 3) {
                size_t r = std::min<size_t>(left, 6);
                runs.push_back({16, static_cast<uint8_t>(r - 3)});
                left -= r;
            }
            for (; left > 0; left--) runs.push_back({lengths[i], 0});
        }
        i += run;
    }
    uint32_t clFrequency[19] = {0};
    for (const rle& r : runs) clFrequency[r.symbol]++;
    uint8_t clLength[19];
    uint16_t clCode[19];
    huffmanLengths(clFrequency, 19, 7, clLength);
    canonicalCodes(clLength, 19, clCode);
    int nclen = 19;
    while (nclen > 4 && clLength[codeLengthOrder[nclen - 1]] == 0) nclen--;

    bits.put(last ? 1 : 0, 1);
    bits.put(2, 2);  // dynamic Huffman codes
    bits.put(nlit - 257, 5);
    bits.put(ndist - 1, 5);
    bits.put(nclen - 4, 4);
    for (int i = 0; i < nclen; i++) bits.put(clLength[codeLengthOrder[i]], 3);
    static const uint8_t rleExtraBits[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                             0, 0, 0, 0, 0, 0, 2, 3, 7};
    for (const rle& r : runs) {
        bits.put(clCode[r.symbol], clLength[r.symbol]);
        if (rleExtraBits[r.symbol]) bits.put(r.extra, rleExtraBits[r.symbol]);
    }
    for (const token& t : tokens) {
        if (t.length == 0) {
            bits.put(litCode[t.value], litLength[t.value]);
            continue;
        }
        int ls = symbols.length[t.length];
        bits.put(litCode[257 + ls], litLength[257 + ls]);
        if (lengthExtra[ls]) bits.put(t.length - lengthBase[ls], lengthExtra[ls]);
        int ds = symbols.distance[t.value];
        bits.put(distCode[ds], distLength[ds]);
        if (distanceExtra[ds]) bits.put(t.value - distanceBase[ds], distanceExtra[ds]);
    }
    bits.put(litCode[256], litLength[256]);
    tokens.clear();
}

}  // namespace seamline
