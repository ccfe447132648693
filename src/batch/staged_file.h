// An output file written beside its target and renamed over it only when
// complete, so that a failed run never leaves a file that looks complete.
// A target that exists and is not a regular file (a device, a pipe), or that
// names an open descriptor (/dev/stdout), is written directly; a link is
// followed, so that the file it names is replaced and the link stays.
#pragma once

#include <cstdio>
#include <filesystem>

namespace grouper {

// True when both paths name one file: an existing one (the same inode), or
// one not yet created (the same absolute path).  Writing the second would
// destroy the first.
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b);

class StagedFile {
 public:
  explicit StagedFile(std::filesystem::path target);
  // Removes the staged file unless commit() moved it into place.
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Opens the staged file for writing ("wb"); null on failure.
  std::FILE* open();
  // Moves the staged file over the target; false when that fails.
  bool commit();

 private:
  std::filesystem::path target_;
  std::filesystem::path path_;
  bool committed_ = false;
};

}  // namespace grouper
