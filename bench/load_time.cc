// How long opening a table set takes beside a plain read of its sixteen
// files, in one run: the loader with its checks and everything built once
// per set (normalised rules, code hashes, rule indexes, rows per code)
// against reading the same bytes into memory and nothing else.  Prints the
// best of REPEAT rounds of each (the files stay in the page cache) and the
// ratio.
//
//   load_time DIR [REPEAT]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/prepared/prepared_set.h"
#include "tables/load_plan.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reads every table file whole; returns the bytes read, 0 on a failure.
size_t read_files(const std::filesystem::path& dir, std::vector<char>& buffer) {
  size_t total = 0;
  for (const grouper::FileSpec& file : grouper::load_plan()) {
    std::FILE* f = std::fopen((dir / std::string(file.name)).c_str(), "rb");
    if (!f) return 0;
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) total += got;
    std::fclose(f);
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fputs("usage: load_time DIR [REPEAT]\n", stderr);
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  const int repeat = argc == 3 ? std::max(1, std::atoi(argv[2])) : 20;
  std::vector<char> buffer(size_t{1} << 22);
  double read_best = 1e9, open_best = 1e9;
  size_t bytes = 0;
  for (int r = 0; r < repeat; ++r) {
    auto start = Clock::now();
    bytes = read_files(dir, buffer);
    read_best = std::min(read_best, std::chrono::duration<double>(Clock::now() - start).count());
    if (bytes == 0) {
      std::fprintf(stderr, "load_time: cannot read the table files in %s\n", dir.c_str());
      return 1;
    }
    start = Clock::now();
    std::unique_ptr<const grouper::PreparedSet> set;
    std::string messages;
    if (grouper::open_table_set(dir, set, messages) != grouper::kLoadOk) {
      std::fprintf(stderr, "load_time: the table set in %s does not load: %s", dir.c_str(), messages.c_str());
      return 1;
    }
    open_best = std::min(open_best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::printf("table files %zu bytes: plain read %.2f ms, table set opened %.2f ms, ratio %.2f\n", bytes,
              read_best * 1e3, open_best * 1e3, open_best / read_best);
  return 0;
}
