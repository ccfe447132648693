// Condition evaluation: the record reduced to yes/no conditions.
//
// Table conditions come from the Tcode rows of the record's codes; the 42
// logic conditions 782..823 are the grouper's built-in predicates over the
// record values and the table conditions.  Per record this touches only the
// codes present (most of them set the ids their rows come down to, worked
// out when the tables were opened; the others walk their rows) and a fixed
// number of logic tests.
#include <algorithm>
#include <array>

#include "engine/engine.h"
#include "engine/prepared/fixed_ids.h"
#include "engine/prepared/guarded_lookup.h"

namespace grouper {

namespace {

constexpr int8_t kMaxHits = 127;  // hits saturate instead of wrapping

constexpr size_t counted_index(int c) {
  for (size_t i = 0; i < kCountedConds.size(); ++i) {
    if (kCountedConds[i] == c) return i;
  }
  return kCountedConds.size();
}
constexpr uint16_t marked_bit(int c) {
  for (size_t i = 0; i < kMarkedConds.size(); ++i) {
    if (kMarkedConds[i] == c) return static_cast<uint16_t>(1u << i);
  }
  return 0;
}

// Both, fixed at compile time for the ids the logic conditions name.
template <int C>
constexpr size_t kCounted = counted_index(C);
template <int C>
constexpr uint16_t kMarked = marked_bit(C);

// The table conditions that some logic conditions count together, as a mask
// of the one bitset word that holds them all.
template <int... C>
struct CondGroup {
  static constexpr int kWord = (C, ...) / 64;
  static_assert(((C / 64 == kWord) && ...), "a group lies in one word of the bitset");
  static constexpr uint64_t kMask = ((uint64_t{1} << (C % 64)) | ...);
};

// Whether two or more conditions of a group hold: the group's bits of one
// word, with the lowest cleared.  plain: adding cond_val of each member and
// comparing with 2; saved 58 instructions per realistic record.
template <class Group>
bool two_of(const uint64_t* bits) {
  const uint64_t held = bits[Group::kWord] & Group::kMask;
  return (held & (held - 1)) != 0;
}

}  // namespace

void Engine::init_conditions(size_t ids) {
  cond_bits_.assign(ids / 64 + 1, 0);  // ids 0..ids
  cond_bits_[0] = 1;
  // A catalogue too short for the logic ids fails the logic check; its
  // always-false id must still never hold.
  for (int c = kFirstLogicCond; c <= kLastLogicCond && c < cond_cnt_; ++c) logic_bits_allowed_ |= uint64_t{1} << (c % 64);
  // 1..7 for the counted conditions, 8..16 for the position-marked ones.
  tracked_.assign(ids + 1, 0);
  for (size_t i = 0; i < kCountedConds.size(); ++i) tracked_[kCountedConds[i]] = static_cast<uint8_t>(1 + i);
  for (size_t i = 0; i < kMarkedConds.size(); ++i) {
    tracked_[kMarkedConds[i]] = static_cast<uint8_t>(1 + kCountedConds.size() + i);
  }
}

// The logic ids share one word of the condition bitset.
static_assert(kFirstLogicCond / 64 == kLastLogicCond / 64);

template <class Visit>
void Engine::walk_cond_rows(int p, RowRange range, Visit&& visit) const {
  const int32_t rec_date = result_.values.rec_date;
  const CondRow* rows = rows_.cond_rows();
  // A row applies on its dates and from the positions its condition admits;
  // a condition outside the catalogue admits none.  (Tested without a
  // branch per test: which rows apply varies from record to record.)
  // plain: && between the tests and an if per row; not measured on its own.
  for (size_t j = range.fr; j < range.to; ++j) {
    const CondRow& row = rows[j];
    const bool applies = (row.fr_dt <= rec_date) & (rec_date <= row.to_dt) & (p >= row.pos_fr) & (p <= row.pos_to);
    visit(p, j, row.cond, applies);
  }
}

template <class Visit>
void Engine::for_each_cond_row(Visit&& visit) const {
  for (int k = 0; k < dx_count_; ++k) {
    const int p = dx_positions_[k];
    walk_cond_rows(p, rows_.dx(result_.code_ids[p]).cond.range, visit);
  }
  for (int k = 0; k < proc_count_; ++k) {
    const int p = proc_positions_[k];
    walk_cond_rows(p, rows_.sg(result_.code_ids[p]).cond.range, visit);
  }
}

namespace {

// Sets the ids of the class of a code's condition set when they stand for
// its rows on `date`, and has `track` count or mark each of them at
// position p when the set holds such ids; false when the rows must be
// walked.
// plain: walking every Tcode row of the code on the record's date and
// position; the ids worked out once saved 325 instructions per realistic
// record (5,432 to 5,107) and 327 per heavy one.
template <size_t N, class Track>
bool set_class_ids(uint64_t* bits, const CondSet<N>& set, int p, bool first, int32_t date, Track&& track) {
  if ((set.flags & CondSet<N>::kWalk) != 0 || !in_window(date, set.fr_dt, set.to_dt)) return false;
  const size_t fr = first ? 0 : set.n_first;
  const size_t to = first ? set.n_first : set.n_ids;
  if (to - fr <= 3) {
    // Most classes hold one to three ids: set without a branch on their
    // count, which varies from code to code.  Id 0, which always holds,
    // stands in for the ids a class lacks.
    // plain: the loop below; mispredicted branches per realistic record 60.1
    // to 56.0 (heavy 73.5 to 69.5), for 114 instructions more.
    for (size_t k = 0; k < 3; ++k) {
      const auto in_class = static_cast<uint16_t>(0 - static_cast<uint16_t>(fr + k < to));
      const uint16_t id = set.ids[std::min(fr + k, N - 1)] & in_class;
      bits[id / 64] |= uint64_t{1} << (id % 64);
    }
  } else {
    for (size_t k = fr; k < to; ++k) bits[set.ids[k] / 64] |= uint64_t{1} << (set.ids[k] % 64);
  }
  // plain: walking the rows of a set with a counted or marked id; walks per
  // realistic record 0.76 to about 0.25, 0.8 fewer first- and second-level
  // misses each, for 24 instructions more.
  if ((set.flags & CondSet<N>::kTracked) != 0) {
    for (size_t k = fr; k < to; ++k) track(p, set.ids[k]);
  }
  return true;
}

}  // namespace

void Engine::set_table_conds() {
  uint64_t* bits = cond_bits_.data();
  const uint8_t* tracked = tracked_.data();
  // A row that applies at position p and sets condition c: its hit, or its
  // mark at a procedure position, when the logic conditions read them.
  // (tracked_ holds each id's place among them.  plain: a count and a mark
  // kept for every condition; not measured on its own.)
  auto track = [&](int p, uint16_t c) {
    if (const uint8_t t = tracked[c]) {
      if (t <= kCountedConds.size()) {
        ++counted_hits_[t - 1];
      } else if (p >= kFirstProc && p <= kLastPosCondRow) {
        proc_marks_[p] |= static_cast<uint16_t>(1u << (t - 1 - kCountedConds.size()));
      }
    }
  };
  auto set_row = [&](int p, size_t, int16_t cond, bool applies) {
    // Every row names an id inside the bitset.
    const auto c = static_cast<uint16_t>(cond);
    // plain: if (applies) set the bit; not measured on its own.
    bits[c / 64] |= uint64_t{applies} << (c % 64);
    if (applies) track(p, c);
  };
  const int32_t date = result_.values.rec_date;
  auto set_dx = [&](int p, bool principal) {
    const auto& set = rows_.dx(result_.code_ids[p]).cond;
    if (!set_class_ids(bits, set, p, principal, date, track)) walk_cond_rows(p, set.range, set_row);
  };
  // The principal diagnosis, where there is one, apart: the others then
  // take no test of their class.  plain: one loop that tests p == 1 for
  // each; saved 29 instructions per realistic record.
  const int principal = dx_count_ > 0 && dx_positions_[0] == kFirstDx ? 1 : 0;
  if (principal) set_dx(kFirstDx, true);
  for (int k = principal; k < dx_count_; ++k) set_dx(dx_positions_[k], false);
  for (int k = 0; k < proc_count_; ++k) {
    const int p = proc_positions_[k];
    const auto& set = rows_.sg(result_.code_ids[p]).cond;
    if (!set_class_ids(bits, set, p, true, date, track)) walk_cond_rows(p, set.range, set_row);
  }
  if (trace_) {
    for_each_cond_row([this](int p, size_t j, int16_t cond, bool applies) {
      if (applies) trace_->table_condition(p, result_.code_ids[p], j, cond);
    });
  }
}

int8_t Engine::cond_hits(int id) const {
  if (id == 0) return 1;  // the always-true condition
  if (id < 0 || id >= cond_cnt_) return 0;
  int hits = 0;
  for_each_cond_row([&](int, size_t, int16_t c, bool applies) { hits += applies && c == id; });
  return static_cast<int8_t>(std::min<int>(hits, kMaxHits));
}

uint8_t Engine::pos_cond(int position, int id) const {
  if (position < kFirstProc || position > kLastPosCondRow || id < 0 || id >= cond_cnt_) return 0;
  bool set = false;
  for_each_cond_row([&](int p, size_t, int16_t c, bool applies) { set = set || (applies && p == position && c == id); });
  return set;
}

void Engine::set_logic_conds() {
  const RecordValues& v = result_.values;
  auto hits = [this](size_t counted) { return counted_hits_[counted]; };
  auto val = [this](int c) { return static_cast<int>(cond_holds(cond_bits_.data(), c)); };
  const uint64_t* bits = cond_bits_.data();
  // One and the same procedure at positions 11..41 sets 357 and not the
  // condition whose mark is `without`: the marks that some procedure that
  // sets 357 lacks.
  // (Every position is read, without a branch on whether a procedure
  // stands there: positions without one hold no marks.)  plain: a loop
  // over the procedures found, a test each; mispredicted branches per
  // realistic record 52.2 to 50.7 (heavy 65.5 to 64.3), for 12
  // instructions more.
  uint16_t lacking = 0;
  for (int p = kFirstProc; p <= kLastPosCondRow; ++p) {
    const uint16_t marks = proc_marks_[p];
    const auto sets_357 = static_cast<uint16_t>(0 - static_cast<uint16_t>((marks & kMarked<357>) != 0));
    lacking |= static_cast<uint16_t>(~marks & sets_357);
  }
  auto procedure_sets_357_without = [lacking](uint16_t without) { return (lacking & without) != 0; };
  const int bw = v.birth_wt;
  const int los = v.los_dd;
  const int dsch = v.dsch_cd;

  // The logic ids share one word of the condition bitset; each test sets its bit.
  // plain: a store of each result into the bitset; not measured on its own.
  uint64_t word = 0;
  auto put = [&word](int id, bool holds) { word |= uint64_t{holds} << (id % 64); };
  put(782, hits(kCounted<602>) + hits(kCounted<603>) >= 2);
  put(783, hits(kCounted<621>) >= 2);
  put(784, hits(kCounted<387>) >= 2);
  put(785, hits(kCounted<398>) >= 2);
  put(786, hits(kCounted<403>) >= 2);
  put(787, hits(kCounted<408>) >= 2);
  put(788, two_of<CondGroup<389, 391, 392, 393, 394, 395, 396, 397>>(bits));
  put(789, two_of<CondGroup<399, 400, 401, 402>>(bits));
  put(790, two_of<CondGroup<404, 405, 406, 407>>(bits));
  put(791, two_of<CondGroup<409, 410, 411, 412>>(bits));
  put(792, bw >= 1000 && bw <= 1499);
  put(793, bw >= 1500 && bw <= 1999);
  put(794, bw >= 2000 && bw <= 2499);
  put(795, bw >= 750 && bw <= 999);
  put(796, bw < 1250);  // blank and unreadable too
  put(797, bw >= 1 && bw <= 749);
  put(798, bw >= 2500);
  put(799, v.age_dd > 27);
  put(800, v.age_yy > 0);
  put(801, val(428) + val(13) >= 1);
  put(802, los < 3);  // unreadable (-1) too
  put(803, los < 5);
  put(804, los == 1);
  put(805, procedure_sets_357_without(kMarked<743>));
  put(806, procedure_sets_357_without(kMarked<745>));
  put(807, procedure_sets_357_without(kMarked<746>));
  put(808, procedure_sets_357_without(kMarked<747>));
  put(809, procedure_sets_357_without(kMarked<748>));
  put(810, val(753) + val(39) + val(15) >= 1);
  put(811, val(755) + val(40) + val(17) >= 1);
  put(812, val(757) + val(41) + val(19) >= 1);
  put(813, procedure_sets_357_without(kMarked<759>));
  put(814, procedure_sets_357_without(kMarked<358>));
  put(815, procedure_sets_357_without(kMarked<359>));
  put(816, dsch == 2 || dsch == 3);
  put(817, dsch == 2 || dsch == 3 || dsch == 4);
  put(818, dsch == 4);
  put(819, v.sex_cd % 2 != 0);  // negative odd values too
  put(820, v.vent_hr > 24);
  put(821, v.vent_hr > 95);
  put(822, v.age_yy < 0);
  put(823, bw <= 0);  // blank or unreadable
  cond_bits_[kFirstLogicCond / 64] |= word & logic_bits_allowed_;
  if (trace_) trace_->logic_conditions(kFirstLogicCond, (word & logic_bits_allowed_) >> (kFirstLogicCond % 64));
}

std::string_view logic_condition_text(int id) {
  // In the order of the tests above, ids 782..823.
  static constexpr std::string_view kTexts[kLogicCondEnd - kFirstLogicCond] = {
      "conditions 602 and 603 set twice or more in all",
      "condition 621 set twice or more",
      "condition 387 set twice or more",
      "condition 398 set twice or more",
      "condition 403 set twice or more",
      "condition 408 set twice or more",
      "two or more of conditions 389, 391..397",
      "two or more of conditions 399..402",
      "two or more of conditions 404..407",
      "two or more of conditions 409..412",
      "birth weight 1000..1499 g",
      "birth weight 1500..1999 g",
      "birth weight 2000..2499 g",
      "birth weight 750..999 g",
      "birth weight below 1250 g (blank and unreadable included)",
      "birth weight 1..749 g",
      "birth weight 2500 g or more",
      "age above 27 days",
      "age above 0 years",
      "condition 428 or 13",
      "length of stay below 3 days (unreadable included)",
      "length of stay below 5 days (unreadable included)",
      "length of stay 1 day",
      "a procedure at 11..41 sets 357 and not 743",
      "a procedure at 11..41 sets 357 and not 745",
      "a procedure at 11..41 sets 357 and not 746",
      "a procedure at 11..41 sets 357 and not 747",
      "a procedure at 11..41 sets 357 and not 748",
      "condition 753, 39 or 15",
      "condition 755, 40 or 17",
      "condition 757, 41 or 19",
      "a procedure at 11..41 sets 357 and not 759",
      "a procedure at 11..41 sets 357 and not 358",
      "a procedure at 11..41 sets 357 and not 359",
      "discharge status 2 or 3",
      "discharge status 2, 3 or 4",
      "discharge status 4",
      "male (an odd sex digit)",
      "ventilation above 24 hours",
      "ventilation above 95 hours",
      "age below 0 years",
      "birth weight blank or unreadable",
  };
  return id >= kFirstLogicCond && id <= kLastLogicCond ? kTexts[id - kFirstLogicCond] : std::string_view{};
}

int Engine::check_logic_setting() const { return set_.logic_setting_ok() ? 0 : -1; }

}  // namespace grouper
