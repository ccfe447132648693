// Usage: consumer TABLE_DIR INPUT
// Groups every record of INPUT with the table set of TABLE_DIR and writes
// the result lines to standard output, as the program writes tamv30.out.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "episode_grouper/grouper.h"
#include "episode_grouper/line_splitter.h"
#include "episode_grouper/table_set.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s TABLE_DIR INPUT\n", argv[0]);
    return 2;
  }
  episode_grouper::Status error;
  auto tables = episode_grouper::TableSet::open(argv[1], error);
  if (!tables) {
    std::fprintf(stderr, "%s: %s\n", episode_grouper::kind_name(error.kind), error.message.c_str());
    return 1;
  }
  std::ifstream in(argv[2], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  episode_grouper::Grouper grouper(tables);
  std::string_view record;
  for (episode_grouper::LineSplitter split(input); split.next(record);) {
    grouper.group(record);
    const std::string line = grouper.result_line();
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
