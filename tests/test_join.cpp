#include <gtest/gtest.h>

#include <random>

#include "bits.h"
#include "dropin/phasesets.h"
#include "join.h"
#include "writers.h"

using namespace seamline;

namespace {

typedef std::vector<bool> bits;

// Whether both bits of sample k's pair are set in a mask.
bool pairMaskSet(const std::vector<uint64_t>& mask, size_t k) {
    return (mask[k >> 5] & pairMask(k)) == pairMask(k);
}

bits randomBits(size_t n, std::mt19937& rng) {
    bits b(n);
    for (size_t i = 0; i < n; i++) b[i] = rng() & 1;
    return b;
}

int differing(const bits& a, const bits& b) {
    int d = 0;
    for (size_t i = 0; i < a.size(); i++) d += a[i] != b[i];
    return d;
}

// One sample's orientation written out as plainly as possible: gather its
// four overlap columns and compare their Hamming distances; a tie restarts
// the orientation.
bool referenceExchanged(const std::vector<bits>& prevRows, bool prevExchanged, int p,
                        const std::vector<bits>& currRows, int h, size_t s) {
    bits A(h), B(h), X(h), Y(h);
    for (int r = 0; r < h; r++) {
        A[r] = prevRows[p + r][2 * s];
        B[r] = prevRows[p + r][2 * s + 1];
        X[r] = currRows[r][2 * s];
        Y[r] = currRows[r][2 * s + 1];
    }
    if (prevExchanged) std::swap(A, B);
    int kept = differing(A, X) + differing(B, Y), exchanged = differing(A, Y) + differing(B, X);
    return kept == exchanged ? false : kept > exchanged;
}

chunk stored(const std::string& name, size_t samples, int firstSite,
             const std::vector<bits>& rows) {
    chunk c(name, samples);
    for (size_t r = 0; r < rows.size(); r++) {
        c.sites.push_back(firstSite + static_cast<int>(r));
        uint64_t* words = c.rows.add();
        for (size_t i = 0; i < rows[r].size(); i++)
            if (rows[r][i]) words[i >> 6] |= uint64_t(1) << (i & 63);
    }
    c.rows.finish();
    return c;
}

// Three chunks, each overlapping the next by h rows: every decision follows
// the Hamming distances carried along from the first chunk, every site comes
// from the chunk that holds the half of the overlap it lies in, and every
// row reads back as stored. Once with the rows in memory, once with every
// row in the spill file.
TEST(Join, DecisionsFollowHammingDistancesAndSitesTheOverlapMiddles) {
    std::mt19937 rng(5);
    spillFile& spill = spillFile::shared();
    const size_t budget = spill.budget;
    for (size_t spillBudget : {budget, size_t(0)}) {
        spill.budget = spillBudget;
        for (int N : {1, 31, 32, 33, 100, 3000}) {
            for (int h : {1, 2, 5, 40, 300}) {
                // Chunk c holds sites c * step to c * step + P - 1.
                const int step = h + 3, P = step + h;
                std::vector<std::vector<bits>> rows(3);
                for (int r = 0; r < P; r++) rows[0].push_back(randomBits(2 * N, rng));
                // Later chunks start with noisy copies of the overlap rows of
                // the chunk before, each sample exchanged or not.
                for (int c = 1; c < 3; c++) {
                    for (int r = 0; r < P; r++)
                        rows[c].push_back(r < h ? rows[c - 1][step + r] : randomBits(2 * N, rng));
                    for (int s = 0; s < N; s++) {
                        bool exchange = rng() & 1;
                        for (int r = 0; r < h; r++) {
                            if (exchange) {
                                bool a = rows[c][r][2 * s];
                                rows[c][r][2 * s] = rows[c][r][2 * s + 1];
                                rows[c][r][2 * s + 1] = a;
                            }
                            if (rng() % 4 == 0) rows[c][r][2 * s + (rng() & 1)] = rng() & 1;
                        }
                    }
                }
                std::vector<chunk> chunks;
                for (int c : {2, 0, 1})
                    chunks.push_back(stored("c" + std::to_string(c), N, step * c, rows[c]));
                std::vector<site> sites(2 * step + P);
                testing::internal::CaptureStdout();
                joinResult join =
                    joinChunks(std::move(chunks), sites, std::vector<bool>(N), seamRule::middle);
                testing::internal::GetCapturedStdout();

                ASSERT_EQ(join.chunks.size(), 3u);
                std::vector<bool> exchanged(N, false);
                for (int c = 0; c < 3; c++) {
                    EXPECT_EQ(join.chunks[c].name, "c" + std::to_string(c));
                    for (int s = 0; s < N; s++) {
                        if (c > 0)
                            exchanged[s] =
                                referenceExchanged(rows[c - 1], exchanged[s], step, rows[c], h, s);
                        // Written exchanged: the pairs whose orientation is not.
                        bool mask = (join.exchange[c][s >> 5] >> (2 * (s & 31))) & 1;
                        EXPECT_EQ(mask, !exchanged[s]) << "N=" << N << " h=" << h << " s=" << s;
                    }
                }
                const int m = (h + 1) / 2;
                for (int i = 0; i < static_cast<int>(sites.size()); i++) {
                    int c = i < step + m ? 0 : i < 2 * step + m ? 1 : 2;
                    EXPECT_EQ(join.sources[i].chunk, c) << i;
                    EXPECT_EQ(join.sources[i].row, i - step * c) << i;
                }
                std::vector<uint64_t> back(join.chunks[1].rows.words() * P);
                join.chunks[1].rows.read(0, P, back.data());
                for (int r = 0; r < P; r++)
                    for (int i = 0; i < 2 * N; i++)
                        EXPECT_EQ((back[r * join.chunks[1].rows.words() + i / 64] >> (i % 64)) & 1,
                                  static_cast<uint64_t>(rows[1][r][i]));
            }
        }
    }
    spill.budget = budget;
}

TEST(Report, QualityFollowsTheBalanceOfKeepAndSwap) {
    struct {
        int32_t keep, swap;
        int quality;
    } cases[] = {{0, 0, 0},  {5, 0, 99},  {0, 1, 99},  {1, 1, 1},   {3, 1, 19},
                 {1, 3, 19}, {10, 1, 56}, {50, 50, 1}, {100, 1, 91}};
    for (const auto& c : cases)
        EXPECT_EQ(reportQuality(c.keep, c.swap), c.quality) << c.keep << " " << c.swap;
}

}  // namespace

