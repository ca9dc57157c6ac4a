// Record lines of VCF text copied as they stand, GT exchanged in the text;
// the genotype evidence read from the text.
#include <gtest/gtest.h>
#include <htslib/vcf.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dropin/gtscan.h"
#include "dropin/rawline.h"
#include "vcftext.h"

namespace {

struct headerDeleter {
    void operator()(bcf_hdr_t* h) const { bcf_hdr_destroy(h); }
};
typedef std::unique_ptr<bcf_hdr_t, headerDeleter> headerPtr;

headerPtr makeHeader(const std::string& number) {
    headerPtr h(bcf_hdr_init("w"));
    for (std::string line :
         {"##contig=<ID=20>", "##INFO=<ID=AF,Number=A,Type=Float,Description=\"f\">",
          "##INFO=<ID=END,Number=1,Type=Integer,Description=\"e\">",
          "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"g\">",
          "##FORMAT=<ID=AP1,Number=A,Type=Float,Description=\"a\">",
          "##FORMAT=<ID=AP2,Number=A,Type=Float,Description=\"b\">"})
        bcf_hdr_append(h.get(), line.c_str());
    bcf_hdr_append(h.get(),
                   ("##FORMAT=<ID=DS,Number=" + number + ",Type=Float,Description=\"d\">").c_str());
    for (const char* s : {"A", "B", "C"}) bcf_hdr_add_sample(h.get(), s);
    EXPECT_EQ(bcf_hdr_sync(h.get()), 0);
    return h;
}

std::string exchanged(std::string text) {
    return seamline::exchangeGenotypeText(&text[0], text.size()) ? text : "refused";
}

// A genotype's GT text, as a record of three samples gives it to htslib: the
// values htslib decodes for the middle sample.
std::vector<int32_t> decodedValues(const bcf_hdr_t* header, const std::string& gt) {
    std::string line = "20\t100\t.\tA\tG,T\t.\t.\t.\tGT\t0|0\t" + gt + "\t0|1|1";
    kstring_t text = {0, 0, nullptr};
    kputs(line.c_str(), &text);
    bcf1_t* record = bcf_init();
    std::vector<int32_t> values;
    int32_t* gtValues = nullptr;
    int capacity = 0;
    if (vcf_parse(&text, header, record) == 0) {
        const int n = bcf_get_genotypes(header, record, &gtValues, &capacity);
        if (n > 0) values.assign(gtValues + n / 3, gtValues + 2 * n / 3);
    }
    free(gtValues);
    free(text.s);
    bcf_destroy(record);
    return values;
}

// One reading of genotypes for every mode: the text's kind, its alleles, the
// text with its haplotypes exchanged, and the same kind and alleles from the
// values htslib decodes of the same text.
TEST(Genotype, ReadClassifiedExchangedAndDecodedAlike) {
    using kind = seamline::genotype::kind;
    const struct {
        const char* text;
        kind want;
        int first, second;     // the alleles, -1 for '.'
        const char* exchange;  // the text exchanged, or "refused"
    } cases[] = {
        {"0|1", kind::phased, 0, 1, "1|0"},       {"12|3", kind::phased, 12, 3, "3|12"},
        {"1|2", kind::phased, 1, 2, "2|1"},       {"1|.", kind::halfMissing, 1, -1, ".|1"},
        {".|.", kind::missing, -1, -1, ".|."},    {"0/1", kind::unphased, 0, 1, "0/1"},
        {"./1", kind::halfMissing, -1, 1, "./1"}, {"1", kind::haploid, 1, -1, "1"},
        {".", kind::missing, -1, -1, "."},        {"0|1|1", kind::other, 0, 1, "refused"},
        {"0|1/2", kind::other, 0, 1, "refused"},  {"|0|1", kind::other, -1, -1, "refused"},
        {"0|", kind::other, 0, -1, "refused"},    {"0||1", kind::other, 0, -1, "refused"},
        {"a|b", kind::other, -1, -1, "refused"},  {"", kind::other, -1, -1, "refused"},
    };
    headerPtr header = makeHeader("1");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const seamline::genotype g = seamline::readGenotype(c.text);
        EXPECT_EQ(g.classify(), c.want);
        EXPECT_EQ(g.alleles[0], c.first);
        EXPECT_EQ(g.alleles[1], c.second);
        EXPECT_EQ(exchanged(c.text), c.exchange);
        if (c.want == kind::other) continue;
        const std::vector<int32_t> values = decodedValues(header.get(), c.text);
        ASSERT_FALSE(values.empty());
        const seamline::genotype d =
            seamline::decodeGenotype(values.data(), static_cast<int>(values.size()));
        EXPECT_EQ(d.classify(), c.want);
        EXPECT_EQ(d.alleles[0], c.first);
        EXPECT_EQ(d.alleles[1], c.second);
        EXPECT_EQ(d.multiAllelic(), g.multiAllelic());
    }
}

