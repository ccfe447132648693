// The counts behind the casemix report (grouper report, --report), made in
// one pass over detailed result rows, TSV or JSON Lines: records per
// distinct (mdc, adrg, drg, pccl, supplementary), per age, per length of
// stay (JSON Lines rows that have one), per (mdc, effective_weight,
// los_class) when the rows have the weight columns, per table version when
// they have the tables column (a run over a registry), per entry of the
// impact column (a run with --impact: a code, its position, the DRG
// without it and the weight it moves, as the row holds them), and per (no
// ADRG, findings) pair, the findings as far as the report reads them (not
// their positions, nor texts it does not show).  Values are kept
// as the row holds them (a TSV field, or the text of a JSON value); the
// report's page builder reads them once per
// distinct value (episode_grouper.result_counts.counts_from_file), so the
// rows are read only here.
//
// A batch run counts the rows where they are made: each grouping thread
// into counts of its own, merged at the end, most rows by the values they
// are formatted from (add_keyed); `grouper report` counts an existing
// result file, a large one in parts on several threads.  Counts are sums,
// so they do not depend on how the rows were split.
//
// Workload: add() and add_keyed() run once per row and allocate nothing
// once the values they meet have been seen (one map per kind of value,
// keyed by the value; the key is built in a buffer that is reused).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace grouper {

class ResultCounts {
 public:
  enum class Format { kTsv, kJsonl };


  // Rows of a TSV file with this header row (no line feed); false when a
  // column the report needs is missing.
  bool start_tsv(std::string_view header);
  // Rows of JSON Lines.
  void start_jsonl();

  // One row, without its line feed.  False when the row cannot be counted
  // here (a field missing, a TSV row of another width, a JSON row that is
  // not a flat object of the expected members); the counts are then not
  // to be used.
  bool add(std::string_view row);

  // What a grouped record's counted fields are formatted from, when the
  // record has an ADRG and the rows no weight columns: the group's
  // codes and numbers as the result holds them (any bytes that tell them
  // apart), the age and the length of stay.
  struct RowKey {
    std::array<char, 18> group{};
    int16_t age = 0;
    int16_t los = 0;
  };

  // Counts `row`, the row of such a record, as add(row) does.  Its counted
  // texts are a function of `key` (rows with a tables or an impact column
  // are read whole: the key does not hold them) and of `findings`, the
  // row's findings as the row holds them (empty: none): the row is read
  // only when a part of the key is new, and the texts read then count for
  // the later rows of that part (kept aside until settle(), merge() or
  // write_json()).
  bool add_keyed(const RowKey& key, std::string_view row, std::string_view findings = {});

  // Starts loading the memory that add_keyed(key, ...) reads first.
  void prefetch(const RowKey& key) const;

  // Moves the counts kept per key into the counts per text.
  void settle();

  int64_t records() const { return records_ + keyed_records_; }

  // Counts with this one's format and layout, and no rows: the counter of
  // another part of the same file (set up by start_tsv, or by start_jsonl
  // and the first row).
  ResultCounts empty_like() const;

  // Adds the counts of `other`, rows of the same file counted apart (each
  // set up as this one was, or made by empty_like); false when the two
  // disagree on the layout (which then no single count would have taken).
  bool merge(const ResultCounts& other);

  // Writes the counts as one JSON object (see counts_from_file), each list
  // in the order of its texts, so that the same rows give the same bytes
  // however they were split and merged; false on a write error.  Bytes of values at or above 0x80 are written as the
  // characters U+0080..U+00FF, so every byte round-trips.
  bool write_json(std::FILE* out);

 private:
  // Records per distinct value: an open-addressing table of slots that
  // hold the value's hash and place in one arena of value bytes, so that a
  // row's lookup touches a slot and its bytes, and a value seen before
  // costs no allocation.
  class Counter {
   public:
    void add(std::string_view value, int64_t n = 1);
    void merge(const Counter& other);
    // Calls f(value, count) for every value, in the order of the values' bytes.
    template <class F>
    void for_each_sorted(F&& f) const {
      std::vector<std::pair<std::string_view, int64_t>> pairs;
      pairs.reserve(used_);
      for (const Slot& s : slots_) {
        if (s.count > 0) pairs.emplace_back(std::string_view(arena_).substr(s.offset, s.size), s.count);
      }
      std::sort(pairs.begin(), pairs.end());
      for (const auto& [value, n] : pairs) f(value, n);
    }

