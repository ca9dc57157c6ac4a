#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>

#include "blocks.h"
#include "deflate.h"

using namespace seamline;

namespace {

// Inflates every gzip member of data with zlib, checking each member's CRC
// and length; fails the test on any error.
std::string gunzip(const std::string& data) {
    std::string text;
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 15 + 16), Z_OK);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    char buffer[1 << 16];
    while (z.avail_in > 0) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        int r = inflate(&z, Z_NO_FLUSH);
        text.append(buffer, sizeof buffer - z.avail_out);
        if (r == Z_STREAM_END) {
            inflateReset(&z);
            continue;
        }
        if (r != Z_OK) {
            ADD_FAILURE() << "inflate: " << r << " " << (z.msg ? z.msg : "");
            break;
        }
    }
    inflateEnd(&z);
    return text;
}

std::string haplotypeLines(size_t lines, size_t codes, std::mt19937& rng) {
    std::string text, previous;
    for (size_t l = 0; l < lines; l++) {
        text += "20 rs" + std::to_string(rng() % 100000) + " " + std::to_string(60000 + 17 * l) +
                " A G";
        // Rows mostly repeat the previous row's codes, as linked sites do.
        std::string row;
        for (size_t c = 0; c < codes; c++) {
            char code = previous.empty() || rng() % 50 == 0 ? "01"[rng() & 1] : previous[2 * c + 1];
            row += ' ';
            row += code;
        }
        previous = row;
        text += row + "\n";
    }
    return text;
}

TEST(Deflater, EveryKindOfTextInflatesBackExactly) {
    std::mt19937 rng(8);
    std::string randomBytes(1 << 20, '\0');
    for (char& c : randomBytes) c = static_cast<char>(rng());
    std::string fewSymbols(300000, '\0');
    for (char& c : fewSymbols) c = "01 \n"[rng() % 4];
    // Byte frequencies of a Fibonacci series, shuffled: an unlimited Huffman
    // code would need codes longer than deflate's 15 bits.
    std::string skewed;
    for (int symbol = 0, a = 1, b = 1; symbol < 22; symbol++, b = a + b, a = b - a)
        skewed += std::string(a, static_cast<char>('A' + symbol));
    std::shuffle(skewed.begin(), skewed.end(), rng);
    const std::string texts[] = {
        skewed,
        "",
        "x",
        "ab",
        std::string(100000, 'a'),
        std::string(258 * 3 + 1, 'b') + "tail",
        randomBytes,
        fewSymbols,
        std::string("nul\0bytes\0", 10) + std::string(5000, '\0'),
        haplotypeLines(300, 50, rng),
        haplotypeLines(40, 3000, rng),
        haplotypeLines(6, 20000, rng),  // lines longer than the window
    };
    deflater d;
    for (const std::string& text : texts) {
        std::string out;
        d.gzipMember(text.data(), text.size(), out);
        ASSERT_GE(out.size(), 18u);
        EXPECT_EQ(out.substr(0, 4), std::string("\x1f\x8b\x08\x00", 4)) << "gzip, deflate, no name";
        EXPECT_EQ(out.substr(4, 4), std::string(4, '\0')) << "modification time 0";
        std::string back = gunzip(out);
        ASSERT_EQ(back.size(), text.size());
        EXPECT_TRUE(back == text);
    }
}

// Sum of 2^-length over the coded symbols, in units of 2^-maxBits.
uint64_t kraftSum(const uint8_t* lengths, int n, int maxBits) {
    uint64_t sum = 0;
    for (int s = 0; s < n; s++)
        if (lengths[s]) sum += uint64_t(1) << (maxBits - lengths[s]);
    return sum;
}

