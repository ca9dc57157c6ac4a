// Whole VCF records through the record editor: VCF lines parsed by htslib,
// edited, and formatted back to VCF text. Lines are written here with spaces
// for tabs.
#include <gtest/gtest.h>
#include <htslib/vcf.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "dropin/bcfcopy.h"
#include "dropin/records.h"
#include "failure.h"
#include "vcfwrite.h"

namespace {

const char* const declarations =
    "##fileformat=VCFv4.2\n##contig=<ID=20>\n"
    "##FILTER=<ID=q10,Description=\"Low quality\">\n"
    "##INFO=<ID=AF,Number=A,Type=Float,Description=\"ALT frequency\">\n"
    "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n"
    "##FORMAT=<ID=DS,Number=A,Type=Float,Description=\"Dosage\">\n"
    "##FORMAT=<ID=GP,Number=G,Type=Float,Description=\"Genotype probabilities\">\n"
    "##FORMAT=<ID=AP1,Number=A,Type=Float,Description=\"ALT probabilities, haplotype 1\">\n"
    "##FORMAT=<ID=AP2,Number=A,Type=Float,Description=\"ALT probabilities, haplotype 2\">\n"
    "##FORMAT=<ID=HDS,Number=.,Type=Float,Description=\"Haploid dosages\">\n"
    "##FORMAT=<ID=PS,Number=1,Type=Integer,Description=\"Phase set\">\n"
    "##FORMAT=<ID=NOTE,Number=1,Type=String,Description=\"Free text\">\n";

std::string withTabs(std::string text) {
    std::replace(text.begin(), text.end(), ' ', '\t');
    return text;
}

std::string withSpaces(std::string text) {
    std::replace(text.begin(), text.end(), '\t', ' ');
    return text;
}

using recordPtr = std::unique_ptr<bcf1_t, decltype(&bcf_destroy)>;

// A header of the given samples (and, by default, the declarations above),
// and records parsed with it from lines written with spaces.
class vcfText {
public:
    explicit vcfText(const std::string& samples, const std::string& lines = declarations)
        : header(bcf_hdr_init("r")) {
        std::string text =
            lines + withTabs("#CHROM POS ID REF ALT QUAL FILTER INFO FORMAT " + samples + "\n");
        if (bcf_hdr_parse(header, &text[0]) < 0) throw std::runtime_error("bad header");
    }
    ~vcfText() { bcf_hdr_destroy(header); }
    vcfText(const vcfText&) = delete;
    vcfText& operator=(const vcfText&) = delete;

    bcf1_t* parse(const std::string& line) {
        std::string text = withTabs(line);
        kstring_t s = {text.size(), text.size() + 1, &text[0]};
        records.emplace_back(bcf_init(), &bcf_destroy);
        if (vcf_parse(&s, header, records.back().get()) < 0)
            throw std::runtime_error("bad record " + line);
        return records.back().get();
    }
    bcf1_t* blank() {
        records.emplace_back(bcf_init(), &bcf_destroy);
        return records.back().get();
    }
    // The record as VCF text, with spaces for tabs.
    std::string text(bcf1_t* record) const {
        kstring_t s = {0, 0, nullptr};
        if (vcf_format(header, record, &s) < 0) throw std::runtime_error("cannot format");
        std::string line(s.s, s.l);
        free(s.s);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        return withSpaces(line);
    }
    // The record as a BCF writer encodes it: a copy made from its encoding.
    std::string encoded(bcf1_t* record) const {
        recordPtr copy(bcf_dup(record), &bcf_destroy);
        return text(copy.get());
    }

