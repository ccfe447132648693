// Fuzz target: episode lines over the demo set through the library.
//
// The input is split into records as the batch run splits it, and each is
// grouped through the C++ API and the C interface, and explained.  Checks:
// every output keeps its layout; the C interface gives what the C++ API
// gives; the explanation ends in the grouped result; and a record's results
// do not depend on the records grouped before it (the records are grouped
// again in reverse order by the same Grouper).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "episode_grouper/episode_grouper.h"
#include "episode_grouper/explain.h"
#include "episode_grouper/grouper.h"
#include "episode_grouper/line_splitter.h"
#include "fuzz_support.h"

namespace {

namespace eg = episode_grouper;
using grouper::fuzz::check;

constexpr size_t kMaxRecords = 256;

struct Demo {
  std::shared_ptr<const eg::TableSet> tables;
  eg_table_set* c_tables = nullptr;
  eg_grouper* c_grouper = nullptr;

  Demo() {
    const std::filesystem::path dir = grouper::fuzz::scratch_dir() / "demo";
    std::filesystem::create_directories(dir);
    for (const auto& [name, bytes] : grouper::fuzz::demo_files()) grouper::fuzz::write_bytes(dir / name, bytes);
    eg::Status error;
    tables = eg::TableSet::open(dir, error);
    check(tables != nullptr, "the demo set opens");
    check(eg_table_set_open(dir.c_str(), &c_tables) == EG_OK, "the demo set opens through the C interface");
    check(eg_grouper_new(c_tables, &c_grouper) == EG_OK, "a C grouper");
  }
};

struct Outputs {
  std::string line, row, json;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Demo demo;
  static eg::Grouper grouper(demo.tables);

  std::vector<std::string_view> records;
  std::string_view record;
  eg::LineSplitter split({reinterpret_cast<const char*>(data), size});
  while (records.size() < kMaxRecords && split.next(record)) records.push_back(record);

  std::vector<Outputs> first(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    const eg::Result& r = grouper.group(records[i]);
    const int64_t number = static_cast<int64_t>(i) + 1;
    first[i] = {grouper.result_line(), grouper.result_row(number), grouper.json_row(number)};
    grouper::fuzz::check_result_line(records[i], r, first[i].line);
    grouper::fuzz::check_result_row(number, r, first[i].row);
    grouper::fuzz::check_json_row(number, r, first[i].json);

    eg_result c{};
    c.size = sizeof c;
    check(eg_group(demo.c_grouper, records[i].data(), records[i].size(), &c) == EG_OK, "eg_group groups");
    check(std::string(c.result_line, c.result_line_length) == first[i].line, "eg_group gives the C++ result line");
    check(std::string(c.adrg_code) == eg::text_of(r.adrg_code) && c.res_pccl == r.res_pccl &&
              c.res_ltcdrg == r.res_ltcdrg && std::string(c.res_drg_code) == eg::text_of(r.res_drg_code),
          "eg_group gives the C++ result");
    char row[eg::kMaxResultRow];
    check(eg_result_row(demo.c_grouper, number, row, sizeof row) == first[i].row.size() && row == first[i].row,
          "eg_result_row gives the C++ row");

    // The explanation ends in the very result above, and its JSON is one
    // object.
    eg::Result explained;
    const std::string json = eg::explain(*demo.tables, records[i], eg::ExplainFormat::kJson, &explained);
    check(!json.empty() && json.front() == '{' && json.back() == '\n', "explain gives one JSON document");
    check(explained.res_drg_code == r.res_drg_code && explained.res_pccl == r.res_pccl &&
              explained.res_adrg == r.res_adrg && explained.res_ltcdrg == r.res_ltcdrg &&
              explained.code_ids == r.code_ids && explained.findings.count == r.findings.count,
          "explain gives the grouped result");
    check(!eg::explain(*demo.tables, records[i], eg::ExplainFormat::kText).empty(), "explain gives text");
  }

  for (size_t i = records.size(); i-- > 0;) {
    grouper.group(records[i]);
    const int64_t number = static_cast<int64_t>(i) + 1;
    check(grouper.result_line() == first[i].line && grouper.result_row(number) == first[i].row &&
              grouper.json_row(number) == first[i].json,
          "a record groups alike whatever was grouped before it");
  }
  return 0;
}
