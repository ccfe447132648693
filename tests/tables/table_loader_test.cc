// Loading the sixteen table files: count fields, sizes, cross-checks,
// messages, the order of failures, and release.
#include "tables/table_loader.h"

#include <filesystem>
#include <fstream>
#include <string>

#include "gtest/gtest.h"
#include "support/run_program.h"
#include "support/table_builder.h"
#include "support/alloc_probe.h"
#include "tables/load_plan.h"
#include "tables/sample_sets.h"
#include "tables/store_compare.h"
#include "tables/table_writer.h"

namespace grouper {
namespace {

namespace fs = std::filesystem;
using testing::AllocProbe;
using testing::EmptyStore;
using testing::fresh_dir;
using testing::read_file;
using testing::SameStore;
using testing::write_file;

const FileSpec& plan_file(std::string_view name) {
  for (const FileSpec& f : load_plan()) {
    if (f.name == name) return f;
  }
  throw std::invalid_argument("no such table file");
}

// Byte offset of `array` in a file written from `store`.
size_t array_offset(const TableStore& store, const FileSpec& file, std::string_view array) {
  const std::array<uint16_t, 4> counts = file_counts(store, file);
  size_t offset = kHeaderSize;
  for (const ArraySpec& a : file.arrays) {
    if (a.name == array) return offset;
    offset += array_bytes(a, counts);
  }
  throw std::invalid_argument("no such array");
}

void set_count_field(const fs::path& file, int field, std::string_view text10) {
  std::string bytes = read_file(file);
  ASSERT_EQ(text10.size(), kCountFieldWidth);
  bytes.replace(field * kCountFieldWidth, kCountFieldWidth, text10);
  write_file(file, bytes);
}

void truncate_to(const fs::path& file, size_t size) { fs::resize_file(file, size); }

struct Loaded {
  int rc;
  std::string messages;
  TableStore store;
};
Loaded load(const fs::path& dir) {
  Loaded l;
  l.rc = load_tables(dir, l.store, l.messages);
  return l;
}

fs::path sample_set(const std::string& name) {
  fs::path dir = fresh_dir(name);
  testing::sample_builder().write(dir);
  return dir;
}

// ---------------------------------------------------------------------------
// Count fields

uint16_t count_of(std::string_view text10) { return parse_count_field(std::string(text10).c_str()); }

TEST(CountField, ReadsDigitsAfterLeadingWhiteSpaceUpToTheFirstOther) {
  EXPECT_EQ(count_of("0000000000"), 0);
  EXPECT_EQ(count_of("0000000123"), 123);
  EXPECT_EQ(count_of("       123"), 123);
  EXPECT_EQ(count_of("123       "), 123);
  EXPECT_EQ(count_of("123abcdefg"), 123);
  EXPECT_EQ(count_of("\t\n\v\f\r  42"), 42);
  EXPECT_EQ(count_of("+42       "), 42);
  EXPECT_EQ(count_of("          "), 0);
  EXPECT_EQ(count_of("abc       "), 0);
  EXPECT_EQ(count_of("- 5       "), 0);
}

TEST(CountField, NegativeAndLargeValuesKeepTheirLow16Bits) {
  EXPECT_EQ(count_of("-1        "), 65535);
  EXPECT_EQ(count_of("-65535    "), 1);
  EXPECT_EQ(count_of("0000065535"), 65535);
  EXPECT_EQ(count_of("0000065536"), 0);
  EXPECT_EQ(count_of("0000070000"), 70000 - 65536);
  EXPECT_EQ(count_of("4294967297"), 1);  // wraps in 32 bits first
}

TEST(CountField, ANulEndsTheText) {
  EXPECT_EQ(count_of(std::string_view("12\0" "3456789", 10)), 12);
  EXPECT_EQ(count_of(std::string_view("\0" "000000099", 10)), 0);
}

TEST(CountField, TheLoaderConvertsHeaderFieldsSo) {
  const fs::path dir = sample_set("count-field-load");
  const fs::path ltc = dir / "ltc_drg.idx";  // 20 rows, no cross-check
  for (std::string_view field : {"0000000020", "        20", "20        ", "20abcdefgh", "-65516    ",
                                 "0000065556"}) {
    set_count_field(ltc, 0, field);
    Loaded l = load(dir);
    EXPECT_EQ(l.rc, kLoadOk) << field;
    EXPECT_EQ(l.store.ltc_drg_cnt, 20) << field;
    EXPECT_EQ(l.store.ltc_drg_code.size(), 20u) << field;
  }
  set_count_field(ltc, 0, std::string_view("2\0" "00000000", 10));
  EXPECT_EQ(load(dir).store.ltc_drg_cnt, 2);
  set_count_field(ltc, 0, "          ");
  Loaded blank = load(dir);
  EXPECT_EQ(blank.rc, kLoadOk);
  EXPECT_TRUE(blank.store.ltc_drg_code.empty());
}

// ---------------------------------------------------------------------------
// File sizes

TEST(FileSize, HeadersAloneWithAllCountsZeroLoad) {
  const fs::path dir = fresh_dir("headers-only");
  for (const FileSpec& f : load_plan()) write_file(dir / f.name, std::string(10, '0') + std::string(90, ' '));
  Loaded l = load(dir);
  EXPECT_EQ(l.rc, kLoadOk);
  EXPECT_TRUE(EmptyStore(l.store));
}

TEST(FileSize, A99ByteHeaderFailsInEveryFile) {
  const fs::path dir = fresh_dir("short-header");
  for (const FileSpec& f : load_plan()) write_file(dir / f.name, std::string(10, '0') + std::string(90, ' '));
  for (const FileSpec& f : load_plan()) {
    truncate_to(dir / f.name, 99);
    EXPECT_EQ(load(dir).rc, kLoadFailed) << f.name;
    truncate_to(dir / f.name, 100);
  }
}

TEST(FileSize, BytesAfterTheLastArrayAreIgnored) {
  const fs::path dir = sample_set("trailing-bytes");
  for (const FileSpec& f : load_plan()) {
    std::ofstream(dir / f.name, std::ios::binary | std::ios::app) << "trailing junk\n";
  }
  Loaded l = load(dir);
  ASSERT_EQ(l.rc, kLoadOk);
  EXPECT_TRUE(SameStore(l.store, testing::sample_builder().build()));
}

TEST(FileSize, EveryArrayCutShortFails) {
  const TableStore store = testing::sample_builder().build();
  const fs::path dir = fresh_dir("cut-arrays");
  std::string error;
  ASSERT_TRUE(write_tables(store, dir, error)) << error;
  for (const FileSpec& f : load_plan()) {
    const std::string whole = read_file(dir / f.name);
    for (const ArraySpec& a : f.arrays) {
      if (a.bytes(store).empty()) continue;
      size_t end = array_offset(store, f, a.name) + a.bytes(store).size();
      truncate_to(dir / f.name, end - 1);
      EXPECT_EQ(load(dir).rc, kLoadFailed) << f.name << " " << a.name;
      truncate_to(dir / f.name, end);
      EXPECT_EQ(load(dir).rc, f.arrays.back().name == a.name ? kLoadOk : kLoadFailed) << f.name << " " << a.name;
      write_file(dir / f.name, whole);
    }
  }
}

TEST(FileSize, AMatrixOfZeroByteRecordsIsShortUnlessItHasNoRecords) {
  TableStore s = testing::TableBuilder().build();
  // No ADRG at all: the Tccl ADRG count must then be 0 too.
  s.adrg_code.clear();
  s.adrg_split_fr.clear();
  s.adrg_split_to.clear();
  s.ccl_matrix.clear();
  derive_counts(s);
  s.ccl_adrg_cnt = 0;
  s.ccl_col_cnt = 3;
  const fs::path dir = fresh_dir("zero-byte-records");
  std::string error;
  ASSERT_TRUE(write_tables(s, dir, error)) << error;
  Loaded three_columns = load(dir);
  EXPECT_EQ(three_columns.rc, kLoadFailed);
  EXPECT_EQ(three_columns.messages, "");

  s.ccl_col_cnt = 0;
  ASSERT_TRUE(write_tables(s, dir, error)) << error;
  Loaded none = load(dir);
  EXPECT_EQ(none.rc, kLoadOk);
  EXPECT_EQ(none.store.ccl_adrg_cnt, 0);
}

TEST(FileSize, AHugeCountInATinyFileFailsWithoutAllocatingWhatItClaims) {
  const fs::path dir = sample_set("huge-claims");
  for (const FileSpec& f : load_plan()) {
    const std::string whole = read_file(dir / f.name);
    for (size_t field = 0; field < f.counts.size(); ++field) {
      bool checked = false;
      for (const CrossCheck& c : f.cross_checks) checked |= c.field == field;
      if (checked) continue;
      set_count_field(dir / f.name, static_cast<int>(field), "0000065535");
      truncate_to(dir / f.name, kHeaderSize + 10);
      size_t largest;
      int rc;
      {
        AllocProbe probe;
        TableStore store;
        std::string messages;
        rc = load_tables(dir, store, messages);
        largest = probe.largest();
      }
      EXPECT_EQ(rc, kLoadFailed) << f.name << " field " << field;
      EXPECT_LT(largest, 64u * 1024) << f.name << " field " << field;
      write_file(dir / f.name, whole);
    }
  }
}

// ---------------------------------------------------------------------------
// Cross-checks

TEST(CrossCheck, EveryCheckedCountThatDisagreesGivesMinus2BeforeItsArraysExist) {
  const fs::path dir = sample_set("cross-checks");
  int checks = 0;
  for (const FileSpec& f : load_plan()) {
    const std::string whole = read_file(dir / f.name);
    for (const CrossCheck& c : f.cross_checks) {
      ++checks;
      Loaded good = load(dir);
      ASSERT_EQ(good.rc, kLoadOk);
      char field[kCountFieldWidth + 1];
      std::snprintf(field, sizeof field, "%010u", static_cast<unsigned>(c.earlier(good.store) + 1));
      set_count_field(dir / f.name, c.field, field);
      Loaded l = load(dir);
      EXPECT_EQ(l.rc, kLoadCountMismatch) << f.name << " field " << int{c.field};
      for (const ArraySpec& a : f.arrays) EXPECT_TRUE(a.bytes(l.store).empty()) << f.name << " " << a.name;
      write_file(dir / f.name, whole);
    }
  }
  EXPECT_EQ(checks, 8);  // Tdag_ast 1, Tcode 2, Tadrg1 1, Taadrg 1, Tccl 2, Tpccl 1
}

TEST(CrossCheck, TcodeProcedureKeysMustMatchTheProcedureDictionary) {
  const fs::path dir = sample_set("tcode-sg-keys");
  set_count_field(dir / "Tcode", 1, "0000000002");  // the dictionary has 3 rows
  EXPECT_EQ(load(dir).rc, kLoadCountMismatch);
}

TEST(CrossCheck, TadrgMayHaveOtherMdcSlotsThanTmdcButTadrg1MayNot) {
  TableStore s = testing::sample_builder().build();
  s.tadrg.mdc_rule_fr.push_back(0);
  s.tadrg.mdc_rule_to.push_back(0);
  derive_counts(s);
  const fs::path dir = fresh_dir("mdc-slots");
  std::string error;
  ASSERT_TRUE(write_tables(s, dir, error)) << error;
  Loaded l = load(dir);
  EXPECT_EQ(l.rc, kLoadOk);
  EXPECT_EQ(l.store.tadrg.mdc_slot_cnt, l.store.mdc_cnt + 1);

  s = testing::sample_builder().build();
  s.tadrg1.mdc_rule_fr.push_back(0);
  s.tadrg1.mdc_rule_to.push_back(0);
  derive_counts(s);
  ASSERT_TRUE(write_tables(s, dir, error)) << error;
  EXPECT_EQ(load(dir).rc, kLoadCountMismatch);
}

TEST(CrossCheck, TcceditAndAdrgLtcdrgKeysAreNotCompared) {
  TableStore s = testing::sample_builder().build();
  s.ccx_fr.resize(s.ccx_fr.size() + 2);
  s.ccx_to.resize(s.ccx_to.size() + 2);
  s.adrg_ast_fr.pop_back();
  s.adrg_ast_to.pop_back();
  derive_counts(s);
  const fs::path dir = fresh_dir("uncompared-keys");
  std::string error;
  ASSERT_TRUE(write_tables(s, dir, error)) << error;
  Loaded l = load(dir);
  EXPECT_EQ(l.rc, kLoadOk);
  EXPECT_EQ(l.store.ccx_cnt, l.store.dx_cnt + 2);
  EXPECT_EQ(l.store.adrg_ast_cnt, l.store.adrg_cnt - 1);
}

// ---------------------------------------------------------------------------
// Messages

TEST(Messages, EachShortArrayOfTheSupplementaryFilesHasItsOwn) {
  const TableStore store = testing::sample_builder().build();
  const fs::path dir = fresh_dir("short-messages");
  std::string error;
  ASSERT_TRUE(write_tables(store, dir, error)) << error;
  struct Expected {
    std::string_view file, array, message;
  };
  const Expected expected[] = {
      {"ltc_drg.idx", "ltc_drg_code", "ltc_drg code read error \n"},
      {"ltc_drg.idx", "ltc_drg_idx", "ltc_drg idx read error \n"},
      {"adrg_ltcdrg", "adrg_ast_fr", "adrg_ast_fr read error \n"},
      {"adrg_ltcdrg", "adrg_ast_to", "adrg_ast_to read error \n"},
      {"adrg_ltcdrg", "ast_adpt_fr_dt", "ast_adpt_fr_dt read error \n"},
      {"adrg_ltcdrg", "ast_adpt_to_dt", "ast_adpt_to_dt read error \n"},
      {"adrg_ltcdrg", "ltcdrg_ast", "ltcdrg_ast read error \n"},
  };
  for (const auto& [file, array, message] : expected) {
    const FileSpec& f = plan_file(file);
    const std::string whole = read_file(dir / f.name);
    truncate_to(dir / f.name, array_offset(store, f, array) + 1);
    Loaded l = load(dir);
    EXPECT_EQ(l.rc, kLoadFailed) << array;
    EXPECT_EQ(l.messages, message);
    write_file(dir / f.name, whole);
  }
}

TEST(Messages, OtherFailuresPrintNothing) {
  const fs::path dir = sample_set("silent-failures");
  truncate_to(dir / "Tccedit", kHeaderSize + 1);
  EXPECT_EQ(load(dir).messages, "");
  testing::sample_builder().write(dir);
  fs::remove(dir / "ltc_drg.idx");
  Loaded missing = load(dir);
  EXPECT_EQ(missing.rc, kLoadFailed);
  EXPECT_EQ(missing.messages, "");
}

TEST(Messages, FailedAllocationsOfTheSupplementaryFilesAreNamed) {
  testing::TableBuilder big_codes = testing::sample_builder();
  big_codes.ltc_code(4999, "ZZZZ");  // 20000 bytes of codes
  const fs::path dir = fresh_dir("alloc-failures");
  big_codes.write(dir);
  {
    AllocProbe probe(16 * 1024);
    TableStore store;
    std::string messages;
    EXPECT_EQ(load_tables(dir, store, messages), kLoadFailed);
    EXPECT_EQ(messages, "ltc_drg malloc error \n");
  }

  testing::TableBuilder many_rows = testing::sample_builder();
  for (int i = 0; i < 5000; ++i) many_rows.ltc_row(1, 3);  // 20000 bytes of dates
  many_rows.write(dir);
  {
    AllocProbe probe(16 * 1024);
    TableStore store;
    std::string messages;
    EXPECT_EQ(load_tables(dir, store, messages), kLoadFailed);
    EXPECT_EQ(messages, "adrg_ast malloc error \n");
    release_tables(store);
    EXPECT_TRUE(EmptyStore(store));
  }

  testing::TableBuilder big_dictionary;
  for (int i = 0; i < 5000; ++i) big_dictionary.dx(std::to_string(10000 + i));
  big_dictionary.write(dir);
  {
    AllocProbe probe(16 * 1024);
    TableStore store;
    std::string messages;
    EXPECT_EQ(load_tables(dir, store, messages), kLoadFailed);
    EXPECT_EQ(messages, "");
  }
}

// ---------------------------------------------------------------------------
// Order of failures

TEST(FailureOrder, AMissingFileStopsTheLoadBeforeTheFilesAfterIt) {
  const fs::path dir = sample_set("missing-file");
  fs::remove(dir / "Tmdc.idx");                      // file 3
  set_count_field(dir / "Tdag_ast", 0, "0000000099");  // file 6 would give -2
  Loaded l = load(dir);
  EXPECT_EQ(l.rc, kLoadFailed);
  EXPECT_GT(l.store.dx_cnt, 0);  // files 1 and 2 were read
  EXPECT_GT(l.store.sg_cnt, 0);
  EXPECT_EQ(l.store.adrg_cnt, 0);  // files 4 on were not
  EXPECT_EQ(l.store.dag_row_cnt, 0);
  EXPECT_EQ(l.store.cond_cnt, 0);
  EXPECT_EQ(l.store.ltc_drg_cnt, 0);
}

TEST(FailureOrder, ACountMismatchStopsTheLoadBeforeAShortFileAfterIt) {
  const fs::path dir = sample_set("mismatch-first");
  set_count_field(dir / "Taadrg", 0, "0000000099");  // file 11: -2
  truncate_to(dir / "ltc_drg.idx", kHeaderSize + 1);  // file 15 would print a message
  Loaded l = load(dir);
  EXPECT_EQ(l.rc, kLoadCountMismatch);
  EXPECT_EQ(l.messages, "");
  EXPECT_EQ(l.store.ccl_row_cnt, 0);
}

TEST(FailureOrder, ATableFileThatIsADirectoryFails) {
  const fs::path dir = sample_set("directory-file");
  fs::remove(dir / "Tsg.idx");
  fs::create_directory(dir / "Tsg.idx");
  Loaded l = load(dir);
  EXPECT_EQ(l.rc, kLoadFailed);
  EXPECT_EQ(l.store.mdc_cnt, 0);
}

// ---------------------------------------------------------------------------
// Round trip and release

TEST(RoundTrip, WrittenTablesLoadBackAsTheSameStore) {
  for (const testing::TableBuilder& b : {testing::TableBuilder(), testing::sample_builder()}) {
    const TableStore built = b.build();
    const fs::path dir = fresh_dir("round-trip");
    std::string error;
    ASSERT_TRUE(write_tables(built, dir, error)) << error;
    Loaded l = load(dir);
    ASSERT_EQ(l.rc, kLoadOk);
    EXPECT_EQ(l.messages, "");
    EXPECT_TRUE(SameStore(l.store, built));
  }
}

TEST(RoundTrip, TheFileSizesFollowTheCounts) {
  const TableStore s = testing::sample_builder().build();
  const fs::path dir = fresh_dir("file-sizes");
  std::string error;
  ASSERT_TRUE(write_tables(s, dir, error)) << error;
  const size_t d = s.dx_cnt, r = s.code_row_cnt, k = s.sg_cnt;
  EXPECT_EQ(fs::file_size(dir / "Tdx.idx"), 100 + 8 * d);
  EXPECT_EQ(fs::file_size(dir / "Tcode"), 100 + 8 * d + 8 * k + 11 * r);
  EXPECT_EQ(fs::file_size(dir / "Tadrg1"), 100 + 4u * s.tadrg1.mdc_slot_cnt + 52u * s.tadrg1.rule_cnt);
  EXPECT_EQ(fs::file_size(dir / "Tccl"),
            100 + 4 * d + 10u * s.ccl_row_cnt + size_t{s.ccl_col_cnt} * s.ccl_adrg_cnt);
  EXPECT_EQ(read_file(dir / "Tmdc.idx").substr(0, 10), "0000000003");
}

TEST(RoundTrip, AStoreThatWouldNotLoadBackIsRefusedAndAFailedWriteIsReported) {
  TableStore s = testing::sample_builder().build();
  s.ccx_row_cnt = static_cast<uint16_t>(s.ccx_dx.size() + 1);
  std::string error;
  EXPECT_FALSE(write_tables(s, fresh_dir("sizes-disagree"), error));
  EXPECT_EQ(error.rfind("Tccedit: ccx_dx holds ", 0), 0u) << error;

  const TableStore sound = testing::sample_builder().build();
  error.clear();
  EXPECT_FALSE(write_tables(sound, fresh_dir("write-fails") / "no-such-directory", error));
  EXPECT_NE(error.find("Tdx.idx: cannot write"), std::string::npos) << error;
}

TEST(Release, LeavesAnEmptyStoreAfterEveryKindOfLoad) {
  auto released_after = [](const fs::path& dir) {
    Loaded l = load(dir);
    release_tables(l.store);
    EXPECT_EQ(l.store.dx_code.capacity(), 0u);
    return EmptyStore(l.store);
  };
  const fs::path dir = sample_set("release");
  EXPECT_TRUE(released_after(dir));  // a full load

  fs::rename(dir / "Tdx.idx", dir / "Tdx.idx.away");  // the first file fails
  EXPECT_TRUE(released_after(dir));
  fs::rename(dir / "Tdx.idx.away", dir / "Tdx.idx");

  const std::string tcode = read_file(dir / "Tcode");  // a count mismatch
  set_count_field(dir / "Tcode", 0, "0000000001");
  EXPECT_TRUE(released_after(dir));
  write_file(dir / "Tcode", tcode);

  fs::resize_file(dir / "adrg_ltcdrg", fs::file_size(dir / "adrg_ltcdrg") - 1);  // the last array is short
  EXPECT_TRUE(released_after(dir));
}

}  // namespace
}  // namespace grouper
