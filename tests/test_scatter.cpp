// The join split into steps, each run as its own process: the gathered
// outputs against those of the join run in one process.
#include <gtest/gtest.h>

#include "testutil.h"

namespace {

class Scatter : public ::testing::Test {
protected:
    tempDir dir;

    void SetUp() override {
        shell("cp '" SEAMLINE_SOURCE "'/examples/* '" + dir.root + "'/ 2>/dev/null");
        shell("mkdir '" + dir.path("one") + "' '" + dir.path("w") + "'");
    }

    runResult step(const std::string& name, int part, const std::vector<std::string>& args,
                   const std::string& work = "w") {
        std::vector<std::string> front = {"--step", name, "--work", work};
        if (part) front.insert(front.end(), {"--part", std::to_string(part)});
        return runSeamline(dir.root, with(front, args));
    }

    // Every step in turn, K chunks; the first step that fails, or the gather.
    runResult scattered(int K, const std::vector<std::string>& args,
                        const std::string& work = "w") {
        runResult r = step("plan", 0, args, work);
        for (int c = 2; r.status == 0 && c <= K; c++) r = step("boundary", c, args, work);
        if (r.status == 0) r = step("fold", 0, args, work);
        for (int c = 1; r.status == 0 && c <= K; c++) r = step("stretch", c, args, work);
        return r.status == 0 ? step("gather", 0, args, work) : r;
    }

