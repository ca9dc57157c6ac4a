// End-to-end runs of the built binary on inputs and outputs that are broken,
// unusual or hostile: every run ends with both outputs and status 0, or with a
// message, status 1 and nothing written.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testutil.h"

namespace {

const std::string header = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";

std::string repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; i++) out += text;
    return out;
}

// A site map of two samples and three sites, a chunk file covering them, and
// the haplotype file that the two make.
class Faults : public ::testing::Test {
protected:
    tempDir dir;
    const std::string map =
        header + "\tS1\tS2\n20\t100\trs1\tA\tG\n20\t200\trs2\tC\tT\n" + "20\t300\trs3\tG\tA\n";
    const std::string rows = "20 rs1 100 A G 0 1 1 0\n20 rs2 200 C T 1 1 0 1\n" +
                             std::string("20 rs3 300 G A 0 0 1 1\n");
    const std::string haps = "20 rs1 100 A G 1 0 0 1\n20 rs2 200 C T 1 1 1 0\n" +
                             std::string("20 rs3 300 G A 0 0 1 1\n");
    const std::string samples = "ID_1 ID_2 missing\n0 0 0\nS1 S1 0\nS2 S2 0\n";

    void SetUp() override {
        spit(dir.path("sites.vcf"), map);
        spit(dir.path("c.haps"), rows);
    }

    std::vector<std::string> args(const std::string& vcf, const std::vector<std::string>& chunks,
                                  const std::vector<std::string>& extra = {}) {
        std::vector<std::string> a = {"--vcf", vcf, "--chunks"};
        a.insert(a.end(), chunks.begin(), chunks.end());
        a.insert(a.end(), {"--output", "o.haps", "o.sample"});
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    runResult run(const std::string& vcf, const std::vector<std::string>& chunks,
                  const std::vector<std::string>& extra = {}, const std::string& setup = "") {
        unlink(dir.path("o.haps").c_str());
        unlink(dir.path("o.sample").c_str());
        return runSeamline(dir.root, args(vcf, chunks, extra), setup);
    }
    // Neither output nor a temporary file is left in the directory.
    void expectNothingWritten(const std::string& what) {
        EXPECT_FALSE(exists(dir.path("o.haps"))) << what;
        EXPECT_FALSE(exists(dir.path("o.sample"))) << what;
        EXPECT_EQ(shell("ls -A '" + dir.root + "' | grep -c seamline-"), "0\n") << what;
    }

    // A run refused with this message on standard error leaves its inputs as
    // they were and writes nothing.
    void expectRefused(const std::string& map, const std::string& chunk,
                       const std::vector<std::string>& extra, const std::string& err) {
        spit(dir.path("t.vcf"), map);
        spit(dir.path("t.haps"), chunk);
        runResult r = run("t.vcf", {"t.haps"}, extra);
        EXPECT_EQ(r.status, 1) << err;
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(slurp(dir.path("t.vcf")), map) << err;
        EXPECT_EQ(slurp(dir.path("t.haps")), chunk) << err;
        expectNothingWritten(err);
    }

    // A site map and one chunk file, and how their run must end: with status 0
    // and these two outputs, or with status 1 and standard output ending so.
    struct mapAndChunk {
        std::string map, chunk;
        int status;
        std::string haps, samples, out;
    };
    void expectRuns(const std::vector<mapAndChunk>& cases, const std::string& name) {
        for (const mapAndChunk& c : cases) {
            spit(dir.path(name + ".vcf"), c.map);
            spit(dir.path(name + ".haps"), c.chunk);
            runResult r = run(name + ".vcf", {name + ".haps"});
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.err, "");
            if (c.status == 0) {
                EXPECT_EQ(slurp(dir.path("o.haps")), c.haps);
                EXPECT_EQ(slurp(dir.path("o.sample")), c.samples);
            } else {
                ASSERT_GE(r.out.size(), c.out.size());
                EXPECT_EQ(r.out.substr(r.out.size() - c.out.size()), c.out);
                expectNothingWritten(name);
            }
        }
    }
};

