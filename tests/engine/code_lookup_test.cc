// The dictionary search: which rows it can find, how it orders code texts,
// and agreement with a plain scan on many generated sorted dictionaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "support/table_builder.h"

namespace grouper {
namespace {

Code5 code(std::string_view text) {
  Code5 c;
  c.fill(' ');
  std::memcpy(c.data(), text.data(), std::min<size_t>(text.size(), 5));
  return c;
}

// A store whose diagnosis dictionary holds exactly `rows` (row 0 included),
// with ids 100, 101, ... by row, and whose procedure dictionary is `procs`.
TableStore store_with(const std::vector<Code5>& rows, const std::vector<Code5>& procs = {}) {
  TableStore s = testing::TableBuilder().build();
  s.dx_code = rows;
  s.dx_id.clear();
  for (size_t r = 0; r < rows.size(); ++r) s.dx_id.push_back(static_cast<int16_t>(100 + r));
  s.dx_cnt = static_cast<uint16_t>(rows.size());
  s.sg_code = procs;
  s.sg_id.clear();
  for (size_t r = 0; r < procs.size(); ++r) s.sg_id.push_back(static_cast<int16_t>(200 + r));
  s.sg_cnt = static_cast<uint16_t>(procs.size());
  return s;
}

int16_t find(const TableStore& s, std::string_view key, int position = 1) {
  PreparedSet g_set(s);
  Engine g(g_set);
  Code5 k = code(key);
  return g.find_code_id(k.data(), position);
}

TEST(FindCodeId, NeverFindsRowZero) {
  EXPECT_EQ(find(store_with({code("A0000")}), "A0000"), 0) << "a one-row dictionary finds nothing";
  EXPECT_EQ(find(store_with({code("A0000"), code("B0000")}), "A0000"), 0);
  EXPECT_EQ(find(store_with({code("A0000"), code("B0000")}), "B0000"), 101) << "row 1 of two is found";
  EXPECT_EQ(find(store_with({}), "A0000"), 0) << "an empty dictionary finds nothing";
}

TEST(FindCodeId, KeysOutsideTheRowsGiveZero) {
  TableStore s = store_with({code(""), code("B1000"), code("C1000"), code("D1000"), code("E1000")});
  EXPECT_EQ(find(s, "A0000"), 0);
  EXPECT_EQ(find(s, "Z9999"), 0);
  EXPECT_EQ(find(s, "C0999"), 0);
  EXPECT_EQ(find(s, "B1000"), 101);
  EXPECT_EQ(find(s, "E1000"), 104);
}

TEST(FindCodeId, ComparesTrailingBlanksAndStopsOnlyAtSharedNul) {
  Code5 nul_padded = code("K35");
  nul_padded[3] = nul_padded[4] = '\0';
  TableStore s = store_with({code(""), nul_padded, code("K35"), code("K350")});
  EXPECT_EQ(find(s, "K35"), 102) << "\"K35  \" is its own key, not the NUL-padded row";
  EXPECT_EQ(find(s, "K350"), 103);

  // A NUL in both texts at the same place ends the comparison as equal.
  PreparedSet g_set(s);
  Engine g(g_set);
  const char key[5] = {'K', '3', '5', '\0', 'X'};
  EXPECT_EQ(g.find_code_id(key, 1), 101);
}

TEST(FindCodeId, OrdersBytesAsUnsigned) {
  // A byte above 127 sorts after every letter; a signed comparison would
  // send the search the wrong way.
  TableStore s = store_with({code(""), code("A1000"), code("M1000"), code("Z1000"), code("\xC0" "1000"),
                             code("\xE9" "1000")});
  EXPECT_EQ(find(s, "\xC0" "1000"), 104);
  EXPECT_EQ(find(s, "\xE9" "1000"), 105);
  EXPECT_EQ(find(s, "A1000"), 101);
}

TEST(FindCodeId, PositionChoosesTheDictionary) {
  TableStore s = store_with({code(""), code("X0001")}, {code(""), code("X0001")});
  EXPECT_EQ(find(s, "X0001", 1), 101);
  EXPECT_EQ(find(s, "X0001", 10), 101);
  EXPECT_EQ(find(s, "X0001", 11), 201);
  EXPECT_EQ(find(s, "X0001", 46), 201);
}

TEST(FindCodeId, UnsortedRowsMayHideACode) {
  // Rows out of order: the search for "B" turns right at "A" and misses row 1.
  TableStore s = store_with({code(""), code("B0000"), code("A0000"), code("C0000")});
  EXPECT_EQ(find(s, "B0000"), 0);
  EXPECT_EQ(find(s, "A0000"), 102);
}

// The order of the dictionary: unsigned bytes, a shared NUL ends as equal.
int reference_order(const Code5& a, const Code5& b) {
  for (int i = 0; i < 5; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
  return 0;
}

TEST(FindCodeId, AgreesWithAPlainScanOnSortedDictionaries) {
  std::mt19937 rng(20050515);
  // A small alphabet so that keys collide with rows often; NUL, blank and a
  // byte above 127 take part.
  const std::string alphabet("\0 09AKZ\xC0\xFF", 9);
  auto random_code = [&] {
    Code5 c;
    for (char& ch : c) ch = alphabet[rng() % alphabet.size()];
    return c;
  };
  int found = 0;
  for (int round = 0; round < 400; ++round) {
    std::vector<Code5> rows;
    const size_t n = rng() % 200;
    for (size_t i = 0; i < n; ++i) rows.push_back(random_code());
    std::sort(rows.begin(), rows.end(), [](const Code5& a, const Code5& b) { return reference_order(a, b) < 0; });
    rows.erase(std::unique(rows.begin(), rows.end(),
                           [](const Code5& a, const Code5& b) { return reference_order(a, b) == 0; }),
               rows.end());
    rows.insert(rows.begin(), random_code());  // row 0: anything, never found
    TableStore s = store_with(rows);
    PreparedSet g_set(s);
    Engine g(g_set);
    for (int k = 0; k < 50; ++k) {
      Code5 key = (k % 2 == 0 && rows.size() > 1) ? rows[rng() % rows.size()] : random_code();
      int16_t expected = 0;
      for (size_t r = 1; r < rows.size(); ++r) {
        if (reference_order(key, rows[r]) == 0) expected = static_cast<int16_t>(100 + r);
      }
      ASSERT_EQ(g.find_code_id(key.data(), 1), expected) << "round " << round << ", " << rows.size() << " rows";
      found += expected != 0;
    }
  }
  EXPECT_GT(found, 1000) << "the generated keys should mostly hit";
}

}  // namespace
}  // namespace grouper
