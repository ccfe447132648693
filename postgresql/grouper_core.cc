// The grouping side of the extension (see grouper_core.h): the table sets
// and weight catalogues opened by this server process, one Grouper per
// set, and the conversion of a result into the columns of eg_result.
#include "grouper_core.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "engine/prepared/prepared_set.h"
#include "episode_grouper/episode.h"
#include "episode_grouper/explain.h"
#include "episode_grouper/grouper.h"
#include "episode_grouper/table_set.h"
#include "episode_grouper/version.h"
#include "episode_grouper/weights.h"
#include "output/result_line.h"
#include "output/result_table.h"
#include "tables/load_plan.h"

namespace {

namespace eg = episode_grouper;

// What a file looked like when it was opened: a replaced or rewritten file
// differs in one of these.
struct FileStamp {
  bool exists = false;
  int64_t size = 0, mtime_ns = 0, ctime_ns = 0;
  uint64_t inode = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp stamp_of(const std::string& path) {
  FileStamp s;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return s;
  s.exists = true;
  s.size = st.st_size;
  s.mtime_ns = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  s.ctime_ns = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
  s.inode = st.st_ino;
  return s;
}

// The stamps of the sixteen files of a set's directory.
std::vector<FileStamp> set_stamps(const std::string& dir) {
  std::vector<FileStamp> stamps;
  for (const grouper::FileSpec& file : grouper::load_plan()) {
    std::string path = dir.empty() ? std::string(file.name) : dir + "/" + std::string(file.name);
    stamps.push_back(stamp_of(path));
  }
  return stamps;
}

struct OpenSet {
  std::string dir;
  std::vector<FileStamp> stamps;
  int64_t checked_key = 0;
  std::shared_ptr<const eg::TableSet> set;
  std::unique_ptr<eg::Grouper> grouper;
};

struct OpenCatalogue {
  std::string path;
  FileStamp stamp;
  int64_t checked_key = 0;
  std::shared_ptr<const eg::WeightCatalogue> catalogue;
};

// Sets and catalogues kept at most; the one used longest ago goes first.
constexpr size_t kMaxKept = 4;

std::vector<std::unique_ptr<OpenSet>> g_sets;  // most recently used last
std::vector<std::unique_ptr<OpenCatalogue>> g_catalogues;
OpenSet* g_set = nullptr;                    // the selected set
OpenCatalogue* g_catalogue = nullptr;        // the last catalogue selected
const eg::WeightCatalogue* g_weights = nullptr;  // the selected catalogue, or none

char g_message[2048];
std::string g_texts;  // validation texts, explain's JSON

void set_message(std::string_view text) {
  const size_t n = std::min(text.size(), sizeof g_message - 1);
  std::memcpy(g_message, text.data(), n);
  g_message[n] = '\0';
}

// Moves element `i` to the end (most recently used) and returns it.
template <typename T>
T* touch(std::vector<std::unique_ptr<T>>& kept, size_t i) {
  std::rotate(kept.begin() + static_cast<std::ptrdiff_t>(i), kept.begin() + static_cast<std::ptrdiff_t>(i) + 1,
              kept.end());
  return kept.back().get();
}

template <typename T>
void make_room(std::vector<std::unique_ptr<T>>& kept) {
  if (kept.size() >= kMaxKept) kept.erase(kept.begin());
}

// The loader's message, after "WHAT \"PATH\": " when it does not name the path.
std::string named(const std::string& path, std::string_view what, const std::string& message) {
  if (message.find(path) != std::string::npos) return message;
  return std::string(what) + " \"" + path + "\": " + message;
}

// Opens (or reopens) the set of `dir`; false with the message set.
bool open_set(OpenSet& entry, int64_t key) {
  entry.grouper.reset();
  entry.set.reset();
  entry.stamps = set_stamps(entry.dir);
  entry.checked_key = key;
  eg::Status error;
  entry.set = eg::TableSet::open(entry.dir, error);
  if (!entry.set) {
    set_message(named(entry.dir, "table set", error.message));
    return false;
  }
  entry.grouper = std::make_unique<eg::Grouper>(entry.set);
  return true;
}

bool open_catalogue(OpenCatalogue& entry, int64_t key) {
  entry.catalogue.reset();
  entry.stamp = stamp_of(entry.path);
  entry.checked_key = key;
  eg::Status error;
  entry.catalogue = eg::WeightCatalogue::load(entry.path, error);
  if (!entry.catalogue) {
    set_message(named(entry.path, "weight catalogue", error.message));
    return false;
  }
  return true;
}

EgCoreStatus select_set(std::string_view dir, int64_t key) {
  if (g_set != nullptr && g_set->dir == dir && g_set->checked_key == key) return EG_CORE_OK;
  g_set = nullptr;
  for (size_t i = 0; i < g_sets.size(); ++i) {
    if (g_sets[i]->dir != dir) continue;
    OpenSet* entry = touch(g_sets, i);
    bool changed = false;
    if (entry->checked_key != key) {
      entry->checked_key = key;
      changed = set_stamps(entry->dir) != entry->stamps;
    }
    // A set whose opening was cut short (out of memory) is opened again.
    if ((changed || !entry->grouper) && !open_set(*entry, key)) {
      g_sets.pop_back();  // tried again by the next statement
      return EG_CORE_TABLES;
    }
    g_set = entry;
    return EG_CORE_OK;
  }
  make_room(g_sets);
  auto entry = std::make_unique<OpenSet>();
  entry->dir.assign(dir);
  if (!open_set(*entry, key)) return EG_CORE_TABLES;
  g_sets.push_back(std::move(entry));
  g_set = g_sets.back().get();
  return EG_CORE_OK;
}

EgCoreStatus select_catalogue(std::string_view path, int64_t key) {
  g_weights = nullptr;
  if (path.empty()) return EG_CORE_OK;
  if (g_catalogue != nullptr && g_catalogue->path == path && g_catalogue->checked_key == key) {
    g_weights = g_catalogue->catalogue.get();
    return EG_CORE_OK;
  }
  g_catalogue = nullptr;
  for (size_t i = 0; i < g_catalogues.size(); ++i) {
    if (g_catalogues[i]->path != path) continue;
    OpenCatalogue* entry = touch(g_catalogues, i);
    bool changed = false;
    if (entry->checked_key != key) {
      entry->checked_key = key;
      changed = stamp_of(entry->path) != entry->stamp;
    }
    if ((changed || !entry->catalogue) && !open_catalogue(*entry, key)) {
      g_catalogues.pop_back();
      return EG_CORE_WEIGHTS;
    }
    g_catalogue = entry;
    g_weights = entry->catalogue.get();
    return EG_CORE_OK;
  }
  make_room(g_catalogues);
  auto entry = std::make_unique<OpenCatalogue>();
  entry->path.assign(path);
  if (!open_catalogue(*entry, key)) return EG_CORE_WEIGHTS;
  g_catalogues.push_back(std::move(entry));
  g_catalogue = g_catalogues.back().get();
  g_weights = g_catalogue->catalogue.get();
  return EG_CORE_OK;
}

// A value as a line of an episode file: its bytes up to its first line
// feed, or up to the most a read takes, followed by the line feed that ends
// a line in a file (when the read did not end there), so that a value
// groups as the same line of a file does.
constexpr size_t kMaxRead = 4095;
char g_line[kMaxRead + 1];

std::string_view as_line(EgText value) {
  size_t n = std::min(value.len, kMaxRead);
  if (n > 0) {
    if (const void* lf = std::memchr(value.data, '\n', n)) n = static_cast<size_t>(static_cast<const char*>(lf) - value.data) + 1;
    std::memcpy(g_line, value.data, n);
  }
  if (n < kMaxRead && (n == 0 || g_line[n - 1] != '\n')) g_line[n++] = '\n';
  return {g_line, n};
}

EgText text_of(std::string_view s) { return EgText{s.data(), s.size()}; }

// The columns of `result` into `row`, written as the result file writes
// them (findings one by one through its writer).
void fill_row(const eg::Result& result, EgRow* row) {
  const grouper::TableStore& store = grouper::prepared(*g_set->set).store();
  row->mdc = text_of(grouper::list_code(store.mdc_code, result.res_mdc));
  row->adrg = text_of(grouper::list_code(store.adrg_code, result.res_adrg));
  row->drg = result.res_drg != 0
                 ? text_of(grouper::code_text(result.res_drg_code.data(), result.res_drg_code.size()))
                 : EgText{nullptr, 0};
  row->has_adrg = result.has_adrg();
  row->pccl = result.res_pccl;
  // The CCLs after the exclusions as the ccl_excl column shows them,
  // positions 2..10 ("*" where the principal stood after an exchange: NULL).
  for (int i = 0; i < 9; ++i) {
    const char c = result.res_ccl_excl[static_cast<size_t>(i) + 1];
    row->ccl_null[i] = c < '0' || c > '9';
    row->ccl[i] = row->ccl_null[i] ? 0 : c - '0';
  }
  row->supplementary = text_of(grouper::supplementary_text(result));
  row->age_years = result.values.age_yy;
  row->age_days = result.values.age_dd;

  eg::Findings findings = result.findings;
  row->with_weights = g_weights != nullptr;
  row->has_weight = false;
  char* p = row->buffer;
  if (g_weights) {
    const eg::EpisodeWeight weight = g_weights->weigh(result);
    eg::add_weight_finding(weight, findings);
    if (weight.has_weight) {
      row->has_weight = true;
      char* start = p;
      p += eg::format_weight(weight.weight, p);
      row->weight = EgText{start, static_cast<size_t>(p - start)};
      start = p;
      p += eg::format_weight(weight.effective, p);
      row->effective_weight = EgText{start, static_cast<size_t>(p - start)};
      row->los_class = text_of(eg::los_class_name(weight.los_class));
    }
  }
  row->n_findings = 0;
  for (size_t i = 0; i < findings.count; ++i) {
    char* start = p;
    p = grouper::put_finding(p, findings.items[i]);
    row->findings[row->n_findings++] = EgText{start, static_cast<size_t>(p - start)};
  }
  if (findings.dropped > 0) {
    char* start = p;
    p = grouper::put_more_findings(p, findings.dropped);
    row->findings[row->n_findings++] = EgText{start, static_cast<size_t>(p - start)};
  }
}

// A date field: YYYYMMDD, or an error for a date that has no such form.
void put_date(const EgDate& date, eg::EpisodeField field, std::optional<int32_t>& out, eg::FieldErrors& errors) {
  if (!date.given) return;
  if (!date.finite) {
    const char* t = date.year > 0 ? "infinity" : "-infinity";
    errors.add(field, t, std::string(t) + " is not a calendar date");
    return;
  }
  if (date.year < 1 || date.year > 9999) {
    char t[40];
    std::snprintf(t, sizeof t, "%d-%02d-%02d", date.year, date.month, date.day);
    errors.add(field, t, std::string(t) + " is not from 0001-01-01 to 9999-12-31");
    return;
  }
  out = date.year * 10000 + date.month * 100 + date.day;
}

void put_int(const EgOptInt& v, std::optional<int32_t>& out) {
  if (v.given) out = v.value;
}

void put_list(const EgText* items, int n, size_t most, eg::EpisodeField field, std::vector<std::string>& out,
              eg::FieldErrors& errors) {
  if (n > EG_MAX_LIST) {
    errors.add(field, std::to_string(n), std::to_string(n) + " codes, at most " + std::to_string(most));
    return;
  }
  for (int i = 0; i < n; ++i) {
    if (items[i].data == nullptr) {
      errors.add(field, "", "element " + std::to_string(i + 1) + " is NULL");
      return;
    }
    out.emplace_back(items[i].data, items[i].len);
  }
}

eg::Episode g_episode;
eg::FieldErrors g_errors;

// The episode of `in` into g_episode, with the errors of values that have
// no typed form in g_errors.
void fill_episode(const EgEpisode& in) {
  g_episode.clear();
  g_errors.clear();
  using F = eg::EpisodeField;
  put_date(in.birth_date, F::kBirthDate, g_episode.birth_date, g_errors);
  put_date(in.record_date, F::kRecordDate, g_episode.record_date, g_errors);
  if (in.sex.data) set_field_text(g_episode, F::kSex, std::string_view(in.sex.data, in.sex.len), g_errors);
  put_int(in.los, g_episode.los);
  put_int(in.discharge, g_episode.discharge);
  put_int(in.birth_weight, g_episode.birth_weight);
  put_int(in.vent_hours, g_episode.vent_hours);
  put_int(in.age_years, g_episode.age_years);
  put_int(in.age_days, g_episode.age_days);
  if (in.principal.data) g_episode.principal.assign(in.principal.data, in.principal.len);
  if (in.id.data) g_episode.id.assign(in.id.data, in.id.len);
  put_list(in.secondary, in.n_secondary, eg::kMaxSecondary, F::kSecondary, g_episode.secondary, g_errors);
  put_list(in.procedures, in.n_procedures, eg::kMaxProcedures, F::kProcedures, g_episode.procedures, g_errors);
}

// Runs `work`, turning every exception into a status and a message.
template <typename Work>
EgCoreStatus guarded(Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    set_message("out of memory");
    return EG_CORE_NO_MEMORY;
  } catch (const std::exception& e) {
    set_message(e.what());
    return EG_CORE_INTERNAL;
  } catch (...) {
    set_message("unexpected failure");
    return EG_CORE_INTERNAL;
  }
}

EgCoreStatus need_set() {
  if (g_set != nullptr && g_set->grouper) return EG_CORE_OK;
  set_message("no table set selected");
  return EG_CORE_INTERNAL;
}

}  // namespace

