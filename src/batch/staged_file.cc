#include "batch/staged_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <system_error>

namespace grouper {

bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat sa {};
  struct stat sb {};
  const bool a_exists = ::stat(a.c_str(), &sa) == 0;
  const bool b_exists = ::stat(b.c_str(), &sb) == 0;
  if (a_exists && b_exists) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  if (a_exists || b_exists) return false;
  std::error_code ec;
  return std::filesystem::absolute(a, ec).lexically_normal() == std::filesystem::absolute(b, ec).lexically_normal();
}

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
