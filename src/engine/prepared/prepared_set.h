// A loaded table set ready for grouping: the sixteen files' arrays, both rule
// sets normalised, the verdict of the logic-setting check and every index
// derived from the tables.
//
// Workload: built once per table set (a few milliseconds on a national
// classification); read by every record of every thread afterwards.  It is
// never changed after construction, so any number of Engines on any number
// of threads may share one.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/prepared/code_index.h"
#include "engine/prepared/code_rows.h"
#include "engine/prepared/group_rows.h"
#include "engine/prepared/guarded_lookup.h"
#include "engine/prepared/rule_index.h"
#include "engine/prepared/rule_slots.h"
#include "record/record_layout.h"
#include "tables/table_loader.h"
#include "tables/table_store.h"

namespace grouper {

// True when the catalogue types exactly the built-in logic ids 782..823 "l"
// and every other id from 1 up "t"; a catalogue too short to hold the logic
// ids fails.
bool logic_setting_matches(const TableStore& tables);

// The completion flag of diagnosis id `id`, 0 for an id outside the flags:
// "y" marks an accepted end point of completing a short code.  A failed
// lookup reads the flag of id 0.
inline char dx_flag_of(const TableStore& tables, int16_t id) {
  return key_in(id, tables.dx_flag.size()) ? tables.dx_flag[static_cast<size_t>(id)] : 0;
}

class PreparedSet {
 public:
  // Takes the arrays of a loaded store (as load_tables left them).
  explicit PreparedSet(TableStore store);
  PreparedSet(const PreparedSet&) = delete;
  PreparedSet& operator=(const PreparedSet&) = delete;

  const TableStore& store() const { return store_; }

  // Whether the condition catalogue agrees with the built-in logic
  // conditions.  A set that does not is still grouped up to the first
  // record, which is where the batch run reports it.
  bool logic_setting_ok() const { return logic_setting_ok_; }

  // Dictionary search: positions 1..10 search the diagnoses, 11.. the
  // procedures.  Returns the code id or 0.
  int16_t find_code_id(const char* code, int position) const {
    return position <= kLastDx ? find_dx_id(code) : find_sg_id(code);
  }
  int16_t find_dx_id(const char* code) const { return dx_sorted_ ? id_of(dx_index_.find(code)) : search_dx(code); }
  int16_t find_sg_id(const char* code) const { return sg_sorted_ ? id_of(sg_index_.find(code)) : search_sg(code); }

  // A diagnosis of four characters ("ABCD ") is completed to "ABCD0" when
  // that code is flagged "y", else looked up as given.  Whether a code the
  // dictionary holds stands as given is worked out when the tables are
  // opened: then this gives its id in one lookup, and true.  False when the
  // lookups must decide.
  bool find_standing_dx(const char* code, int16_t& id) const {
    const int32_t found = dx_sorted_ ? dx_index_.find_marked(code) : -1;
    if (found < 0) return false;
    id = id_of(found);
    return true;
  }

  // The first row of the DRG list, from row 0 up, that holds the 5-byte
  // `key`, or -1.
  int32_t find_drg_row(const char* key) const { return drg_index_.find(key); }

  // The rule indexes of Tadrg and Tadrg1.
  const RuleIndex& tadrg_index() const { return tadrg_index_; }
  const RuleIndex& tadrg1_index() const { return tadrg1_index_; }

  // The code of MDC or ADRG list row `index` as a result holds it: up to
  // its first NUL, NULs after it; all NULs for no group (0) and for an index
  // the list does not hold.  Eight bytes, of which the list's width (3 or 4)
  // count.  (A DRG's comes with its group rows.)
  const char* mdc_text(int16_t index) const { return mdc_text_.at(index); }
  const char* adrg_text(int16_t index) const { return adrg_text_.at(index); }

  // The rows of every code id, laid out for the stages.
  const CodeRows& code_rows() const { return code_rows_; }
  // The rows of every ADRG and DRG, laid out for the stages.
  const GroupRows& group_rows() const { return group_rows_; }

 private:
  // A code id as the index holds it (its 16-bit pattern), 0 when not found.
  static int16_t id_of(int32_t found) { return found < 0 ? int16_t{0} : static_cast<int16_t>(static_cast<uint16_t>(found)); }
  // The halving search, for a dictionary whose rows are not strictly ascending.
  int16_t search_dx(const char* code) const;
  int16_t search_sg(const char* code) const;

  TableStore store_;
  // A dictionary whose rows 1..n-1 are strictly ascending finds a code by
  // its hash index (which holds each row's code id): the halving search
  // finds exactly those rows.  An unsorted one is searched by halving,
  // which is what decides there, misses included.
  CodeIndex dx_index_, sg_index_, drg_index_;
  // The list codes as results hold them, row 0 all NULs (see mdc_text),
  // in rows of eight bytes.
  // plain: each record copies its codes up to their first NUL, from rows of
  // the list's width; saved about 20 instructions a record.
  struct ResultTexts {
    std::vector<std::array<char, 8>> rows;
    const char* at(int16_t index) const {
      return rows[index > 0 && static_cast<size_t>(index) < rows.size() ? static_cast<size_t>(index) : 0].data();
    }
  };
  ResultTexts mdc_text_, adrg_text_;
  RuleIndex tadrg_index_, tadrg1_index_;
  CodeRows code_rows_;
  GroupRows group_rows_;
  bool dx_sorted_ = false, sg_sorted_ = false;
  bool logic_setting_ok_ = false;
};

// Loads the sixteen files of `dir` and builds a PreparedSet from them.  Returns
// the loader's status (kLoadOk, kLoadFailed, kLoadCountMismatch); `messages`
// receives the loader's own message text and `failure`, when given, which
// file stopped the load and why.  `set` is filled only on kLoadOk.
int open_table_set(const std::filesystem::path& dir, std::unique_ptr<const PreparedSet>& set,
                   std::string& messages, episode_grouper::Status* failure = nullptr,
                   FileAccess access = FileAccess::kRead);

}  // namespace grouper
