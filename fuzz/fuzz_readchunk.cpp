// The chunk reader against a fixed site map of two samples. Input: a storage
// byte (see harness::store), a byte that sets --flip when it is 'f', then the
// bytes of the chunk file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "harness.h"
#include "require.h"
#include "sitemap/chunks.h"
#include "vcfread.h"

using namespace seamline;

namespace {

// Sites of the bundled example, plus a second site at the first position.
const char mapText[] =
    "##fileformat=VCFv4.2\n"
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tNA12878\tNA12881\n"
    "20\t61780\trs91464062\tC\tT\n"
    "20\t61780\trs91464063\tC\tG\n"
    "20\t62470\trs77898794\tA\tC\n"
    "20\t62683\trs55591753\tA\tC\n"
    "20\t62799\trs43834131\tA\tT\n"
    "20\t63324\trs29004874\tT\tC\n"
    "20\t63568\trs92444773\tG\tT\n"
    "20\t63951\trs13445242\tG\tC\n"
    "20\t64633\trs11934179\tT\tC\n"
    "20\t64884\trs28087304\tC\tA\n"
    "20\t65020\trs35013844\tA\tT\n"
    "20\t65770\trs93643761\tG\tC\n"
    "20\t66072\trs16797008\tC\tG\n"
    "20\t66135\trs32401532\tG\tT\n"
    "20\t66399\trs2742157\tC\tA\n"
    "20\t67257\trs19370689\tG\tC\n"
    "20\t68008\trs97810342\tG\tT\n";

}  // namespace

// htslib's own messages are off, as in seamline: the readers report every failure.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    seamline::quietHtslib();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    static const std::string map = harness::store("map.vcf", 'p', mapText);
    if (size < 2) return 0;
    std::string text(reinterpret_cast<const char*>(bytes + 2), size - 2);
    std::string file = harness::store("chunk.haps", static_cast<char>(bytes[0]), text);
    bool flip = bytes[1] == 'f';
    harness::contained([&] {
        const siteMap sites = siteMap::read(map);
        std::vector<chunk> chunks = readChunks({file}, sites, flip, 1);
        require(chunks.size() == 1);
        const chunk& c = chunks[0];
        require(c.sites.size() == c.rows.size());
        require(c.rows.words() == (2 * sites.samples().size() + 63) / 64);
        for (size_t r = 0; r < c.sites.size(); r++) {
            require(c.sites[r] >= 0 && static_cast<size_t>(c.sites[r]) < sites.sites().size());
            // Rows follow the site map's order, each site once.
            require(r == 0 || c.sites[r] > c.sites[r - 1]);
        }
    });
    return 0;
}
