// The JSON Lines result row of one record: one JSON object and a line feed,
//
//   {"record":1,"mdc":"01","adrg":"B01A","drg":"B01A1A","pccl":3,
//    "ccl_raw":"0030000000","ccl_excl":"0030000000","supplementary":"0000",
//    "age_yy":54,"age_dd":19850,"rec_date":20050301,"sex_cd":1,"los_dd":5,
//    "dsch_cd":1,"birth_wt":0,"vent_hr":0,"findings":[]}
//
// The fields of the detailed result file, with null where that file has an
// empty field, followed by the record values and the findings: an array of
// objects with "code" and, as the finding has them, "position", "field",
// "text" and "to" (texts without their trailing blanks), and a last object
// {"code":"more","count":N} when N more did not fit.  Code texts end at their first
// NUL and are read as Latin-1, so every byte of a table code becomes valid
// JSON text that decodes back to the same byte.
//
// Rows of episodes given as named fields have "id" after "record".  An
// episode that cannot be built has a row with null groups, record values and
// weights, and a finding {"code":"input_invalid","field":F,"text":MESSAGE}
// for each field error (as many as fit, then {"code":"more","count":N}).
//
// Rows of a run over a registry of table versions end with "tables", the
// version's name, or null for a record no version holds; such a record has
// a row with null groups and record values and its no_table_version
// finding {"code":"no_table_version","field":"rec_date","date":D}.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/engine.h"
#include "episode_grouper/episode.h"
#include "episode_grouper/impact.h"
#include "episode_grouper/weights.h"
#include "tables/table_store.h"

namespace grouper {

inline constexpr size_t kMaxJsonRowBytes = 4096;

// Appends `text` as a JSON string (quotes included), bytes read as Latin-1.
// Writes at most 2 + 6 * text.size() bytes.
char* put_json_string(char* out, std::string_view text);

// Appends a record's findings as the rows write them: a JSON array of
// objects.  Writes less than kMaxJsonRowBytes.
char* put_json_findings(char* out, const episode_grouper::Findings& findings);

// Lays out the object of record number `record` into `out`
// (kMaxJsonRowBytes) and returns its length.  With `weight`, "weight",
// "effective_weight" and "los_class" follow "findings" (see weight_columns.h);
// with `impact`, "impact" comes last (see impact_columns.h; `out` then holds
// kMaxImpactJsonBytes more).
size_t format_json_row(int64_t record, const TableStore& tables, const Result& result,
                       const episode_grouper::Findings& findings, char* out,
                       const episode_grouper::EpisodeWeight* weight = nullptr, const std::string_view* id = nullptr,
                       const episode_grouper::Impact* impact = nullptr);

// The object of an episode that could not be built (see above), into `out`
// (kMaxJsonRowBytes); "weight", "effective_weight" and "los_class" are
// there, null, when asked for.
size_t format_json_invalid_row(int64_t record, const std::string_view* id, const episode_grouper::FieldErrors& errors,
                               bool with_weights, char* out);

// The object of a record no table version holds (see above), into `out`
// (kMaxJsonRowBytes), with `findings` (its no_table_version).
size_t format_json_ungrouped_row(int64_t record, const std::string_view* id,
                                 const episode_grouper::Findings& findings, bool with_weights, char* out);

// Bytes the tables member adds to an object, at most (a name of 64 bytes).
inline constexpr size_t kMaxTablesMemberBytes = 12 + 64;

// Appends the member "tables": `version` (null when empty) to the object
// out[0, len), which ends in "}" and a line feed; returns its new length.
size_t add_tables_member(char* out, size_t len, std::string_view version);

}  // namespace grouper
