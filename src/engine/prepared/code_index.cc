#include "engine/prepared/code_index.h"

#include <algorithm>
#include <bit>

#include "engine/prepared/guarded_lookup.h"

namespace grouper {

size_t CodeIndex::indexed_end(const std::vector<Code5>& codes, size_t end, const std::vector<int16_t>* values) {
  end = std::min({end, codes.size(), size_t{1} << 16});
  return values != nullptr ? std::min(end, values->size()) : end;
}

void CodeIndex::build_from(const std::vector<Code5>& codes, size_t first, size_t end,
                           const std::vector<int16_t>* values, const std::vector<uint8_t>* marked) {
  end = indexed_end(codes, end, values);
  const size_t n = end > first ? end - first : 0;
  const size_t capacity = std::bit_ceil(std::max<size_t>(2 * n, 16));
  slots_.assign(capacity, 0);
  mask_ = capacity - 1;
  shift_ = 64 - std::countr_zero(capacity);
  for (size_t row = first; row < end; ++row) {
    const uint64_t key_bits = pack(codes[row].data());
    size_t slot = slot_of(key_bits);
    while (slots_[slot] != 0 && (slots_[slot] & kKeyMask) != key_bits) slot = (slot + 1) & mask_;
    if (slots_[slot] == 0) {  // an equal text in a lower row keeps its place
      const uint16_t value = values != nullptr ? static_cast<uint16_t>((*values)[row]) : static_cast<uint16_t>(row);
      const bool mark = marked != nullptr && row < marked->size() && (*marked)[row] != 0;
      slots_[slot] = key_bits | (mark ? kMarked : 0) | uint64_t{value} << kValueShift;
    }
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
