#include <gtest/gtest.h>
#include <htslib/hfile.h>
#include <htslib/hts.h>

#include <algorithm>
#include <random>

#include "deflate.h"
#include "failure.h"
#include "sitemap/chunks.h"
#include "testutil.h"
#include "vcfread.h"
#include "vcfwrite.h"

namespace {

using bitRow = std::vector<uint64_t>;

struct readResult {
    std::vector<std::string> sites;  // CHROM POS ID REF ALT
    std::vector<bitRow> rows;
    std::vector<std::string> samples, contigLines;
    std::string error;  // of the first failure; empty when the whole file was read
};

// htslib's own messages are off in every test, as in seamline itself.
struct quietHtslibEnvironment : ::testing::Environment {
    void SetUp() override { seamline::quietHtslib(); }
};
::testing::Environment* const quietHtslib =
    ::testing::AddGlobalTestEnvironment(new quietHtslibEnvironment);

// The reason a failure gives after the prefix, which it must start with.
std::string reasonAfter(const std::string& prefix, const seamline::failure& failure) {
    const std::string message = failure.what();
    EXPECT_EQ(failure.where, seamline::failure::stream::errors);
    EXPECT_EQ(message.substr(0, prefix.size()), prefix);
    return message.substr(std::min(prefix.size(), message.size()));
}

// Reads a file as seamline does: one hFILE, its format detected, handed over.
readResult readFile(const std::string& path, std::vector<std::string> wanted = {}) {
    readResult r;
    hFILE* fp = hopen(path.c_str(), "r");
    htsFormat format;
    if (!fp || hts_detect_format(fp, &format) < 0) {
        r.error = "cannot open";
        return r;
    }
    try {
        seamline::variantReader reader(fp, path);
        r.samples = reader.samples();
        r.contigLines = reader.contigLines();
        if (wanted.empty()) wanted = reader.samples();
        const std::vector<int32_t> order = seamline::sampleOrder(wanted, reader.samples(), path);
        while (reader.next()) {
            const seamline::variantRecord record = reader.site();
            r.sites.push_back(std::string(record.chrom) + " " + std::to_string(record.pos) + " " +
                              std::string(record.id) + " " + std::string(record.ref) + " " +
                              std::string(record.alt));
            r.rows.emplace_back((2 * wanted.size() + 63) / 64 + 1, 0);
            seamline::phasedPairs(reader, record, order, r.rows.back().data());
        }
    } catch (const seamline::failure& failure) {
        r.error = reasonAfter("cannot read [" + path + "]: ", failure);
    }
    return r;
}

void setPair(bitRow& row, size_t sample, int a, int b) {
    row[2 * sample / 64] |= uint64_t(a) << (2 * sample % 64);
    row[(2 * sample + 1) / 64] |= uint64_t(b) << ((2 * sample + 1) % 64);
}

const char* const vcfHeader =
    "##fileformat=VCFv4.2\n##contig=<ID=20,length=64444167>\n##contig=<ID=X>\n"
    "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n"
    "##FORMAT=<ID=DS,Number=1,Type=Float,Description=\"Dosage\">\n"
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";

// Writes NAME.vcf from the records and makes from it, with bgzip, gzip and
// bcftools, every input kind the reader takes. Returns the four paths.
std::vector<std::string> inputFiles(const tempDir& dir, const std::string& name,
                                    const std::vector<std::string>& samples,
                                    const std::vector<std::string>& records) {
    std::string text = vcfHeader;
    for (const std::string& s : samples) text += "\t" + s;
    text += "\n";
    for (const std::string& r : records) text += r + "\n";
    const std::string base = dir.path(name);
    spit(base + ".vcf", text);
    shell("bgzip -c '" + base + ".vcf' > '" + base + ".vcf.gz'; gzip -c '" + base + ".vcf' > '" +
          base + ".gzip.vcf.gz'; bcftools view -Ob -o '" + base + ".bcf' '" + base + ".vcf'");
    return {base + ".vcf", base + ".vcf.gz", base + ".gzip.vcf.gz", base + ".bcf"};
}

TEST(VariantReader, EveryInputKindGivesTheSameRecordsAndBits) {
    // Eleven samples: the eight-at-a-time path and the rest both run.
    std::vector<std::string> samples;
    for (int s = 0; s < 11; s++) samples.push_back("S" + std::to_string(s));
    std::mt19937 rng(3);
    std::vector<std::string> records, sites;
    std::vector<bitRow> expected, reversed;
    for (int r = 0; r < 30; r++) {
        const std::string chrom = r < 20 ? "20" : "X", alt = r == 5 ? "T,G" : "T";
        const std::string format = r % 7 == 3 ? "GT:DS" : "GT";
        const int pos = 1000 + 37 * r;
        std::string record = chrom + "\t" + std::to_string(pos) + "\trs" + std::to_string(r) +
                             "\tA\t" + alt + "\t.\t.\t.\t" + format;
        bitRow row(1, 0), back(1, 0);
        for (size_t s = 0; s < samples.size(); s++) {
            int a = rng() % 2, b = rng() % 2;
            // Homozygous genotypes are sometimes written unphased.
            char separator = a == b && rng() % 3 == 0 ? '/' : '|';
            record += "\t" + std::to_string(a) + separator + std::to_string(b);
            if (format == "GT:DS") record += ":0.5";
            setPair(row, s, a, b);
            setPair(back, samples.size() - 1 - s, a, b);
        }
        records.push_back(record);
        sites.push_back(chrom + " " + std::to_string(pos) + " rs" + std::to_string(r) + " A " +
                        alt);
        expected.push_back(row);
        reversed.push_back(back);
    }
    tempDir dir;
    std::vector<std::string> backwards(samples.rbegin(), samples.rend());
    for (const std::string& path : inputFiles(dir, "in", samples, records)) {
        SCOPED_TRACE(path);
        readResult r = readFile(path);
        ASSERT_EQ(r.error, "");
        EXPECT_EQ(r.samples, samples);
        EXPECT_EQ(r.contigLines, (std::vector<std::string>{"##contig=<ID=20,length=64444167>",
                                                           "##contig=<ID=X>"}));
        EXPECT_EQ(r.sites, sites);
        for (bitRow& row : r.rows) row.resize(1);
        EXPECT_EQ(r.rows, expected);
        // Output sample k is file sample 10 - k.
        r = readFile(path, backwards);
        ASSERT_EQ(r.error, "");
        for (bitRow& row : r.rows) row.resize(1);
        EXPECT_EQ(r.rows, reversed);
    }
}

TEST(VariantReader, RefusesGenotypesThatAreNotPhasedBiallelicPairs) {
    const struct {
        const char* format;
        const char* genotype;
        const char* message;
    } cases[] = {
        {"GT", "0/1", "position 100, sample B: unphased heterozygous genotype 0/1"},
        {"GT", "1/0", "position 100, sample B: unphased heterozygous genotype 1/0"},
        {"GT", ".|0", "position 100, sample B: missing allele in genotype .|0"},
        {"GT", "./.", "position 100, sample B: missing allele in genotype ./."},
        {"GT", "1", "position 100, sample B: haploid genotype 1"},
        {"GT", "0|2", "position 100, sample B: allele index above 1 in genotype 0|2"},
        {"GT", "0|1|1", "position 100, sample B: genotype with more than two alleles 0|1|1"},
        {"GT:DS", "1/0:1", "position 100, sample B: unphased heterozygous genotype 1/0"},
        {"DS", "0.5", "position 100: no GT field"},
    };
    tempDir dir;
    int n = 0;
    for (const auto& c : cases) {
        const std::string format = c.format, ok = format == "DS" ? "1" : "0|1";
        const std::string record =
            "20\t100\t.\tA\tT,G\t.\t.\t.\t" + format + "\t" + ok + "\t" + c.genotype + "\t" + ok;
        for (const std::string& path :
             inputFiles(dir, "bad" + std::to_string(n++), {"A", "B", "C"}, {record})) {
            SCOPED_TRACE(path);
            EXPECT_EQ(readFile(path).error, c.message);
        }
    }
}

TEST(VariantReader, MalformedTextNamesTheLineOrPosition) {
    const std::string header = std::string(vcfHeader) + "\tA\tB\tC\n";
    const std::string site = "20\t100\t.\tA\tT\t.\t.\t.\tGT\t";
    const struct {
        std::string text;
        const char* message;
    } cases[] = {
        {"##fileformat=VCFv4.2\n", "no #CHROM header line"},
        {"##fileformat=VCFv4.2\n" + site + "0|1\n", "line 2: a record before the #CHROM line"},
        {header + "20\tx1\t.\tA\tT\t.\t.\t.\n", "line 7: bad position 'x1'"},
        {header + "20\t100\t.\tA\tT\n", "line 7: 5 columns, a record has at least 8"},
        {header + site + "0|1\t1|1\n", "position 100: 2 sample columns, expected 3"},
        {header + site + "0|1\t1|1\t0|0\t0|0\n",
         "position 100: more sample columns than the 3 samples"},
        {header + site + "0|1\t\t0|0\n", "position 100, sample B: empty genotype"},
        {header + site + "0|1\t0|x\t0|0\n", "position 100, sample B: unreadable genotype 0|x"},
    };
    tempDir dir;
    for (const auto& c : cases) {
        spit(dir.path("in.vcf"), c.text);
        EXPECT_EQ(readFile(dir.path("in.vcf")).error, c.message);
    }
}

TEST(VariantReader, SampleOrderNamesTheSampleThatDoesNotFit) {
    typedef std::vector<std::string> names;
    const struct {
        names wanted, inFile;
        const char* message;
    } cases[] = {
        {{"A", "B", "C"}, {"A", "B"}, "sample C of the site map is missing"},
        {{"A", "B"}, {"A", "B", "D"}, "sample D is not in the site map"},
        {{"A", "B"}, {"A", "B", "A"}, "sample A appears twice"},
        {{"A", "A"}, {"A"}, "sample A is listed twice in the site map"},
    };
    for (const auto& c : cases) {
        try {
            seamline::sampleOrder(c.wanted, c.inFile, "f.vcf");
            ADD_FAILURE() << c.message;
        } catch (const seamline::failure& failure) {
            EXPECT_EQ(reasonAfter("cannot read [f.vcf]: ", failure), c.message);
        }
    }
    EXPECT_EQ(seamline::sampleOrder({"A", "B", "C"}, {"C", "A", "B"}, "f.vcf"),
              (std::vector<int32_t>{2, 0, 1}));
}

TEST(VariantReader, DamagedOrCutShortInputIsAnError) {
    std::vector<std::string> records;
    std::mt19937 rng(5);
    for (int r = 0; r < 3000; r++) {
        std::string record = "20\t" + std::to_string(100 + r) + "\t.\tA\tT\t.\t.\t.\tGT";
        for (int s = 0; s < 20; s++) record += rng() % 2 ? "\t0|1" : "\t1|1";
        records.push_back(record);
    }
    std::vector<std::string> samples;
    for (int s = 0; s < 20; s++) samples.push_back("S" + std::to_string(s));
    tempDir dir;
    std::vector<std::string> paths = inputFiles(dir, "in", samples, records);
    for (const std::string& path : {paths[1], paths[2], paths[3]}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(readFile(path).error, "");
        const std::string data = slurp(path);
        spit(dir.path("cut"), data.substr(0, data.size() / 2));
        EXPECT_EQ(readFile(dir.path("cut")).error, "the file is damaged or unreadable");
        if (path == paths[2]) continue;  // plain gzip has no end-of-file block
        spit(dir.path("cut"), data.substr(0, data.size() - 28));
        EXPECT_EQ(readFile(dir.path("cut")).error,
                  "the file is cut short (no BGZF end-of-file block)");
    }
}

// The reader comes back to a place it marked, by seeking (BGZF, plain text,
// BCF) or by reading again from the start (plain gzip), and finds the same
// records there; a record changed since has another checksum.
TEST(VariantReader, ComesBackToAMarkedPlaceAndTellsAChangedRecord) {
    std::vector<std::string> records, samples = {"A", "B", "C"};
    for (int r = 0; r < 3000; r++)
        records.push_back("20\t" + std::to_string(100 + r) + "\t.\tA\tT\t.\t.\t.\tGT\t0|1\t" +
                          (r % 3 ? "1|1" : "0|0") + "\t1|0");
    tempDir dir;
    const std::vector<std::string> paths = inputFiles(dir, "in", samples, records);
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        seamline::variantReader reader(path);
        std::vector<seamline::variantReader::mark> marks;
        std::vector<uint32_t> sums;
        for (marks.push_back(reader.here()); reader.next(); marks.push_back(reader.here()))
            sums.push_back(reader.checksum());
        ASSERT_EQ(sums.size(), records.size());
        EXPECT_EQ(marks[10].offset < 0, path == paths[2]);  // plain gzip cannot seek
        for (size_t k : {2500, 10, 0, 2999}) {
            reader.restart(marks[k]);
            ASSERT_TRUE(reader.next());
            EXPECT_EQ(reader.count(), k + 1);
            EXPECT_EQ(reader.checksum(), sums[k]) << k;
            EXPECT_EQ(reader.site().pos, static_cast<int64_t>(100 + k));
        }
        if (path != paths[0]) continue;
        records[100].replace(records[100].size() - 3, 3, "0|1");
        inputFiles(dir, "in", samples, records);
        reader.restart(marks[100]);
        ASSERT_TRUE(reader.next());
        EXPECT_NE(reader.checksum(), sums[100]);
    }
}

