#include "inflate.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ios>
#include <new>
#include <stdexcept>

#if SEAMLINE_WITH_ISAL
#include <isa-l/igzip_lib.h>
#endif

namespace seamline {

namespace {

const size_t inputBufferSize = size_t(1) << 20;

std::ios_base::failure damaged() { return std::ios_base::failure("damaged compressed data"); }

// A BGZF block's gzip header: FEXTRA holding only the BC subfield, whose two
// bytes give the size of the whole block less one.
const uint8_t bgzfStart[] = {0x1f, 0x8b, 8, 4};
const uint8_t bgzfExtra[] = {6, 0, 'B', 'C', 2, 0};
const size_t bgzfHeaderSize = 18, gzipTrailerSize = 8;

uint32_t littleEndian(const uint8_t* p, int bytes) {
    uint32_t value = 0;
    for (int b = bytes - 1; b >= 0; b--) value = value << 8 | p[b];
    return value;
}

}  // namespace

inflaterLibrary defaultInflater() {
#if SEAMLINE_WITH_ISAL
    return inflaterLibrary::isal;
#else
    return inflaterLibrary::zlib;
#endif
}

bool inflaterBuilt(inflaterLibrary library) {
#if SEAMLINE_WITH_ISAL
    return library == inflaterLibrary::isal || library == inflaterLibrary::zlib;
#else
    return library == inflaterLibrary::zlib;
#endif
}

// The library's state for one member at a time.
struct gzipInflater::engine {
    const inflaterLibrary library;
#if SEAMLINE_WITH_ISAL
    inflate_state isal{};
#endif
    z_stream z{};
    libdeflate_decompressor* blocks = nullptr;  // whole BGZF blocks, with zlib

    explicit engine(inflaterLibrary library) : library(library) {
        if (!inflaterBuilt(library)) throw std::invalid_argument("this build has no such inflater");
#if SEAMLINE_WITH_ISAL
        if (library == inflaterLibrary::isal) {
            isal_inflate_init(&isal);
            return;
        }
#endif
        // 16 + the largest window: gzip wrapping only, with its checks.
        if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
        blocks = libdeflate_alloc_decompressor();
        if (!blocks) {
            inflateEnd(&z);
            throw std::bad_alloc();
        }
    }
    ~engine() {
        if (library != inflaterLibrary::zlib) return;
        inflateEnd(&z);
        libdeflate_free_decompressor(blocks);
    }

    void startMember() {
#if SEAMLINE_WITH_ISAL
        if (library == inflaterLibrary::isal) {
            isal_inflate_reset(&isal);
            isal.crc_flag = ISAL_GZIP;
            return;
        }
#endif
        if (inflateReset(&z) != Z_OK) throw damaged();
    }

    // Inflates from next into out as far as either goes, moving both on;
    // true when the member has ended, its checks passed.
    bool step(const uint8_t*& next, size_t& avail, char*& out, size_t& room) {
        const uint32_t inSize = static_cast<uint32_t>(std::min<size_t>(avail, UINT32_MAX));
        const uint32_t outSize = static_cast<uint32_t>(std::min<size_t>(room, UINT32_MAX));
        bool ended;
        uint32_t inLeft, outLeft;
#if SEAMLINE_WITH_ISAL
        if (library == inflaterLibrary::isal) {
            isal.next_in = const_cast<uint8_t*>(next);
            isal.avail_in = inSize;
            isal.next_out = reinterpret_cast<uint8_t*>(out);
            isal.avail_out = outSize;
            if (isal_inflate(&isal) != ISAL_DECOMP_OK) throw damaged();
            ended = isal.block_state == ISAL_BLOCK_FINISH;
            inLeft = isal.avail_in;
            outLeft = isal.avail_out;
        } else
#endif
        {
            z.next_in = const_cast<Bytef*>(next);
            z.avail_in = inSize;
            z.next_out = reinterpret_cast<Bytef*>(out);
            z.avail_out = outSize;
            const int status = ::inflate(&z, Z_NO_FLUSH);
            // Z_BUF_ERROR: no progress possible until more input comes.
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) throw damaged();
            ended = status == Z_STREAM_END;
            inLeft = z.avail_in;
            outLeft = z.avail_out;
        }
        next += inSize - inLeft;
        avail -= inSize - inLeft;
        out += outSize - outLeft;
        room -= outSize - outLeft;
        return ended;
    }
};

