#ifndef SEAMLINE_TEXT_H
#define SEAMLINE_TEXT_H

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace seamline {

// Splits at any character of the delimiter set; never yields empty fields.
std::vector<std::string> tokenize(const std::string& str, const std::string& delimiters);
// The same split with a single delimiter character, without copying: stores
// at most n fields of text in fields and returns how many it stored.
size_t splitFields(std::string_view text, char delimiter, size_t n, std::string_view* fields);

// Reads a stream line by line in large blocks; a line ends at a line feed
// only, and a last line without one is still a line. The view returned by
// next stays valid until the following call.
class lineReader {
public:
    explicit lineReader(std::istream& in);
    // False at the end of the data, and on a read error (the stream is then bad).
    bool next(std::string_view& line);
    // The same, for a reader that needs only the start of a long line: when a
    // line outgrows the buffer, wanted is shown what has been read of it and
    // returns how much of it to keep, or npos to read on. The line is then cut
    // there and its rest skipped without being held in memory.
    bool next(std::string_view& line, size_t (*wanted)(std::string_view));

private:
    std::istream& in;
    std::vector<char> buffer;
    size_t begin = 0, end = 0;
    bool exhausted = false;
    bool cut = false;  // the rest of a line that was cut short is yet to be skipped
};

bool startsWith(std::string_view text, std::string_view prefix);

// A chromosome is named with or without a leading "chr".
std::string_view withoutChr(std::string_view chrom);

// Text inputs may come with Windows line ends.
void dropCarriageReturn(std::string_view& line);

std::string quoted(std::string_view text);

// A whole decimal number: at least one digit, nothing else, at most limit.
// The one reader of numbers in input files.
bool parseWhole(std::string_view field, int64_t limit, int64_t& value);

// Positions run from 1 to 2^31 - 1.
bool isPosition(int64_t value);
bool parsePosition(std::string_view field, int32_t& pos);
// The message for a position that is not one.
std::string badPosition(std::string_view field);

// strtol with base 10, narrowed to 32 bits; text without a leading number is
// 0. Only the number a site's CHROM begins with is read this way.
int32_t leadingNumber(std::string_view field);

}  // namespace seamline

#endif