    // An output as text: decompressed, or BCF as VCF.
    std::string text(const std::string& name) {
        const std::string path = "'" + dir.path(name) + "'";
        if (name.size() > 4 && name.substr(name.size() - 4) == ".bcf")
            return shell("bcftools view --no-version " + path);
        if (name.size() > 3 && name.substr(name.size() - 3) == ".gz")
            return shell("gzip -dc " + path);
        if (name.size() > 4 && name.substr(name.size() - 4) == ".bz2")
            return shell("bzip2 -dc " + path);
        return slurp(dir.path(name));
    }
};

// Chunks in an order other than along the chromosome, text and VCF/BCF
// chunks, and every output format, with and without agree seams.
TEST_F(Scatter, GatheredOutputsEqualThoseOfOneProcess) {
    const std::vector<std::string> textChunks = {"chr20.c3.haps", "chr20.c1.haps.gz",
                                                 "chr20.c2.haps.bz2"};
    const std::vector<std::string> vcfChunks = {"chr20.c2.bcf", "chr20.c3.vcf", "chr20.c1.vcf.gz"};
    struct {
        const std::vector<std::string>& chunks;
        std::string haplotypes;
        std::vector<std::string> extra;
        bool siteMap = true;  // without one: the chunks' records, every field kept
    } cases[] = {
        {textChunks, "o.haps", {}},
        {textChunks, "o.haps.gz", {"--seam", "agree", "--report", "r.tsv"}},
        {textChunks, "o.haps.bz2", {"--scaffold", "scaffold.txt", "--report", "r.tsv"}},
        {vcfChunks, "o.vcf", {"--seam", "agree"}},
        {vcfChunks, "o.vcf.gz", {"--report", "r.tsv", "--threads", "2"}},
        {vcfChunks,
         "o.bcf",
         {"--seam", "agree", "--report", "r.tsv", "--scaffold", "scaffold.txt"}},
        {vcfChunks, "o.vcf.gz", {"--report", "r.tsv"}, false},
        {vcfChunks, "o.bcf", {"--seam", "agree", "--scaffold", "scaffold.txt"}, false},
        {vcfChunks, "o.vcf", {"--seam", "agree", "--report", "r.tsv"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.haplotypes + " " + c.chunks[0] + (c.siteMap ? "" : " without a site map"));
        std::vector<std::string> args = {"--vcf", "sites.vcf", "--flip", "--chunks"};
        if (!c.siteMap) args = {"--chunks"};
        args.insert(args.end(), c.chunks.begin(), c.chunks.end());
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        args.insert(args.end(), {"--output", c.haplotypes, "o.sample"});
        // The same names, so that VCF headers record the same command.
        ASSERT_EQ(runSeamline(dir.root, args).status, 0);
        shell("cd '" + dir.root + "' && mv o.* one/ && (mv r.tsv one/ 2>/dev/null; true)");
        runResult r = scattered(3, args);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(text(c.haplotypes), text("one/" + c.haplotypes));
        EXPECT_EQ(slurp(dir.path("o.sample")), slurp(dir.path("one/o.sample")));
        EXPECT_EQ(slurp(dir.path("r.tsv")), slurp(dir.path("one/r.tsv")));
        const bool indexed = c.haplotypes == "o.vcf.gz" || c.haplotypes == "o.bcf";
        for (const char* region : {"20:61000-65000", "20:70000-72000", "20:1-100000"}) {
            if (indexed) {
                EXPECT_EQ(shell("bcftools view -H -r " + std::string(region) + " " +
                                dir.path(c.haplotypes)),
                          shell("bcftools view -H -r " + std::string(region) + " " +
                                dir.path("one/" + c.haplotypes)))
                    << region;
            }
        }
        shell("rm -f '" + dir.root + "'/one/* '" + dir.root + "'/o.* '" + dir.root + "'/r.tsv");
        // The later cases read the compressed chunks through their indexes.
        shell("cd '" + dir.root +
              "' && tabix -f chr20.c1.vcf.gz && bcftools index -f chr20.c2.bcf");
    }
    // Without a site map each chunk of a split join holds one chromosome.
    shell("cd '" + dir.root + "' && (cat chr20.c3.vcf; grep -v '^#' chr20.c3.vcf | " +
          "sed 's/^20\t/21\t/') > two.vcf");
    runResult r = step("plan", 0, {"--chunks", "chr20.c1.vcf.gz", "two.vcf", "-o", "o.vcf"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "seamline: chunk [two.vcf] holds chromosomes 20 and 21: the steps of a join take "
              "one chromosome per chunk\n");
}

// One sample, nine sites at `pos`; c2 stores its pairs exchanged against c1
// and wins the decision, c3 meets c2 where the sample is homozygous: a tie,
// which restarts the orientation.
class ScatterSmall : public Scatter {
protected:
    static int pos(int i) { return i == 0 ? 100 : 20000 + 100 * i; }
    const int truth[9][2] = {{0, 1}, {1, 0}, {0, 1}, {1, 0}, {0, 1},
                             {1, 0}, {1, 1}, {1, 1}, {0, 1}};

    void SetUp() override {
        Scatter::SetUp();
        std::string map =
            "##fileformat=VCFv4.2\n##contig=<ID=20>\n"
            "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";
        for (int i = 0; i < 9; i++)
            map += "20\t" + std::to_string(pos(i)) + "\trs" + std::to_string(i) +
                   "\tA\tG\t.\tPASS\t.\tGT\t0|1\n";
        spit(dir.path("map.vcf"), map);
    }
    std::string rows(int first, int last, bool exchanged) const {
        std::string text;
        for (int i = first; i <= last; i++)
            text += "20 rs" + std::to_string(i) + " " + std::to_string(pos(i)) + " A G " +
                    std::to_string(truth[i][exchanged]) + " " +
                    std::to_string(truth[i][!exchanged]) + "\n";
        return text;
    }
    std::vector<std::string> args(const std::vector<std::string>& chunks,
                                  const std::string& haplotypes = "o.haps") const {
        return with(with({"--vcf", "map.vcf", "--chunks"}, chunks),
                    {"--report", "r.tsv", "--output", haplotypes, "o.sample"});
    }
};

TEST_F(ScatterSmall, ATieRestartsTheOrientationAcrossTheBoundaryFiles) {
    spit(dir.path("c1.haps"), rows(0, 4, false));
    spit(dir.path("c2.haps"), rows(2, 7, true));
    spit(dir.path("c3.haps"), rows(6, 8, true));
    const std::vector<std::string> chunks = {"c3.haps", "c1.haps", "c2.haps"};
    runResult r = scattered(3, args(chunks));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(slurp(dir.path("r.tsv")),
              "left\tright\tsample\toverlap\tkeep\tswap\tdecision\tquality\n"
              "c1.haps\tc2.haps\tS1\t3\t0\t3\tswap\t99\n"
              "c2.haps\tc3.haps\tS1\t2\t0\t0\tkeep\t0\n");
    const std::string gathered = slurp(dir.path("o.haps"));
    ASSERT_EQ(runSeamline(dir.root, args(chunks)).status, 0);
    EXPECT_EQ(gathered, slurp(dir.path("o.haps")));
    // c3 restarts: its pairs are written exchanged from its file, as c1's are.
    EXPECT_NE(gathered.find("rs8 " + std::to_string(pos(8)) + " A G 0 1\n"), std::string::npos)
        << gathered;
}

TEST_F(ScatterSmall, PiecesOfAnotherOrderOrAnotherJoinAreRefused) {
    auto flip = [](const std::string& file, int at) {
        return "python3 -c 'import sys; f = open(sys.argv[1], \"r+b\"); f.seek(" +
               std::to_string(at) + "); b = f.read(1)[0]; f.seek(" + std::to_string(at) +
               "); f.write(bytes([b ^ 16]))' " + file;
    };
    spit(dir.path("c1.haps"), rows(0, 4, false));
    spit(dir.path("c2.haps"), rows(2, 7, true));
    spit(dir.path("c3.haps"), rows(5, 8, false));
    const std::vector<std::string> chunks = {"c1.haps", "c2.haps", "c3.haps"};
    struct {
        std::string setup, message;
    } cases[] = {
        {"mv w/stretch.2 x && mv w/stretch.3 w/stretch.2 && mv x w/stretch.3 && "
         "mv w/stretch.2.entries x && mv w/stretch.3.entries w/stretch.2.entries && "
         "mv x w/stretch.3.entries",
         "cannot read [w/stretch.2.entries]: it is the stretch of chunk 3, not 2"},
        {"mv w/stretch.2 x && mv w/stretch.3 w/stretch.2 && mv x w/stretch.3",
         "cannot read [w/stretch.2]: it is not the stretch that [w/stretch.2.entries] describes"},
        {"cp one/stretch.2.entries w/",
         "cannot read [w/stretch.2.entries]: it belongs to another join (other chunks, site map "
         "or options)"},
        {"cp one/fold w/", "cannot read [w/fold]: it belongs to another join"},
        {"touch -d '2001-01-01' c2.haps", "cannot read [w/plan]: it belongs to another join"},
        {"cp w/fold w/plan", "cannot read [w/plan]: not the file of a plan step"},
        {"truncate -s -8 w/fold", "cannot read [w/fold]: the file is cut short"},
        // A byte changed in place, the size kept.
        {flip("w/plan", 60), "cannot read [w/plan]: the file is cut short or damaged"},
        {flip("w/stretch.2", 20),
         "cannot read [w/stretch.2]: it is not the stretch that [w/stretch.2.entries] describes "
         "(its checksum differs)"},
        {"echo > w/stretch.1.entries", "cannot read [w/stretch.1.entries]: not a file of a step"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setup);
        // w: this join's files; one: those of the join with agree seams.
        shell("cd '" + dir.root + "' && rm -rf w one && touch -d '2020-01-01' c2.haps");
        ASSERT_EQ(scattered(3, args(chunks)).status, 0);
        ASSERT_EQ(scattered(3, with(args(chunks), {"--seam", "agree"}), "one").status, 0);
        shell("cd '" + dir.root + "' && rm -f o.haps o.sample r.tsv && " + c.setup);
        runResult r = step("gather", 0, args(chunks));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(exists(dir.path("o.haps")));
        EXPECT_FALSE(exists(dir.path("o.sample")));
    }
    // Defaults given in words are the same join as defaults left out.
    shell("cd '" + dir.root + "' && rm -rf w");
    ASSERT_EQ(step("plan", 0, args(chunks)).status, 0);
    EXPECT_EQ(
        step("boundary", 2, with(args(chunks), {"--seam", "middle", "--compression-level", "6"}))
            .status,
        0);
    // A stream, which one step would use up, is refused by every step.
    shell("cd '" + dir.root + "' && mkfifo fifo");
    for (const char* name : {"plan", "gather"}) {
        runResult r = step(name, 0, args({"c1.haps", "fifo", "c3.haps"}));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "seamline: input [fifo] is not a file: the steps of a join read each input more "
                  "than once\n");
    }
}

// The left chunk's records before the overlap lie in BGZF blocks of their
// own, one of them no site: through the index the boundary never reads it;
// without the index it does, and fails as the whole join would.
TEST_F(ScatterSmall, ABoundaryReadsOnlyTheOverlapOfAnIndexedChunk) {
    std::string header =
        "##fileformat=VCFv4.2\n##contig=<ID=20>\n"
        "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";
    auto record = [&](int i, bool exchanged) {
        return "20\t" + std::to_string(pos(i)) + "\trs" + std::to_string(i) +
               "\tA\tG\t.\t.\t.\tGT\t" + std::to_string(truth[i][exchanged]) + "|" +
               std::to_string(truth[i][!exchanged]) + "\n";
    };
    spit(dir.path("a.vcf"), header + record(0, false) + "20\t150\tno\tC\tT\t.\t.\t.\tGT\t0|1\n");
    std::string overlap;
    for (int i = 2; i <= 4; i++) overlap += record(i, false);
    spit(dir.path("b.vcf"), overlap);
    spit(dir.path("c2.haps"), rows(2, 7, true));
    shell("cd '" + dir.root +
          "' && bgzip -c a.vcf > c1.vcf.gz && bgzip -c b.vcf >> c1.vcf.gz && "
          "tabix -p vcf c1.vcf.gz");
    const std::vector<std::string> both = args({"c1.vcf.gz", "c2.haps"});
    ASSERT_EQ(step("plan", 0, both).status, 0);
    runResult r = step("boundary", 2, both);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Reading haplotypes in [c1.vcf.gz]\t3\n"), std::string::npos) << r.out;
    EXPECT_EQ(step("stretch", 1, both).status, 1);
    // An index older than its chunk, made for another content, counts as
    // none, as does a missing one.
    for (const std::string setup : {"touch -d '2001-01-01' c1.vcf.gz.tbi", "rm c1.vcf.gz.tbi"}) {
        shell("cd '" + dir.root + "' && " + setup);
        r = step("boundary", 2, both);
        EXPECT_EQ(r.status, 1) << setup;
        EXPECT_NE(r.out.find("Not found = 150 C  T"), std::string::npos) << r.out;
    }
}

// The plan reads an indexed chunk's first and last records only (each
// record lies in a window of the index of its own): a damaged block between
// them stops the join in one process and the stretch that reads the chunk,
// not the plan. Records beyond 2^29 give the gathered
// VCF.gz a CSI index, as in one process.
TEST_F(ScatterSmall, ThePlanReadsTheEndsOfAnIndexedChunk) {
    const std::string header =
        "##fileformat=VCFv4.2\n##contig=<ID=20>\n"
        "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\n";
    const int64_t far = int64_t(1) << 29;
    auto records = [&](int first, int last, int64_t shift) {
        std::string text;
        for (int i = first; i <= last; i++)
            text += "20\t" + std::to_string(shift + 20000 * (i + 1)) + "\trs" + std::to_string(i) +
                    "\tA\tG\t.\t.\t.\tGT\t" + (i % 2 ? "0|1" : "1|0") + "\n";
        return text;
    };
    for (int64_t shift : {int64_t(0), far}) {
        SCOPED_TRACE(shift);
        spit(dir.path("a.vcf"), header + records(0, 3, shift));
        spit(dir.path("b.vcf"), records(4, 7, shift));
        spit(dir.path("c.vcf"), records(8, 11, shift));
        spit(dir.path("c2.vcf"), header + records(9, 14, shift));
        shell("cd '" + dir.root +
              "' && rm -rf w && (bgzip -c a.vcf; bgzip -c b.vcf; bgzip -c c.vcf) " +
              "> c1.vcf.gz && tabix -f -C c1.vcf.gz && bgzip -f c2.vcf && tabix -f -C c2.vcf.gz");
        const std::vector<std::string> both = {"--chunks", "c1.vcf.gz", "c2.vcf.gz", "-o",
                                               "o.vcf.gz"};
        ASSERT_EQ(runSeamline(dir.root, both).status, 0);
        shell("cd '" + dir.root + "' && mv o.vcf.gz one.vcf.gz && mv o.vcf.gz.* one/");
        runResult r = scattered(2, both);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(text("o.vcf.gz").substr(text("o.vcf.gz").find("#CHROM")),
                  text("one.vcf.gz").substr(text("one.vcf.gz").find("#CHROM")));
        EXPECT_EQ(exists(dir.path("o.vcf.gz.csi")), shift != 0);
        EXPECT_EQ(exists(dir.path("one/o.vcf.gz.csi")), shift != 0);
        // The second BGZF block, the records of b.vcf, damaged in place.
        const size_t second = std::stoul(shell("bgzip -c '" + dir.path("a.vcf") + "' | wc -c"));
        shell("python3 -c 'import sys; f = open(sys.argv[1], \"r+b\"); f.seek(" +
              std::to_string(second + 30) + "); b = f.read(1)[0]; f.seek(" +
              std::to_string(second + 30) + "); f.write(bytes([b ^ 255]))' '" +
              dir.path("c1.vcf.gz") + "' && touch '" + dir.path("c1.vcf.gz.csi") + "'");
        shell("rm -rf '" + dir.path("w") + "' '" + dir.path("o.vcf.gz") + "'");
        EXPECT_EQ(runSeamline(dir.root, both).status, 1);
        for (const char* passes : {"plan", "boundary", "fold"}) {
            r = step(passes, std::string(passes) == "boundary" ? 2 : 0, both);
            ASSERT_EQ(r.status, 0) << passes << ": " << r.err;
        }
        r = step("stretch", 1, both);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("cannot read [c1.vcf.gz]"), std::string::npos) << r.err;
        shell("rm -f '" + dir.root + "'/one/* '" + dir.path("one.vcf.gz") + "'");
    }
}

}  // namespace
