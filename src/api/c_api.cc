// The C interface over the C++ API: handles, statuses and a per-thread last
// error; no exception leaves a function of this file.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "episode_grouper/episode.h"
#include "episode_grouper/episode_grouper.h"
#include "episode_grouper/table_registry.h"
#include "episode_grouper/grouper.h"
#include "episode_grouper/table_registry.h"
#include "episode_grouper/table_set.h"
#include "episode_grouper/weights.h"

struct eg_weights {
  std::shared_ptr<const episode_grouper::WeightCatalogue> catalogue;
};

struct eg_table_set {
  std::shared_ptr<const episode_grouper::TableSet> set;
};

// An episode read from a record, owning the texts its eg_episode points to.
struct eg_episode_buffer {
  episode_grouper::Episode episode;
  std::vector<const char*> secondary, procedures;
};

struct eg_registry {
  std::shared_ptr<const episode_grouper::TableRegistry> registry;
};

struct eg_registry_grouper {
  explicit eg_registry_grouper(std::shared_ptr<const episode_grouper::TableRegistry> registry)
      : grouper(std::move(registry)) {}
  episode_grouper::RegistryGrouper grouper;
};

struct eg_grouper {
  explicit eg_grouper(std::shared_ptr<const episode_grouper::TableSet> set) : grouper(std::move(set)) {}
  episode_grouper::Grouper grouper;
};

