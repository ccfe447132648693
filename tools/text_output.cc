// Writing a set of files so that a failure leaves nothing behind: everything
// goes into a fresh directory beside the target first.
#include <unistd.h>

#include <atomic>
#include <fstream>

#include "text_form.h"

namespace grouper::tools {
namespace {

namespace fs = std::filesystem;

// A new, empty directory beside `target`, or "" when none can be made.
fs::path fresh_sibling(const fs::path& target) {
  static std::atomic<unsigned> serial{0};
  fs::path parent = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = ".";
    name += target.filename().string();
    name += ".partial-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    fs::path dir = parent / name;
    std::error_code ec;
    if (fs::create_directory(dir, ec)) return dir;
    if (ec) return {};
  }
  return {};
}

bool write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

bool write_files_beside(const fs::path& outdir_in, const std::vector<std::pair<std::string, std::string>>& files,
                        std::string& error) {
  fs::path outdir = outdir_in.has_filename() ? outdir_in : outdir_in.parent_path();
  std::error_code ec;
  fs::file_status status = fs::status(outdir, ec);
  bool exists = fs::exists(status);
  if (exists && !fs::is_directory(status)) {
    error = outdir.string() + ": exists and is not a directory";
    return false;
  }
  fs::path tmp = fresh_sibling(outdir);
  if (tmp.empty()) {
    error = outdir.string() + ": cannot make a directory beside it to write into";
    return false;
  }
  auto give_up = [&](std::string what) {
    fs::remove_all(tmp, ec);
    error = std::move(what);
    return false;
  };
  for (const auto& [name, bytes] : files) {
    if (!write_file(tmp / name, bytes)) return give_up((outdir / name).string() + ": cannot write");
  }
  if (!exists) {
    fs::rename(tmp, outdir, ec);
    if (ec) return give_up(outdir.string() + ": cannot move the written files into place: " + ec.message());
    return true;
  }
  for (const auto& [name, bytes] : files) {
    fs::rename(tmp / name, outdir / name, ec);
    if (ec) return give_up((outdir / name).string() + ": cannot move into place: " + ec.message());
  }
  fs::remove_all(tmp, ec);
  return true;
}

}  // namespace grouper::tools
