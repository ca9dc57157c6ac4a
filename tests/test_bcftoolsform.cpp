// bcftools concat's ligation command line: each run in that form writes the
// records that the same join written in seamline's own form writes, and what
// is not ligation, or cannot be read, is refused before any input is opened.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bcftoolsform.h"
#include "testutil.h"

using namespace seamline;

namespace {

// Three samples over 24 sites; c2 stores samples A and C exchanged, c3 B.
class BcftoolsForm : public ::testing::Test {
protected:
    tempDir dir;

    BcftoolsForm() {
        const std::string header =
            "##fileformat=VCFv4.2\n##contig=<ID=20>\n"
            "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"genotype\">\n"
            "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tA\tB\tC\n";
        auto chunk = [&](const std::string& name, int first, int last, std::vector<bool> swap) {
            std::string text = header;
            for (int i = first; i <= last; i++) {
                text += "20\t" + std::to_string(100 * (i + 1)) + "\t.\tA\tG\t.\t.\t.\tGT";
                for (int k = 0; k < 3; k++) {
                    int a = (i * (k + 2)) % 3 == 0, b = (i + k) % 2;
                    if (swap[k]) std::swap(a, b);
                    text += "\t" + std::to_string(a) + "|" + std::to_string(b);
                }
                text += "\n";
            }
            spit(dir.path(name), text);
        };
        chunk("c1.vcf", 0, 9, {false, false, false});
        chunk("c2.vcf", 6, 17, {true, false, true});
        chunk("c3.vcf", 14, 23, {false, true, false});
        chunk("far.vcf", 30, 35, {false, false, false});
        shell("cd " + dir.root +
              " && for c in c1 c2 c3 far; do bgzip -c $c.vcf > $c.vcf.gz && tabix $c.vcf.gz; "
              "done && printf 'c1.vcf\\n\\nc2.vcf.gz\\nc3.vcf\\n' > list.txt && echo c1.vcf > "
              "one.txt");
    }
    runResult run(const std::vector<std::string>& args, const std::string& setup = "") {
        return runSeamline(dir.root, args, setup);
    }
    std::string records(const std::string& file, const std::string& view = "") {
        return shell("bcftools view -H " + view + " " + dir.path(file) + " 2>&1");
    }
    std::string first(const std::string& file, size_t n) {
        return slurp(dir.path(file)).substr(0, n);
    }
};

const std::string gzipMagic = "\x1f\x8b";

TEST(BcftoolsScan, EveryGetoptFormOfAnOptionFillsTheSameOptions) {
    struct {
        std::vector<const char*> args;
        char type;
        const char* level;  // null: unset
        const char* output;
    } cases[] = {
        {{"-Oz9", "-o", "x"}, 'z', "9", "x"},
        {{"-O", "z9", "-ox"}, 'z', "9", "x"},
        {{"--output-type=z9", "--output=x"}, 'z', "9", "x"},
        {{"--output-type", "z9", "--output", "x"}, 'z', "9", "x"},
        {{"--output-t", "b", "-lco", "x"}, 'b', nullptr, "x"},
        {{"-O", "5", "-Ov", "-o", "y", "-o", "x"}, 'v', "5", "x"},
        {{"-lOu", "--", "-o", "x"}, 'u', nullptr, nullptr},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv = {const_cast<char*>("seamline")};
        for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
        const bcftoolsScan scan = scanBcftoolsForm(static_cast<int>(argv.size()), argv.data());
        SCOPED_TRACE(c.args[0]);
        EXPECT_EQ(scan.error, "");
        EXPECT_TRUE(scan.distinct);
        EXPECT_EQ(scan.opt.outputType, c.type);
        EXPECT_EQ(scan.opt.compressionLevel ? std::string(scan.opt.compressionLevel) : "-",
                  c.level ? c.level : "-");
        EXPECT_EQ(scan.opt.single ? std::string(scan.opt.single) : "-", c.output ? c.output : "-");
    }
    // After "--" every argument is an input, and "-o" is one of them.
    std::vector<char*> argv = {const_cast<char*>("seamline"), const_cast<char*>("-lOu"),
                               const_cast<char*>("--"), const_cast<char*>("-o"),
                               const_cast<char*>("x")};
    EXPECT_EQ(scanBcftoolsForm(5, argv.data()).opt.chunks, (std::vector<std::string>{"-o", "x"}));
}

// Each command line in bcftools' form against the same join in seamline's
// own form: the same records, in the format the options ask for.
TEST_F(BcftoolsForm, WritesWhatTheSameJoinWritesInSeamlinesForm) {
    const std::vector<std::string> chunks = {"c1.vcf", "c2.vcf.gz", "c3.vcf"};
    ASSERT_EQ(run(with(with({"--chunks"}, chunks), {"-o", "s.vcf.gz"})).status, 0);
    // Chunks named with --chunks: the output's name asks for its index.
    EXPECT_TRUE(exists(dir.path("s.vcf.gz.tbi")));
    const std::string all = records("s.vcf.gz");
    ASSERT_EQ(std::count(all.begin(), all.end(), '\n'), 24);
    const struct {
        std::vector<std::string> args;
        std::string output, magic;              // magic: how the output starts
        std::string expected;                   // the records; empty: all of them
        std::vector<std::string> besides = {};  // files written beside it
        std::vector<std::string> absent = {};   // and files not written
    } cases[] = {
        // Chunks named as bcftools names them: an index only with -W, as
        // bcftools writes it, so that a pipeline's own indexing step finds none.
        {{"--ligate", "-Oz", "-o", "b.vcf.gz", "c1.vcf", "c2.vcf.gz", "c3.vcf"},
         "b.vcf.gz",
         gzipMagic,
         "",
         {},
         {"b.vcf.gz.tbi", "b.vcf.gz.csi"}},
        {{"-l", "-f", "list.txt", "-Ob", "-o", "b.bcf"}, "b.bcf", gzipMagic, "", {}, {"b.bcf.csi"}},
        {{"c3.vcf", "-f", "one.txt", "--chunks", "c2.vcf.gz", "-o", "b.vcf"}, "b.vcf", "##", ""},
        {{"-Oz9", "-o", "b.out", "c1.vcf", "c2.vcf.gz", "c3.vcf"}, "b.out", gzipMagic, ""},
        {{"-O", "z", "--output=b.out", "c1.vcf", "c2.vcf.gz", "c3.vcf"}, "b.out", gzipMagic, ""},
        {{"--output-type=u", "-ob.out", "c1.vcf", "c2.vcf.gz", "c3.vcf"}, "b.out", "BCF\2", ""},
        {{"--output-type", "v", "--output", "b.vcf.gz", "c1.vcf", "c2.vcf.gz", "c3.vcf"},
         "b.vcf.gz",
         "##",
         ""},
        {{"-W", "-Oz", "-o", "b.vcf.gz", "c1.vcf", "c2.vcf.gz", "c3.vcf"},
         "b.vcf.gz",
         gzipMagic,
         "",
         {"b.vcf.gz.csi"}},
        {{"--write-index=tbi", "-Ob", "-o", "b.out", "c1.vcf", "c2.vcf.gz", "c3.vcf"},
         "b.out",
         gzipMagic,
         "",
         {"b.out.csi"}},
        {{"--threads", "0", "--no-version", "-o", "b.vcf", "c1.vcf", "c2.vcf.gz", "c3.vcf"},
         "b.vcf",
         "##",
         ""},
        {{"-r", "20:500-900,20:2000", "-o", "b.vcf", "c1.vcf", "c2.vcf.gz", "c3.vcf"},
         "b.vcf",
         "##",
         records("s.vcf.gz", "-r 20:500-900,20:2000")},
        {{"-c", "-q", "20", "--threads", "3", "-o", "b.vcf", "c1.vcf", "c2.vcf.gz", "c3.vcf"},
         "b.vcf",
         "##",
         ""},
        // --output takes a second name, the sample file, in a command with --chunks.
        {{"--chunks", "c1.vcf", "c2.vcf.gz", "c3.vcf", "--output", "b.vcf", "b.sample", "--ligate"},
         "b.vcf",
         "##",
         "",
         {"b.sample"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2]);
        shell("rm -f " + dir.path("b.*"));
        runResult r = run(c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(first(c.output, c.magic.size()), c.magic);
        const std::string got = records(c.output);
        if (got.find("\tGT:PS\t") != std::string::npos) {
            EXPECT_EQ(shell("bcftools annotate -x FORMAT/PS " + dir.path(c.output) +
                            " | bcftools view -H"),
                      all);
        } else {
            EXPECT_EQ(got, c.expected.empty() ? all : c.expected);
        }
        for (const std::string& beside : c.besides) EXPECT_TRUE(exists(dir.path(beside)));
        for (const std::string& none : c.absent) EXPECT_FALSE(exists(dir.path(none))) << none;
        const std::string header = shell("bcftools view -h " + dir.path(c.output));
        EXPECT_EQ(header.find("##seamlineCommand"),
                  c.args[2] == "--no-version" ? std::string::npos : header.find("##seamline"));
    }
    EXPECT_FALSE(exists(dir.path("b.out.tbi")));

    // A pipe: BCF on standard output, progress on standard error; without
    // -o, chunks named as bcftools names them go to standard output as well.
    runResult r = run({"--ligate", "-Ou", "-o", "-", "c1.vcf", "c2.vcf.gz", "c3.vcf"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 4), "BCF\2");
    runResult bare = run({"--ligate", "-Ou", "c1.vcf", "c2.vcf.gz", "c3.vcf"});
    ASSERT_EQ(bare.status, 0) << bare.err;
    EXPECT_NE(r.err.find("Writing haplotypes in [-]"), std::string::npos);
    EXPECT_NE(bare.err.find("Writing haplotypes in [-]"), std::string::npos);
    spit(dir.path("piped.bcf"), r.out);
    EXPECT_EQ(records("piped.bcf"), all);
    spit(dir.path("bare.bcf"), bare.out);
    EXPECT_EQ(records("bare.bcf"), all);

    // The header records the command whatever the threads, in every form.
    std::string bytes;
    for (const std::string threads : {"--threads=2", "--thr=0", "--threads"}) {
        std::vector<std::string> args = {"-o", "t.vcf", threads, "c1.vcf", "c2.vcf.gz", "c3.vcf"};
        if (threads == "--threads") args.insert(args.begin() + 3, "3");
        ASSERT_EQ(run(args).status, 0) << threads;
        if (bytes.empty()) bytes = slurp(dir.path("t.vcf"));
        EXPECT_TRUE(slurp(dir.path("t.vcf")) == bytes) << threads;
    }
}

// Phase sets, the dropped records of --ligate-warn and joins across a gap
// are bcftools' own: the same GT and PS, record for record.
TEST_F(BcftoolsForm, PhaseSetsAndOverlapRulesAsBcftoolsLigates) {
    shell("cd " + dir.root +
          " && grep -v '^20.1500' c2.vcf | bgzip > lack.vcf.gz && tabix lack.vcf.gz");
    const std::string query = "bcftools query -f '%POS[ %GT:%PS]\\n' ";
    struct {
        std::vector<std::string> options, chunks;
    } cases[] = {
        {{"-c"}, {"c1.vcf.gz", "c2.vcf.gz", "c3.vcf.gz"}},
        {{"-q", "100"}, {"c1.vcf.gz", "c2.vcf.gz", "c3.vcf.gz"}},
        {{"-c", "-q", "100"}, {"c1.vcf.gz", "c2.vcf.gz", "c3.vcf.gz"}},
        {{"-q", "0"}, {"c1.vcf.gz", "c2.vcf.gz", "c3.vcf.gz"}},
        {{"-c", "--ligate-warn"}, {"c1.vcf.gz", "lack.vcf.gz", "c3.vcf.gz"}},
        {{"-c", "--ligate-force"}, {"c3.vcf.gz", "far.vcf.gz"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options[0] + " " + c.chunks[1]);
        const std::vector<std::string> args = with(with({"-l", "-o"}, {"b.vcf"}), c.options);
        shell("cd " + dir.root + " && bcftools concat " + [&] {
            std::string line;
            for (const std::string& a : with(with({"-l", "-o", "ref.vcf"}, c.options), c.chunks))
                line += " " + a;
            return line;
        }() + " 2>/dev/null");
        runResult r = run(with(args, c.chunks));
        ASSERT_EQ(r.status, 0) << r.err;
        std::string expected = shell(query + dir.path("ref.vcf"));
        // bcftools carries the phase set on across a gap, where the
        // orientation starts afresh; seamline starts a new one there.
        const size_t gap = expected.find("\n3100 ");
        if (c.options.back() == "--ligate-force" && gap != std::string::npos)
            for (size_t at = expected.find(":.", gap); at < expected.find('\n', gap + 1);
                 at = expected.find(":.", at))
                expected.replace(at, 2, ":3100");
        EXPECT_EQ(shell(query + dir.path("b.vcf")), expected);
    }
    // Without -c and -q no PS is written.
    ASSERT_EQ(run({"-o", "b.vcf", "c1.vcf", "c2.vcf", "c3.vcf"}).status, 0);
    EXPECT_EQ(shell("grep -c 'PS' " + dir.path("b.vcf")), "0\n");
}

// What is not ligation, values that cannot be read and outputs that cannot
// be written end the run before any input is opened: a FIFO without a writer
// among the chunks would otherwise hold it for ever.
TEST_F(BcftoolsForm, RefusalsComeBeforeAnyInputIsOpened) {
    const std::vector<std::string> chunks = {"c1.vcf", "fifo", "c3.vcf"};
    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-a", "-o", "o.vcf"},
         "-a (--allow-overlaps) combines files that overlap in any way, which is not ligation: "
         "use bcftools concat -a"},
        {{"--naive", "-o", "o.vcf"},
         "-n (--naive) joins compressed files as they stand, which is not ligation: use bcftools "
         "concat --naive"},
        {{"-D", "-o", "o.vcf"},
         "-d (--rm-dups) and -D drop duplicates of files combined with -a, which is not "
         "ligation: use bcftools concat -a -d, or bcftools norm -d"},
        {{"-G", "-o", "o.vcf"},
         "-G (--drop-genotypes) drops the genotypes that ligation joins: use bcftools view -G on "
         "the output"},
        // Without -o, chunks named with --chunks have no output.
        {{"-l", "--chunks", "c2.vcf"}, "no output: give -o FILE, or -o - for standard output"},
        {{"-Ox", "-o", "o.vcf"},
         "-O (--output-type) takes u, b, v or z, then a compression level 0-9 if you wish, not "
         "[x]"},
        {{"-Ov9", "-o", "o.vcf"},
         "-O v9: v is uncompressed, and a compression level does not apply to it"},
        {{"--bogus", "-o", "o.vcf"}, "unrecognized option '--bogus' (seamline --help lists them)"},
        {{"--out", "o.vcf"}, "option '--out' is ambiguous"},
        {{"-o"}, "option requires an argument -- 'o'"},
        {{"-W", "-o", "-"}, "-W writes an index beside a file; standard output has none"},
        {{"-W", "-o", "o.vcf"},
         "-W: [o.vcf] is written uncompressed, and only compressed VCF and BCF can be indexed"},
        {{"--ligate-warn", "--ligate-force", "-o", "o.vcf"},
         "--ligate-warn drops what --ligate-force (--allow-gaps) keeps: give one of them"},
        {{"--threads", "-1", "-o", "o.vcf"},
         "--threads takes a whole number of worker threads besides the main one (0 or more), not "
         "[-1]"},
        {{"-q", "high", "-o", "o.vcf"}, "-q (--min-PQ) takes a whole number, not [high]"},
        {{"--regions-overlap", "3", "-o", "o.vcf"},
         "--regions-overlap takes 0 (pos), 1 (record) or 2 (variant), not [3]"},
        {{"-o", "--threads"}, "cannot write [--threads]: it is named like an option"},
        {{"--chunks", "c2.vcf", "-o", "o.vcf", "--output", "h.vcf", "s.txt"},
         "-o and --output cannot be given together"},
        {{"--seam", "edge", "-o", "o.vcf"}, "--seam takes middle or agree, not [edge]"},
        {{"-c", "--step", "plan", "--work", "w", "-o", "o.vcf.gz"},
         "-c and -q (phase sets) is not read in a join split into steps; join in one process "
         "instead"},
    };
    shell("mkfifo " + dir.path("fifo"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        shell("rm -f " + dir.path("o.*"));
        // A FIFO that a run opening it would find empty, not wait on for ever.
        runResult r =
            run(with(chunks, c.args), "(timeout 10 sh -c ': > fifo' >/dev/null 2>&1 &) &&");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "seamline: " + c.err + "\n");
        EXPECT_EQ(shell("ls " + dir.root + " | grep -c '^o[.]'"), "0\n");
    }
    // Neither chunk exists: the output belongs to a join without a site map.
    runResult r = run({"--chunks", "typo.vcf.gz", "-o", "out.vcf.gz"});
    EXPECT_EQ(r.err, "seamline: chunk [typo.vcf.gz]: no such file\n");
    // A run whose chunks are text rows keeps seamline's own form's lines.
    spit(dir.path("rows.haps"), "20 rs1 100 A G 0 1 0 1 0 1\n");
    r = run({"--chunks", "rows.haps", "--output", "o.haps", "--threads", "2"});
    EXPECT_EQ(r.out, "Missing option --vcf\n");
    EXPECT_FALSE(exists(dir.path("--threads")));
    // Neighbours that share no record name both ways to join them anyway.
    r = run({"-o", "o.vcf", "c1.vcf", "far.vcf"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "seamline: chunks [c1.vcf] and [far.vcf] share no record: --allow-gaps (bcftools: "
              "--ligate-force) joins them anyway\n");
}

}  // namespace
