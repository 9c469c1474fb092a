// Tone tracking and code search, driven with magnitude rows that place the codeword of 131
// (or corrupted copies) at chosen columns and passes.
#include "rsid.h"
#include "rsid_state.h"
#include "rx/search_rules.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace {

const uint8_t codeword_131[15] = {0, 15, 7, 0, 4, 15, 12, 8, 8, 3, 11, 7, 11, 12, 3};

struct report {
    int pass; // index of the pass that reported
    int32_t code, bin, distance;
};

// A script of passes: for each pass, the tone to show at each column. A column with no tone
// in a pass has no peak in its window there and decides tone 0.
class Script {
  public:
    void tone(int pass, int column, int t) { rows_[pass][column] = t; }

    // Places the codeword so that column matches in pass `at` (symbol j in the row of pass
    // at - 28 + 2j), with the symbols at `wrong` replaced by another tone.
    void codeword(int at, int column, std::vector<int> wrong = {}) {
        for (int j = 0; j < 15; ++j) {
            int t = codeword_131[j];
            for (int w : wrong)
                if (w == j)
                    t = (t + 5) % 16;
            tone(at - 28 + 2 * j, column, t);
        }
    }

    // Runs passes 0 .. last and returns every report.
    std::vector<report> run(int last) const {
        std::vector<report> out;
        for (int pass = 0; pass <= last; ++pass) {
            int32_t row[334] = {};
            auto it = rows_.find(pass);
            if (it != rows_.end())
                for (auto [column, t] : it->second)
                    row[column + 2 * t] = 1000;
            report r{pass, -1, -1, -1};
            if (rsid_search_amp(row, &r.code, &r.bin, &r.distance))
                out.push_back(r);
        }
        return out;
    }

  private:
    std::map<int, std::map<int, int>> rows_;
};

class Search : public ::testing::Test {
  protected:
    void SetUp() override {
        rsid_rx = rsid_receiver{}; // as after load
        rsid_init(0, 334);
    }
};

// Columns whose windows (column .. column + 30) do not overlap.
constexpr int col_a = 10, col_b = 100, col_c = 200;

TEST_F(Search, DistancesOneZeroOneReportTheBestOnceAfterTheRun) {
    Script s;
    s.codeword(40, col_a, {3});
    s.codeword(41, col_b);
    s.codeword(42, col_c, {9});
    auto reports = s.run(60);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].pass, 43);
    EXPECT_EQ(reports[0].code, 131);
    EXPECT_EQ(reports[0].bin, col_b);
    EXPECT_EQ(reports[0].distance, 0);
}

TEST_F(Search, EqualDistanceLetsTheLaterPassReplaceTheHeldMatch) {
    for (int wrong : {0, 1}) {
        SetUp();
        Script s;
        std::vector<int> w = wrong ? std::vector<int>{7} : std::vector<int>{};
        s.codeword(40, col_c, w);
        s.codeword(41, col_a, w);
        auto reports = s.run(60);
        ASSERT_EQ(reports.size(), 1u) << "distance " << wrong;
        EXPECT_EQ(reports[0].pass, 42);
        EXPECT_EQ(reports[0].bin, col_a) << "distance " << wrong;
        EXPECT_EQ(reports[0].distance, wrong);
    }
}

TEST_F(Search, AHigherDistanceDoesNotReplaceTheHeldMatch) {
    Script s;
    s.codeword(40, col_a);
    s.codeword(41, col_b, {2});
    auto reports = s.run(60);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].bin, col_a);
    EXPECT_EQ(reports[0].distance, 0);
}

TEST_F(Search, TiesBetweenColumnsGoToTheLowestColumn) {
    const struct {
        int low, high;
        std::vector<int> low_wrong, high_wrong;
        int want, distance;
    } table[] = {
        {col_a, col_c, {}, {}, col_a, 0},
        {col_b, col_c, {4}, {11}, col_b, 1},
        {col_a, col_b, {4}, {}, col_b, 0}, // a lower distance beats a lower column
    };
    for (const auto& row : table) {
        SetUp();
        Script s;
        s.codeword(40, row.high, row.high_wrong);
        s.codeword(40, row.low, row.low_wrong);
        auto reports = s.run(60);
        ASSERT_EQ(reports.size(), 1u) << "columns " << row.low << ", " << row.high;
        EXPECT_EQ(reports[0].bin, row.want) << "columns " << row.low << ", " << row.high;
        EXPECT_EQ(reports[0].distance, row.distance);
    }
}

