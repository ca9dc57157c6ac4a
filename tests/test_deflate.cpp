#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "deflate.h"

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
    const std::string texts[] = {
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

TEST(Deflater, MembersWrittenOneAfterAnotherReadAsOneText) {
    std::mt19937 rng(9);
    std::string a = haplotypeLines(100, 200, rng), b = haplotypeLines(100, 200, rng);
    deflater d;
    std::string out;
    d.gzipMember(a.data(), a.size(), out);
    d.gzipMember(b.data(), b.size(), out);
    EXPECT_EQ(gunzip(out), a + b);
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

}  // namespace
