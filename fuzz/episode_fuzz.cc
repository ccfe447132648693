// Fuzz target: episodes as named fields, from JSON and from records.
//
// The first byte chooses the form of the rest.  Even: the rest is a JSON
// episode; an episode that builds reads back from its record into an
// episode that builds the very same record, and one that does not has rows
// within their bounds, the JSON one a strict object.  Odd: the rest is a
// record; a record that reads back builds a record that reads back into the
// same episode.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "episode/episode_json.h"
#include "episode_grouper/episode.h"
#include "fuzz_support.h"
#include "output/result_json.h"
#include "output/result_table.h"

namespace {

namespace eg = episode_grouper;
using grouper::fuzz::check;

void rows_of_invalid(const eg::Episode& e, const eg::FieldErrors& errors) {
  const std::string_view id = e.id;
  char tsv[grouper::kMaxResultRowBytes];
  const size_t n = grouper::format_invalid_row(1, &id, errors, true, tsv);
  check(n <= sizeof tsv && n > 0 && tsv[n - 1] == '\n', "an invalid row stays within its bound");
  check(std::string_view(tsv, n - 1).find('\n') == std::string_view::npos, "an invalid row is one line");
  char json[grouper::kMaxJsonRowBytes];
  const size_t m = grouper::format_json_invalid_row(1, &id, errors, true, json);
  check(m <= sizeof json, "an invalid JSON row stays within its bound");
  check(nlohmann::json::accept(std::string_view(json, m)), "an invalid JSON row is JSON");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  eg::Episode e, again;
  eg::FieldErrors errors;
  char record[eg::kEpisodeRecordBytes];
  char rebuilt[eg::kEpisodeRecordBytes];
  if (data[0] % 2 == 0) {
    grouper::episode_from_json_text(rest, e, errors);
    if (!eg::build_record(e, record, errors)) {
      check(!errors.empty(), "a record not built has its errors");
      rows_of_invalid(e, errors);
      return 0;
    }
    check(eg::read_record(std::string_view(record, sizeof record), again, errors), "a built record reads back");
    check(eg::build_record(again, rebuilt, errors), "a record read back builds");
    check(std::string_view(record, sizeof record) == std::string_view(rebuilt, sizeof rebuilt),
          "an episode read back builds the same record");
  } else {
    if (!eg::read_record(rest, e, errors)) {
      check(!errors.empty(), "a record not read has its errors");
      rows_of_invalid(e, errors);
      return 0;
    }
    check(eg::build_record(e, record, errors), "an episode read builds");
    check(eg::read_record(std::string_view(record, sizeof record), again, errors), "a built record reads back");
    check(again == e, "a record read back gives the same episode");
  }
  return 0;
}
