// An exact hash index over a list of 5-character code texts.
//
// find() answers "the value of the lowest indexed row whose text equals the
// key", with equality as the dictionary comparison defines it (byte by byte,
// a NUL held by both texts ending the comparison).  On a dictionary whose
// rows 1..n-1 are strictly ascending that is exactly what the halving search
// finds, and on the DRG list exactly what the scan from row 0 finds, in one
// probe or two instead of some fourteen comparisons.
//
// Workload: built once per table set; up to some 50 lookups per record,
// allocating nothing.  A slot is one 8-byte word (the packed text and the
// row's value), so a lookup touches one cache line.
// plain: the halving search (some fourteen comparisons); the search and the
// DRG scan had taken close to half of the grouping time; the 8-byte slot
// was not measured on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tables/table_store.h"

namespace grouper {

class CodeIndex {
 public:
  // Indexes rows [first, end) of `codes` (rows past 65535 are not indexed);
  // of equal texts the lowest row wins.  A row's value is its row number.
  void build(const std::vector<Code5>& codes, size_t first, size_t end) {
    build_from(codes, first, end, nullptr, nullptr);
  }
  // The same, with values[row] as a row's value; rows past the end of
  // `values` are not indexed.
  void build(const std::vector<Code5>& codes, size_t first, size_t end, const std::vector<int16_t>& values) {
    build_from(codes, first, end, &values, nullptr);
  }
  // The same, with values[row] as a row's value; rows past the end of
  // `values` are not indexed.  A row with marked[row] != 0 is marked: a
  // fact about it that the owner of the index works out.
  void build(const std::vector<Code5>& codes, size_t first, size_t end, const std::vector<int16_t>& values,
             const std::vector<uint8_t>& marked) {
    build_from(codes, first, end, &values, &marked);
  }
  // The end of the rows that build() indexes of rows [first, end).
  static size_t indexed_end(const std::vector<Code5>& codes, size_t end, const std::vector<int16_t>* values);

  // The value of the row that holds `key` (5 bytes), as 0..65535 (an int16_t
  // value comes back as its 16-bit pattern), or -1 when no indexed row holds
  // it.
  int32_t find(const char* key) const {
    const uint64_t entry = entry_of(key);
    return entry == 0 ? -1 : static_cast<int32_t>(entry >> kValueShift);
  }
  // find(), only for the key of a marked row: -1 for any other.
  int32_t find_marked(const char* key) const {
    const uint64_t entry = entry_of(key);
    return (entry & kMarked) == 0 ? -1 : static_cast<int32_t>(entry >> kValueShift);
  }

  // Whether rows [first, end) are strictly ascending under the dictionary
  // comparison, so that the halving search finds every row they hold.
  static bool strictly_ascending(const std::vector<Code5>& codes, size_t first, size_t end);

 private:
  // Bits 0..39 hold the five bytes, those after the first NUL cleared (texts
  // equal up to a NUL they share are one key); bit 40 marks a used slot, so
  // that no text packs to the empty slot 0; bit 41 marks a marked row; bits
  // 48..63 hold the value.
  static constexpr uint64_t kUsed = uint64_t{1} << 40;
  static constexpr uint64_t kKeyMask = (uint64_t{1} << 41) - 1;
  static constexpr uint64_t kMarked = uint64_t{1} << 41;
  static constexpr int kValueShift = 48;

  void build_from(const std::vector<Code5>& codes, size_t first, size_t end, const std::vector<int16_t>* values,
                  const std::vector<uint8_t>* marked);

  static uint64_t pack(const char* text) {
    uint32_t head;
    std::memcpy(&head, text, 4);
    uint64_t bytes = head | uint64_t{static_cast<unsigned char>(text[4])} << 32;
    // The lowest zero byte among the five, found without a loop: the
    // borrow trick can flag bytes above a real zero, never below it.
    // plain: a loop over the five bytes to the first NUL; not measured on
    // its own.
    const uint64_t zeros = (bytes - 0x0101010101ULL) & ~bytes & 0x8080808080ULL;
    if (zeros != 0) bytes &= (uint64_t{1} << (__builtin_ctzll(zeros) & ~7)) - 1;
    return bytes | kUsed;
  }
  // Multiplying by 2^64 / golden ratio and keeping the top bits.  plain: a
  // hash and a modulo; not measured on its own.
  size_t slot_of(uint64_t key_bits) const {
    return static_cast<size_t>((key_bits * 0x9E3779B97F4A7C15ULL) >> shift_);
  }
  // The slot that holds `key`, 0 when none does.
  uint64_t entry_of(const char* key) const {
    if (slots_.empty()) return 0;
    const uint64_t key_bits = pack(key);
    for (size_t slot = slot_of(key_bits);; slot = (slot + 1) & mask_) {
      const uint64_t entry = slots_[slot];
      if ((entry & kKeyMask) == key_bits || entry == 0) return entry;
    }
  }

  std::vector<uint64_t> slots_;  // 0 = empty
  uint64_t mask_ = 0;
  int shift_ = 64;
};

}  // namespace grouper
