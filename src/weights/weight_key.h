// The DRG text of a weight row as one integer, for the catalogue's index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace grouper {

// The longest DRG text a catalogue holds (the width of res_drg_code).
inline constexpr size_t kMaxDrgText = 6;

// The DRG text as one number that orders as its bytes do (unsigned), its
// length in the lowest byte so that "A01" and "A01\0" differ.
inline uint64_t pack_drg(std::string_view drg) {
  uint64_t key = 0;
  for (size_t i = 0; i < 7; ++i) {
    key <<= 8;
    if (i < drg.size()) key |= static_cast<unsigned char>(drg[i]);
  }
  return (key << 8) | drg.size();
}

}  // namespace grouper
