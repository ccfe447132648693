// dump: what the text shows, and sets that the loader refuses.
#include <filesystem>
#include <random>

#include "gtest/gtest.h"
#include "support/run_program.h"
#include "tables/store_compare.h"
#include "text_test_sets.h"

namespace grouper::testing {
namespace {

namespace fs = std::filesystem;

std::string dumped(const TableStore& store, std::string_view file) {
  for (const tools::TextFileSpec& layout : tools::text_layouts()) {
    if (layout.file->name == file) return tools::dump_file_text(store, layout);
  }
  return {};
}

bool has_line(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(TextDump, ShowsCodesBesideIdsAndTheKeyOfEveryRow) {
  const TableStore s = sample_builder().build();
  const std::string dag = dumped(s, "Tdag_ast");
  EXPECT_TRUE(has_line(dag, "row\t(key)\t(key code)\tdag_adpt_fr_dt\tdag_adpt_to_dt\tdag_ast\t(dag_ast code)"));
  EXPECT_TRUE(has_line(dag, "0\t4\tA01\t#0\t99991231\t2\tK350")) << dag;

  const std::string code = dumped(s, "Tcode");
  EXPECT_TRUE(has_line(code, "3\tsg 1\t5-470\tc\t#0\t99991231\t12")) << code;
  EXPECT_TRUE(has_line(code, "1\tdx 1\tK35\tc\t20000101\t20041231\t11")) << code;

  const std::string rules = dumped(s, "Tadrg1");
  EXPECT_TRUE(has_line(rules, "1\t2\t06\t19990101\t20061231\t10 12\t0 790\t2\t06\t1\tG07")) << rules;

  const std::string ast = dumped(s, "adrg_ltcdrg");
  EXPECT_TRUE(has_line(ast, "2\tG08\t0\t3")) << ast;                       // a first row of 0: no rows
  EXPECT_TRUE(has_line(ast, "1\t1\tG07\t#0\t99991231\t3\tLT03")) << ast;
  EXPECT_TRUE(has_line(ast, "0\t\t\t#0\t#0\t0\t")) << ast;                  // the placeholder row

  const std::string ccl = dumped(s, "Tccl");
  EXPECT_TRUE(has_line(ccl, "@matrix\tccl_adrg_cnt=3")) << ccl;
  EXPECT_TRUE(has_line(ccl, "1\t020")) << ccl;
}

TEST(TextDump, ARowInSeveralRangesShowsTheFirstKeyAndOutOfRangeIdsShowNoCode) {
  TableStore s = sample_builder().build();
  s.dag_ast_fr = {0, -5, 0, 0, 0};
  s.dag_ast_to = {0, 9, 0, 0, 1};
  s.dag_ast = {-1};
  const std::string dag = dumped(s, "Tdag_ast");
  EXPECT_TRUE(has_line(dag, "0\t1\tK35\t#0\t99991231\t-1\t")) << dag;
}

TEST(TextDump, RefusesWhatTheLoaderRefusesAndWritesNothing) {
  const fs::path dir = fresh_dir("dump-refused");
  write_set(sample_builder().build(), dir / "set");
  fs::remove(dir / "set" / "Tpccl");
  std::string message;
  EXPECT_EQ(tools::dump_table_set(dir / "set", dir / "text", message), tools::kExitRefused);
  EXPECT_NE(message.find("(load result -1)"), std::string::npos) << message;
  EXPECT_FALSE(fs::exists(dir / "text"));

  write_set(sample_builder().build(), dir / "set");
  fs::resize_file(dir / "set" / "adrg_ltcdrg", fs::file_size(dir / "set" / "adrg_ltcdrg") - 1);
  EXPECT_EQ(tools::dump_table_set(dir / "set", dir / "text", message), tools::kExitRefused);
  EXPECT_NE(message.find("ltcdrg_ast read error \n"), std::string::npos) << message;

  write_set(sample_builder().build(), dir / "set");
  std::string tpccl = read_file(dir / "set" / "Tpccl");
  tpccl.replace(0, 10, "0000000001");
  write_file(dir / "set" / "Tpccl", tpccl);
  EXPECT_EQ(tools::dump_table_set(dir / "set", dir / "text", message), tools::kExitRefused);
  EXPECT_NE(message.find("(load result -2)"), std::string::npos) << message;
  EXPECT_FALSE(fs::exists(dir / "text"));
}

TEST(TextDump, SurvivesEveryTruncationOfEveryFile) {
  const fs::path dir = fresh_dir("dump-truncated");
  write_set(sample_builder().build(), dir / "set");
  for (const FileSpec& f : load_plan()) {
    const std::string whole = read_file(dir / "set" / f.name);
    for (size_t size : {size_t{0}, size_t{50}, size_t{99}, size_t{100}, size_t{101}, whole.size() / 2,
                        whole.size() - 1}) {
      if (size >= whole.size()) continue;
      write_file(dir / "set" / f.name, whole.substr(0, size));
      std::string message;
      int rc = tools::dump_table_set(dir / "set", dir / "text", message);
      EXPECT_EQ(rc, tools::kExitRefused) << f.name << " cut to " << size;
      EXPECT_FALSE(fs::exists(dir / "text")) << f.name << " cut to " << size;
    }
    write_file(dir / "set" / f.name, whole);
  }
}

// Random bytes; every other set has the same small count in every field and
// room for its arrays, so that the loader accepts it and its random
// contents are dumped.  Whatever the loader accepts dumps and builds back;
// whatever it refuses, dump refuses.
TEST(TextDump, SurvivesRandomFiles) {
  const fs::path dir = fresh_dir("dump-random");
  std::mt19937 rng(20050515);
  int accepted = 0;
  for (int trial = 0; trial < 40; ++trial) {
    fs::remove_all(dir);
    fs::create_directories(dir / "set");
    const bool loadable = trial % 2 == 0;
    const std::string count = std::to_string(rng() % 4);
    for (const FileSpec& f : load_plan()) {
      std::string bytes(kHeaderSize + (loadable ? 200 : 0) + rng() % 300, '\0');
      for (char& c : bytes) c = static_cast<char>(rng());
      for (size_t field = 0; loadable && field < 4; ++field) {
        bytes.replace(field * kCountFieldWidth, kCountFieldWidth, std::string(10 - count.size(), ' ') + count);
      }
      write_file(dir / "set" / f.name, bytes);
    }
    TableStore store;
    std::string messages;
    int load_rc = load_tables(dir / "set", store, messages);
    RoundTrip r = round_trip(dir / "set", dir / "text", dir / "out");
    if (load_rc != kLoadOk) {
      EXPECT_EQ(r.dump_rc, tools::kExitRefused);
      continue;
    }
    ++accepted;
    ASSERT_EQ(r.dump_rc, 0) << r.dump_message;
    ASSERT_EQ(r.build_rc, 0) << r.build_message;
    TableStore rebuilt;
    ASSERT_EQ(load_tables(dir / "out", rebuilt, messages), kLoadOk);
    EXPECT_TRUE(SameStore(rebuilt, store));
  }
  EXPECT_GE(accepted, 20);
}

}  // namespace
}  // namespace grouper::testing
