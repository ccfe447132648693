// Weights as text and the one division of weights (a mean), all in integer
// units of 1/10,000: nothing passes through binary floating point.
#include <charconv>

#include "episode_grouper/weights.h"

namespace episode_grouper {

size_t format_weight(int64_t weight, char* out) {
  char* p = out;
  // Work on the magnitude as unsigned: INT64_MIN has no positive int64.
  uint64_t magnitude = static_cast<uint64_t>(weight);
  if (weight < 0) {
    *p++ = '-';
    magnitude = ~magnitude + 1;
  }
  const uint64_t scale = static_cast<uint64_t>(kWeightScale);
  p = std::to_chars(p, out + kMaxWeightText, magnitude / scale).ptr;
  *p++ = '.';
  uint64_t fraction = magnitude % scale;
  for (uint64_t digit = scale / 10; digit > 0; digit /= 10) {
    *p++ = static_cast<char>('0' + fraction / digit);
    fraction %= digit;
  }
  return static_cast<size_t>(p - out);
}

std::string format_weight(int64_t weight) {
  char text[kMaxWeightText];
  return std::string(text, format_weight(weight, text));
}

int64_t weight_mean(int64_t total, int64_t count) {
  if (count <= 0) return 0;
  // Half away from zero: |total| / count, plus one when twice the remainder
  // reaches count.  128 bits keep twice the remainder exact.
  const bool negative = total < 0;
  const unsigned __int128 magnitude =
      negative ? static_cast<unsigned __int128>(-(static_cast<__int128>(total))) : static_cast<unsigned __int128>(total);
  const auto n = static_cast<unsigned __int128>(count);
  unsigned __int128 q = magnitude / n;
  if (2 * (magnitude % n) >= n) ++q;
  const auto mean = static_cast<int64_t>(q);
  return negative ? -mean : mean;
}

std::string_view los_class_name(LosClass los_class) {
  switch (los_class) {
    case LosClass::kNone: return "";
    case LosClass::kInlier: return "inlier";
    case LosClass::kLow: return "low";
    case LosClass::kHigh: return "high";
  }
  return "";
}

}  // namespace episode_grouper
