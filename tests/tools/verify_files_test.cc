// verify on table files: exit status 0 / 1 / 2, the reason a set cannot be
// read, and no crash on truncated or random files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "generate_random.h"
#include "generate_tables.h"
#include "support/run_program.h"
#include "tables/load_plan.h"
#include "tables/table_loader.h"
#include "tables/table_writer.h"
#include "verify_run.h"

namespace grouper::tools {
namespace {

namespace fs = std::filesystem;
using grouper::testing::fresh_dir;
using grouper::testing::read_file;
using grouper::testing::write_file;

fs::path sound_set(const std::string& name) {
  fs::path dir = fresh_dir(name);
  std::string error;
  if (!write_tables(generate_tables(*find_profile("small"), 3).tables, dir, error)) ADD_FAILURE() << error;
  return dir;
}

struct Outcome {
  int rc;
  std::string out;
};
Outcome verify(const fs::path& dir, VerifyOptions options = {}) {
  Outcome o;
  o.rc = verify_table_set(dir, options, o.out);
  return o;
}

// Copies the files of `from` over those of `to`.
void refresh(const fs::path& from, const fs::path& to) {
  for (const auto& entry : fs::directory_iterator(from)) {
    fs::copy_file(entry.path(), to / entry.path().filename(), fs::copy_options::overwrite_existing);
  }
}

bool loads(const fs::path& dir) {
  TableStore s;
  std::string messages;
  return load_tables(dir, s, messages) == kLoadOk;
}

TEST(VerifyFiles, SoundSetIsSilentAndExitsZero) {
  fs::path dir = sound_set("verify-sound");
  Outcome o = verify(dir);
  EXPECT_EQ(o.rc, kVerifyClean);
  EXPECT_EQ(o.out, "");
  Outcome v = verify(dir, {.verbose = true});
  EXPECT_EQ(v.rc, kVerifyClean);
  EXPECT_NE(v.out.find(": clean ("), std::string::npos) << v.out;
}

TEST(VerifyFiles, ProblemsExitOneWithFileArrayAndIndex) {
  fs::path dir = sound_set("verify-broken");
  std::string bytes = read_file(dir / "Tcond.idx");
  bytes[100 + 790] = 't';  // cond_type of the logic condition 790
  write_file(dir / "Tcond.idx", bytes);
  Outcome o = verify(dir);
  EXPECT_EQ(o.rc, kVerifyProblems);
  EXPECT_NE(o.out.find("stops the run:\n  Tcond.idx cond_type[790]: is \"t\" where a built-in logic"),
            std::string::npos)
      << o.out;
}

// ---- sets that cannot be read

TEST(VerifyFiles, MissingFileCannotBeRead) {
  fs::path dir = sound_set("verify-missing");
  fs::remove(dir / "Tccl");
  Outcome o = verify(dir);
  EXPECT_EQ(o.rc, kVerifyUnreadable);
  EXPECT_NE(o.out.find("cannot be read: Tccl: cannot be opened"), std::string::npos) << o.out;
}

TEST(VerifyFiles, CountMismatchNamesBothCounts) {
  fs::path dir = sound_set("verify-counts");
  std::string bytes = read_file(dir / "Tcode");
  bytes.replace(10, 10, "0000000001");  // procedure key count
  write_file(dir / "Tcode", bytes);
  Outcome o = verify(dir);
  EXPECT_EQ(o.rc, kVerifyUnreadable);
  EXPECT_NE(o.out.find("Tcode: count field 1 (code_sg_key_cnt) is 1 but sg_cnt is"), std::string::npos) << o.out;
}

TEST(VerifyFiles, ShortArrayNamesTheArray) {
  fs::path dir = sound_set("verify-short");
  std::string bytes = read_file(dir / "adrg_ltcdrg");
  write_file(dir / "adrg_ltcdrg", bytes.substr(0, bytes.size() - 1));
  Outcome o = verify(dir);
  EXPECT_EQ(o.rc, kVerifyUnreadable);
  EXPECT_NE(o.out.find("adrg_ltcdrg: ltcdrg_ast needs"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("loader said: ltcdrg_ast read error \n"), std::string::npos) << o.out;
}

// ---- any bytes

// Every file cut at a handful of lengths: the set is unreadable exactly when
// the loader refuses it, and verify always comes back.
TEST(VerifyFiles, TruncatedFilesNeverCrash) {
  const fs::path dir = sound_set("verify-trunc");
  for (const FileSpec& file_spec : load_plan()) {
    const std::string name(file_spec.name);
    const std::string bytes = read_file(dir / name);
    for (size_t len : {size_t{0}, size_t{57}, size_t{99}, size_t{100}, bytes.size() / 3, bytes.size() / 2,
                       bytes.size() - 1}) {
      write_file(dir / name, bytes.substr(0, std::min(len, bytes.size())));
      Outcome o = verify(dir);
      EXPECT_EQ(o.rc == kVerifyUnreadable, !loads(dir)) << name << " cut at " << len << "\n" << o.out;
      if (o.rc == kVerifyUnreadable) {
        EXPECT_NE(o.out.find("cannot be read: " + name), std::string::npos) << o.out;
      }
    }
    write_file(dir / name, bytes);
  }
}

// Random files in place of each file, some with a header whose counts fit
// the random body so that the loader accepts it and every check runs.
TEST(VerifyFiles, RandomFilesNeverCrash) {
  const fs::path sound = sound_set("verify-random-src");
  const fs::path dir = fresh_dir("verify-random");
  Rng rng(2024);
  int read_sets = 0;
  for (int round = 0; round < 40; ++round) {
    refresh(sound, dir);
    for (const FileSpec& file_spec : load_plan()) {
      if (!rng.percent(round % 2 == 0 ? 100 : 30)) continue;
      std::string bytes(rng.below(3000), '\0');
      for (char& c : bytes) c = static_cast<char>(rng.below(256));
      if (rng.percent(70) && bytes.size() >= kHeaderSize) {
        // A header of small counts, so that the random body can be long enough.
        for (size_t f = 0; f < file_spec.counts.size(); ++f) {
          std::string field = std::to_string(rng.below(40));
          field.resize(kCountFieldWidth, ' ');
          bytes.replace(f * kCountFieldWidth, kCountFieldWidth, field);
        }
      }
      write_file(dir / std::string(file_spec.name), bytes);
    }
    Outcome o = verify(dir, {.cap = 3});
    EXPECT_EQ(o.rc == kVerifyUnreadable, !loads(dir)) << o.out;
    if (o.rc != kVerifyUnreadable) ++read_sets;
  }
  SUCCEED() << read_sets << " random sets were read and checked";
}

// Headers kept, every array filled with random bytes: such sets load, and
// verify finds problems in them without reading outside any array.
TEST(VerifyFiles, RandomContentsBehindSoundHeadersAreReported) {
  const fs::path sound = sound_set("verify-garbage-src");
  const fs::path dir = fresh_dir("verify-garbage");
  Rng rng(77);
  for (int round = 0; round < 8; ++round) {
    refresh(sound, dir);
    for (const FileSpec& file_spec : load_plan()) {
      std::string bytes = read_file(sound / std::string(file_spec.name));
      for (size_t i = kHeaderSize; i < bytes.size(); ++i) bytes[i] = static_cast<char>(rng.below(256));
      write_file(dir / std::string(file_spec.name), bytes);
    }
    Outcome o = verify(dir, {.cap = 2});
    EXPECT_EQ(o.rc, kVerifyProblems) << o.out;
    EXPECT_NE(o.out.find("outside a table:\n"), std::string::npos) << o.out;
  }
}

// ---- the command

TEST(VerifyCommand, ExitStatusTellsCleanProblemsAndUnreadable) {
  const std::string tool = GROUPER_TABLES_BINARY;
  fs::path dir = sound_set("verify-cmd");
  auto run = [&](const std::string& args) { return grouper::testing::run_program(tool, dir, args); };
  EXPECT_EQ(run("verify .").exit_code, 0);
  EXPECT_EQ(run("verify").exit_code, 0);  // the current directory
  std::string bytes = read_file(dir / "Tdx.idx");
  bytes[100 + 5 * 3] = 'a';  // lower case in dx_code row 3
  write_file(dir / "Tdx.idx", bytes);
  auto broken = run("verify --max 1 .");
  EXPECT_EQ(broken.exit_code, 1);
  EXPECT_NE(broken.out.find("Tdx.idx dx_code[3]"), std::string::npos) << broken.out;
  fs::remove(dir / "Tdx.idx");
  EXPECT_EQ(run("verify .").exit_code, 2);
  EXPECT_EQ(run("verify --bogus .").exit_code, 2);
}

}  // namespace
}  // namespace grouper::tools
