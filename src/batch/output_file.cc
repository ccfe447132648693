#include "batch/output_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace grouper {

OutputFile::OutputFile(std::FILE* file, size_t buffer_size)
    : file_(file), buffer_(buffer_size > 0 ? buffer_size : 1) {
  // Our own buffer already makes big blocks; the stream's would copy twice.
  if (file_) std::setvbuf(file_, nullptr, _IONBF, 0);
}

OutputFile::~OutputFile() {
  if (file_) std::fclose(file_);
}

bool OutputFile::put(const char* data, size_t n) {
  size_t done = 0;
  while (done < n && !failed_ && file_) {
    errno = 0;
    done += std::fwrite(data + done, 1, n - done, file_);
    if (done == n) break;
    // An interrupted write is no failure: what it left is written again.
    if (std::ferror(file_) && errno == EINTR) std::clearerr(file_);
    else failed_ = true;
  }
  return !failed_;
}

bool OutputFile::drain() {
  put(buffer_.data(), used_);
  used_ = 0;
  return !failed_;
}

bool OutputFile::write(std::string_view bytes) {
  if (!file_) failed_ = true;
  if (failed_) return false;
  // A block at least as large as the buffer goes to the file as it is.
  if (bytes.size() >= buffer_.size()) {
    return drain() && put(bytes.data(), bytes.size());
  }
  while (!bytes.empty()) {
    if (used_ == buffer_.size() && !drain()) return false;
    const size_t n = std::min(bytes.size(), buffer_.size() - used_);
    std::memcpy(buffer_.data() + used_, bytes.data(), n);
    used_ += n;
    bytes.remove_prefix(n);
  }
  return true;
}

bool OutputFile::flush() {
  if (!file_) return false;
  if (drain() && std::fflush(file_) != 0) failed_ = true;
  return !failed_;
}

bool OutputFile::close() {
  if (!file_) return !failed_;
  flush();
  if (std::fclose(file_) != 0) failed_ = true;
  file_ = nullptr;
  return !failed_;
}

}  // namespace grouper