   private:
    struct Slot {
      uint64_t hash = 0;
      uint64_t offset = 0;  // in arena_
      uint32_t size = 0;
      int64_t count = 0;  // 0: a free slot
    };
    void grow();
    std::vector<Slot> slots_ = std::vector<Slot>(1024);
    std::string arena_;
    size_t used_ = 0;
  };

  bool add_tsv(std::string_view row);
  bool add_jsonl(std::string_view row);
  // The members of a JSON row into values_ and `los_values`: as the first
  // row laid them out (read_laid_out: false at the first difference), or
  // one by one (read_members: false when the row is no JSON object of
  // plain names).
  bool read_laid_out(std::string_view row, std::string_view* los_values);
  bool read_members(std::string_view row, std::string_view* los_values);
  void count(bool ungrouped, std::string_view findings);
  // Counts the findings text of a record: what the report reads of it.
  void count_findings(bool ungrouped, std::string_view findings);
  // Counts each entry of the row's impact value; false when it is not a list of entries.
  bool count_impact(std::string_view impact);
  void count_age(std::string_view age, int64_t n);
  // Whether the row just read adds to the findings' counts.
  bool adds_findings() const;
  // Adds the counts kept per key in `from` (this one or another).
  void settle_from(const ResultCounts& from);

  Format format_ = Format::kTsv;
  // TSV: the columns of the header and the index of each counted one.
  size_t columns_ = 0;
  enum Field { kMdc, kAdrg, kDrg, kPccl, kSupplementary, kAge, kFindings, kLos, kWeight, kLosClass, kTables, kImpact, kFields };
  size_t index_[kFields] = {};
  bool has_los_ = false, weighted_ = false;
  bool has_tables_ = false;  // the rows carry the tables column of a run over a registry
  bool has_impact_ = false;  // the rows carry the impact column of a run with --impact
  bool layout_known_ = false;  // JSON Lines: set by the first row
  // JSON Lines: the members of the first row without blanks, each as its
  // name with quotes and colon and its field (member_field), tried on
  // every later row before reading it member by member.  plain: each
  // name scanned and looked up, a quarter of counting a row.
  struct Member {
    std::string token;
    int field;
  };
  std::vector<Member> member_layout_;
  bool member_layout_tried_ = false;
  std::string los_field_;

  int64_t records_ = 0;
  Counter groups_, ages_, los_, weights_, findings_, tables_, impact_;
  // Ages of 1 to 3 digits, at digits * 1000 + value (so "7" and "007" stay apart); ages_ holds the others.
  std::array<int64_t, 4000> short_ages_ = {};
  std::string key_;                            // reused for every key
  std::vector<std::string_view> fields_;       // reused: the fields of a TSV row
  std::string_view values_[kFields];           // the values of the row being counted

  // add_keyed: per age and length of stay (at value + 32768), its text and
  // the rows counted since the last settle.
  struct Keyed {
    std::string text;
    int64_t pending = 0;
  };
  // The group keys met: an open-addressing table of indexes into
  // group_texts_ (plus one; 0: a free slot), probed by a hash of the key,
  // each with the rows of its group counted since the last settle.  The
  // count sits in the slot, so that a row touches one line of memory: some
  // ten thousand groups make the table larger than a core's cache.
  // plain: the count beside the text (a second line a row); the counting
  // had taken 9 to 10% of a run's samples, nearly all of them in the two
  // loads.
  struct KeySlot {
    std::array<char, 18> key{};
    uint32_t entry = 0;
    int64_t pending = 0;
  };
  std::vector<KeySlot> key_slots_;
  std::vector<std::string> group_texts_;
  std::vector<Keyed> keyed_ages_, keyed_los_;  // empty until the first add_keyed
  std::vector<char> age_known_, los_known_;
  int64_t keyed_records_ = 0;
};

}  // namespace grouper
