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
#include <iterator>
#include <string_view>
#include <utility>

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

namespace {

// What the logic tests read of a record: its values, the hits of the
// counted conditions, the condition bitset (table conditions set), and the
// marks that some procedure setting 357 lacks.
struct LogicInputs {
  const int32_t* hits;  // counted_hits_, by place in kCountedConds
  const uint64_t* bits;
  uint16_t lacking;  // marks, as in proc_marks_
  // plain: the values the tests read copied in up front; 3 instructions
  // more per realistic and per heavy record.
  const RecordValues& v;

  int32_t hit(size_t counted) const { return hits[counted]; }
  int val(int c) const { return static_cast<int>(cond_holds(bits, static_cast<size_t>(c))); }
  // One and the same procedure at positions 11..41 sets 357 and not the
  // condition whose mark is `without`.
  bool procedure_sets_357_without(uint16_t without) const { return (lacking & without) != 0; }
};

struct LogicCond {
  int id;
  std::string_view text;
  bool (*test)(const LogicInputs&);
};

using In = const LogicInputs&;

// The built-in logic conditions, ids 782..823 in order: what each tests, in
// words and in code.
constexpr LogicCond kLogicConds[] = {
    {782, "conditions 602 and 603 set twice or more in all",
     [](In in) { return in.hit(kCounted<602>) + in.hit(kCounted<603>) >= 2; }},
    {783, "condition 621 set twice or more", [](In in) { return in.hit(kCounted<621>) >= 2; }},
    {784, "condition 387 set twice or more", [](In in) { return in.hit(kCounted<387>) >= 2; }},
    {785, "condition 398 set twice or more", [](In in) { return in.hit(kCounted<398>) >= 2; }},
    {786, "condition 403 set twice or more", [](In in) { return in.hit(kCounted<403>) >= 2; }},
    {787, "condition 408 set twice or more", [](In in) { return in.hit(kCounted<408>) >= 2; }},
    {788, "two or more of conditions 389, 391..397",
     [](In in) { return two_of<CondGroup<389, 391, 392, 393, 394, 395, 396, 397>>(in.bits); }},
    {789, "two or more of conditions 399..402", [](In in) { return two_of<CondGroup<399, 400, 401, 402>>(in.bits); }},
    {790, "two or more of conditions 404..407", [](In in) { return two_of<CondGroup<404, 405, 406, 407>>(in.bits); }},
    {791, "two or more of conditions 409..412", [](In in) { return two_of<CondGroup<409, 410, 411, 412>>(in.bits); }},
    {792, "birth weight 1000..1499 g", [](In in) { return in.v.birth_wt >= 1000 && in.v.birth_wt <= 1499; }},
    {793, "birth weight 1500..1999 g", [](In in) { return in.v.birth_wt >= 1500 && in.v.birth_wt <= 1999; }},
    {794, "birth weight 2000..2499 g", [](In in) { return in.v.birth_wt >= 2000 && in.v.birth_wt <= 2499; }},
    {795, "birth weight 750..999 g", [](In in) { return in.v.birth_wt >= 750 && in.v.birth_wt <= 999; }},
    // blank and unreadable too
    {796, "birth weight below 1250 g (blank and unreadable included)", [](In in) { return in.v.birth_wt < 1250; }},
    {797, "birth weight 1..749 g", [](In in) { return in.v.birth_wt >= 1 && in.v.birth_wt <= 749; }},
    {798, "birth weight 2500 g or more", [](In in) { return in.v.birth_wt >= 2500; }},
    {799, "age above 27 days", [](In in) { return in.v.age_dd > 27; }},
    {800, "age above 0 years", [](In in) { return in.v.age_yy > 0; }},
    {801, "condition 428 or 13", [](In in) { return in.val(428) + in.val(13) >= 1; }},
    // unreadable (-1) too
    {802, "length of stay below 3 days (unreadable included)", [](In in) { return in.v.los_dd < 3; }},
    {803, "length of stay below 5 days (unreadable included)", [](In in) { return in.v.los_dd < 5; }},
    {804, "length of stay 1 day", [](In in) { return in.v.los_dd == 1; }},
    {805, "a procedure at 11..41 sets 357 and not 743",
     [](In in) { return in.procedure_sets_357_without(kMarked<743>); }},
    {806, "a procedure at 11..41 sets 357 and not 745",
     [](In in) { return in.procedure_sets_357_without(kMarked<745>); }},
    {807, "a procedure at 11..41 sets 357 and not 746",
     [](In in) { return in.procedure_sets_357_without(kMarked<746>); }},
    {808, "a procedure at 11..41 sets 357 and not 747",
     [](In in) { return in.procedure_sets_357_without(kMarked<747>); }},
    {809, "a procedure at 11..41 sets 357 and not 748",
     [](In in) { return in.procedure_sets_357_without(kMarked<748>); }},
    {810, "condition 753, 39 or 15", [](In in) { return in.val(753) + in.val(39) + in.val(15) >= 1; }},
    {811, "condition 755, 40 or 17", [](In in) { return in.val(755) + in.val(40) + in.val(17) >= 1; }},
    {812, "condition 757, 41 or 19", [](In in) { return in.val(757) + in.val(41) + in.val(19) >= 1; }},
    {813, "a procedure at 11..41 sets 357 and not 759",
     [](In in) { return in.procedure_sets_357_without(kMarked<759>); }},
    {814, "a procedure at 11..41 sets 357 and not 358",
     [](In in) { return in.procedure_sets_357_without(kMarked<358>); }},
    {815, "a procedure at 11..41 sets 357 and not 359",
     [](In in) { return in.procedure_sets_357_without(kMarked<359>); }},
    {816, "discharge status 2 or 3", [](In in) { return in.v.dsch_cd == 2 || in.v.dsch_cd == 3; }},
    {817, "discharge status 2, 3 or 4",
     [](In in) { return in.v.dsch_cd == 2 || in.v.dsch_cd == 3 || in.v.dsch_cd == 4; }},
    {818, "discharge status 4", [](In in) { return in.v.dsch_cd == 4; }},
    {819, "male (an odd sex digit)", [](In in) { return in.v.sex_cd % 2 != 0; }},  // negative odd values too
    {820, "ventilation above 24 hours", [](In in) { return in.v.vent_hr > 24; }},
    {821, "ventilation above 95 hours", [](In in) { return in.v.vent_hr > 95; }},
    {822, "age below 0 years", [](In in) { return in.v.age_yy < 0; }},
    {823, "birth weight blank or unreadable", [](In in) { return in.v.birth_wt <= 0; }},
};

constexpr bool covers_logic_ids_in_order() {
  if (std::size(kLogicConds) != static_cast<size_t>(kLogicCondEnd - kFirstLogicCond)) return false;
  for (size_t i = 0; i < std::size(kLogicConds); ++i) {
    if (kLogicConds[i].id != kFirstLogicCond + static_cast<int>(i) || kLogicConds[i].text.empty() ||
        kLogicConds[i].test == nullptr) {
      return false;
    }
  }
  return true;
}
static_assert(covers_logic_ids_in_order(), "one entry with a text and a test for each logic id, in order");

// The results of every test, each at its id's bit of the word the logic ids
// share: the table expanded at compile time, so each test is inlined as if
// written out.  plain: a loop over the table, a call through each entry's
// pointer; saved 356 instructions per realistic and per heavy record.
template <size_t... I>
uint64_t logic_word(const LogicInputs& in, std::index_sequence<I...>) {
  return ((uint64_t{kLogicConds[I].test(in)} << (kLogicConds[I].id % 64)) | ...);
}

}  // namespace

void Engine::set_logic_conds() {
  // The marks that some procedure that sets 357 lacks.
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
  const LogicInputs in{.hits = counted_hits_.data(),
                       .bits = cond_bits_.data(),
                       .lacking = lacking,
                       .v = result_.values};
  // The logic ids share one word of the condition bitset; each test sets its bit.
  // plain: a store of each result into the bitset; not measured on its own.
  const uint64_t word = logic_word(in, std::make_index_sequence<std::size(kLogicConds)>{});
  cond_bits_[kFirstLogicCond / 64] |= word & logic_bits_allowed_;
  if (trace_) trace_->logic_conditions(kFirstLogicCond, (word & logic_bits_allowed_) >> (kFirstLogicCond % 64));
}

std::string_view logic_condition_text(int id) {
  return id >= kFirstLogicCond && id <= kLastLogicCond ? kLogicConds[id - kFirstLogicCond].text : std::string_view{};
}

int Engine::check_logic_setting() const { return set_.logic_setting_ok() ? 0 : -1; }

}  // namespace grouper
