// The report's counts of result rows: the same records count the same in
// TSV and in JSON Lines, whatever else a JSON row carries and however the
// rows are split between counters that are merged; a row that cannot be
// counted is refused.
#include "batch/result_counts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace grouper {
namespace {

constexpr std::string_view kTsvHeader =
    "record\tmdc\tadrg\tdrg\tpccl\tccl_raw\tccl_excl\tsupplementary\tage_yy\tage_dd\tfindings";

// One record's counted values, as TSV fields (empty: none).
struct Record {
  std::string mdc, adrg, drg, pccl, supplementary, age;
};

const std::vector<Record> kRecords = {
    {"01", "B01", "B01A", "2", "", "67"},  {"01", "B01", "B01A", "2", "", "67"},   {"01", "B02", "B02Z", "0", "ZE01", "5"},
    {"05", "F10", "F10B", "4", "", "102"}, {"", "", "", "", "", "1234"},           {"05", "F10", "F10A", "1", "", "7"},
    {"01", "B01", "B01B", "3", "", "67"},  {"", "", "960Z", "", "", "40"},
};

std::string tsv_row(size_t n, const Record& r) {
  return std::to_string(n) + "\t" + r.mdc + "\t" + r.adrg + "\t" + r.drg + "\t" + r.pccl + "\t\t\t" + r.supplementary +
         "\t" + r.age + "\t0\t";
}

// The record as the program writes it in JSON Lines; `more` adds members
// that are not counted, an array of objects among them.
std::string json_row(size_t n, const Record& r, bool more) {
  auto text = [](const std::string& v) { return v.empty() ? std::string("null") : "\"" + v + "\""; };
  std::string row = "{\"record\":" + std::to_string(n) + ",\"mdc\":" + text(r.mdc) + ",\"adrg\":" + text(r.adrg) +
                    ",\"drg\":" + text(r.drg) + ",\"pccl\":" + (r.pccl.empty() ? "null" : r.pccl) +
                    ",\"ccl_raw\":null,\"ccl_excl\":null,\"supplementary\":\"" + r.supplementary +
                    "\",\"age_yy\":" + r.age + ",\"los_dd\":3,\"findings\":[]";
  if (more) row += ",\"extra\":[{\"code\":\"x,}]\",\"of\":[1,{\"a\":null}]},{}],\"note\":\"set {2}\"";
  return row + "}";
}

std::string json_of(ResultCounts& counts) {
  std::FILE* f = std::tmpfile();
  EXPECT_TRUE(counts.write_json(f));
  std::string text(static_cast<size_t>(std::ftell(f)), '\0');
  std::rewind(f);
  EXPECT_EQ(std::fread(text.data(), 1, text.size(), f), text.size());
  std::fclose(f);
  return text;
}

// The [key, count] pairs of the list `name` of counts' JSON, with the
// key's tab-joined values read as TSV holds them: a JSON string's text
// without its quotes, null as nothing.
std::map<std::string, int64_t> pairs(const std::string& json, const std::string& name) {
  const size_t from = json.find("\"" + name + "\": [");
  const std::string list = json.substr(from, json.find("]]", from) + 2 - from);
  std::map<std::string, int64_t> out;
  static const std::regex pair(R"re(\["((?:[^"\\]|\\.)*)", (\d+)\])re");
  for (std::sregex_iterator it(list.begin(), list.end(), pair), end; it != end; ++it) {
    std::string key;
    std::string values = (*it)[1].str() + "\\u0009";
    for (size_t at = 0, tab; (tab = values.find("\\u0009", at)) != std::string::npos; at = tab + 6) {
      std::string v = values.substr(at, tab - at);
      if (v == "null") v.clear();
      if (v.size() >= 4 && v.starts_with("\\\"")) v = v.substr(2, v.size() - 4);
      key += (at == 0 ? "" : "\t") + v;
    }
    out[key] += std::stoll((*it)[2].str());
  }
  return out;
}

TEST(ResultCounts, RowsCountTheSameInTsvAndJsonLinesHoweverSplitAndWhateverElseTheyCarry) {
  ResultCounts tsv, json, json_more, first, second, blanks_later, blanks_first;
  ASSERT_TRUE(tsv.start_tsv(kTsvHeader));
  for (ResultCounts* c : {&json, &json_more, &first, &blanks_later, &blanks_first}) c->start_jsonl();
  // Rows laid out as the first one are read by its layout, others member by
  // member: blanks, members added or left out.
  auto with_blanks = [](std::string row) { return std::regex_replace(row, std::regex("\":"), "\" : "); };
  for (size_t i = 0; i < kRecords.size(); ++i) {
    ASSERT_TRUE(tsv.add(tsv_row(i + 1, kRecords[i])));
    const std::string row = json_row(i + 1, kRecords[i], false);
    ASSERT_TRUE(json.add(row));
    ASSERT_TRUE(json_more.add(json_row(i + 1, kRecords[i], i % 2 == 1)));
    ASSERT_TRUE(blanks_later.add(i % 2 == 1 ? with_blanks(row) : row));
    ASSERT_TRUE(blanks_first.add(i % 2 == 0 ? with_blanks(row) : row));
  }
  EXPECT_EQ(json_of(blanks_later), json_of(json));
  EXPECT_EQ(json_of(blanks_first), json_of(json));
  // Split after the third row: the second counter takes the first's layout.
  for (size_t i = 0; i < kRecords.size(); ++i) {
    if (i == 3) second = first.empty_like();
    ASSERT_TRUE((i < 3 ? first : second).add(json_row(i + 1, kRecords[i], i % 3 == 0)));
  }
  ASSERT_TRUE(first.merge(second));
  EXPECT_EQ(json_of(json_more), json_of(json));
  EXPECT_EQ(json_of(first), json_of(json));

  // Rows of grouped records counted by a key of what their texts are made
  // from, twice over, in two counters merged: the counts of their texts.
  auto key_of = [](const Record& r) {
    ResultCounts::RowKey key;
    const std::string group = r.mdc + r.adrg + r.drg + r.pccl + r.supplementary;
    std::copy(group.begin(), group.begin() + std::min(group.size(), key.group.size()), key.group.begin());
    key.age = static_cast<int16_t>(std::stoi(r.age));
    key.los = 3;
    return key;
  };
  ResultCounts keyed, by_text, keyed_part;
  keyed.start_jsonl();
  by_text.start_jsonl();
  for (int round = 0; round < 2; ++round) {
    for (size_t i = 0; i < kRecords.size(); ++i) {
      const Record& r = kRecords[i];
      const std::string row = json_row(i + 1, r, false);
      ASSERT_TRUE(by_text.add(row));
      if (r.adrg.empty()) {
        ASSERT_TRUE(keyed.add(row));
        continue;
      }
      if (round == 1 && keyed_part.records() == 0) keyed_part = keyed.empty_like();
      ASSERT_TRUE((round == 0 ? keyed : keyed_part).add_keyed(key_of(r), row));
    }
  }
  ASSERT_TRUE(keyed.merge(keyed_part));
  EXPECT_EQ(keyed.records(), by_text.records());
  EXPECT_EQ(json_of(keyed), json_of(by_text));
  // Grouped rows with findings count them by the text given beside the
  // key, whether their group is known yet or not, in TSV and in JSON.
  ResultCounts keyed_tsv, tsv_by_text, keyed_json, json_by_text;
  ASSERT_TRUE(keyed_tsv.start_tsv(kTsvHeader));
  ASSERT_TRUE(tsv_by_text.start_tsv(kTsvHeader));
  keyed_json.start_jsonl();
  json_by_text.start_jsonl();
  for (size_t round = 0; round < 2; ++round) {
    for (size_t i = 0; i < kRecords.size(); ++i) {
      const bool any = i % 3 == round;
      const std::string findings = any ? "invalid_code@sdx:2" : "";
      const std::string row = tsv_row(i + 1, kRecords[i]) + findings;
      const std::string json_findings = any ? R"([{"code":"invalid_code","position":2}])" : "";
      std::string json = json_row(i + 1, kRecords[i], false);
      if (any) json.replace(json.find("[]"), 2, json_findings);
      ASSERT_TRUE(tsv_by_text.add(row));
      ASSERT_TRUE(json_by_text.add(json));
      if (kRecords[i].adrg.empty()) {
        ASSERT_TRUE(keyed_tsv.add(row));
        ASSERT_TRUE(keyed_json.add(json));
        continue;
      }
      ASSERT_TRUE(keyed_tsv.add_keyed(key_of(kRecords[i]), row, findings));
      ASSERT_TRUE(keyed_json.add_keyed(key_of(kRecords[i]), json, json_findings));
    }
  }
  EXPECT_EQ(json_of(keyed_tsv), json_of(tsv_by_text));
  EXPECT_EQ(pairs(json_of(keyed_tsv), "findings").at("0invalid_code@sdx"), 4);  // its text is not read
  EXPECT_EQ(json_of(keyed_json), json_of(json_by_text));
  EXPECT_NE(json_of(keyed_json).find(R"(0[{\"code\":\"invalid_code\"}])"), std::string::npos);

  EXPECT_EQ(tsv.records(), static_cast<int64_t>(kRecords.size()));
  EXPECT_EQ(json.records(), tsv.records());
  const std::string t = json_of(tsv), j = json_of(json);
  EXPECT_EQ(pairs(j, "groups"), pairs(t, "groups"));
  EXPECT_EQ(pairs(j, "ages"), pairs(t, "ages"));
  EXPECT_EQ(pairs(t, "groups").at("01\tB01\tB01A\t2\t"), 2);
  EXPECT_EQ(pairs(t, "ages").at("67"), 3);
  EXPECT_EQ(pairs(j, "los"), (std::map<std::string, int64_t>{{"3", 8}}));
  // The records without an ADRG count in the findings, with or without one.
  EXPECT_EQ(pairs(t, "findings").size(), 1u);
  EXPECT_EQ(pairs(t, "findings").begin()->second, 2);
  EXPECT_EQ(pairs(j, "findings").begin()->second, 2);

  // TSV split the same way merges to the same bytes.
  ResultCounts a, b;
  ASSERT_TRUE(a.start_tsv(kTsvHeader));
  b = a.empty_like();
  for (size_t i = 0; i < kRecords.size(); ++i) ASSERT_TRUE((i % 2 ? a : b).add(tsv_row(i + 1, kRecords[i])));
  ASSERT_TRUE(a.merge(b));
  EXPECT_EQ(json_of(a), t);
}

TEST(ResultCounts, FindingsCountByWhatTheReportReadsOfThem) {
  // Positions, the texts of findings other than unknown codes and counts of
  // more, and what a finding changed a value to, are not read: rows that
  // differ only there count as one.  A field with an item that is no
  // finding counts whole, for the report to refuse.
  ResultCounts counts;
  ASSERT_TRUE(counts.start_tsv(kTsvHeader));
  const Record grouped = kRecords[0];
  for (const std::string findings :
       {"dx_repeated@3;pdx_unknown@1:X\\;Y>Z", "dx_repeated@12;pdx_unknown@1:X\\;Y", "age_invalid@age_yy:999>0",
        "age_invalid@age_yy:1000", "dx_repeated@2;more:3", "Not a finding;dx_repeated@2"}) {
    ASSERT_TRUE(counts.add(tsv_row(1, grouped) + findings));
  }
  EXPECT_EQ(pairs(json_of(counts), "findings"),
            (std::map<std::string, int64_t>{{"0dx_repeated;pdx_unknown:X\\\\;Y", 2},
                                            {"0age_invalid@age_yy", 2},
                                            {"0dx_repeated;more:3", 1},
                                            {"0Not a finding;dx_repeated@2", 1}}));

  ResultCounts json;
  json.start_jsonl();
  for (const std::string findings :
       {R"([{"code":"dx_repeated","position":3,"text":"A1"},{"code":"pdx_unknown","text":"X\"Y","to":"Z"}])",
        R"([ {"position":12, "code":"dx_repeated", "text":"B2"} , {"code":"pdx_unknown","text":"X\"Y"} ])",
        R"([{"code":"age_invalid","field":"age_yy","text":"999"},{"code":"more","count":3}])",
        R"([{"code":"dx_repeated","code":"other"}])"}) {
    std::string row = json_row(1, grouped, false);
    row.replace(row.find("[]"), 2, findings);
    ASSERT_TRUE(json.add(row));
  }
  EXPECT_EQ(pairs(json_of(json), "findings"),
            (std::map<std::string, int64_t>{
                {R"(0[{\"code\":\"dx_repeated\"},{\"code\":\"pdx_unknown\",\"text\":\"X\\\"Y\"}])", 2},
                {R"(0[{\"code\":\"age_invalid\",\"field\":\"age_yy\"},{\"code\":\"more\",\"count\":3}])", 1},
                {R"(0[{\"code\":\"dx_repeated\",\"code\":\"other\"}])", 1}}));
}