namespace {

// The one seam blender, over an overlap paired in order (with a site map) and
// over one paired by site (without): at every overlap row, the samples whose
// seam is at or before it come from the right chunk; rows outside the
// overlap, and every row with the middle rule, are not blended.
TEST(SeamBlender, SamplesFromTheRightFromTheirSeamOn) {
    typedef std::vector<std::pair<int32_t, int32_t>> pairs;
    const struct {
        pairs overlap;  // left and right rows
        int leftRows;   // rows of the left chunk
        std::vector<int32_t> seams;
        std::vector<std::string> fromRight;  // per overlap row: R where the right supplies
    } cases[] = {
        {{{2, 0}, {3, 1}, {4, 2}, {5, 3}}, 6, {1, 3, 0}, {"..R", "R.R", "R.R", "RRR"}},
        {{{1, 0}, {4, 2}, {5, 5}}, 6, {2, 0, 3}, {".R.", ".R.", "RR."}},
    };
    for (const auto& c : cases) {
        for (seamRule rule : {seamRule::agree, seamRule::middle}) {
            joinResult join;
            join.rule = rule;
            join.chunks.emplace_back("left", 3);
            join.chunks.emplace_back("right", 3);
            join.boundaries.resize(2);
            join.boundaries[1].pairs = c.overlap;
            join.boundaries[1].keep.assign(3, 0);
            join.boundaries[1].swap.assign(3, 0);
            join.boundaries[1].seams = c.seams;
            join.exchange.assign(2, std::vector<uint64_t>(1, 0));
            seamBlender blender(join);
            // Rows as the writers ask for them: the left chunk's up to the
            // middle of the overlap, then the right chunk's from there.
            const int32_t middle = join.boundaries[1].middle();
            std::vector<std::pair<size_t, int32_t>> rows;
            for (int32_t r = 0; r < c.overlap[middle].first; r++) rows.emplace_back(0, r);
            for (int32_t r = c.overlap[middle].second; r < 8; r++) rows.emplace_back(1, r);
            size_t j = 0;
            for (auto [chunk, r] : rows) {
                SCOPED_TRACE("chunk " + std::to_string(chunk) + " row " + std::to_string(r));
                seamBlender::blend b;
                const bool inOverlap = j < c.overlap.size() &&
                                       (chunk == 0 ? c.overlap[j].first : c.overlap[j].second) == r;
                ASSERT_EQ(blender.find(chunk, r, b), inOverlap && rule == seamRule::agree);
                if (!inOverlap) continue;
                if (rule == seamRule::agree) {
                    EXPECT_EQ(b.right, 1u);
                    EXPECT_EQ(b.leftRow, c.overlap[j].first);
                    EXPECT_EQ(b.rightRow, c.overlap[j].second);
                    std::string got;
                    for (size_t k = 0; k < 3; k++) got += pairMaskSet(*b.fromRight, k) ? 'R' : '.';
                    EXPECT_EQ(got, c.fromRight[j]);
                }
                j++;
            }
        }
    }
}

}  // namespace

