// The gzip encoder: every text must come back exactly through zlib, the
// member's CRC and length included. Input: the text itself.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "deflate.h"
#include "require.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static seamline::deflater encoder;  // reused, as the output filter reuses it
    std::string out;
    encoder.gzipMember(reinterpret_cast<const char*>(data), size, out);

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
    return 0;
}