TEST(HuffmanLengths, CompleteCodesWithinTheLengthLimit) {
    uint32_t simple[4] = {1, 1, 2, 4};
    uint8_t lengths[40];
    huffmanLengths(simple, 4, 15, lengths);
    EXPECT_EQ(std::vector<uint8_t>(lengths, lengths + 4), (std::vector<uint8_t>{3, 3, 2, 1}));

    // Fibonacci frequencies need a code of 39 bits without the limit.
    uint32_t fibonacci[40];
    for (int s = 0; s < 40; s++) fibonacci[s] = s < 2 ? 1 : fibonacci[s - 1] + fibonacci[s - 2];
    for (int maxBits : {7, 15}) {
        huffmanLengths(fibonacci, 19, maxBits, lengths);
        EXPECT_EQ(kraftSum(lengths, 19, maxBits), uint64_t(1) << maxBits);
        EXPECT_LE(*std::max_element(lengths, lengths + 19), maxBits);
        huffmanLengths(fibonacci, 40, 15, lengths);
        EXPECT_EQ(kraftSum(lengths, 40, 15), uint64_t(1) << 15);
        EXPECT_LE(*std::max_element(lengths, lengths + 40), 15);
    }

    // Fewer than two used symbols still give a complete code.
    uint32_t one[5] = {0, 0, 7, 0, 0}, none[3] = {0, 0, 0};
    huffmanLengths(one, 5, 15, lengths);
    EXPECT_EQ(kraftSum(lengths, 5, 15), uint64_t(1) << 15);
    EXPECT_EQ(lengths[2], 1);
    huffmanLengths(none, 3, 15, lengths);
    EXPECT_EQ(kraftSum(lengths, 3, 15), uint64_t(1) << 15);
}

TEST(Deflater, MembersWrittenOneAfterAnotherReadAsOneText) {
    std::mt19937 rng(9);
    std::string a = haplotypeLines(100, 200, rng), b = haplotypeLines(100, 200, rng);
    deflater d;
    std::string out;
    d.gzipMember(a.data(), a.size(), out);
    const size_t first = out.size();
    d.gzipMember(b.data(), b.size(), out);
    EXPECT_EQ(gunzip(out), a + b);
    // A member depends on its own text alone, not on the encoder's past,
    // even where that was the same text.
    std::string alone, again;
    deflater().gzipMember(b.data(), b.size(), alone);
    EXPECT_TRUE(out.substr(first) == alone);
    d.gzipMember(b.data(), b.size(), again);
    EXPECT_TRUE(again == alone);
}

TEST(Deflater, HaplotypeTextCompressesLikeTheUsualLevelSix) {
    std::mt19937 rng(10);
    std::string text = haplotypeLines(400, 2000, rng);
    std::string out;
    deflater().gzipMember(text.data(), text.size(), out);
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    std::string zlib(size, '\0');
    ASSERT_EQ(
        compress2(reinterpret_cast<Bytef*>(&zlib[0]), &size,
                  reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()), 6),
        Z_OK);
    EXPECT_LE(out.size(), size * 105 / 100) << "zlib level 6: " << size;
}

// Both encoders' blocks, the project's and libdeflate's (stored at level 0).
TEST(Deflater, BgzfBlocksCarryTheirSizeAndStayWithin64KiB) {
    std::mt19937 rng(11);
    std::string randomBytes(bgzfBlockSize, '\0');
    for (char& c : randomBytes) c = static_cast<char>(rng());
    std::string lines = haplotypeLines(40, 2000, rng).substr(0, bgzfBlockSize);
    deflater d;
    libraryDeflater library;
    std::string file;
    int turn = 0;
    for (const std::string& text : {randomBytes, lines, std::string(), std::string("x"), lines,
                                    randomBytes, std::string(), lines, lines}) {
        d.hashBytes = 24 - d.hashBytes;  // 8 and 16 by turns
        std::string block;
        if (turn % 3 == 0)
            d.bgzfBlock(text.data(), text.size(), block);
        else
            library.bgzfBlock(turn % 3 == 1 ? 6 : 0, text.data(), text.size(), block);
        turn++;
        ASSERT_GE(block.size(), 26u);
        EXPECT_LE(block.size(), 65536u);
        EXPECT_EQ(block.substr(0, 4), std::string("\x1f\x8b\x08\x04", 4)) << "gzip with FEXTRA";
        EXPECT_EQ(block.substr(10, 6), std::string("\x06\x00"
                                                   "BC\x02\x00",
                                                   6));
        size_t bsize = static_cast<uint8_t>(block[16]) | static_cast<uint8_t>(block[17]) << 8;
        EXPECT_EQ(bsize + 1, block.size());
        EXPECT_EQ(gunzip(block), text);
        file += block;
    }
    file.append(bgzfEndOfFile, sizeof bgzfEndOfFile);
    EXPECT_EQ(gunzip(file), randomBytes + lines + "x" + lines + randomBytes + lines + lines);
    EXPECT_LT(file.size(), 2 * randomBytes.size() + 3 * lines.size()) << "text lines compress";
}

