#include "driver/output_file.h"

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

bool OutputFile::drain() {
  size_t done = 0;
  while (done < used_ && !failed_ && file_) {
    errno = 0;
    done += std::fwrite(buffer_.data() + done, 1, used_ - done, file_);
    if (done == used_) break;
    // An interrupted write is no failure: what it left is written again.
    if (std::ferror(file_) && errno == EINTR) std::clearerr(file_);
    else failed_ = true;
  }
  used_ = 0;
  return !failed_;
}

bool OutputFile::write(std::string_view bytes) {
  if (!file_) failed_ = true;
  if (failed_) return false;
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
