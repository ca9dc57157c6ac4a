#ifndef SEAMLINE_INFLATE_H
#define SEAMLINE_INFLATE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace seamline {

// The library that inflates gzip input. ISA-L is several times faster than
// zlib; builds without it (the static build: Debian ships no static ISA-L)
// inflate through zlib, and BGZF blocks that lie whole in the input through
// libdeflate. Both read the same files into the same text.
enum class inflaterLibrary { isal, zlib };

// The library of this build: ISA-L where the build found it.
inflaterLibrary defaultInflater();
// False for ISA-L in a build without it.
bool inflaterBuilt(inflaterLibrary library);

// Where an inflater takes its compressed bytes: fills at most n bytes at
// into and returns how many, 0 at the end of the input.
typedef std::function<size_t(uint8_t* into, size_t n)> compressedSource;

// Reads a gzip file: every member of a multi-member file in turn, each
// member's CRC and length checked. Zero bytes after the last member are
// padding, as gzip takes them. An empty input, damaged or cut-short data and
// other bytes after the last member throw std::ios_base::failure.
class gzipInflater {
public:
    explicit gzipInflater(inflaterLibrary library = defaultInflater());
    ~gzipInflater();
    gzipInflater(const gzipInflater&) = delete;
    gzipInflater& operator=(const gzipInflater&) = delete;

    // Up to n bytes of text into out, fewer only at the end; 0 once the text
    // has ended.
    size_t read(const compressedSource& source, char* out, size_t n);
    // Forgets what was read: the next read starts a new file.
    void restart();

private:
    struct engine;
    std::unique_ptr<engine> inflating;
    std::unique_ptr<uint8_t[]> in;  // compressed bytes taken from the source
    const uint8_t* next = nullptr;  // the first of them not yet inflated
    size_t avail = 0;
    bool seenInput = false;
    bool memberEnded = false;
    bool memberStarts = true;  // nothing of the current member inflated yet

    bool refill(const compressedSource& source);
    // Moves the bytes left to the front and reads until there are as many
    // as asked; false at the end of the input.
    bool topUp(const compressedSource& source, size_t bytes);
    // Inflates the BGZF block at next in one go where it lies whole in the
    // input and its text fits the room; false leaves it to the engine.
    bool wholeBgzfBlock(const compressedSource& source, char*& out, size_t& room);
    // Reads on until the gzip header at next lies whole in the input, as far
    // as the input and the buffer go.
    void gatherHeader(const compressedSource& source);
    void skipZeroPadding(const compressedSource& source);
};

}  // namespace seamline

#endif
