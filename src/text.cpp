#include "text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace seamline {

std::vector<std::string> tokenize(const std::string& str, const std::string& delimiters) {
    std::vector<std::string> tokens;
    fieldSplitter fields(str, delimiters, fieldSplitter::runs);
    for (std::string_view field; fields.next(field);) tokens.emplace_back(field);
    return tokens;
}

lineReader::lineReader(std::istream& in) : in(in), buffer(1 << 20) {}

bool lineReader::next(std::string_view& line) { return next(line, nullptr); }

bool lineReader::next(std::string_view& line, size_t (*wanted)(std::string_view)) {
    if (cut) {
        // Skip what is left of the line that was cut, up to its line feed.
        cut = false;
        begin = end;
        for (;;) {
            const void* nl = memchr(buffer.data() + begin, '\n', end - begin);
            if (nl) {
                begin = static_cast<const char*>(nl) - buffer.data() + 1;
                break;
            }
            if (exhausted) return false;
            begin = end = 0;
            in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            end = static_cast<size_t>(in.gcount());
            if (!in) exhausted = true;
        }
    }
    size_t scanned = begin;
    for (;;) {
        const char* data = buffer.data();
        const void* nl = memchr(data + scanned, '\n', end - scanned);
        if (nl) {
            size_t at = static_cast<const char*>(nl) - data;
            line = std::string_view(data + begin, at - begin);
            begin = at + 1;
            return true;
        }
        if (exhausted) {
            // A read error loses the unfinished line with the rest.
            if (begin == end || in.bad()) return false;
            line = std::string_view(data + begin, end - begin);
            begin = end;
            return true;
        }
        // Keep the unfinished line, at the front of a buffer with room to read into.
        memmove(buffer.data(), data + begin, end - begin);
        end -= begin;
        scanned = end;
        begin = 0;
        if (end == buffer.size()) {
            size_t keep =
                wanted ? wanted(std::string_view(buffer.data(), end)) : std::string_view::npos;
            if (keep != std::string_view::npos) {
                line = std::string_view(buffer.data(), std::min(keep, end));
                cut = true;
                return true;
            }
            buffer.resize(2 * buffer.size());
        }
        in.read(buffer.data() + end, static_cast<std::streamsize>(buffer.size() - end));
        end += static_cast<size_t>(in.gcount());
        if (!in) exhausted = true;
    }
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string_view withoutChr(std::string_view chrom) {
    return startsWith(chrom, "chr") ? chrom.substr(3) : chrom;
}

void dropCarriageReturn(std::string_view& line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

bool parseWhole(std::string_view field, int64_t limit, int64_t& value) {
    if (field.empty()) return false;
    value = 0;
    for (char ch : field) {
        if (ch < '0' || ch > '9') return false;
        const int digit = ch - '0';
        if (value > (limit - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

bool isPosition(int64_t pos, int64_t limit) { return pos >= 1 && pos <= limit; }

bool parsePosition(std::string_view field, int64_t limit, int64_t& pos) {
    return parseWhole(field, limit, pos) && isPosition(pos, limit);
}

std::string badPosition(std::string_view field) {
    return "position " + quoted(field) + " is not a whole number from 1 to 2147483647";
}

int32_t leadingNumber(std::string_view field) {
    return static_cast<int32_t>(strtol(std::string(field).c_str(), nullptr, 10));
}

}  // namespace seamline
