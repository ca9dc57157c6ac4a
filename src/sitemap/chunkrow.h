#ifndef SEAMLINE_SITEMAP_CHUNKROW_H
#define SEAMLINE_SITEMAP_CHUNKROW_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace seamline {

// Splits one line of a chunk file: five leading fields (chromosome,
// identifier, position, first and second allele), then one code per
// haplotype. Fields are separated by runs of spaces; a code means the second
// allele only when it is exactly "1".
class chunkRow {
public:
    std::string_view fields[5];
    std::vector<std::string> tok;  // the fields of a line that took the general path
    long badCode = -1;             // the first code that is neither "0" nor "1", or -1

    // Parses the line and, when it has ncodes + 5 fields, sets bit i of bits
    // (ncodes bits, all clear on entry) where code i is "1". Returns the
    // number of fields of the line. The views in fields stay valid until the
    // next call, or as long as the line when it is shorter.
    size_t parse(std::string_view line, size_t ncodes, uint64_t* bits);
    // The text of code i, once parse has found it bad.
    const std::string& code(long i) const { return tok[5 + i]; }
};

// Packs ncodes one-character codes that stand at every other byte of text
// (separated by single spaces): sets bit i of bits where code i is '1'.
// False when the text has any other layout, or a code other than '0' and '1'.
bool packCodes(const char* text, size_t ncodes, uint64_t* bits);

}  // namespace seamline

#endif