// A file the run may not read. Root reads every file whatever its mode, so as
// root the run goes without the capabilities that let it do so.
TEST_F(Faults, UnreadableInputsAreFailuresWithTheReason) {
    spit(dir.path("sc.txt"), "S1\n");
    for (std::string name : {"locked.vcf", "locked.haps", "locked.txt"}) {
        spit(dir.path(name), name == "locked.vcf" ? map : name == "locked.haps" ? rows : "S1\n");
        ASSERT_EQ(chmod(dir.path(name).c_str(), 0), 0);
    }
    std::string setup;
    if (geteuid() == 0) {
        setup = "setpriv --bounding-set=-dac_override,-dac_read_search sh -c 'exec \"$@\"'";
        if (shell("cd '" + dir.root + "' && " + setup + " exec cat locked.txt 2>/dev/null") ==
            "S1\n")
            GTEST_SKIP() << "running as root and cannot drop the capability to read any file";
    }
    struct {
        std::string vcf, chunk, scaffold, file, lastLine;
    } cases[] = {
        {"locked.vcf", "c.haps", "sc.txt", "locked.vcf", "Reading site map in [locked.vcf]\n"},
        {"sites.vcf", "locked.haps", "sc.txt", "locked.haps",
         "Reading haplotypes in [locked.haps]\n"},
        {"sites.vcf", "c.haps", "locked.txt", "locked.txt",
         "Reading scaffolded samples in [locked.txt]\n"},
    };
    for (const auto& c : cases) {
        runResult r = run(c.vcf, {c.chunk}, {"--scaffold", c.scaffold}, setup);
        EXPECT_EQ(r.status, 1) << c.file;
        EXPECT_EQ(r.err, "seamline: cannot open [" + c.file + "]: Permission denied\n");
        ASSERT_GE(r.out.size(), c.lastLine.size());
        EXPECT_EQ(r.out.substr(r.out.size() - c.lastLine.size()), c.lastLine);
        expectNothingWritten(c.file);
    }
    // The same run with readable files succeeds, so the mode made the difference.
    runResult r = run("sites.vcf", {"c.haps"}, {"--scaffold", "sc.txt"}, setup);
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(Faults, DirectoriesGivenAsFilesAreFailures) {
    ASSERT_EQ(mkdir(dir.path("d").c_str(), 0755), 0);
    struct {
        std::vector<std::string> args;
    } cases[] = {
        {args("d", {"c.haps"})},
        {args("sites.vcf", {"d"})},
        {args("sites.vcf", {"c.haps"}, {"--scaffold", "d"})},
        {{"--vcf", "sites.vcf", "--chunks", "c.haps", "--output", "d", "o.sample"}},
        {{"--vcf", "sites.vcf", "--chunks", "c.haps", "--output", "o.haps", "d"}},
    };
    for (const auto& c : cases) {
        runResult r = runSeamline(dir.root, c.args);
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.err, "seamline: cannot open [d]: Is a directory\n");
        expectNothingWritten(r.out);
    }
    EXPECT_EQ(shell("ls -A '" + dir.path("d") + "'"), "") << "nothing is written into it";
}

// Damage shows up when the decompressor meets it. A chunk file may first yield
// garbled rows, and then the row check is the message; a site map is always
// read to its end first.
TEST_F(Faults, DamagedOrEmptyCompressedInputsAreFailures) {
    std::string bigMap = header + "\tS1\tS2\n", bigChunk;
    for (int i = 1; i <= 3000; i++) {
        std::string pos = std::to_string(100 * i);
        bigMap += "20\t" + pos + "\trs" + std::to_string(i) + "\tA\tG\n";
        bigChunk += "20 rs" + std::to_string(i) + " " + pos + " A G " + std::to_string(i % 2) +
                    " 1 " + std::to_string(i % 3 == 0) + " 0\n";
    }
    spit(dir.path("map"), bigMap);
    spit(dir.path("chunk"), bigChunk);
    shell("cd '" + dir.root + "' && for f in map chunk; do gzip -c $f > $f.gz; " +
          "bzip2 -c $f > $f.bz2; done");
    auto damage = [&](const std::string& from, const std::string& to, bool cut) {
        std::string bytes = slurp(dir.path(from));
        if (cut)
            bytes.resize(bytes.size() / 2);
        else
            bytes[bytes.size() / 2] ^= 0x5a;
        spit(dir.path(to), bytes);
    };
    for (std::string kind : {"map", "chunk"})
        for (std::string ext : {".gz", ".bz2"}) {
            damage(kind + ext, "flipped-" + kind + ext, false);
            damage(kind + ext, "cut-" + kind + ext, true);
            spit(dir.path("empty-" + kind + ext), "");
        }
    // The whole files, as they were made, are good.
    runResult good = run("map.gz", {"chunk.bz2"});
    ASSERT_EQ(good.status, 0) << good.err;
    good = run("map.bz2", {"chunk.gz"});
    ASSERT_EQ(good.status, 0) << good.err;
    // VCF chunks compressed with bzip2 are not read as text rows.
    shell("cd '" + dir.root + "' && bzip2 -c map > c.vcf.bz2");
    good = run("map", {"c.vcf.bz2"});
    EXPECT_EQ(good.status, 1);
    EXPECT_EQ(good.err,
              "seamline: cannot read [c.vcf.bz2]: VCF compressed with bzip2 cannot be "
              "read; compress it with bgzip\n");

    for (std::string kind : {"map", "chunk"})
        for (std::string name : {"flipped-", "cut-", "empty-"})
            for (std::string ext : {".gz", ".bz2"}) {
                std::string file = name + kind + ext;
                runResult r = kind == "map" ? run(file, {"chunk"}) : run("map", {file});
                EXPECT_EQ(r.status, 1) << file;
                std::string damaged =
                    "seamline: cannot read [" + file + "]: the file is damaged or unreadable\n";
                std::string garbled =
                    "seamline: src/data.cpp: check failed: tok.size() == "
                    "(I.size() * 2 + 5) in [" +
                    file + "] line ";
                if (kind == "chunk" && name == "flipped-") {
                    EXPECT_TRUE(r.err == damaged || r.err.compare(0, garbled.size(), garbled) == 0)
                        << r.err;
                } else {
                    EXPECT_EQ(r.err, damaged);
                }
                if (kind == "map") {
                    EXPECT_EQ(r.out.find("#sites="), std::string::npos);
                }
                EXPECT_EQ(r.out.find("Sorting the"), std::string::npos);
                expectNothingWritten(file);
            }
}

