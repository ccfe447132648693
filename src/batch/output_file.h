// A buffered output file that remembers whether every byte reached it.
//
// Result lines and result-table rows are gathered in one large buffer and
// handed to the file in big blocks.  Any failed write, flush or close makes
// the file `failed()` for good, so the run can report it instead of ending
// as if all went well.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>
#include <vector>

namespace grouper {

class OutputFile {
 public:
  // Takes ownership of `file` (may be null: then nothing can be written).
  explicit OutputFile(std::FILE* file, size_t buffer_size = 1 << 18);
  ~OutputFile();  // closes the file if close() was not called, ignoring errors
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool is_open() const { return file_ != nullptr; }

  // Appends bytes; returns false once a write has failed.
  bool write(std::string_view bytes);
  // Hands the buffer to the file and flushes it.
  bool flush();
  // Flushes and closes; returns false when any write, the flush or the close failed.
  bool close();

  bool failed() const { return failed_; }

 private:
  // Writes n bytes to the file, again what an interrupted write left.
  bool put(const char* data, size_t n);
  bool drain();

  std::FILE* file_;
  std::vector<char> buffer_;
  size_t used_ = 0;
  bool failed_ = false;
};

}  // namespace grouper
