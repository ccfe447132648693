// What each code of a record is worth: the record grouped again without it.
//
// For every code position 2..46 whose slot is not five blanks, the record is
// grouped once more with that slot blank (every other byte as it was, no
// code moving up), and the DRG text it then gets is compared with the
// record's own.  With a weight catalogue the effective weight it then gets
// is compared too.  The positions whose blank changes neither are left out:
// what remains are the codes that made the DRG (or its weight).  The
// principal diagnosis (position 1) is never blanked: without it there is no
// case to group.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace episode_grouper {

// Positions 2..46: at most 45 codes matter.
inline constexpr size_t kMaxImpact = 45;

// One code whose removal changes the result.
struct CodeImpact {
  uint8_t position = 0;       // 2..46: 2..10 a secondary diagnosis, 11..46 a procedure
  std::array<char, 5> code{};  // the slot as grouped (upper-cased); texts end at a NUL, trailing blanks are no part
  std::array<char, 6> drg{};   // the DRG text without the code, as the drg column writes it; all NUL without a DRG
  bool has_weight = false;     // a catalogue weighed the record without the code and found a weight
  int64_t effective = 0;       // its effective weight without the code, units of 1/10,000 (0 without a weight)
  int64_t weight_difference = 0;  // that effective weight less the record's own (none counts 0); 0 without a catalogue
};

// The codes of one record that matter, in position order.
struct Impact {
  bool weighed = false;  // computed with a weight catalogue: the weights of the entries are set
  uint8_t count = 0;
  std::array<CodeImpact, kMaxImpact> items{};

  const CodeImpact* begin() const { return items.data(); }
  const CodeImpact* end() const { return items.data() + count; }
};

}  // namespace episode_grouper
