// The gzip and BGZF encoders: every text must come back exactly through
// zlib, the member's CRC and length included, from the project's encoder
// (every byte of a match hashed, or long matches at their first byte only)
// and from every kind of block at a level the input's first byte picks,
// whichever encoder that level takes. Input: the text itself.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "blocks.h"
#include "deflate.h"
#include "require.h"

namespace {

void requireInflatesTo(std::string& out, const uint8_t* data, size_t size) {
    z_stream z{};
    require(inflateInit2(&z, 15 + 16) == Z_OK);
    std::string back(size + 1, '\0');
    z.next_in = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_in = static_cast<uInt>(out.size());
    z.next_out = reinterpret_cast<Bytef*>(&back[0]);
    z.avail_out = static_cast<uInt>(back.size());
    require(inflate(&z, Z_FINISH) == Z_STREAM_END);
    require(z.avail_in == 0);
    require(z.total_out == size);
    inflateEnd(&z);
    require(back.compare(0, size, reinterpret_cast<const char*>(data), size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Reused, as the output filters reuse them.
    static seamline::deflater encoder, records;
    static seamline::blockBuffers block;
    records.insertLimit = 64;
    const char* text = reinterpret_cast<const char*>(data);
    std::string out;
    encoder.gzipMember(text, size, out);
    requireInflatesTo(out, data, size);
    out.clear();
    records.gzipMember(text, size, out);
    requireInflatesTo(out, data, size);
    const int level = size > 0 ? data[0] % (seamline::smallestLevel + 1) : seamline::defaultLevel;
    const size_t n = std::min(size, seamline::bgzfBlockSize);
    for (seamline::blockFormat format :
         {seamline::blockFormat::gzipMember, seamline::blockFormat::bgzf,
          seamline::blockFormat::bgzfVcfRecords, seamline::blockFormat::bgzfBcfRecords}) {
        block.text.assign(text, format == seamline::blockFormat::gzipMember ? size : n);
        block.compress(format, level);
        if (format != seamline::blockFormat::gzipMember) require(block.compressed.size() <= 65536);
        requireInflatesTo(block.compressed, data, block.text.size());
    }
    return 0;
}
