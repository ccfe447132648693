// Fuzz target: a table set with one file of the fuzzer's making.
//
// The first byte picks one of the sixteen files of the demo set; the rest of
// the input takes its place.  The set is opened through the public API and
// checked as `grouper-tables verify` checks it, and when it opens, a fixed
// handful of records is grouped over it.  Checks: the loader never reads or
// writes outside an array, whatever the files claim; verify and the API
// agree on what loads and on the logic setting; a broken set still gives
// outputs of the documented layout, and records that do not depend on
// each other.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "episode_grouper/grouper.h"
#include "fuzz_support.h"
#include "verify_run.h"

namespace {

namespace eg = episode_grouper;
using grouper::fuzz::check;

struct Place {
  std::filesystem::path dir;
  std::vector<std::string> records;

  Place() : dir(grouper::fuzz::scratch_dir() / "set") {
    std::filesystem::create_directories(dir);
    for (const auto& [name, bytes] : grouper::fuzz::demo_files()) grouper::fuzz::write_bytes(dir / name, bytes);
    records = grouper::fuzz::demo_episodes(24);
    for (const std::string& odd : grouper::fuzz::odd_records()) records.push_back(odd);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Place place;
  if (size == 0) return 0;
  const auto& files = grouper::fuzz::demo_files();
  const size_t chosen = data[0] % files.size();
  const auto& [name, original] = files[chosen];
  const std::filesystem::path file = place.dir / name;
  grouper::fuzz::write_bytes(file, {reinterpret_cast<const char*>(data) + 1, size - 1});

  std::string report;
  const int verdict = grouper::tools::verify_table_set(place.dir, {}, report);
  eg::Status error;
  const std::shared_ptr<const eg::TableSet> tables = eg::TableSet::open(place.dir, error);
  switch (error.kind) {
    case eg::StatusKind::kOk:
      check(verdict != grouper::tools::kVerifyUnreadable, "verify reads a set that opens");
      break;
    case eg::StatusKind::kLogicSetting:
      check(verdict == grouper::tools::kVerifyProblems, "verify finds the logic setting that stops the open");
      break;
    case eg::StatusKind::kFileFailed:
    case eg::StatusKind::kCountMismatch:
      check(verdict == grouper::tools::kVerifyUnreadable, "verify cannot read a set that does not open");
      // The file itself, or a later one whose count no longer agrees with it.
      check(std::any_of(files.begin() + static_cast<std::ptrdiff_t>(chosen), files.end(),
                        [&](const auto& f) { return f.first == error.file; }),
            "the open names the file that stopped it");
      break;
    default:
      grouper::fuzz::fail("unexpected open error: " + error.message);
  }

  if (tables) {
    eg::Grouper grouper(tables);
    std::string first_line, first_json;
    for (size_t i = 0; i < place.records.size(); ++i) {
      const std::string& record = place.records[i];
      const eg::Result& r = grouper.group(record);
      const std::string line = grouper.result_line();
      grouper::fuzz::check_result_line(record, r, line);
      grouper::fuzz::check_result_row(1, r, grouper.result_row(1));
      const std::string json = grouper.json_row(1);
      grouper::fuzz::check_json_row(1, r, json);
      if (i == 0) {
        first_line = line;
        first_json = json;
      }
    }
    grouper.group(place.records[0]);
    check(grouper.result_line() == first_line && grouper.json_row(1) == first_json,
          "a record groups alike whatever was grouped before it");
  }

  grouper::fuzz::write_bytes(file, original);
  return 0;
}
