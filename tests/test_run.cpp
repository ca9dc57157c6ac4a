// End-to-end runs of the built binary: chunk reading, joins, mapping and output.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <random>
#include <sstream>

#include "testutil.h"

namespace {

std::string lines(std::initializer_list<std::string> ls) {
    std::string s;
    for (const std::string& l : ls) s += l + "\n";
    return s;
}

mode_t shellUmask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, sep)) out.push_back(item);
    return out;
}

// A site map of nSites sites at positions 100, 200, ... (alleles A and G) and
// nSamples samples, with a known haplotype pair per sample and site.
class Run : public ::testing::Test {
protected:
    tempDir dir;
    int nSamples = 0, nSites = 0;
    std::vector<std::vector<int>> truth;  // truth[site][2k + h]

    void makeMap(int samples, int sites, uint32_t seed = 7) {
        nSamples = samples;
        nSites = sites;
        std::mt19937 rng(seed);
        std::string map =
            "##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
        for (int k = 0; k < samples; k++) map += "\tS" + std::to_string(k + 1);
        map += "\n";
        truth.assign(sites, std::vector<int>(2 * samples));
        for (int i = 0; i < sites; i++) {
            map += "20\t" + std::to_string(pos(i)) + "\trs" + std::to_string(i) +
                   "\tA\tG\t.\tPASS\t.\tGT";
            for (int k = 0; k < samples; k++) {
                truth[i][2 * k] = rng() & 1;
                truth[i][2 * k + 1] = rng() & 1;
                map += "\t" + std::to_string(truth[i][2 * k]) + "|" +
                       std::to_string(truth[i][2 * k + 1]);
            }
            map += "\n";
        }
        spit(dir.path("sites.vcf"), map);
    }
    static int pos(int site) { return 100 * (site + 1); }

    std::string row(int i, const std::vector<bool>& exchanged, bool swapAlleles = false) {
        std::string line = "20 rs" + std::to_string(i) + " " + std::to_string(pos(i)) +
                           (swapAlleles ? " G A" : " A G");
        for (int k = 0; k < nSamples; k++) {
            bool x = k < static_cast<int>(exchanged.size()) && exchanged[k];
            int a = truth[i][2 * k + x], b = truth[i][2 * k + !x];
            if (swapAlleles) a = !a, b = !b;
            line += " " + std::to_string(a) + " " + std::to_string(b);
        }
        return line + "\n";
    }
    // Writes the rows of sites first to last; exchanged[k] stores sample k's pair the other way.
    void writeChunk(const std::string& name, int first, int last,
                    std::vector<bool> exchanged = {}) {
        std::string text;
        for (int i = first; i <= last; i++) text += row(i, exchanged);
        spit(dir.path(name), text);
    }

    runResult run(std::vector<std::string> chunks, std::vector<std::string> extra = {}) {
        unlink(dir.path("o.haps").c_str());
        unlink(dir.path("o.sample").c_str());
        std::vector<std::string> args = {"--vcf", "sites.vcf", "--chunks"};
        args.insert(args.end(), chunks.begin(), chunks.end());
        args.insert(args.end(), {"--output", "o.haps", "o.sample"});
        args.insert(args.end(), extra.begin(), extra.end());
        return runSeamline(dir.root, args);
    }
    // The console lines from "Sorting the" on.
    static std::string assembly(const runResult& r) {
        size_t from = r.out.find("Sorting the");
        size_t to = r.out.find("Writing samples");
        return from == std::string::npos ? "" : r.out.substr(from, to - from);
    }
    // Written haplotype values per site line: values[line][2k + h].
    std::vector<std::vector<int>> written() {
        std::vector<std::vector<int>> values;
        for (const std::string& l : split(slurp(dir.path("o.haps")), '\n')) {
            std::vector<std::string> f = split(l, ' ');
            std::vector<int> v;
            for (size_t i = 5; i < f.size(); i++) v.push_back(std::stoi(f[i]));
            values.push_back(v);
        }
        return values;
    }
    // Sites from first to last where sample k is heterozygous.
    int hets(int first, int last, int k) const {
        int n = 0;
        for (int i = first; i <= last; i++) n += truth[i][2 * k] != truth[i][2 * k + 1];
        return n;
    }
    // Sample k's pair as written at site i, relative to the truth:
    // 'k' kept order, 'x' exchanged order, '?' uninformative (a = b).
    char orientation(const std::vector<int>& w, int i, int k) {
        int a = truth[i][2 * k], b = truth[i][2 * k + 1];
        if (a == b) return w[2 * k] == a && w[2 * k + 1] == b ? '?' : '!';
        if (w[2 * k] == a && w[2 * k + 1] == b) return 'k';
        if (w[2 * k] == b && w[2 * k + 1] == a) return 'x';
        return '!';
    }
};

