#include "record/digit_fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace grouper {
namespace {

int32_t parse(const std::string& field) { return parse_digits(field.data(), static_cast<int>(field.size())); }

// --- parse_digits ---

TEST(ParseDigits, ReadsZeroPaddedAndBlankPaddedNumbers) {
  EXPECT_EQ(parse("20050101"), 20050101);
  EXPECT_EQ(parse("005"), 5);
  EXPECT_EQ(parse("  7"), 7);
  EXPECT_EQ(parse("7  "), 7);
}

TEST(DigitWord, TellsDigitsFromEveryOtherByteAndReadsEveryPair) {
  for (int at = 0; at < 8; ++at) {
    for (int byte = 0; byte < 256; ++byte) {
      char text[8];
      std::memcpy(text, "20050515", 8);
      text[at] = static_cast<char>(byte);
      const uint64_t word = digit_word::load(text);
      const bool digit = byte >= '0' && byte <= '9';
      EXPECT_EQ(digit_word::all_digits(word, ~uint64_t{0}), digit) << "byte " << byte << " at " << at;
      EXPECT_TRUE(digit_word::all_digits(word, ~(uint64_t{0xFF} << (8 * at)))) << "byte " << byte << " masked at " << at;
      EXPECT_EQ(digit_word::parse_eight(text), parse_digits(text, 8)) << "byte " << byte << " at " << at;
      if (!digit) continue;
      const uint64_t pairs = digit_word::pairs(word);
      for (int k = 0; k < 4; ++k) EXPECT_EQ(digit_word::pair(pairs, k), parse_digits(text + 2 * k, 2)) << std::string(text, 8);
    }
  }
}

TEST(ParseDigits, SkipsBlanksAnywhereInTheField) { EXPECT_EQ(parse(" 0 12"), 12); }

TEST(ParseDigits, AllBlankOrEmptyFieldReadsAsZero) {
  EXPECT_EQ(parse("     "), 0);
  EXPECT_EQ(parse_digits("123", 0), 0);
}

TEST(ParseDigits, AnyOtherCharacterGivesMinusOne) {
  EXPECT_EQ(parse("12a"), -1);
  EXPECT_EQ(parse("-12"), -1);
  EXPECT_EQ(parse("+12"), -1);
  EXPECT_EQ(parse(std::string("1\0" "2", 3)), -1);
  EXPECT_EQ(parse("1\xB1" "2"), -1);
  EXPECT_EQ(parse("1\t2"), -1);
}

TEST(ParseDigits, ReadsOnlyItsWidth) { EXPECT_EQ(parse_digits("12x", 2), 12); }

// --- format_digits ---

TEST(FormatDigits, WritesRightAlignedZeroPaddedDigitsWithoutTerminator) {
  char buf[10];
  std::fill(std::begin(buf), std::end(buf), '#');
  format_digits(20050515, buf, 8);
  EXPECT_EQ(std::string(buf, 10), "20050515##");
  format_digits(7, buf, 3);
  EXPECT_EQ(std::string(buf, 4), "0075");  // the fourth byte is left from before
  format_digits(0, buf, 2);
  EXPECT_EQ(std::string(buf, 2), "00");
}

TEST(FormatDigits, KeepsTheLastDigitsOfAWideValue) {
  char buf[4];
  format_digits(123456, buf, 4);
  EXPECT_EQ(std::string(buf, 4), "3456");
}

}  // namespace
}  // namespace grouper
