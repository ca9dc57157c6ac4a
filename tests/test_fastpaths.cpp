// The in-place parsers must agree with the plain field-by-field reading on
// every line, whatever its shape.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "files.h"
#include "sitemap/chunkrow.h"
#include "testutil.h"
#include "text.h"

using namespace seamline;

namespace {

struct reference {
    size_t nfields;
    std::vector<std::string> fields;
    std::vector<uint64_t> bits;
};

reference readPlainly(const std::string& line, size_t ncodes) {
    reference r;
    std::vector<std::string> tok = tokenize(line, " ");
    r.nfields = tok.size();
    r.bits.assign((ncodes + 63) / 64, 0);
    if (tok.size() != ncodes + 5) return r;
    r.fields.assign(tok.begin(), tok.begin() + 5);
    for (size_t i = 0; i < ncodes; i++)
        if (tok[5 + i] == "1") r.bits[i >> 6] |= uint64_t(1) << (i & 63);
    return r;
}

void expectSameReading(const std::string& line, size_t ncodes) {
    reference want = readPlainly(line, ncodes);
    chunkRow row;
    std::vector<uint64_t> bits((ncodes + 63) / 64, 0);
    ASSERT_EQ(row.parse(line, ncodes, bits.data()), want.nfields) << line;
    if (want.nfields != ncodes + 5) return;
    for (size_t f = 0; f < 5; f++) EXPECT_EQ(row.fields[f], want.fields[f]) << line;
    EXPECT_EQ(bits, want.bits) << line;
}

std::string canonical(size_t ncodes, std::mt19937& rng) {
    std::string line = "20 rs12 61234 A G";
    for (size_t i = 0; i < ncodes; i++) line += rng() & 1 ? " 1" : " 0";
    return line;
}

TEST(ChunkRow, UsualLayoutIsReadInPlace) {
    std::mt19937 rng(1);
    for (size_t ncodes : {0, 2, 30, 32, 34, 62, 64, 66, 200, 2000}) {
        std::string line = canonical(ncodes, rng);
        expectSameReading(line, ncodes);
        chunkRow row;
        std::vector<uint64_t> bits((ncodes + 63) / 64, 0);
        row.parse(line, ncodes, bits.data());
        EXPECT_TRUE(row.tok.empty()) << "took the general path with " << ncodes << " codes";
    }
}

TEST(ChunkRow, EveryOtherShapeAgreesWithThePlainReading) {
    std::mt19937 rng(2);
    const char* codes[] = {"0", "1", "1", "2", "01", "1.0", ".", "\t", "1\r", "11", "-", "1\t"};
    const char* gaps[] = {" ", " ", " ", "  ", "   ", "\t", " \t "};
    for (int trial = 0; trial < 3000; trial++) {
        size_t ncodes = 2 * (rng() % 40);
        std::string line;
        if (rng() % 4 == 0) line += gaps[rng() % 7];
        line += "20 rs1 100 A G";
        size_t n = ncodes + (rng() % 8 == 0 ? 2 * (rng() % 3) - 2 : 0);
        for (size_t i = 0; i < n && i < 1000; i++) {
            line += rng() % 6 == 0 ? gaps[rng() % 7] : " ";
            line += rng() % 5 == 0 ? codes[rng() % 12] : (rng() & 1 ? "1" : "0");
        }
        if (rng() % 4 == 0) line += gaps[rng() % 7];
        if (rng() % 10 == 0) line += "\r";
        expectSameReading(line, ncodes);
    }
    for (const std::string& line : std::vector<std::string>{
             "", "   ", "20 rs1 100 A", "20 rs1 100 A G ", "  20  rs1 100 A G  0 1  ",
             "20 rs1 100 A G 0 1\r", "20\trs1 100 A G 0 1", std::string("20 rs1 100 A G 1 \0", 17)})
        for (size_t ncodes : {0, 2}) expectSameReading(line, ncodes);
}

TEST(ChunkRow, PackCodesRejectsAnyOtherLayoutInBlocksAndTail) {
    for (size_t ncodes : {1, 16, 17, 40, 100}) {
        std::string text;
        for (size_t i = 0; i < ncodes; i++) text += i % 3 ? "1 " : "0 ";
        text.pop_back();
        std::vector<uint64_t> bits((ncodes + 63) / 64, 0);
        ASSERT_TRUE(packCodes(text.data(), ncodes, bits.data()));
        for (size_t i = 0; i < ncodes; i++)
            EXPECT_EQ((bits[i >> 6] >> (i & 63)) & 1, i % 3 ? 1u : 0u);
        for (size_t at = 0; at < text.size(); at++) {
            std::string broken = text;
            broken[at] = at % 2 ? 'x' : ' ';
            std::fill(bits.begin(), bits.end(), 0);
            EXPECT_FALSE(packCodes(broken.data(), ncodes, bits.data())) << ncodes << " at " << at;
        }
    }
}

TEST(LineReader, GivesTheLinesOfTheStandardLineReader) {
    std::string longLine(3 << 20, 'x');
    const std::string texts[] = {
        "",
        "\n",
        "a\nb\n",
        "a\nb",
        "a\r\n\n\nb\r\n",
        std::string("nul\0inside\n", 11),
        longLine + "\n" + longLine.substr(7) + "\nshort\n" + longLine,
    };
    for (const std::string& text : texts) {
        std::istringstream a(text), b(text);
        std::vector<std::string> want, got;
        std::string line;
        while (std::getline(a, line)) want.push_back(line);
        lineReader reader(b);
        std::string_view view;
        while (reader.next(view)) got.push_back(std::string(view));
        EXPECT_EQ(got, want);
        EXPECT_FALSE(b.bad());
    }
}

TEST(GzipOutput, EmptyAndMultiMemberTextsAreStandardGzip) {
    tempDir dir;
    std::string big;
    std::mt19937 rng(4);
    while (big.size() < (9 << 20)) big += canonical(100, rng) + "\n";
    for (const std::string& text : {std::string(), big}) {
        std::string path = dir.path("out.gz");
        {
            ofile out(path);
            out << text;
            out.close();
            ASSERT_FALSE(out.bad());
        }
        EXPECT_EQ(shell("gzip -t " + path + " && echo ok"), "ok\n");
        EXPECT_EQ(shell("gzip -dc " + path), text);
        ifile in(path);
        lineReader reader(in);
        std::string_view line;
        size_t bytes = 0;
        while (reader.next(line)) bytes += line.size() + 1;
        EXPECT_EQ(bytes, text.size());
        EXPECT_FALSE(in.bad());
    }
}

}  // namespace