TEST_F(Run, FiveRowOverlapIsSplitAndEverySiteMappedOnce) {
    makeMap(2, 10);
    writeChunk("c1.haps", 0, 6);
    writeChunk("c2.haps", 2, 9, {true, false});
    runResult r = run({"c1.haps", "c2.haps"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, lines({"VCF :\t[sites.vcf]", "Chunks :\t2 haplotype files",
                            "Output :\t[o.haps] [o.sample]", "Reading site map in [sites.vcf]",
                            "  * #inds=2", "  * #sites=10", "Reading haplotypes in [c1.haps]\t7",
                            "Reading haplotypes in [c2.haps]\t8", "Sorting the 2 chunks of data",
                            "Assembling [c1.haps] with [c2.haps]", "  * overlap=5",
                            "  * prev chunk end = 4", "  * curr chunk beg = 5",
                            "  * #switches=1 out of 2 possible", "Mapping sites to chunks",
                            "Checking mapping sites to chunks", "Writing samples in [o.sample]",
                            "Writing haplotypes in [o.haps]"}));
    EXPECT_EQ(slurp(dir.path("o.sample")), "ID_1 ID_2 missing\n0 0 0\nS1 S1 0\nS2 S2 0\n");
    std::vector<std::vector<int>> w = written();
    ASSERT_EQ(w.size(), 10u);
    std::vector<std::string> firstLine = split(split(slurp(dir.path("o.haps")), '\n')[0], ' ');
    EXPECT_EQ(std::vector<std::string>(firstLine.begin(), firstLine.begin() + 5),
              (std::vector<std::string>{"20", "rs0", "100", "A", "G"}));
    // A clear switched bit writes the exchanged order: the truth comes out
    // exchanged for both samples in both chunks.
    for (int i = 0; i < 10; i++)
        for (int k = 0; k < 2; k++) EXPECT_NE(orientation(w[i], i, k), 'k') << i << " " << k;
}

TEST_F(Run, OverlapsOfOneAndTwoRowsAndIdenticalSiteLists) {
    makeMap(3, 6);
    struct {
        int first1, last1, first2, last2;
        std::string lines;
    } cases[] = {
        {0, 3, 3, 5, lines({"  * overlap=1", "  * prev chunk end = 3", "  * curr chunk beg = 4"})},
        {0, 3, 2, 5, lines({"  * overlap=2", "  * prev chunk end = 2", "  * curr chunk beg = 3"})},
        {0, 5, 0, 5, lines({"  * overlap=6", "  * prev chunk end = 2", "  * curr chunk beg = 3"})},
        // a current chunk of one row that shares the previous chunk's last site
        {0, 5, 5, 5, lines({"  * overlap=1", "  * prev chunk end = 5", "  * curr chunk beg = -1"})},
    };
    for (const auto& c : cases) {
        writeChunk("a.haps", c.first1, c.last1);
        writeChunk("b.haps", c.first2, c.last2, {true, true, false});
        runResult r = run({"a.haps", "b.haps"});
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("Assembling [a.haps] with [b.haps]\n" + c.lines), std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find("unmapped"), std::string::npos) << r.out;
        EXPECT_EQ(written().size(), 6u);
    }
}