// Records on two contigs, enough of them for several BGZF blocks.
struct writerInput {
    seamline::variantWriter::header header;
    std::vector<int> contigs;
    std::vector<int32_t> positions;
    std::vector<std::string> ids, refs, alts;
    std::vector<bitRow> rows;
    std::vector<std::string> lines;  // each record as VCF text

    writerInput() {
        header.contigLines = {"##contig=<ID=20,length=64444167>"};
        header.contigs = {"20", "X"};
        for (int s = 0; s < 40; s++) header.samples.push_back("S" + std::to_string(s));
        header.source = "seamline test";
        header.command = "seamline --vcf sites.vcf";
        std::mt19937 rng(7);
        for (int r = 0; r < 3000; r++) {
            contigs.push_back(r < 2000 ? 0 : 1);
            positions.push_back(r < 2000 ? 1000 + 10 * r : 5 + r);
            // Missing identifiers, several or no ALT alleles, long alleles.
            ids.push_back(r % 5 ? "rs" + std::to_string(r) : ".");
            refs.push_back(r % 13 ? "A" : "ACGTACGTACGTACGTACGT");
            alts.push_back(r % 7 == 1 ? "G,T" : r % 11 == 2 ? "." : "C");
            bitRow row(2, 0);
            std::string line = header.contigs[contigs.back()] + "\t" +
                               std::to_string(positions.back()) + "\t" + ids.back() + "\t" +
                               refs.back() + "\t" + alts.back() + "\t.\t.\t.\tGT";
            for (size_t s = 0; s < header.samples.size(); s++) {
                int a = rng() % 2, b = rng() % 2;
                setPair(row, s, a, b);
                line += "\t" + std::to_string(a) + "|" + std::to_string(b);
            }
            rows.push_back(row);
            lines.push_back(line + "\n");
        }
    }
    // Writes every record; returns the reason of the failure, empty when none.
    std::string write(const std::string& path, seamline::variantFormat format,
                      const std::string& index, bool csi = false, int threads = 1) const {
        try {
            seamline::variantWriter w(path, "out", format, header, index, csi, threads);
            for (size_t r = 0; r < rows.size(); r++)
                w.write(contigs[r], positions[r], ids[r], refs[r], alts[r], rows[r].data());
            w.close();
        } catch (const seamline::failure& failure) {
            return reasonAfter("cannot write [out]: ", failure);
        }
        return "";
    }
    // The expected records of CHROM whose REF overlaps the two positions.
    std::string region(const std::string& chrom, int32_t from, int32_t to) const {
        std::string text;
        for (size_t r = 0; r < lines.size(); r++)
            if (header.contigs[contigs[r]] == chrom && positions[r] <= to &&
                positions[r] + static_cast<int32_t>(refs[r].size()) > from)
                text += lines[r];
        return text;
    }
};

