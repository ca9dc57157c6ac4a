// End-to-end runs without a site map: VCF chunks joined by their records,
// every field and genotype kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

// Three samples over sites at 100, 200, ... of chromosomes 20 and 21. Each
// sample has a truth pair per site; a chunk stores some samples exchanged.
class DropIn : public ::testing::Test {
protected:
    tempDir dir;
    std::vector<std::vector<int>> truth;  // truth[site][2k + h]

    DropIn() {
        for (int i = 0; i < 20; i++)
            truth.push_back({i % 2, (i + 1) % 2, i % 3 == 0, i % 3 != 0, 1, i % 4 == 0});
    }
    static std::string header(const std::string& extra = "") {
        return "##fileformat=VCFv4.2\n##contig=<ID=20>\n##contig=<ID=21>\n"
               "##INFO=<ID=AF,Number=A,Type=Float,Description=\"frequency\">\n" +
               extra +
               "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"genotype\">\n"
               "##FORMAT=<ID=DS,Number=A,Type=Float,Description=\"dosage\">\n"
               "##FORMAT=<ID=AP1,Number=A,Type=Float,Description=\"first haplotype\">\n"
               "##FORMAT=<ID=AP2,Number=A,Type=Float,Description=\"second haplotype\">\n"
               "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tA\tB\tC\n";
    }
    // Site i of a chromosome, sample k exchanged where exchanged[k]; ds is
    // every sample's DS, which tells the chunks apart.
    std::string record(const std::string& chrom, int i, std::vector<bool> exchanged,
                       const std::string& ds = "0.5") const {
        exchanged.resize(3);
        std::string line = chrom + "\t" + std::to_string(100 * (i + 1)) + "\trs" +
                           std::to_string(i) + "\tA\tG\t50\tPASS\tAF=0.4\tGT:DS:AP1:AP2";
        for (int k = 0; k < 3; k++) {
            int a = truth[i][2 * k + exchanged[k]], b = truth[i][2 * k + !exchanged[k]];
            line += "\t" + std::to_string(a) + "|" + std::to_string(b) + ":" + ds + ":" +
                    (a ? "0.9" : "0.1") + ":" + (b ? "0.9" : "0.1");
        }
        return line + "\n";
    }
    void chunk(const std::string& name, const std::string& text, const std::string& extra = "") {
        spit(dir.path(name), header(extra) + text);
    }
    std::string range(const std::string& chrom, int first, int last, std::vector<bool> exchanged,
                      const std::string& ds = "0.5") const {
        std::string text;
        for (int i = first; i <= last; i++) text += record(chrom, i, exchanged, ds);
        return text;
    }
    runResult run(std::vector<std::string> args) { return runSeamline(dir.root, args); }
    std::string query(const std::string& file, const std::string& format) {
        return shell("bcftools query -f '" + format + "' " + dir.path(file));
    }
    // Every sample's GT as the first chunk stores them (chunk c1 exchanges
    // none), one line per site.
    std::string expectedGenotypes(int first, int last) const {
        std::string text;
        for (int i = first; i <= last; i++) {
            for (int k = 0; k < 3; k++)
                text += std::to_string(truth[i][2 * k]) + "|" +
                        std::to_string(truth[i][2 * k + 1]) + (k < 2 ? " " : "\n");
        }
        return text;
    }
};

