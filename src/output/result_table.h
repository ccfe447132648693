// The detailed result file: one tab-separated row per record, after a header
// row naming the columns
//
//   record mdc adrg drg pccl ccl_raw ccl_excl supplementary age_yy age_dd findings
//
// `record` counts from 1.  `mdc` and `adrg` are the code texts of res_mdc and
// res_adrg (empty for no group or an index past its list), `drg` the six
// characters of res_drg_code when the record has a DRG, `pccl`, `ccl_raw` and
// `ccl_excl` are filled only when the record has an ADRG, `supplementary` is
// the code of the result line.  Code texts end at their first NUL; a tab,
// line feed, carriage return or backslash inside one is written as \t, \n,
// \r or \\, so that a broken table code cannot break the rows.
//
// Rows of episodes given as named fields carry an `id` column after
// `record`.  An episode that cannot be built has a row without groups (every
// column between `id` and `findings` empty) whose findings are one
// "input_invalid@FIELD:MESSAGE" for each field error, as many as fit, and
// "more:N" for the rest.
//
// Rows of a run over a registry of table versions end with a `tables`
// column, the version's name; a record no version holds has a row without
// groups (every column between `record` and `findings` empty) whose findings
// are "no_table_version@rec_date:DATE".
//
// `findings` lists the record's findings in the order met, separated by ";":
// each its name, "@" and the position or field it names, ":" and a code
// text, ">" and the text completed or rewritten to (the parts a finding
// has; texts without their trailing blanks, ";" and ">" in them written
// as \; and \>), and "more:N" when N more did not fit, for example
//
//   dx_unknown@3:U123;dx_completed@1:K35>K350;field_blank@los
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

inline constexpr size_t kMaxResultRowBytes = 2048;

std::string_view result_table_header();

// The header with the three weight columns of weight_columns.h after the others.
std::string_view result_table_header_with_weights();

// The header of rows with or without the weight columns and the id column.
std::string_view result_table_header(bool with_weights, bool with_id);

// Lays out the row of record number `record` into `out` (kMaxResultRowBytes)
// and returns its length.  With `weight`, the weight columns follow the
// others (see weight_columns.h); with `id`, the id column follows `record`;
// with `impact`, the impact column comes last (see impact_columns.h; `out`
// then holds kMaxImpactColumnBytes more).
size_t format_result_row(int64_t record, const TableStore& tables, const Result& result,
                         const episode_grouper::Findings& findings, char* out,
                         const episode_grouper::EpisodeWeight* weight = nullptr, const std::string_view* id = nullptr,
                         const episode_grouper::Impact* impact = nullptr);

// The row of an episode that could not be built (see above), into `out`
// (kMaxResultRowBytes); the weight columns are there, empty, when asked for.
size_t format_invalid_row(int64_t record, const std::string_view* id, const episode_grouper::FieldErrors& errors,
                          bool with_weights, char* out);

// The row of a record that was not grouped because no table version holds
// its date (a run over a registry of versions): every column between
// `record` (or `id`) and `findings` empty, `findings` those given (its
// no_table_version), the weight columns empty when asked for.
size_t format_ungrouped_row(int64_t record, const std::string_view* id, const episode_grouper::Findings& findings,
                            bool with_weights, char* out);

// Bytes the tables column adds to a row, at most: a tab and a version name
// (at most 64 bytes, see table_registry.h).
inline constexpr size_t kMaxTablesColumnBytes = 1 + 64;

// Appends the tables column, `version` (empty for none), to the row
// out[0, len) that ends in its line feed; returns the row's new length.
size_t add_tables_column(char* out, size_t len, std::string_view version);

// Bytes one finding takes in the findings column, at most.
inline constexpr size_t kMaxFindingBytes = 64;

// Appends one finding as the findings column writes it (without a
// separator), e.g. "dx_completed@1:K35>K350"; the column is these joined by
// ";".  Clients that keep the findings apart (a database array) write each
// with it.
char* put_finding(char* out, const episode_grouper::Finding& finding);
// Appends a code text as a finding writes it: \t, \n, \r, \\, \; and \>
// for the bytes that would break the row or the list.
char* put_finding_code(char* out, std::string_view text);
// Appends "more:N", the last entry of a column when N findings did not fit.
char* put_more_findings(char* out, int64_t more);

// Appends the findings of an episode that could not be built, at most
// `room` bytes of them (at least 64).
char* put_invalid_findings(char* out, const episode_grouper::FieldErrors& errors, size_t room);

}  // namespace grouper
