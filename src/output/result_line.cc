#include "output/result_line.h"

#include <array>
#include <cstring>

#include "episode_grouper/episode.h"

namespace grouper {
namespace {

constexpr std::string_view kNoGroup = "0000";
constexpr size_t kCodeWidth4 = 4;
constexpr size_t kDateWidth = 8;

// The grouper date as the digits every result line carries.  plain:
// format_digits per line; not measured on its own.
constexpr std::array<char, kDateWidth> kGrouperDateText = [] {
  std::array<char, kDateWidth> text{};
  int32_t value = kGrouperDate;
  for (size_t i = kDateWidth; i-- > 0; value /= 10) text[i] = static_cast<char>('0' + value % 10);
  return text;
}();

}  // namespace

std::string_view code_text(const char* code, size_t width) {
  const void* nul = std::memchr(code, '\0', width);
  return {code, nul ? static_cast<size_t>(static_cast<const char*>(nul) - code) : width};
}

std::string_view adrg_text(const TableStore& tables, int16_t res_adrg) {
  if (res_adrg <= 0 || static_cast<size_t>(res_adrg) >= tables.adrg_code.size()) return kNoGroup;
  return code_text(tables.adrg_code[static_cast<size_t>(res_adrg)].data(), kCodeWidth4);
}

std::string_view supplementary_text(const Result& result) {
  return code_text(result.res_ltcdrg_code.data(), kCodeWidth4);
}

size_t format_result_line(const char* line, size_t len, std::string_view adrg, std::string_view supplementary,
                          char* out) {
  char* p = out;
  if (len >= kHeadWidth) {
    // A copy of known size, for nearly every line.  plain: memcpy(p, line,
    // min(len, kHeadWidth)); not measured on its own.
    std::memcpy(p, line, kHeadWidth);
    p += kHeadWidth;
  } else {
    std::memcpy(p, line, len);
    p += len;
  }
  std::memset(p, ' ', kHeadGap);
  p += kHeadGap;
  p = put_bytes(p, adrg.substr(0, kCodeWidth4));
  std::memset(p, ' ', kDateGap);
  p += kDateGap;
  p = put_bytes(p, {kGrouperDateText.data(), kDateWidth});
  p = put_bytes(p, supplementary.substr(0, kCodeWidth4));
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

size_t format_invalid_line(char* record, char* out) {
  for (size_t i = 0; i < episode_grouper::kEpisodeRecordBytes; ++i) {
    if (record[i] >= 'a' && record[i] <= 'z') record[i] = static_cast<char>(record[i] - 'a' + 'A');
  }
  return format_result_line(record, episode_grouper::kEpisodeRecordBytes, "0000", "0000", out);
}

}  // namespace grouper
