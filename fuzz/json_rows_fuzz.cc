// Fuzz target: the Python module's group and the JSON Lines writer, through
// the C++ they call.
//
// The first byte n says how many of the next bytes are code bytes: they
// fill, over and over, every code of the demo set's MDC, ADRG, DRG and
// supplementary lists, so that codes hold any bytes at all.  The rest of the
// input is episode lines.  As the module does, each record is grouped, its
// Result kept, and its rows written later from the kept Result with the
// free writers (Result.json_row, Result.result_row).  Checks: those rows are
// the rows the Grouper wrote for the record; every JSON row is one strict
// JSON object whose strings decode (Latin-1) to the very bytes of the codes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "episode_grouper/grouper.h"
#include "episode_grouper/line_splitter.h"
#include "fuzz_support.h"
#include "tables/load_plan.h"
#include "tables/table_writer.h"

namespace {

namespace eg = episode_grouper;
using grouper::fuzz::check;

constexpr size_t kMaxRecords = 64;

template <class Codes>
void fill(Codes& codes, std::string_view bytes, size_t& at) {
  for (auto& code : codes) {
    for (char& c : code) c = bytes[at++ % bytes.size()];
  }
}

struct Place {
  std::filesystem::path dir;
  std::vector<std::string> episodes;

  Place() : dir(grouper::fuzz::scratch_dir() / "codes") {
    std::filesystem::create_directories(dir);
    for (const auto& [name, bytes] : grouper::fuzz::demo_files()) grouper::fuzz::write_bytes(dir / name, bytes);
    episodes = grouper::fuzz::demo_episodes(6);
  }

  // Writes the code lists with `bytes` (the demo set's own when empty).
  void write_codes(std::string_view bytes) const {
    grouper::TableStore store = grouper::fuzz::demo_set().tables;
    if (!bytes.empty()) {
      size_t at = 0;
      fill(store.mdc_code, bytes, at);
      fill(store.adrg_code, bytes, at);
      fill(store.drg_code, bytes, at);
      fill(store.ltc_drg_code, bytes, at);
    }
    for (const grouper::FileSpec& file_spec : grouper::load_plan()) {
      if (file_spec.name != "Tmdc.idx" && file_spec.name != "Tadrg.idx" && file_spec.name != "Taadrg.idx" &&
          file_spec.name != "ltc_drg.idx") {
        continue;
      }
      std::string error;
      grouper::fuzz::write_bytes(dir / file_spec.name, grouper::table_file_image(store, file_spec, error));
    }
  }
};

struct Grouped {
  std::string_view record;
  eg::Result result;  // kept, as the module's Result keeps it
  std::string line, row, json;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Place place;
  if (size == 0) return 0;
  const size_t n = std::min<size_t>(data[0] % 65, size - 1);
  place.write_codes({reinterpret_cast<const char*>(data) + 1, n});
  eg::Status error;
  const auto tables = eg::TableSet::open(place.dir, error);
  check(tables != nullptr, "code bytes never stop a set from opening");

  std::vector<std::string_view> records(place.episodes.begin(), place.episodes.end());
  std::string_view record;
  eg::LineSplitter split({reinterpret_cast<const char*>(data) + 1 + n, size - 1 - n});
  while (records.size() < kMaxRecords && split.next(record)) records.push_back(record);

  eg::Grouper grouper(tables);
  std::vector<Grouped> grouped;
  for (size_t i = 0; i < records.size(); ++i) {
    const int64_t number = static_cast<int64_t>(i) + 1;
    const eg::Result& r = grouper.group(records[i]);
    grouped.push_back({records[i], r, grouper.result_line(), grouper.result_row(number), grouper.json_row(number)});
    grouper::fuzz::check_result_line(records[i], r, grouped.back().line);
    grouper::fuzz::check_json_row(number, r, grouped.back().json);
    grouper::fuzz::check_result_row(number, r, grouped.back().row);
  }
  for (size_t i = 0; i < grouped.size(); ++i) {
    const int64_t number = static_cast<int64_t>(i) + 1;
    char out[eg::kMaxJsonRow];
    check(std::string_view(out, eg::write_json_row(*tables, grouped[i].result, number, out)) == grouped[i].json,
          "the JSON row of a kept result is the Grouper's");
    check(std::string_view(out, eg::write_result_row(*tables, grouped[i].result, number, out)) == grouped[i].row,
          "the result row of a kept result is the Grouper's");
  }
  return 0;
}
