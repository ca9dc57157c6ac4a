// A whole run. Input: a flag byte, then parts separated by lines "==": the
// site map, the scaffold list, then up to six chunk files. Flag bit 0 sets
// --flip, bit 1 gives the site map gzip-compressed, bit 2 writes the
// haplotype file gzip-compressed and bit 3 bzip2-compressed. Chunk file k is
// stored plain, gzip- or bzip2-compressed as k % 3 says.
#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "files.h"
#include "harness.h"
#include "join.h"
#include "require.h"
#include "scaffold.h"
#include "sitemap/chunks.h"
#include "sitemap/haplotypes.h"
#include "vcfread.h"
#include "writers.h"

using namespace seamline;

namespace {

size_t countLines(const std::string& file) {
    ifile in(file);
    require(in.isOpen());
    size_t n = 0;
    std::string line;
    while (std::getline(in, line)) n++;
    require(!in.bad());
    return n;
}

bool exists(const std::string& file) {
    struct stat st;
    return lstat(file.c_str(), &st) == 0;
}

// Temporary outputs left in the scratch directory.
int leftovers() {
    int n = 0;
    DIR* d = opendir(harness::scratch().c_str());
    require(d != nullptr);
    while (dirent* e = readdir(d))
        if (std::string(e->d_name).compare(0, 10, ".seamline-") == 0) n++;
    closedir(d);
    return n;
}

}  // namespace

// htslib's own messages are off, as in seamline: the readers report every failure.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    seamline::quietHtslib();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = bytes[0];
    const std::string all(reinterpret_cast<const char*>(bytes + 1), size - 1);
    // A part ends before a line "==" (the line itself belongs to no part).
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t line = 0; line < all.size() && parts.size() < 7;) {
        if (all.compare(line, 3, "==\n") == 0) {
            parts.push_back(all.substr(from, line - from));
            from = line + 3;
            line = from;
            continue;
        }
        line = all.find('\n', line);
        if (line == std::string::npos) break;
        line++;
    }
    parts.push_back(all.substr(from));
    if (parts.size() < 3) return 0;

    std::string map = harness::store("sites.vcf", flags & 2 ? 'g' : 'p', parts[0]);
    std::string scaffoldFile = harness::store("scaffold.txt", 'p', parts[1]);
    std::vector<std::string> chunks;
    const char modes[] = {'p', 'g', 'b'};
    for (size_t k = 2; k < parts.size(); k++)
        chunks.push_back(
            harness::store("c" + std::to_string(k - 2) + ".haps", modes[(k - 2) % 3], parts[k]));
    const std::string haps = harness::path(flags & 4   ? "o.haps.gz"
                                           : flags & 8 ? "o.haps.bz2"
                                                       : "o.haps");
    const std::string samples = harness::path("o.sample");
    unlink(haps.c_str());
    unlink(samples.c_str());

    int status = harness::contained([&] {
        outputSet outputs;
        outputs.add(samples);
        outputs.add(haps);
        const siteMap sites = siteMap::read(map);
        const std::vector<bool> scaffold = scaffolded(sites.samples(), readScaffold(scaffoldFile));
        joinResult joined = joinChunks(readChunks(chunks, sites, flags & 1, 1), sites.sites(),
                                       scaffold, seamRule::middle);
        writeSamples(outputs[0], sites.samples());
        writeHaplotypes(outputs, 1, sites, joined, {});
        outputs.commit();
        // One line per mapped site, and the two header lines plus one per sample.
        size_t mapped = 0;
        for (const source& s : joined.sources) mapped += s.chunk >= 0;
        require(countLines(haps) == mapped);
        require(countLines(samples) == sites.samples().size() + 2);
    });
    // A finished run leaves both outputs, a failed one neither; no temporary file stays.
    require(exists(haps) == (status == 0));
    require(exists(samples) == (status == 0));
    require(leftovers() == 0);
    return 0;
}
