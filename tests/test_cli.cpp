// End-to-end runs of the built binary: command line, site map and scaffold list.
#include <gtest/gtest.h>

#include "testutil.h"

namespace {

std::string lines(std::initializer_list<std::string> ls) {
    std::string s;
    for (const std::string& l : ls) s += l + "\n";
    return s;
}

const std::string header = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";

class Cli : public ::testing::Test {
protected:
    tempDir dir;
    void SetUp() override {
        spit(dir.path("sites.vcf"), "##fileformat=VCFv4.2\n" + header + "\tS1\tS2\n" +
                                        "20\t100\trs1\tA\tG\t.\tPASS\t.\tGT\t0|1\t1|1\n");
        spit(dir.path("empty.haps"), "");
    }
    runResult run(std::vector<std::string> args) {
        unlink(dir.path("o.haps").c_str());
        unlink(dir.path("o.sample").c_str());
        return runSeamline(dir.root, args);
    }
};

const std::string vcfEcho = "VCF :\t[sites.vcf]";
const std::string oneChunkEcho = "Chunks :\t1 haplotype files";
const std::string outputEcho = "Output :\t[o.haps] [o.sample]";

TEST_F(Cli, RequiredOptionsAreCheckedInOrderWithTheirEchoes) {
    struct {
        std::vector<std::string> args;
        std::string out;
        std::string err = "";
    } cases[] = {
        {{}, lines({"Missing option --vcf"})},
        {{"--chunks", "empty.haps", "--output", "o.haps", "o.sample"},
         lines({"Missing option --vcf"})},
        {{"--vcf", "sites.vcf", "--output", "o.haps", "o.sample"},
         lines({vcfEcho, "Missing option: --chunks"})},
        {{"--vcf", "sites.vcf", "--chunks", "empty.haps", "--scaffold", "sc.txt"},
         lines({vcfEcho, oneChunkEcho, "Scaffold :\t[sc.txt]", "Missing option: --output"})},
        // an option standing last unsets what an earlier occurrence set
        {{"--vcf", "a.vcf", "--chunks", "c", "--output", "o.haps", "o.sample", "--vcf"},
         lines({"Missing option --vcf"})},
        {{"--vcf", "sites.vcf", "--chunks", "c", "--output", "o.haps", "o.sample", "--output"},
         lines({vcfEcho, oneChunkEcho, "Missing option: --output"})},
        // --output with a single argument leaves the sample file unset
        {{"--vcf", "sites.vcf", "--chunks", "c", "--output", "o.haps"},
         lines({vcfEcho, oneChunkEcho, "Missing option: --output"})},
        // --chunks followed directly by another option adds nothing
        {{"--vcf", "sites.vcf", "--chunks", "--output", "o.haps", "o.sample"},
         lines({vcfEcho, "Missing option: --chunks"})},
        // a name beginning with "-" ends the chunk list, and no option takes it
        {{"--vcf", "sites.vcf", "--chunks", "-c1", "--output", "o.haps", "o.sample"},
         lines({vcfEcho, "Missing option: --chunks"}),
         "seamline: ignoring argument [-c1]\n"},
        // other spellings are not options, and no option takes them
        {{"--VCF", "sites.vcf", "--vcf=sites.vcf", "-vcf", "sites.vcf", "--HELP"},
         lines({"Missing option --vcf"}),
         lines({"seamline: ignoring argument [--VCF]", "seamline: ignoring argument [sites.vcf]",
                "seamline: ignoring argument [--vcf=sites.vcf]",
                "seamline: ignoring argument [-vcf]", "seamline: ignoring argument [sites.vcf]",
                "seamline: ignoring argument [--HELP]"})},
    };
    for (const auto& c : cases) {
        runResult r = run(c.args);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(Cli, BadValuesOfSeamThreadsAndLevelStopTheRunBeforeAnyReading) {
    const std::string threads = "seamline: --threads takes a whole number of at least 1, not [";
    const std::string level =
        "seamline: --compression-level takes a whole number from 0 to 9, not [";
    struct {
        std::vector<std::string> extra;
        std::string err;
    } cases[] = {
        {{"--seam", "edge"}, "seamline: --seam takes middle or agree, not [edge]\n"},
        {{"--seam", "Agree"}, "seamline: --seam takes middle or agree, not [Agree]\n"},
        {{"--seam", ""}, "seamline: --seam takes middle or agree, not []\n"},
        {{"--threads", "0"}, threads + "0]\n"},
        {{"--threads", "-2"}, threads + "-2]\n"},
        {{"--threads", "2x"}, threads + "2x]\n"},
        {{"--threads", "1.5"}, threads + "1.5]\n"},
        {{"--threads", ""}, threads + "]\n"},
        {{"--threads", "99999999999"}, threads + "99999999999]\n"},
        {{"--threads", "--flip"}, threads + "--flip]\n"},
        {{"--compression-level", "10"}, level + "10]\n"},
        {{"--compression-level", "-1"}, level + "-1]\n"},
        {{"--compression-level", "06"}, level + "06]\n"},
        {{"--compression-level", "best"}, level + "best]\n"},
        {{"--compression-level", ""}, level + "]\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--vcf",    "sites.vcf", "--chunks", "empty.haps",
                                         "--output", "o.haps",    "o.sample"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        runResult r = run(args);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.find("Reading"), std::string::npos) << r.out;
        EXPECT_FALSE(exists(dir.path("o.haps")));
    }
    // A value that stands last is unset, like any option's: the default holds.
    runResult r = run({"--vcf", "sites.vcf", "--chunks", "empty.haps", "--output", "o.haps",
                       "o.sample", "--threads"});
    EXPECT_EQ(r.status, 0) << r.err;
}

// --help and --version answer on standard output and end the run at once,
// whatever else the command line holds.
TEST_F(Cli, HelpAndVersionPrintAndSucceed) {
    struct {
        std::vector<std::string> args;
        std::string start;
    } cases[] = {
        {{"--help"}, "usage: seamline --vcf SITES --chunks CHUNK... --output HAPS SAMPLES"},
        {{"--chunks", "x.vcf.gz", "--seam", "bad", "--help"}, "usage: seamline"},
        {{"--version"}, "seamline " + std::string(SEAMLINE_VERSION_TEXT) + "\n"},
    };
    for (const auto& c : cases) {
        runResult r = run(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0];
        EXPECT_EQ(r.out.substr(0, c.start.size()), c.start);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Cli, ScanExaminesEveryArgumentAndKeepsTheLastValue) {
    struct {
        std::vector<std::string> args;
        std::string echoes;
        std::string err = "";
    } cases[] = {
        {{"--vcf", "other.vcf", "--vcf", "sites.vcf", "--chunks", "empty.haps", "--output",
          "o.haps", "o.sample"},
         lines({vcfEcho, oneChunkEcho, outputEcho})},
        // several --chunks append, duplicates included; the list may end the line
        {{"--chunks", "empty.haps", "empty.haps", "--vcf", "sites.vcf", "--output", "x", "y",
          "--flip", "--flip", "--output", "o.haps", "o.sample", "--chunks", "empty.haps"},
         lines({vcfEcho, "Chunks :\t3 haplotype files", outputEcho})},
        // the value of --scaffold set last wins; --scaffold standing last unsets it
        {{"--vcf", "sites.vcf", "--scaffold", "a", "--scaffold", "empty.haps", "--chunks",
          "empty.haps", "--output", "o.haps", "o.sample"},
         lines({vcfEcho, oneChunkEcho, "Scaffold :\t[empty.haps]", outputEcho})},
        {{"--vcf", "sites.vcf", "--scaffold", "a", "--chunks", "empty.haps", "--output", "o.haps",
          "o.sample", "--scaffold"},
         lines({vcfEcho, oneChunkEcho, outputEcho})},
        // an empty argument in a chunk list is a name
        {{"--vcf", "sites.vcf", "--chunks", "empty.haps", "", "--output", "o.haps", "o.sample"},
         lines({vcfEcho, "Chunks :\t2 haplotype files", outputEcho})},
        // arguments that no option takes are ignored with a warning, the run goes on
        {{"--vcf", "sites.vcf", "--chunks", "empty.haps", "--flip", "b.haps", "--output", "o.haps",
          "o.sample"},
         lines({vcfEcho, oneChunkEcho, outputEcho}),
         "seamline: ignoring argument [b.haps]\n"},
        {{"--foo", "bar", "--vcf", "sites.vcf", "--chunks", "empty.haps", "--output", "o.haps",
          "o.sample", "-"},
         lines({vcfEcho, oneChunkEcho, outputEcho}),
         lines({"seamline: ignoring argument [--foo]", "seamline: ignoring argument [bar]",
                "seamline: ignoring argument [-]"})},
    };
    for (const auto& c : cases) {
        runResult r = run(c.args);
        EXPECT_EQ(r.out.substr(0, c.echoes.size()), c.echoes);
        EXPECT_EQ(r.out.substr(c.echoes.size(), 21), "Reading site map in [");
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
    }
    // The warnings come before the echo lines, which follow them to standard
    // error when the data go to standard output.
    runResult r = run({"--vcf", "sites.vcf", "x", "--chunks", "empty.haps", "--output", "-", "s"});
    const std::string first = lines({"seamline: ignoring argument [x]", vcfEcho});
    EXPECT_EQ(r.err.substr(0, first.size()), first);
}

TEST_F(Cli, AValueThatIsAnOptionIsAlsoExaminedAsOne) {
    // --vcf takes "--flip" as its file name, and --flip still sets the switch.
    runResult r = run({"--vcf", "--flip", "sites.vcf", "--chunks", "c", "--output", "o", "s"});
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "VCF :\t[--flip]");
    // No option takes the argument after it.
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "seamline: ignoring argument [sites.vcf]\n");
}

class SiteMap : public Cli {
protected:
    // Runs on the given site map with an empty chunk and returns the reader's lines.
    runResult readMap(const std::string& content, const std::string& name = "map.vcf") {
        spit(dir.path(name), content);
        runResult r =
            run({"--vcf", name, "--chunks", "empty.haps", "--output", "o.haps", "o.sample"});
        size_t from = r.out.find("Reading site map");
        size_t to = r.out.find("Reading haplotypes");
        r.out = from == std::string::npos ? "" : r.out.substr(from, to - from);
        return r;
    }
};

TEST_F(SiteMap, CountsSamplesFromEveryHeaderAndKeepsBiallelicRows) {
    std::string map = "##fileformat=VCFv4.2\n##contig=<ID=20>\n" + header +
                      "\tS1\tS2\n"
                      "20\t100\trs1\tA\tG\t.\tPASS\t.\tGT\t0|1\t1|1\n"
                      "20\t101\trs2\tA\tG,T\t.\tPASS\t.\tGT\t0|1\t1|2\n"
                      "20\t102\trs3\tA\t.\t.\tPASS\t.\tGT\t0|0\t0|0\n"
                      "20\t103\trs4\tA\t0\n"
                      "20\t104\trs5\tA\tC,\n"
                      "20\t105\trs6\tA\t,,\n"
                      "20\t106\trs7\tA\n"
                      "\n"
                      "#chrom\tlower case header is a comment\tS9\n" +
                      header + "\tS3\n20\t104\trs8\tC\tT";
    runResult r = readMap(map);
    EXPECT_EQ(r.out, lines({"Reading site map in [map.vcf]", "  * #inds=2", "  * #inds=3",
                            "  * #sites=3"}));
    EXPECT_EQ(r.status, 0);
}

TEST_F(SiteMap, ReadsCompressedMapsAndMapsWithoutHeader) {
    std::string map = header + "\tS1\r\n20\t100\trs1\tA\tG\r\n20\t100\trs2\tA\tT\r\n";
    spit(dir.path("plain.vcf"), map);
    shell("cd " + dir.root +
          " && gzip -c plain.vcf > map.vcf.gz && bzip2 -c plain.vcf > map.vcf.bz2");
    for (std::string name : {"map.vcf.gz", "map.vcf.bz2"}) {
        runResult r = run({"--vcf", name, "--chunks", "empty.haps", "--output", "o", "s"});
        EXPECT_NE(r.out.find("Reading site map in [" + name + "]\n  * #inds=1\n  * #sites=2\n"),
                  std::string::npos)
            << r.out;
    }
    EXPECT_EQ(readMap("").out, lines({"Reading site map in [map.vcf]", "  * #sites=0"}));
    EXPECT_EQ(readMap(header + "\n").out,
              lines({"Reading site map in [map.vcf]", "  * #inds=0", "  * #sites=0"}));
}

TEST_F(SiteMap, MissingOrDamagedMapIsAFailureWithNoOutput) {
    std::string map = header + "\tS1\n";
    for (int i = 0; i < 5000; i++) map += "20\t" + std::to_string(i) + "\trs\tA\tG\n";
    spit(dir.path("good.vcf"), map);
    shell("cd " + dir.root +
          " && gzip -c good.vcf > good.vcf.gz && head -c 3000 good.vcf.gz > cut.vcf.gz");
    struct {
        std::string name, err;
    } cases[] = {
        {"nothere.vcf", "seamline: cannot open [nothere.vcf]: No such file or directory\n"},
        {"cut.vcf.gz", "seamline: cannot read [cut.vcf.gz]: the file is damaged or unreadable\n"},
        {"empty.vcf.gz",
         "seamline: cannot read [empty.vcf.gz]: the file is damaged or unreadable\n"},
    };
    spit(dir.path("empty.vcf.gz"), "");
    for (const auto& c : cases) {
        runResult r =
            run({"--vcf", c.name, "--chunks", "empty.haps", "--output", "o.haps", "o.sample"});
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(r.err, c.err);
        EXPECT_NE(r.out.find("Reading site map in [" + c.name + "]\n"), std::string::npos);
        EXPECT_EQ(r.out.find("#sites="), std::string::npos) << "no count after a failed read";
        EXPECT_FALSE(exists(dir.path("o.haps")));
        EXPECT_FALSE(exists(dir.path("o.sample")));
    }
}

TEST_F(Cli, ScaffoldCountsDistinctLinesIncludingAnEmptyLast) {
    struct {
        std::string content;
        int count;
    } cases[] = {{"S1\nS2\n", 2},
                 {"S1\nS2\n\n", 3},
                 {"S1\nS1\nS2", 2},
                 {"", 0},
                 // a carriage return before the line feed is dropped, a space is kept
                 {"S1 \nS1\r\nS1", 2}};
    for (const auto& c : cases) {
        spit(dir.path("sc.txt"), c.content);
        runResult r = run({"--vcf", "sites.vcf", "--scaffold", "sc.txt", "--chunks", "empty.haps",
                           "--output", "o.haps", "o.sample"});
        EXPECT_NE(r.out.find("  * #sites=1\nReading scaffolded samples in [sc.txt]\n  * #scaff=" +
                             std::to_string(c.count) + "\n"),
                  std::string::npos)
            << r.out;
    }
    runResult r = run({"--vcf", "sites.vcf", "--scaffold", "typo.txt", "--chunks", "empty.haps",
                       "--output", "o.haps", "o.sample"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "seamline: cannot open [typo.txt]: No such file or directory\n");
    EXPECT_FALSE(exists(dir.path("o.haps")));
}

}  // namespace
