// The value codecs of the text form, and its layouts against the load plan.
#include "text_format.h"

#include <map>
#include <set>

#include "gtest/gtest.h"

namespace grouper::tools {
namespace {

TEST(TextEscape, EveryByteSurvivesAndNoneBreaksALine) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  for (bool drop : {false, true}) {
    std::string text = escape(all, drop);
    EXPECT_EQ(text.find('\t'), std::string::npos);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    size_t bad_at = 0;
    auto back = unescape(text, bad_at);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, all);
  }
}

TEST(TextEscape, ReadableCharactersStayAsTheyAre) {
  EXPECT_EQ(escape("K35  ", true), "K35");
  EXPECT_EQ(escape(" K 3 ", true), " K 3");
  EXPECT_EQ(escape("12 ", false), "12\\x20");
  EXPECT_EQ(escape("  ", false), "\\x20\\x20");
  EXPECT_EQ(escape(std::string("A\0\t\\\xc7", 5), true), "A\\0\\t\\\\\\xC7");
}

TEST(TextEscape, BadEscapesAreLocated) {
  size_t bad_at = 99;
  EXPECT_FALSE(unescape("AB\\q", bad_at));
  EXPECT_EQ(bad_at, 2u);
  EXPECT_FALSE(unescape("A\\", bad_at));
  EXPECT_EQ(bad_at, 1u);
  EXPECT_FALSE(unescape("\\x4", bad_at));
  EXPECT_EQ(bad_at, 0u);
  EXPECT_FALSE(unescape("ok\\xG0", bad_at));
  EXPECT_EQ(bad_at, 2u);
  EXPECT_EQ(unescape("\\x4a\\x4B", bad_at), "JK");
}

TEST(TextDate, CalendarDatesReadAsYYYYMMDD) {
  EXPECT_EQ(format_date(20050101), "20050101");
  EXPECT_EQ(format_date(99991231), "99991231");
  EXPECT_EQ(format_date(20040229), "20040229");
  EXPECT_EQ(format_date(20000229), "20000229");
  EXPECT_EQ(parse_date("20050101"), 20050101);
  EXPECT_EQ(parse_date("20000229"), 20000229);
}

TEST(TextDate, OtherNumbersAreMarkedAndStillRead) {
  EXPECT_EQ(format_date(0), "#0");
  EXPECT_EQ(format_date(-1), "#-1");
  EXPECT_EQ(format_date(20050230), "#20050230");
  EXPECT_EQ(format_date(19000229), "#19000229");
  EXPECT_EQ(format_date(20051301), "#20051301");
  EXPECT_EQ(format_date(10101), "#10101");
  for (int32_t v : {0, -1, 20050230, 19000229, INT32_MIN, INT32_MAX, 10101}) {
    EXPECT_EQ(parse_date(format_date(v)), v) << v;
  }
}

TEST(TextDate, AnythingElseIsRefused) {
  for (std::string_view bad : {"", "2005010", "200501011", "20050230", "2005-01-01", "00010101", "#", "#x",
                               "#2147483648", " 20050101", "#+5"}) {
    EXPECT_FALSE(parse_date(bad).has_value()) << bad;
  }
}

TEST(TextNumber, IntegersWithinTheirRange) {
  EXPECT_EQ(parse_integer("-32768", INT16_MIN, INT16_MAX), -32768);
  EXPECT_EQ(parse_integer("007", INT16_MIN, INT16_MAX), 7);
  EXPECT_FALSE(parse_integer("32768", INT16_MIN, INT16_MAX));
  EXPECT_FALSE(parse_integer("-32769", INT16_MIN, INT16_MAX));
  EXPECT_EQ(parse_integer("-2147483648", INT32_MIN, INT32_MAX), INT32_MIN);
  EXPECT_FALSE(parse_integer("99999999999999999999", INT32_MIN, INT32_MAX));
  for (std::string_view bad : {"", "-", "+1", "1 ", " 1", "1e3", "0x10", "--1"}) {
    EXPECT_FALSE(parse_integer(bad, INT32_MIN, INT32_MAX)) << bad;
  }
}

TEST(TextLayout, EveryArrayAndCountOfThePlanHasItsPlace) {
  auto layouts = text_layouts();
  ASSERT_EQ(layouts.size(), load_plan().size());
  for (size_t f = 0; f < layouts.size(); ++f) {
    const FileSpec& file = *layouts[f].file;
    EXPECT_EQ(&file, &load_plan()[f]);
    std::map<std::string_view, int> placed;  // array -> times placed
    std::set<uint8_t> counts_given;
    for (const SectionSpec& section : layouts[f].sections) {
      counts_given.insert(section.count_field);
      int index_columns = 0;
      for (const ColumnSpec& c : section.columns) {
        if (c.kind == Col::kIndex) ++index_columns;
        if (c.array.empty() || c.kind >= Col::kShowCode) continue;
        const ArraySpec* a = find_array(file, c.array);
        ASSERT_NE(a, nullptr) << file.name << " " << c.array;
        EXPECT_EQ(a->count_field, section.count_field) << file.name << " " << c.array;
        if (c.kind == Col::kLevels) counts_given.insert(a->record_field);
        if (c.kind != Col::kMustNot) ++placed[c.array];
        const ElemType want = c.kind == Col::kDate                               ? ElemType::kInt32
                              : c.kind == Col::kMust || c.kind == Col::kMustNot ? ElemType::kRuleConds
                              : c.kind == Col::kLevels                          ? ElemType::kMatrix
                                                                                : a->type;
        EXPECT_EQ(a->type, want) << file.name << " " << c.array;
        if (c.kind == Col::kNumber) {
          EXPECT_TRUE(a->type == ElemType::kInt16 || a->type == ElemType::kInt32) << c.array;
        }
        if (c.kind == Col::kText) {
          EXPECT_TRUE(a->type == ElemType::kText || a->type == ElemType::kByte) << c.array;
        }
      }
      EXPECT_EQ(index_columns, 1) << file.name << " @" << section.name;
      EXPECT_EQ(section.columns[0].kind, Col::kIndex) << "a comment line could hide a row";
    }
    for (const ArraySpec& a : file.arrays) EXPECT_EQ(placed[a.name], 1) << file.name << " " << a.name;
    EXPECT_EQ(counts_given.size(), file.counts.size()) << file.name;
  }
}

}  // namespace
}  // namespace grouper::tools