TEST(ResultCounts, RecordsPerTableVersionCountTheSameInTsvAndJsonLines) {
  // A run over a registry ends each row with its version's name, empty
  // (TSV) or null (JSON) for a record no version holds.
  const std::vector<std::string> versions = {"2005", "2006", "", "2005", "2006", "2005", "", "2005"};
  ResultCounts tsv, tsv_part, json, keyed;
  ASSERT_TRUE(tsv.start_tsv(std::string(kTsvHeader) + "\ttables"));
  tsv_part = tsv.empty_like();
  json.start_jsonl();
  keyed.start_jsonl();
  for (size_t i = 0; i < kRecords.size(); ++i) {
    ASSERT_TRUE((i < 3 ? tsv : tsv_part).add(tsv_row(i + 1, kRecords[i]) + "\t" + versions[i]));
    std::string row = json_row(i + 1, kRecords[i], false);
    row.insert(row.size() - 1, ",\"tables\":" + (versions[i].empty() ? "null" : "\"" + versions[i] + "\""));
    ASSERT_TRUE(json.add(row));
    // The key does not tell the version: the row is read whole.
    ResultCounts::RowKey key;
    key.age = 1;
    ASSERT_TRUE(keyed.add_keyed(key, row));
  }
  ASSERT_TRUE(tsv.merge(tsv_part));
  const std::string t = json_of(tsv), j = json_of(json);
  EXPECT_EQ(json_of(keyed), j);
  const std::map<std::string, int64_t> expected = {{"", 2}, {"2005", 4}, {"2006", 2}};
  EXPECT_EQ(pairs(t, "tables"), expected);
  EXPECT_EQ(pairs(j, "tables"), expected);
  EXPECT_EQ(pairs(j, "groups"), pairs(t, "groups"));
  // Rows without the column have no such list.
  ResultCounts plain;
  ASSERT_TRUE(plain.start_tsv(kTsvHeader));
  ASSERT_TRUE(plain.add(tsv_row(1, kRecords[0])));
  EXPECT_EQ(json_of(plain).find("\"tables\""), std::string::npos);
}

