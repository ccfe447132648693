// DataFrames of episodes: TableSet.group_frame (a frame of results) and
// TableSet.group_frame_block (the result lines and rows of a frame, for the
// Dask runner).
//
// The columns are read once with the GIL into cells or typed arrays
// (episode_values.h); everything after that runs without it, on a oneTBB
// arena of the threads asked for, over fixed chunks of rows with one Engine
// per thread: the episode of each row is built from its cells, its record
// built and grouped, and the result written by the result row writers
// (result_table.h, result_json.h, result_line.h), whose columns group_frame
// splits into its own.  The output columns are made with the GIL back, in
// one pass each.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/pybind11.h>
#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/engine.h"
#include "episode_grouper/episode.h"
#include "episode_values.h"
#include "module_common.h"
#include "output/result_json.h"
#include "output/result_line.h"
#include "output/result_table.h"
#include "record/line_buffer.h"
#include "record/record_layout.h"

namespace episode_grouper_python {
namespace {

using F = eg::EpisodeField;

constexpr size_t kChunkRows = 4096;

py::module_ import_pandas() {
  try {
    return py::module_::import("pandas");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    PyErr_SetString(PyExc_ImportError,
                    "group_frame needs pandas, which is not installed (Debian: apt install python3-pandas)");
    throw py::error_already_set();
  }
}

// The episode columns of a frame, read.
struct FrameInput {
  std::vector<FieldColumn> columns;
  size_t rows = 0;
};

void read_column(const py::module_& np, const py::object& series, FieldColumn& column, size_t rows) {
  const py::object dtype = series.attr("dtype");
  const std::string kind = py::str(dtype.attr("kind"));
  const bool plain = py::isinstance(dtype, np.attr("dtype"));
  const bool date_field = column.field == F::kBirthDate || column.field == F::kRecordDate;
  py::array values;
  if (kind == "M" && date_field) {
    py::object s = plain ? series : series.attr("dt").attr("tz_localize")(py::none());
    values = np.attr("ascontiguousarray")(
        s.attr("to_numpy")(py::arg("dtype") = "datetime64[ns]").attr("astype")("datetime64[D]").attr("view")("int64"));
    column.kind = FieldColumn::kDays;
    column.wholes = static_cast<const int64_t*>(values.data());
  } else if (kind == "i" || kind == "u") {
    if (plain) {
      values = np.attr("ascontiguousarray")(series.attr("to_numpy")(py::arg("dtype") = "int64"));
    } else {
      py::array mask = np.attr("ascontiguousarray")(series.attr("isna")().attr("to_numpy")(py::arg("dtype") = "bool"));
      column.keep.append(mask);
      column.missing = static_cast<const bool*>(mask.data());
      values = np.attr("ascontiguousarray")(series.attr("to_numpy")(py::arg("dtype") = "int64", py::arg("na_value") = 0));
    }
    column.kind = FieldColumn::kWholes;
    column.wholes = static_cast<const int64_t*>(values.data());
  } else if (kind == "f") {
    values = np.attr("ascontiguousarray")(
        series.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = np.attr("nan")));
    column.kind = FieldColumn::kReals;
    column.reals = static_cast<const double*>(values.data());
  } else {
    values = np.attr("ascontiguousarray")(series.attr("to_numpy")(py::arg("dtype") = "object"));
    column.kind = FieldColumn::kCells;
  }
  if (static_cast<size_t>(values.size()) != rows) throw std::runtime_error("a column's length is not the frame's");
  if (column.kind != FieldColumn::kCells) {
    column.keep.append(values);
    return;
  }
  // The texts are copied: nothing points into the objects afterwards.
  PyObject* const* objects = static_cast<PyObject* const*>(values.data());
  column.cells.reserve(rows);
  column.text.reserve(rows * 8);
  for (size_t i = 0; i < rows; ++i) column.read(objects[i]);
}

// Reads the episode columns of `df` (named as the fields, or as `names`
// maps them: {"field": "column"}); ValueError when a required one is missing.
FrameInput read_frame(const py::module_& pd, const py::object& df, const py::object& names) {
  if (!py::isinstance(df, pd.attr("DataFrame"))) {
    throw py::type_error("a pandas DataFrame of episodes is needed, not " + std::string(py::str(df.get_type())));
  }
  const py::module_ np = py::module_::import("numpy");
  std::array<py::object, eg::kEpisodeFields> column_of;
  const py::object present = df.attr("columns");
  for (int i = 0; i < eg::kEpisodeFields; ++i) {
    const py::str name(std::string(eg::episode_field_name(static_cast<F>(i))));
    if (present.attr("__contains__")(name).cast<bool>()) column_of[static_cast<size_t>(i)] = name;
  }
  if (!names.is_none()) {
    for (const auto& [key, value] : names.cast<py::dict>()) {
      const std::optional<F> field = eg::episode_field_of(std::string(py::str(key)));
      if (!field) {
        throw py::value_error("columns: " + std::string(py::str(key)) + " is not an episode field");
      }
      if (!present.attr("__contains__")(value).cast<bool>()) {
        throw py::value_error("columns: the frame has no column " + std::string(py::repr(value)) + " (for " +
                              std::string(py::str(key)) + ")");
      }
      column_of[static_cast<size_t>(*field)] = py::reinterpret_borrow<py::object>(value);
    }
  }
  std::string missing;
  auto require = [&](std::initializer_list<F> any_of) {
    for (F f : any_of) {
      if (column_of[static_cast<size_t>(f)]) return;
    }
    if (!missing.empty()) missing += ", ";
    std::string names_text;
    for (F f : any_of) {
      if (!names_text.empty()) names_text += " or ";
      names_text += eg::episode_field_name(f);
    }
    missing += names_text;
  };
  require({F::kBirthDate, F::kAgeYears, F::kAgeDays});
  require({F::kSex});
  require({F::kRecordDate});
  require({F::kLos});
  require({F::kDischarge});
  require({F::kPrincipal});
  if (!missing.empty()) throw py::value_error("the frame has no column for: " + missing);

  FrameInput in;
  in.rows = py::len(df);
  for (int i = 0; i < eg::kEpisodeFields; ++i) {
    const py::object& name = column_of[static_cast<size_t>(i)];
    if (!name) continue;
    py::object series = df[name];
    if (!py::isinstance(series, pd.attr("Series"))) {
      throw py::value_error("the frame has more than one column " + std::string(py::repr(name)));
    }
    FieldColumn& column = in.columns.emplace_back();
    column.field = static_cast<F>(i);
    read_column(np, series, column, in.rows);
  }
  return in;
}

// The grouping state of one thread.
struct Worker {
  explicit Worker(const grouper::PreparedSet& set) : engine(set) { line.fill(' '); }
  grouper::Engine engine;
  eg::Episode episode;
  eg::FieldErrors errors;
  char record[eg::kEpisodeRecordBytes];
  std::array<char, grouper::kLineBufferSize> line;
  size_t len = 0;
  eg::Findings findings;  // the result's findings and the weight's
  char out[grouper::kMaxJsonRowBytes];
  char line_out[grouper::kMaxResultLineBytes];
};

// Builds the record of row `row` into w.record; false (with w.errors) when it cannot be built.
bool build_row(const FrameInput& in, size_t row, Worker& w) {
  w.episode.clear();
  w.errors.clear();
  for (const FieldColumn& column : in.columns) column.apply(row, w.episode, w.errors);
  return eg::build_record(w.episode, w.record, w.errors);
}

// Groups w.record; returns the findings (with the weight's) and sets `weight`.
const eg::Findings& group_built(Worker& w, const eg::WeightCatalogue* weights, eg::EpisodeWeight& weight) {
  w.len = grouper::place_record(std::string_view(w.record, sizeof w.record), w.line.data());
  w.engine.group(w.line.data(), w.len);
  const eg::Result& res = w.engine.result();
  if (!weights) return res.findings;
  weight = weights->weigh(res);
  if (!weight.has_finding) return res.findings;
  w.findings = res.findings;
  w.findings.add(weight.finding);
  return w.findings;
}

// Runs `body(chunk, worker)` over every chunk of kChunkRows rows on `threads` threads.
template <class Body>
void for_chunks(const grouper::PreparedSet& set, size_t rows, int threads, const Body& body) {
  const size_t chunks = (rows + kChunkRows - 1) / kChunkRows;
  if (chunks == 0) return;
  tbb::enumerable_thread_specific<std::unique_ptr<Worker>> workers([&] { return std::make_unique<Worker>(set); });
  tbb::task_arena arena(std::max(1, std::min<int>(threads, static_cast<int>(std::min<size_t>(chunks, 1024)))));
  arena.execute([&] {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, chunks, 1), [&](const tbb::blocked_range<size_t>& r) {
      Worker& w = *workers.local();
      for (size_t c = r.begin(); c != r.end(); ++c) body(c, w);
    });
  });
}

