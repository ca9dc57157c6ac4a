#ifndef SEAMLINE_BLOCKS_H
#define SEAMLINE_BLOCKS_H

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "deflate.h"
#include "threads.h"

namespace seamline {

// What each block of text holds and how it is wrapped: a gzip member of its
// own or a BGZF block of text of genotypes alone (haplotype rows, VCF or BCF
// records of GT alone, and the small text files); or, for VCF text or BCF
// records of any FORMAT fields, a BGZF block whose bytes tell whether it
// holds genotypes alone. With the level, that chooses the encoder
// (blocks.cpp): the project's for genotypes alone, libdeflate otherwise.
enum class blockFormat { gzipMember, bgzf, bgzfVcfRecords, bgzfBcfRecords };

// Compression levels, as bgzip's: 0 stores the text, 1 is the fastest, 9 the
// smallest; the default suits each kind of block (see blocks.cpp).
const int storedLevel = 0, fastestLevel = 1, smallestLevel = 9, defaultLevel = 6;

// The level of the outputs a run writes (--compression-level). Set once,
// before any output is opened or thread started; defaultLevel unless set.
void setCompressionLevel(int level);
int compressionLevel();

// What a block carries besides its text, for a caller that needs nothing.
struct noTag {};

// The text of one block, what it compresses to and the encoders that do it.
// The three go back and forth between the caller and the workers, so that
// buffers and encoder tables are made once and reused. Every encoder gets
// fully set state, so a block depends on its text, format and level alone.
struct blockBuffers {
    std::string text;
    std::string compressed;
    deflater encoder;
    libraryDeflater library;

    void compress(blockFormat format, int level = defaultLevel);

private:
    std::string alternative;  // the same text by another encoder

    // Into out: the text by libdeflate at libraryLevel, or by the project's
    // encoder; as a gzip member or a BGZF block.
    void compressWith(int libraryLevel, bool member, std::string& out);
};

// Cuts text into blocks of a fixed size, compresses them on a pool of
// workers and hands the compressed blocks back strictly in the order they
// were cut, each with the tag the caller attached to it (the index entries
// of its records, say). Cuts depend on the text alone and each block on its
// own text, so the bytes are the same for every thread count; with one
// thread each block is compressed on the caller's thread as it is cut.
//
// At most inFlight blocks are held besides the one being filled, compressing
// or compressed and not yet handed back, which bounds the memory. Blocks go
// back through put(const std::string& compressed, Tag& tag), called from
// the member that hands them back; a block that failed to compress throws
// what its job threw from there.
template <typename Tag = noTag>
class orderedBlocks {
public:
    // level: as setCompressionLevel's, the run's unless given.
    orderedBlocks(blockFormat format, size_t blockSize, int hashBytes, int threads, size_t inFlight,
                  int level = compressionLevel())
        : format(format),
          level(level),
          blockSize(blockSize),
          hashBytes(hashBytes),
          jobs(threads, inFlight) {}

    // Bytes of text in the block being filled.
    size_t gathered() const { return filling ? filling->text.size() : 0; }
    // The tag of the block being filled.
    Tag& tag() { return fillingBlock().tag; }

    // Appends n bytes of text, cutting the block each time it is full.
    template <typename Put>
    void add(const char* text, size_t n, Put&& put) {
        while (n > 0) {
            block& b = fillingBlock();
            const size_t taken = std::min(n, blockSize - b.text.size());
            b.text.append(text, taken);
            text += taken;
            n -= taken;
            if (b.text.size() == blockSize) cut(put);
        }
    }

    // Cuts the block being filled where it stands, even empty: it goes to
    // be compressed, after room is made by handing back the oldest blocks.
    // The blocks already compressed are handed back too.
    template <typename Put>
    void cut(Put&& put) {
        fillingBlock();
        while (jobs.full()) handBackOldest(put);
        jobs.submit([full = std::move(filling), format = format, level = level]() mutable {
            full->compress(format, level);
            return std::move(full);
        });
        cutSoFar++;
        while (jobs.ready()) handBackOldest(put);
    }

    // Hands back every block cut, waiting for those still compressing.
    template <typename Put>
    void flush(Put&& put) {
        while (!jobs.empty()) handBackOldest(put);
    }

    // Cuts the last block, unless it is empty while others were cut (an
    // empty text still makes one block), and hands back every block.
    template <typename Put>
    void finish(Put&& put) {
        if (gathered() > 0 || cutSoFar == 0) cut(put);
        flush(put);
    }

private:
    struct block : blockBuffers {
        Tag tag{};
    };
    typedef std::unique_ptr<block> blockPtr;

    const blockFormat format;
    const int level;
    const size_t blockSize;
    const int hashBytes;
    orderedPipeline<blockPtr> jobs;
    blockPtr filling;  // none until text or a tag comes, and after each cut
    std::vector<blockPtr> spare;
    size_t cutSoFar = 0;

    block& fillingBlock() {
        if (filling) return *filling;
        if (spare.empty()) {
            filling = std::make_unique<block>();
            filling->text.reserve(blockSize);
            filling->encoder.hashBytes = hashBytes;
        } else {
            filling = std::move(spare.back());
            spare.pop_back();
        }
        return *filling;
    }

    template <typename Put>
    void handBackOldest(Put& put) {
        blockPtr b = jobs.take();
        put(static_cast<const std::string&>(b->compressed), b->tag);
        b->text.clear();
        b->tag = Tag{};
        spare.push_back(std::move(b));
    }
};

}  // namespace seamline

#endif