TEST(ResultCounts, ImpactEntriesCountTheSameInTsvAndJsonLines) {
  // A run with --impact and weights: per record the codes whose blank
  // changes its weight, as TSV entries or JSON objects.
  struct Entry {
    int pos;
    std::string code, drg, difference;
  };
  const std::vector<std::vector<Entry>> impacts = {
      {{6, "S393", "D050B4", "+3.8259"}, {12, "a;b", "X01A", "-0.2984"}}, {}, {{6, "S393", "D050B4", "+3.8259"}},
      {}, {}, {{7, "G39", "", "+0.1000"}}, {{12, "a;b", "X01A", "-0.2984"}}, {}};
  ResultCounts tsv, tsv_part, json;
  ASSERT_TRUE(tsv.start_tsv(std::string(kTsvHeader) + "\timpact"));
  tsv_part = tsv.empty_like();
  json.start_jsonl();
  for (size_t i = 0; i < kRecords.size(); ++i) {
    std::string field, array;
    for (const Entry& e : impacts[i]) {
      const std::string code = e.code == "a;b" ? "a\\;b" : e.code;
      if (!field.empty()) field += ';';
      field.append(std::to_string(e.pos)).append(":").append(code).append(">").append(e.drg).append(":");
      field.append(e.difference);
      if (!array.empty()) array += ',';
      array.append("{\"pos\":").append(std::to_string(e.pos)).append(",\"code\":\"").append(e.code);
      array.append("\",\"drg\":").append(e.drg.empty() ? "null" : "\"" + e.drg + "\"");
      array.append(",\"weight_difference\":").append(e.difference, e.difference[0] == '+' ? 1 : 0).append("}");
    }
    ASSERT_TRUE((i < 4 ? tsv : tsv_part).add(tsv_row(i + 1, kRecords[i]) + "\t" + field));
    std::string row = json_row(i + 1, kRecords[i], false);
    row.insert(row.size() - 1, ",\"impact\":[" + array + "]");
    ASSERT_TRUE(json.add(row));
  }
  ASSERT_TRUE(tsv.merge(tsv_part));
  const std::string t = json_of(tsv), j = json_of(json);
  // Each distinct entry once, with its records: an escaped ';' stays within its entry.
  EXPECT_EQ(pairs(t, "impact"), (std::map<std::string, int64_t>{{"12:a\\\\;b>X01A:-0.2984", 2},
                                                                 {"6:S393>D050B4:+3.8259", 2},
                                                                 {"7:G39>:+0.1000", 1}}));
  std::vector<int64_t> tsv_counts, json_counts;
  for (const auto& [entry, n] : pairs(t, "impact")) tsv_counts.push_back(n);
  for (const auto& [entry, n] : pairs(j, "impact")) json_counts.push_back(n);
  std::sort(tsv_counts.begin(), tsv_counts.end());
  std::sort(json_counts.begin(), json_counts.end());
  EXPECT_EQ(json_counts, tsv_counts);
  EXPECT_EQ(pairs(j, "groups"), pairs(t, "groups"));
  // An impact value that is no list of entries is refused.
  ResultCounts bad;
  bad.start_jsonl();
  std::string row = json_row(1, kRecords[0], false);
  row.insert(row.size() - 1, ",\"impact\":[1]");
  EXPECT_FALSE(bad.add(row));
}

