#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "deflate.h"
#include "dropin/sitekeys.h"
#include "files.h"
#include "spill.h"
#include "testutil.h"
#include "text.h"
#include "threads.h"

using namespace seamline;

using strings = std::vector<std::string>;

// The one splitter: runs of delimiters (tokenize, the site map's columns,
// chunk rows) or every delimiter (VCF columns), a set of delimiters or one,
// and the rest of the text after the fields taken.
TEST(FieldSplitter, RunsOrEveryDelimiterAndTheRest) {
    const auto runs = fieldSplitter::runs, exact = fieldSplitter::exact;
    struct {
        std::string text, delimiters;
        fieldSplitter::mode how;
        strings fields;
        size_t taken;      // fields taken before the rest
        const char* rest;  // the rest after them; null when there is none
    } cases[] = {
        {"  a  b ", " ", runs, {"a", "b"}, 1, " b "},
        {"a\tb", " ", runs, {"a\tb"}, 1, nullptr},
        {"a,b;c", ",;", runs, {"a", "b", "c"}, 2, "c"},
        {"a,,b,", ",", runs, {"a", "b"}, 2, ""},
        {"", " ", runs, {}, 0, ""},
        {"   ", " ", runs, {}, 0, "   "},
        {"a b", "", runs, {"a b"}, 1, nullptr},
        {"x\r", " ", runs, {"x\r"}, 0, "x\r"},
        {"#CHROM\tPOS\t\tID", "\t", runs, {"#CHROM", "POS", "ID"}, 2, "\tID"},
        {"20\t100\t\tA", "\t", exact, {"20", "100", "", "A"}, 3, "A"},
        {"", "\t", exact, {""}, 1, nullptr},
        {"a\t", "\t", exact, {"a", ""}, 1, ""},
        {"GT:DS::", ":", exact, {"GT", "DS", "", ""}, 2, ":"},
        {"a;b,c", ",;", exact, {"a", "b", "c"}, 3, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + " at [" + c.delimiters + "]");
        fieldSplitter all(c.text, c.delimiters, c.how);
        strings fields;
        for (std::string_view f; all.next(f);) fields.emplace_back(f);
        EXPECT_EQ(fields, c.fields);
        if (c.how == runs) {
            EXPECT_EQ(tokenize(c.text, c.delimiters), c.fields);
        }
        fieldSplitter some(c.text, c.delimiters, c.how);
        std::string_view taken[4], rest;
        EXPECT_EQ(some.take(c.taken, taken), c.taken);
        EXPECT_EQ(some.rest(rest), c.rest != nullptr);
        if (c.rest) {
            EXPECT_EQ(rest, c.rest);
        }
    }
}

// The one reader of positions: digits only, from 1 to the limit.
TEST(ParsePosition, WholeNumbersFromOneToTheLimit) {
    const struct {
        const char* field;
        int64_t limit, value;  // value 0: refused
    } cases[] = {
        {"1", sitePositions, 1},
        {"2147483647", sitePositions, 2147483647},
        {"2147483648", sitePositions, 0},
        {"2147483648", maxPosition, 2147483648},
        {"9223372034707292159", maxPosition, maxPosition},
        {"9223372034707292160", maxPosition, 0},
        {"99999999999999999999", maxPosition, 0},
        {"0", maxPosition, 0},
        {"00123", sitePositions, 123},
        {"", maxPosition, 0},
        {"+5", maxPosition, 0},
        {"12abc", maxPosition, 0},
        {" 7", maxPosition, 0},
    };
    for (const auto& c : cases) {
        int64_t pos = -1;
        EXPECT_EQ(parsePosition(c.field, c.limit, pos), c.value != 0) << c.field;
        if (c.value) {
            EXPECT_EQ(pos, c.value) << c.field;
        }
    }
}

TEST(ExtensionFile, TakesEverythingAfterTheLastDotOfTheWholeName) {
    struct {
        std::string name, extension;
    } cases[] = {
        {"sites.vcf.gz", "gz"},
        {"chunk.haps.bz2", "bz2"},
        {"sites.vcf.GZ", "GZ"},
        {"chunk.gz.txt", "txt"},
        {"run.d/chunk", "d/chunk"},
        {"chunk", ""},
        {"chunk.", ""},
        {".gz", "gz"},
    };
    for (const auto& c : cases) EXPECT_EQ(extensionFile(c.name), c.extension) << c.name;
}

class Streams : public ::testing::Test {
protected:
    tempDir dir;
    std::string text = "first line\nsecond\tline\r\n\nlast line without newline";

