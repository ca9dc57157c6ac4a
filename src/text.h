#ifndef SEAMLINE_TEXT_H
#define SEAMLINE_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>

namespace seamline {

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