// Chunk c2 stores samples A and C the other way round: their pairs, AP1 and
// AP2 come out as c1 stores them, DS, INFO and QUAL as they stand. A record
// that only c2 lists inside the overlap is kept.
TEST_F(DropIn, JoinsByRecordsAndExchangesPerHaplotypeFields) {
    std::string lacking = range("20", 5, 5, {true, false, true});
    chunk("c1.vcf", range("20", 0, 7, {}));
    chunk("c2.vcf", range("20", 4, 4, {true, false, true}) + lacking +
                        range("20", 6, 12, {true, false, true}));
    shell("cd " + dir.root + " && grep -v '^20.600' c1.vcf > c1b.vcf && mv c1b.vcf c1.vcf");
    runResult r = run({"--chunks", "c2.vcf", "c1.vcf", "-o", "o.vcf.gz", "--report", "r.tsv"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("  * overlap=3\n  * #switches=2 out of 3 possible\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(shell("bcftools query -f '[%GT ]\\n' " + dir.path("o.vcf.gz") + " | sed 's/ $//'"),
              expectedGenotypes(0, 12));
    // AP1 goes with the first haplotype everywhere.
    EXPECT_EQ(shell("bcftools query -f '[%GT:%AP1:%AP2 ]\\n' " + dir.path("o.vcf.gz") +
                    " | tr ' ' '\\n' | grep -v '^$' | grep -cv '^0|0:0.1:0.1$\\|^0|1:0.1:0.9$\\|"
                    "^1|0:0.9:0.1$\\|^1|1:0.9:0.9$'"),
              "0\n");
    EXPECT_EQ(query("o.vcf.gz", "%POS %QUAL %FILTER %INFO/AF\\n").substr(0, 16),
              "100 50 PASS 0.4\n");
    EXPECT_NE(slurp(dir.path("r.tsv")).find("c1.vcf\tc2.vcf\tA\t3\t0\t"), std::string::npos);
}

// Each chromosome is joined on its own, in the order of the first chunk's
// header, whatever the order of the names and of the chromosomes in each
// file; neighbours without a record in common are a gap, refused unless
// --allow-gaps, which starts the orientation afresh.
TEST_F(DropIn, ChromosomesAndGaps) {
    chunk("a.vcf", range("20", 0, 6, {}) + range("21", 0, 5, {}));
    chunk("b.vcf", range("20", 4, 10, {false, true, false}) + range("21", 3, 9, {true}));
    chunk("a21.vcf", range("21", 0, 5, {}) + range("20", 0, 6, {}));
    chunk("b21.vcf", range("21", 3, 9, {true}) + range("20", 4, 10, {false, true, false}));
    chunk("far.vcf", range("20", 12, 15, {true, true, true}));
    shell("cd " + dir.root + " && bcftools view -Oz -o a21.vcf.gz a21.vcf && " +
          "bcftools view -Ob -o b21.bcf b21.vcf");
    std::string chromosomes;
    for (int i = 0; i < 21; i++) chromosomes += i < 11 ? "20\n" : "21\n";
    // With threads too: the index of a BCF written on several threads still
    // answers region queries.
    const std::vector<std::vector<std::string>> orders = {{"b.vcf", "a.vcf"},
                                                          {"a21.vcf", "b.vcf"},
                                                          {"b21.vcf", "a21.vcf"},
                                                          {"b21.bcf", "a21.vcf.gz"},
                                                          {"a21.vcf.gz", "b21.bcf"}};
    for (const std::vector<std::string>& names : orders) {
        SCOPED_TRACE(names[0] + " " + names[1]);
        runResult r = run({"--chunks", names[0], names[1], "-o", "o.bcf", "--threads", "2"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(query("o.bcf", "%CHROM\\n"), chromosomes);
        EXPECT_EQ(
            shell("bcftools query -f '[%GT ]\\n' -r 21 " + dir.path("o.bcf") + " | sed 's/ $//'"),
            expectedGenotypes(0, 9));
    }
    runResult r;

    r = run({"--chunks", "a.vcf", "b.vcf", "far.vcf", "-o", "o.vcf"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Chunk [far.vcf] does not overlap chunk [b.vcf], code 1\n"),
              std::string::npos);
    EXPECT_FALSE(exists(dir.path("o.vcf")));
    r = run({"--chunks", "a.vcf", "b.vcf", "far.vcf", "-o", "o.vcf.gz", "--allow-gaps", "--report",
             "r.tsv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  * gap: no record in common, the orientation starts afresh\n"),
              std::string::npos);
    EXPECT_NE(slurp(dir.path("r.tsv")).find("b.vcf\tfar.vcf\tC\t0\t0\t0\tgap\t0\n"),
              std::string::npos);
    // After the gap, far.vcf is written as it stores its pairs.
    EXPECT_EQ(shell("bcftools query -f '[%GT ]\\n' -r 20:1300-1600 " + dir.path("o.vcf.gz") +
                    " | sed 's/ $//'"),
              [&] {
                  std::string text;
                  for (int i = 12; i <= 15; i++)
                      for (int k = 0; k < 3; k++)
                          text += std::to_string(truth[i][2 * k + 1]) + "|" +
                                  std::to_string(truth[i][2 * k]) + (k < 2 ? " " : "\n");
                  return text;
              }());
}

// Every file a user may name as a chunk without a site map: standard input
// and a FIFO are read like files; a file that is no chunk, a stray argument,
// a chunk within another, declarations that clash, repeated samples and a
// genotype that is none end the run naming what is wrong; a chunk without
// contig lines is joined, and chromosomes named two ways are joined with a
// warning.
TEST_F(DropIn, EveryFileNamedAsAChunkIsReadOrRefusedByName) {
    chunk("c1.vcf", range("20", 0, 9, {}));
    chunk("c2.vcf", range("20", 5, 14, {true}));
    chunk("inner.vcf", range("20", 2, 6, {}));
    spit(dir.path("r2.vcf"),
         shell("sed 's/ID=AF,Number=A,Type=Float/ID=AF,Number=1,Type=String/' " +
               dir.path("c2.vcf")));
    spit(dir.path("nocontig.vcf"), shell("grep -v '^##contig' " + dir.path("c2.vcf")));
    spit(dir.path("chr.vcf"), shell("sed 's/^20\t/chr20\t/' " + dir.path("c2.vcf")));
    spit(dir.path("twice.vcf"), shell("sed 's/\tC$/\tA/' " + dir.path("c2.vcf")));
    spit(dir.path("badgt.vcf"), shell("sed '/^20\t700\t/s/\t1|0:/\t1|x:/' " + dir.path("c2.vcf")));
    spit(dir.path("rows.haps"), "20 rs1 100 A G 0 1 0 1 0 1\n");
    spit(dir.path("empty.vcf"), "");
    chunk("head.vcf", range("20", 0, 4, {}));
    spit(dir.path("noaf.vcf"), shell("grep -v '^##INFO=<ID=AF' " + dir.path("c2.vcf")));
    // Keys that no header declares, in a record of the overlap (found by a
    // boundary) and in one beyond it (found by a stretch).
    spit(dir.path("uinfo.vcf"),
         shell("sed '/^20\t1200\t/s/AF=0.4/AF=0.4;UNDECL=u3/' " + dir.path("c2.vcf")));
    spit(dir.path("ufilter.vcf"),
         shell("sed '/^20\t700\t/s/\tPASS\t/\tLOWQ\t/' " + dir.path("c2.vcf")));
    spit(dir.path("uformat.vcf"),
         shell(
             "sed '/^20\t1300\t/{s/:AP2\t/:AP2:XF\t/; s/\\(:0\\.[19]\\)\\(\t\\|$\\)/\\1:7\\2/g}' " +
             dir.path("c2.vcf")));
    // Indexes of other content, made after their chunks.
    shell("cd " + dir.root + " && sed 's/^20\t/21\t/' c2.vcf | bgzip > other.vcf.gz && " +
          "tabix other.vcf.gz && cp c2.vcf other.vcf && bgzip -f other.vcf && " +
          "head -n 15 c2.vcf | bgzip > appended.vcf.gz && tabix appended.vcf.gz && " +
          "grep -v '^#' c2.vcf | tail -n 4 | bgzip >> appended.vcf.gz && sleep 0.01 && " +
          "touch other.vcf.gz.tbi appended.vcf.gz.tbi");
    shell("cd " + dir.root + " && mkdir sub && bgzip -k c2.vcf && tabix c2.vcf.gz && " +
          "bzip2 -k c2.vcf && python3 -c 'import lzma, sys; " +
          "sys.stdout.buffer.write(lzma.compress(open(\"c2.vcf\", \"rb\").read()))' > c2.vcf.xz");
    const std::string all = expectedGenotypes(0, 14);
    const std::string undeclared =
        ", which its header does not declare; the steps of a join write the header that the "
        "plan makes from the chunks' headers: declare ";
    const struct {
        std::vector<std::string> chunks;
        std::string setup, err;  // err: all of standard error, or a warning it holds
        int status;
        std::string stepsErr = "";  // where the steps refuse what one process joins
        std::vector<std::string> outputs = {"-o", "o.vcf.gz"};
    } cases[] = {
        {{"c1.vcf", "-"}, "exec <c2.vcf &&", "", 0},
        {{"c1.vcf", "fifo"}, "mkfifo fifo && (cat c2.vcf > fifo &) &&", "", 0},
        {{"c1.vcf", "nocontig.vcf"}, "", "", 0},
        // Two chunks that start at one record, in either order.
        {{"c1.vcf", "head.vcf", "c2.vcf"}, "", "", 0},
        {{"head.vcf", "c1.vcf", "c2.vcf"}, "", "", 0},
        {{"c1.vcf", "nothere.vcf"}, "", "seamline: chunk [nothere.vcf]: no such file\n", 1},
        {{"c1.vcf", "sub"}, "", "seamline: chunk [sub] is a directory\n", 1},
        {{"c1.vcf", "c2.vcf.gz", "c2.vcf.gz.tbi"},
         "",
         "seamline: chunk [c2.vcf.gz.tbi] is an index, not a chunk\n",
         1},
        {{"c1.vcf", "empty.vcf"}, "", "seamline: chunk [empty.vcf] is empty\n", 1},
        {{"c1.vcf", "-", "-"},
         "exec <c2.vcf &&",
         "seamline: chunk [-] is named twice: standard input can be read once\n",
         1},
        {{"c1.vcf", "c2.vcf.xz"},
         "",
         "seamline: chunk [c2.vcf.xz] is compressed with xz; without --vcf every chunk must be "
         "VCF or BCF, plain or compressed with bgzip\n",
         1},
        {{"c1.vcf", "c2.vcf.bz2"},
         "",
         "seamline: chunk [c2.vcf.bz2] is compressed with bzip2; without --vcf every chunk must "
         "be VCF or BCF, plain or compressed with bgzip\n",
         1},
        {{"c1.vcf", "rows.haps"},
         "",
         "seamline: chunk [rows.haps] is not VCF or BCF; without --vcf every chunk must be\n",
         1},
        // A stream without end is told from its first bytes, not copied whole
        // (8 MiB at most here).
        {{"c1.vcf", "/dev/zero"},
         "ulimit -f 8192 &&",
         "seamline: chunk [/dev/zero] is not VCF or BCF; without --vcf every chunk must be\n",
         1},
        {{"c1.vcf", "-o", "o.vcf", "c2.vcf"},
         "",
         "seamline: argument [c2.vcf] is taken by no option; chunks follow --chunks, before the "
         "next option\n",
         1},
        {{"c1.vcf", "inner.vcf", "c2.vcf"},
         "",
         "seamline: chunk [inner.vcf] lies within chunk [c1.vcf], which goes on beyond its end: "
         "it would cut that chunk's records in two; every chunk must reach at least as far as the "
         "one before it, so leave it out of the join\n",
         1},
        {{"c1.vcf", "r2.vcf"},
         "",
         "seamline: INFO/AF is declared Number=A,Type=Float in [c1.vcf] and "
         "Number=1,Type=String in [r2.vcf]; one output header cannot hold both\n",
         1},
        {{"c1.vcf", "noaf.vcf"},
         "",
         "seamline: INFO/AF is declared Number=A,Type=Float in [c1.vcf] and not declared in "
         "[noaf.vcf] (read as Number=1,Type=String); one output header cannot hold both\n",
         1},
        {{"c1.vcf", "twice.vcf"},
         "",
         "seamline: cannot read [twice.vcf]: sample A appears twice\n",
         1},
        {{"c1.vcf", "badgt.vcf"},
         "",
         "seamline: cannot read [badgt.vcf]: line 11: sample A: GT '1|x' is not a genotype\n",
         1},
        {{"c1.vcf", "chr.vcf", "--allow-gaps"},
         "",
         "seamline: warning: [c1.vcf] names the chromosome 20 and [chr.vcf] names it chr20; "
         "their records overlap from 600 to 1000 but are joined as two chromosomes\n",
         0},
        // Outputs that cannot be written, refused before anything is read.
        {{"c1.vcf", "c2.vcf"},
         "",
         "seamline: cannot write [c2.vcf]: it is the input [c2.vcf]\n",
         1,
         "",
         {"-o", "c2.vcf"}},
        {{"c1.vcf", "c2.vcf"},
         "",
         "seamline: cannot open [nodir/o.vcf.gz]: No such file or directory\n",
         1,
         "",
         {"-o", "nodir/o.vcf.gz"}},
        {{"c1.vcf", "c2.vcf"},
         "",
         "seamline: cannot write [o.vcf.gz]: it is the same file as the output [o.vcf.gz]\n",
         1,
         "",
         {"-o", "o.vcf.gz", "--report", "o.vcf.gz"}},
        {{"c1.vcf", "c2.vcf"},
         "",
         "seamline: cannot write [c1.vcf]: it is the input [c1.vcf]\n",
         1,
         "",
         {"-o", "o.vcf.gz", "--report", "c1.vcf"}},
        // Keys that no header declares: one process writes the lines that
        // htslib makes up for them; the steps, whose header the plan makes
        // from the headers, refuse them.
        {{"c1.vcf", "uinfo.vcf"},
         "",
         "",
         0,
         "seamline: chunk [uinfo.vcf] uses INFO/UNDECL" + undeclared +
             "INFO/UNDECL in the header of [uinfo.vcf], or join the chunks in one process\n"},
        {{"c1.vcf", "ufilter.vcf"},
         "",
         "",
         0,
         "seamline: chunk [ufilter.vcf] uses FILTER/LOWQ" + undeclared +
             "FILTER/LOWQ in the header of [ufilter.vcf], or join the chunks in one process\n"},
        {{"c1.vcf", "uformat.vcf"},
         "",
         "",
         0,
         "seamline: chunk [uformat.vcf] uses FORMAT/XF" + undeclared +
             "FORMAT/XF in the header of [uformat.vcf], or join the chunks in one process\n"},
        // Indexes newer than their chunks but made for other content: of
        // another chromosome, or before records were appended. They count
        // as none.
        {{"c1.vcf", "other.vcf.gz"}, "", "", 0},
        {{"c1.vcf", "appended.vcf.gz"}, "", "", 0},
    };
    // The join split into steps refuses the same files with the same line,
    // in whichever step first reads what is wrong, and joins the others as
    // one process does.
    auto steps = [&](const std::vector<std::string>& chunks,
                     const std::vector<std::string>& outputs) {
        shell("rm -rf " + dir.path("w"));
        const std::vector<std::string> args =
            with(with(with({"--work", "w", "--chunks"}, chunks), outputs), {"--step"});
        runResult r = runSeamline(dir.root, with(args, {"plan"}));
        for (size_t c = 2; r.status == 0 && c <= chunks.size(); c++)
            r = runSeamline(dir.root, with(args, {"boundary", "--part", std::to_string(c)}));
        if (r.status == 0) r = runSeamline(dir.root, with(args, {"fold"}));
        for (size_t c = 1; r.status == 0 && c <= chunks.size(); c++)
            r = runSeamline(dir.root, with(args, {"stretch", "--part", std::to_string(c)}));
        if (r.status == 0) r = runSeamline(dir.root, with(args, {"gather"}));
        return r;
    };
    auto records = [&](const std::string& name) {
        return shell("bcftools view --no-version " + dir.path(name) +
                     " | grep -v '^##seamlineCommand='");
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chunks.back() + " " + c.outputs.back());
        shell("rm -f " + dir.path("o.vcf.gz") + " " + dir.path("fifo"));
        runResult r = runSeamline(dir.root, with(with({"--chunks"}, c.chunks), c.outputs), c.setup);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(exists(dir.path("o.vcf.gz")), c.status == 0);
        const bool oneProcessOnly = !c.setup.empty() || c.chunks[1] == "-o";
        if (!oneProcessOnly && (c.status != 0 || !c.stepsErr.empty())) {
            runResult split = steps(c.chunks, c.outputs);
            EXPECT_EQ(split.status, 1);
            EXPECT_EQ(split.err, c.stepsErr.empty() ? c.err : c.stepsErr);
        }
        if (c.status != 0 || c.err != "") continue;
        EXPECT_EQ(
            shell("bcftools query -f '[%GT ]\\n' " + dir.path("o.vcf.gz") + " | sed 's/ $//'"),
            all);
        EXPECT_EQ(
            shell("bcftools view -h " + dir.path("o.vcf.gz") + " | grep -c '^##contig=<ID=20'"),
            "1\n");
        if (oneProcessOnly || !c.stepsErr.empty()) continue;
        const std::string one = records("o.vcf.gz");
        shell("rm -f " + dir.path("o.vcf.gz"));
        runResult split = steps(c.chunks, c.outputs);
        EXPECT_EQ(split.status, 0) << split.err;
        EXPECT_EQ(records("o.vcf.gz"), one);
    }

    // Standard input opened on the output file is an input like any other.
    shell("cp " + dir.path("c2.vcf") + " " + dir.path("o.vcf"));
    runResult in =
        runSeamline(dir.root, {"--chunks", "c1.vcf", "-", "-o", "o.vcf"}, "exec <o.vcf &&");
    EXPECT_EQ(in.status, 1);
    EXPECT_EQ(in.err, "seamline: cannot write [o.vcf]: it is the input [-]\n");
    EXPECT_EQ(slurp(dir.path("o.vcf")), slurp(dir.path("c2.vcf")));

    // Positions across 2^31: VCF.gz with a CSI index that finds them; BCF,
    // which cannot hold them, refused before anything is written.
    for (const char* name : {"c1", "c2"})
        spit(dir.path(std::string("far") + name + ".vcf"),
             shell("awk 'BEGIN { FS = OFS = \"\\t\" } /^20/ { $2 = sprintf(\"%.0f\", $2 + "
                   "2147483000) } 1' " +
                   dir.path(std::string(name) + ".vcf")));
    runResult r = run({"--chunks", "farc2.vcf", "farc1.vcf", "-o", "o.vcf.gz"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(exists(dir.path("o.vcf.gz.csi")));
    // bcftools query prints positions as 32-bit numbers; view prints them whole.
    EXPECT_EQ(shell("bcftools view -H -r 20:2147483500-2147484100 " + dir.path("o.vcf.gz") +
                    " | cut -f2 | tr '\\n' ' '"),
              "2147483500 2147483600 2147483700 2147483800 2147483900 2147484000 2147484100 ");
    EXPECT_EQ(shell("bcftools query -f '[%GT ]\\n' " + dir.path("o.vcf.gz") + " | sed 's/ $//'"),
              all);
    r = run({"--chunks", "farc2.vcf", "farc1.vcf", "-o", "o.bcf"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "seamline: cannot write [o.bcf]: record 7 of [farc1.vcf] is at 20:2147483700, "
              "beyond the positions BCF holds (up to 2147483647); write VCF instead\n");
    EXPECT_FALSE(exists(dir.path("o.bcf")));
}

// With --seam agree, a record of an overlap takes each sample's fields from
// the side of its own seam: sample A's chunks disagree at sites 6 and 7, so it
// switches to c2 at site 5, where B and C, whose chunks agree, still take c1's.
// The header is the union of the chunks' headers; --output also writes the
// sample file, and -o - writes VCF on standard output.
TEST_F(DropIn, AgreeSeamsHeaderUnionAndOutputs) {
    chunk("c1.vcf", range("20", 0, 9, {}, "0.1"));
    chunk("c2.vcf",
          range("20", 4, 5, {}, "0.9") + range("20", 6, 7, {true}, "0.9") +
              range("20", 8, 13, {}, "0.9"),
          "##INFO=<ID=R2,Number=1,Type=Float,Description=\"score\">\n##source=win2\n##tag=one\n");
    // Each window's own lines are kept, each text once.
    spit(dir.path("c1.vcf"),
         shell("sed 's/^##contig=<ID=21>$/&\\n##source=win1\\n##tag=one/' " + dir.path("c1.vcf")));
    struct {
        std::string seam, sites5and6;
    } cases[] = {{"middle", "600 0.1 0.1 0.1\n700 0.1 0.1 0.1\n"},
                 {"agree", "600 0.9 0.1 0.1\n700 0.9 0.1 0.1\n"}};
    for (const auto& c : cases) {
        runResult r = run(
            {"--chunks", "c1.vcf", "c2.vcf", "--seam", c.seam, "--output", "o.vcf.gz", "o.sample"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(shell("bcftools query -f '%POS[ %DS]\\n' -r 20:600-700 " + dir.path("o.vcf.gz")),
                  c.sites5and6)
            << c.seam;
    }
    EXPECT_EQ(slurp(dir.path("o.sample")), "ID_1 ID_2 missing\n0 0 0\nA A 0\nB B 0\nC C 0\n");
    EXPECT_EQ(shell("bcftools view -h " + dir.path("o.vcf.gz") +
                    " | grep -c '^##INFO=<ID=\\(AF\\|R2\\),'"),
              "2\n");
    EXPECT_EQ(
        shell("bcftools view -h " + dir.path("o.vcf.gz") + " | grep '^##\\(source\\|tag\\)='"),
        "##source=win1\n##tag=one\n##source=win2\n##source=seamline " SEAMLINE_VERSION_TEXT "\n");
    runResult r = run({"--chunks", "c1.vcf", "c2.vcf", "-o", "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 19), "##fileformat=VCFv4.");
    EXPECT_NE(r.err.find("Writing haplotypes in [-]\n"), std::string::npos);
    spit(dir.path("stdout.vcf"), r.out);
    EXPECT_EQ(shell("grep -vc '^#' " + dir.path("stdout.vcf")), "14\n");
}

// At a site of several ALT alleles only equal pairs are evidence: 1|2
// against 2|1 swaps, 0|1 against 0|2 says nothing. Unphased, haploid and
// missing genotypes are written as they stand, also in an exchanged chunk.
// The allele pairs read the same from memory and from the spill file.
TEST_F(DropIn, MultiallelicEvidenceAndGenotypesKeptAsTheyStand) {
    auto line = [](int pos, const std::string& a, const std::string& b, const std::string& c) {
        return "20\t" + std::to_string(pos) + "\t.\tA\tG,T\t.\t.\t.\tGT\t" + a + "\t" + b + "\t" +
               c + "\n";
    };
    std::string shared;
    for (int pos : {100, 200, 300}) shared += line(pos, "1|2", "0|1", "0|1");
    chunk("c1.vcf", shared);
    std::string right;
    for (int pos : {100, 200, 300}) right += line(pos, "2|1", "0|2", "0|1");
    chunk("c2.vcf", right + line(400, "2|1", "1", "0/1") + line(500, "0|2", ".", "1|0"));
    for (const std::string setup : {"", "SEAMLINE_ROWS_IN_MEMORY=0 TMPDIR=."}) {
        unlink(dir.path("o.vcf").c_str());
        runResult r = runSeamline(
            dir.root, {"--chunks", "c1.vcf", "c2.vcf", "-o", "o.vcf", "--report", "r.tsv"}, setup);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(shell("cut -f3-7 " + dir.path("r.tsv") + " | tail -n +2"),
                  "A\t3\t0\t3\tswap\nB\t3\t0\t0\tkeep\nC\t3\t3\t0\tkeep\n")
            << setup;
        EXPECT_EQ(shell("bcftools query -f '%POS[ %GT]\\n' " + dir.path("o.vcf")),
                  "100 1|2 0|1 0|1\n200 1|2 0|1 0|1\n300 1|2 0|2 0|1\n400 1|2 1 0/1\n"
                  "500 2|0 . 1|0\n");
    }
    // A genotype of another ploidy gives no evidence and takes none from the
    // diploid samples of its record, in a BCF chunk (parsed) as in a VCF one
    // (scanned): A and B count three records each.
    auto ploidy = [&](const std::string& a, const std::string& b, const std::string& c) {
        std::string text;
        for (int pos : {100, 200, 300}) text += line(pos, a, b, c);
        return text;
    };
    chunk("p1.vcf", ploidy("0|1", "1|0", "0|1|1"));
    chunk("p2.vcf", ploidy("1|0", "1|0", "1|1|0") + line(400, "1|0", "1|0", "0|1"));
    shell("cd " + dir.root + " && bcftools view -Ob -o p2.bcf p2.vcf");
    for (const std::string second : {"p2.vcf", "p2.bcf"}) {
        runResult r = run({"--chunks", "p1.vcf", second, "-o", "p.vcf", "--report", "p.tsv"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(shell("cut -f3-7 " + dir.path("p.tsv") + " | tail -n +2"),
                  "A\t3\t0\t3\tswap\nB\t3\t3\t0\tkeep\nC\t3\t0\t0\tkeep\n")
            << second;
        unlink(dir.path("p.vcf").c_str());
        unlink(dir.path("p.tsv").c_str());
    }
}

// Where three chunks overlap, every site is still written once; a chunk whose
// samples are not the first chunk's is refused with the sample's name.
TEST_F(DropIn, ThreeChunksOverlapAndSamplesMustMatch) {
    chunk("c1.vcf", range("20", 0, 9, {}));
    chunk("c2.vcf", range("20", 2, 12, {true}));
    chunk("c3.vcf", range("20", 4, 15, {false, true}));
    runResult r = run({"--chunks", "c3.vcf", "c2.vcf", "c1.vcf", "-o", "o.vcf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(shell("bcftools query -f '[%GT ]\\n' " + dir.path("o.vcf") + " | sed 's/ $//'"),
              expectedGenotypes(0, 15));

    std::string other = header();
    other.replace(other.find("\tC\n"), 3, "\tD\n");
    spit(dir.path("d.vcf"), other + range("20", 8, 12, {}));
    unlink(dir.path("o.vcf").c_str());
    r = run({"--chunks", "c1.vcf", "d.vcf", "-o", "o.vcf"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "seamline: cannot read [d.vcf]: sample D is not in the first chunk\n");
    EXPECT_FALSE(exists(dir.path("o.vcf")));
}

// The outputs and their indexes are the same bytes in every run and for every
// thread count (the header's command line leaves --threads out), also where
// blocks hold INFO and FORMAT fields besides GT. The chunks span a few
// hundred kilobytes of varied dosages, so the blocks of several threads meet.
TEST_F(DropIn, SameBytesInEveryRunAndForEveryThreadCount) {
    for (int i = 20; i < 3000; i++)
        truth.push_back({i % 2, (i / 7) % 2, i % 3 == 0, (i / 5) % 3 != 0, i % 11 < 6, i % 4 == 0});
    auto varied = [&](int first, int last, std::vector<bool> exchanged) {
        std::string text;
        for (int i = first; i <= last; i++)
            text += record("20", i, exchanged, "0." + std::to_string(10 + (i * 37) % 90));
        return text;
    };
    chunk("c1.vcf", varied(0, 1800, {}));
    chunk("c2.vcf", varied(1500, 2999, {true, false, true}));
    for (const std::string output : {"o.vcf.gz", "o.bcf"}) {
        const std::string index = output + (output == "o.bcf" ? ".csi" : ".tbi");
        std::string first, firstIndex;
        for (const std::string threads : {"1", "2", "4"}) {
            for (int again = 0; again < 2; again++) {
                runResult r =
                    run({"--chunks", "c1.vcf", "c2.vcf", "-o", output, "--threads", threads});
                ASSERT_EQ(r.status, 0) << r.err;
                const std::string bytes = slurp(dir.path(output));
                if (first.empty()) {
                    first = bytes;
                    firstIndex = slurp(dir.path(index));
                    continue;
                }
                EXPECT_TRUE(bytes == first) << output << " --threads " << threads;
                EXPECT_TRUE(slurp(dir.path(index)) == firstIndex) << index << " " << threads;
            }
        }
        EXPECT_GT(std::stoul(shell("gzip -dc " + dir.path(output) + " | wc -c")), 4u * 65280)
            << output << ": several blocks";
    }
}

// --compression-level trades size for speed in every compressed output and
// leaves the records as they are: level 0 stores them, 9 is no larger than 1.
TEST_F(DropIn, CompressionLevelsKeepTheRecords) {
    chunk("c1.vcf", range("20", 0, 12, {}));
    chunk("c2.vcf", range("20", 8, 19, {true}));
    shell("cd " + dir.root + " && bcftools view -Ob -o c1.bcf c1.vcf && bcftools view -Ob -o " +
          "c2.bcf c2.vcf");
    for (const std::string ext : {"vcf", "bcf"}) {
        const std::string output = ext == "vcf" ? "o.vcf.gz" : "o.bcf";
        std::string records;
        std::vector<size_t> sizes;
        for (const std::string level : {"0", "1", "9"}) {
            runResult r = run({"--chunks", "c1." + ext, "c2." + ext, "-o", output,
                               "--compression-level", level, "--report", "r.tsv.gz"});
            ASSERT_EQ(r.status, 0) << r.err;
            const std::string got = shell("bcftools view -H " + dir.path(output));
            if (records.empty()) records = got;
            EXPECT_EQ(got, records) << output << " level " << level;
            sizes.push_back(slurp(dir.path(output)).size());
            EXPECT_NE(shell("gzip -dc " + dir.path("r.tsv.gz")).find("c1." + ext),
                      std::string::npos);
        }
        EXPECT_EQ(std::count(records.begin(), records.end(), '\n'), 20) << output;
        EXPECT_GT(sizes[0], shell("gzip -dc " + dir.path(output)).size()) << output << " stored";
        EXPECT_LE(sizes[2], sizes[1]) << output;
    }
}

}  // namespace

// Genotypes of every kind, GT first or not among the keys: VCF text chunks
// and the same chunks as BCF give the same evidence, report and output.
TEST_F(DropIn, TextChunksReadAsTheirBinaryForm) {
    const std::vector<std::string> kinds = {"0|1", "1|0", ".|1", "0/1", "1",
                                            ".",   "./.", "0|0", "1|1", "0|1|1"};
    auto line = [&](int pos, size_t i) {
        const std::string at = "20\t" + std::to_string(pos) + "\t.\t";
        if (i % 5 == 3)
            return at + "A\tG,T\t.\t.\t.\tGT\t1|2\t2|0\t" + kinds[i % kinds.size()] + "\n";
        if (i % 7 == 4)
            return at + "AC\tG\t.\t.\tEND=" + std::to_string(pos + 3) + "\tGT\t0|1\t1|0\t0|1\n";
        const bool gtFirst = i % 2 == 0;
        std::string text = at + "A\tG\t.\t.\t.\t" + (gtFirst ? "GT:DS" : "DS:GT");
        for (size_t k = 0; k < 3; k++) {
            const std::string& gt = kinds[(i + 3 * k) % kinds.size()];
            text += gtFirst ? "\t" + gt + ":0.5" : "\t0.5:" + gt;
        }
        return text + "\n";
    };
    std::string c1, c2;
    for (size_t i = 0; i < 12; i++) c1 += line(100 * static_cast<int>(i + 1), i);
    for (size_t i = 6; i < 20; i++) c2 += line(100 * static_cast<int>(i + 1), (i * 3) % 20);
    const std::string end = "##INFO=<ID=END,Number=1,Type=Integer,Description=\"end\">\n";
    chunk("c1.vcf", c1, end);
    chunk("c2.vcf", c2, end);
    shell("cd " + dir.root + " && bcftools view -Ob -o c1.bcf c1.vcf && bcftools view -Ob -o " +
          "c2.bcf c2.vcf");
    // Mixed, so that evidence read one way meets evidence read the other.
    const std::vector<std::pair<std::string, std::string>> mixes = {
        {"vcf", "vcf"}, {"bcf", "bcf"}, {"vcf", "bcf"}, {"bcf", "vcf"}};
    for (const auto& [first, second] : mixes) {
        const std::string name = first + "_" + second;
        runResult r = run({"--chunks", "c1." + first, "c2." + second, "-o", "o_" + name + ".vcf",
                           "--report", "r_" + name + ".tsv"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(shell("sed 's/[.]bcf/.vcf/g' " + dir.path("r_" + name + ".tsv")),
                  slurp(dir.path("r_vcf_vcf.tsv")))
            << name;
        EXPECT_EQ(shell("bcftools view -H " + dir.path("o_" + name + ".vcf")),
                  shell("bcftools view -H " + dir.path("o_vcf_vcf.vcf")))
            << name;
    }
    EXPECT_NE(slurp(dir.path("r_vcf_vcf.tsv")).find("c1.vcf\tc2.vcf\tA\t"), std::string::npos);
}
