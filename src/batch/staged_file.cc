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

namespace {

// /dev/stdout, /dev/stderr, /dev/fd/N and /proc/PID/fd/N name a stream the
// caller holds open, not a file to replace.
bool names_descriptor(const std::filesystem::path& target) {
  const std::string text = std::filesystem::absolute(target).lexically_normal().string();
  if (text == "/dev/stdout" || text == "/dev/stderr" || text.starts_with("/dev/fd/")) return true;
  return text.starts_with("/proc/") && text.find("/fd/") != std::string::npos;
}

}  // namespace

StagedFile::StagedFile(std::filesystem::path target) : target_(std::move(target)) {
  struct stat st {};
  const bool special = ::stat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
  if (special || names_descriptor(target_)) {
    path_ = target_;
    return;
  }
  // A link is followed: the file it names is replaced, never the link (which
  // may well be a system's, like /dev/stdout run as root).
  struct stat lst {};
  if (::lstat(target_.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
    std::error_code ec;
    std::filesystem::path real = std::filesystem::weakly_canonical(target_, ec);
    if (!ec) target_ = std::move(real);
  }
  path_ = target_.string() + ".partial-" + std::to_string(::getpid());
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
