// The site map reader. Input: a storage byte (see harness::store), then the
// bytes of the site map.
#include <cstddef>
#include <cstdint>
#include <string>

#include "data.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 1) return 0;
    std::string text(reinterpret_cast<const char*>(bytes + 1), size - 1);
    std::string file = harness::store("sites.vcf", static_cast<char>(bytes[0]), text);
    harness::isolated([&] {
        data run;
        run.readMap(file.c_str());
    });
    return 0;
}
