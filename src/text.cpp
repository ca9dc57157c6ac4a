#include "text.h"

#include <cstdlib>

namespace seamline {

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
        value = value * 10 + (ch - '0');
        if (value > limit) return false;
    }
    return true;
}

bool isPosition(int64_t value) { return value >= 1 && value <= INT32_MAX; }

bool parsePosition(std::string_view field, int32_t& pos) {
    int64_t value;
    if (!parseWhole(field, INT32_MAX, value) || !isPosition(value)) return false;
    pos = static_cast<int32_t>(value);
    return true;
}

std::string badPosition(std::string_view field) {
    return "position " + quoted(field) + " is not a whole number from 1 to 2147483647";
}

int32_t leadingNumber(std::string_view field) {
    return static_cast<int32_t>(strtol(std::string(field).c_str(), nullptr, 10));
}

}  // namespace seamline
