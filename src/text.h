#ifndef SEAMLINE_TEXT_H
#define SEAMLINE_TEXT_H

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace seamline {

// The one splitter of text into fields, at any character of a set of
// delimiters, without copying. Fields are counted one of two ways:
// - runs: a run of delimiters separates two fields and delimiters at either
//   end give none, so that no field is empty (rows of fields separated by
//   spaces, the site map's columns);
// - exact: every delimiter ends a field, empty fields included, and every
//   text has at least one field (the columns of a VCF record).
class fieldSplitter {
public:
    enum mode { runs, exact };

    fieldSplitter(std::string_view text, std::string_view delimiters, mode how)
        : text(text), delimiters(delimiters), how(how) {}

    // The next field; false when there is none.
    bool next(std::string_view& field) {
        if (at == std::string_view::npos) return false;
        if (how == runs && (at = skip(at)) == std::string_view::npos) return false;
        const size_t end = find(at);
        field = text.substr(at, (end == std::string_view::npos ? text.size() : end) - at);
        at = end == std::string_view::npos ? end : end + 1;
        return true;
    }
    // At most n of the next fields; returns how many it stored.
    size_t take(size_t n, std::string_view* fields) {
        size_t count = 0;
        while (count < n && next(fields[count])) count++;
        return count;
    }
    // The text after the delimiter that ended the last field taken; false
    // when that field ended the text.
    bool rest(std::string_view& remainder) const {
        if (at == std::string_view::npos) return false;
        remainder = text.substr(at);
        return true;
    }

private:
    std::string_view text, delimiters;
    mode how;
    size_t at = 0;  // where the next field may start; npos after the last

    size_t find(size_t from) const {
        return delimiters.size() == 1 ? text.find(delimiters[0], from)
                                      : text.find_first_of(delimiters, from);
    }
    size_t skip(size_t from) const {
        return delimiters.size() == 1 ? text.find_first_not_of(delimiters[0], from)
                                      : text.find_first_not_of(delimiters, from);
    }
};

// Every field of str at any character of the delimiter set, as copies;
// never yields empty fields (the splitter's runs).
std::vector<std::string> tokenize(const std::string& str, const std::string& delimiters);

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

// The one reader of positions (POS of a VCF record or of a text row, the
// number of a step's part): a whole decimal number from 1 to limit. Records
// may hold any position htslib reads (maxPosition); the site map and its
// chunk rows hold positions up to 2^31 - 1 (sitePositions).
const int64_t maxPosition = (int64_t(INT32_MAX) << 32) | INT32_MAX;
const int64_t sitePositions = INT32_MAX;
bool parsePosition(std::string_view field, int64_t limit, int64_t& pos);
// The range check of the same reader, for a position already read as a number.
bool isPosition(int64_t pos, int64_t limit);
// The message for a position that is not one of the site map's.
std::string badPosition(std::string_view field);

// strtol with base 10, narrowed to 32 bits; text without a leading number is
// 0. Only the number a site's CHROM begins with is read this way.
int32_t leadingNumber(std::string_view field);

}  // namespace seamline

#endif