    bcf_hdr_t* header;

private:
    std::vector<recordPtr> records;
};

// A mask with both bits of each listed sample set.
std::vector<uint64_t> pairsOf(size_t samples, const std::vector<int>& set) {
    std::vector<uint64_t> mask((2 * samples + 63) / 64, 0);
    for (int k : set) mask[k / 32] |= uint64_t(3) << (2 * (k % 32));
    return mask;
}

struct exchangeCase {
    const char *alt, *before, *after;  // ALT; FORMAT and sample columns
    std::vector<int> exchanged;
};

// The BCF copier's bytes of the record as it was parsed from line, with the
// samples of mask exchanged, against the editor's record edited: the same
// bytes, or none where the record holds per-haplotype fields and the mask
// samples.
void expectRawCopy(vcfText& vcf, const std::string& line, bcf1_t* edited,
                   const std::vector<uint64_t>& mask) {
    const seamline::bcfCopier copier(vcf.header, vcf.header, true);
    ASSERT_TRUE(copier.usable());
    std::string raw = "before", expected = "before";
    recordPtr synced(bcf_dup(edited), &bcf_destroy);
    seamline::appendBcfRecord(expected, synced.get());
    const bool perHaplotype = line.find("AP1") != std::string::npos ||
                              line.find("AP2") != std::string::npos ||
                              line.find("HDS") != std::string::npos;
    const bool anySample = std::any_of(mask.begin(), mask.end(), [](uint64_t w) { return w; });
    const bool copied = copier.copy(vcf.parse(line), mask, raw);
    EXPECT_EQ(copied, !(perHaplotype && anySample));
    EXPECT_TRUE(raw == (copied ? expected : "before"));
}

// Exchanges the samples of a case in a record of samples a, b and c, through
// the editor and through the BCF copier.
void expectExchange(const exchangeCase& c) {
    SCOPED_TRACE(std::string(c.before));
    vcfText vcf("a b c");
    const std::string site = std::string("20 100 . A ") + c.alt + " . . . ";
    bcf1_t* record = vcf.parse(site + c.before);
    seamline::recordEditor editor;
    editor.exchangeHaplotypes(vcf.header, record, pairsOf(3, c.exchanged));
    EXPECT_EQ(vcf.text(record), site + c.after);
    EXPECT_EQ(vcf.encoded(record), site + c.after);
    expectRawCopy(vcf, site + c.before, record, pairsOf(3, c.exchanged));
}

TEST(RecordsExchange, EachKindOfGenotype) {
    // Sample a is exchanged; b stands next to it, not exchanged.
    const std::vector<exchangeCase> cases = {
        {"T", "GT 0|1 0|1 0|1", "GT 1|0 0|1 0|1", {0}},
        {"T", "GT 1|0 0|1 0|1", "GT 0|1 0|1 0|1", {0}},
        {"T,G", "GT 1|2 1|2 0|1", "GT 2|1 1|2 0|1", {0}},
        {"T", "GT .|1 0|1 0|1", "GT 1|. 0|1 0|1", {0}},
        {"T", "GT 1|. 0|1 0|1", "GT .|1 0|1 0|1", {0}},
        {"T", "GT 0/1 0|1 0|1", "GT 0/1 0|1 0|1", {0}},
        {"T", "GT 1 0|1 0|1", "GT 1 0|1 0|1", {0}},
        {"T", "GT . 0|1 0|1", "GT . 0|1 0|1", {0}},
        {"T", "GT ./. 0|1 0|1", "GT ./. 0|1 0|1", {0}},
        {"T", "GT 0|0 0|1 0|1", "GT 0|0 0|1 0|1", {0}},
        {"T", "GT 0|1|1 0|1 0|1", "GT 0|1|1 0|1 0|1", {0}},
        {"T", "GT 0/1|1 0|1 0|1", "GT 0/1|1 0|1 0|1", {0}},
        // Haploid calls next to diploid ones, each sample on its own.
        {"T", "GT 1 0|1 1|0", "GT 1 1|0 0|1", {0, 1, 2}},
        {"T", "GT 0|1 0|1 0|1", "GT 0|1 0|1 0|1", {}},
    };
    for (const exchangeCase& c : cases) expectExchange(c);
}

TEST(RecordsExchange, GenotypesStoredWiderThanOneByte) {
    // Allele numbers past 62 are stored as 16-bit values.
    std::string alt = "T";
    for (int i = 2; i <= 70; i++) alt += ",T" + std::string(i, 'A');
    vcfText vcf("a b c");
    const std::string site = "20 100 . A " + alt + " . . . ";
    bcf1_t* record = vcf.parse(site + "GT 0|65 64|3 66");
    seamline::exchangeHaplotypes(vcf.header, record, pairsOf(3, {0, 1, 2}));
    EXPECT_EQ(vcf.text(record), site + "GT 65|0 3|64 66");
    EXPECT_EQ(vcf.encoded(record), site + "GT 65|0 3|64 66");
    expectRawCopy(vcf, site + "GT 0|65 64|3 66", record, pairsOf(3, {0, 1, 2}));
}

// Records are copied as they stand only where the chunk numbers keys and
// contigs as the output does and lists its samples in order.
TEST(RecordsRawCopy, OnlyUnderTheSameNumbersAndSamples) {
    vcfText vcf("a b c"), fewer("a b");
    const std::string reordered =
        std::string(declarations)
            .replace(std::string(declarations).find("##FORMAT=<ID=DS"), 0,
                     "##FORMAT=<ID=XX,Number=1,Type=Integer,Description=\"first\">\n");
    vcfText renumbered("a b c", reordered);
    EXPECT_TRUE(seamline::bcfCopier(vcf.header, vcf.header, true).usable());
    EXPECT_FALSE(seamline::bcfCopier(vcf.header, vcf.header, false).usable());
    EXPECT_FALSE(seamline::bcfCopier(fewer.header, vcf.header, true).usable());
    EXPECT_FALSE(seamline::bcfCopier(renumbered.header, vcf.header, true).usable());
    EXPECT_FALSE(seamline::bcfCopier(vcf.header, renumbered.header, true).usable());
    std::string out;
    bcf1_t* record = vcf.parse("20 100 . A T . . . GT 0|1 1|0 0|0");
    record->errcode = BCF_ERR_TAG_UNDEF;
    EXPECT_FALSE(
        seamline::bcfCopier(vcf.header, vcf.header, true).copy(record, pairsOf(3, {}), out));
    EXPECT_EQ(out, "");
}

TEST(RecordsExchange, PerHaplotypeFieldsFollowTheGenotype) {
    const std::vector<exchangeCase> cases = {
        {"T",
         "GT:AP1:AP2 0|1:0.1:0.9 1|0:0.8:0.2 0|1:0.3:0.7",
         "GT:AP1:AP2 1|0:0.9:0.1 1|0:0.8:0.2 0|1:0.3:0.7",
         {0}},
        {"T,G",
         "GT:AP1:AP2 1|2:0.9,0:0,0.8 0|0:0,0:0,0 0|1:0.1,0:0.9,0",
         "GT:AP1:AP2 2|1:0,0.8:0.9,0 0|0:0,0:0,0 0|1:0.1,0:0.9,0",
         {0}},
        {"T",
         "GT:HDS 0|1:0.1,0.9 1|0:0.8,0.2 1:0.7",
         "GT:HDS 1|0:0.9,0.1 0|1:0.2,0.8 1:0.7",
         {0, 1, 2}},
        // An HDS of one value stays as it is.
        {"T",
         "GT:HDS 0|1:0.4 0|1:0.1,0.9 0|1:0.2,0.8",
         "GT:HDS 1|0:0.4 1|0:0.9,0.1 0|1:0.2,0.8",
         {0, 1}},
        {"T",
         "GT:DS:GP 0|1:1:0,1,0 1|1:2:0,0,1 0|0:0:1,0,0",
         "GT:DS:GP 1|0:1:0,1,0 1|1:2:0,0,1 0|0:0:1,0,0",
         {0, 1, 2}},
        {"T",
         "GT:DS:AP1:AP2:HDS 0|1:1:0.1:0.9:0.1,0.9 0|1:1:0.2:0.8:0.2,0.8 .|1:1:.:0.9:.,0.9",
         "GT:DS:AP1:AP2:HDS 1|0:1:0.9:0.1:0.9,0.1 0|1:1:0.2:0.8:0.2,0.8 1|.:1:0.9:.:0.9,.",
         {0, 2}},
        // An unphased genotype stays, but its per-haplotype fields follow
        // the chunk's haplotypes; haploid and missing genotypes keep theirs.
        {"T",
         "GT:AP1:AP2:HDS 0/1:0.1:0.9:0.1,0.9 1:0.8:0.2:0.8 .:0.5:0.5:.",
         "GT:AP1:AP2:HDS 0/1:0.9:0.1:0.9,0.1 1:0.8:0.2:0.8 .:0.5:0.5:.",
         {0, 1, 2}},
        {"T",
         "GT:AP1:AP2 0/1:0.2:0.8 ./.:0.4:0.6 1/1:0.9:0.7",
         "GT:AP1:AP2 0/1:0.8:0.2 ./.:0.6:0.4 1/1:0.7:0.9",
         {0, 1, 2}},
        // Records without some of the fields.
        {"T",
         "AP1:AP2:HDS 0.1:0.9:0.1,0.9 0.8:0.2:0.8,0.2 0.3:0.7:0.3,0.7",
         "AP1:AP2:HDS 0.1:0.9:0.1,0.9 0.8:0.2:0.8,0.2 0.3:0.7:0.3,0.7",
         {0, 1, 2}},
        {"T", "GT:AP1 0|1:0.3 1|0:0.6 0|0:0", "GT:AP1 1|0:0.3 1|0:0.6 0|0:0", {0}},
        {"T",
         "GT:AP2:PS 0|1:0.3:7 1|0:0.6:7 0|0:0:7",
         "GT:AP2:PS 1|0:0.3:7 1|0:0.6:7 0|0:0:7",
         {0}},
        // AP1 and AP2 stored with different numbers of values.
        {"T",
         "GT:AP1:AP2 0|1:0.1,0.2:0.9 0|1:0.3:0.7 0|1:0.4:0.6",
         "GT:AP1:AP2 1|0:0.9:0.1,0.2 0|1:0.3:0.7 1|0:0.6:0.4",
         {0, 2}},
    };
    for (const exchangeCase& c : cases) expectExchange(c);
}

// A mask shorter than the samples; an HDS of more values than one per
// haplotype (at a site of two ALT alleles) in a sample to be exchanged, as no
// convention orders them. Where that sample stays, the others are exchanged.
TEST(RecordsExchange, RefusedWhereNoExchangeIsKnown) {
    vcfText vcf("a b c");
    bcf1_t* record = vcf.parse("20 100 . A T . . . GT 0|1 0|1 0|1");
    EXPECT_THROW(seamline::exchangeHaplotypes(vcf.header, record, {}), seamline::failure);
    const std::string line = "20 100 . A T,G . . . GT:HDS 1|2:0.9,0.1,0.2,0.7 0|1:0.1,0.9 .|1:.";
    record = vcf.parse(line);
    EXPECT_THROW(seamline::exchangeHaplotypes(vcf.header, record, pairsOf(3, {0, 1})),
                 seamline::failure);
    record = vcf.parse(line);
    seamline::exchangeHaplotypes(vcf.header, record, pairsOf(3, {1, 2}));
    EXPECT_EQ(vcf.text(record),
              "20 100 . A T,G . . . GT:HDS 1|2:0.9,0.1,0.2,0.7 1|0:0.9,0.1 1|.:.");
}

struct blendCase {
    const char *left, *right;  // whole records
    std::vector<int> fromRight;
    bool siteFromRight;
    const char* expected;
};

TEST(RecordsBlend, SamplesFromEitherRecord) {
    const char* const left = "20 100 rsL A T 30 PASS AF=0.5 GT:DS 0|1:1 1|1:2 0|0:0";
    const char* const right = "20 100 rsR A T 50 q10 AF=0.25 GT:DS 1|0:0.9 0|1:1.1 1|1:1.8";
    const std::vector<blendCase> cases = {
        {left, right, {1}, false, "20 100 rsL A T 30 PASS AF=0.5 GT:DS 0|1:1 0|1:1.1 0|0:0"},
        {left, right, {0, 2}, true, "20 100 rsR A T 50 q10 AF=0.25 GT:DS 1|0:0.9 1|1:2 1|1:1.8"},
        {left, right, {}, true, "20 100 rsR A T 50 q10 AF=0.25 GT:DS 0|1:1 1|1:2 0|0:0"},
        {left, right, {}, false, left},
        {left, right, {0, 1, 2}, true, right},
        {left,
         right,
         {0, 1, 2},
         false,
         "20 100 rsL A T 30 PASS AF=0.5 GT:DS 1|0:0.9 0|1:1.1 1|1:1.8"},
        // Keys that one record lacks: missing values for the other's samples.
        {"20 100 . A T . . . GT:DS 0|1:1 1|1:2 0|0:0",
         "20 100 . A T . . . GT:HDS 1|0:1,0 0|1:0,1 1|1:1,1",
         {1},
         false,
         "20 100 . A T . . . GT:DS:HDS 0|1:1:. 0|1:.:0,1 0|0:0:."},
        {"20 100 . A T . . . DS 1 2 0",
         "20 100 . A T . . . GT:DS 1|0:1 0|1:1 1|1:2",
         {1},
         false,
         "20 100 . A T . . . GT:DS .:1 0|1:1 .:0"},
        // A key of the record that gives no sample is left out.
        {"20 100 rsL A T . . . GT:DS 0|1:1 1|1:2 0|0:0",
         "20 100 rsR A T . . . GT:HDS 1|0:1,0 . .",
         {},
         true,
         "20 100 rsR A T . . . GT:DS 0|1:1 1|1:2 0|0:0"},
        {"20 100 . A T . . . GT:NOTE 0|1:a 0|1:b 0|1:c",
         "20 100 . A T . . . GT 0|1 0|1 0|1",
         {0},
         false,
         "20 100 . A T . . . GT:NOTE 0|1:. 0|1:b 0|1:c"},
        // Values of other widths: longer strings, wider integers, more values.
        {"20 100 . A T . . . NOTE:PS a:5 b:5 c:5",
         "20 100 . A T . . . NOTE:PS xyz:100000 . .",
         {0},
         false,
         "20 100 . A T . . . NOTE:PS xyz:100000 b:5 c:5"},
        {"20 100 . A T,G . . . GT:DS 1|2:1,1 0|1:1,0 0|0:0,0",
         "20 100 . A T,G . . . GT:DS 1|0:1 0|1:1 2|2:0,2",
         {1, 2},
         false,
         "20 100 . A T,G . . . GT:DS 1|2:1,1 0|1:1 2|2:0,2"},
    };
    for (const blendCase& c : cases) {
        SCOPED_TRACE(std::string(c.left) + " / " + c.right);
        vcfText vcf("a b c");
        bcf1_t* out = vcf.blank();
        seamline::blendSamples(vcf.header, vcf.parse(c.left), vcf.parse(c.right),
                               pairsOf(3, c.fromRight), c.siteFromRight, out);
        EXPECT_EQ(vcf.text(out), c.expected);
        EXPECT_EQ(vcf.encoded(out), c.expected);
    }
}

TEST(RecordsBlend, RecordsTranslatedFromTwoHeaders) {
    const std::string rightDeclarations =
        "##fileformat=VCFv4.2\n##contig=<ID=20>\n"
        "##FORMAT=<ID=HDS,Number=.,Type=Float,Description=\"Haploid dosages\">\n"
        "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n"
        "##FORMAT=<ID=XP,Number=1,Type=Integer,Description=\"Only on the right\">\n";
    vcfText one("a b"), two("a b", rightDeclarations);
    bcf_hdr_t* merged = bcf_hdr_merge(bcf_hdr_dup(one.header), two.header);
    ASSERT_EQ(bcf_hdr_sync(merged), 0);
    bcf1_t* left = one.parse("20 100 . A T . . . GT:DS 0|1:1 1|1:2");
    bcf1_t* right = two.parse("20 100 . A T . . . GT:HDS:XP 1|0:1,0:4 0|1:0,1:5");
    ASSERT_EQ(bcf_translate(merged, one.header, left), 0);
    ASSERT_EQ(bcf_translate(merged, two.header, right), 0);
    recordPtr out(bcf_init(), &bcf_destroy);
    seamline::recordEditor editor;
    editor.blendSamples(merged, left, right, pairsOf(2, {1}), false, out.get());
    kstring_t s = {0, 0, nullptr};
    ASSERT_EQ(vcf_format(merged, out.get(), &s), 0);
    EXPECT_EQ(withSpaces(std::string(s.s, s.l)),
              "20 100 . A T . . . GT:DS:HDS:XP 0|1:1:.:. 0|1:.:0,1:5\n");
    free(s.s);
    bcf_hdr_destroy(merged);
}

TEST(RecordsBlend, RecordsOfDifferentSitesAreRefused) {
    vcfText vcf("a");
    bcf1_t* out = vcf.blank();
    const std::vector<uint64_t> none = pairsOf(1, {});
    bcf1_t* site = vcf.parse("20 100 . A T . . . GT 0|1");
    for (const char* other :
         {"20 101 . A T . . . GT 0|1", "20 100 . A G . . . GT 0|1", "20 100 . A T,G . . . GT 0|1"})
        EXPECT_THROW(seamline::blendSamples(vcf.header, site, vcf.parse(other), none, false, out),
                     seamline::failure)
            << other;
}

}  // namespace
