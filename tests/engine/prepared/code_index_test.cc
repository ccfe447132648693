// The hash index of the code lists against the plain procedures it stands
// in for: the halving search of a dictionary and the scan of the DRG list
// from row 0, on many generated lists, sorted or not, with repeated texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/prepared/code_index.h"
#include "engine/prepared/guarded_lookup.h"
#include "support/table_builder.h"

namespace grouper {
namespace {

// The halving search as the dictionary defines it: rows 1..n-1, row 0 never
// probed, the first equal probe wins.
int16_t halving_search(const std::vector<Code5>& codes, const std::vector<int16_t>& ids, const Code5& key) {
  size_t lo = 0, hi = codes.size();
  for (size_t half = hi / 2; half != 0; half = (hi - lo) / 2) {
    const size_t mid = lo + half;
    const int order = compare_code5(key.data(), codes[mid].data());
    if (order == 0) return ids[mid];
    (order < 0 ? hi : lo) = mid;
  }
  return 0;
}

class Lists : public ::testing::Test {
 protected:
  Code5 random_code() {
    // A small alphabet, so that texts repeat and keys hit; NUL and a byte
    // above 127 take part.
    static const std::string alphabet("\0 0AZ\xC0", 6);
    Code5 c;
    for (char& ch : c) ch = alphabet[rng_() % alphabet.size()];
    return c;
  }
  std::vector<Code5> random_list(size_t n, bool sorted) {
    std::vector<Code5> rows;
    for (size_t i = 0; i < n; ++i) rows.push_back(random_code());
    if (sorted) {
      std::sort(rows.begin() + (n > 0 ? 1 : 0), rows.end(),
                [](const Code5& a, const Code5& b) { return compare_code5(a.data(), b.data()) < 0; });
    }
    return rows;
  }
  std::mt19937 rng_{7};
};

TEST_F(Lists, DictionaryLookupAgreesWithTheHalvingSearchSortedOrNot) {
  int hits = 0;
  for (int round = 0; round < 600; ++round) {
    // Sorted with repeats, sorted with repeats removed, and unsorted lists.
    std::vector<Code5> rows = random_list(rng_() % 120, round % 3 != 2);
    if (round % 3 == 1) {
      rows.erase(std::unique(rows.begin() + (rows.empty() ? 0 : 1), rows.end(),
                             [](const Code5& a, const Code5& b) { return compare_code5(a.data(), b.data()) == 0; }),
                 rows.end());
    }
    TableStore s = testing::TableBuilder().build();
    s.dx_code = rows;
    s.dx_id.clear();
    for (size_t r = 0; r < rows.size(); ++r) s.dx_id.push_back(static_cast<int16_t>(500 + r));
    s.dx_cnt = static_cast<uint16_t>(rows.size());
    PreparedSet g_set(s);
    Engine g(g_set);
    for (int k = 0; k < 40; ++k) {
      const Code5 key = (k % 2 == 0 && !rows.empty()) ? rows[rng_() % rows.size()] : random_code();
      const int16_t expected = halving_search(rows, s.dx_id, key);
      ASSERT_EQ(g.find_code_id(key.data(), 1), expected) << "round " << round;
      hits += expected != 0;
    }
  }
  EXPECT_GT(hits, 2000);
}

TEST_F(Lists, IndexFindsTheLowestEqualRowLikeAScanFromRowZero) {
  for (int round = 0; round < 300; ++round) {
    const std::vector<Code5> rows = random_list(rng_() % 200, false);
    CodeIndex index;
    index.build(rows, 0, rows.size());
    for (int k = 0; k < 40; ++k) {
      const Code5 key = (k % 2 == 0 && !rows.empty()) ? rows[rng_() % rows.size()] : random_code();
      int32_t expected = -1;
      for (size_t r = 0; r < rows.size() && expected < 0; ++r) {
        if (compare_code5(key.data(), rows[r].data()) == 0) expected = static_cast<int32_t>(r);
      }
      ASSERT_EQ(index.find(key.data()), expected) << "round " << round;
    }
  }
}

TEST(CodeIndex, TextsEqualUpToASharedNulAreOneKey) {
  std::vector<Code5> rows = {{'K', '3', '5', '\0', 'A'}, {'K', '3', '5', '\0', 'B'}, {'K', '3', '5', ' ', ' '}};
  CodeIndex index;
  index.build(rows, 0, rows.size());
  const char key[5] = {'K', '3', '5', '\0', 'Z'};
  EXPECT_EQ(index.find(key), 0);
  EXPECT_EQ(index.find(rows[2].data()), 2) << "trailing blanks are part of the text";
  EXPECT_FALSE(CodeIndex::strictly_ascending(rows, 0, 2)) << "equal texts are not ascending";
  EXPECT_TRUE(CodeIndex::strictly_ascending(rows, 1, 3));
}

TEST(CodeIndex, AnEmptyIndexFindsNothing) {
  CodeIndex unbuilt;
  const char key[5] = {'A', '0', '0', '0', '0'};
  EXPECT_EQ(unbuilt.find(key), -1);
  CodeIndex empty;
  empty.build({}, 0, 0);
  EXPECT_EQ(empty.find(key), -1);
}

}  // namespace
}  // namespace grouper
