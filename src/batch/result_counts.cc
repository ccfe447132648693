#include "batch/result_counts.h"

#include <cstring>
#include <functional>

namespace grouper {
namespace {

// The report's names of the counted columns (TSV) or members (JSON Lines);
// the length of stay is the first of kLosNames the rows have.
constexpr std::string_view kNames[] = {"mdc", "adrg", "drg", "pccl", "supplementary", "age_yy", "findings"};
constexpr std::string_view kLosNames[] = {"los", "length_of_stay", "los_dd"};
constexpr std::string_view kWeightName = "effective_weight";
constexpr std::string_view kLosClassName = "los_class";
constexpr std::string_view kTablesName = "tables";
constexpr std::string_view kImpactName = "impact";
constexpr size_t kNamed = sizeof kNames / sizeof kNames[0];
constexpr size_t kLosCandidates = sizeof kLosNames / sizeof kLosNames[0];

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

size_t skip_space(std::string_view s, size_t i) {
  while (i < s.size() && is_space(s[i])) ++i;
  return i;
}

// The end of the JSON string that starts at s[i] ('"'), past its closing
// quote; npos when it does not end or holds a control character.  Sets
// *escaped, when given, to whether the string holds an escape.
size_t string_end(std::string_view s, size_t i, bool* escaped = nullptr) {
  for (++i; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"') return i + 1;
    if (c == '\\') {
      ++i;
      if (escaped) *escaped = true;
    } else if (c < 0x20) {
      return std::string_view::npos;
    }
  }
  return std::string_view::npos;
}

// The end of the JSON value that starts at s[i]: a string, an array or an
// object (brackets matched outside strings), or a bare token (a number,
// true, false, null).  Its content is checked by whoever decodes it.
size_t value_end(std::string_view s, size_t i) {
  if (i >= s.size()) return std::string_view::npos;
  const char c = s[i];
  if (c == '"') return string_end(s, i);
  if (c == '[' || c == '{') {
    int depth = 0;
    for (; i < s.size(); ++i) {
      const char d = s[i];
      if (d == '"') {
        i = string_end(s, i);
        if (i == std::string_view::npos) return i;
        --i;
      } else if (d == '[' || d == '{') {
        ++depth;
      } else if (d == ']' || d == '}') {
        if (--depth == 0) return i + 1;
      }
    }
    return std::string_view::npos;
  }
  const size_t start = i;
  while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' && !is_space(s[i]) && s[i] != '"' &&
         s[i] != '{' && s[i] != '[' && s[i] != ':') {
    ++i;
  }
  return i == start ? std::string_view::npos : i;
}

// Walks the members of the JSON object that starts at s[i] ('{'), calling
// member(name, value, escaped) with each name as written (quotes included),
// its value's text and whether the name holds an escape, until a call
// returns false.  Returns the index just past the closing brace; npos when
// the object does not read as one or a call returned false.  Sets *blanks,
// when given, when blanks lie between the object's items.
template <class Member>
size_t walk_object(std::string_view s, size_t i, Member&& member, bool* blanks = nullptr) {
  auto skip = [&](size_t at) {
    const size_t to = skip_space(s, at);
    if (blanks && to != at) *blanks = true;
    return to;
  };
  if (i >= s.size() || s[i] != '{') return std::string_view::npos;
  i = skip(i + 1);
  if (i < s.size() && s[i] == '}') return i + 1;
  while (true) {
    if (i >= s.size() || s[i] != '"') return std::string_view::npos;
    bool escaped = false;
    const size_t name_end = string_end(s, i, &escaped);
    if (name_end == std::string_view::npos) return name_end;
    const std::string_view name = s.substr(i, name_end - i);
    i = skip(name_end);
    if (i >= s.size() || s[i] != ':') return std::string_view::npos;
    i = skip(i + 1);
    const size_t end = value_end(s, i);
    if (end == std::string_view::npos || !member(name, s.substr(i, end - i), escaped)) return std::string_view::npos;
    i = skip(end);
    if (i < s.size() && s[i] == ',') {
      i = skip(i + 1);
      continue;
    }
    return i < s.size() && s[i] == '}' ? i + 1 : std::string_view::npos;
  }
}

// Which counted member `key` names: a ResultCounts field (the length of
// stay excepted), kLosMember + its place in kLosNames, or -1.  By length
// first: a row has some twenty members, most of them not counted.
constexpr int kLosMember = 100;
int member_field(std::string_view key) {
  auto is = [key](std::string_view name) { return key == name; };
  switch (key.size()) {
    case 3: return is("mdc") ? 0 : is("drg") ? 2 : is("los") ? kLosMember : -1;
    case 4: return is("adrg") ? 1 : is("pccl") ? 3 : -1;
    case 6: return is("age_yy") ? 5 : is("los_dd") ? kLosMember + 2 : is(kTablesName) ? 10 : is(kImpactName) ? 11 : -1;
    case 8: return is("findings") ? 6 : -1;
    case 9: return is(kLosClassName) ? 9 : -1;
    case 13: return is("supplementary") ? 4 : -1;
    case 14: return is("length_of_stay") ? kLosMember + 1 : -1;
    case 16: return is(kWeightName) ? 8 : -1;
    default: return -1;
  }
}

// A hash of a group key of add_keyed: its bytes as three words, each mixed into all the bits.
size_t group_key_hash(const std::array<char, 18>& key) {
  uint64_t words[3] = {};
  std::memcpy(words, key.data(), key.size());
  uint64_t hash = words[0] * 0x9E3779B97F4A7C15ull;
  hash = ((hash ^ (hash >> 32)) + words[1]) * 0xC2B2AE3D27D4EB4Full;
  hash = ((hash ^ (hash >> 29)) + words[2]) * 0x165667B19E3779F9ull;
  return static_cast<size_t>(hash ^ (hash >> 32));
}

// Appends to `out` what the report reads of a TSV findings field, so that
// rows whose findings differ only in what it does not read count as one:
// of each finding (code@where:text>to, items split at unescaped ';') its
// code, its where unless it is a position (all digits), and its text only
// for a count of more findings or an unknown code; never its "to".  Returns
// false, having appended part of it, when an item does not read as a
// finding: the field is then counted whole, for the report to refuse.
// plain: every field counted whole; a realistic run of ten million records
// had some 120,000 distinct fields, each read again by the page builder.
bool append_read_findings(std::string_view text, std::string& out) {
  const size_t n = text.size();
  size_t i = 0;
  bool first = true;
  while (i < n) {
    // One item: a run of characters other than ';' and '\\', and escaped pairs.
    const size_t start = i;
    while (i < n && text[i] != ';') {
      if (text[i] == '\\') {
        if (i + 1 == n) break;  // a lone escape at the end belongs to no item
        i += 2;
      } else {
        ++i;
      }
    }
    const std::string_view item = text.substr(start, i - start);
    i = i < n && text[i] == ';' ? i + 1 : n;
    if (item.empty()) continue;
    size_t at = 0;
    while (at < item.size() && ((item[at] >= 'a' && item[at] <= 'z') || item[at] == '_')) ++at;
    if (at == 0) return false;
    const std::string_view code = item.substr(0, at);
    std::string_view where;
    if (at < item.size() && item[at] == '@') {
      const size_t from = at + 1;
      at = from;
      while (at < item.size() && item[at] != ':' && item[at] != '>') ++at;
      if (at == from) return false;
      where = item.substr(from, at - from);
    }
    // A text (after ':') and a "to" (after '>'): characters other than '>'
    // and '\\', and escaped pairs; past the item's end for a lone '\\' at its end.
    auto escaped_run = [&item](size_t from) {
      while (from < item.size() && item[from] != '>') from += item[from] == '\\' ? 2 : 1;
      return from;
    };
    std::string_view finding_text;
    if (at < item.size() && item[at] == ':') {
      const size_t end = escaped_run(at + 1);
      if (end > item.size()) return false;
      finding_text = item.substr(at + 1, end - at - 1);
      at = end;
    }
    if (at < item.size() && item[at] == '>') at = escaped_run(at + 1);
    if (at != item.size()) return false;
    if (!first) out += ';';
    first = false;
    out += code;
    if (!where.empty() && !std::all_of(where.begin(), where.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      out += '@';
      out += where;
    }
    if (!finding_text.empty() && (code == "more" || code.ends_with("_unknown"))) {
      out += ':';
      out += finding_text;
    }
  }
  return true;
}

// The same for the findings value of a JSON row (an array of objects): of
// each finding its code, field and count, and its text only for an unknown
// code, as the row holds them; no position, "to" or date.  Returns false
// for a value it cannot read so (not an array of objects, a member twice,
// a code with an escape): the value is then counted whole.
bool append_read_json_findings(std::string_view text, std::string& out) {
  size_t i = skip_space(text, 0);
  if (i >= text.size() || text[i] != '[') return false;
  out += '[';
  i = skip_space(text, i + 1);
  bool first = true;
  while (i < text.size() && text[i] != ']') {
    if (!first) {
      if (text[i] != ',') return false;
      i = skip_space(text, i + 1);
    }
    enum Kept { kCode, kField, kText, kCount, kKept };
    static constexpr std::string_view kNames[kKept] = {"\"code\"", "\"field\"", "\"text\"", "\"count\""};
    std::string_view kept[kKept] = {};
    const size_t end = walk_object(text, i, [&](std::string_view name, std::string_view value, bool escaped) {
      if (escaped) return false;
      for (size_t k = 0; k < kKept; ++k) {
        if (name != kNames[k]) continue;
        if (kept[k].data()) return false;  // a member twice: the last would count
        kept[k] = value;
      }
      return true;
    });
    if (end == std::string_view::npos) return false;
    i = skip_space(text, end);
    if (!kept[kCode].data() || kept[kCode].find('\\') != std::string_view::npos) return false;
    if (!first) out += ',';
    first = false;
    out += '{';
    bool first_kept = true;
    const bool unknown = kept[kCode].ends_with("_unknown\"");
    for (size_t k = 0; k < kKept; ++k) {
      if (!kept[k].data() || (k == kText && !unknown)) continue;
      if (!first_kept) out += ',';
      first_kept = false;
      out += kNames[k];
      out += ':';
      out += kept[k];
    }
    out += '}';
  }
  if (i >= text.size()) return false;
  out += ']';
  return skip_space(text, i + 1) == text.size();
}

bool put(std::FILE* out, std::string_view s) { return std::fwrite(s.data(), 1, s.size(), out) == s.size(); }

// `s` as a JSON string; bytes outside printable ASCII as \u00XX.
bool put_string(std::FILE* out, std::string_view s) {
  std::string text = "\"";
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      text += '\\';
      text += ch;
    } else if (c < 0x20 || c >= 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      text += buf;
    } else {
      text += ch;
    }
  }
  text += '"';
  return put(out, text);
}

}  // namespace

