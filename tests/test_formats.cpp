// End-to-end runs of the built binary on the example's chunks as text, VCF
// and BCF: every format pair joins to the same haplotypes as the text path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testutil.h"

namespace {

class Formats : public ::testing::Test {
protected:
    tempDir dir;
    std::string textHaps;  // the text path's haplotype values, one line per site

    void SetUp() override {
        shell("cp '" SEAMLINE_SOURCE "'/examples/* '" + dir.root + "'/ 2>/dev/null");
        runResult r = run({"chr20.c1.haps.gz", "chr20.c3.haps", "chr20.c2.haps.bz2"}, "o.haps");
        ASSERT_EQ(r.status, 0) << r.err;
        textHaps = shell("cut -d' ' -f6- " + dir.path("o.haps"));
        ASSERT_EQ(std::count(textHaps.begin(), textHaps.end(), '\n'), 39);
    }
    runResult run(const std::vector<std::string>& chunks, const std::string& out,
                  const std::string& map = "sites.vcf") {
        std::vector<std::string> args = {"--vcf", map, "--chunks"};
        args.insert(args.end(), chunks.begin(), chunks.end());
        args.insert(args.end(),
                    {"--scaffold", "scaffold.txt", "--flip", "--output", out, "o.sample"});
        return runSeamline(dir.root, args);
    }
    // The haplotype values of a VCF or BCF output, as the text file writes them.
    std::string variantHaps(const std::string& name) {
        return shell("bcftools query -f '[%GT ]\\n' " + dir.path(name) +
                     " | sed 's/|/ /g; s/ $//'");
    }
};

TEST_F(Formats, EveryFormatPairJoinsToTheTextPathsHaplotypes) {
    shell("cd '" + dir.root + "' && bcftools view -Ob -o sites.bcf sites.vcf");
    struct {
        std::vector<std::string> chunks;
        std::string out, map;
    } cases[] = {
        {{"chr20.c1.vcf.gz", "chr20.c3.vcf", "chr20.c2.bcf"}, "o.haps", "sites.vcf"},
        {{"chr20.c2.bcf", "chr20.c1.haps.gz", "chr20.c3.vcf"}, "o.haps", "sites.bcf"},
        {{"chr20.c1.haps.gz", "chr20.c3.haps", "chr20.c2.haps.bz2"}, "o.vcf.gz", "sites.vcf"},
        {{"chr20.c1.vcf.gz", "chr20.c3.vcf", "chr20.c2.bcf"}, "o.vcf.gz", "sites.vcf"},
        {{"chr20.c1.vcf.gz", "chr20.c3.vcf", "chr20.c2.bcf"}, "o.bcf", "sites.bcf"},
        {{"chr20.c1.vcf.gz", "chr20.c3.vcf", "chr20.c2.bcf"}, "o.vcf", "sites.vcf"},
    };
    for (const auto& c : cases) {
        std::string what = c.chunks[0] + " ... -> " + c.out;
        shell("rm -f " + dir.path("o.*"));
        runResult r = run(c.chunks, c.out, c.map);
        ASSERT_EQ(r.status, 0) << what << r.err;
        EXPECT_EQ(r.err, "");
        std::string haps =
            c.out == "o.haps" ? shell("cut -d' ' -f6- " + dir.path("o.haps")) : variantHaps(c.out);
        EXPECT_EQ(haps, textHaps) << what;
        EXPECT_EQ(slurp(dir.path("o.sample")).substr(0, 26), "ID_1 ID_2 missing\n0 0 0\nNA");
        // The index answers a region query with the sites of that region.
        std::string index = c.out == "o.vcf.gz" ? "o.vcf.gz.tbi"
                            : c.out == "o.bcf"  ? "o.bcf.csi"
                                                : "";
        EXPECT_EQ(shell("ls " + dir.root + " | grep -c '^o.*[.]\\(tbi\\|csi\\)$'"),
                  index.empty() ? "0\n" : "1\n")
            << what;
        if (!index.empty()) {
            EXPECT_TRUE(exists(dir.path(index))) << what;
            EXPECT_EQ(shell("bcftools view -H -r 20:62000-63000 " + dir.path(c.out) +
                            " | cut -f2 | tr '\\n' ' '"),
                      "62470 62683 62799 ")
                << what;
        }
    }
    EXPECT_EQ(shell("bcftools view -h " + dir.path("o.vcf") + " | grep -c '^##contig=<ID=20'"),
              "1\n");
}

// -o writes the joined chunks to one VCF or BCF file, no sample file; "-" is
// VCF on standard output with the progress on standard error. Any other name,
// or -o with --output, is refused before anything is read.
TEST_F(Formats, DashOWritesOneVariantFileAndNoSampleFile) {
    const std::vector<std::string> base = {"--vcf",           "sites.vcf",    "--chunks",
                                           "chr20.c1.vcf.gz", "chr20.c3.vcf", "chr20.c2.bcf",
                                           "--scaffold",      "scaffold.txt", "--flip"};
    for (std::string out : {"o.vcf", "o.vcf.gz", "o.bcf", "-"}) {
        shell("rm -f " + dir.path("o.*"));
        std::vector<std::string> args = base;
        args.insert(args.end(), {"-o", out});
        runResult r = runSeamline(dir.root, args);
        ASSERT_EQ(r.status, 0) << out << r.err;
        EXPECT_FALSE(exists(dir.path("o.sample"))) << out;
        if (out == "-") {
            spit(dir.path("o.vcf"), r.out);
            out = "o.vcf";
            EXPECT_NE(r.err.find("Output :\t[-]\n"), std::string::npos);
        } else {
            EXPECT_NE(r.out.find("Output :\t[" + out + "]\n"), std::string::npos);
            EXPECT_EQ(r.err, "");
        }
        EXPECT_EQ(variantHaps(out), textHaps) << out;
    }
    struct {
        std::vector<std::string> extra;
        std::string err;
    } refused[] = {
        {{"-o", "o.haps"},
         "seamline: -o takes a name ending in .vcf, .vcf.gz, .vcf.bgz or .bcf, or -, not "
         "[o.haps]\n"},
        {{"-o", "o.vcf", "--output", "a.haps", "a.sample"},
         "seamline: -o and --output cannot be given together\n"},
    };
    for (const auto& c : refused) {
        shell("rm -f " + dir.path("o.*") + " " + dir.path("a.*"));
        std::vector<std::string> args = base;
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        runResult r = runSeamline(dir.root, args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(shell("ls " + dir.root + " | grep -c '^[oa][.]'"), "0\n");
    }
}

// TBI holds records that end at 2^29 at most: a site that ends beyond it, by its
// position or by the length of its REF, gets a CSI index, which still finds it.
TEST_F(Formats, ASiteEndingBeyondTbiGetsACsiIndex) {
    struct {
        int32_t pos;
        size_t refLength;
        std::string index;
    } cases[] = {
        {536870812, 101, "o.vcf.gz.tbi"},  // ends exactly at 2^29
        {536870812, 102, "o.vcf.gz.csi"},  // begins within TBI's reach and ends beyond it
        {536870912, 1, "o.vcf.gz.csi"},
    };
    for (const auto& c : cases) {
        const std::string pos = std::to_string(c.pos), ref(c.refLength, 'A');
        spit(dir.path("far.vcf"),
             "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n20\t" + pos + "\tfar\t" +
                 ref + "\tG\n");
        spit(dir.path("far.haps"), "20 x " + pos + " " + ref + " G 0 1\n");
        shell("rm -f " + dir.path("o.*"));
        runResult r = runSeamline(dir.root, {"--vcf", "far.vcf", "--chunks", "far.haps", "--output",
                                             "o.vcf.gz", "o.sample"});
        ASSERT_EQ(r.status, 0) << c.refLength << r.err;
        EXPECT_EQ(shell("ls " + dir.root + " | grep '^o.*[.]\\(tbi\\|csi\\)$'"), c.index + "\n");
        EXPECT_EQ(
            shell("bcftools view -H -r 20:" + pos + " " + dir.path("o.vcf.gz") + " | cut -f3"),
            "far\n")
            << c.index;
    }
}

// Chunks the run cannot read exactly stop it, naming the file, and leave
// nothing (every refused genotype and sample has its case in the reader's
// own tests).
TEST_F(Formats, RefusedGenotypesAndSamplesNameTheFileAndStopTheRun) {
    const std::string plain = slurp(dir.path("chr20.c3.vcf"));
    // The first record's first genotype, and the header's first sample.
    const size_t gt = plain.find("GT\t", plain.find("\n20\t")) + 3;
    const size_t sample = plain.find("NA12878");
    struct {
        size_t at, length;
        std::string with, err;
    } cases[] = {
        {gt, 3, "0/1", "unphased heterozygous genotype 0/1"},
        {sample, 7, "NA99999", "sample NA99999 is not in the site map"},
    };
    for (const auto& c : cases) {
        std::string text = plain;
        text.replace(c.at, c.length, c.with);
        spit(dir.path("bad.vcf"), text);
        shell("rm -f " + dir.path("o.*"));
        runResult r = run({"chr20.c1.vcf.gz", "bad.vcf", "chr20.c2.bcf"}, "o.vcf.gz");
        EXPECT_EQ(r.status, 1) << c.with;
        EXPECT_EQ(r.err.rfind("seamline: cannot read [bad.vcf]: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_FALSE(exists(dir.path("o.vcf.gz")));
        EXPECT_FALSE(exists(dir.path("o.vcf.gz.tbi")));
        EXPECT_EQ(shell("ls -A " + dir.root + " | grep -c '^.seamline-'"), "0\n");
    }
    // A homozygous genotype written unphased is accepted.
    std::string text = plain;
    text.replace(gt, 3, text.substr(gt, 3) == "0|0" ? "0/0" : text.substr(gt, 3));
    spit(dir.path("bad.vcf"), text);
    EXPECT_EQ(run({"chr20.c1.vcf.gz", "bad.vcf", "chr20.c2.bcf"}, "o.vcf.gz").status, 0);
}

}  // namespace