namespace {

thread_local std::string last_error;

eg_status fail(eg_status status, std::string message) {
  try {
    last_error = std::move(message);
  } catch (...) {
    last_error.clear();
  }
  return status;
}

eg_status ok() {
  last_error.clear();
  return EG_OK;
}

// The one mapping of the library's status kinds to the C ABI's.
eg_status status_of(episode_grouper::StatusKind kind) {
  using K = episode_grouper::StatusKind;
  switch (kind) {
    case K::kOk: return EG_OK;
    case K::kNoDirectory: return EG_ERROR_NO_DIRECTORY;
    case K::kFileFailed: return EG_ERROR_FILE;
    case K::kCountMismatch: return EG_ERROR_COUNT_MISMATCH;
    case K::kLogicSetting: return EG_ERROR_LOGIC_SETTING;
    case K::kOutOfMemory: return EG_ERROR_MEMORY;
    case K::kWeights: return EG_ERROR_WEIGHTS;
    case K::kInvalidEpisode: return EG_ERROR_INVALID_EPISODE;
    case K::kRegistry: return EG_ERROR_REGISTRY;
  }
  return EG_ERROR_INTERNAL;
}

template <size_t N, size_t M>
void put_text(char (&to)[N], const std::array<char, M>& from) {
  static_assert(N == M + 1);
  std::memset(to, 0, N);
  std::string_view text = episode_grouper::text_of(from);
  std::memcpy(to, text.data(), text.size());
}

// From a Grouper or a RegistryGrouper.
template <class G>
void fill(const G& g, eg_result& out) {
  const episode_grouper::Result& r = g.result();
  out.rec_date = r.values.rec_date;
  out.age_yy = r.values.age_yy;
  out.age_dd = r.values.age_dd;
  out.sex_cd = r.values.sex_cd;
  out.los_dd = r.values.los_dd;
  out.dsch_cd = r.values.dsch_cd;
  out.birth_wt = r.values.birth_wt;
  out.vent_hr = r.values.vent_hr;
  std::copy(r.code_ids.begin(), r.code_ids.end(), out.code_ids);
  out.dx_swapped = r.dx_swapped;
  out.res_mdc = r.res_mdc;
  out.res_adrg = r.res_adrg;
  out.res_drg = r.res_drg;
  out.res_split = r.res_split;
  put_text(out.mdc_code, r.mdc_code);
  put_text(out.adrg_code, r.adrg_code);
  put_text(out.drg_list_code, r.drg_list_code);
  std::copy(r.pos_ccl.begin(), r.pos_ccl.end(), out.pos_ccl);
  out.res_pccl = r.res_pccl;
  put_text(out.res_drg_code, r.res_drg_code);
  put_text(out.res_ccl_raw, r.res_ccl_raw);
  put_text(out.res_ccl_excl, r.res_ccl_excl);
  out.res_ltcdrg = r.res_ltcdrg;
  put_text(out.res_ltcdrg_code, r.res_ltcdrg_code);
  out.result_line_length = g.write_result_line(out.result_line);
}

// Copies the `n` bytes of `row` and a NUL into the caller's `out` of
// `capacity` bytes; 0 and an argument error when they do not fit.
size_t hand_out(const char* row, size_t n, char* out, size_t capacity) {
  if (n >= capacity) {
    fail(EG_ERROR_ARGUMENT, "the buffer holds " + std::to_string(capacity) + " bytes, the row needs " +
                                std::to_string(n + 1));
    return 0;
  }
  std::memcpy(out, row, n);
  out[n] = '\0';
  ok();
  return n;
}

size_t put_row(size_t (episode_grouper::Grouper::*write)(int64_t, char*) const,
               const eg_grouper* grouper, int64_t record, char* out, size_t capacity) {
  if (!grouper || !out) {
    fail(EG_ERROR_ARGUMENT, "a null grouper or buffer");
    return 0;
  }
  char row[episode_grouper::kMaxJsonRow];
  return hand_out(row, (grouper->grouper.*write)(record, row), out, capacity);
}

// A row with the weight columns into `out`, as put_row.
size_t put_weighted_row(bool json, const eg_grouper* grouper, const episode_grouper::WeightCatalogue& weights,
                        int64_t record, char* out, size_t capacity) {
  if (!grouper || !out) {
    fail(EG_ERROR_ARGUMENT, "a null grouper or buffer");
    return 0;
  }
  const episode_grouper::EpisodeWeight weight = grouper->grouper.weigh(weights);
  char row[episode_grouper::kMaxJsonRow];
  return hand_out(row,
                  json ? grouper->grouper.write_json_row(record, weight, row)
                       : grouper->grouper.write_result_row(record, weight, row),
                  out, capacity);
}

// The caller's episode over a full one: fields past the caller's size stay "none".
eg_episode full_episode(const eg_episode& given) {
  eg_episode full;
  eg_episode_init(&full);
  const size_t n = std::min(given.size, sizeof full) - sizeof full.size;
  std::memcpy(reinterpret_cast<char*>(&full) + sizeof full.size, reinterpret_cast<const char*>(&given) + sizeof full.size, n);
  return full;
}

// The C episode as the library's Episode; codes that are null pointers are
// errors of their list.  False with an argument error for a list of
// entries without its array.
bool to_episode(const eg_episode& given, episode_grouper::Episode& e, episode_grouper::FieldErrors& errors) {
  using F = episode_grouper::EpisodeField;
  const eg_episode c = full_episode(given);
  if ((c.secondary_count > 0 && !c.secondary) || (c.procedure_count > 0 && !c.procedures)) {
    fail(EG_ERROR_ARGUMENT, "a code count without its array");
    return false;
  }
  auto number = [](int32_t v, int32_t none) { return v == none ? std::optional<int32_t>() : std::optional<int32_t>(v); };
  e.clear();
  if (c.id) e.id = c.id;
  e.birth_date = number(c.birth_date, 0);
  e.age_years = number(c.age_years, -1);
  e.age_days = number(c.age_days, -1);
  e.sex = c.sex;
  e.record_date = number(c.record_date, 0);
  e.los = number(c.los, -1);
  e.discharge = number(c.discharge, -1);
  if (c.principal) e.principal = c.principal;
  auto codes = [&](F field, const char* const* list, size_t count, std::vector<std::string>& out) {
    for (size_t i = 0; i < count; ++i) {
      if (list[i]) out.emplace_back(list[i]);
      else errors.add(field, "", "code " + std::to_string(i + 1) + " is a null pointer");
    }
  };
  codes(F::kSecondary, c.secondary, c.secondary_count, e.secondary);
  codes(F::kProcedures, c.procedures, c.procedure_count, e.procedures);
  e.birth_weight = number(c.birth_weight, -1);
  e.vent_hours = number(c.vent_hours, -1);
  return true;
}

// Builds the record of a C episode into `record` (kEpisodeRecordBytes);
// the status, with the field errors as the last error.
eg_status build(const eg_episode& given, char* record) {
  episode_grouper::Episode e;
  episode_grouper::FieldErrors errors;
  if (!to_episode(given, e, errors)) return EG_ERROR_ARGUMENT;
  if (!episode_grouper::build_record(e, record, errors)) return fail(EG_ERROR_INVALID_EPISODE, errors.text());
  return EG_OK;
}

}  // namespace