TEST(ResultCounts, RefusesARowItCannotCount) {
  ResultCounts tsv;
  ASSERT_TRUE(tsv.start_tsv(kTsvHeader));
  EXPECT_FALSE(tsv.add("1\t01\tB01"));  // a field short
  EXPECT_FALSE(ResultCounts().start_tsv("record\tmdc\tadrg"));

  const std::string row = json_row(1, kRecords[0], true);
  const std::vector<std::string> bad = {
      "[1]",
      row.substr(0, row.size() - 1),                                   // not closed
      std::regex_replace(row, std::regex(",\"findings\":\\[\\]"), ""),  // a counted member missing
      std::regex_replace(row, std::regex("\\{\\}\\]"), "{}"),            // an array of objects not closed
      std::regex_replace(row, std::regex("\"mdc\":\"01\""), "\"mdc\":[1,\t2]"),  // a tab in a counted value
      row.substr(0, row.size() - 1) + ",\"md\\u0063\":\"05\"}",  // a counted name again, with an escape
  };
  for (const std::string& text : bad) {
    // Refused as a first row, and after a first row that lays out the rows.
    ResultCounts json, after;
    json.start_jsonl();
    after.start_jsonl();
    EXPECT_FALSE(json.add(text)) << text;
    ASSERT_TRUE(after.add(row));
    EXPECT_FALSE(after.add(text)) << text;
  }
  // A layout that differs from the first row's does not merge.
  ResultCounts with_los, without_los;
  with_los.start_jsonl();
  without_los.start_jsonl();
  ASSERT_TRUE(with_los.add(row));
  ASSERT_TRUE(without_los.add(std::regex_replace(row, std::regex(",\"los_dd\":3"), "")));
  EXPECT_FALSE(with_los.merge(without_los));
}

}  // namespace
}  // namespace grouper
