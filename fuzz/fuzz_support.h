// What the fuzz targets share: the demo table set (the small generated set
// of seed 2005) in memory and on disk, episode lines for it, odd records,
// checks of the result writers' promises, and a strict reader of JSON rows.
//
// A target that finds a broken promise stops the run through fail(), so
// that the fuzzer keeps the input as a crash.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "episode_grouper/grouper.h"
#include "generate_tables.h"

namespace grouper::fuzz {

[[noreturn]] void fail(const std::string& what);
inline void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

// The demo set, made once.
const tools::SyntheticSet& demo_set();
// Its sixteen table files, in load order (name, bytes).
const std::vector<std::pair<std::string, std::string>>& demo_files();
// `n` episode lines of the demo set, each with its line feed.
std::vector<std::string> demo_episodes(size_t n);
// Records no generator writes: empty, blanks, lower case, NUL bytes, a
// carriage return, a line feed alone, a line past 4095 bytes.
std::vector<std::string> odd_records();

// A directory of this process, removed at exit; in /dev/shm when there is one.
const std::filesystem::path& scratch_dir();
void write_bytes(const std::filesystem::path& path, std::string_view bytes);

// Checks the classic result line of `record` (as the splitting gives it):
// its head is the record's first 84 bytes with a..z upper-cased, then
// blanks, the ADRG text, blanks, the grouper date, the supplementary text and
// a line feed, as `result` holds them.
void check_result_line(std::string_view record, const episode_grouper::Result& result, std::string_view line);
// Checks a TSV result row and a JSON Lines result row of record number
// `number` against `result`: every field there, every code decoding back to
// the bytes of the result's code text.
void check_result_row(int64_t number, const episode_grouper::Result& result, std::string_view row);
void check_json_row(int64_t number, const episode_grouper::Result& result, std::string_view row);

}  // namespace grouper::fuzz
