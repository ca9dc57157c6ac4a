#ifndef SEAMLINE_REGIONS_H
#define SEAMLINE_REGIONS_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace seamline {

// The regions that restrict the output (bcftools' -r and -R), read by
// htslib as bcftools reads them: "CHR", "CHR:FROM", "CHR:FROM-TO" separated
// by commas, or a file of CHR, POS or CHR, FROM, TO columns (BED when named
// .bed or .bed.gz), and the rule of --regions-overlap.
class regionList {
public:
    // No regions: every record is written.
    regionList() = default;
    // overlap: 0, a record is in when its POS is; 1, when any base of its REF
    // is; 2, when any base its variant changes is. Unreadable regions fail.
    regionList(const char* regions, bool isFile, int overlap);

    bool restricts() const { return restricting; }
    int overlap() const { return rule; }
    // Whether the stretch from begin to end (0-based, both included) on
    // chrom meets a region; begin after end meets one that holds both ends'
    // neighbours, as htslib tells an insertion.
    bool meets(const std::string& chrom, int64_t begin, int64_t end) const;

private:
    bool restricting = false;
    int rule = 1;
    std::map<std::string, std::vector<std::pair<int64_t, int64_t>>> stretches;  // merged, in order
};

// The first base, 0-based, that a record's variant changes: after the bases
// its REF shares with every ALT, as htslib's region overlap counts them.
int64_t variantBegin(int64_t pos0, const char* const* alleles, int count, int64_t refLength);

}  // namespace seamline

#endif
