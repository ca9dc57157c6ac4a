#include "dropin/sitekeys.h"

#include <cstring>
#include <functional>

#include "failure.h"

namespace seamline {

namespace {

void appendBytes(std::string& out, const void* data, size_t n) {
    out.append(static_cast<const char*>(data), n);
}

}  // namespace

std::string_view siteKeys::key(int32_t site) const {
    const uint64_t begin = site == 0 ? 0 : ends[site - 1];
    return std::string_view(bytes).substr(begin, ends[site] - begin);
}

// The slot of key: where it stands, or the free slot where it would go.
size_t siteKeys::slotOf(std::string_view k) const {
    const size_t mask = table.size() - 1;
    for (size_t slot = std::hash<std::string_view>()(k) & mask;; slot = (slot + 1) & mask)
        if (table[slot] < 0 || key(table[slot]) == k) return slot;
}

// Doubles the table, keeping it at most half full.
void siteKeys::grow() {
    table.assign(table.empty() ? 1024 : 2 * table.size(), -1);
    for (size_t site = 0; site < ends.size(); site++)
        table[slotOf(key(static_cast<int32_t>(site)))] = static_cast<int32_t>(site);
}

int32_t siteKeys::number(int32_t contig, int64_t pos, std::string_view alleles) {
    probe.clear();
    appendBytes(probe, &contig, sizeof contig);
    appendBytes(probe, &pos, sizeof pos);
    probe.append(alleles);
    if (2 * (ends.size() + 1) > table.size()) grow();
    const size_t slot = slotOf(probe);
    if (table[slot] >= 0) return table[slot];
    if (ends.size() >= INT32_MAX) fail("too many sites: more than " + std::to_string(INT32_MAX));
    bytes += probe;
    ends.push_back(bytes.size());
    table[slot] = static_cast<int32_t>(ends.size() - 1);
    return table[slot];
}

void siteKeys::release() {
    std::string().swap(bytes);
    std::vector<uint64_t>().swap(ends);
    std::vector<int32_t>().swap(table);
}

}  // namespace seamline