    void write(const std::string& name, const std::string& content) {
        ofile out(name);
        ASSERT_TRUE(out.isOpen());
        out << content;
        out.close();
        ASSERT_FALSE(out.bad());
    }
    std::string read(const std::string& name, bool* bad = nullptr) {
        ifile in(name);
        std::string all, line;
        bool first = true;
        while (std::getline(in, line)) {
            all += (first ? "" : "\n") + line;
            first = false;
        }
        if (bad) *bad = in.bad();
        return all;
    }
};

TEST_F(Streams, RoundTripThroughEveryCompression) {
    for (std::string name : {"plain.txt", "file.gz", "file.bz2", "upper.GZ"}) {
        std::string path = dir.path(name);
        write(path, text);
        bool bad = true;
        EXPECT_EQ(read(path, &bad), text) << name;
        EXPECT_FALSE(bad) << name;
    }
    EXPECT_EQ(slurp(dir.path("upper.GZ")), text);  // case counts: stored as it is
    EXPECT_EQ(shell("gzip -dc " + dir.path("file.gz")), text);
    EXPECT_EQ(shell("bzip2 -dc " + dir.path("file.bz2")), text);
}

TEST_F(Streams, GzipOutputHasNoNameAndZeroTime) {
    write(dir.path("file.gz"), text);
    std::string raw = slurp(dir.path("file.gz"));
    ASSERT_GE(raw.size(), 10u);
    EXPECT_EQ(raw[3], 0) << "no FNAME or other header flags";
    EXPECT_EQ(raw.substr(4, 4), std::string(4, '\0')) << "modification time 0";
}

TEST_F(Streams, ConcatenatedMembersAndStreamsReadAsOneText) {
    spit(dir.path("a.txt"), "one\ntwo\n");
    spit(dir.path("b.txt"), "three\n");
    shell("cd " + dir.root + " && (gzip -c a.txt; gzip -c b.txt) > m.gz");
    shell("cd " + dir.root + " && (bzip2 -c a.txt; bzip2 -c b.txt) > m.bz2");
    EXPECT_EQ(read(dir.path("m.gz")), "one\ntwo\nthree");
    EXPECT_EQ(read(dir.path("m.bz2")), "one\ntwo\nthree");
}

TEST_F(Streams, DestroyingWithoutCloseStillFinishesTheFile) {
    for (std::string name : {"d.gz", "d.bz2"}) {
        {
            ofile out(dir.path(name));
            out << text;
        }
        EXPECT_EQ(read(dir.path(name)), text) << name;
    }
    EXPECT_EQ(shell("gzip -t " + dir.path("d.gz") + " && echo ok"), "ok\n");
}

TEST_F(Streams, DamagedCompressedInputEndsInTheBadState) {
    std::string big;
    for (int i = 0; i < 20000; i++) big += "line " + std::to_string(i) + " of the text\n";
    write(dir.path("ok.gz"), big);
    write(dir.path("ok.bz2"), big);
    std::string gz = slurp(dir.path("ok.gz")), bz = slurp(dir.path("ok.bz2"));
    std::string flipped = gz;
    flipped[gz.size() / 2] ^= 0x5a;
    std::string badCrc = gz;
    badCrc[gz.size() - 6] ^= 0x01;
    struct {
        std::string name, content;
    } cases[] = {
        {"empty.gz", ""},
        {"empty.bz2", ""},
        {"cut.gz", gz.substr(0, gz.size() / 2)},
        {"cut.bz2", bz.substr(0, bz.size() / 2)},
        {"flipped.gz", flipped},
        {"crc.gz", badCrc},
    };
    for (const auto& c : cases) {
        spit(dir.path(c.name), c.content);
        bool bad = false;
        read(dir.path(c.name), &bad);
        EXPECT_TRUE(bad) << c.name;
    }
}

// Compression is told by the first bytes, whatever the name says.
TEST_F(Streams, CompressionIsToldByContent) {
    const std::string text = "line 1\nline 2\n";
    write(dir.path("t.gz"), text);
    write(dir.path("t.bz2"), text);
    struct {
        std::string name, content;
    } cases[] = {
        {"gzip.txt", slurp(dir.path("t.gz"))},
        {"gzip.bgz", slurp(dir.path("t.gz"))},
        {"bzip2.vcf", slurp(dir.path("t.bz2"))},
        {"plain.gz", text},
        {"plain.bz2", text},
    };
    for (const auto& c : cases) {
        spit(dir.path(c.name), c.content);
        bool bad = true;
        EXPECT_EQ(read(dir.path(c.name), &bad), "line 1\nline 2") << c.name;
        EXPECT_FALSE(bad) << c.name;
    }
}

