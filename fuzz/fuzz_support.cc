#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "generate_episodes.h"
#include "generate_profile.h"
#include "tables/load_plan.h"
#include "tables/table_writer.h"

namespace grouper::fuzz {
namespace {

namespace eg = episode_grouper;

constexpr uint64_t kDemoSeed = 2005;

std::string text(std::string_view s) { return std::string(s); }

// A finding's code text as the rows show it: up to a NUL, without trailing blanks.
std::string_view trimmed(const std::array<char, 5>& t) {
  std::string_view v = eg::text_of(t);
  while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
  return v;
}

// A JSON object of scalar fields, read strictly: strings must be valid UTF-8
// of code points up to U+00FF (Latin-1 bytes), numbers whole.
struct JsonField {
  std::string name;
  enum Kind { kNull, kNumber, kString, kObjects } kind = kNull;
  int64_t number = 0;
  std::string bytes;  // a string's Latin-1 bytes
  std::vector<std::vector<JsonField>> objects;  // an array of objects of scalar fields
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view s) : s_(s) {}

  bool object(std::vector<JsonField>& fields) {
    space();
    return members(fields) && done();
  }

 private:
  // An object: "{", its fields, "}".
  bool members(std::vector<JsonField>& fields) {
    if (!eat('{')) return false;
    space();
    if (eat('}')) return true;
    for (;;) {
      JsonField f;
      space();
      if (!string(f.name)) return false;
      space();
      if (!eat(':')) return false;
      space();
      if (!value(f)) return false;
      fields.push_back(std::move(f));
      space();
      if (eat('}')) return true;
      if (!eat(',')) return false;
    }
  }
  bool done() {
    space();
    return i_ == s_.size();
  }
  void space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool eat(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool value(JsonField& f) {
    if (s_.substr(i_, 4) == "null") {
      i_ += 4;
      f.kind = JsonField::kNull;
      return true;
    }
    if (i_ < s_.size() && s_[i_] == '"') {
      f.kind = JsonField::kString;
      return string(f.bytes);
    }
    if (eat('[')) {
      f.kind = JsonField::kObjects;
      space();
      if (eat(']')) return true;
      for (;;) {
        f.objects.emplace_back();
        if (!members(f.objects.back())) return false;
        space();
        if (eat(']')) return true;
        if (!eat(',')) return false;
        space();
      }
    }
    f.kind = JsonField::kNumber;
    return number(f.number);
  }
  bool number(int64_t& n) {
    const bool negative = eat('-');
    const size_t start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    const size_t digits = i_ - start;
    if (digits == 0 || digits > 18 || (digits > 1 && s_[start] == '0')) return false;
    n = std::strtoll(std::string(s_.substr(start, digits)).c_str(), nullptr, 10);
    if (negative) n = -n;
    return true;
  }
  bool hex4(unsigned& v) {
    if (i_ + 4 > s_.size()) return false;
    v = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<unsigned>(c - 'A' + 10);
      else return false;
    }
    return true;
  }
  bool string(std::string& out) {
    if (!eat('"')) return false;
    while (i_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (i_ >= s_.size()) return false;
        const char e = s_[i_++];
        unsigned v = 0;
        switch (e) {
          case '"': case '\\': case '/': v = static_cast<unsigned char>(e); break;
          case 'b': v = '\b'; break;
          case 'f': v = '\f'; break;
          case 'n': v = '\n'; break;
          case 'r': v = '\r'; break;
          case 't': v = '\t'; break;
          case 'u': if (!hex4(v)) return false; break;
          default: return false;
        }
        if (v > 0xFF) return false;  // not a Latin-1 byte
        out += static_cast<char>(v);
      } else if (c < 0x80) {
        out += static_cast<char>(c);
      } else {
        // Two bytes of UTF-8 carry U+0080..U+00FF; nothing else is a Latin-1 byte.
        if ((c != 0xC2 && c != 0xC3) || i_ >= s_.size()) return false;
        const auto c2 = static_cast<unsigned char>(s_[i_++]);
        if ((c2 & 0xC0) != 0x80) return false;
        out += static_cast<char>(((c & 0x1F) << 6) | (c2 & 0x3F));
      }
    }
    return false;
  }

  std::string_view s_;
  size_t i_ = 0;
};

// The TSV writer's escapes undone: \t \n \r \\; false for any other backslash.
bool unescape_tsv(std::string_view field, std::string& out) {
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      out += field[i];
      continue;
    }
    if (++i == field.size()) return false;
    switch (field[i]) {
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case '\\': out += '\\'; break;
      default: return false;
    }
  }
  return true;
}