void ResultCounts::Counter::add(std::string_view value, int64_t n) {
  const uint64_t hash = std::hash<std::string_view>{}(value);
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& s = slots_[i];
    if (s.count == 0) {
      s = {hash, arena_.size(), static_cast<uint32_t>(value.size()), n};
      arena_.append(value);
      if (++used_ * 2 > slots_.size()) grow();
      return;
    }
    if (s.hash == hash && s.size == value.size() &&
        std::memcmp(arena_.data() + s.offset, value.data(), value.size()) == 0) {
      s.count += n;
      return;
    }
  }
}

void ResultCounts::Counter::merge(const Counter& other) {
  for (const Slot& s : other.slots_) {
    if (s.count > 0) add(std::string_view(other.arena_).substr(s.offset, s.size), s.count);
  }
}

void ResultCounts::Counter::grow() {
  std::vector<Slot> old(slots_.size() * 2);
  old.swap(slots_);
  const size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.count == 0) continue;
    size_t i = s.hash & mask;
    while (slots_[i].count != 0) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

bool ResultCounts::start_tsv(std::string_view header) {
  format_ = Format::kTsv;
  std::vector<std::string_view> names;
  size_t start = 0;
  while (true) {
    const size_t tab = header.find('\t', start);
    names.push_back(header.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  columns_ = names.size();
  // The first column of a name counts, as the report's own reader takes it.
  auto find = [&names](std::string_view name) {
    for (size_t i = 0; i < names.size(); ++i) {
      if (names[i] == name) return i;
    }
    return names.size();
  };
  for (size_t f = 0; f < kNamed; ++f) {
    index_[f] = find(kNames[f]);
    if (index_[f] == names.size()) return false;
  }
  has_los_ = false;
  for (const std::string_view name : kLosNames) {
    if (find(name) < names.size()) {
      has_los_ = true;
      los_field_ = name;
      index_[kLos] = find(name);
      break;
    }
  }
  index_[kWeight] = find(kWeightName);
  index_[kLosClass] = find(kLosClassName);
  weighted_ = index_[kWeight] < names.size() && index_[kLosClass] < names.size();
  index_[kTables] = find(kTablesName);
  has_tables_ = index_[kTables] < names.size();
  index_[kImpact] = find(kImpactName);
  has_impact_ = index_[kImpact] < names.size();
  layout_known_ = true;
  return true;
}

void ResultCounts::start_jsonl() {
  format_ = Format::kJsonl;
  layout_known_ = false;
  member_layout_.clear();
  member_layout_tried_ = false;
}

ResultCounts ResultCounts::empty_like() const {
  ResultCounts other;
  other.format_ = format_;
  other.columns_ = columns_;
  std::copy(std::begin(index_), std::end(index_), std::begin(other.index_));
  other.has_los_ = has_los_;
  other.weighted_ = weighted_;
  other.has_tables_ = has_tables_;
  other.has_impact_ = has_impact_;
  other.layout_known_ = layout_known_;
  other.los_field_ = los_field_;
  return other;
}

bool ResultCounts::adds_findings() const {
  const bool ungrouped = format_ == Format::kTsv ? values_[kAdrg].empty() : values_[kAdrg] == "null";
  const bool none = format_ == Format::kTsv ? values_[kFindings].empty() : values_[kFindings] == "[]";
  return ungrouped || !none;
}

void ResultCounts::prefetch(const RowKey& key) const {
  if (!key_slots_.empty()) __builtin_prefetch(&key_slots_[group_key_hash(key.group) & (key_slots_.size() - 1)]);
}

bool ResultCounts::add_keyed(const RowKey& key, std::string_view row, std::string_view findings) {
  if (has_tables_ || has_impact_) return add(row);
  constexpr size_t kValues = 65536;
  if (keyed_ages_.empty()) {
    keyed_ages_.resize(kValues);
    keyed_los_.resize(kValues);
    age_known_.assign(kValues, 0);
    los_known_.assign(kValues, 0);
  }
  const size_t age = static_cast<size_t>(key.age + 32768);
  const size_t los = static_cast<size_t>(key.los + 32768);
  // The key's slot: the one that holds it, or the free one where it goes.
  if (key_slots_.empty()) key_slots_.resize(1024);
  const size_t mask = key_slots_.size() - 1;
  size_t slot = group_key_hash(key.group) & mask;
  while (key_slots_[slot].entry != 0 && key_slots_[slot].key != key.group) slot = (slot + 1) & mask;
  KeySlot& group = key_slots_[slot];
  if (group.entry != 0 && age_known_[age] && (!has_los_ || los_known_[los])) {
    ++group.pending;
    ++keyed_ages_[age].pending;
    if (has_los_) ++keyed_los_[los].pending;
    ++keyed_records_;
    if (!findings.empty()) count_findings(false, findings);
    return true;
  }
  if (!add(row)) return false;
  // Learn the texts only from a row that counts nothing else: then the key
  // says all there is to count of it.
  if (weighted_ || adds_findings()) return true;
  if (group.entry == 0) {
    std::string text(values_[kMdc]);
    for (size_t f = kAdrg; f <= kSupplementary; ++f) {
      text += '\t';
      text += values_[f];
    }
    group_texts_.push_back(std::move(text));
    group.key = key.group;
    group.entry = static_cast<uint32_t>(group_texts_.size());
    if (group_texts_.size() * 2 > key_slots_.size()) {
      // Twice the room, every key placed again.
      std::vector<KeySlot> old(key_slots_.size() * 2);
      old.swap(key_slots_);
      const size_t wider = key_slots_.size() - 1;
      for (const KeySlot& k : old) {
        if (k.entry == 0) continue;
        size_t at = group_key_hash(k.key) & wider;
        while (key_slots_[at].entry != 0) at = (at + 1) & wider;
        key_slots_[at] = k;
      }
    }
  }
  if (!age_known_[age]) {
    age_known_[age] = 1;
    keyed_ages_[age].text = values_[kAge];
  }
  if (has_los_ && !los_known_[los]) {
    los_known_[los] = 1;
    keyed_los_[los].text = values_[kLos];
  }
  return true;
}

void ResultCounts::settle_from(const ResultCounts& from) {
  records_ += from.keyed_records_;
  for (const KeySlot& k : from.key_slots_) {
    if (k.pending > 0) groups_.add(from.group_texts_[k.entry - 1], k.pending);
  }
  for (const Keyed& k : from.keyed_ages_) {
    if (k.pending > 0) count_age(k.text, k.pending);
  }
  for (const Keyed& k : from.keyed_los_) {
    if (k.pending > 0) los_.add(k.text, k.pending);
  }
}

void ResultCounts::settle() {
  if (keyed_records_ == 0) return;
  settle_from(*this);
  keyed_records_ = 0;
  for (KeySlot& k : key_slots_) k.pending = 0;
  for (Keyed& k : keyed_ages_) k.pending = 0;
  for (Keyed& k : keyed_los_) k.pending = 0;
}

bool ResultCounts::merge(const ResultCounts& other) {
  if (other.format_ != format_) return false;
  if (!other.layout_known_) return other.records_ == 0;  // JSON Lines that met no row
  if (!layout_known_) {
    if (records_ != 0) return false;
    layout_known_ = true;
    has_los_ = other.has_los_;
    weighted_ = other.weighted_;
    has_tables_ = other.has_tables_;
    has_impact_ = other.has_impact_;
    los_field_ = other.los_field_;
    index_[kLos] = other.index_[kLos];
  } else if (has_los_ != other.has_los_ || weighted_ != other.weighted_ || has_tables_ != other.has_tables_ || has_impact_ != other.has_impact_ ||
             (has_los_ && los_field_ != other.los_field_)) {
    return false;
  }
  records_ += other.records_;
  settle_from(other);
  groups_.merge(other.groups_);
  ages_.merge(other.ages_);
  los_.merge(other.los_);
  weights_.merge(other.weights_);
  findings_.merge(other.findings_);
  tables_.merge(other.tables_);
  impact_.merge(other.impact_);
  for (size_t i = 0; i < short_ages_.size(); ++i) short_ages_[i] += other.short_ages_[i];
  return true;
}

bool ResultCounts::add(std::string_view row) {
  return format_ == Format::kTsv ? add_tsv(row) : add_jsonl(row);
}

bool ResultCounts::add_tsv(std::string_view row) {
  // Fields are short: a plain loop beats a library search per field.
  fields_.clear();
  const char* start = row.data();
  const char* const end = start + row.size();
  for (const char* p = start; p != end; ++p) {
    if (*p == '\t') {
      fields_.emplace_back(start, static_cast<size_t>(p - start));
      start = p + 1;
    }
  }
  fields_.emplace_back(start, static_cast<size_t>(end - start));
  if (fields_.size() != columns_) return false;
  for (size_t f = 0; f < kNamed; ++f) values_[f] = fields_[index_[f]];
  if (has_los_) values_[kLos] = fields_[index_[kLos]];
  if (weighted_) {
    values_[kWeight] = fields_[index_[kWeight]];
    values_[kLosClass] = fields_[index_[kLosClass]];
  }
  if (has_tables_) values_[kTables] = fields_[index_[kTables]];
  if (has_impact_ && !count_impact(fields_[index_[kImpact]])) return false;
  count(values_[kAdrg].empty(), values_[kFindings]);
  return true;
}

namespace {

// Keeps `value`, of the member whose field is `field` (member_field).
void keep_member(int field, std::string_view value, std::string_view* values, std::string_view* los_values) {
  if (field >= kLosMember) los_values[field - kLosMember] = value;
  else if (field >= 0) values[field] = value;
}

}  // namespace

bool ResultCounts::read_laid_out(std::string_view row, std::string_view* los_values) {
  if (member_layout_.empty() || row.empty() || row[0] != '{') return false;
  for (auto& v : values_) v = {};
  for (size_t l = 0; l < kLosCandidates; ++l) los_values[l] = {};
  size_t i = 1;
  for (size_t m = 0; m < member_layout_.size(); ++m) {
    const Member& member = member_layout_[m];
    if (!row.substr(i).starts_with(member.token)) return false;
    i += member.token.size();
    const size_t end = value_end(row, i);
    if (end == std::string_view::npos) return false;
    keep_member(member.field, row.substr(i, end - i), values_, los_values);
    i = end;
    if (i >= row.size() || row[i] != (m + 1 == member_layout_.size() ? '}' : ',')) return false;
    ++i;
  }
  return i == row.size();
}

bool ResultCounts::read_members(std::string_view row, std::string_view* los_values) {
  for (auto& v : values_) v = {};  // data() null: no such member
  for (size_t l = 0; l < kLosCandidates; ++l) los_values[l] = {};
  // The first row that reads as an object lays out the later ones, when it
  // has no blanks.
  const bool learn = !member_layout_tried_;
  std::vector<Member> layout;
  const size_t start = skip_space(row, 0);
  bool blanks = start != 0;
  const size_t end = walk_object(
      row, start,
      [&](std::string_view name, std::string_view value, bool escaped) {
        // A name written with escapes may be one of these once decoded:
        // leave such rows to the report's own reader.  plain: a search of
        // the name for '\\'; a call per member had taken some 10% of
        // counting a row.
        if (escaped) return false;
        const int field = member_field(name.substr(1, name.size() - 2));
        keep_member(field, value, values_, los_values);
        if (learn) layout.push_back({std::string(name) + ':', field});
        return true;
      },
      &blanks);
  if (end == std::string_view::npos) return false;
  const size_t i = skip_space(row, end);
  blanks = blanks || i != end;
  if (i != row.size()) return false;
  if (learn) {
    member_layout_tried_ = true;
    if (!blanks && !layout.empty()) member_layout_ = std::move(layout);
  }
  return true;
}

bool ResultCounts::add_jsonl(std::string_view row) {
  static_assert(kMdc == 0 && kAdrg == 1 && kDrg == 2 && kPccl == 3 && kSupplementary == 4 && kAge == 5 &&
                    kFindings == 6 && kWeight == 8 && kLosClass == 9 && kTables == 10 && kImpact == 11,
                "member_field's numbers are the fields'");
  std::string_view los_values[kLosCandidates];
  if (!read_laid_out(row, los_values) && !read_members(row, los_values)) return false;
  // The first row tells which length of stay and whether the weight columns
  // are there; every row then has them.
  if (!layout_known_) {
    has_los_ = false;
    for (size_t l = 0; l < kLosCandidates; ++l) {
      if (los_values[l].data()) {
        has_los_ = true;
        los_field_ = kLosNames[l];
        index_[kLos] = l;
        break;
      }
    }
    weighted_ = values_[kWeight].data() && values_[kLosClass].data();
    has_tables_ = values_[kTables].data() != nullptr;
    has_impact_ = values_[kImpact].data() != nullptr;
    layout_known_ = true;
  }
  if (has_los_) values_[kLos] = los_values[index_[kLos]];
  for (size_t f = 0; f < kFields; ++f) {
    const bool needed = f < kNamed || (f == kLos && has_los_) || ((f == kWeight || f == kLosClass) && weighted_) ||
                        (f == kTables && has_tables_) || (f == kImpact && has_impact_);
    if (!needed) continue;
    if (!values_[f].data()) return false;
    // The counted values are joined with tabs: one holding a tab is no code,
    // and the report's reader says so.  Only an array or an object can hold
    // one (as a blank between its items): a string cannot, and a bare token
    // ends at a blank.  plain: every value searched; those seven searches
    // had taken some 15% of counting a JSON row.
    const std::string_view v = values_[f];
    if (f != kFindings && f != kImpact && !v.empty() && (v[0] == '[' || v[0] == '{') &&
        v.find('\t') != std::string_view::npos) {
      return false;
    }
  }
  if (has_impact_ && !count_impact(values_[kImpact])) return false;
  count(values_[kAdrg] == "null", values_[kFindings]);
  return true;
}

bool ResultCounts::count_impact(std::string_view impact) {
  if (format_ == Format::kTsv) {
    // Entries separated by ';' (escaped in codes); none: an empty field.
    size_t start = 0;
    while (start < impact.size()) {
      size_t end = start;
      while (end < impact.size() && impact[end] != ';') end += impact[end] == '\\' ? 2 : 1;
      end = std::min(end, impact.size());
      impact_.add(impact.substr(start, end - start));
      start = end + 1;
    }
    return true;
  }
  // A JSON array of objects, each counted by its text.
  if (impact.size() < 2 || impact.front() != '[' || impact.back() != ']') return false;
  size_t i = skip_space(impact, 1);
  if (impact[i] == ']') return true;
  while (true) {
    if (impact[i] != '{') return false;
    const size_t end = value_end(impact, i);
    if (end == std::string_view::npos) return false;
    impact_.add(impact.substr(i, end - i));
    i = skip_space(impact, end);
    if (i >= impact.size()) return false;
    if (impact[i] == ']') return i + 1 == impact.size();
    if (impact[i] != ',') return false;
    i = skip_space(impact, i + 1);
  }
}

void ResultCounts::count(bool ungrouped, std::string_view findings) {
  ++records_;
  key_.clear();
  for (size_t f = kMdc; f <= kSupplementary; ++f) {
    if (f != kMdc) key_ += '\t';
    key_ += values_[f];
  }
  groups_.add(key_);
  count_age(values_[kAge], 1);
  if (has_los_) los_.add(values_[kLos]);
  if (weighted_) {
    key_.assign(values_[kMdc]);
    key_ += '\t';
    key_ += values_[kWeight];
    key_ += '\t';
    key_ += values_[kLosClass];
    weights_.add(key_);
  }
  if (has_tables_) tables_.add(values_[kTables]);
  // A grouped record without findings adds nothing to the findings' counts.
  const bool none = format_ == Format::kTsv ? findings.empty() : findings == "[]";
  if (none && !ungrouped) return;
  count_findings(ungrouped, findings);
}

void ResultCounts::count_findings(bool ungrouped, std::string_view findings) {
  key_.assign(1, ungrouped ? '1' : '0');
  if (!(format_ == Format::kTsv ? append_read_findings(findings, key_) : append_read_json_findings(findings, key_))) {
    key_.resize(1);
    key_ += findings;
  }
  findings_.add(key_);
}

// Ages of up to 3 digits count in an array, by their text.
void ResultCounts::count_age(std::string_view age, int64_t n) {
  bool small = !age.empty() && age.size() <= 3;
  size_t value = 0;
  for (size_t i = 0; small && i < age.size(); ++i) {
    small = age[i] >= '0' && age[i] <= '9';
    value = value * 10 + static_cast<size_t>(age[i] - '0');
  }
  if (small) short_ages_[age.size() * 1000 + value] += n;
  else ages_.add(age, n);
}

bool ResultCounts::write_json(std::FILE* out) {
  settle();
  bool ok = put(out, format_ == Format::kTsv ? "{\"format\": \"TSV\"" : "{\"format\": \"JSON Lines\"");
  ok = ok && put(out, ", \"records\": " + std::to_string(records_));
  ok = ok && put(out, ", \"los_field\": ") && (has_los_ ? put_string(out, los_field_) : put(out, "null"));
  ok = ok && put(out, weighted_ ? ", \"weighted\": true" : ", \"weighted\": false");
  // One [key, count] pair of a list, after a comma unless it is the first.
  auto put_pair = [&](bool& first, std::string_view key, int64_t n) {
    ok = ok && put(out, first ? "[" : ", [") && put_string(out, key) && put(out, ", " + std::to_string(n) + "]");
    first = false;
  };
  auto put_counter = [&](std::string_view name, const Counter& c) {
    if (!ok) return;
    ok = put(out, ", \"") && put(out, name) && put(out, "\": [");
    bool first = true;
    c.for_each_sorted([&](std::string_view key, int64_t n) { put_pair(first, key, n); });
    ok = ok && put(out, "]");
  };
  put_counter("groups", groups_);
  // The ages of the array, as texts beside those of the table (never the same texts).
  if (ok) {
    ok = put(out, ", \"ages\": [");
    bool first = true;
    for (size_t i = 0; i < short_ages_.size() && ok; ++i) {
      if (short_ages_[i] == 0) continue;
      char text[8];
      const int digits = static_cast<int>(i / 1000);
      std::snprintf(text, sizeof text, "%0*d", digits, static_cast<int>(i % 1000));
      put_pair(first, text, short_ages_[i]);
    }
    ages_.for_each_sorted([&](std::string_view key, int64_t n) { put_pair(first, key, n); });
    ok = ok && put(out, "]");
  }
  put_counter("los", los_);
  put_counter("weights", weights_);
  put_counter("findings", findings_);
  // Only rows with the tables column have the list: the counts of other rows keep their bytes.
  if (has_tables_) put_counter("tables", tables_);
  if (has_impact_) put_counter("impact", impact_);
  return ok && put(out, "}\n");
}

}  // namespace grouper