TEST_F(Run, ParityCarriesAlongThreeChunksGivenInReverseOrder) {
    makeMap(2, 12, 11);
    writeChunk("c1.haps", 0, 5);
    writeChunk("c2.haps", 3, 8, {true, false});
    writeChunk("c3.haps", 6, 11, {true, true});
    runResult r = run({"c3.haps", "c2.haps", "c1.haps"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(assembly(r),
              lines({"Sorting the 3 chunks of data", "Assembling [c1.haps] with [c2.haps]",
                     "  * overlap=3", "  * prev chunk end = 4", "  * curr chunk beg = 5",
                     "  * #switches=1 out of 2 possible", "Assembling [c2.haps] with [c3.haps]",
                     "  * overlap=3", "  * prev chunk end = 7", "  * curr chunk beg = 8",
                     "  * #switches=2 out of 2 possible", "Mapping sites to chunks",
                     "Checking mapping sites to chunks"}));
    std::vector<std::vector<int>> w = written();
    ASSERT_EQ(w.size(), 12u);
    for (int i = 0; i < 12; i++)
        for (int k = 0; k < 2; k++) EXPECT_NE(orientation(w[i], i, k), 'k') << i << " " << k;
}

TEST_F(Run, EqualSumsClearTheBitAndRestartTheParity) {
    makeMap(1, 9);
    // Sample 1 is homozygous over the second overlap (sites 6 and 7).
    for (int i : {6, 7}) truth[i] = {1, 1};
    truth[2] = truth[8] = {0, 1};
    writeChunk("c1.haps", 0, 4);
    writeChunk("c2.haps", 2, 7, {true});
    writeChunk("c3.haps", 6, 8, {true});
    runResult r = run({"c1.haps", "c2.haps", "c3.haps"}, {"--report", "r.tsv"});
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("  * overlap=2\n  * prev chunk end = 6\n  * curr chunk beg = 7\n"
                         "  * #switches=0 out of 1 possible\n"),
              std::string::npos)
        << r.out;
    std::vector<std::vector<int>> w = written();
    // c1 and c2 agree with each other; c3 restarts with a clear bit and its
    // file order is written exchanged, so it ends in the truth's order.
    for (int i = 0; i <= 6; i++) EXPECT_NE(orientation(w[i], i, 0), 'k') << i;
    EXPECT_EQ(orientation(w[8], 8, 0), 'k');
    // The report shows the decisions that were written: c2 swapped against
    // c1 on both heterozygous overlap sites, and no evidence at c2-c3.
    EXPECT_EQ(slurp(dir.path("r.tsv")),
              lines({"left\tright\tsample\toverlap\tkeep\tswap\tdecision\tquality",
                     "c1.haps\tc2.haps\tS1\t3\t0\t" + std::to_string(hets(2, 4, 0)) + "\tswap\t99",
                     "c2.haps\tc3.haps\tS1\t2\t0\t0\tkeep\t0"}));
}

TEST_F(Run, FlipAcceptsRowsWithExchangedAllelesAndStoresTheirComplement) {
    makeMap(2, 4);
    std::string text = row(0, {}) + row(1, {}, true) + row(2, {}) + row(3, {}, true);
    spit(dir.path("c.haps"), text);
    runResult plain = run({"c.haps"});
    EXPECT_EQ(plain.status, 1);
    EXPECT_NE(plain.out.find("Reading haplotypes in [c.haps]Not found = 200 G  A\n"),
              std::string::npos)
        << plain.out;
    EXPECT_FALSE(exists(dir.path("o.haps")));

    runResult flipped = run({"c.haps"}, {"--flip"});
    ASSERT_EQ(flipped.status, 0) << flipped.out;
    std::vector<std::vector<int>> w = written();
    for (int i = 0; i < 4; i++) {
        std::vector<int> expect;
        for (int k = 0; k < 2; k++)
            expect.insert(expect.end(), {truth[i][2 * k + 1], truth[i][2 * k]});
        EXPECT_EQ(w[i], expect) << "site " << i;
    }
    EXPECT_EQ(split(slurp(dir.path("o.haps")), '\n')[1].substr(0, 15), "20 rs1 200 A G ");
}

// Among the sites at one position the first in site-map order that matches
// takes the row, however many share the position.
TEST_F(Run, DuplicatePositionsMatchTheFirstSiteThatFits) {
    std::string map = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";
    for (int i = 0; i < 3000; i++) map += "20\t100\tfill" + std::to_string(i) + "\tC\tA\n";
    map += "20\t100\tfirst\tA\tG\n20\t100\tsecond\tG\tA\n20\t100\tthird\tA\tT\n";
    map += "chr20\t200\tlast\tC\tT\n";
    spit(dir.path("sites.vcf"), map);
    struct {
        std::string row;
        bool flip;
        std::string haps;
    } cases[] = {
        // with --flip the swapped match on "first" wins over the straight one on "second"
        {"20 x 100 G A 1 1", true, "20 first 100 A G 0 0\n"},
        {"20 x 100 G A 1 1", false, "20 second 100 G A 1 1\n"},
        {"20 x 00100 A G 0 1", true, "20 first 100 A G 1 0\n"},
        {"20 x 100 A T 1 0", false, "20 third 100 A T 0 1\n"},
        {"20 x 100 C A 1 0", false, "20 fill0 100 C A 0 1\n"},
        {"chr20 x 200 C T 1 0", false, "0 last 200 C T 0 1\n"},
    };
    for (const auto& c : cases) {
        spit(dir.path("c.haps"), c.row + "\n");
        runResult r = c.flip ? run({"c.haps"}, {"--flip"}) : run({"c.haps"});
        ASSERT_EQ(r.status, 0) << c.row << r.out << r.err;
        EXPECT_EQ(slurp(dir.path("o.haps")), c.haps) << c.row;
    }
}

TEST_F(Run, ScaffoldedSamplesKeepTheStoredOrder) {
    makeMap(3, 3);
    writeChunk("c.haps", 0, 2);
    spit(dir.path("sc.txt"), "S2\nS3 \nnobody\n");
    runResult r = run({"c.haps"}, {"--scaffold", "sc.txt"});
    ASSERT_EQ(r.status, 0);
    std::vector<std::vector<int>> w = written();
    for (int i = 0; i < 3; i++) {
        EXPECT_NE(orientation(w[i], i, 0), 'k');
        EXPECT_NE(orientation(w[i], i, 1), 'x');  // S2 is on the list
        EXPECT_NE(orientation(w[i], i, 2), 'k');  // "S3 " is not S3
    }
}

TEST_F(Run, UnusableOverlapsStopTheRunBeforeAnyOutput) {
    makeMap(1, 10);
    writeChunk("a.haps", 0, 4);
    writeChunk("gap.haps", 6, 9);
    writeChunk("inside.haps", 1, 3);
    writeChunk("full.haps", 3, 9);
    writeChunk("late.haps", 2, 9);
    spit(dir.path("holes.haps"), row(2, {}) + row(4, {}) + row(5, {}) + row(6, {}));
    // overlaps of three rows each, which pair site 4 of one with site 3 of the other
    spit(dir.path("no3.haps"), row(0, {}) + row(1, {}) + row(2, {}) + row(4, {}) + row(5, {}));
    spit(dir.path("no4.haps"), row(2, {}) + row(3, {}) + row(5, {}) + row(6, {}) + row(7, {}));
    spit(dir.path("empty.haps"), "");
    struct {
        std::vector<std::string> chunks;
        std::string line;
    } cases[] = {
        {{"a.haps", "gap.haps"}, "Chunk [gap.haps] does not overlap chunk [a.haps], code 1"},
        {{"a.haps", "inside.haps"}, "Chunk [inside.haps] does not overlap chunk [a.haps], code 2"},
        {{"holes.haps", "a.haps"},
         "Overlaps are different between [holes.haps] does not overlap chunk [a.haps] o1=3 o2=2"},
        {{"no4.haps", "no3.haps"},
         "Overlaps are different between [no4.haps] does not overlap chunk [no3.haps] o1=3 o2=3"},
        {{"empty.haps", "a.haps"}, "Chunk [empty.haps] does not overlap chunk [a.haps], code 2"},
        // the third chunk starts among rows that the second gave up to the first
        {{"a.haps", "full.haps", "late.haps"},
         "Chunk [full.haps] does not overlap chunk [late.haps], code 1"},
    };
    // The join split into steps applies the same rule: a boundary step, or
    // the fold for the third chunk, stops with the same line.
    auto steps = [&](const std::vector<std::string>& chunks) {
        shell("rm -rf '" + dir.path("w") + "'");
        std::vector<std::string> args = {"--work", "w", "--vcf", "sites.vcf", "--chunks"};
        args.insert(args.end(), chunks.begin(), chunks.end());
        args.insert(args.end(), {"--output", "o.haps", "o.sample", "--step"});
        runResult r = runSeamline(dir.root, with(args, {"plan"}));
        for (size_t c = 2; r.status == 0 && c <= chunks.size(); c++)
            r = runSeamline(dir.root, with(args, {"boundary", "--part", std::to_string(c)}));
        return r.status == 0 ? runSeamline(dir.root, with(args, {"fold"})) : r;
    };
    for (const auto& c : cases) {
        for (const runResult& r : {run(c.chunks), steps(c.chunks)}) {
            EXPECT_EQ(r.status, 1) << c.line;
            EXPECT_GE(r.out.size(), c.line.size() + 1);
            EXPECT_EQ(r.out.substr(r.out.size() - c.line.size() - 1), c.line + "\n") << r.out;
            EXPECT_EQ(r.out.find("Mapping sites"), std::string::npos);
            EXPECT_FALSE(exists(dir.path("o.haps")));
            EXPECT_FALSE(exists(dir.path("o.sample")));
        }
    }
}

TEST_F(Run, EmptyOnlyChunkMapsNothingAndUnmappedSitesGetNoLine) {
    makeMap(2, 3);
    spit(dir.path("empty.haps"), "");
    runResult r = run({"empty.haps"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(assembly(r),
              lines({"Sorting the 1 chunks of data", "Mapping sites to chunks",
                     "Checking mapping sites to chunks", "Site 0 with pos=100 is unmapped",
                     "Site 1 with pos=200 is unmapped", "Site 2 with pos=300 is unmapped"}));
    EXPECT_EQ(slurp(dir.path("o.haps")), "");
    writeChunk("mid.haps", 1, 1);
    r = run({"mid.haps"});
    EXPECT_EQ(written().size(), 1u);
}

TEST_F(Run, BadChunkLinesStopTheRunWithoutOutput) {
    makeMap(2, 3);
    std::string good = row(0, {}) + row(1, {});
    struct {
        std::string name, content, err;
    } cases[] = {
        {"short.haps", good + "20 rs2 300 A G 0 1 0\n",
         "src/data.cpp: check failed: tok.size() == (I.size() * 2 + 5) in [short.haps] line 3: 8 "
         "fields, expected 9"},
        {"blank.haps", "\n" + good, "in [blank.haps] line 1: 0 fields, expected 9"},
        {"tabs.haps", "20\trs0\t100\tA\tG\t0\t1\t0\t1\n", "line 1: 1 fields, expected 9"},
        {"missing.haps", "", "seamline: cannot open [missing.haps]: No such file or directory"},
    };
    for (const auto& c : cases) {
        if (c.name != "missing.haps") spit(dir.path(c.name), c.content);
        runResult r = run({c.name});
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(r.out.substr(r.out.size() - c.name.size() - 25),
                  "Reading haplotypes in [" + c.name + "]\n");
        EXPECT_FALSE(exists(dir.path("o.haps")));
        EXPECT_FALSE(exists(dir.path("o.sample")));
    }
    // Extra spaces, and a last line without a newline, read like any other row.
    spit(dir.path("spaces.haps"),
         "  20 rs0  100 A G 0 1 1   1  \n" + row(1, {}).substr(0, row(1, {}).size() - 1));
    runResult r = run({"spaces.haps"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Reading haplotypes in [spaces.haps]\t2\n"), std::string::npos);
}

TEST_F(Run, CompressedChunksAndDamagedOnes) {
    makeMap(2, 2000);
    writeChunk("c1.haps", 0, 1200);
    writeChunk("c2.haps", 1000, 1999, {true, false});
    shell("cd " + dir.root +
          " && gzip c1.haps && bzip2 c2.haps && head -c 5000 c1.haps.gz > cut.haps.gz");
    runResult r = run({"c2.haps.bz2", "c1.haps.gz"}, {});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(written().size(), 2000u);
    const std::string joined = slurp(dir.path("o.haps"));
    // Compression is told by content: a pipe or a name that does not say it.
    shell("cd " + dir.root + " && cp c1.haps.gz c1.bgz && cp c2.haps.bz2 c2.txt");
    r = run({"c2.txt", "c1.bgz"}, {});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(slurp(dir.path("o.haps")), joined);
    r = runSeamline(
        dir.root,
        {"--vcf", "sites.vcf", "--chunks", "/dev/stdin", "--output", "o.haps", "o.sample"},
        "exec < c1.haps.gz;");
    EXPECT_EQ(r.status, 0) << r.err;
    r = run({"cut.haps.gz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "seamline: cannot read [cut.haps.gz]: the file is damaged or unreadable\n");
    EXPECT_FALSE(exists(dir.path("o.haps")));
}

TEST_F(Run, OutputsThatCannotBeWrittenAreFailures) {
    makeMap(2, 3);
    writeChunk("c.haps", 0, 2);
    ASSERT_EQ(symlink("/dev/full", dir.path("full.gz").c_str()), 0);
    struct {
        std::string haps, sample, err;
    } cases[] = {
        {"o.haps", "no/dir/o.sample",
         "seamline: cannot open [no/dir/o.sample]: No such file or directory\n"},
        {"no/dir/o.haps", "o.sample",
         "seamline: cannot open [no/dir/o.haps]: No such file or directory\n"},
        {"/dev/full", "o.sample", "seamline: cannot write [/dev/full]: No space left on device\n"},
        {"full.gz", "o.sample", "seamline: cannot write [full.gz]: No space left on device\n"},
        {"o.haps", "/dev/full", "seamline: cannot write [/dev/full]: No space left on device\n"},
    };
    for (const auto& c : cases) {
        runResult r = runSeamline(
            dir.root, {"--vcf", "sites.vcf", "--chunks", "c.haps", "--output", c.haps, c.sample});
        EXPECT_EQ(r.status, 1) << c.haps << " " << c.sample;
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(Run, AFailureWhileWritingLeavesEarlierOutputsUntouched) {
    makeMap(20, 200);
    writeChunk("c.haps", 0, 199);
    spit(dir.path("o.haps"), "old haplotypes\n");
    spit(dir.path("o.sample"), "old samples\n");
    // A file size limit of 8 KiB lets the sample file through and cuts the
    // haplotype file (about 17 KiB) short.
    runResult r = runSeamline(
        dir.root, {"--vcf", "sites.vcf", "--chunks", "c.haps", "--output", "o.haps", "o.sample"},
        "trap '' XFSZ; ulimit -f 8;");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "seamline: cannot write [o.haps]: File too large\n");
    EXPECT_EQ(slurp(dir.path("o.haps")), "old haplotypes\n");
    EXPECT_EQ(slurp(dir.path("o.sample")), "old samples\n");
    EXPECT_EQ(shell("ls -A " + dir.root + " | grep -c seamline-"), "0\n");

    r = runSeamline(dir.root,
                    {"--vcf", "sites.vcf", "--chunks", "c.haps", "--output", "o.haps", "o.sample"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(written().size(), 200u);
    EXPECT_EQ(shell("ls -A " + dir.root + " | grep -c seamline-"), "0\n");
    struct stat st;
    ASSERT_EQ(stat(dir.path("o.haps").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~shellUmask());
}

// Rows that go to the spill file come back as they went: a run that keeps no
// row in memory writes the same bytes, also for chunks read from pipes. A
// spill file that cannot be made or written is a failure that leaves nothing.
TEST_F(Run, SpilledRowsGiveTheSameOutput) {
    makeMap(70, 400, 3);
    writeChunk("c1.haps", 0, 220, {true, false, true});
    writeChunk("c2.haps", 150, 399, {false, true, true});
    shell("cd " + dir.root + " && gzip -k c2.haps && mkfifo p1 p2");
    std::vector<std::string> args = {"--vcf",      "sites.vcf", "--chunks",  "c1.haps",
                                     "c2.haps.gz", "--output",  "o.haps.gz", "o.sample"};
    runResult inMemory = runSeamline(dir.root, args);
    ASSERT_EQ(inMemory.status, 0) << inMemory.err;
    const std::string expected = slurp(dir.path("o.haps.gz"));
    std::vector<std::string> fromPipes = args;
    fromPipes[3] = "p1";
    fromPipes[4] = "p2";
    struct {
        std::vector<std::string> args;
        std::string setup;
    } cases[] = {
        {args, "SEAMLINE_ROWS_IN_MEMORY=0 TMPDIR=. "},
        {fromPipes, "{ cat c1.haps > p1 & cat c2.haps > p2 & } ; SEAMLINE_ROWS_IN_MEMORY=0 "},
    };
    for (const auto& c : cases) {
        unlink(dir.path("o.haps.gz").c_str());
        runResult r = runSeamline(dir.root, c.args, c.setup);
        EXPECT_EQ(r.status, 0) << r.err;
        // The same join, whatever the chunks' names.
        auto join = [](const runResult& x) { return x.out.substr(x.out.find("  * overlap")); };
        EXPECT_EQ(join(r), join(inMemory)) << c.setup;
        EXPECT_TRUE(slurp(dir.path("o.haps.gz")) == expected) << c.setup;
        EXPECT_EQ(shell("ls -A " + dir.root + " | grep -c '^.seamline-'"), "0\n");
    }

    struct {
        std::string setup, err;
    } failures[] = {
        {"SEAMLINE_ROWS_IN_MEMORY=0 TMPDIR=missing",
         "seamline: cannot write temporary data in [missing]: No such file or directory\n"},
        {"ulimit -f 4; SEAMLINE_ROWS_IN_MEMORY=0 TMPDIR=.",
         "seamline: cannot write temporary data in [.]: File too large\n"},
    };
    unlink(dir.path("o.haps.gz").c_str());
    unlink(dir.path("o.sample").c_str());
    // With threads the spill file fails on a worker, and the failure travels
    // back to the driver through the pool.
    std::vector<std::string> threaded = args;
    threaded.insert(threaded.end(), {"--threads", "2"});
    for (const auto& f : failures)
        for (const std::vector<std::string>* a : {&args, &threaded}) {
            runResult r = runSeamline(dir.root, *a, f.setup);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, f.err);
            EXPECT_FALSE(exists(dir.path("o.haps.gz")));
            EXPECT_FALSE(exists(dir.path("o.sample")));
            EXPECT_EQ(shell("ls -A " + dir.root + " | grep -c '^.seamline-'"), "0\n");
        }
}

// The report counts, per boundary and sample, the overlap sites heterozygous
// in both chunks that agree as stored (keep) or exchanged (swap).
TEST_F(Run, ReportShowsTheEvidenceOfEveryDecision) {
    makeMap(3, 12, 8);
    for (int i = 6; i <= 8; i++) truth[i][4] = truth[i][5] = 1;  // S3 homozygous over c2-c3
    writeChunk("c1.haps", 0, 5);
    writeChunk("c2.haps", 3, 8, {true, false, true});
    writeChunk("c3.haps", 6, 11, {true, true, false});
    spit(dir.path("sc.txt"), "S2\n");
    runResult r =
        run({"c3.haps", "c1.haps", "c2.haps"}, {"--scaffold", "sc.txt", "--report", "r.tsv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Writing samples in [o.sample]\nWriting report in [r.tsv]\n"
                         "Writing haplotypes in [o.haps]\n"),
              std::string::npos);
    // Expected rows from the truth: het sites of the overlap, and whether the
    // two chunks store the sample's pair the same way.
    std::string expected = "left\tright\tsample\toverlap\tkeep\tswap\tdecision\tquality\n";
    struct boundary {
        std::string left, right;
        int first, last;
        std::vector<bool> exchanged;
    } boundaries[] = {{"c1.haps", "c2.haps", 3, 5, {true, false, true}},
                      {"c2.haps", "c3.haps", 6, 8, {false, true, true}}};
    for (const boundary& b : boundaries)
        for (int k = 0; k < 3; k++) {
            int het = 0;
            for (int i = b.first; i <= b.last; i++) het += truth[i][2 * k] != truth[i][2 * k + 1];
            int keep = b.exchanged[k] ? 0 : het, swap = b.exchanged[k] ? het : 0;
            std::string decision = k == 1 ? "scaffold" : swap > keep ? "swap" : "keep";
            expected += b.left + "\t" + b.right + "\tS" + std::to_string(k + 1) + "\t3\t" +
                        std::to_string(keep) + "\t" + std::to_string(swap) + "\t" + decision +
                        "\t" + (het ? "99" : "0") + "\n";
        }
    EXPECT_EQ(slurp(dir.path("r.tsv")), expected);
    EXPECT_NE(expected.find("c2.haps\tc3.haps\tS3\t3\t0\t0\tkeep\t0\n"), std::string::npos);

    // gzip-compressed by its name; a failed run leaves none.
    r = run({"c1.haps", "c2.haps"}, {"--report", "r.tsv.gz"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(shell("gzip -dc " + dir.path("r.tsv.gz") + " | wc -l"), "4\n");
    unlink(dir.path("r.tsv").c_str());
    writeChunk("gap.haps", 9, 11);
    r = run({"c1.haps", "gap.haps"}, {"--report", "r.tsv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(exists(dir.path("r.tsv")));
    EXPECT_EQ(shell("ls -A " + dir.root + " | grep -c '^.seamline-'"), "0\n");
}

// With --seam agree each sample switches chunks at the row nearest the
// overlap's middle that lies between two informative rows where its chunks
// agree; the decisions stay the same.
TEST_F(Run, AgreeSeamSwitchesWhereTheChunksAgree) {
    makeMap(4, 14, 21);
    // Overlap rows 0-7 are sites 2-9; the middle seam is row 4 (site 6).
    for (int i = 2; i <= 9; i++) {
        for (int k : {0, 2, 3}) truth[i][2 * k] = !(truth[i][2 * k + 1] = (i % 3 == 0));
        truth[i][2] = truth[i][3] = 1;  // S2 homozygous: nothing to go on
    }
    writeChunk("c1.haps", 0, 9);
    // c2 disagrees with c1 at some overlap rows: S1 at rows 1, 3 and 4, S3 at
    // row 4, S4 at rows 3 and 4.
    std::map<int, std::vector<bool>> disagree = {{3, {true, false, false, false}},
                                                 {5, {true, false, false, true}},
                                                 {6, {true, false, true, true}}};
    std::string text;
    for (int i = 2; i <= 13; i++)
        text += row(i, disagree.count(i) ? disagree[i] : std::vector<bool>());
    spit(dir.path("c2.haps"), text);
    spit(dir.path("sc.txt"), "S3\n");
    runResult middle = run({"c1.haps", "c2.haps"}, {"--scaffold", "sc.txt"});
    ASSERT_EQ(middle.status, 0) << middle.err;
    const std::string middleHaps = slurp(dir.path("o.haps"));
    runResult explicitMiddle =
        run({"c1.haps", "c2.haps"}, {"--scaffold", "sc.txt", "--seam", "middle"});
    EXPECT_EQ(slurp(dir.path("o.haps")), middleHaps);
    EXPECT_EQ(explicitMiddle.out, lines({}) + middle.out.substr(0, middle.out.find("Reading")) +
                                      "Seam :\tmiddle\n" +
                                      middle.out.substr(middle.out.find("Reading")));
    std::vector<std::vector<int>> before = written();

    runResult agree = run({"c1.haps", "c2.haps"},
                          {"--scaffold", "sc.txt", "--seam", "agree", "--report", "r.tsv"});
    ASSERT_EQ(agree.status, 0) << agree.err;
    EXPECT_EQ(assembly(agree), assembly(middle));
    std::vector<std::vector<int>> after = written();
    // Relative to the truth, S1 changes orientation inside the overlap with
    // the middle seam (at row 4, where the chunks disagree) and never with agree.
    auto changes = [&](const std::vector<std::vector<int>>& w, int k) {
        std::string seen;
        for (int i = 0; i < nSites; i++) {
            char o = orientation(w[i], i, k);
            if (o != '?' && (seen.empty() || seen.back() != o)) seen += o;
        }
        return seen.size() - 1;
    };
    EXPECT_EQ(changes(before, 0), 2u);
    EXPECT_EQ(changes(after, 0), 0u);
    EXPECT_EQ(after[3], before[3]) << "sites before the seams come from c1 alone";
    std::vector<std::string> report = split(slurp(dir.path("r.tsv")), '\n');
    ASSERT_EQ(report.size(), 5u);
    EXPECT_EQ(report[0], "left\tright\tsample\toverlap\tkeep\tswap\tdecision\tquality\tseam");
    std::vector<std::string> seams;
    for (size_t k = 1; k < 5; k++) seams.push_back(split(report[k], '\t').back());
    // S1 between rows 5 and 6, S2 without evidence at the middle, S3
    // (scaffolded) between rows 2 and 3; S4 between rows 1 and 2 or 5 and 6,
    // as near the middle either way: the earlier.
    EXPECT_EQ(seams, (std::vector<std::string>{"6", "4", "3", "2"}));
}

// Every output is the same bytes whatever the number of threads: gzip members
// and BGZF blocks are cut before any thread sees them, chunks are reported in
// command-line order, and the first failure in that order is the one reported.
TEST_F(Run, ThreadsChangeNoByteOfOutputsOrMessages) {
    makeMap(400, 6000, 12);
    std::vector<std::string> chunks;
    for (int c = 0; c < 5; c++) {
        chunks.push_back("c" + std::to_string(c) + ".haps");
        writeChunk(chunks.back(), c * 1150, std::min(5999, c * 1150 + 1350),
                   {c % 2 == 1, c % 3 == 1, true});
    }
    shell("cd " + dir.root + " && gzip c1.haps c3.haps");
    chunks[1] += ".gz";
    chunks[3] += ".gz";
    std::string bad = slurp(dir.path("c2.haps"));
    bad[bad.find('\n', 1000) + 40] = '7';  // a code on line 2 or 3 that is neither 0 nor 1
    spit(dir.path("bad.haps"), bad);
    struct {
        std::vector<std::string> chunks;
        std::string haps;
    } cases[] = {
        {chunks, "o.haps.gz"},
        {chunks, "o.vcf.gz"},
        {chunks, "o.bcf"},
        {{chunks[0], chunks[1], "bad.haps", chunks[3], "missing.haps"}, "o.haps.gz"},
    };
    for (const auto& c : cases) {
        std::string first;
        for (std::string threads : {"1", "2", "3"}) {
            std::vector<std::string> args = {"--vcf", "sites.vcf", "--chunks"};
            args.insert(args.end(), c.chunks.begin(), c.chunks.end());
            args.insert(args.end(), {"--output", c.haps, "o.sample", "--threads", threads});
            shell("rm -f " + dir.path("o.*"));
            runResult r = runSeamline(dir.root, args);
            std::string all = std::to_string(r.status) + "\n" + r.out + r.err;
            for (std::string f :
                 {c.haps, c.haps + ".tbi", c.haps + ".csi", std::string("o.sample")})
                if (exists(dir.path(f))) all += f + ":" + slurp(dir.path(f));
            if (threads == "1") {
                first = all;
                EXPECT_EQ(r.status, c.chunks[2] == "bad.haps" ? 1 : 0) << r.err;
            } else {
                EXPECT_TRUE(all == first) << c.haps << " with " << threads << " threads";
            }
        }
    }
}

// Splits a known haplotype set into overlapping chunks, exchanges each
// sample's pair at random in each chunk, and checks that the joined output
// is the truth up to one orientation per sample.
TEST_F(Run, JoinRecoversTheTruthUpToOneOrientationPerSample) {
    const int samples = 40, sites = 600;
    makeMap(samples, sites, 2024);
    std::mt19937 rng(99);
    struct window {
        int first, last;
    };
    std::vector<window> windows = {{0, 140}, {101, 260}, {231, 400}, {381, 470}, {451, 599}};
    std::vector<std::string> names;
    for (size_t c = 0; c < windows.size(); c++) {
        std::vector<bool> exchanged(samples);
        for (int k = 0; k < samples; k++) exchanged[k] = rng() & 1;
        names.push_back("c" + std::to_string(c) + (c % 2 ? ".haps.gz" : ".haps"));
        writeChunk("tmp.haps", windows[c].first, windows[c].last, exchanged);
        shell("cd " + dir.root + (c % 2 ? " && gzip -c tmp.haps > " : " && cp tmp.haps ") +
              names[c]);
    }
    std::shuffle(names.begin(), names.end(), rng);
    runResult r = run(names);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::vector<int>> w = written();
    ASSERT_EQ(w.size(), static_cast<size_t>(sites));
    for (int k = 0; k < samples; k++) {
        std::string seen;
        for (int i = 0; i < sites; i++) {
            char o = orientation(w[i], i, k);
            ASSERT_NE(o, '!') << "sample " << k << " site " << i << ": not the true pair";
            if (o != '?') seen += o;
        }
        EXPECT_TRUE(seen.find('k') == std::string::npos || seen.find('x') == std::string::npos)
            << "sample " << k << " changes orientation: " << seen;
    }
}

}  // namespace
