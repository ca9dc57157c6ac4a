// The site map reader. Input: a storage byte (see harness::store), then the
// bytes of the site map.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "harness.h"
#include "require.h"
#include "sitemap/sitemap.h"
#include "vcfread.h"

using namespace seamline;

// htslib's own messages are off, as in seamline: the readers report every failure.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quietHtslib();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 1) return 0;
    std::string text(reinterpret_cast<const char*>(bytes + 1), size - 1);
    std::string file = harness::store("sites.vcf", static_cast<char>(bytes[0]), text);
    harness::contained([&] {
        const siteMap run = siteMap::read(file);
        // A site map that was read holds distinct sample names and sites the
        // outputs can carry: positions in range, no spaces in the fields.
        std::set<std::string> names(run.samples().begin(), run.samples().end());
        require(names.size() == run.samples().size());
        for (const std::string& name : run.samples()) require(name.find(' ') == std::string::npos);
        for (const site& s : run.sites()) {
            require(s.pos >= 1);
            for (std::string_view f : {run.id(s), run.ref(s), run.alt(s)})
                require(f.find(' ') == std::string_view::npos);
        }
    });
    return 0;
}
