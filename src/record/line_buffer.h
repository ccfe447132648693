// A record placed in a line buffer as the grouping expects it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "record/record_layout.h"

namespace grouper {

// Copies `record` (at most kMaxLineBytes of it) into `line`, which holds
// kLineBufferSize bytes, blanks after it up to kRecordWidth; returns its
// length.  What the record does not hold reads as blanks, never as an
// earlier record.
inline size_t place_record(std::string_view record, char* line) {
  const size_t len = std::min(record.size(), kMaxLineBytes);
  // An empty record may come without data: memcpy must not see its null.
  if (len > 0) std::memcpy(line, record.data(), len);
  if (len < kRecordWidth) std::memset(line + len, ' ', kRecordWidth - len);
  return len;
}

}  // namespace grouper
