// The I/O floor: what a run costs that only splits the episode lines as the
// grouper does and writes a 300-character result line per record (the head
// upper-cased, constant result fields), with no tables.  The yardstick the
// grouper's own runs are measured against, side by side in one run.
//
//   io_floor INPUT OUTPUT
#include <cstdio>
#include <string_view>

#include "driver/line_reader.h"
#include "driver/output_file.h"
#include "grouper/record_layout.h"
#include "grouper/result_line.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: io_floor INPUT OUTPUT\n", stderr);
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  if (!in) {
    std::perror(argv[1]);
    return 1;
  }
  grouper::OutputFile out(std::fopen(argv[2], "wb"));
  if (!out.is_open()) {
    std::perror(argv[2]);
    return 1;
  }
  grouper::LineReader reader(in);
  char line[grouper::kLineBufferSize];
  char result[grouper::kMaxResultLineBytes];
  while (size_t len = reader.next(line)) {
    for (size_t i = 0; i < len && i < grouper::kHeadWidth; ++i) {
      if (line[i] >= 'a' && line[i] <= 'z') line[i] = static_cast<char>(line[i] - 'a' + 'A');
    }
    out.write({result, grouper::format_result_line(line, len, "0000", "0000", result)});
  }
  std::fclose(in);
  return out.close() && !reader.failed() ? 0 : 1;
}