TEST_F(Streams, FilesThatCannotBeOpenedFailQuietly) {
    ifile in(dir.path("missing.gz"));
    EXPECT_FALSE(in.isOpen());
    EXPECT_EQ(in.name(), dir.path("missing.gz"));
    EXPECT_EQ(in.openError(), ENOENT);
    std::string line;
    EXPECT_FALSE(std::getline(in, line));

    ifile folder(dir.root);
    EXPECT_FALSE(folder.isOpen());
    EXPECT_EQ(folder.openError(), EISDIR);

    std::string nowhere = dir.path("no/such/dir/out.gz");
    ofile out(nowhere);
    EXPECT_FALSE(out.isOpen());
    EXPECT_EQ(out.openError(), ENOENT);
    out << "ignored\n";
    out.close();
    EXPECT_NE(access(nowhere.c_str(), F_OK), 0);
}

TEST_F(Streams, WritingToAFullDeviceEndsInTheBadState) {
    // Larger than two gzip blocks, so that members are handed to the workers
    // and written before the file is closed.
    std::string big(9 << 20, 'x');
    for (std::string name : {"/dev/full", "/dev/full.gz", "/dev/full.bz2"}) {
        // /dev/full.gz does not exist: the compressed cases write through a
        // symbolic link whose name carries the extension.
        std::string target = name;
        if (name != "/dev/full") {
            target = dir.path("full" + name.substr(9));
            ASSERT_EQ(symlink("/dev/full", target.c_str()), 0);
        }
        for (int threads : {1, 2, 3}) {
            std::string what = name + " with " + std::to_string(threads) + " threads";
            ofile out(target, threads);
            ASSERT_TRUE(out.isOpen()) << what;
            out << "short\n";
            out.close();
            EXPECT_TRUE(out.bad()) << what << ", small write";
            ofile out2(target, threads);
            out2 << big;
            out2.close();
            EXPECT_TRUE(out2.bad()) << what << ", large write";
        }
    }
}

// Text of the kind seamline writes, with enough variation that the members
// differ from one another.
std::string haplotypeText(size_t bytes, unsigned seed) {
    std::mt19937 rng(seed);
    std::string text;
    while (text.size() < bytes) {
        text += "20 rs" + std::to_string(rng() % 100000) + " " + std::to_string(rng()) + " A G";
        for (int c = 0; c < 500; c++) text += rng() % 7 ? " 0" : " 1";
        text += '\n';
    }
    text.resize(bytes);
    return text;
}

TEST_F(Streams, GzipOutputIsTheSameForEveryThreadCount) {
    const size_t block = 4 << 20;
    struct {
        std::string what;
        size_t bytes;
    } cases[] = {
        {"empty", 0},
        {"short", 1000},
        {"one block exactly", block},
        {"two blocks exactly", 2 * block},
        {"several blocks and a part", 3 * block + 12345},
    };
    for (const auto& c : cases) {
        std::string text = haplotypeText(c.bytes, 7);
        // One member per 4 MiB of text, whatever the thread count; an empty
        // text is one empty member.
        std::string expected;
        deflater encoder;
        for (size_t at = 0; at < text.size() || at == 0; at += block) {
            encoder.gzipMember(text.data() + at, std::min(block, text.size() - at), expected);
            if (text.empty()) break;
        }
        for (int threads : {1, 2, 3}) {
            std::string what = c.what + ", " + std::to_string(threads) + " threads";
            std::string path = dir.path("t" + std::to_string(threads) + ".gz");
            ofile out(path, threads);
            ASSERT_TRUE(out.isOpen()) << what;
            // Pieces that do not line up with the blocks.
            for (size_t at = 0; at < text.size(); at += 999983)
                out.write(text.data() + at, std::min<size_t>(999983, text.size() - at));
            out.close();
            ASSERT_FALSE(out.bad()) << what;
            EXPECT_TRUE(slurp(path) == expected) << what;
        }
        EXPECT_TRUE(shell("gzip -dc " + dir.path("t3.gz")) == text) << c.what;
    }
}