extern "C" {

const char* eg_last_error(void) { return last_error.c_str(); }

const char* eg_version(void) { return episode_grouper::version(); }

eg_status eg_table_set_open(const char* directory, eg_table_set** set) {
  if (!set) return fail(EG_ERROR_ARGUMENT, "a null result pointer");
  *set = nullptr;
  if (!directory) return fail(EG_ERROR_ARGUMENT, "a null directory");
  try {
    episode_grouper::Status error;
    auto opened = episode_grouper::TableSet::open(directory, error);
    if (!opened) return fail(status_of(error.kind), error.message);
    *set = new eg_table_set{std::move(opened)};
    return ok();
  } catch (const std::bad_alloc&) {
    return fail(EG_ERROR_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return fail(EG_ERROR_INTERNAL, e.what());
  }
}

void eg_table_set_free(eg_table_set* set) { delete set; }

eg_status eg_grouper_new(const eg_table_set* set, eg_grouper** grouper) {
  if (!grouper) return fail(EG_ERROR_ARGUMENT, "a null result pointer");
  *grouper = nullptr;
  if (!set) return fail(EG_ERROR_ARGUMENT, "a null table set");
  try {
    *grouper = new eg_grouper(set->set);
    return ok();
  } catch (const std::bad_alloc&) {
    return fail(EG_ERROR_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return fail(EG_ERROR_INTERNAL, e.what());
  }
}

void eg_grouper_free(eg_grouper* grouper) { delete grouper; }

eg_status eg_registry_open(const char* file, eg_registry** registry) {
  if (!registry) return fail(EG_ERROR_ARGUMENT, "a null result pointer");
  *registry = nullptr;
  if (!file) return fail(EG_ERROR_ARGUMENT, "a null file name");
  try {
    episode_grouper::Status error;
    auto opened = episode_grouper::TableRegistry::open(file, error);
    if (!opened) return fail(status_of(error.kind), error.message);
    *registry = new eg_registry{std::move(opened)};
    return ok();
  } catch (const std::bad_alloc&) {
    return fail(EG_ERROR_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return fail(EG_ERROR_INTERNAL, e.what());
  }
}

void eg_registry_free(eg_registry* registry) { delete registry; }

size_t eg_registry_version_count(const eg_registry* registry) {
  return registry ? registry->registry->versions().size() : 0;
}

const char* eg_registry_version_name(const eg_registry* registry, size_t index) {
  if (!registry || index >= registry->registry->versions().size()) return nullptr;
  return registry->registry->versions()[index].name.c_str();
}

size_t eg_registry_warning_count(const eg_registry* registry) {
  return registry ? registry->registry->warnings().size() : 0;
}

const char* eg_registry_warning(const eg_registry* registry, size_t index) {
  if (!registry || index >= registry->registry->warnings().size()) return nullptr;
  return registry->registry->warnings()[index].c_str();
}

eg_status eg_registry_grouper_new(const eg_registry* registry, eg_registry_grouper** grouper) {
  if (!grouper) return fail(EG_ERROR_ARGUMENT, "a null result pointer");
  *grouper = nullptr;
  if (!registry) return fail(EG_ERROR_ARGUMENT, "a null registry");
  try {
    *grouper = new eg_registry_grouper(registry->registry);
    return ok();
  } catch (const std::bad_alloc&) {
    return fail(EG_ERROR_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return fail(EG_ERROR_INTERNAL, e.what());
  }
}

void eg_registry_grouper_free(eg_registry_grouper* grouper) { delete grouper; }

eg_status eg_registry_group(eg_registry_grouper* grouper, const char* record, size_t length, eg_result* result,
                            int* version) {
  if (!grouper || !result || (!record && length > 0)) return fail(EG_ERROR_ARGUMENT, "a null argument");
  const size_t size = result->size;
  if (size < sizeof(size_t)) return fail(EG_ERROR_ARGUMENT, "eg_result.size is not set");
  grouper->grouper.group(std::string_view(record ? record : "", length));
  eg_result full{};
  fill(grouper->grouper, full);
  const size_t n = std::min(size, sizeof full) - sizeof full.size;
  std::memcpy(reinterpret_cast<char*>(result) + sizeof full.size, reinterpret_cast<const char*>(&full) + sizeof full.size, n);
  if (version) *version = grouper->grouper.version();
  return ok();
}

size_t eg_registry_result_row(const eg_registry_grouper* grouper, int64_t record, char* out, size_t capacity) {
  if (!grouper || !out) {
    fail(EG_ERROR_ARGUMENT, "a null grouper or buffer");
    return 0;
  }
  char row[episode_grouper::kMaxRegistryJsonRow];
  return hand_out(row, grouper->grouper.write_result_row(record, row), out, capacity);
}

size_t eg_registry_json_row(const eg_registry_grouper* grouper, int64_t record, char* out, size_t capacity) {
  if (!grouper || !out) {
    fail(EG_ERROR_ARGUMENT, "a null grouper or buffer");
    return 0;
  }
  char row[episode_grouper::kMaxRegistryJsonRow];
  return hand_out(row, grouper->grouper.write_json_row(record, row), out, capacity);
}

eg_status eg_group(eg_grouper* grouper, const char* record, size_t length, eg_result* result) {
  if (!grouper || !result || (!record && length > 0)) return fail(EG_ERROR_ARGUMENT, "a null argument");
  const size_t size = result->size;
  if (size < sizeof(size_t)) return fail(EG_ERROR_ARGUMENT, "eg_result.size is not set");
  grouper->grouper.group(std::string_view(record ? record : "", length));
  eg_result full{};
  fill(grouper->grouper, full);
  // A caller built against a shorter eg_result gets the fields it knows.
  const size_t n = std::min(size, sizeof full) - sizeof full.size;
  std::memcpy(reinterpret_cast<char*>(result) + sizeof full.size, reinterpret_cast<const char*>(&full) + sizeof full.size, n);
  return ok();
}

size_t eg_result_row(const eg_grouper* grouper, int64_t record, char* out, size_t capacity) {
  return put_row(&episode_grouper::Grouper::write_result_row, grouper, record, out, capacity);
}

size_t eg_json_row(const eg_grouper* grouper, int64_t record, char* out, size_t capacity) {
  return put_row(&episode_grouper::Grouper::write_json_row, grouper, record, out, capacity);
}

eg_status eg_weights_load(const char* path, eg_weights** weights) {
  if (!weights) return fail(EG_ERROR_ARGUMENT, "a null result pointer");
  *weights = nullptr;
  if (!path) return fail(EG_ERROR_ARGUMENT, "a null path");
  try {
    episode_grouper::Status error;
    auto loaded = episode_grouper::WeightCatalogue::load(path, error);
    if (!loaded) return fail(status_of(error.kind), error.message);
    *weights = new eg_weights{std::move(loaded)};
    return ok();
  } catch (const std::bad_alloc&) {
    return fail(EG_ERROR_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return fail(EG_ERROR_INTERNAL, e.what());
  }
}

void eg_weights_free(eg_weights* weights) { delete weights; }

eg_status eg_weigh(const eg_grouper* grouper, const eg_weights* weights, eg_weight* weight) {
  if (!grouper || !weights || !weight) return fail(EG_ERROR_ARGUMENT, "a null argument");
  const size_t size = weight->size;
  if (size < sizeof(size_t)) return fail(EG_ERROR_ARGUMENT, "eg_weight.size is not set");
  const episode_grouper::EpisodeWeight w = grouper->grouper.weigh(*weights->catalogue);
  eg_weight full{};
  full.has_weight = w.has_weight ? 1 : 0;
  full.weight = w.weight;
  full.effective = w.effective;
  const std::string_view los_class = episode_grouper::los_class_name(w.los_class);
  std::memcpy(full.los_class, los_class.data(), std::min(los_class.size(), sizeof full.los_class - 1));
  if (w.has_finding) {
    const std::string_view finding = episode_grouper::finding_name(w.finding.code);
    std::memcpy(full.finding, finding.data(), std::min(finding.size(), sizeof full.finding - 1));
  }
  const size_t n = std::min(size, sizeof full) - sizeof full.size;
  std::memcpy(reinterpret_cast<char*>(weight) + sizeof full.size, reinterpret_cast<const char*>(&full) + sizeof full.size, n);
  return ok();
}

eg_status eg_find_impact(eg_grouper* grouper, const eg_weights* weights, eg_impact* impact) {
  if (!grouper || !impact) return fail(EG_ERROR_ARGUMENT, "a null argument");
  const size_t size = impact->size;
  if (size < sizeof(size_t)) return fail(EG_ERROR_ARGUMENT, "eg_impact.size is not set");
  const episode_grouper::Impact& found = grouper->grouper.impact(weights ? weights->catalogue.get() : nullptr);
  eg_impact full{};
  full.weighed = found.weighed ? 1 : 0;
  full.count = found.count;
  static_assert(EG_MAX_IMPACT == episode_grouper::kMaxImpact);
  for (size_t i = 0; i < found.count; ++i) {
    const episode_grouper::CodeImpact& from = found.items[i];
    eg_code_impact& to = full.items[i];
    to.position = from.position;
    std::string_view code = episode_grouper::text_of(from.code);
    while (!code.empty() && code.back() == ' ') code.remove_suffix(1);
    std::memcpy(to.code, code.data(), code.size());
    const std::string_view drg = episode_grouper::text_of(from.drg);
    std::memcpy(to.drg, drg.data(), drg.size());
    to.has_weight = from.has_weight ? 1 : 0;
    to.effective = from.effective;
    to.weight_difference = from.weight_difference;
  }
  const size_t n = std::min(size, sizeof full) - sizeof full.size;
  std::memcpy(reinterpret_cast<char*>(impact) + sizeof full.size, reinterpret_cast<const char*>(&full) + sizeof full.size, n);
  return ok();
}

size_t eg_weighted_result_row(const eg_grouper* grouper, const eg_weights* weights, int64_t record, char* out,
                              size_t capacity) {
  if (!weights) {
    fail(EG_ERROR_ARGUMENT, "a null weight catalogue");
    return 0;
  }
  return put_weighted_row(false, grouper, *weights->catalogue, record, out, capacity);
}

size_t eg_weighted_json_row(const eg_grouper* grouper, const eg_weights* weights, int64_t record, char* out,
                            size_t capacity) {
  if (!weights) {
    fail(EG_ERROR_ARGUMENT, "a null weight catalogue");
    return 0;
  }
  return put_weighted_row(true, grouper, *weights->catalogue, record, out, capacity);
}

size_t eg_format_weight(int64_t weight, char* out, size_t capacity) {
  char text[episode_grouper::kMaxWeightText];
  const size_t n = episode_grouper::format_weight(weight, text);
  if (!out || n >= capacity) {
    fail(EG_ERROR_ARGUMENT, "the buffer is too small for a weight");
    return 0;
  }
  std::memcpy(out, text, n);
  out[n] = '\0';
  ok();
  return n;
}

void eg_episode_init(eg_episode* episode) {
  if (!episode) return;
  *episode = eg_episode{};
  episode->size = sizeof *episode;
  episode->age_years = episode->age_days = -1;
  episode->los = episode->discharge = -1;
  episode->birth_weight = episode->vent_hours = -1;
}

eg_status eg_episode_build(const eg_episode* episode, char* record, size_t capacity) {
  if (!episode || !record) return fail(EG_ERROR_ARGUMENT, "a null argument");
  if (episode->size < sizeof(size_t)) return fail(EG_ERROR_ARGUMENT, "eg_episode.size is not set");
  if (capacity < episode_grouper::kEpisodeRecordBytes) {
    return fail(EG_ERROR_ARGUMENT, "the buffer holds " + std::to_string(capacity) + " bytes, a record needs " +
                                       std::to_string(episode_grouper::kEpisodeRecordBytes));
  }
  try {
    char built[episode_grouper::kEpisodeRecordBytes];
    const eg_status status = build(*episode, built);
    if (status != EG_OK) return status;
    std::memcpy(record, built, sizeof built);
    if (capacity > sizeof built) record[sizeof built] = '\0';
    return ok();
  } catch (const std::bad_alloc&) {
    return fail(EG_ERROR_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return fail(EG_ERROR_INTERNAL, e.what());
  }
}

eg_status eg_group_episode(eg_grouper* grouper, const eg_episode* episode, eg_result* result) {
  if (!grouper || !episode || !result) return fail(EG_ERROR_ARGUMENT, "a null argument");
  if (episode->size < sizeof(size_t)) return fail(EG_ERROR_ARGUMENT, "eg_episode.size is not set");
  if (result->size < sizeof(size_t)) return fail(EG_ERROR_ARGUMENT, "eg_result.size is not set");
  try {
    char record[episode_grouper::kEpisodeRecordBytes];
    const eg_status status = build(*episode, record);
    if (status != EG_OK) return status;
    return eg_group(grouper, record, sizeof record, result);
  } catch (const std::bad_alloc&) {
    return fail(EG_ERROR_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return fail(EG_ERROR_INTERNAL, e.what());
  }
}

eg_status eg_episode_buffer_new(eg_episode_buffer** buffer) {
  if (!buffer) return fail(EG_ERROR_ARGUMENT, "a null result pointer");
  *buffer = new (std::nothrow) eg_episode_buffer;
  return *buffer ? ok() : fail(EG_ERROR_MEMORY, "out of memory");
}

void eg_episode_buffer_free(eg_episode_buffer* buffer) { delete buffer; }

eg_status eg_episode_read(const char* record, size_t length, eg_episode_buffer* buffer, eg_episode* episode) {
  if ((!record && length > 0) || !buffer || !episode) return fail(EG_ERROR_ARGUMENT, "a null argument");
  const size_t size = episode->size;
  if (size < sizeof(size_t)) return fail(EG_ERROR_ARGUMENT, "eg_episode.size is not set");
  try {
    episode_grouper::Episode& e = buffer->episode;
    episode_grouper::FieldErrors errors;
    const bool read = episode_grouper::read_record(std::string_view(record ? record : "", length), e, errors);
    buffer->secondary.clear();
    buffer->procedures.clear();
    for (const std::string& code : e.secondary) buffer->secondary.push_back(code.c_str());
    for (const std::string& code : e.procedures) buffer->procedures.push_back(code.c_str());
    eg_episode full;
    eg_episode_init(&full);
    auto number = [](const std::optional<int32_t>& v, int32_t none) { return v ? *v : none; };
    full.id = e.id.empty() ? nullptr : e.id.c_str();
    full.birth_date = number(e.birth_date, 0);
    full.age_years = number(e.age_years, -1);
    full.age_days = number(e.age_days, -1);
    full.sex = e.sex;
    full.record_date = number(e.record_date, 0);
    full.los = number(e.los, -1);
    full.discharge = number(e.discharge, -1);
    full.principal = e.principal.empty() ? nullptr : e.principal.c_str();
    full.secondary = buffer->secondary.data();
    full.secondary_count = buffer->secondary.size();
    full.procedures = buffer->procedures.data();
    full.procedure_count = buffer->procedures.size();
    full.birth_weight = number(e.birth_weight, -1);
    full.vent_hours = number(e.vent_hours, -1);
    // A caller built against a shorter eg_episode gets the fields it knows.
    const size_t n = std::min(size, sizeof full) - sizeof full.size;
    std::memcpy(reinterpret_cast<char*>(episode) + sizeof full.size, reinterpret_cast<const char*>(&full) + sizeof full.size, n);
    return read ? ok() : fail(EG_ERROR_INVALID_EPISODE, errors.text());
  } catch (const std::bad_alloc&) {
    return fail(EG_ERROR_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return fail(EG_ERROR_INTERNAL, e.what());
  }
}

}  // extern "C"