TEST_F(Faults, MegabyteLinesAreReadWhole) {
    const std::string longId = repeat("x", 1 << 20);
    struct {
        std::string map, chunk;
        int status;
        std::string haps, err;
    } cases[] = {
        // a 1 MB identifier in the site map is written out as it stands
        {header + "\tS1\n20\t100\t" + longId + "\tA\tG\n", "20 rs1 100 A G 0 1\n", 0,
         "20 " + longId + " 100 A G 1 0\n", ""},
        // a 1 MB identifier in a chunk row is not used
        {header + "\tS1\n20\t100\trs1\tA\tG\n", "20 " + longId + " 100 A G 0 1\n", 0,
         "20 rs1 100 A G 1 0\n", ""},
        // a 1 MB line without a tab is not a site
        {header + "\tS1\n" + longId + "\n20\t100\trs1\tA\tG\n", "20 rs1 100 A G 1 1\n", 0,
         "20 rs1 100 A G 1 1\n", ""},
        // a 1 MB line without a space is one field
        {header + "\tS1\n20\t100\trs1\tA\tG\n", longId + "\n", 1, "",
         "seamline: src/data.cpp: check failed: tok.size() == (I.size() * 2 + 5) in [long.haps] "
         "line 1: 1 fields, expected 7\n"},
    };
    for (const auto& c : cases) {
        spit(dir.path("long.vcf"), c.map);
        spit(dir.path("long.haps"), c.chunk);
        runResult r = run("long.vcf", {"long.haps"});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        if (c.status == 0) {
            EXPECT_TRUE(slurp(dir.path("o.haps")) == c.haps) << "haplotype file differs";
        } else {
            expectNothingWritten("long line");
        }
    }
}

// A NUL byte is a byte like any other: it stays in names and identifiers, and
// a field that holds one is not the same text as one without.
TEST_F(Faults, NulBytesInsideLinesAreOrdinaryBytes) {
    const std::string nul(1, '\0');
    std::vector<mapAndChunk> cases = {
        {header + "\tS" + nul + "1\n20\t100\tr" + nul + "s\tA\tG\n", "20 x 100 A G 0 1\n", 0,
         "20 r" + nul + "s 100 A G 1 0\n",
         "ID_1 ID_2 missing\n0 0 0\nS" + nul + "1 S" + nul + "1 0\n", ""},
        {header + "\tS1\n20\t100\trs1\tA\tG\n", "20 x" + nul + " 100 A G 1 0\n", 0,
         "20 rs1 100 A G 0 1\n", "ID_1 ID_2 missing\n0 0 0\nS1 S1 0\n", ""},
        {header + "\tS1\n20\t100\trs1\tA\tG\n", "20 x 100 A" + nul + " G 0 1\n", 1, "", "",
         "Reading haplotypes in [nul.haps]Not found = 100 A" + nul + "  G\n"},
    };
    expectRuns(cases, "nul");
}