// The result columns of group_frame, in the order of the TSV row after `record`.
enum Out : int {
  kMdc, kAdrg, kDrg, kPccl, kCclRaw, kCclExcl, kSupplementary, kAgeYy, kAgeDd, kFindings,
  kWeight, kEffectiveWeight, kLosClass, kOutColumns
};
constexpr std::array<const char*, kOutColumns> kOutNames = {
    "mdc", "adrg", "drg", "pccl", "ccl_raw", "ccl_excl", "supplementary", "age_yy", "age_dd", "findings",
    "weight", "effective_weight", "los_class"};
constexpr bool is_text(int c) { return c != kPccl && c != kAgeYy && c != kAgeDd && c != kWeight && c != kEffectiveWeight; }

// Where the texts of the rows went: per text column, each row's place in its chunk's arena.
struct TextColumn {
  std::vector<uint32_t> offset;
  std::vector<uint32_t> size;
};

// The str objects of one text column: equal texts share one object.  Texts
// of at most 16 bytes (every code) are found in an open-addressed table by
// their bytes; longer ones (findings) in a hash map, up to a bound.
class TextObjects {
 public:
  TextObjects() : short_(kShortSlots) {}
  ~TextObjects() {
    for (const Slot& slot : short_) Py_XDECREF(slot.object);
    for (auto& [text, object] : long_) Py_DECREF(object);
  }
  PyObject* get(std::string_view text) {
    if (text.empty()) {
      Py_INCREF(Py_None);
      return Py_None;
    }
    if (text.size() <= 16) {
      uint64_t key[2] = {0, 0};
      std::memcpy(key, text.data(), text.size());
      uint64_t h = (key[0] * 0x9E3779B97F4A7C15ull) ^ (key[1] * 0xC2B2AE3D27D4EB4Full) ^ text.size();
      h ^= h >> 29;
      for (size_t probe = 0; probe < 8; ++probe) {
        Slot& slot = short_[(h + probe) & (kShortSlots - 1)];
        if (!slot.object) {
          slot = {key[0], key[1], static_cast<uint32_t>(text.size()), make(text)};
          Py_INCREF(slot.object);
          return slot.object;
        }
        if (slot.a == key[0] && slot.b == key[1] && slot.size == text.size()) {
          Py_INCREF(slot.object);
          return slot.object;
        }
      }
      return make(text);
    }
    if (auto it = long_.find(text); it != long_.end()) {
      Py_INCREF(it->second);
      return it->second;
    }
    PyObject* s = make(text);
    if (long_.size() < kMostLong) {
      long_.emplace(text, s);
      Py_INCREF(s);
    }
    return s;
  }