gzipInflater::gzipInflater(inflaterLibrary library)
    : inflating(new engine(library)), in(new uint8_t[inputBufferSize]) {
    restart();
}

gzipInflater::~gzipInflater() = default;

void gzipInflater::restart() {
    inflating->startMember();
    next = nullptr;
    avail = 0;
    seenInput = false;
    memberEnded = false;
    memberStarts = true;
}

size_t gzipInflater::read(const compressedSource& source, char* out, size_t n) {
    char* at = out;
    size_t room = n;
    while (room > 0) {
        if (memberEnded) {
            // Another member may follow, or zero bytes up to the end.
            if (avail == 0 && !refill(source)) break;
            if (next[0] == 0) {
                skipZeroPadding(source);
                break;
            }
            inflating->startMember();
            memberEnded = false;
            memberStarts = true;
        }
        if (avail == 0 && !refill(source))
            throw std::ios_base::failure("compressed data cut short");
        if (memberStarts && inflating->blocks && wholeBgzfBlock(source, at, room)) {
            memberEnded = true;
            continue;
        }
        // ISA-L misreads a gzip header that reaches it in pieces (one with
        // BGZF's extra field cut after its first bytes), so each member
        // starts with its header whole.
        if (memberStarts && inflating->library == inflaterLibrary::isal) gatherHeader(source);
        memberStarts = false;
        memberEnded = inflating->step(next, avail, at, room);
    }
    return n - room;
}

bool gzipInflater::wholeBgzfBlock(const compressedSource& source, char*& out, size_t& room) {
    if (!topUp(source, bgzfHeaderSize) || memcmp(next, bgzfStart, sizeof bgzfStart) != 0 ||
        memcmp(next + 10, bgzfExtra, sizeof bgzfExtra) != 0)
        return false;
    const size_t size = littleEndian(next + 16, 2) + size_t(1);
    if (size < bgzfHeaderSize + gzipTrailerSize || !topUp(source, size) ||
        littleEndian(next + size - 4, 4) > room)
        return false;
    // zlib reads any block that libdeflate does not take whole, and so
    // judges every damage.
    size_t used = 0, made = 0;
    if (libdeflate_gzip_decompress_ex(inflating->blocks, next, size, out, room, &used, &made) !=
            LIBDEFLATE_SUCCESS ||
        used != size)
        return false;
    next += size;
    avail -= size;
    out += made;
    room -= made;
    return true;
}

void gzipInflater::gatherHeader(const compressedSource& source) {
    enum : uint8_t { headerCrc = 2, extra = 4, name = 8, comment = 16 };
    size_t size = 10;
    if (!topUp(source, size)) return;
    const uint8_t flags = next[3];
    if (flags & extra) {
        if (!topUp(source, size + 2)) return;
        size += 2 + littleEndian(next + size, 2);
    }
    for (uint8_t text : {name, comment}) {
        if (!(flags & text)) continue;
        do {
            if (size >= inputBufferSize || !topUp(source, size + 1)) return;
        } while (next[size++] != 0);
    }
    if (flags & headerCrc) size += 2;
    if (size <= inputBufferSize) topUp(source, size);
}

bool gzipInflater::topUp(const compressedSource& source, size_t bytes) {
    if (avail >= bytes) return true;
    memmove(in.get(), next, avail);
    next = in.get();
    while (avail < bytes) {
        const size_t got = source(in.get() + avail, inputBufferSize - avail);
        if (got == 0) return false;
        avail += got;
    }
    return true;
}

bool gzipInflater::refill(const compressedSource& source) {
    const size_t got = source(in.get(), inputBufferSize);
    if (got == 0) {
        if (!seenInput) throw std::ios_base::failure("empty compressed file");
        return false;
    }
    seenInput = true;
    next = in.get();
    avail = got;
    return true;
}

void gzipInflater::skipZeroPadding(const compressedSource& source) {
    do {
        if (std::any_of(next, next + avail, [](uint8_t b) { return b != 0; }))
            throw std::ios_base::failure("trailing data");
        avail = 0;
    } while (refill(source));
}

}  // namespace seamline