// Windows line ends in any text input read as Unix ones.
TEST_F(Faults, WindowsLineEndsReadLikeUnixOnes) {
    auto crlf = [](std::string text) {
        std::string out;
        for (char ch : text) out += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
        return out;
    };
    spit(dir.path("sc.txt"), "S2\n");
    runResult clean = run("sites.vcf", {"c.haps"}, {"--scaffold", "sc.txt"});
    ASSERT_EQ(clean.status, 0);
    const std::string cleanHaps = slurp(dir.path("o.haps"));
    const std::string fullMap = header +
                                "\tS1\tS2\n20\t100\trs1\tA\tG\t.\tPASS\t.\tGT\t0|1\t1|0\n" +
                                "20\t200\trs2\tC\tT\n20\t300\trs3\tG\tA\n";
    for (const std::string& mapText : {map, fullMap})
        for (int which = 1; which < 8; which++) {
            spit(dir.path("w.vcf"), which & 1 ? crlf(mapText) : mapText);
            spit(dir.path("w.haps"), which & 2 ? crlf(rows) : rows);
            spit(dir.path("w.txt"), which & 4 ? "S2\r\n" : "S2\n");
            runResult r = run("w.vcf", {"w.haps"}, {"--scaffold", "w.txt"});
            EXPECT_EQ(r.status, 0) << which << r.err;
            EXPECT_EQ(slurp(dir.path("o.haps")), cleanHaps) << which;
            EXPECT_EQ(slurp(dir.path("o.sample")), samples) << which;
        }
}

// Text that the run cannot read exactly is refused, naming the file and line.
TEST_F(Faults, MalformedTextInputsAreRefusedWithTheirLine) {
    const std::string nul(1, '\0');
    const std::string map2 = header + "\tS1\n20\t100\trs1\tA\tG\n20\t200\trs2\tC\tT\n";
    auto chunkError = [](int line, const std::string& what) {
        return "seamline: cannot read [t.haps] line " + std::to_string(line) + ": " + what + "\n";
    };
    auto mapError = [](int line, const std::string& what) {
        return "seamline: cannot read [t.vcf] line " + std::to_string(line) + ": " + what + "\n";
    };
    const std::string range = " is not a whole number from 1 to 2147483647";
    struct {
        std::string map, chunk, err;
    } cases[] = {
        // haplotype codes, also on a row with exchanged alleles
        {map2, "20 a 100 A G 0 2\n", chunkError(1, "field 7 is \"2\", not 0 or 1")},
        {map2, "20 a 100 A G 0 1\n20 b 200 C T . 1\n",
         chunkError(2, "field 6 is \".\", not 0 or 1")},
        {map2, "20 a 100 A G 1x 1\n", chunkError(1, "field 6 is \"1x\", not 0 or 1")},
        {map2, "20 a 100 A G 1" + nul + " 1\n",
         chunkError(1, "field 6 is \"1" + nul + "\", not 0 or 1")},
        // positions in chunk rows
        {map2, "20 a 61405abc A G 0 1\n", chunkError(1, "position \"61405abc\"" + range)},
        {map2, "20 a 4294967396 A G 0 1\n", chunkError(1, "position \"4294967396\"" + range)},
        {map2, "20 a 0 A G 0 1\n", chunkError(1, "position \"0\"" + range)},
        {map2, "20 a -100 A G 0 1\n", chunkError(1, "position \"-100\"" + range)},
        {map2, "20 a 100" + nul + "9 A G 0 1\n",
         chunkError(1, "position \"100" + nul + "9\"" + range)},
        // rows out of site-map order, a repeated site
        {map2, "20 b 200 C T 0 1\n20 a 100 A G 0 1\n",
         chunkError(2,
                    "the row at position 100 does not come after the row before it in site-map "
                    "order")},
        {map2, "20 a 100 A G 0 1\n20 a 100 A G 0 1\n",
         chunkError(2,
                    "the row at position 100 does not come after the row before it in site-map "
                    "order")},
        // positions, names and fields of the site map
        {header + "\tS1\n20\t3000000000\trs1\tA\tG\n", "",
         mapError(2, "position \"3000000000\"" + range)},
        {"##x\n" + header + "\tS1\n20\t100x\trs1\tA\tG\n", "",
         mapError(3, "position \"100x\"" + range)},
        {header + "\tS1\tS2\tS1\n", "", mapError(1, "sample \"S1\" is given twice")},
        {header + "\tS1\n" + header + "\tS2\tS1\n", "",
         mapError(2, "sample \"S1\" is given twice")},
        {header + "\tS 1\n", "", mapError(1, "sample \"S 1\" holds a space")},
        {header + "\tS1\n20\t100\trs 1\tA\tG\n", "", mapError(2, "ID \"rs 1\" holds a space")},
        {header + "\tS1\n20\t100\trs1\tA \tG\n", "", mapError(2, "REF \"A \" holds a space")},
        {header + "\tS1\n20\t100\trs1\tA\tG T\n", "", mapError(2, "ALT \"G T\" holds a space")},
    };
    for (const auto& c : cases) expectRefused(c.map, c.chunk, {}, c.err);
    expectRefused(map2, "20 a 100 G A 0 01\n", {"--flip"},
                  chunkError(1, "field 7 is \"01\", not 0 or 1"));

    // Lines that are not sites are not checked.
    std::vector<mapAndChunk> skipped = {
        {header + "\tS1\n20\tbad\trs1\tA\tG,T\n20\t-1\trs2\tA\t.\n20\t100\trs3\tA\tG\n",
         "20 x 100 A G 0 1\n", 0, "20 rs3 100 A G 1 0\n", "ID_1 ID_2 missing\n0 0 0\nS1 S1 0\n",
         ""},
    };
    expectRuns(skipped, "skip");
}