TEST_F(Search, AMatchInEveryPassIsNeverReportedUntilTheRunEnds) {
    // Ten columns with disjoint windows, each matching in two consecutive passes, staggered
    // so that passes 40 .. 59 all match.
    Script s;
    for (int i = 0; i < 10; ++i) {
        s.codeword(40 + 2 * i, 32 * i);
        s.codeword(41 + 2 * i, 32 * i);
    }
    auto reports = s.run(80);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].pass, 60);
    EXPECT_EQ(reports[0].bin, 32 * 9); // the last match of the run, equal distance
}

TEST_F(Search, OneWrongSymbolIsToleratedTwoAreNot) {
    for (int j = 0; j < 15; ++j) {
        SetUp();
        Script s;
        s.codeword(40, col_b, {j});
        auto reports = s.run(50);
        ASSERT_EQ(reports.size(), 1u) << "wrong symbol " << j;
        EXPECT_EQ(reports[0].distance, 1) << "wrong symbol " << j;
        EXPECT_EQ(reports[0].bin, col_b);
    }
    for (int j = 0; j < 15; ++j) {
        for (int k = j + 1; k < 15; ++k) {
            SetUp();
            Script s;
            s.codeword(40, col_b, {j, k});
            EXPECT_TRUE(s.run(50).empty()) << "wrong symbols " << j << ", " << k;
        }
    }
}

TEST_F(Search, EqualRowsGiveToneZeroAndNeverMatch) {
    for (int32_t level : {0, 1, 5000}) {
        SetUp();
        int32_t row[334];
        std::fill(row, row + 334, level);
        int32_t code = -1, bin = -1, distance = -1;
        for (int pass = 0; pass < 60; ++pass)
            ASSERT_EQ(rsid_search_amp(row, &code, &bin, &distance), 0) << "level " << level;
        for (int c = 0; c < 304; ++c)
            ASSERT_EQ(rsid_rx.tone_history[rsid_rx.history_row][c], 0);
        EXPECT_EQ(code, -1); // nothing written without a report
    }
}

// rsid_init in the middle of a held match: the match stays, with distance 100, and a match
// in the next pass replaces it.
TEST_F(Search, InitWhileAMatchIsHeld) {
    int32_t code = 0, bin = 0, distance = 0;
    {
        Script s;
        s.codeword(40, col_a);
        ASSERT_TRUE(s.run(40).empty());
        ASSERT_EQ(rsid_rx.pending, 1);
        EXPECT_EQ(rsid_init(0, 334), 1);
        int32_t silence[334] = {};
        ASSERT_EQ(rsid_search_amp(silence, &code, &bin, &distance), 1);
        EXPECT_EQ(code, 131);
        EXPECT_EQ(bin, col_a);
        EXPECT_EQ(distance, 100);
    }
    SetUp();
    {
        Script s;
        s.codeword(40, col_a);
        s.codeword(41, col_b, {5});
        ASSERT_TRUE(s.run(40).empty());
        rsid_init(0, 334);
        // Pass 41 on its own: the history and its ring position survived rsid_init.
        int32_t row[334] = {};
        row[col_b + 2 * codeword_131[14]] = 1000;
        ASSERT_EQ(rsid_search_amp(row, &code, &bin, &distance), 0);
        int32_t silence[334] = {};
        ASSERT_EQ(rsid_search_amp(silence, &code, &bin, &distance), 1);
        EXPECT_EQ(bin, col_b);
        EXPECT_EQ(distance, 1);
    }
}

TEST_F(Search, WithoutCandidateColumnsTheRingStillAdvancesAndAHeldMatchIsReported) {
    Script s;
    s.codeword(40, col_a);
    ASSERT_TRUE(s.run(40).empty());
    for (auto [first, end] : {std::pair{0, 0}, {0, 30}, {200, 100}}) {
        rsid_init(first, end);
        int before = rsid_rx.history_row;
        int32_t row[334];
        std::fill(row, row + 334, 7);
        int32_t code = 0, bin = -1, distance = 0;
        int r = rsid_search_amp(row, &code, &bin, &distance);
        EXPECT_EQ(rsid_rx.history_row, (before + 1) % 29) << first << ".." << end;
        if (first == 0 && end == 0) { // the first of these passes reports the held match
            EXPECT_EQ(r, 1);
            EXPECT_EQ(bin, col_a);
            EXPECT_EQ(distance, 100);
        } else {
            EXPECT_EQ(r, 0);
        }
    }
}