TEST(VariantWriter, EveryFormatReadsBackThroughBcftoolsItsIndexAndTheReader) {
    const writerInput in;
    std::string all;
    for (const std::string& line : in.lines) all += line;
    const struct {
        const char* name;
        const char* index;
        bool csi;
    } cases[] = {
        {"out.vcf", "", false},
        {"out.vcf.gz", "out.vcf.gz.tbi", false},
        {"out.vcf.bgz", "out.vcf.bgz.csi", true},
        {"out.bcf", "out.bcf.csi", false},
    };
    tempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.path(c.name);
        const std::string index = *c.index ? dir.path(c.index) : "";
        ASSERT_EQ(in.write(path, seamline::variantFormatOf(c.name), index, c.csi), "");
        EXPECT_TRUE(shell("bcftools view -H '" + path + "'") == all);
        std::string header = shell("bcftools view -h '" + path + "'");
        for (const char* line :
             {"##contig=<ID=20,length=64444167>\n", "##contig=<ID=X>\n",
              "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Phased genotype\">\n",
              "##source=seamline test\n", "##seamlineCommand=seamline --vcf sites.vcf\n",
              "\tFORMAT\tS0\tS1\t"})
            EXPECT_NE(header.find(line), std::string::npos) << line;
        if (*c.index) {
            // Regions in the middle of a contig, across its end, and on the second.
            EXPECT_TRUE(shell("bcftools view -H -r 20:5000-9000 '" + path + "'") ==
                        in.region("20", 5000, 9000));
            EXPECT_TRUE(shell("bcftools view -H -r 20:20900-30000 '" + path + "'") ==
                        in.region("20", 20900, 30000));
            EXPECT_TRUE(shell("bcftools view -H -r X:2500-2600 '" + path + "'") ==
                        in.region("X", 2500, 2600));
        }
        readResult r = readFile(path);
        ASSERT_EQ(r.error, "");
        ASSERT_EQ(r.rows.size(), in.rows.size());
        for (bitRow& row : r.rows) row.resize(2);
        EXPECT_TRUE(r.rows == in.rows);
        for (size_t k : {0, 1, 2, 13, 2500})
            EXPECT_EQ(r.sites[k], in.header.contigs[in.contigs[k]] + " " +
                                      std::to_string(in.positions[k]) + " " + in.ids[k] + " " +
                                      in.refs[k] + " " + in.alts[k]);
    }
    // Plain VCF: the header exactly, in its order.
    std::string text = slurp(dir.path("out.vcf"));
    EXPECT_EQ(text.substr(0, text.find("\tS0\t")),
              "##fileformat=VCFv4.2\n##contig=<ID=20,length=64444167>\n##contig=<ID=X>\n"
              "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Phased genotype\">\n"
              "##source=seamline test\n##seamlineCommand=seamline --vcf sites.vcf\n"
              "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT");
}

