// An episode as named fields, and the one builder that turns it into the
// fixed-width record the grouping reads.
//
// Every client that takes named fields (the program's CSV, TSV and JSON Lines
// input, the Python module and its DataFrames, the service's JSON, the C ABI)
// fills an Episode, from typed values or from the text forms below, and
// calls build_record.  A value that cannot be encoded is an error naming the
// field, the value and the reason; it is never padded or cut silently.  All
// errors of an episode are reported, not only the first.
//
// The record (kEpisodeRecordBytes characters, blank where no field lies):
//
//   field         offset  width  form
//   id                 0      8  text, blank-padded on the right
//   birth_date         8      6  YYMMDD; the century goes into the sex digit
//   sex               14      1  "1"/"2" born in the 1900s, "3"/"4" in the 2000s,
//                                "9"/"0" in the 1800s; odd for M, even for F
//   record_date       21      8  YYYYMMDD
//   los               29      3  zero-padded
//   discharge         32      1  one digit
//   principal         33      5  code position 1
//   secondary         38     45  positions 2..10, in order, packed
//   procedures        83    180  positions 11..46, in order, packed
//   birth_weight     263      5  grams, right-aligned, blank when not given
//   vent_hours       268      5  right-aligned, blank when not given
//
// Instead of a birth date, an age in whole years or days may be given: the
// birth date is then the record date less that many years (29 February
// falls back to 28) or days.  Exactly one of the three is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "episode_grouper/export.h"
#include "episode_grouper/status.h"

namespace episode_grouper {

inline constexpr size_t kEpisodeRecordBytes = 300;  // a built record, without a line feed
inline constexpr size_t kMaxIdBytes = 8;
inline constexpr size_t kMaxSecondary = 9;
inline constexpr size_t kMaxProcedures = 36;

enum class EpisodeField : uint8_t {
  kId,
  kBirthDate,
  kAgeYears,
  kAgeDays,
  kSex,
  kRecordDate,
  kLos,
  kDischarge,
  kPrincipal,
  kSecondary,
  kProcedures,
  kBirthWeight,
  kVentHours,
  kRow,  // not a field: the input row as a whole (a row that cannot be read)
};
inline constexpr int kEpisodeFields = 13;  // the fields, kRow not counted

// "id", "birth_date", "age_years", "age_days", "sex", "record_date", "los",
// "discharge", "principal", "secondary", "procedures", "birth_weight",
// "vent_hours", and "row".
EPISODE_GROUPER_API std::string_view episode_field_name(EpisodeField field);
// The field of a name above (exactly as written), or none.
EPISODE_GROUPER_API std::optional<EpisodeField> episode_field_of(std::string_view name);

struct FieldError {
  EpisodeField field = EpisodeField::kRow;
  std::string value;    // the value as given ("" when none was)
  std::string message;  // what is wrong, e.g. "2005-02-30 is not a calendar date"
  // "field: message", e.g. "birth_date: 2005-02-30 is not a calendar date".
  EPISODE_GROUPER_API std::string text() const;
};

// The errors of one episode, in the order found.
class EPISODE_GROUPER_API FieldErrors {
 public:
  void add(EpisodeField field, std::string_view value, std::string message);
  void clear();
  bool empty() const { return list_.empty(); }
  size_t size() const { return list_.size(); }
  const FieldError& operator[](size_t i) const { return list_[i]; }
  std::vector<FieldError>::const_iterator begin() const { return list_.begin(); }
  std::vector<FieldError>::const_iterator end() const { return list_.end(); }
  // Whether an error names `field`.
  bool has(EpisodeField field) const { return (fields_ >> static_cast<unsigned>(field)) & 1u; }
  // Every error's text, separated by "; ".
  std::string text() const;
  // A Status of kind kInvalidEpisode with text() as its message (kOk when empty).
  Status status() const;

 private:
  std::vector<FieldError> list_;
  uint32_t fields_ = 0;
};

// An episode's fields.  An unset optional, an empty text or list, and a sex
// of 0 mean "not given".  Dates are YYYYMMDD numbers; codes are kept as
// given and normalised by build_record (one dot removed, letters
// upper-cased: "k35.8" is "K358").
struct Episode {
  std::string id;
  std::optional<int32_t> birth_date;
  std::optional<int32_t> age_years;
  std::optional<int32_t> age_days;
  char sex = 0;  // 'M' or 'F', either case
  std::optional<int32_t> record_date;
  std::optional<int32_t> los;
  std::optional<int32_t> discharge;
  std::string principal;
  std::vector<std::string> secondary;
  std::vector<std::string> procedures;
  std::optional<int32_t> birth_weight;  // grams
  std::optional<int32_t> vent_hours;

  // Makes every field "not given", keeping the room of the texts and lists.
  EPISODE_GROUPER_API void clear();
  bool operator==(const Episode&) const = default;
};

// Sets `field` from its text form, as CSV, JSON and DataFrame text columns
// hold it: a date as YYYY-MM-DD or YYYYMMDD, a whole number in decimal, the
// sex as M, F, male or female in any case, a code list as codes separated by
// "|" (each code added to what the list holds).  Blanks around the text are
// ignored; an empty text leaves the field not given.  A text that cannot be
// read adds an error and leaves the field as it was.
EPISODE_GROUPER_API void set_field_text(Episode& episode, EpisodeField field, std::string_view text,
                                        FieldErrors& errors);

// Checks the fields together and writes the record into `record`
// (kEpisodeRecordBytes bytes, no line feed).  True when it was built; else
// false with every error added to `errors` and `record` holding only the id
// (when that can be encoded) in a blank record.  A field that already has an
// error in `errors` is not checked again.
EPISODE_GROUPER_API bool build_record(const Episode& episode, char* record, FieldErrors& errors);

// Reads the fields back from a record (bytes past its end, or past a line
// feed, read as blanks; a slot or number field of blanks is "not given").
// True when every field can be told and the episode builds again; else false
// with an error for each field that cannot (a letter in a date, a sex digit
// that is not one of the six, a code that is not a code).  Codes come back
// as build_record writes them (upper-cased, without a dot); a birth century
// digit "5" to "8" is told as the grouping tells it.
EPISODE_GROUPER_API bool read_record(std::string_view record, Episode& episode, FieldErrors& errors);

// A date YYYYMMDD as "YYYY-MM-DD" (a number that is no such date as its digits).
EPISODE_GROUPER_API std::string date_text(int32_t yyyymmdd);

}  // namespace episode_grouper