TEST_F(Search, InitClampsTheRangeToTheMagnitudeRow) {
    const struct {
        int first, end, start, bound;
    } table[] = {{-5, 1000, 0, 334},
                 {-100000, 334, 0, 334},
                 {400, 900, 334, 334},
                 {5, -7, 5, 0},
                 {INT32_MIN, INT32_MAX, 0, 334}};
    for (const auto& row : table) {
        EXPECT_EQ(rsid_init(row.first, row.end), 1);
        EXPECT_EQ(rsid_rx.search_start, row.start) << row.first;
        EXPECT_EQ(rsid_rx.search_end, row.bound) << row.end;
    }
    // With the widest range both extreme columns are found.
    for (int column : {0, 303}) {
        SetUp();
        rsid_init(-1, 335);
        Script s;
        s.codeword(40, column);
        auto reports = s.run(50);
        ASSERT_EQ(reports.size(), 1u) << "column " << column;
        EXPECT_EQ(reports[0].bin, column);
    }
}

TEST_F(Search, NullPointersDoNothing) {
    int32_t row[334] = {}, v = 0;
    int before = rsid_rx.history_row;
    EXPECT_EQ(rsid_search_amp(nullptr, &v, &v, &v), 0);
    EXPECT_EQ(rsid_search_amp(row, nullptr, &v, &v), 0);
    EXPECT_EQ(rsid_search_amp(row, &v, nullptr, &v), 0);
    EXPECT_EQ(rsid_search_amp(row, &v, &v, nullptr), 0);
    EXPECT_EQ(rsid_rx.history_row, before);
}

// The running maximum against a full scan of the 16 entries, ties to the lowest entry.
TEST_F(Search, ToneDecisionsEqualAFullScan) {
    const unsigned seed = 4411;
    std::mt19937 rng(seed);
    for (int trial = 0; trial < 3000; ++trial) {
        const int spreads[] = {1, 2, 4, 1000, 2147483647};
        int spread = spreads[trial % 5];
        std::uniform_int_distribution<int32_t> value(0, spread - 1);
        int32_t row[334];
        for (int32_t& v : row)
            v = value(rng);
        int first = std::uniform_int_distribution<int>(0, 40)(rng);
        int limit = std::uniform_int_distribution<int>(first, 304)(rng);
        uint8_t* out = rsid_rx.tone_history[rsid_rx.history_row];
        std::fill(out, out + 400, uint8_t{99});
        rsid_tone_row(rsid_rx, row, first, limit);
        for (int c = 0; c < 400; ++c) {
            if (c < first || c >= limit || (c - first) % 2) {
                ASSERT_EQ(out[c], 99) << "column " << c << " written, seed " << seed;
                continue;
            }
            int best = 0;
            for (int t = 1; t < 16; ++t)
                if (row[c + 2 * t] > row[c + 2 * best])
                    best = t;
            ASSERT_EQ(out[c], best) << "column " << c << " trial " << trial << " seed " << seed;
        }
    }
}

} // namespace

namespace {

// The column-parallel distances of wide searches equal the library's column-by-column count,
// on rows that match, nearly match and differ at random.
TEST(SearchRules, RowDistancesEqualColumnDistances) {
    const unsigned seed = 9090;
    std::mt19937 rng(seed);
    uint8_t codeword[15];
    RsIdEncode(131, codeword);
    static uint8_t history[15][400];
    for (int trial = 0; trial < 200; ++trial) {
        const int wrong = trial % 4; // symbols replaced at random in every column
        for (int c = 0; c < 400; ++c) {
            for (int j = 0; j < 15; ++j)
                history[j][c] = codeword[j];
            for (int w = 0; w < wrong; ++w)
                history[std::uniform_int_distribution<int>(0, 14)(rng)][c] =
                    static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 15)(rng));
        }
        const uint8_t* rows[15];
        for (int j = 0; j < 15; ++j)
            rows[j] = history[j];
        const int first = trial % 7, limit = 400 - trial % 5;
        uint8_t out[400] = {};
        rsid_row_distances(rows, codeword, first, limit, out);
        for (int c = first; c < limit; ++c)
            ASSERT_EQ(out[c], rsid_column_distance(rows, codeword, c))
                << "column " << c << " trial " << trial << " seed " << seed;
    }
}

} // namespace
