// The in-place chunk row parser against the plain field-by-field reading.
// Input: a byte c, giving 2 * c codes per row (c < 128: the parser's
// sixteen-code blocks and its tail both get exercised), then the line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "files.h"
#include "require.h"
#include "sitemap/chunkrow.h"
#include "text.h"

using namespace seamline;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t ncodes = 2 * (data[0] % 128);
    const std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
    if (line.find('\n') != std::string::npos) return 0;

    std::vector<uint64_t> bits((ncodes + 63) / 64 + 1, 0);
    const uint64_t guard = 0x5a5a5a5a5a5a5a5aULL;
    bits.back() = guard;  // nothing may be written past the row
    chunkRow row;
    size_t nfields = row.parse(line, ncodes, bits.data());
    require(bits.back() == guard);

    std::vector<std::string> tok = tokenize(line, " ");
    require(nfields == tok.size());
    if (nfields != ncodes + 5) return 0;
    for (size_t f = 0; f < 5; f++) require(row.fields[f] == tok[f]);
    long badCode = -1;
    for (size_t i = 0; i < ncodes; i++) {
        require(((bits[i >> 6] >> (i & 63)) & 1) == (tok[5 + i] == "1"));
        if (badCode < 0 && tok[5 + i] != "0" && tok[5 + i] != "1") badCode = static_cast<long>(i);
    }
    // The first code other than "0" and "1" is the one the reader refuses.
    require(row.badCode == badCode);
    for (size_t i = ncodes; i < 64 * (bits.size() - 1); i++)
        require(((bits[i >> 6] >> (i & 63)) & 1) == 0);
    return 0;
}
