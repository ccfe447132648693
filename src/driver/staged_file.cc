#include "driver/staged_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <system_error>

namespace grouper {

StagedFile::StagedFile(std::filesystem::path target) : target_(std::move(target)) {
  struct stat st {};
  const bool special = ::stat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
  path_ = special ? target_ : std::filesystem::path(target_.string() + ".partial-" + std::to_string(::getpid()));
}

StagedFile::~StagedFile() {
  if (path_ != target_ && !committed_) ::unlink(path_.c_str());
}

std::FILE* StagedFile::open() { return std::fopen(path_.c_str(), "wb"); }

bool StagedFile::commit() {
  committed_ = true;
  if (path_ == target_) return true;
  std::error_code ec;
  std::filesystem::rename(path_, target_, ec);
  if (ec) committed_ = false;
  return !ec;
}

}  // namespace grouper