// A site is its chromosome, position and alleles together: a key that
// differs in any one of them is a new site, numbered in order of first
// appearance, and every key keeps its number as the table grows.
TEST(SiteKeys, NumbersEachKeyOnceInOrderOfFirstAppearance) {
    struct {
        int32_t contig;
        int64_t pos;
        std::string alleles;
        int32_t number;
    } cases[] = {
        {0, 100, "A\tG", 0},  {0, 100, "A\tG", 0},       {0, 100, "A\tG,T", 1},
        {0, 100, "A\tGT", 2}, {1, 100, "A\tG", 3},       {0, 101, "A\tG", 4},
        {0, 100, "", 5},      {0, 1LL << 40, "A\tG", 6}, {1, 100, "A\tG", 3},
    };
    siteKeys keys;
    for (const auto& c : cases)
        EXPECT_EQ(keys.number(c.contig, c.pos, c.alleles), c.number) << c.pos << c.alleles;
    for (int32_t i = 0; i < 5000; i++) EXPECT_EQ(keys.number(2, i, "C\tT"), 7 + i);
    for (const auto& c : cases) EXPECT_EQ(keys.number(c.contig, c.pos, c.alleles), c.number);
    EXPECT_EQ(keys.number(2, 4999, "C\tT"), 5006);
    keys.release();
    EXPECT_EQ(keys.number(2, 4999, "C\tT"), 0);
}

// The bytes of some rows read back as written, looked up by row, from
// memory and from the spill file; rows without bytes have none.
TEST(ByteRows, BytesOfSomeRowsReadBackByRow) {
    spillFile& spill = spillFile::shared();
    const size_t budget = spill.budget;
    for (size_t samples : {size_t(1), size_t(9), size_t(3000)}) {
        for (size_t spillBudget : {budget, size_t(0)}) {
            spill.budget = spillBudget;
            byteRows rows(samples);
            const std::vector<int32_t> with = {2, 3, 40, 41, 5000};
            for (int32_t r : with) {
                uint8_t* bytes = rows.add(r);
                for (size_t k = 0; k < samples; k++) bytes[k] = static_cast<uint8_t>(r + k);
            }
            rows.finish();
            byteRowCursor cursor(rows);
            for (int32_t r = 0; r <= 5001; r++) {
                const uint8_t* bytes = cursor.find(r);
                const bool has = std::find(with.begin(), with.end(), r) != with.end();
                ASSERT_EQ(bytes != nullptr, has) << r;
                for (size_t k = 0; has && k < samples; k++)
                    ASSERT_EQ(bytes[k], static_cast<uint8_t>(r + k)) << r << " " << k;
            }
        }
    }
    spill.budget = budget;
}

TEST(OrderedPipeline, ResultsComeBackInSubmissionOrder) {
    struct {
        int threads;
        size_t maxInFlight;
    } cases[] = {{1, 1}, {1, 4}, {2, 1}, {2, 2}, {3, 7}, {8, 3}};
    for (const auto& c : cases) {
        orderedPipeline<std::vector<int>> pipeline(c.threads, c.maxInFlight);
        std::vector<int> taken;
        auto takeOne = [&] {
            std::vector<int> r = pipeline.take();
            taken.insert(taken.end(), r.begin(), r.end());
        };
        for (int job = 0; job < 200; job++) {
            if (pipeline.full()) {
                EXPECT_THROW(pipeline.submit([] { return std::vector<int>(); }), std::logic_error);
                takeOne();
            }
            // Jobs of very different sizes finish out of order.
            pipeline.submit([job] { return std::vector<int>((job * 37) % 11 * 500, job); });
        }
        while (!pipeline.empty()) takeOne();
        std::vector<int> expected;
        for (int job = 0; job < 200; job++)
            expected.insert(expected.end(), (job * 37) % 11 * 500, job);
        EXPECT_TRUE(taken == expected)
            << c.threads << " threads, " << c.maxInFlight << " in flight";
    }
}

TEST(OrderedPipeline, AJobsExceptionReachesWhoeverTakesItsResult) {
    for (int threads : {1, 2, 3}) {
        orderedPipeline<int> pipeline(threads, 8);
        for (int job = 0; job < 6; job++)
            pipeline.submit([job]() -> int {
                if (job == 2 || job == 4) throw std::runtime_error("job " + std::to_string(job));
                return job;
            });
        std::vector<std::string> seen;
        while (!pipeline.empty()) {
            try {
                seen.push_back(std::to_string(pipeline.take()));
            } catch (const std::runtime_error& e) {
                seen.push_back(e.what());
            }
        }
        EXPECT_EQ(seen, (strings{"0", "1", "job 2", "3", "job 4", "5"})) << threads << " threads";

        // Failed jobs never taken are dropped with the pipeline, quietly.
        orderedPipeline<int> dropped(threads, 4);
        for (int job = 0; job < 4; job++)
            dropped.submit([]() -> int { throw std::runtime_error("never taken"); });
    }
}
