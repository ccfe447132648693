#include "verify_load.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tables/load_plan.h"
#include "tables/table_store.h"

namespace grouper::tools {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

std::string explain_file(const std::filesystem::path& dir, const FileSpec& file_spec, TableStore& counts_seen) {
  const std::string name(file_spec.name);
  errno = 0;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen((dir / file_spec.name).c_str(), "rb"));
  if (!file) {
    return name + ": cannot be opened for reading (" + std::strerror(errno) + ")";
  }
  char header[kHeaderSize];
  const size_t got = std::fread(header, 1, kHeaderSize, file.get());
  if (got != kHeaderSize) {
    return name + ": the header is " + std::to_string(got) + " bytes, it must be " +
           std::to_string(kHeaderSize);
  }
  std::array<uint16_t, 4> counts{};
  for (size_t i = 0; i < file_spec.counts.size(); ++i) {
    counts[i] = parse_count_field(header + i * kCountFieldWidth);
    file_spec.counts[i].ref(counts_seen) = counts[i];
  }
  for (const CrossCheck& check : file_spec.cross_checks) {
    const uint16_t earlier = check.earlier(counts_seen);
    if (counts[check.field] != earlier) {
      return name + ": count field " + std::to_string(check.field) + " (" +
             std::string(file_spec.counts[check.field].name) + ") is " +
             std::to_string(counts[check.field]) + " but " + std::string(check.earlier_name) + " is " +
             std::to_string(earlier) + " (count error)";
    }
  }
  struct stat st {};
  const bool sized = fstat(fileno(file.get()), &st) == 0 && S_ISREG(st.st_mode);
  const unsigned long long size = sized ? static_cast<unsigned long long>(st.st_size) : 0;
  unsigned long long offset = kHeaderSize;
  for (const ArraySpec& a : file_spec.arrays) {
    if (a.type == ElemType::kMatrix && counts[a.record_field] == 0 && counts[a.count_field] != 0) {
      return name + ": " + std::string(a.name) + " has " + std::to_string(counts[a.count_field]) +
             " records of 0 bytes, which cannot be read";
    }
    const unsigned long long bytes = array_bytes(a, counts);
    if (sized && offset + bytes > size) {
      return name + ": " + std::string(a.name) + " needs " + std::to_string(bytes) +
             " bytes at offset " + std::to_string(offset) + ", the file ends after " +
             std::to_string(size) + " bytes";
    }
    offset += bytes;
  }
  return {};
}

}  // namespace

std::string explain_load_failure(const std::filesystem::path& dir) {
  TableStore counts_seen;
  for (const FileSpec& file_spec : load_plan()) {
    std::string reason = explain_file(dir, file_spec, counts_seen);
    if (!reason.empty()) return reason;
  }
  return {};
}

}  // namespace grouper::tools
