#ifndef SEAMLINE_DROPIN_SITEKEYS_H
#define SEAMLINE_DROPIN_SITEKEYS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace seamline {

// Numbers the sites of VCF or BCF records in order of first appearance, a
// site being its chromosome (a number), position and alleles (REF and ALT as
// text). The keys lie end to end in one block of bytes and the table holds
// site numbers alone, so a site costs its alleles and about 20 bytes: a few
// large blocks rather than one allocation per site.
class siteKeys {
public:
    // The site's number: the one it was given when first seen, else size().
    int32_t number(int32_t contig, int64_t pos, std::string_view alleles);
    size_t size() const { return ends.size(); }
    // Forgets every site and gives the memory back.
    void release();

private:
    std::string bytes;           // every key: contig, position, alleles
    std::vector<uint64_t> ends;  // per site: where its key ends in bytes
    std::vector<int32_t> table;  // site numbers by hash, -1 where free
    std::string probe;           // the key being looked up

    std::string_view key(int32_t site) const;
    size_t slotOf(std::string_view key) const;
    void grow();
};

}  // namespace seamline

#endif