// At every level each kind of block comes back exactly, stored at level 0
// and no larger at a higher level. Genotypes alone go to the project's
// encoder from level 2 to the default (so that the outputs of genotypes keep
// their bytes) and to libdeflate at the other levels; VCF and BCF records of
// more fields to libdeflate at every level.
TEST(Deflater, EveryLevelOfEveryKindOfBlock) {
    std::mt19937 rng(3);
    std::string genotypes, dosages, binaryGenotypes, binaryDosages;
    // Each sample's genotype mostly as at the line before, as at linked sites.
    std::vector<bool> heterozygous(600);
    for (int line = 0; line < 40; line++) {
        std::string at = "20\t" + std::to_string(1000 + line) + "\t.\tA\tG\t.\tPASS\tAF=0.1";
        genotypes += at + "\tGT";
        dosages += at + "\tGT:DS:GP";
        binaryGenotypes += at;
        binaryDosages += at;
        for (int k = 0; k < 600; k++) {
            if (rng() % 20 == 0) heterozygous[k] = !heterozygous[k];
            genotypes += heterozygous[k] ? "\t0|1" : "\t1|1";
            const int ds = static_cast<int>(rng() % 1000);
            dosages += (heterozygous[k] ? "\t0|1:0." : "\t1|1:1.") + std::to_string(ds) + ":0,0,1";
            // Typed BCF values: phased alleles 0 and 1 as 2 and 5, floats.
            binaryGenotypes += heterozygous[k] ? "\x02\x05" : "\x05\x05";
            float value = static_cast<float>(ds) / 1000;
            binaryDosages.append(reinterpret_cast<const char*>(&value), 4);
        }
        genotypes += "\n";
        dosages += "\n";
    }
    const struct {
        blockFormat format;
        std::string text;
        bool genotypesAlone;
    } cases[] = {
        {blockFormat::gzipMember, haplotypeLines(200, 2000, rng), true},
        {blockFormat::bgzf, genotypes.substr(0, bgzfBlockSize), true},
        {blockFormat::bgzfVcfRecords, genotypes.substr(0, bgzfBlockSize), true},
        {blockFormat::bgzfVcfRecords, dosages.substr(0, bgzfBlockSize), false},
        {blockFormat::bgzfBcfRecords, binaryGenotypes.substr(0, bgzfBlockSize), true},
        {blockFormat::bgzfBcfRecords, binaryDosages.substr(0, bgzfBlockSize), false},
    };
    for (const auto& c : cases) {
        const bool member = c.format == blockFormat::gzipMember;
        deflater own;
        own.hashBytes = c.format == blockFormat::bgzfBcfRecords ? 8 : 16;
        if (c.format == blockFormat::bgzfVcfRecords || c.format == blockFormat::bgzfBcfRecords)
            own.insertLimit = 64;
        std::string ownBytes;
        if (member)
            own.gzipMember(c.text.data(), c.text.size(), ownBytes);
        else
            own.bgzfBlock(c.text.data(), c.text.size(), ownBytes);
        std::vector<size_t> sizes;
        for (int level = storedLevel; level <= smallestLevel; level++) {
            SCOPED_TRACE("level " + std::to_string(level) + ": " + c.text.substr(0, 30));
            blockBuffers block;
            block.encoder.hashBytes = own.hashBytes;
            block.text = c.text;
            block.compress(c.format, level);
            EXPECT_EQ(gunzip(block.compressed), c.text);
            // Above the default, the project's encoder where it is smaller.
            const bool byOwn = c.genotypesAlone && level >= 2 && level <= defaultLevel;
            if (level <= defaultLevel) {
                EXPECT_EQ(block.compressed == ownBytes, byOwn);
            } else if (c.genotypesAlone) {
                EXPECT_LE(block.compressed.size(), ownBytes.size());
            }
            sizes.push_back(block.compressed.size());
        }
        EXPECT_GT(sizes[storedLevel], c.text.size()) << "stored";
        EXPECT_LE(sizes[smallestLevel], sizes[defaultLevel]) << c.text.substr(0, 30);
        EXPECT_LE(sizes[defaultLevel], sizes[fastestLevel] * 11 / 10) << c.text.substr(0, 30);
    }
}

}  // namespace
