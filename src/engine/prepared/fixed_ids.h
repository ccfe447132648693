// Ids and values whose meaning is fixed by the grouping itself, whatever the
// table set: the built-in logic conditions, the two sex conditions of the
// CCLs and the special values of the supplementary group.  The grouping, the
// table checks and the generator of synthetic sets all take them from here.
#pragma once

#include <array>
#include <cstdint>

namespace grouper {

// Catalogue ids 782..823 are computed from the record ("l"), never set by a
// code; every other id from 1 up is a table condition ("t").
inline constexpr int kFirstLogicCond = 782;
inline constexpr int kLastLogicCond = 823;
inline constexpr int kLogicCondEnd = kLastLogicCond + 1;  // ids the logic needs room for

// The table conditions whose hits some logic conditions count, and those
// whose procedure positions they test: the grouping sees the code rows that
// set them one by one.
inline constexpr std::array<int16_t, 7> kCountedConds = {387, 398, 403, 408, 602, 603, 621};
inline constexpr std::array<int16_t, 9> kMarkedConds = {357, 358, 359, 743, 745, 746, 747, 748, 759};

// A secondary diagnosis whose valid code rows name one of these (with the
// position window 1..1) loses its CCL for the patient's sex.
inline constexpr int kCondMaleExcluded = 373;    // cancels the CCL for an odd sex digit
inline constexpr int kCondFemaleExcluded = 388;  // cancels the CCL for an even sex digit

// Supplementary group values: 1..19 name a code row of ltc_drg.idx; 9999 is
// the fixed group, also given to an ADRG whose first row is 0.
inline constexpr int kLastGroupIndex = 19;
inline constexpr int kFixedGroup = 9999;

}  // namespace grouper
