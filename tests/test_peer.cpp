// bcftools' own ligation tests (tests/peer/): each set of chunks joined in
// one process and in steps, against the output bcftools expects of it.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

const std::string peer = std::string(SEAMLINE_SOURCE) + "/tests/peer/";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) out.push_back(field);
    return out;
}

// "a|b" as "b|a"; any other genotype as it stands.
std::string exchanged(const std::string& gt) {
    const size_t bar = gt.find('|');
    return bar == std::string::npos ? gt : gt.substr(bar + 1) + "|" + gt.substr(0, bar);
}

// The records of a VCF: CHROM, POS, REF and ALT, then per sample its GT and,
// with ps, its PS.
std::vector<std::vector<std::string>> records(const std::string& path, bool ps) {
    std::vector<std::vector<std::string>> out;
    const std::string format = ps ? "[\\t%GT\\t%PS]" : "[\\t%GT]";
    for (const std::string& line :
         lines(shell("bcftools query -f '%CHROM\\t%POS\\t%REF\\t%ALT" + format + "\\n' " + path)))
        out.push_back(fields(line));
    return out;
}

std::string siteOf(const std::vector<std::string>& record) {
    return record[0] + ":" + record[1] + ":" + record[2] + ":" + record[3];
}

// Every record of bcftools' output is in ours, in the same order, and ours
// holds each record of the chunks once; every sample's GT is bcftools' up to
// one exchange per chromosome and phase set of bcftools'.
void expectPeerRecords(const std::string& ours, const std::string& expected,
                       const std::vector<std::string>& chunks) {
    const auto mine = records(ours, false), theirs = records(expected, true);
    std::set<std::string> inChunks;
    for (const std::string& c : chunks)
        for (const auto& r : records(peer + c, false)) inChunks.insert(siteOf(r));
    std::map<std::string, size_t> at;
    for (size_t i = 0; i < mine.size(); i++)
        EXPECT_TRUE(at.emplace(siteOf(mine[i]), i).second) << siteOf(mine[i]) << " twice";
    EXPECT_EQ(at.size(), inChunks.size());
    std::map<std::string, int>
        relation;  // per sample, chromosome and phase set: 1 same, 2 exchanged
    size_t last = 0;
    for (const auto& r : theirs) {
        const auto found = at.find(siteOf(r));
        ASSERT_NE(found, at.end()) << siteOf(r) << " missing";
        EXPECT_GE(found->second, last) << siteOf(r) << " out of order";
        last = found->second;
        const auto& m = mine[found->second];
        for (size_t k = 0; 4 + 2 * k < r.size(); k++) {
            const std::string gt = r[4 + 2 * k], ours = m[4 + k];
            const std::string set = std::to_string(k) + ":" + r[0] + ":" + r[5 + 2 * k];
            if (ours == gt && ours == exchanged(gt)) continue;
            const int now = ours == gt ? 1 : ours == exchanged(gt) ? 2 : 0;
            EXPECT_NE(now, 0) << siteOf(r) << " sample " << k << ": " << ours << " for " << gt;
            int& before = relation[set];
            if (before == 0) before = now;
            EXPECT_EQ(now, before) << siteOf(r) << " sample " << k << ": a second exchange";
        }
    }
}

// The join run as its steps, each as its own process.
runResult steps(const std::string& dir, const std::vector<std::string>& join, size_t chunks) {
    const std::vector<std::string> args = with(join, {"--work", "w", "--step"});
    runResult r = runSeamline(dir, with(args, {"plan"}));
    for (size_t c = 2; r.status == 0 && c <= chunks; c++)
        r = runSeamline(dir, with(args, {"boundary", "--part", std::to_string(c)}));
    if (r.status == 0) r = runSeamline(dir, with(args, {"fold"}));
    for (size_t c = 1; r.status == 0 && c <= chunks; c++)
        r = runSeamline(dir, with(args, {"stretch", "--part", std::to_string(c)}));
    if (r.status == 0) r = runSeamline(dir, with(args, {"gather"}));
    return r;
}

std::string body(const std::string& path) { return shell("grep -v '^##' " + path); }

// A last window within the one before it (concat.3's chr2: 300-510, then
// 310-510), chromosomes in another order than by name, a chunk without
// records, neighbours in one chromosome of two files, a gap joined with
// --allow-gaps.
TEST(PeerLigation, BcftoolsTestShapesJoinInOneProcessAndInSteps) {
    const struct {
        std::vector<std::string> chunks, options;
        std::string expected;
        std::vector<std::string> steps;  // chunks of one chromosome each, joined in steps
    } cases[] = {
        {{"concat.3.a.vcf", "concat.3.b.vcf", "concat.3.0.vcf", "concat.3.c.vcf", "concat.3.d.vcf",
          "concat.3.e.vcf", "concat.3.f.vcf"},
         {},
         "concat.3.vcf.out",
         {"concat.3.b.vcf", "concat.3.c.vcf", "concat.3.d.vcf", "concat.3.e.vcf"}},
        {{"concat.4.a.vcf", "concat.4.b.vcf"},
         {},
         "concat.5.out",
         {"concat.4.a.vcf", "concat.4.b.vcf"}},
        {{"concat.5.a.vcf", "concat.5.b.vcf", "concat.5.c.vcf"},
         {"--allow-gaps"},
         "concat.5.2.out",
         {"concat.5.a.vcf", "concat.5.b.vcf", "concat.5.c.vcf"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        tempDir dir;
        std::vector<std::string> chunks;
        for (const std::string& name : c.chunks) chunks.push_back(peer + name);
        runResult r = runSeamline(
            dir.root, with(with(with({"--chunks"}, chunks), {"-o", "o.vcf"}), c.options));
        ASSERT_EQ(r.status, 0) << r.err;
        expectPeerRecords(dir.path("o.vcf"), peer + c.expected, c.chunks);

        std::vector<std::string> part;
        for (const std::string& name : c.steps) part.push_back(peer + name);
        const std::vector<std::string> join = with(with({"--chunks"}, part), c.options);
        r = runSeamline(dir.root, with(join, {"-o", "one.vcf"}));
        ASSERT_EQ(r.status, 0) << r.err;
        r = steps(dir.root, with(join, {"-o", "s.vcf"}), part.size());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(body(dir.path("s.vcf")), body(dir.path("one.vcf")));
    }
}

}  // namespace