 private:
  struct Slot {
    uint64_t a = 0, b = 0;
    uint32_t size = 0;
    PyObject* object = nullptr;
  };
  static PyObject* make(std::string_view text) {
    PyObject* s = PyUnicode_DecodeLatin1(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (!s) throw py::error_already_set();
    return s;
  }
  static constexpr size_t kShortSlots = 1 << 15;
  static constexpr size_t kMostLong = 1 << 16;
  std::vector<Slot> short_;
  std::unordered_map<std::string_view, PyObject*> long_;  // the texts stay in the arenas meanwhile
};

py::object group_frame(PyTableSet& ts, const py::object& df, const py::object& columns, int threads,
                       const PyWeights* weights, const std::string& errors_mode) {
  if (errors_mode != "finding" && errors_mode != "raise") {
    throw py::value_error("errors is 'finding' or 'raise', not '" + errors_mode + "'");
  }
  const int team = thread_count(threads);
  const py::module_ pd = import_pandas();
  const py::module_ np = py::module_::import("numpy");
  FrameInput in = read_frame(pd, df, columns);
  const size_t n = in.rows;
  const bool raise = errors_mode == "raise";
  const bool with_weights = weights != nullptr;
  const eg::WeightCatalogue* catalogue = with_weights ? weights->catalogue.get() : nullptr;
  const int out_columns = with_weights ? kOutColumns : kFindings + 1;

  // The typed columns are numpy arrays from the start; the texts go to arenas.
  py::array_t<int32_t> ints[3] = {py::array_t<int32_t>(static_cast<py::ssize_t>(n)),
                                  py::array_t<int32_t>(static_cast<py::ssize_t>(n)),
                                  py::array_t<int32_t>(static_cast<py::ssize_t>(n))};
  py::array_t<bool> int_missing[3] = {py::array_t<bool>(static_cast<py::ssize_t>(n)),
                                      py::array_t<bool>(static_cast<py::ssize_t>(n)),
                                      py::array_t<bool>(static_cast<py::ssize_t>(n))};
  py::array_t<double> reals[2] = {py::array_t<double>(static_cast<py::ssize_t>(with_weights ? n : 0)),
                                  py::array_t<double>(static_cast<py::ssize_t>(with_weights ? n : 0))};
  int32_t* int_data[3];
  bool* missing_data[3];
  for (int i = 0; i < 3; ++i) {
    int_data[i] = ints[i].mutable_data();
    missing_data[i] = int_missing[i].mutable_data();
  }
  double* real_data[2] = {reals[0].mutable_data(), reals[1].mutable_data()};
  std::array<TextColumn, kOutColumns> texts;
  for (int c = 0; c < out_columns; ++c) {
    if (!is_text(c)) continue;
    texts[static_cast<size_t>(c)].offset.resize(n);
    texts[static_cast<size_t>(c)].size.resize(n);
  }
  std::vector<std::string> arenas((n + kChunkRows - 1) / kChunkRows);
  std::atomic<size_t> first_bad{n};

  {
    py::gil_scoped_release release;
    const grouper::PreparedSet& set = grouper::prepared(*ts.set);
    const grouper::TableStore& store = set.store();
    for_chunks(set, n, team, [&](size_t chunk, Worker& w) {
      std::string& arena = arenas[chunk];
      arena.reserve(kChunkRows * 24);
      const size_t end = std::min(n, (chunk + 1) * kChunkRows);
      for (size_t row = chunk * kChunkRows; row < end; ++row) {
        if (raise && row > first_bad.load(std::memory_order_relaxed)) break;
        size_t length;
        if (build_row(in, row, w)) {
          eg::EpisodeWeight weight;
          const eg::Findings& findings = group_built(w, catalogue, weight);
          length = grouper::format_result_row(1, store, w.engine.result(), findings, w.out, with_weights ? &weight : nullptr);
        } else {
          if (raise) {
            size_t seen = first_bad.load();
            while (row < seen && !first_bad.compare_exchange_weak(seen, row)) {
            }
            break;
          }
          length = grouper::format_invalid_row(1, nullptr, w.errors, with_weights, w.out);
        }
        // The row's columns after `record`, up to its line feed.
        std::string_view rest(w.out, length - 1);
        rest.remove_prefix(std::min(rest.size(), rest.find('\t') + 1));
        for (int c = 0; c < out_columns; ++c) {
          const size_t tab = rest.find('\t');
          const std::string_view cell = rest.substr(0, tab);
          rest = tab == std::string_view::npos ? std::string_view{} : rest.substr(tab + 1);
          if (is_text(c)) {
            TextColumn& t = texts[static_cast<size_t>(c)];
            t.offset[row] = static_cast<uint32_t>(arena.size());
            t.size[row] = static_cast<uint32_t>(cell.size());
            arena.append(cell);
          } else if (c == kWeight || c == kEffectiveWeight) {
            double v = std::numeric_limits<double>::quiet_NaN();
            if (!cell.empty()) std::from_chars(cell.data(), cell.data() + cell.size(), v);
            real_data[c == kWeight ? 0 : 1][row] = v;
          } else {
            const int i = c == kPccl ? 0 : c == kAgeYy ? 1 : 2;
            int32_t v = 0;
            const bool given = !cell.empty() && std::from_chars(cell.data(), cell.data() + cell.size(), v).ec == std::errc();
            int_data[i][row] = given ? v : 0;
            missing_data[i][row] = !given;
          }
        }
      }
    });
  }

  if (raise && first_bad.load() < n) {
    const size_t row = first_bad.load();
    eg::Episode episode;
    eg::FieldErrors errors;
    for (const FieldColumn& column : in.columns) column.apply(row, episode, errors);
    char record[eg::kEpisodeRecordBytes];
    eg::build_record(episode, record, errors);
    const py::object label = df.attr("index")[py::int_(row)];
    raise_episode_error(errors, {}, "invalid episode in row " + std::string(py::repr(label)), label);
  }

  py::dict out;
  const py::object integer_array = pd.attr("arrays").attr("IntegerArray");
  for (int c = 0; c < out_columns; ++c) {
    const char* name = kOutNames[static_cast<size_t>(c)];
    if (is_text(c)) {
      const TextColumn& t = texts[static_cast<size_t>(c)];
      py::array objects(py::dtype("object"), std::vector<py::ssize_t>{static_cast<py::ssize_t>(n)});
      PyObject** data = static_cast<PyObject**>(objects.mutable_data());
      TextObjects made;
      for (size_t row = 0; row < n; ++row) {
        const std::string& arena = arenas[row / kChunkRows];
        PyObject* s = made.get(std::string_view(arena.data() + t.offset[row], t.size[row]));
        Py_XDECREF(data[row]);
        data[row] = s;
      }
      out[name] = objects;
    } else if (c == kWeight || c == kEffectiveWeight) {
      out[name] = reals[c == kWeight ? 0 : 1];
    } else {
      const int i = c == kPccl ? 0 : c == kAgeYy ? 1 : 2;
      out[name] = integer_array(ints[i], int_missing[i]);
    }
  }
  return pd.attr("DataFrame")(out, py::arg("index") = df.attr("index"), py::arg("copy") = false);
}

py::tuple group_frame_block(PyTableSet& ts, const py::object& df, int64_t first_record,
                            const std::optional<std::string>& results_format, const PyWeights* weights,
                            const py::object& columns, int threads) {
  if (results_format && *results_format != "tsv" && *results_format != "jsonl") {
    throw py::value_error("results_format is 'tsv' or 'jsonl', not '" + *results_format + "'");
  }
  const int team = thread_count(threads);
  const py::module_ pd = import_pandas();
  FrameInput in = read_frame(pd, df, columns);
  const size_t n = in.rows;
  const bool with_rows = results_format.has_value();
  const bool json = with_rows && *results_format == "jsonl";
  const eg::WeightCatalogue* catalogue = weights ? weights->catalogue.get() : nullptr;
  std::vector<std::string> lines((n + kChunkRows - 1) / kChunkRows), rows(lines.size());
  {
    py::gil_scoped_release release;
    const grouper::PreparedSet& set = grouper::prepared(*ts.set);
    const grouper::TableStore& store = set.store();
    for_chunks(set, n, team, [&](size_t chunk, Worker& w) {
      const size_t end = std::min(n, (chunk + 1) * kChunkRows);
      lines[chunk].reserve((end - chunk * kChunkRows) * grouper::kMaxResultLineBytes);
      for (size_t row = chunk * kChunkRows; row < end; ++row) {
        const int64_t number = first_record + static_cast<int64_t>(row);
        if (build_row(in, row, w)) {
          eg::EpisodeWeight weight;
          const eg::Findings& findings = group_built(w, catalogue, weight);
          const eg::Result& res = w.engine.result();
          lines[chunk].append(w.line_out, grouper::format_result_line(w.line.data(), w.len, grouper::adrg_text(store, res.res_adrg),
                                                                      grouper::supplementary_text(res), w.line_out));
          if (!with_rows) continue;
          const std::string_view built_id = w.episode.id;
          const eg::EpisodeWeight* weighed = catalogue ? &weight : nullptr;
          rows[chunk].append(w.out, json ? grouper::format_json_row(number, store, res, findings, w.out, weighed, &built_id)
                                         : grouper::format_result_row(number, store, res, findings, w.out, weighed, &built_id));
        } else {
          lines[chunk].append(w.line_out, grouper::format_invalid_line(w.record, w.line_out));
          if (!with_rows) continue;
          const std::string_view given_id = w.episode.id;
          rows[chunk].append(w.out, json ? grouper::format_json_invalid_row(number, &given_id, w.errors, catalogue != nullptr, w.out)
                                         : grouper::format_invalid_row(number, &given_id, w.errors, catalogue != nullptr, w.out));
        }
      }
    });
  }
  std::string all_lines, all_rows;
  size_t line_bytes = 0, row_bytes = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    line_bytes += lines[i].size();
    row_bytes += rows[i].size();
  }
  all_lines.reserve(line_bytes);
  all_rows.reserve(row_bytes);
  for (size_t i = 0; i < lines.size(); ++i) {
    all_lines += lines[i];
    all_rows += rows[i];
  }
  return py::make_tuple(py::bytes(all_lines), with_rows ? py::object(py::bytes(all_rows)) : py::object(py::none()),
                        static_cast<int64_t>(n));
}

}  // namespace

