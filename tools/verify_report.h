// The findings of a table-set check, ordered and capped for reading.
//
// Every finding names its file, array and element index and says what is
// wrong.  Findings of one kind (same file, array and check) are grouped; a
// group prints its first `cap` findings and a count of the rest.  Groups are
// printed most serious first: what would make the grouping read outside a
// table, then what stops the run, then what gives wrong groups, then
// irregularities that change no result.
//
// Workload: a broken table set may hold a million findings, so a group keeps
// only the texts it will print and counts the others.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace grouper::tools {

enum class Severity : uint8_t {
  kOutside = 0,  // an unguarded grouping would read outside a table
  kStopsRun = 1, // the run ends at the first record
  kWrongResult = 2,
  kIrregular = 3,  // breaks a rule of the file format, changes no group
};
inline constexpr int kSeverityCount = 4;

std::string_view severity_title(Severity s);

struct Finding {
  Severity severity;
  std::string file;
  std::string array;
  int64_t index;  // element index, -1 for a count or a whole array
  std::string what;
};

class Report {
 public:
  explicit Report(size_t cap = 10) : cap_(cap) {}

  // Records one finding of kind `check` (a short fixed name of the test that
  // failed, e.g. "range past rows").  `what` is built only when it will be
  // printed, so callers pass a callable returning the text.
  template <class MakeText>
  void add(Severity s, std::string_view file, std::string_view array, std::string_view check,
           int64_t index, MakeText&& make_text) {
    Group& g = group(s, file, array, check);
    ++g.count;
    if (g.shown.size() < cap_) {
      g.shown.push_back(Finding{s, std::string(file), std::string(array), index, make_text()});
    }
  }

  size_t total() const { return total_; }
  size_t count(Severity s) const;
  bool clean() const { return total_ == 0; }

  // Every finding kept for printing, most serious first, then in the order
  // the kinds were first met.
  std::vector<Finding> shown() const;

  // The printable report: one line per kept finding, a "... and N more" line
  // per group that was capped, and a closing count line.  "" when clean.
  std::string text() const;

 private:
  struct Group {
    Severity severity;
    size_t order;
    std::string label;  // "file array"
    size_t count = 0;
    std::vector<Finding> shown;
  };
  Group& group(Severity s, std::string_view file, std::string_view array, std::string_view check);
  std::vector<const Group*> ordered() const;

  size_t cap_;
  size_t total_ = 0;
  std::map<std::string, Group, std::less<>> groups_;
};

// How a byte is shown in a finding: "y", or 0x00 when it is not printable.
std::string show_byte(uint8_t b);
// A fixed-width code text as shown in a finding: printable bytes as they are,
// others as \xNN, in double quotes.
std::string show_text(const char* text, size_t width);

}  // namespace grouper::tools
