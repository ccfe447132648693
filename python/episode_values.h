// Python values of episode fields, read once with the GIL into cells that
// the building of episodes uses without it.
//
// A value is None or missing (NaN, NaT, pandas.NA: not given), a str (its
// text form, read by episode_grouper::set_field_text, the one parser of
// text forms; UTF-8 bytes as a CSV file holds them) or bytes, an int, a
// float with a whole value, a datetime.date (a datetime or a pandas
// Timestamp too: its calendar date), or for `secondary` and `procedures` a
// list, tuple or array of codes.  A whole number or a date given to a field
// that takes text is read as its text ("123", "2005-05-15").  Any other
// value, a list given to another field included, is an error of its field.
//
// The texts are copied into one byte arena per column, read in row order
// afterwards; typed arrays are used where they are, and whoever holds the
// column keeps them alive (and drops them only with the GIL).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "episode_grouper/episode.h"
#include "module_common.h"

namespace episode_grouper_python {

// One value as read: 16 bytes, no Python object.
struct Cell {
  enum Kind : uint8_t { kMissing, kText, kWhole, kReal, kDate, kList, kBad };
  union {
    int64_t whole;  // kText: offset in the arena; kWhole; kDate: YYYYMMDD; kList: first item; kBad: index of the error
    double real;       // kReal
  };
  uint32_t size = 0;  // kText: bytes; kList: items
  Kind kind = kMissing;
  Cell() : whole(0) {}
};

// The values of one field over many rows: Python objects read into cells,
// or a typed array (whole numbers with an optional missing mask, reals,
// days since 1970-01-01 with INT64_MIN as missing) used as it is.
struct FieldColumn {
  enum Kind : uint8_t { kCells, kWholes, kReals, kDays };
  eg::EpisodeField field = eg::EpisodeField::kRow;
  Kind kind = kCells;
  std::vector<Cell> cells;
  std::vector<Cell> items;                                // the items of kList cells
  std::string text;                                       // the bytes of kText cells
  std::vector<std::pair<std::string, std::string>> bad;  // (value, message) of kBad cells
  const int64_t* wholes = nullptr;
  const bool* missing = nullptr;
  const double* reals = nullptr;
  py::list keep;  // the arrays `wholes`, `missing` and `reals` point into

  // Reads one object as the value of row `cells.size()`, appending its cell.
  void read(PyObject* value);
  // Sets the field of row `row` in `episode` (no GIL needed).
  void apply(size_t row, eg::Episode& episode, eg::FieldErrors& errors) const;

 private:
  Cell cell_of(PyObject* value, bool in_list);
  Cell bad_cell(PyObject* value, const std::string& why);
  void apply_cell(const Cell& cell, eg::Episode& episode, eg::FieldErrors& errors) const;
};

// Sets `field` from a whole number, a real or a date (YYYYMMDD) as its text
// form would (a number too large for any field is read as its digits).
void set_field_whole(eg::Episode& episode, eg::EpisodeField field, int64_t value, eg::FieldErrors& errors);
void set_field_real(eg::Episode& episode, eg::EpisodeField field, double value, eg::FieldErrors& errors);
void set_field_date(eg::Episode& episode, eg::EpisodeField field, int32_t yyyymmdd, eg::FieldErrors& errors);

// Text as a str, read as UTF-8 (bytes that are not UTF-8 replaced by U+FFFD).
py::str utf8_text(std::string_view text);

// The exception types (set up by add_episodes).
extern py::object episode_error;
extern py::object field_error_type;

// Raises EpisodeError for `errors` (after `unknown`: errors of names that are
// no field, as (name, value, message)), the message starting with `what`;
// `index`, when given, becomes the exception's `index` attribute.
[[noreturn]] void raise_episode_error(const eg::FieldErrors& errors,
                                      const std::vector<std::tuple<std::string, std::string, std::string>>& unknown,
                                      const std::string& what, const py::object& index = py::object());

}  // namespace episode_grouper_python
