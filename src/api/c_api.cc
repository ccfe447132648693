// The C interface over the C++ API: handles, statuses and a per-thread last
// error; no exception leaves a function of this file.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "episode_grouper/episode_grouper.h"
#include "episode_grouper/grouper.h"
#include "episode_grouper/table_set.h"
#include "episode_grouper/weights.h"

struct eg_weights {
  std::shared_ptr<const episode_grouper::WeightCatalogue> catalogue;
};

struct eg_table_set {
  std::shared_ptr<const episode_grouper::TableSet> set;
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

void fill(const episode_grouper::Grouper& g, eg_result& out) {
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

}  // namespace

extern "C" {

const char* eg_last_error(void) { return last_error.c_str(); }

const char* eg_version(void) { return EPISODE_GROUPER_VERSION; }

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

}  // extern "C"