struct ScratchDir {
  std::filesystem::path path;
  ScratchDir() {
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    path = base / ("grouper-fuzz-" + std::to_string(::getpid()));
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

}  // namespace

void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

const tools::SyntheticSet& demo_set() {
  static const tools::SyntheticSet set = tools::generate_tables(*tools::find_profile("small"), kDemoSeed);
  return set;
}

const std::vector<std::pair<std::string, std::string>>& demo_files() {
  static const std::vector<std::pair<std::string, std::string>> files = [] {
    std::vector<std::pair<std::string, std::string>> f;
    for (const FileSpec& file_spec : load_plan()) {
      std::string error;
      f.emplace_back(text(file_spec.name), table_file_image(demo_set().tables, file_spec, error));
      check(error.empty(), "the demo set writes");
    }
    return f;
  }();
  return files;
}

std::vector<std::string> demo_episodes(size_t n) {
  tools::EpisodeMaker maker(demo_set().model, kDemoSeed);
  std::vector<std::string> lines;
  for (size_t i = 0; i < n; ++i) {
    std::string line(tools::kEpisodeWidth, ' ');
    maker.make(i + 1, line.data());
    lines.push_back(line + "\n");
  }
  return lines;
}

std::vector<std::string> odd_records() {
  std::string lower = demo_episodes(1)[0];
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  std::string nuls = demo_episodes(2)[1];
  nuls[40] = nuls[60] = '\0';
  return {"", "\n", std::string(300, ' ') + "\n", "short\r\n", lower, nuls, std::string(4095, '9')};
}

const std::filesystem::path& scratch_dir() {
  static const ScratchDir dir;
  return dir.path;
}

void write_bytes(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  check(static_cast<bool>(out), "the scratch directory takes a file");
}

void check_result_line(std::string_view record, const eg::Result& r, std::string_view line) {
  const std::string_view head = record.substr(0, 84);
  std::string expected;
  for (char c : head) expected += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  expected += std::string(193, ' ');
  const size_t adrg_at = expected.size();
  expected += r.res_adrg == 0 ? text("0000") : text(eg::text_of(r.adrg_code));
  expected += std::string(7, ' ') + "20050515" + text(eg::text_of(r.res_ltcdrg_code)) + "\n";
  if (line == expected) return;
  // An ADRG index that the code list does not hold reads as no ADRG in the
  // line; its code in the result is empty then.
  if (r.res_adrg != 0 && eg::text_of(r.adrg_code).empty()) {
    expected.insert(adrg_at, "0000");
    if (line == expected) return;
  }
  fail("result line differs from its layout: '" + std::string(line) + "'");
}

void check_result_row(int64_t number, const eg::Result& r, std::string_view row) {
  check(!row.empty() && row.back() == '\n', "a result row ends with its line feed");
  row.remove_suffix(1);
  std::vector<std::string> fields(1);
  for (char c : row) {
    if (c == '\t') fields.emplace_back();
    else fields.back() += c;
  }
  check(fields.size() == 11, "a result row has eleven fields");
  check(row.find('\n') == std::string_view::npos, "a result row is one line");
  const bool adrg = r.has_adrg();
  const std::string expected[10] = {
      std::to_string(number),
      text(eg::text_of(r.mdc_code)),
      text(eg::text_of(r.adrg_code)),
      r.res_drg != 0 ? text(eg::text_of(r.res_drg_code)) : "",
      adrg ? std::to_string(r.res_pccl) : "",
      adrg ? text(eg::text_of(r.res_ccl_raw)) : "",
      adrg ? text(eg::text_of(r.res_ccl_excl)) : "",
      text(eg::text_of(r.res_ltcdrg_code)),
      std::to_string(r.values.age_yy),
      std::to_string(r.values.age_dd),
  };
  for (size_t i = 0; i < 10; ++i) {
    std::string bytes;
    check(unescape_tsv(fields[i], bytes), "a result row escapes only tab, line feed, carriage return and backslash");
    if (bytes != expected[i]) fail("result row field " + std::to_string(i) + " is '" + fields[i] + "'");
  }
  // The findings: code@position|@field:text>to, ";" between them, ";" and
  // ">" in a text escaped besides the row's escapes.
  std::string findings;
  auto escaped = [](std::string_view t) {
    std::string out;
    for (char c : t) {
      if (c == '\t') out += "\\t";
      else if (c == '\n') out += "\\n";
      else if (c == '\r') out += "\\r";
      else if (c == '\\' || c == ';' || c == '>') {
        out += '\\';
        out += c;
      }
      else out += c;
    }
    return out;
  };
  for (size_t i = 0; i < r.findings.count; ++i) {
    const eg::Finding& f = r.findings.items[i];
    if (i > 0) findings += ';';
    findings += text(eg::finding_name(f.code));
    if (f.position != 0) (findings += '@') += std::to_string(f.position);
    if (f.field != eg::RecordField::kNone) (findings += '@') += eg::field_name(f.field);
    if (!trimmed(f.text).empty()) (findings += ':') += escaped(trimmed(f.text));
    if (!trimmed(f.to).empty()) (findings += '>') += escaped(trimmed(f.to));
  }
  if (r.findings.dropped > 0) {
    findings += r.findings.count > 0 ? ";more:" : "more:";
    findings += std::to_string(r.findings.dropped);
  }
  if (fields[10] != findings) fail("result row findings differ: '" + fields[10] + "'");
}

void check_json_row(int64_t number, const eg::Result& r, std::string_view row) {
  check(!row.empty() && row.back() == '\n', "a JSON row ends with its line feed");
  row.remove_suffix(1);
  check(row.find('\n') == std::string_view::npos, "a JSON row is one line");
  std::vector<JsonField> fields;
  if (!JsonReader(row).object(fields)) fail("a JSON row is not one JSON object: " + std::string(row));
  const bool adrg = r.has_adrg();
  auto code = [](std::string_view t, bool present) {
    JsonField f;
    if (present) {
      f.kind = JsonField::kString;
      f.bytes = std::string(t);
    }
    return f;
  };
  auto num = [](int64_t n) {
    JsonField f;
    f.kind = JsonField::kNumber;
    f.number = n;
    return f;
  };
  const std::pair<const char*, JsonField> expected[] = {
      {"record", num(number)},
      {"mdc", code(eg::text_of(r.mdc_code), !eg::text_of(r.mdc_code).empty())},
      {"adrg", code(eg::text_of(r.adrg_code), !eg::text_of(r.adrg_code).empty())},
      {"drg", code(eg::text_of(r.res_drg_code), r.res_drg != 0)},
      {"pccl", adrg ? num(r.res_pccl) : JsonField{}},
      {"ccl_raw", code(eg::text_of(r.res_ccl_raw), adrg)},
      {"ccl_excl", code(eg::text_of(r.res_ccl_excl), adrg)},
      {"supplementary", code(eg::text_of(r.res_ltcdrg_code), true)},
      {"age_yy", num(r.values.age_yy)},
      {"age_dd", num(r.values.age_dd)},
      {"rec_date", num(r.values.rec_date)},
      {"sex_cd", num(r.values.sex_cd)},
      {"los_dd", num(r.values.los_dd)},
      {"dsch_cd", num(r.values.dsch_cd)},
      {"birth_wt", num(r.values.birth_wt)},
      {"vent_hr", num(r.values.vent_hr)},
  };
  check(fields.size() == std::size(expected) + 1, "a JSON row has seventeen fields");
  check(fields.back().name == "findings" && fields.back().kind == JsonField::kObjects, "a JSON row ends in its findings");
  const auto& objects = fields.back().objects;
  check(objects.size() == size_t{r.findings.count} + (r.findings.dropped > 0 ? 1 : 0), "a JSON row has every finding");
  for (size_t i = 0; i < r.findings.count; ++i) {
    const eg::Finding& f = r.findings.items[i];
    std::vector<std::pair<std::string, JsonField>> want = {{"code", code(eg::finding_name(f.code), true)}};
    if (f.position != 0) want.push_back({"position", num(f.position)});
    if (f.field != eg::RecordField::kNone) want.push_back({"field", code(eg::field_name(f.field), true)});
    if (!trimmed(f.text).empty()) want.push_back({"text", code(trimmed(f.text), true)});
    if (!trimmed(f.to).empty()) want.push_back({"to", code(trimmed(f.to), true)});
    check(objects[i].size() == want.size(), "a JSON finding has its fields");
    for (size_t k = 0; k < want.size(); ++k) {
      const JsonField& got = objects[i][k];
      if (got.name != want[k].first || got.kind != want[k].second.kind || got.number != want[k].second.number ||
          got.bytes != want[k].second.bytes) {
        fail("JSON finding " + std::to_string(i) + " differs: " + std::string(row));
      }
    }
  }
  fields.pop_back();
  for (size_t i = 0; i < fields.size(); ++i) {
    const JsonField& got = fields[i];
    const JsonField& want = expected[i].second;
    if (got.name != expected[i].first || got.kind != want.kind || got.number != want.number ||
        got.bytes != want.bytes) {
      fail("JSON field " + std::to_string(i) + " differs: " + std::string(row));
    }
  }
}

}  // namespace grouper::fuzz
