#include "grouper/code_index.h"

#include <algorithm>
#include <bit>

#include "grouper/guarded_lookup.h"

namespace grouper {
namespace {

// The five bytes as one number, bytes after the first NUL cleared (texts
// equal up to a NUL they share compare equal), and a marker bit so that no
// text packs to the empty slot 0.
uint64_t pack(const char* text) {
  uint64_t key = 0;
  for (int i = 0; i < 5; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == 0) break;
    key |= uint64_t{byte} << (8 * i);
  }
  return key | (uint64_t{1} << 40);
}

size_t slot_of(uint64_t key, uint64_t mask) {
  return static_cast<size_t>(((key * 0x9E3779B97F4A7C15ULL) >> 24) & mask);
}

}  // namespace

void CodeIndex::build(const std::vector<Code5>& codes, size_t first, size_t end) {
  end = std::min(end, codes.size());
  const size_t n = end > first ? end - first : 0;
  const size_t capacity = std::bit_ceil(std::max<size_t>(2 * n, 16));
  keys_.assign(capacity, 0);
  rows_.assign(capacity, -1);
  mask_ = capacity - 1;
  for (size_t row = first; row < end; ++row) {
    const uint64_t key = pack(codes[row].data());
    size_t slot = slot_of(key, mask_);
    while (keys_[slot] != 0 && keys_[slot] != key) slot = (slot + 1) & mask_;
    if (keys_[slot] == 0) {  // an equal text in a lower row keeps its place
      keys_[slot] = key;
      rows_[slot] = static_cast<int32_t>(row);
    }
  }
}

int32_t CodeIndex::find(const char* key_text) const {
  if (keys_.empty()) return -1;
  const uint64_t key = pack(key_text);
  for (size_t slot = slot_of(key, mask_);; slot = (slot + 1) & mask_) {
    if (keys_[slot] == key) return rows_[slot];
    if (keys_[slot] == 0) return -1;
  }
}

bool CodeIndex::strictly_ascending(const std::vector<Code5>& codes, size_t first, size_t end) {
  end = std::min(end, codes.size());
  for (size_t row = first + 1; row < end; ++row) {
    if (compare_code5(codes[row - 1].data(), codes[row].data()) >= 0) return false;
  }
  return true;
}

}  // namespace grouper