// A sample's phase set goes on across a boundary where the join links its
// chunks with evidence of at least the quality asked; a chromosome's start,
// a gap, a tie and weak evidence start a new set, except for a scaffolded
// sample, whose set runs over its whole chromosome.
TEST(PhaseSets, GoOnWhereTheJoinLinksTheChunks) {
    joinResult join;
    for (int c = 0; c < 5; c++) join.chunks.emplace_back("c" + std::to_string(c), 4);
    join.boundaries.resize(5);
    auto overlap = [](std::vector<int32_t> keep, std::vector<int32_t> swap) {
        boundary b;
        b.keep = keep;
        b.swap = swap;
        return b;
    };
    // Samples: strong keep, weak (quality 19: 9 against 3), a tie, scaffolded tie.
    join.boundaries[1] = overlap({10, 9, 2, 0}, {0, 3, 2, 0});
    join.boundaries[2].meeting = boundary::kind::gap;
    join.boundaries[3] = overlap({0, 0, 5, 1}, {12, 1, 0, 1});
    join.boundaries[4].meeting = boundary::kind::start;
    struct {
        int minQuality;
        std::vector<std::vector<bool>> linked;  // per boundary 1..4, per sample
    } cases[] = {
        {20, {{1, 0, 0, 1}, {0, 0, 0, 1}, {1, 1, 1, 1}, {0, 0, 0, 0}}},
        {19, {{1, 1, 0, 1}, {0, 0, 0, 1}, {1, 1, 1, 1}, {0, 0, 0, 0}}},
        {100, {{0, 0, 0, 1}, {0, 0, 0, 1}, {0, 0, 0, 1}, {0, 0, 0, 0}}},
    };
    for (const auto& c : cases) {
        const phaseSetRule rule{true, false, c.minQuality, {false, false, false, true}};
        const std::vector<std::vector<uint64_t>> links = linkedPhaseSets(join, rule);
        ASSERT_EQ(links.size(), 5u);
        EXPECT_EQ(links[0], std::vector<uint64_t>(1, 0));
        for (size_t b = 1; b < 5; b++)
            for (size_t k = 0; k < 4; k++)
                EXPECT_EQ(pairMaskSet(links[b], k), c.linked[b - 1][k])
                    << "quality " << c.minQuality << " boundary " << b << " sample " << k;
    }
}