extern "C" {

EgCoreStatus eg_core_select(EgText tables, EgText weights, int64_t check_key) {
  return guarded([&] {
    const EgCoreStatus s = select_set(std::string_view(tables.data ? tables.data : "", tables.len), check_key);
    if (s != EG_CORE_OK) return s;
    return select_catalogue(std::string_view(weights.data ? weights.data : "", weights.data ? weights.len : 0),
                            check_key);
  });
}

EgCoreStatus eg_core_group(EgText record, EgRow* row) {
  return guarded([&] {
    if (const EgCoreStatus s = need_set(); s != EG_CORE_OK) return s;
    fill_row(g_set->grouper->group(as_line(record)), row);
    return EG_CORE_OK;
  });
}

EgCoreStatus eg_core_group_episode(const EgEpisode* episode, EgRow* row) {
  return guarded([&] {
    if (const EgCoreStatus s = need_set(); s != EG_CORE_OK) return s;
    fill_episode(*episode);
    const eg::Result* result = g_set->grouper->group(g_episode, g_errors);
    if (result == nullptr) {
      set_message(g_errors.text());
      return EG_CORE_INVALID_EPISODE;
    }
    fill_row(*result, row);
    return EG_CORE_OK;
  });
}

EgCoreStatus eg_core_validate_episode(const EgEpisode* episode, int* count, const char** texts) {
  return guarded([&] {
    fill_episode(*episode);
    char record[eg::kEpisodeRecordBytes];
    eg::build_record(g_episode, record, g_errors);
    g_texts.clear();
    for (const eg::FieldError& e : g_errors) {
      g_texts += e.text();
      g_texts.push_back('\0');
    }
    *count = static_cast<int>(g_errors.size());
    *texts = g_texts.data();
    return EG_CORE_OK;
  });
}

EgCoreStatus eg_core_explain(EgText record, const char** json) {
  return guarded([&] {
    if (const EgCoreStatus s = need_set(); s != EG_CORE_OK) return s;
    g_texts = eg::explain(*g_set->set, as_line(record), eg::ExplainFormat::kJson);
    *json = g_texts.c_str();
    return EG_CORE_OK;
  });
}

const char* eg_core_message(void) { return g_message; }

const char* eg_core_version(void) { return episode_grouper::version(); }

}  // extern "C"
