#include "regions.h"

#include <htslib/synced_bcf_reader.h>

#include <algorithm>

#include "failure.h"

namespace seamline {

regionList::regionList(const char* regions, bool isFile, int overlap)
    : restricting(true), rule(overlap) {
    bcf_sr_regions_t* list = bcf_sr_regions_init(regions, isFile ? 1 : 0, 0, 1, -2);
    if (!list)
        fail("cannot read the regions [" + std::string(regions) + "]" +
             (isFile ? "" : ": give CHR, CHR:FROM or CHR:FROM-TO, separated by commas"));
    for (int s = 0; s < list->nseqs; s++) {
        const std::string chrom = list->seq_names[s];
        if (bcf_sr_regions_seek(list, chrom.c_str()) < 0) continue;
        while (bcf_sr_regions_next(list) == 0 && list->iseq == s)
            stretches[chrom].emplace_back(list->start, list->end);
    }
    bcf_sr_regions_destroy(list);
    for (auto& [chrom, spans] : stretches) {
        std::sort(spans.begin(), spans.end());
        std::vector<std::pair<int64_t, int64_t>> merged;
        for (const auto& span : spans)
            if (!merged.empty() && span.first <= merged.back().second + 1)
                merged.back().second = std::max(merged.back().second, span.second);
            else
                merged.push_back(span);
        spans = merged;
    }
}

bool regionList::meets(const std::string& chrom, int64_t begin, int64_t end) const {
    if (!restricting) return true;
    auto found = stretches.find(chrom);
    if (found == stretches.end()) return false;
    const auto& spans = found->second;
    // The first stretch that ends at begin or after.
    auto at = std::lower_bound(
        spans.begin(), spans.end(), begin,
        [](const std::pair<int64_t, int64_t>& span, int64_t pos) { return span.second < pos; });
    return at != spans.end() && at->first <= end;
}

int64_t variantBegin(int64_t pos0, const char* const* alleles, int count, int64_t refLength) {
    int64_t off = refLength;
    for (int i = 1; i < count && off > 0; i++) {
        int64_t j = 0;
        while (alleles[0][j] && alleles[i][j] && alleles[0][j] == alleles[i][j]) j++;
        off = std::min(off, j);
    }
    return count > 0 ? pos0 + off : pos0;
}

}  // namespace seamline
