#ifndef SEAMLINE_DEFLATE_H
#define SEAMLINE_DEFLATE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct libdeflate_compressor;

namespace seamline {

// Gzip encoder made for haplotype text: lines of "0 1 1 0 ..." whose
// three-byte contexts say almost nothing about where a long match lies. It
// finds matches through a hash of 16 (or 8) bytes, the distance of the previous
// match and the same column of the previous line, then writes standard
// deflate blocks with dynamic Huffman codes. Any text compresses correctly;
// this kind compresses about as well as level 6 of the usual tools, several
// times faster.
class deflater {
public:
    // Bytes a match must share to be found through the hash, 8 or 16: four
    // genotypes, which take 16 bytes of text ("0|1\t") and 8 of BCF.
    int hashBytes = 16;
    // Matches longer than this put only their first byte into the hash: the
    // rest of a long match is seldom where a later match starts, and hashing
    // every byte of it takes much of the time.
    int insertLimit = 258;

    deflater();
    // Appends to out one complete gzip member (no file name, modification
    // time 0) holding the n bytes of text.
    void gzipMember(const char* text, size_t n, std::string& out);
    // Appends to out one BGZF block holding the n <= bgzfBlockSize bytes of
    // text: a gzip member whose BC extra field gives its size. The block
    // depends on the text alone, so blocks may be made in any order.
    void bgzfBlock(const char* text, size_t n, std::string& out);

private:
    struct token {
        uint16_t length;  // 0 for a literal
        uint16_t value;   // the literal byte, or the match distance
    };
    std::vector<int32_t> head, chain;
    int32_t headBase = 1;  // what the positions of the next text are stored plus
    std::vector<token> tokens;

    void findMatches(const uint8_t* text, size_t n, class bitWriter& bits);
    void writeBlock(bitWriter& bits, bool last);
};

// Gzip members and BGZF blocks compressed by libdeflate at one of its levels
// (0 stores, 1 is the fastest, 12 the smallest): records of other fields
// than GT, whose matches are short and near, and every kind of text at the
// levels where the project's encoder is not the best choice. A block depends
// on its text and level alone.
class libraryDeflater {
public:
    libraryDeflater() = default;
    ~libraryDeflater();
    libraryDeflater(const libraryDeflater&) = delete;
    libraryDeflater& operator=(const libraryDeflater&) = delete;

    void gzipMember(int level, const char* text, size_t n, std::string& out);
    void bgzfBlock(int level, const char* text, size_t n, std::string& out);

private:
    libdeflate_compressor* compressor = nullptr;
    int compressorLevel = -1;

    // Appends the raw deflate data of the text; returns its size.
    size_t deflate(int level, const char* text, size_t n, std::string& out);
};

// Most text one BGZF block takes: even stored uncompressed, the block then
// stays within the 64 KiB that its size field can express.
const size_t bgzfBlockSize = 0xff00;
// The empty block that ends every BGZF file.
extern const char bgzfEndOfFile[28];

// The CRC-32 of gzip over the n bytes at data, continued from crc (0 to
// start): ISA-L's where the build has it, else libdeflate's; the same value.
uint32_t gzipCrc(uint32_t crc, const void* data, size_t n);

// Huffman code lengths for the n frequencies, none longer than maxBits. At
// least two symbols get a code, so that the code is complete, as inflaters
// require; frequencies are flattened until the longest code fits.
void huffmanLengths(const uint32_t* frequency, int n, int maxBits, uint8_t* lengths);
}  // namespace seamline

#endif