// With several chromosomes in the site map, a row matches only sites of its
// own chromosome, named with or without "chr". With one, a text row matches by
// position alone; a VCF record names its chromosome, which must still match.
TEST_F(Faults, SeveralChromosomesMatchRowsByChromosome) {
    spit(dir.path("two.vcf"), header + "\tS1\nchr20\t100\ta\tA\tG\nchr20\t200\tb\tC\tT\n" +
                                  "chr21\t100\tc\tA\tG\nchr21\t200\td\tC\tT\n");
    spit(dir.path("one.vcf"), header + "\tS1\n20\t100\ta\tA\tG\n");
    const std::string records = "##fileformat=VCFv4.2\n" + header + "\tS1\n";
    struct {
        std::string rows;
        int status;
        std::string haps;
        std::string map = "two.vcf";
    } cases[] = {
        {"20 x 100 A G 0 1\n20 x 200 C T 1 1\n", 0, "0 a 100 A G 1 0\n0 b 200 C T 1 1\n"},
        {"chr21 x 100 A G 0 1\nchr21 x 200 C T 1 1\n", 0, "0 c 100 A G 1 0\n0 d 200 C T 1 1\n"},
        {"21 x 200 C T 1 0\n", 0, "0 d 200 C T 0 1\n"},
        {"22 x 100 A G 0 1\n", 1, ""},
        {records + "21\t100\tx\tA\tG\t.\t.\t.\tGT\t0|1\n", 0, "0 c 100 A G 1 0\n"},
        {records + "22\t100\tx\tA\tG\t.\t.\t.\tGT\t0|1\n", 1, ""},
        {"21 x 100 A G 0 1\n", 0, "20 a 100 A G 1 0\n", "one.vcf"},
        {records + "chr20\t100\tx\tA\tG\t.\t.\t.\tGT\t0|1\n", 0, "20 a 100 A G 1 0\n", "one.vcf"},
        {records + "21\t100\tx\tA\tG\t.\t.\t.\tGT\t0|1\n", 1, "", "one.vcf"},
    };
    for (const auto& c : cases) {
        spit(dir.path("two.haps"), c.rows);
        runResult r = run(c.map, {"two.haps"});
        EXPECT_EQ(r.status, c.status) << c.rows;
        if (c.status == 0) {
            EXPECT_EQ(slurp(dir.path("o.haps")), c.haps) << c.rows;
        } else {
            EXPECT_NE(r.out.find("Not found = 100 A  G\n"), std::string::npos) << r.out;
            expectNothingWritten(c.rows);
        }
    }
}

