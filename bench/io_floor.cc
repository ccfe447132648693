// The I/O floor: what a run costs that only splits the episode lines as the
// grouper does and writes a 300-character result line per record (the head
// upper-cased, constant result fields), with no tables.  It reads and writes
// through the same blocks as the grouper's batch run, so that the grouper's
// runs can be measured against it, side by side in one run.
//
//   io_floor INPUT OUTPUT
#include <cstdio>
#include <memory>
#include <string_view>

#include "batch/block_pipeline.h"
#include "batch/line_reader.h"
#include "batch/output_file.h"
#include "output/result_line.h"
#include "record/record_layout.h"

int main(int argc, char** argv) {
  using namespace grouper;
  if (argc != 3) {
    std::fputs("usage: io_floor INPUT OUTPUT\n", stderr);
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  if (!in) {
    std::perror(argv[1]);
    return 1;
  }
  OutputFile out(std::fopen(argv[2], "wb"));
  if (!out.is_open()) {
    std::perror(argv[2]);
    return 1;
  }
  LineReader reader(in, kPipelineBlockBytes);
  RecordBlock block(kPipelineBlockBytes);
  std::unique_ptr<char[]> lines(new char[kPipelineRecords * kMaxResultLineBytes]);
  while (reader.read_block(block, kPipelineRecords) > 0) {
    size_t used = 0;
    for (size_t i = 0; i < block.count(); ++i) {
      char* line = block.record_data(i);
      const size_t len = block.record(i).size();
      for (size_t k = 0; k < len && k < kHeadWidth; ++k) {
        if (line[k] >= 'a' && line[k] <= 'z') line[k] = static_cast<char>(line[k] - 'a' + 'A');
      }
      used += format_result_line(line, len, "0000", "0000", lines.get() + used);
    }
    out.write({lines.get(), used});
  }
  std::fclose(in);
  return out.close() && !reader.failed() ? 0 : 1;
}