TEST(RawLine, CopiesOrRefers) {
    headerPtr chunk = makeHeader("A"), output = makeHeader("A"), other = makeHeader("1");
    seamline::lineCopier copier(chunk.get(), output.get(), true);
    const std::vector<uint64_t> none = {0}, first = {3}, all = {0x3f};
    seamline::lineCopier::placement where;
    std::string out;
    const std::string site = "20\t100\trs1\tAC\tG\t.\tPASS\tAF=0.5\t";
    ASSERT_TRUE(copier.copy(site + "GT:DS\t0|1:0.5\t1|0:1\t0/1:1", none, out, where));
    EXPECT_EQ(out, site + "GT:DS\t0|1:0.5\t1|0:1\t0/1:1\n");
    EXPECT_EQ(where.rid, 0);
    EXPECT_EQ(where.begin, 99);
    EXPECT_EQ(where.end, 101);
    out.clear();
    ASSERT_TRUE(copier.copy(site + "GT:DS\t0|1:0.5\t1|0:1\t0/1:1", all, out, where));
    EXPECT_EQ(out, site + "GT:DS\t1|0:0.5\t0|1:1\t0/1:1\n");
    out.clear();
    ASSERT_TRUE(copier.copy(site + "GT\t0|1\t1|.\t1", first, out, where));
    EXPECT_EQ(out, site + "GT\t1|0\t1|.\t1\n");
    // Left to the parser: per-haplotype fields to exchange, INFO/END, keys
    // not declared, a column too few, a genotype of another form.
    out.clear();
    for (const std::string& line :
         {site + "GT:AP1:AP2\t0|1:0:1\t0|0:0:0\t0|0:0:0",
          std::string("20\t100\t.\tA\tG\t.\t.\tEND=200\tGT\t0|1\t0|1\t0|1"),
          site + "GT:XX\t0|1:1\t0|1:1\t0|1:1", site + "GT\t0|1\t0|1", site + "GT\t0|1|1\t0|1\t0|1",
          site + "DS:GT\t1:0|1\t1:0|1\t1:0|1"})
        EXPECT_FALSE(copier.copy(line, first, out, where)) << line;
    EXPECT_EQ(out, "");
    // A field declared otherwise in the output, or samples in another order.
    EXPECT_FALSE(seamline::lineCopier(chunk.get(), other.get(), true)
                     .copy(site + "GT\t0|1\t0|1\t0|1", none, out, where));
    EXPECT_FALSE(seamline::lineCopier(chunk.get(), output.get(), false)
                     .copy(site + "GT\t0|1\t0|1\t0|1", none, out, where));
}

}  // namespace

namespace {

// The evidence of every sample as the first reading takes it from a record
// that htslib parsed.
std::vector<uint16_t> parsedEvidence(bcf_hdr_t* header, const std::string& line, bool& parsed) {
    kstring_t text = {line.size(), line.size() + 1, strdup(line.c_str())};
    bcf1_t* record = bcf_init();
    parsed = vcf_parse(&text, header, record) == 0;
    std::vector<uint16_t> found(3, 0);
    int32_t* gt = nullptr;
    int capacity = 0;
    const int n = parsed ? bcf_get_genotypes(header, record, &gt, &capacity) : 0;
    for (int j = 0; n > 0 && n % 3 == 0 && j < 3; j++)
        found[j] = seamline::decodedEvidence(gt + n / 3 * j, n / 3, record->n_allele);
    free(gt);
    free(text.s);
    bcf_destroy(record);
    return found;
}

}  // namespace

// The genotype scanner, its three-character columns read in place included,
// gives the evidence of the parsed record on every line it reads, whatever
// the genotypes, the place of GT among the keys and the last column.
TEST(GenotypeScanner, EvidenceAsTheParsedRecordGivesIt) {
    headerPtr header = makeHeader("1");
    seamline::genotypeScanner scanner(header.get());
    std::mt19937 rng(4);
    const char* kinds[] = {"0|1", "1|0", "1|1",  "0/1",   ".|1", "1|.",  "2|1", "1",
                           ".",   "./.", "10|1", "0|1|1", "0|",  "01|1", "1|2"};
    const char* formats[] = {"GT", "GT:DS", "DS:GT"};
    int scanned = 0;
    for (int trial = 0; trial < 3000; trial++) {
        const std::string format = formats[rng() % 3];
        std::string line =
            std::string("20\t100\t.\tA\t") + (rng() % 3 ? "G" : "G,T") + "\t.\t.\t.\t" + format;
        for (int j = 0; j < 3; j++) {
            const std::string gt = kinds[rng() % (rng() % 2 ? 3 : 15)];
            line += "\t" + (format == "GT" ? gt : format == "GT:DS" ? gt + ":0.5" : "0.5:" + gt);
        }
        if (!scanner.scan(line)) continue;
        scanned++;
        bool parsed = false;
        const std::vector<uint16_t> want = parsedEvidence(header.get(), line, parsed);
        ASSERT_TRUE(parsed) << line;
        EXPECT_EQ(scanner.found, want) << line;
    }
    EXPECT_GT(scanned, 1000);
}