TEST_F(Faults, SiteMapWithoutSamplesTakesFiveFieldRows) {
    spit(dir.path("none.vcf"), header + "\n20\t100\trs1\tA\tG\n20\t200\trs2\tC\tT\n");
    spit(dir.path("none.haps"), "20 rs1 100 A G\n20 rs2 200 C T\n");
    runResult r = run("none.vcf", {"none.haps"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  * #inds=0\n  * #sites=2\nReading haplotypes in [none.haps]\t2\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(slurp(dir.path("o.haps")), "20 rs1 100 A G\n20 rs2 200 C T\n");
    EXPECT_EQ(slurp(dir.path("o.sample")), "ID_1 ID_2 missing\n0 0 0\n");

    spit(dir.path("codes.haps"), "20 rs1 100 A G 0 1\n");
    r = run("none.vcf", {"codes.haps"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "seamline: src/data.cpp: check failed: tok.size() == (I.size() * 2 + 5) in "
              "[codes.haps] line 1: 7 fields, expected 5\n");
    expectNothingWritten("codes");
}

// An empty output name names no file. Both outputs are made under temporary
// names first; the empty name must fail before either is put in place, and an
// earlier output of the same name stays as it was.
TEST_F(Faults, AnEmptyOutputNameIsAFailureThatWritesNothing) {
    struct {
        std::string haps, sample;
    } cases[] = {{"", "o.sample"}, {"o.haps", ""}};
    for (const auto& c : cases) {
        spit(dir.path("o.haps"), "old haplotypes\n");
        spit(dir.path("o.sample"), "old samples\n");
        runResult r = runSeamline(
            dir.root, {"--vcf", "sites.vcf", "--chunks", "c.haps", "--output", c.haps, c.sample});
        EXPECT_EQ(r.status, 1) << "[" << c.haps << "] [" << c.sample << "]";
        EXPECT_EQ(r.err, "seamline: cannot open []: No such file or directory\n");
        EXPECT_EQ(slurp(dir.path("o.haps")), "old haplotypes\n");
        EXPECT_EQ(slurp(dir.path("o.sample")), "old samples\n");
        EXPECT_EQ(shell("ls -A '" + dir.root + "' | grep -c seamline-"), "0\n");
    }
}

// Output names that would destroy an input, lose an output or fail late are
// refused right after the echo lines, before anything is read. So are the
// names the index beside a VCF or BCF output may take, whichever it gets.
TEST_F(Faults, OutputNamesThatWouldLoseDataAreRefusedBeforeReading) {
    spit(dir.path("sc.txt"), "S1\n");
    spit(dir.path("x.vcf.gz.tbi"), rows);
    ASSERT_EQ(symlink("c.haps", dir.path("link.haps").c_str()), 0);
    ASSERT_EQ(mkdir(dir.path("ro").c_str(), 0555), 0);
    const std::string sameAs = ": it is the same file as the output ";
    const std::string longName = repeat("n", 245), tooLong = "]: File name too long";
    struct {
        std::string haps, sample, err;
        std::string chunk = "c.haps";
    } cases[] = {
        {"x.vcf.gz", "o.sample", "cannot write [x.vcf.gz.tbi]: it is the input [x.vcf.gz.tbi]",
         "x.vcf.gz.tbi"},
        {"x.vcf.gz", "x.vcf.gz.tbi", "cannot write [x.vcf.gz.tbi]" + sameAs + "[x.vcf.gz.tbi]"},
        {"x.vcf.gz", "x.vcf.gz.csi", "cannot write [x.vcf.gz.csi]" + sameAs + "[x.vcf.gz.csi]"},
        {"x.bcf", "./x.bcf.csi", "cannot write [x.bcf.csi]" + sameAs + "[./x.bcf.csi]"},
        // names of 252 bytes whose index names are too long; names of 256 bytes
        {longName + ".vcf.gz", "o.sample", "cannot open [" + longName + ".vcf.gz.tbi" + tooLong},
        {longName + "123.bcf", "o.sample", "cannot open [" + longName + "123.bcf.csi" + tooLong},
        {longName + "123.haps.gz", "o.sample",
         "cannot open [" + longName + "123.haps.gz" + tooLong},
        {"o.haps", longName + "123456789.s", "cannot open [" + longName + "123456789.s" + tooLong},
        {"c.haps", "o.sample", "cannot write [c.haps]: it is the input [c.haps]"},
        {"o.haps", "sites.vcf", "cannot write [sites.vcf]: it is the input [sites.vcf]"},
        {"sc.txt", "o.sample", "cannot write [sc.txt]: it is the input [sc.txt]"},
        {"link.haps", "o.sample", "cannot write [link.haps]: it is the input [c.haps]"},
        {"x", "x", "cannot write [x]" + sameAs + "[x]"},
        {"./o.haps", "o.haps", "cannot write [./o.haps]" + sameAs + "[o.haps]"},
        {"-", "-", "cannot write [-]" + sameAs + "[-]"},
        {"no/dir/o.haps", "o.sample", "cannot open [no/dir/o.haps]: No such file or directory"},
        {"o.haps", "ro/o.sample", "cannot open [ro/o.sample]: Permission denied"},
    };
    // Root writes into any directory, so as root the run goes without that capability.
    const std::string setup =
        geteuid() == 0 ? "setpriv --bounding-set=-dac_override sh -c 'exec \"$@\"'" : "";
    for (const auto& c : cases) {
        const std::string before = shell("ls -A '" + dir.root + "'");
        runResult r = runSeamline(dir.root,
                                  {"--vcf", "sites.vcf", "--chunks", c.chunk, "--scaffold",
                                   "sc.txt", "--output", c.haps, c.sample},
                                  setup);
        EXPECT_EQ(r.status, 1) << c.err;
        // With data on standard output, progress goes to standard error.
        std::string message = "seamline: " + c.err + "\n";
        ASSERT_GE(r.err.size(), message.size()) << c.err;
        std::string progress =
            c.haps == "-" ? r.err.substr(0, r.err.size() - message.size()) : r.out;
        EXPECT_EQ(r.err.substr(r.err.size() - message.size()), message);
        std::string echo = "Output :\t[" + c.haps + "] [" + c.sample + "]\n";
        ASSERT_GE(progress.size(), echo.size());
        EXPECT_EQ(progress.substr(progress.size() - echo.size()), echo) << progress;
        EXPECT_EQ(slurp(dir.path(c.chunk)), rows);
        EXPECT_EQ(slurp(dir.path("sites.vcf")), map);
        EXPECT_EQ(slurp(dir.path("sc.txt")), "S1\n");
        EXPECT_EQ(shell("ls -A '" + dir.root + "'"), before) << c.err;
    }
}

// A symbolic link as an output is followed: the file it leads to is staged
// beside it and replaced only by a run that succeeds, and the link stays.
TEST_F(Faults, SymbolicLinkOutputsAreReplacedOnlyBySuccessfulRuns) {
    ASSERT_EQ(mkdir(dir.path("real").c_str(), 0755), 0);
    spit(dir.path("real/h.haps"), "old\n");
    ASSERT_EQ(symlink("real/h.haps", dir.path("h.haps").c_str()), 0);
    ASSERT_EQ(symlink("real/new.sample", dir.path("s.sample").c_str()), 0);  // dangling
    spit(dir.path("bad.haps"), rows + "20 rs1 100 A G 0 1 1 0\n");
    for (std::string chunk : {"bad.haps", "c.haps"}) {
        runResult r = runSeamline(
            dir.root, {"--vcf", "sites.vcf", "--chunks", chunk, "--output", "h.haps", "s.sample"});
        bool ok = chunk == "c.haps";
        EXPECT_EQ(r.status, ok ? 0 : 1) << r.err;
        EXPECT_EQ(slurp(dir.path("real/h.haps")), ok ? haps : "old\n");
        EXPECT_EQ(exists(dir.path("real/new.sample")), ok);
        EXPECT_EQ(shell("readlink '" + dir.path("h.haps") + "'"), "real/h.haps\n");
        EXPECT_EQ(
            shell("ls -A '" + dir.root + "' '" + dir.path("real") + "' | grep -c '^.seamline-'"),
            "0\n");
    }
    EXPECT_EQ(slurp(dir.path("s.sample")), samples);
    // The name given chooses the compression, not the name the link leads to.
    ASSERT_EQ(symlink("real/plain.txt", dir.path("z.haps.gz").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", dir.path("null.haps.gz").c_str()), 0);
    for (std::string out : {"z.haps.gz", "null.haps.gz"}) {
        runResult r = runSeamline(
            dir.root, {"--vcf", "sites.vcf", "--chunks", "c.haps", "--output", out, "s.sample"});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    EXPECT_EQ(shell("gzip -dc " + dir.path("real/plain.txt")), haps);
}

// "-" (or a name of the file that standard output is) writes there, and the
// progress lines move to standard error so that the stream holds only data.
// A name near the file-name limit still gets its staged file.
TEST_F(Faults, StandardOutputAndLongNamesAreOutputsLikeOthers) {
    runResult r = runSeamline(
        dir.root, {"--vcf", "sites.vcf", "--chunks", "c.haps", "--output", "-", "o.sample"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, haps);
    EXPECT_EQ(r.err.substr(0, 20), "VCF :\t[sites.vcf]\nCh");
    EXPECT_NE(r.err.find("Writing haplotypes in [-]\n"), std::string::npos);
    EXPECT_EQ(slurp(dir.path("o.sample")), samples);

    r = runSeamline(dir.root, {"--vcf", "sites.vcf", "--chunks", "c.haps", "--output", "o.haps",
                               "/dev/stdout"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, samples);

    const std::string longName = repeat("n", 255 - 5) + ".haps";
    r = runSeamline(dir.root,
                    {"--vcf", "sites.vcf", "--chunks", "c.haps", "--output", longName, "o.sample"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(dir.path(longName)), haps);
}

// An interrupted run removes its staged files and ends by the same signal.
TEST_F(Faults, InterruptedRunsLeaveNoStagedFiles) {
    // The run waits on a chunk file that is a pipe nobody writes to.
    ASSERT_EQ(mkfifo(dir.path("wait.haps").c_str(), 0600), 0);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        std::string setup = "{ (sleep 0.5; kill -" + std::to_string(sig) + " $$) & } ;";
        runResult r = run("sites.vcf", {"wait.haps"}, {}, setup);
        EXPECT_EQ(r.status, 128 + sig);
        expectNothingWritten("signal " + std::to_string(sig));
    }
}

// Zero bytes after the last gzip member are padding, as gzip takes them; any
// other trailing byte is damage.
TEST_F(Faults, ZeroPaddingAfterGzipIsAcceptedOtherTrailingDataIsNot) {
    shell("cd '" + dir.root + "' && gzip -c c.haps > z.haps.gz && cp z.haps.gz p.haps.gz && " +
          "head -c 4096 /dev/zero >> p.haps.gz && cp p.haps.gz j.haps.gz && printf x >> j.haps.gz");
    runResult r = run("sites.vcf", {"p.haps.gz"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(dir.path("o.haps")), haps);
    r = run("sites.vcf", {"j.haps.gz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "seamline: cannot read [j.haps.gz]: the file is damaged or unreadable\n");
    expectNothingWritten("trailing data");
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SEAMLINE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SEAMLINE_SANITIZED 1
#endif
#endif

// Memory runs out on a line that never ends: a clear failure, not an abort.
// The site map reader holds only the five columns it reads of a line, so a
// site map whose genotype columns outgrow the memory limit is still read.
TEST_F(Faults, MemoryIsBoundedOrItsEndIsAFailure) {
#ifdef SEAMLINE_SANITIZED
    GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#endif
    const std::string limit = "ulimit -v 200000;";  // KiB
    runResult r = run("sites.vcf", {"/dev/zero"}, {}, limit);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "seamline: cannot read [/dev/zero] line 1: out of memory\n");
    expectNothingWritten("endless chunk");

    r = run("/dev/zero", {"c.haps"}, {}, limit);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "seamline: cannot read [/dev/zero] line 1: out of memory\n");

    shell(
        "cd '" + dir.root + "' && { printf '" + header +
        "\\tS1\\tS2\\n20\\t100\\trs1\\tA\\tG\\t.\\t.\\t.\\tGT\\t'; head -c 250000000 /dev/zero | " +
        "tr '\\0' '0'; printf '\\n20\\t200\\trs2\\tC\\tT\\n20\\t300\\trs3\\tG\\tA\\n'; } > "
        "wide.vcf");
    r = run("wide.vcf", {"c.haps"}, {}, limit);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(dir.path("o.haps")), haps);
}

// A file size limit and a pipe whose reader has gone both stop a write. They
// must end the run as write errors (status 1, message, temporary files
// removed), not kill it by their signals.
TEST_F(Faults, FileSizeLimitAndClosedPipeAreWriteErrors) {
    std::string big = header, chunk;
    for (int k = 1; k <= 20; k++) big += "\tS" + std::to_string(k);
    big += "\n";
    for (int i = 1; i <= 20000; i++) {
        std::string pos = std::to_string(100 * i);
        big += "20\t" + pos + "\trs" + std::to_string(i) + "\tA\tG\n";
        chunk += "20 rs" + std::to_string(i) + " " + pos + " A G" + repeat(" 0 1", 20) + "\n";
    }
    spit(dir.path("big.vcf"), big);
    spit(dir.path("big.haps"), chunk);
    ASSERT_EQ(mkfifo(dir.path("pipe").c_str(), 0600), 0);
    struct {
        std::string haps, setup, err;
    } cases[] = {
        // 8 blocks of 1 KiB take the sample file and cut the haplotype file short
        {"o.haps", "ulimit -f 8;", "seamline: cannot write [o.haps]: File too large\n"},
        // the reader takes one byte and goes; the output is far larger than a pipe holds
        {"pipe", "{ head -c 1 pipe >/dev/null & } ;",
         "seamline: cannot write [pipe]: Broken pipe\n"},
    };
    for (const auto& c : cases) {
        unlink(dir.path("o.haps").c_str());
        unlink(dir.path("o.sample").c_str());
        runResult r = runSeamline(
            dir.root, {"--vcf", "big.vcf", "--chunks", "big.haps", "--output", c.haps, "o.sample"},
            c.setup);
        EXPECT_EQ(r.status, 1) << c.haps;
        EXPECT_EQ(r.err, c.err);
        expectNothingWritten(c.haps);
    }
}

}  // namespace
