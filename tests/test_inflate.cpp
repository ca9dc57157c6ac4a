#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <ios>
#include <random>

#include "deflate.h"
#include "inflate.h"

using namespace seamline;

namespace {

// One gzip member of text as zlib writes it (level 6, header of gzip -n).
std::string zlibMember(const std::string& text) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, text.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string someText(size_t bytes, std::mt19937& rng) {
    std::string text;
    while (text.size() < bytes) text += "20\t" + std::to_string(rng() % 1000000) + "\tA\tG\t0|1\n";
    return text.substr(0, bytes);
}

// The whole text of data, handed to the inflater `piece` bytes at a time and
// read `chunk` bytes at a time; a failure's message when it throws.
std::string inflateAll(inflaterLibrary library, const std::string& data, size_t piece, size_t chunk,
                       gzipInflater* reuse = nullptr) {
    gzipInflater own(library);
    gzipInflater& inflater = reuse ? *reuse : own;
    size_t given = 0;
    compressedSource source = [&](uint8_t* into, size_t n) {
        const size_t k = std::min({n, piece, data.size() - given});
        memcpy(into, data.data() + given, k);
        given += k;
        return k;
    };
    std::string text, buffer(chunk, '\0');
    try {
        while (size_t got = inflater.read(source, &buffer[0], chunk)) text.append(buffer, 0, got);
    } catch (const std::ios_base::failure&) {
        return "FAILED";
    }
    return text;
}

std::vector<inflaterLibrary> builtInflaters() {
    std::vector<inflaterLibrary> built;
    for (inflaterLibrary library : {inflaterLibrary::isal, inflaterLibrary::zlib})
        if (inflaterBuilt(library)) built.push_back(library);
    return built;
}

const char* nameOf(inflaterLibrary library) {
    return library == inflaterLibrary::isal ? "ISA-L" : "zlib";
}

}  // namespace

// Every inflater of the build reads every kind of gzip file into the same
// text, however the input arrives and however much is read at once, and
// refuses the same damaged files.
TEST(GzipInflater, EveryLibraryReadsTheSameFilesAndRefusesTheSameDamage) {
    std::mt19937 rng(37);
    const std::string a = someText(300000, rng), b = someText(70000, rng), c = someText(5, rng);
    std::string ownMember, bgzf;
    deflater().gzipMember(a.data(), a.size(), ownMember);
    for (size_t at = 0; at < b.size(); at += bgzfBlockSize)
        deflater().bgzfBlock(b.data() + at, std::min(bgzfBlockSize, b.size() - at), bgzf);
    bgzf.append(bgzfEndOfFile, sizeof bgzfEndOfFile);
    const std::string members = zlibMember(a) + ownMember + zlibMember(c) + zlibMember("");
    std::string badCrc = zlibMember(c);
    badCrc[badCrc.size() - 6] ^= 1;
    std::string badLength = zlibMember(c);
    badLength[badLength.size() - 1] ^= 1;
    // BGZF blocks whose size field claims more or fewer bytes than the block
    // holds: the gzip data is whole, and is read as such.
    const size_t firstBlock = static_cast<uint8_t>(bgzf[16]) + 256 * static_cast<uint8_t>(bgzf[17]);
    std::string longer = bgzf, shorter = bgzf, badBlockCrc = bgzf;
    longer[16] = static_cast<char>(longer[16] + 5);
    shorter[16] = static_cast<char>(shorter[16] - 5);
    badBlockCrc[firstBlock - 6] ^= 1;

    struct testCase {
        const char* what;
        std::string data, text;  // text "FAILED": refused
    } cases[] = {
        {"one member of zlib", zlibMember(a), a},
        {"one member of the project's encoder", ownMember, a},
        {"members of both, one of them empty", members, a + a + c},
        {"BGZF blocks and the end-of-file block", bgzf, b},
        {"BGZF blocks whose size field says more", longer, b},
        {"BGZF blocks whose size field says less", shorter, b},
        {"a BGZF block with a wrong CRC", badBlockCrc, "FAILED"},
        {"zero padding after the last member", zlibMember(c) + std::string(5000, '\0'), c},
        {"a byte after zero padding", zlibMember(c) + std::string(9, '\0') + "x", "FAILED"},
        {"a byte that starts no member", zlibMember(c) + "x", "FAILED"},
        {"a second member cut short", zlibMember(c) + zlibMember(b).substr(0, 900), "FAILED"},
        {"a member cut in its trailer", zlibMember(a).substr(0, zlibMember(a).size() - 3),
         "FAILED"},
        {"a wrong CRC", badCrc, "FAILED"},
        {"a wrong length", badLength, "FAILED"},
        {"no gzip at all", "plain text\n", "FAILED"},
        {"an empty file", "", "FAILED"},
    };
    const std::vector<inflaterLibrary> built = builtInflaters();
    for (inflaterLibrary library : built) {
        for (const testCase& t : cases) {
            for (size_t piece : {size_t(1) << 20, size_t(7)}) {
                for (size_t chunk : {size_t(1) << 20, size_t(3)}) {
                    if (t.data.size() > 100000 && (piece < 100 || chunk < 100)) continue;
                    EXPECT_EQ(inflateAll(library, t.data, piece, chunk), t.text)
                        << nameOf(library) << ", " << t.what << ", input " << piece
                        << " bytes at a time, read " << chunk << " at a time";
                }
            }
        }
    }
}

// After restart the inflater reads a new file, whatever the state the last
// one left: ended, refused, or read only in part.
TEST(GzipInflater, RestartReadsANewFile) {
    std::mt19937 rng(5);
    const std::string text = someText(20000, rng), data = zlibMember(text);
    for (inflaterLibrary library : builtInflaters()) {
        gzipInflater inflater(library);
        EXPECT_EQ(inflateAll(library, data, 1 << 20, 1 << 20, &inflater), text);
        inflater.restart();
        EXPECT_EQ(inflateAll(library, "x", 1 << 20, 1 << 20, &inflater), "FAILED");
        inflater.restart();
        std::string part(100, '\0');
        size_t given = 0;
        compressedSource once = [&](uint8_t* into, size_t n) {
            const size_t k = std::min(n, data.size() - given);
            memcpy(into, data.data() + given, k);
            given += k;
            return k;
        };
        EXPECT_EQ(inflater.read(once, &part[0], part.size()), part.size());
        inflater.restart();
        EXPECT_EQ(inflateAll(library, data, 1 << 20, 1 << 20, &inflater), text) << nameOf(library);
    }
}

// The gzip checksum is zlib's CRC-32, in one go or continued piece by piece.
TEST(GzipCrc, IsTheCrc32OfZlibWholeOrContinued) {
    std::mt19937 rng(11);
    for (size_t size : {size_t(0), size_t(1), size_t(15), size_t(4096), size_t(1000003)}) {
        const std::string text = someText(size, rng);
        const uint32_t expected = static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(size)));
        EXPECT_EQ(gzipCrc(0, text.data(), size), expected) << size << " bytes";
        const size_t half = size / 3;
        EXPECT_EQ(gzipCrc(gzipCrc(0, text.data(), half), text.data() + half, size - half), expected)
            << size << " bytes in two pieces";
    }
}