// A last record whose text ends exactly where a BGZF block is full is still
// indexed: its entry points at the end of the data.
TEST(VariantWriter, ARecordEndingOnABlockBoundaryIsIndexed) {
    writerInput in;
    tempDir dir;
    const std::string path = dir.path("o.vcf.gz");
    // The header stands in a block of its own; record 2500, on contig X, is
    // made as long as a block and written alone.
    const size_t r = 2500;
    in.ids[r] = std::string(seamline::bgzfBlockSize - (in.lines[r].size() - in.ids[r].size()), 'i');
    auto keep = [](auto& values) { values = {values[r]}; };
    keep(in.contigs), keep(in.positions), keep(in.ids), keep(in.refs), keep(in.alts);
    keep(in.rows);
    ASSERT_EQ(in.write(path, seamline::variantFormat::vcfgz, path + ".tbi"), "");
    EXPECT_EQ(shell("bcftools view -H -r X '" + path + "' | wc -l"), "1\n");
}

TEST(VariantWriter, RefusesRecordsAnIndexCannotHold) {
    const writerInput in;
    const struct {
        int contig[3];
        int32_t pos[3];
        bool csi;
        const char* message;
    } cases[] = {
        {{0, 0, 0},
         {500, 500, 499},
         false,
         "records are not sorted (an index needs them sorted): 20:499 comes after 20:500"},
        {{0, 1, 0},
         {500, 10, 600},
         false,
         "records are not sorted (an index needs them sorted): chromosome 20 comes again after "
         "chromosome X"},
        {{0, 0, 1},
         {1, 536870911, 536870913},
         false,
         "position 536870913 is beyond the reach of a TBI index"},
        {{0, 0, 1}, {1, 536870911, 536870913}, true, ""},
    };
    tempDir dir;
    for (const auto& c : cases) {
        std::string error;
        try {
            seamline::variantWriter w(dir.path("o.vcf.gz"), "o.vcf.gz",
                                      seamline::variantFormat::vcfgz, in.header,
                                      dir.path(c.csi ? "o.vcf.gz.csi" : "o.vcf.gz.tbi"), c.csi, 1);
            for (int r = 0; r < 3; r++)
                w.write(c.contig[r], c.pos[r], ".", "A", "C", in.rows[r].data());
            w.close();
        } catch (const seamline::failure& failure) {
            error = reasonAfter("cannot write [o.vcf.gz]: ", failure);
        }
        EXPECT_EQ(error, c.message);
        if (error.empty()) {
            EXPECT_EQ(shell("bcftools query -r X:536870913 -f '%POS' " + dir.path("o.vcf.gz")),
                      "536870913");
        }
    }
}

