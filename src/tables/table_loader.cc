#include "tables/table_loader.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <bit>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "tables/load_plan.h"

namespace grouper {
namespace {

static_assert(std::endian::native == std::endian::little,
              "table files hold little-endian numbers that are read straight into memory");

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Bytes that follow the header, or -1 when the file is not a regular file
// (then only the reads themselves tell a short file).
long long bytes_after_header(std::FILE* f) {
  struct stat st {};
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size > static_cast<long long>(kHeaderSize)
             ? st.st_size - static_cast<long long>(kHeaderSize)
             : 0;
}

// Reads `n` bytes; an interrupted read is carried on, never taken for a
// short file.
bool read_fully(std::FILE* f, void* to, size_t n) {
  size_t done = 0;
  while (done < n) {
    errno = 0;
    done += std::fread(static_cast<char*>(to) + done, 1, n - done, f);
    if (done == n) break;
    if (!std::ferror(f) || errno != EINTR) return false;
    std::clearerr(f);
  }
  return true;
}

// A matrix of record_count records of zero bytes each reads as short,
// like a block read of zero-sized records.
bool zero_sized_records(const ArraySpec& a, std::span<const uint16_t> counts) {
  return a.type == ElemType::kMatrix && counts[a.record_field] == 0 && counts[a.count_field] != 0;
}

int load_file(const std::filesystem::path& dir, const FileSpec& file_spec, TableStore& store,
              std::string& messages, std::string& reason, FileAccess access) {
  const bool update = access == FileAccess::kReadUpdate;
  File file(std::fopen((dir / file_spec.name).c_str(), update ? "rb+" : "rb"));
  if (!file) {
    reason = update ? "cannot be opened for reading and update" : "cannot be opened for reading";
    return kLoadFailed;
  }

  char header[kHeaderSize];
  if (!read_fully(file.get(), header, kHeaderSize)) {
    reason = "header is short";
    return kLoadFailed;
  }

  std::array<uint16_t, 4> counts{};
  for (size_t i = 0; i < file_spec.counts.size(); ++i) {
    counts[i] = parse_count_field(header + i * kCountFieldWidth);
    file_spec.counts[i].ref(store) = counts[i];
  }
  for (const CrossCheck& check : file_spec.cross_checks) {
    if (counts[check.field] != check.earlier(store)) {
      reason = "count field " + std::to_string(check.field) + " is " + std::to_string(counts[check.field]) +
               " where " + std::string(check.earlier_name) + " of an earlier file is " +
               std::to_string(check.earlier(store));
      return kLoadCountMismatch;
    }
  }

  // Arrays the file cannot hold are found before allocating, so that a
  // short file never costs an allocation of what its header claims.
  const long long available = bytes_after_header(file.get());
  size_t first_short = file_spec.arrays.size();
  unsigned long long offset = 0;
  for (size_t i = 0; i < file_spec.arrays.size(); ++i) {
    const ArraySpec& a = file_spec.arrays[i];
    offset += array_bytes(a, counts);
    bool beyond_end = available >= 0 && offset > static_cast<unsigned long long>(available);
    if (beyond_end || zero_sized_records(a, counts)) {
      first_short = i;
      break;
    }
  }

  std::array<std::span<std::byte>, 8> buffers{};
  try {
    for (size_t i = 0; i < file_spec.arrays.size(); ++i) {
      const ArraySpec& a = file_spec.arrays[i];
      buffers[i] = a.resize(store, i < first_short ? element_count(a, counts) : 0);
    }
  } catch (const std::bad_alloc&) {
    messages += file_spec.alloc_message;
    reason = "not enough memory for its arrays";
    return kLoadFailed;
  }

  for (size_t i = 0; i < file_spec.arrays.size(); ++i) {
    const ArraySpec& a = file_spec.arrays[i];
    bool complete = i < first_short;
    if (complete && !buffers[i].empty()) {
      complete = read_fully(file.get(), buffers[i].data(), buffers[i].size());
    }
    if (!complete) {
      messages += a.short_message;
      reason = "array " + std::string(a.name) + " is short";
      return kLoadFailed;
    }
  }
  return kLoadOk;
}

}  // namespace

int load_tables(const std::filesystem::path& dir, TableStore& store, std::string& messages,
                episode_grouper::Status* failure, FileAccess access) {
  for (const FileSpec& file_spec : load_plan()) {
    std::string reason;
    int rc = load_file(dir, file_spec, store, messages, reason, access);
    if (rc != kLoadOk) {
      if (failure) {
        *failure = {};
        failure->kind = rc == kLoadCountMismatch ? episode_grouper::StatusKind::kCountMismatch
                                                 : episode_grouper::StatusKind::kFileFailed;
        failure->file = file_spec.name;
        failure->message = std::move(reason);
      }
      return rc;
    }
  }
  return kLoadOk;
}

void release_tables(TableStore& store) { store = TableStore{}; }

}  // namespace grouper