void add_group_frame(py::module_& m, py::class_<PyTableSet>& table_set) {
  table_set.def("group_frame", &group_frame, py::arg("df"), py::arg("columns") = py::none(), py::arg("threads") = 0,
                py::arg("weights") = py::none(), py::arg("errors") = "finding",
                R"(Groups every episode of a pandas DataFrame; returns a DataFrame of results.

df: one episode per row, in columns named as the fields (id, birth_date or
age_years or age_days, sex, record_date, los, discharge, principal,
secondary, procedures, birth_weight, vent_hours; other columns are
ignored), or as columns={"field": "column name"} maps them.  A column holds
the values Episode takes: text as pandas.read_csv(..., dtype=str,
keep_default_na=False) reads it ("" is not given; codes separated by "|"),
or typed: datetime64 dates, integer columns (nullable Int64 too), float
columns with NaN as not given, object columns of lists of codes, None, NaN,
NaT or pandas.NA as not given.  ValueError when a required field has no
column.

Returns a DataFrame with df's index and one row per episode, in the
columns of the detailed result file's rows, as the TSV rows write them:
mdc, adrg, drg, ccl_raw, ccl_excl, supplementary, findings (object columns
of str, None where the row is empty), pccl, age_yy, age_dd (nullable Int32,
<NA> where empty), and with a WeightCatalogue `weights` also weight and
effective_weight (float64, NaN without a weight) and los_class (str or
None).  An episode that cannot be built has no groups and the findings
"input_invalid@FIELD:MESSAGE;..." of its errors; with errors="raise" the
first such row raises EpisodeError instead (its `index` is the row's label).

The grouping runs in C++ without the GIL on `threads` threads (0: one per
core).  Raises ImportError when pandas is not installed.)");

  table_set.def("group_frame_block", &group_frame_block, py::arg("df"), py::arg("first_record") = 1,
                py::arg("results_format") = py::none(), py::arg("weights") = py::none(),
                py::arg("columns") = py::none(), py::arg("threads") = 1,
                "Groups the episodes of a DataFrame (as group_frame reads it) into the outputs of the\n"
                "program's named-field input: returns (result lines as bytes, result rows numbered from\n"
                "first_record as bytes or None, number of rows).  The rows carry the id column\n"
                "(results_format None: no rows, 'tsv': no header, 'jsonl'), with the weight columns\n"
                "when `weights` is given; an episode that cannot be built gives the line of its id with\n"
                "no groups (\"0000\") and a row with its input_invalid findings.  The Dask runner\n"
                "groups its partitions of CSV, TSV and JSON Lines input with it.");

  m.def(
      "episode_result_header", [](bool weights) { return py::str(std::string(grouper::result_table_header(weights, true))); },
      py::arg("weights") = false,
      "The header row of result rows of episodes (with the id column after record), with the\n"
      "weight columns when `weights` is true.");
}

}  // namespace episode_grouper_python
