// Episodes as named fields: every field rule and its message, the record the
// builder writes, ages in place of a birth date, and records read back.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "episode_grouper/episode.h"
#include "episode_grouper/grouper.h"
#include "generate_episodes.h"
#include "generate_profile.h"
#include "generate_tables.h"
#include "support/run_program.h"
#include "tables/table_writer.h"

namespace grouper {
namespace {

namespace eg = episode_grouper;
using Fields = std::map<std::string, std::string>;

const Fields kValid = {{"id", "A1"},          {"birth_date", "1980-03-15"}, {"sex", "F"},
                       {"record_date", "2005-06-01"}, {"los", "4"},         {"discharge", "1"},
                       {"principal", "k35.8"}, {"secondary", "E11.9|I10"}, {"procedures", "5470"}};

eg::Episode episode_of(const Fields& fields, eg::FieldErrors& errors) {
  eg::Episode e;
  for (const auto& [name, text] : fields) {
    const auto field = eg::episode_field_of(name);
    EXPECT_TRUE(field.has_value()) << name;
    if (field) eg::set_field_text(e, *field, text, errors);
  }
  return e;
}

// The texts of the errors of building `fields` (kValid changed by them; an
// empty text removes a field).
std::vector<std::string> errors_of(const Fields& changes) {
  Fields fields = kValid;
  for (const auto& [name, text] : changes) {
    if (text.empty()) fields.erase(name);
    else fields[name] = text;
  }
  eg::FieldErrors errors;
  const eg::Episode e = episode_of(fields, errors);
  char record[eg::kEpisodeRecordBytes];
  const bool built = eg::build_record(e, record, errors);
  EXPECT_EQ(built, errors.empty());
  std::vector<std::string> texts;
  for (const eg::FieldError& err : errors) texts.push_back(err.text());
  return texts;
}

using Texts = std::vector<std::string>;

TEST(Episode, EachFieldRuleNamesTheFieldTheValueAndTheReason) {
  EXPECT_EQ(errors_of({}), Texts{});
  EXPECT_EQ(errors_of({{"birth_date", "2005-02-30"}}), Texts{"birth_date: 2005-02-30 is not a calendar date"});
  EXPECT_EQ(errors_of({{"birth_date", "1799-12-31"}}),
            Texts{"birth_date: 1799-12-31 is not from 1800-01-01 to 2099-12-31"});
  EXPECT_EQ(errors_of({{"birth_date", "2005-06-02"}}),
            Texts{"birth_date: 2005-06-02 is after record_date 2005-06-01"});
  EXPECT_EQ(errors_of({{"birth_date", "15.03.1980"}}), Texts{"birth_date: 15.03.1980 is not a date (YYYY-MM-DD)"});
  EXPECT_EQ(errors_of({{"record_date", "20050631"}}), Texts{"record_date: 2005-06-31 is not a calendar date"});
  EXPECT_EQ(errors_of({{"record_date", ""}}), Texts{"record_date: required"});
  EXPECT_EQ(errors_of({{"birth_date", ""}}), Texts{"birth_date: required (or age_years or age_days)"});
  EXPECT_EQ(errors_of({{"age_years", "25"}}),
            Texts{"age_years: give only one of birth_date, age_years and age_days"});
  EXPECT_EQ(errors_of({{"birth_date", ""}, {"age_days", "-3"}}), Texts{"age_days: -3 is negative"});
  EXPECT_EQ(errors_of({{"birth_date", ""}, {"age_years", "300"}}),
            Texts{"age_years: 300 puts the birth date at 1705-06-01, not from 1800-01-01 to 2099-12-31"});
  EXPECT_EQ(errors_of({{"sex", "x"}}), Texts{"sex: x is not M or F"});
  EXPECT_EQ(errors_of({{"sex", ""}}), Texts{"sex: required"});
  EXPECT_EQ(errors_of({{"los", "1000"}}), Texts{"los: 1000 is not from 0 to 999"});
  EXPECT_EQ(errors_of({{"los", "4.5"}}), Texts{"los: 4.5 is not a whole number"});
  EXPECT_EQ(errors_of({{"discharge", "10"}}), Texts{"discharge: 10 is not from 0 to 9"});
  EXPECT_EQ(errors_of({{"principal", ""}}), Texts{"principal: required"});
  EXPECT_EQ(errors_of({{"principal", "K35.8.1"}}),
            Texts{"principal: K35.8.1 is not a code (1 to 5 letters and digits, one dot allowed)"});
  EXPECT_EQ(errors_of({{"procedures", "5470|54-71"}}),
            Texts{"procedures: 54-71 is not a code (1 to 5 letters and digits, one dot allowed)"});
  EXPECT_EQ(errors_of({{"secondary", "A1|A2|A3|A4|A5|A6|A7|A8|A9|B1"}}), Texts{"secondary: 10 codes, at most 9"});
  EXPECT_EQ(errors_of({{"id", "123456789"}}), Texts{"id: 123456789 is longer than 8 characters"});
  EXPECT_EQ(errors_of({{"birth_weight", "100000"}}), Texts{"birth_weight: 100000 is not from 0 to 99999"});
  EXPECT_EQ(errors_of({{"vent_hours", "many"}}), Texts{"vent_hours: many is not a whole number"});
  // Every error of an episode, not only the first.
  EXPECT_EQ(errors_of({{"los", "-1"}, {"sex", "unknown"}, {"record_date", "2005-13-01"}}),
            (Texts{"sex: unknown is not M or F", "record_date: 2005-13-01 is not a calendar date",
                   "los: -1 is not from 0 to 999"}));
}

std::string record_of(const Fields& changes) {
  Fields fields = kValid;
  for (const auto& [name, text] : changes) {
    if (text.empty()) fields.erase(name);
    else fields[name] = text;
  }
  eg::FieldErrors errors;
  const eg::Episode e = episode_of(fields, errors);
  std::string record(eg::kEpisodeRecordBytes, '?');
  EXPECT_TRUE(eg::build_record(e, record.data(), errors)) << errors.text();
  return record;
}

TEST(Episode, BuildsEveryFieldInItsPlace) {
  std::string want(eg::kEpisodeRecordBytes, ' ');
  auto at = [&](size_t offset, std::string_view text) { want.replace(offset, text.size(), text); };
  at(0, "A1");
  at(8, "800315");
  at(14, "2");
  at(21, "20050601");
  at(29, "004");
  at(32, "1");
  at(33, "K358 E119 I10");
  at(83, "5470");
  at(263, "  950");
  at(268, "   12");
  EXPECT_EQ(record_of({{"birth_weight", "950"}, {"vent_hours", "12"}}), want);
}

TEST(Episode, WritesTheCenturyOfTheBirthYearIntoTheSexDigit) {
  const std::pair<const char*, std::string_view> cases[] = {
      {"1850-01-01", "90"}, {"1999-12-31", "12"}, {"2000-01-01", "34"}, {"1800-01-01", "90"}};
  for (const auto& [birth, digits] : cases) {
    EXPECT_EQ(record_of({{"birth_date", birth}, {"sex", "male"}})[14], digits[0]) << birth;
    EXPECT_EQ(record_of({{"birth_date", birth}, {"sex", "f"}})[14], digits[1]) << birth;
  }
  EXPECT_EQ(record_of({{"birth_date", "1850-07-04"}}).substr(8, 7), "5007040");
}

TEST(Episode, TakesAnAgeInPlaceOfTheBirthDate) {
  // 29 February less whole years falls back to 28 February.
  EXPECT_EQ(record_of({{"birth_date", ""}, {"age_years", "30"}, {"record_date", "2024-02-29"}}).substr(8, 7),
            "9402282");
  EXPECT_EQ(record_of({{"birth_date", ""}, {"age_years", "0"}, {"record_date", "2024-02-29"}}).substr(8, 7),
            "2402294");
  EXPECT_EQ(record_of({{"birth_date", ""}, {"age_days", "10"}, {"record_date", "2005-01-05"}}).substr(8, 7),
            "0412264");
}

TEST(Episode, ReadsARecordBackOrSaysWhichFieldCannotBeTold) {
  eg::Episode e;
  eg::FieldErrors errors;
  ASSERT_TRUE(eg::read_record(record_of({}) + "\r\n", e, errors)) << errors.text();
  EXPECT_EQ(e.id, "A1");
  EXPECT_EQ(e.birth_date, 19800315);
  EXPECT_EQ(e.sex, 'F');
  EXPECT_EQ(e.principal, "K358");
  EXPECT_EQ(e.secondary, (std::vector<std::string>{"E119", "I10"}));
  EXPECT_FALSE(e.birth_weight.has_value());

  // A digit "5" to "8" takes the century the grouping gives it.
  std::string r = record_of({});
  r[14] = '5';
  ASSERT_TRUE(eg::read_record(r, e, errors));
  EXPECT_EQ(e.birth_date, 19800315);
  EXPECT_EQ(e.sex, 'M');
  r.replace(8, 2, "01");
  ASSERT_TRUE(eg::read_record(r, e, errors));
  EXPECT_EQ(e.birth_date, 20010315);

  r = record_of({});
  r.replace(21, 8, "2005O601");
  r[14] = 'X';
  r.replace(29, 3, "4 d");
  EXPECT_FALSE(eg::read_record(r, e, errors));
  std::vector<std::string> texts;
  for (const eg::FieldError& err : errors) texts.push_back(err.text());
  EXPECT_EQ(texts, (Texts{"record_date: '2005O601' is not a date YYYYMMDD", "sex: 'X' is not a sex and century digit",
                          "birth_date: '800315' has no century: the sex digit cannot tell it",
                          "los: '4 d' is not a number"}));
}

// Every generated record reads back into an episode whose record groups as
// the original and reads back into the same episode.
TEST(Episode, RoundTripsEveryGeneratedRecord) {
  const tools::SyntheticSet s = tools::generate_tables(*tools::find_profile("realistic"), 11);
  testing::ScratchDir dir("episode-round-trip");
  std::string error;
  ASSERT_TRUE(write_tables(s.tables, dir.path(), error)) << error;
  eg::Status status;
  auto tables = eg::TableSet::open(dir.path(), status);
  ASSERT_NE(tables, nullptr) << status.message;
  eg::Grouper g(tables);
  tools::EpisodeMaker maker(s.model, 11);
  std::string line(tools::kEpisodeWidth, ' ');
  std::string built(eg::kEpisodeRecordBytes, ' ');
  eg::Episode episode, again;
  eg::FieldErrors errors;
  for (int i = 1; i <= 3000; ++i) {
    maker.make(static_cast<uint64_t>(i), line.data());
    SCOPED_TRACE(line);
    ASSERT_TRUE(eg::read_record(line, episode, errors)) << errors.text();
    ASSERT_TRUE(eg::build_record(episode, built.data(), errors)) << errors.text();
    ASSERT_TRUE(eg::read_record(built, again, errors)) << errors.text();
    ASSERT_EQ(again, episode);
    const eg::Result want = g.group(line);
    const eg::Result& got = g.group(built);
    ASSERT_EQ(got.values.age_yy, want.values.age_yy);
    ASSERT_EQ(got.values.age_dd, want.values.age_dd);
    ASSERT_EQ(got.code_ids, want.code_ids);
    ASSERT_EQ(got.res_drg_code, want.res_drg_code);
    ASSERT_EQ(got.res_ccl_excl, want.res_ccl_excl);
    ASSERT_EQ(got.res_ltcdrg, want.res_ltcdrg);
    ASSERT_EQ(got.findings.count, want.findings.count);
  }
}

}  // namespace
}  // namespace grouper
