#include <gtest/gtest.h>

#include <random>

#include "chunk.h"

namespace {

bitvec randomBits(size_t n, std::mt19937& rng) {
    bitvec b(n);
    for (size_t i = 0; i < n; i++) b.set(i, rng() & 1);
    return b;
}

TEST(Hamming, CountsDifferingBitsAcrossWordBoundaries) {
    for (size_t n : {0, 1, 63, 64, 65, 200}) {
        bitvec a(n), b(n, true);
        EXPECT_EQ(hamming(a, b), static_cast<int32_t>(n));
        EXPECT_EQ(hamming(b, b), 0);
        if (n > 64) {
            b.set(64, false);
            EXPECT_EQ(hamming(a, b), static_cast<int32_t>(n - 1));
        }
    }
}

// The switch decision of the join, written out as plainly as possible: gather
// each sample's four overlap columns and compare their Hamming distances.
std::vector<bool> referenceSwitches(const std::vector<bitvec>& prevRows, const bitvec& prevSwitched,
                                    int p, const std::vector<bitvec>& currRows, int h) {
    std::vector<bool> result;
    for (size_t s = 0; s < prevSwitched.size(); s++) {
        bitvec A(h), B(h), X(h), Y(h);
        for (int r = 0; r < h; r++) {
            A.set(r, prevRows[p + r].get(2 * s));
            B.set(r, prevRows[p + r].get(2 * s + 1));
            X.set(r, currRows[r].get(2 * s));
            Y.set(r, currRows[r].get(2 * s + 1));
        }
        if (prevSwitched.get(s)) std::swap(A, B);
        result.push_back(hamming(A, X) + hamming(B, Y) > hamming(A, Y) + hamming(B, X));
    }
    return result;
}

void store(chunk& c, const std::vector<bitvec>& rows) {
    for (const bitvec& row : rows) std::copy(row.words.begin(), row.words.end(), c.H.add());
    c.H.finish();
}

// Once with the rows in memory, once with every row in the spill file.
TEST(Join, SwitchDecisionsAgreeWithColumnHammingDistances) {
    std::mt19937 rng(5);
    spillFile& spill = spillFile::shared();
    const size_t budget = spill.budget;
    for (size_t spillBudget : {budget, size_t(0)}) {
        spill.budget = spillBudget;
        for (int N : {1, 31, 32, 33, 100, 3000}) {
            for (int h : {1, 2, 5, 40, 300}) {
                chunk prev(N, "prev"), curr(N, "curr");
                std::vector<bitvec> prevRows, currRows;
                const int P = h + 3;
                for (int r = 0; r < P; r++) {
                    prev.sidx.push_back(r);
                    // Rows of the current chunk are noisy copies of the previous
                    // chunk's, each sample exchanged or not, so sums differ and tie.
                    prevRows.push_back(randomBits(2 * N, rng));
                }
                for (int r = 0; r < h + 2; r++) {
                    curr.sidx.push_back(3 + r);
                    currRows.push_back(r < h ? prevRows[3 + r] : randomBits(2 * N, rng));
                }
                for (int s = 0; s < N; s++) {
                    prev.switched.set(s, rng() & 1);
                    if (rng() & 1)
                        for (int r = 0; r < h; r++) {
                            bool a = currRows[r].get(2 * s), b = currRows[r].get(2 * s + 1);
                            currRows[r].set(2 * s, b);
                            currRows[r].set(2 * s + 1, a);
                        }
                    for (int r = 0; r < h; r++)
                        if (rng() % 4 == 0) currRows[r].set(2 * s + (rng() & 1), rng() & 1);
                }
                store(prev, prevRows);
                store(curr, currRows);
                std::vector<bool> expected =
                    referenceSwitches(prevRows, prev.switched, 3, currRows, h);
                testing::internal::CaptureStdout();
                curr.assemble(&prev);
                std::string out = testing::internal::GetCapturedStdout();
                int switches = 0;
                for (int s = 0; s < N; s++) {
                    EXPECT_EQ(curr.switched.get(s), expected[s])
                        << "N=" << N << " h=" << h << " s=" << s;
                    switches += expected[s];
                }
                EXPECT_NE(out.find("  * #switches=" + std::to_string(switches) + " out of " +
                                   std::to_string(N) + " possible\n"),
                          std::string::npos);
                const int m = (h + 1) / 2;
                for (int r = 0; r < P; r++) EXPECT_EQ(prev.sidx[r], r < 3 + m ? r : -1);
                for (int r = 0; r < h + 2; r++) EXPECT_EQ(curr.sidx[r], r < m ? -1 : 3 + r);
                // Every row reads back as it was stored.
                std::vector<uint64_t> back(curr.H.words * currRows.size());
                curr.H.read(0, currRows.size(), back.data());
                for (size_t r = 0; r < currRows.size(); r++)
                    EXPECT_TRUE(std::equal(currRows[r].words.begin(), currRows[r].words.end(),
                                           back.begin() + r * curr.H.words));
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