TEST(VariantWriter, CompressedOutputAndIndexAreTheSameForEveryThreadCount) {
    const writerInput in;
    size_t text = 0;
    for (const std::string& line : in.lines) text += line.size();
    ASSERT_GT(text, 4 * seamline::bgzfBlockSize) << "several blocks in flight at once";
    tempDir dir;
    for (const std::string name : {"o.vcf.gz", "o.bcf"}) {
        const std::string index = name + ".csi";
        std::string file[4], indexFile[4];
        for (int threads : {1, 2, 3}) {
            SCOPED_TRACE(name + " with " + std::to_string(threads) + " threads");
            ASSERT_EQ(in.write(dir.path(name), seamline::variantFormatOf(name), dir.path(index),
                               true, threads),
                      "");
            file[threads] = slurp(dir.path(name));
            indexFile[threads] = slurp(dir.path(index));
            EXPECT_TRUE(file[threads] == file[1]);
            EXPECT_TRUE(indexFile[threads] == indexFile[1]);
        }
    }
}

TEST(VariantWriter, FullDiskIsAnError) {
    const writerInput in;
    tempDir dir;
    using seamline::variantFormat;
    for (variantFormat format : {variantFormat::vcf, variantFormat::vcfgz, variantFormat::bcf})
        EXPECT_EQ(in.write("/dev/full", format, ""), "No space left on device");
    EXPECT_EQ(in.write(dir.path("o.bcf"), variantFormat::bcf, "/dev/full"),
              "index [/dev/full]: No space left on device");
}

}  // namespace
