// The Python module episode_grouper._core: TableSet, Grouper and Result over
// the library, with the batch run of the program behind group_file.  Episodes
// as named fields (episodes.cc) and DataFrames of them (group_frame.cc) are
// added from their own files.
//
// Bytes cross into Python as they are: an episode line may be given as
// bytes or as a str of Latin-1 characters, and codes come back as str
// decoded as Latin-1, so that every byte round-trips.  Grouping many records
// releases the GIL.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "batch/batch.h"
#include "batch/output_file.h"
#include "batch/staged_file.h"
#include "episode_grouper/explain.h"
#include "episode_grouper/grouper.h"
#include "episode_grouper/line_splitter.h"
#include "episode_grouper/table_registry.h"
#include "episode_grouper/table_set.h"
#include "episode_grouper/version.h"
#include "output/result_json.h"
#include "output/result_table.h"
#include "episode_grouper/weights.h"
#include "module_common.h"

namespace episode_grouper_python {
namespace {

std::string_view as_bytes_view(const py::handle& line, std::string& keep) {
  if (py::isinstance<py::bytes>(line)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    PyBytes_AsStringAndSize(line.ptr(), &data, &size);
    return {data, static_cast<size_t>(size)};
  }
  if (py::isinstance<py::bytearray>(line) || py::isinstance<py::memoryview>(line)) {
    py::object owner = py::reinterpret_steal<py::object>(PyBytes_FromObject(line.ptr()));
    if (!owner) throw py::error_already_set();
    keep = std::string(py::bytes(owner));
    return keep;
  }
  if (py::isinstance<py::str>(line)) {
    PyObject* encoded = PyUnicode_AsLatin1String(line.ptr());
    if (!encoded) throw py::error_already_set();  // UnicodeEncodeError: a character outside Latin-1
    py::object owner = py::reinterpret_steal<py::object>(encoded);
    keep = std::string(py::bytes(owner));
    return keep;
  }
  throw py::type_error("an episode line is bytes or str, not " + std::string(py::str(line.get_type())));
}

}  // namespace

int thread_count(int threads) {
  if (threads < 0) throw py::value_error("threads must be 0 (one per core) or more");
  if (threads == 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  return threads;
}

PyResult group_one(const std::shared_ptr<const eg::TableSet>& tables, eg::Grouper& g, std::string_view record,
                   const PyWeights* weights) {
  PyResult r{tables, g.group(record), {}, {}, {}, std::string(record.substr(0, eg::kMaxRecordBytes)), false, {}};
  r.line = g.result_line();
  if (weights) {
    r.weights = weights->catalogue;
    r.weight = weights->catalogue->weigh(r.result);
  }
  return r;
}

namespace {

// A weight as an exact decimal.Decimal, or None.
py::object decimal_weight(int64_t units, bool present) {
  if (!present) return py::none();
  return py::module_::import("decimal").attr("Decimal")(eg::format_weight(units));
}

py::object weight_load_error;

// An impact as the JSON Lines rows write it: a list of dicts with 'pos',
// 'code', 'drg' (None without a DRG) and 'weight_difference'
// (decimal.Decimal, None without weights).
py::list impact_list(const eg::Impact& impact) {
  py::list out;
  for (const eg::CodeImpact& e : impact) {
    std::string_view code = eg::text_of(e.code);
    while (!code.empty() && code.back() == ' ') code.remove_suffix(1);
    const std::string_view drg = eg::text_of(e.drg);
    py::dict d;
    d["pos"] = e.position;
    d["code"] = latin1(code);
    d["drg"] = drg.empty() ? py::object(py::none()) : py::object(latin1(drg));
    d["weight_difference"] = decimal_weight(e.weight_difference, impact.weighed);
    out.append(d);
  }
  return out;
}

std::shared_ptr<const eg::WeightCatalogue> load_weights(const std::string& path) {
  eg::Status error;
  std::shared_ptr<const eg::WeightCatalogue> loaded;
  {
    py::gil_scoped_release release;
    loaded = eg::WeightCatalogue::load(path, error);
  }
  if (!loaded) {
    py::object exc = weight_load_error(error.message);
    exc.attr("kind") = eg::kind_name(error.kind);
    exc.attr("file") = py::str(error.file);
    exc.attr("line") = error.line;
    PyErr_SetObject(weight_load_error.ptr(), exc.ptr());
    throw py::error_already_set();
  }
  return loaded;
}

py::object table_set_error;

[[noreturn]] void raise_open_error(const eg::Status& e) {
  py::object exc = table_set_error(e.message);
  exc.attr("kind") = eg::kind_name(e.kind);
  exc.attr("file") = e.file.empty() ? py::object(py::none()) : py::object(py::str(e.file));
  exc.attr("loader_message") = e.loader_message.empty() ? py::object(py::none()) : py::object(latin1(e.loader_message));
  PyErr_SetObject(table_set_error.ptr(), exc.ptr());
  throw py::error_already_set();
}

// A path argument (str, bytes or os.PathLike) as the bytes the file system sees.
std::string path_of(const py::object& p) { return py::bytes(py::module_::import("os").attr("fsencode")(p)); }

py::object path_to_python(const std::string& p) { return py::module_::import("os").attr("fsdecode")(py::bytes(p)); }

[[noreturn]] void raise_os_error(const std::string& message) {
  PyErr_SetString(PyExc_OSError, message.c_str());
  throw py::error_already_set();
}

// Groups `lines` on `threads` threads (0: every core), each with its own
// grouper from make_grouper(), each record by group_record(grouper, record).
// The records are taken out of Python first; the grouping runs without the GIL.
template <class MakeGrouper, class GroupRecord>
std::vector<PyResult> group_many_with(const py::iterable& lines, int threads, MakeGrouper make_grouper,
                                      GroupRecord group_record) {
  std::vector<std::string> records;
  for (const py::handle& line : lines) {
    std::string keep;
    std::string_view bytes = as_bytes_view(line, keep);
    records.emplace_back(keep.empty() ? std::string(bytes) : std::move(keep));
  }
  const int n = std::min<int>(thread_count(threads), static_cast<int>(std::max<size_t>(records.size(), 1)));
  std::vector<PyResult> results(records.size());
  {
    py::gil_scoped_release release;
    auto work = [&](int member) {
      auto g = make_grouper();
      const size_t first = records.size() * static_cast<size_t>(member) / static_cast<size_t>(n);
      const size_t last = records.size() * static_cast<size_t>(member + 1) / static_cast<size_t>(n);
      for (size_t i = first; i < last; ++i) results[i] = group_record(g, records[i]);
    };
    std::vector<std::thread> team;
    for (int member = 1; member < n; ++member) team.emplace_back(work, member);
    work(0);
    for (std::thread& t : team) t.join();
  }
  return results;
}

std::vector<PyResult> group_many(const PyTableSet& ts, const py::iterable& lines, int threads,
                                 const PyWeights* weights) {
  return group_many_with(
      lines, threads, [&ts] { return eg::Grouper(ts.set); },
      [&ts, weights](eg::Grouper& g, const std::string& record) { return group_one(ts.set, g, record, weights); });
}

grouper::RowFormat row_format(const std::optional<std::string>& format, const std::string& results) {
  if (!format) {
    return results.size() >= 6 && results.compare(results.size() - 6, 6, ".jsonl") == 0 ? grouper::RowFormat::kJsonl
                                                                                        : grouper::RowFormat::kTsv;
  }
  if (*format == "tsv") return grouper::RowFormat::kTsv;
  if (*format == "jsonl") return grouper::RowFormat::kJsonl;
  throw py::value_error("results_format is 'tsv' or 'jsonl', not '" + *format + "'");
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

int64_t group_file_over(const eg::TableSet* set, const eg::TableRegistry* registry, const py::object& input, const py::object& output,
                   const py::object& results, int threads, const std::optional<std::string>& results_format,
                   const PyWeights* weights) {
  const std::string in_path = path_of(input);
  const std::string out_path = path_of(output);
  const std::string rows_path = results.is_none() ? std::string() : path_of(results);
  const grouper::RowFormat format = row_format(results_format, rows_path);
  const int team = thread_count(threads);
  // As the program refuses them: an output over the input, or both outputs in one file.
  if (grouper::same_file(in_path, out_path)) raise_os_error("file out open error: the output is the input file " + out_path);
  if (!rows_path.empty() && (grouper::same_file(rows_path, in_path) || grouper::same_file(rows_path, out_path))) {
    raise_os_error("cannot open result file " + rows_path + ": it is the input or the output file");
  }

  grouper::BatchOutcome outcome;
  bool lines_ok = false, rows_ok = true, committed = false;
  {
    py::gil_scoped_release release;
    std::unique_ptr<std::FILE, FileCloser> in(std::fopen(in_path.c_str(), "rb"));
    if (!in) {
      py::gil_scoped_acquire acquire;
      PyErr_SetFromErrnoWithFilename(PyExc_OSError, in_path.c_str());
      throw py::error_already_set();
    }
    grouper::StagedFile lines_target(out_path);
    std::unique_ptr<grouper::StagedFile> rows_target;
    if (!rows_path.empty()) rows_target = std::make_unique<grouper::StagedFile>(rows_path);
    grouper::OutputFile lines(lines_target.open());
    grouper::OutputFile rows(rows_target ? rows_target->open() : nullptr);
    if (!lines.is_open() || (rows_target && !rows.is_open())) {
      py::gil_scoped_acquire acquire;
      PyErr_SetFromErrnoWithFilename(PyExc_OSError, (!lines.is_open() ? out_path : rows_path).c_str());
      throw py::error_already_set();
    }
    grouper::BatchOptions options;
    options.threads = team;
    options.rows = rows_target ? &rows : nullptr;
    options.row_format = format;
    options.weights = weights ? weights->catalogue.get() : nullptr;
    if (registry) {
      const grouper::VersionMdcRows mdc_rows(*registry);
      outcome = grouper::group_batch(*registry, mdc_rows, in.get(), lines, options);
    } else {
      outcome = grouper::group_batch(grouper::prepared(*set), in.get(), lines, options);
    }
    lines_ok = lines.close();
    if (rows_target) rows_ok = rows.close();
    if (outcome.end == grouper::BatchEnd::kDone && lines_ok && rows_ok) {
      committed = lines_target.commit() && (!rows_target || rows_target->commit());
    }
  }
  if (outcome.end == grouper::BatchEnd::kReadError) raise_os_error("file in read error: " + in_path);
  if (!lines_ok) throw std::runtime_error("file out write error: " + out_path);
  if (!rows_ok) throw std::runtime_error("cannot write result file " + rows_path);
  if (outcome.end != grouper::BatchEnd::kDone) throw std::runtime_error("the batch run failed");
  if (!committed) throw std::runtime_error("cannot move the outputs into place: " + out_path);
  return outcome.records;
}

// A bytes object filled in place while the GIL is released, so that a
// block's output is not copied once more into the object returned.  It grows
// (taking the GIL back) when what is left cannot hold the next piece, and is
// cut to its length at the end.  Made and dropped with the GIL held.
class BytesBuilder {
 public:
  explicit BytesBuilder(size_t capacity) : capacity_(std::max<size_t>(capacity, 4096)) {
    object_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity_));
    if (object_ == nullptr) throw py::error_already_set();
  }
  BytesBuilder(const BytesBuilder&) = delete;
  BytesBuilder& operator=(const BytesBuilder&) = delete;
  ~BytesBuilder() { Py_XDECREF(object_); }

  // Room for at least `need` bytes at the end; called without the GIL.
  char* room(size_t need) {
    if (capacity_ - size_ < need) {
      py::gil_scoped_acquire acquire;
      const size_t grown = std::max(capacity_ + capacity_ / 2, size_ + need);
      if (_PyBytes_Resize(&object_, static_cast<Py_ssize_t>(grown)) != 0) throw py::error_already_set();
      capacity_ = grown;
    }
    return PyBytes_AS_STRING(object_) + size_;
  }
  void advance(size_t n) { size_ += n; }

  // The bytes written; called with the GIL.
  py::bytes finish() {
    if (_PyBytes_Resize(&object_, static_cast<Py_ssize_t>(size_)) != 0) throw py::error_already_set();
    PyObject* done = object_;
    object_ = nullptr;
    return py::reinterpret_steal<py::bytes>(done);
  }

 private:
  PyObject* object_ = nullptr;
  size_t capacity_ = 0;
  size_t size_ = 0;
};

// A block of input given as bytes, a bytearray or a memoryview of bytes.
py::buffer_info byte_buffer(const py::buffer& block) {
  py::buffer_info info = block.request();
  if (info.ndim > 1 || (info.ndim == 1 && info.itemsize != 1)) throw py::type_error("a block is a buffer of bytes");
  return info;
}
std::string_view bytes_in(const py::buffer_info& info) {
  return {static_cast<const char*>(info.ptr), static_cast<size_t>(info.size * info.itemsize)};
}

int64_t group_file(const PyTableSet& ts, const py::object& input, const py::object& output,
                   const py::object& results, int threads, const std::optional<std::string>& results_format,
                   const PyWeights* weights) {
  return group_file_over(ts.set.get(), nullptr, input, output, results, threads, results_format, weights);
}

// A registry of table versions with its grouper for TableRegistry.group.
struct PyTableRegistry {
  std::shared_ptr<const eg::TableRegistry> registry;
  std::unique_ptr<eg::RegistryGrouper> grouper;  // used under the GIL
};

PyResult group_one_by_date(const PyTableRegistry& tr, eg::RegistryGrouper& g, std::string_view record,
                           const PyWeights* weights) {
  PyResult r;
  r.result = g.group(record);
  r.registry = true;
  r.version = std::string(g.version_name());
  if (g.version() >= 0) r.tables = tr.registry->versions()[static_cast<size_t>(g.version())].tables;
  char line[eg::kMaxResultLine];
  r.line.assign(line, g.write_result_line(line));
  if (weights) {
    r.weights = weights->catalogue;
    if (r.tables) r.weight = weights->catalogue->weigh(r.result);
  }
  return r;
}

std::vector<PyResult> group_many_by_date(const PyTableRegistry& tr, const py::iterable& lines, int threads,
                                         const PyWeights* weights) {
  return group_many_with(
      lines, threads, [&tr] { return eg::RegistryGrouper(tr.registry); },
      [&tr, weights](eg::RegistryGrouper& g, const std::string& record) {
        return group_one_by_date(tr, g, record, weights);
      });
}

// Writes into a bytearray from its start, growing it (never shrinking it)
// when it lacks room: a buffer kept from one block to the next, whose pages
// are not faulted in and zeroed again for every block as a new object's
// are.  plain: a new bytes object per block (BytesBuilder); its pages had
// cost a partition of 32 MB some 20 to 25 ms on a worker.
class ByteArrayFiller {
 public:
  // Writes from target[at] on; room for `capacity` bytes from there is made at once.
  ByteArrayFiller(py::object target, size_t at, size_t capacity) : target_(std::move(target)), size_(at) {
    if (!PyByteArray_Check(target_.ptr())) throw py::type_error("an output buffer is a bytearray");
    if (at > size_of_target()) throw py::value_error("an output offset past the end of its buffer");
    if (size_of_target() - at < capacity) resize(at + capacity);
  }

  // Room for at least `need` bytes at the end; called without the GIL.
  char* room(size_t need) {
    if (size_of_target() - size_ < need) {
      py::gil_scoped_acquire acquire;
      resize(std::max(size_of_target() + size_of_target() / 2, size_ + need));
    }
    return PyByteArray_AS_STRING(target_.ptr()) + size_;
  }
  void advance(size_t n) { size_ += n; }

  // The end of the bytes written; called with the GIL.
  py::object finish() { return py::int_(size_); }

 private:
  size_t size_of_target() const { return static_cast<size_t>(PyByteArray_GET_SIZE(target_.ptr())); }
  // Fails (BufferError) while a view of the buffer is alive.
  void resize(size_t size) {
    if (PyByteArray_Resize(target_.ptr(), static_cast<Py_ssize_t>(size)) != 0) throw py::error_already_set();
  }

  py::object target_;
  size_t size_;
};

// Groups a block that starts at a line boundary (a partition of a larger
// input, as bytes or any buffer of bytes) with a Grouper or a
// RegistryGrouper `g`: its result lines, and its result rows numbered from
// first_record (the TSV without its header), and the number of records.
// Each output is written straight into what it is returned as: a bytes
// object, or with `into` (a bytearray for the lines, and one or None for
// the rows, each written from its offset in `at`) the given buffers, and
// then the end of what was written;
// write_row(g, number, json, out) writes one row of at most `row_bytes`.
template <class G, class WriteRow>
py::tuple group_block_with(G& g, const py::buffer& block, int64_t first_record,
                           const std::optional<std::string>& results_format, size_t row_bytes, WriteRow write_row,
                           const std::pair<py::object, py::object>* into = nullptr,
                           std::pair<size_t, size_t> at = {}) {
  const py::buffer_info info = byte_buffer(block);
  const std::string_view data = bytes_in(info);
  const bool with_rows = results_format.has_value();
  const bool json = with_rows && row_format(results_format, "") == grouper::RowFormat::kJsonl;
  if (into && with_rows && into->second.is_none()) throw py::value_error("rows are asked for without a buffer for them");
  // A result line is about a record and a few dozen bytes; a row, a few
  // hundred bytes (TSV) to a kilobyte (JSON) per record.
  const size_t lines_size = data.size() + data.size() / 8;
  const size_t rows_size = json ? data.size() * 4 : data.size() * 2;
  auto run = [&](auto& lines, auto* rows) {
    int64_t count = 0;
    {
      py::gil_scoped_release release;
      std::string_view record;
      for (eg::LineSplitter split(data); split.next(record); ++count) {
        g.group(record);
        lines.advance(g.write_result_line(lines.room(eg::kMaxResultLine)));
        if (rows) rows->advance(write_row(g, first_record + count, json, rows->room(row_bytes)));
      }
    }
    return py::make_tuple(lines.finish(), rows ? py::object(rows->finish()) : py::object(py::none()), count);
  };
  if (into) {
    ByteArrayFiller lines(into->first, at.first, lines_size);
    std::optional<ByteArrayFiller> rows;
    if (with_rows) rows.emplace(into->second, at.second, rows_size);
    return run(lines, rows ? &*rows : nullptr);
  }
  BytesBuilder lines(lines_size);
  std::optional<BytesBuilder> rows;
  if (with_rows) rows.emplace(rows_size);
  return run(lines, rows ? &*rows : nullptr);
}

py::tuple group_block_over(const PyTableSet& ts, const py::buffer& block, int64_t first_record,
                           const std::optional<std::string>& results_format, const PyWeights* weights,
                           const std::pair<py::object, py::object>* into, std::pair<size_t, size_t> at = {}) {
  eg::Grouper g(ts.set);
  return group_block_with(
      g, block, first_record, results_format, eg::kMaxJsonRow,
      [weights](eg::Grouper& g, int64_t number, bool json, char* out) {
        if (!weights) return json ? g.write_json_row(number, out) : g.write_result_row(number, out);
        const eg::EpisodeWeight weight = g.weigh(*weights->catalogue);
        return json ? g.write_json_row(number, weight, out) : g.write_result_row(number, weight, out);
      },
      into, at);
}
py::tuple group_block(const PyTableSet& ts, const py::buffer& block, int64_t first_record,
                      const std::optional<std::string>& results_format, const PyWeights* weights) {
  return group_block_over(ts, block, first_record, results_format, weights, nullptr);
}
py::tuple group_block_into(const PyTableSet& ts, const py::buffer& block, py::object lines, py::object rows,
                           int64_t first_record, const std::optional<std::string>& results_format,
                           const PyWeights* weights, size_t lines_at, size_t rows_at) {
  const std::pair<py::object, py::object> into(std::move(lines), std::move(rows));
  return group_block_over(ts, block, first_record, results_format, weights, &into, {lines_at, rows_at});
}

// group_block over a registry (without weights), into `into` when given.
py::tuple group_block_by_date_over(const PyTableRegistry& tr, const py::buffer& block, int64_t first_record,
                                   const std::optional<std::string>& results_format,
                                   const std::pair<py::object, py::object>* into, std::pair<size_t, size_t> at = {}) {
  eg::RegistryGrouper g(tr.registry);
  return group_block_with(
      g, block, first_record, results_format, eg::kMaxRegistryJsonRow,
      [](eg::RegistryGrouper& g, int64_t number, bool json, char* out) {
        return json ? g.write_json_row(number, out) : g.write_result_row(number, out);
      },
      into, at);
}
py::tuple group_block_by_date(const PyTableRegistry& tr, const py::buffer& block, int64_t first_record,
                              const std::optional<std::string>& results_format) {
  return group_block_by_date_over(tr, block, first_record, results_format, nullptr);
}
py::tuple group_block_by_date_into(const PyTableRegistry& tr, const py::buffer& block, py::object lines,
                                   py::object rows, int64_t first_record,
                                   const std::optional<std::string>& results_format, size_t lines_at,
                                   size_t rows_at) {
  const std::pair<py::object, py::object> into(std::move(lines), std::move(rows));
  return group_block_by_date_over(tr, block, first_record, results_format, &into, {lines_at, rows_at});
}

}  // namespace
}  // namespace episode_grouper_python

PYBIND11_MODULE(_core, m) {
  using namespace episode_grouper_python;
  m.doc() = "The grouper's C++ core: TableSet, Grouper and Result.";
  // The library's version, the one the programs and the service report.
  m.attr("__version__") = episode_grouper::version();

  table_set_error = py::reinterpret_borrow<py::object>(
      PyErr_NewExceptionWithDoc("episode_grouper.TableSetError",
                                "A table set could not be opened.\n\n"
                                "Attributes: kind (\"no_directory\", \"file_failed\", \"count_mismatch\",\n"
                                "\"logic_setting\" or \"out_of_memory\"), file (the table file concerned, or\n"
                                "None) and loader_message (the loader's own message text, or None).",
                                PyExc_OSError, nullptr));
  m.attr("TableSetError") = table_set_error;

  py::class_<PyResult>(m, "Result",
                       "The full result of one record.  Codes are str (Latin-1); a group index of\n"
                       "0 means no group.")
      .def_property_readonly("rec_date", [](const PyResult& r) { return r.result.values.rec_date; })
      .def_property_readonly("age_yy", [](const PyResult& r) { return r.result.values.age_yy; })
      .def_property_readonly("age_dd", [](const PyResult& r) { return r.result.values.age_dd; })
      .def_property_readonly("sex_cd", [](const PyResult& r) { return r.result.values.sex_cd; })
      .def_property_readonly("los_dd", [](const PyResult& r) { return r.result.values.los_dd; })
      .def_property_readonly("dsch_cd", [](const PyResult& r) { return r.result.values.dsch_cd; })
      .def_property_readonly("birth_wt", [](const PyResult& r) { return r.result.values.birth_wt; })
      .def_property_readonly("vent_hr", [](const PyResult& r) { return r.result.values.vent_hr; })
      .def_property_readonly("code_ids", [](const PyResult& r) { return py::tuple(py::cast(r.result.code_ids)); },
                             "The code id of positions 0..46 (0 = empty or not found).")
      .def_property_readonly("dx_swapped", [](const PyResult& r) { return r.result.dx_swapped != 0; })
      .def_property_readonly("res_mdc", [](const PyResult& r) { return r.result.res_mdc; })
      .def_property_readonly("res_adrg", [](const PyResult& r) { return r.result.res_adrg; })
      .def_property_readonly("res_drg", [](const PyResult& r) { return r.result.res_drg; })
      .def_property_readonly("res_split", [](const PyResult& r) { return latin1({&r.result.res_split, 1}); })
      .def_property_readonly("mdc_code", [](const PyResult& r) { return latin1(eg::text_of(r.result.mdc_code)); })
      .def_property_readonly("adrg_code", [](const PyResult& r) { return latin1(eg::text_of(r.result.adrg_code)); })
      .def_property_readonly("drg_list_code",
                             [](const PyResult& r) { return latin1(eg::text_of(r.result.drg_list_code)); })
      .def_property_readonly("pos_ccl", [](const PyResult& r) { return py::tuple(py::cast(r.result.pos_ccl)); },
                             "The CCL of diagnosis positions 0..10 (0 and 1 always 0).")
      .def_property_readonly("res_pccl", [](const PyResult& r) { return r.result.res_pccl; })
      .def_property_readonly("res_drg_code",
                             [](const PyResult& r) { return latin1(eg::text_of(r.result.res_drg_code)); },
                             "The DRG text: DRG code and complexity split character.")
      .def_property_readonly("res_ccl_raw", [](const PyResult& r) { return latin1(eg::text_of(r.result.res_ccl_raw)); })
      .def_property_readonly("res_ccl_excl",
                             [](const PyResult& r) { return latin1(eg::text_of(r.result.res_ccl_excl)); })
      .def_property_readonly("res_ltcdrg", [](const PyResult& r) { return r.result.res_ltcdrg; })
      .def_property_readonly("res_ltcdrg_code",
                             [](const PyResult& r) { return latin1(eg::text_of(r.result.res_ltcdrg_code)); })
      .def_property_readonly("has_adrg", [](const PyResult& r) { return r.result.has_adrg(); })
      .def_property_readonly(
          "findings",
          [](const PyResult& r) {
            py::list out;
            eg::Findings f = r.result.findings;
            if (r.weights) eg::add_weight_finding(r.weight, f);
            for (size_t i = 0; i < f.count; ++i) {
              const eg::Finding& item = f.items[i];
              py::dict d;
              d["code"] = py::str(std::string(eg::finding_name(item.code)));
              if (item.position != 0) d["position"] = item.position;
              if (item.field != eg::RecordField::kNone) d["field"] = py::str(std::string(eg::field_name(item.field)));
              auto trimmed = [](const std::array<char, 5>& t) {
                std::string_view v = eg::text_of(t);
                while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
                return v;
              };
              if (!trimmed(item.text).empty()) d["text"] = latin1(trimmed(item.text));
              if (!trimmed(item.to).empty()) d["to"] = latin1(trimmed(item.to));
              if (item.code == eg::FindingCode::kNoTableVersion) d["date"] = item.date();
              out.append(d);
            }
            if (f.dropped > 0) out.append(py::dict(py::arg("code") = "more", py::arg("count") = f.dropped));
            return out;
          },
          "What the grouping had to make of the record's data: a list of dicts with 'code' and, as the\n"
          "finding has them, 'position', 'field', 'text', 'to' and 'date' (as the JSON Lines rows\n"
          "write them);\n"
          "for a weighed record, the weight's finding last.")
      .def_property_readonly(
          "weight", [](const PyResult& r) { return decimal_weight(r.weight.weight, r.weight.has_weight); },
          "The cost weight of the record's row as a decimal.Decimal, or None without a weight\n"
          "(or when it was grouped without weights).")
      .def_property_readonly(
          "effective_weight",
          [](const PyResult& r) { return decimal_weight(r.weight.effective, r.weight.has_weight); },
          "The weight trimmed by the length of stay (decimal.Decimal, exact), or None.")
      .def_property_readonly(
          "los_class",
          [](const PyResult& r) {
            return r.weight.los_class == eg::LosClass::kNone
                       ? py::object(py::none())
                       : py::object(py::str(std::string(eg::los_class_name(r.weight.los_class))));
          },
          "'inlier', 'low' or 'high'; None without a weight or with an unreadable length of stay.")
      .def_property_readonly(
          "impact",
          [](const PyResult& r) {
            eg::Grouper g(r.tables);
            g.group(r.record);
            return impact_list(g.impact(r.weights.get()));
          },
          "What each code of the record is worth: the record grouped again without each of its\n"
          "codes in positions 2..46, and for each code whose removal changes the DRG text (or,\n"
          "for a weighed record, the effective weight) a dict: 'pos', 'code', 'drg' (the DRG text\n"
          "without the code, None without a DRG) and 'weight_difference' (the effective weight\n"
          "without the code less with it, decimal.Decimal; None when not weighed), in position\n"
          "order, as the impact of the JSON Lines rows.  Computed when asked: one grouping per code.")
      .def_property_readonly("line", [](const PyResult& r) { return py::bytes(r.line); },
                             "The classic 300-character result line with its line feed, as bytes.")
      .def_property_readonly(
          "tables",
          [](const PyResult& r) {
            return r.registry && !r.version.empty() ? py::object(py::str(r.version)) : py::object(py::none());
          },
          "The name of the table version that grouped the record (TableRegistry), or None: grouped\n"
          "by a TableSet, or no version holds its date.")
      .def(
          "result_row",
          [](const PyResult& r, int64_t record) {
            char out[eg::kMaxRegistryRow];
            size_t n = 0;
            if (r.registry && !r.tables) {
              n = grouper::format_ungrouped_row(record, nullptr, r.result.findings, r.weights != nullptr, out);
            } else {
              n = r.weights ? eg::write_result_row(*r.tables, r.result, r.weight, record, out)
                            : eg::write_result_row(*r.tables, r.result, record, out);
            }
            if (r.registry) n = grouper::add_tables_column(out, n, r.version);
            return latin1({out, n});
          },
          py::arg("record") = 1,
          "The tab-separated result row of record number `record`, line feed included (with the\n"
          "weight columns when the record was weighed, and the tables column when a TableRegistry\n"
          "grouped it).")
      .def(
          "json_row",
          [](const PyResult& r, int64_t record) {
            char out[eg::kMaxRegistryJsonRow];
            size_t n = 0;
            if (r.registry && !r.tables) {
              n = grouper::format_json_ungrouped_row(record, nullptr, r.result.findings, r.weights != nullptr, out);
            } else {
              n = r.weights ? eg::write_json_row(*r.tables, r.result, r.weight, record, out)
                            : eg::write_json_row(*r.tables, r.result, record, out);
            }
            if (r.registry) n = grouper::add_tables_member(out, n, r.version);
            return py::str(std::string(out, n));
          },
          py::arg("record") = 1,
          "The JSON Lines result row of record number `record`, line feed included (with the\n"
          "weight fields when the record was weighed).")
      .def("__repr__", [](const PyResult& r) {
        return "<Result adrg=" + std::string(py::repr(latin1(eg::text_of(r.result.adrg_code)))) +
               " drg=" + std::string(py::repr(latin1(eg::text_of(r.result.res_drg_code)))) +
               " pccl=" + std::to_string(r.result.res_pccl) + ">";
      });

  py::class_<PyTableSet> table_set(m, "TableSet",
                         "The sixteen table files of one directory, loaded, checked and indexed once.\n\n"
                         "TableSet(path) raises TableSetError when the set cannot be opened.");
  table_set.def(py::init([](const py::object& path) {
             eg::Status error;
             std::shared_ptr<const eg::TableSet> set;
             const std::string dir = path_of(path);
             {
               py::gil_scoped_release release;
               set = eg::TableSet::open(dir, error);
             }
             if (!set) raise_open_error(error);
             return PyTableSet{set, std::make_unique<eg::Grouper>(set)};
           }),
           py::arg("path"))
      .def_property_readonly("directory",
                             [](const PyTableSet& ts) { return path_to_python(ts.set->directory().string()); })
      .def_property_readonly(
          "counts",
          [](const PyTableSet& ts) {
            const eg::TableCounts c = ts.set->counts();
            py::dict d;
            d["dx"] = c.dx;
            d["sg"] = c.sg;
            d["mdc"] = c.mdc;
            d["adrg"] = c.adrg;
            d["drg"] = c.drg;
            d["cond"] = c.cond;
            d["rules_before"] = c.rules_before;
            d["rules_from"] = c.rules_from;
            return d;
          },
          "The sizes of the set: codes, groups, conditions and rules of both rule sets.")
      .def(
          "group",
          [](PyTableSet& ts, const py::handle& line, const PyWeights* weights) {
            std::string keep;
            return group_one(ts.set, *ts.grouper, as_bytes_view(line, keep), weights);
          },
          py::arg("line"), py::arg("weights") = py::none(),
          "Groups one episode line (bytes, or str of Latin-1 characters; at most 4095\n"
          "bytes are read) and returns its Result, weighed when a WeightCatalogue is given.")
      .def(
          "impact",
          [](PyTableSet& ts, const py::handle& line, const PyWeights* weights) {
            std::string keep;
            ts.grouper->group(as_bytes_view(line, keep));
            return impact_list(ts.grouper->impact(weights ? weights->catalogue.get() : nullptr));
          },
          py::arg("line"), py::arg("weights") = py::none(),
          "What each code of one episode line is worth, as Result.impact gives it: a list of\n"
          "dicts 'pos', 'code', 'drg' and 'weight_difference' (with a WeightCatalogue `weights`)\n"
          "for the codes in positions 2..46 whose removal changes the DRG or the weight.")
      .def(
          "explain",
          [](PyTableSet& ts, const py::handle& line, const std::string& format, bool impact,
             const PyWeights* weights) {
            if (format != "text" && format != "json") throw py::value_error("format must be 'text' or 'json'");
            std::string keep;
            const std::string_view record = as_bytes_view(line, keep);
            eg::ExplainOptions options;
            options.impact = impact;
            options.weights = weights ? weights->catalogue.get() : nullptr;
            return py::str(eg::explain(*ts.set, record,
                                       format == "json" ? eg::ExplainFormat::kJson : eg::ExplainFormat::kText,
                                       options));
          },
          py::arg("line"), py::arg("format") = "text", py::arg("impact") = false, py::arg("weights") = py::none(),
          "Every step the grouping took for one episode line, as text ('text') or as one\n"
          "JSON document ('json'): the record values, the rule set, every code lookup, the\n"
          "conditions, each rule pass with its near misses, the age split and DRG, the CCLs\n"
          "and exclusions, the PCCL, the supplementary group, the result and the findings.\n"
          "With impact=True, last, the record's impact as TableSet.impact gives it (with the\n"
          "weight differences of a WeightCatalogue `weights`).")
      .def("group_many", &group_many, py::arg("lines"), py::arg("threads") = 0, py::arg("weights") = py::none(),
           "Groups every line of `lines` on `threads` threads (0: one per core) without\n"
           "the GIL and returns the Results in input order (weighed with `weights`).")
      .def("group_file", &group_file, py::arg("input"), py::arg("output"), py::arg("results") = py::none(),
           py::arg("threads") = 0, py::arg("results_format") = py::none(), py::arg("weights") = py::none(),
           "Runs the whole batch in C++: groups every record of the file `input` into the\n"
           "result lines of `output` (and the detailed result file `results`, TSV or, for\n"
           "a name ending in .jsonl or results_format='jsonl', JSON Lines), the same bytes\n"
           "as the grouper program.  The outputs are written beside their targets and\n"
           "moved into place when complete.  Returns the number of records; raises\n"
           "OSError when a file cannot be opened or read, or an output would overwrite\n"
           "the input or the other output, RuntimeError when a write fails.  With a\n"
           "WeightCatalogue `weights`, the result rows gain the weight columns as the\n"
           "program's --weights gives them.")
      .def("group_block", &group_block, py::arg("block"), py::arg("first_record") = 1,
           py::arg("results_format") = py::none(), py::arg("weights") = py::none(),
           "Groups a block of input that starts at a line boundary, split as the batch\n"
           "run splits it.  Returns (result lines as bytes, result rows numbered from\n"
           "first_record as bytes or None, number of records); results_format is\n"
           "None (no rows), 'tsv' (no header) or 'jsonl'; with `weights`, the rows carry the\n"
           "weight columns.")
      .def("group_block_into", &group_block_into, py::arg("block"), py::arg("lines"), py::arg("rows") = py::none(),
           py::arg("first_record") = 1, py::arg("results_format") = py::none(), py::arg("weights") = py::none(),
           py::kw_only(), py::arg("lines_at") = 0, py::arg("rows_at") = 0,
           "group_block writing into the bytearrays `lines` and `rows` (None without rows)\n"
           "from offsets lines_at and rows_at (default: their start), each grown when it\n"
           "lacks room and never shrunk, so that a buffer kept from one block to the next\n"
           "costs no new memory, and the blocks of a partition can follow one another in\n"
           "it.  Returns (the end of the lines written, the end of the rows written or None,\n"
           "number of records); raises TypeError for a buffer that is not a bytearray,\n"
           "ValueError for an offset past a buffer's end, BufferError when a buffer must\n"
           "grow while a view of it is alive.");

  weight_load_error = py::reinterpret_borrow<py::object>(
      PyErr_NewExceptionWithDoc("episode_grouper.WeightCatalogueError",
                                "A weight catalogue could not be read or fails its checks.\n\n"
                                "The message reads FILE:LINE: what; attributes kind (\"weights\"), file\n"
                                "and line (0 when no line is concerned).",
                                PyExc_ValueError, nullptr));
  m.attr("WeightCatalogueError") = weight_load_error;

  py::class_<PyWeights>(m, "WeightCatalogue",
                        "A cost weight catalogue (tab-separated, see the README), checked on loading.\n\n"
                        "WeightCatalogue(path) raises WeightCatalogueError naming the file and line.\n"
                        "Give it as weights= to TableSet.group, group_many, group_block or group_file.")
      .def(py::init([](const py::object& path) { return PyWeights{load_weights(path_of(path))}; }), py::arg("path"))
      .def("__len__", [](const PyWeights& w) { return w.catalogue->rows().size(); }, "The number of rows.")
      .def("drgs", [](const PyWeights& w) { return w.catalogue->drgs(); }, "The DRG texts of the rows, sorted.")
      .def(
          "unknown_drgs", [](const PyWeights& w, const PyTableSet& ts) { return w.catalogue->unknown_drgs(*ts.set); },
          py::arg("tables"), "The DRG texts of the catalogue that the TableSet `tables` never gives.")
      .def(
          "weigh",
          [](const PyWeights& w, const std::string& drg, int32_t rec_date, int32_t los) {
            const eg::EpisodeWeight e = w.catalogue->weigh(drg, rec_date, los);
            py::dict d;
            d["weight"] = decimal_weight(e.weight, e.has_weight);
            d["effective_weight"] = decimal_weight(e.effective, e.has_weight);
            d["los_class"] = e.los_class == eg::LosClass::kNone
                                 ? py::object(py::none())
                                 : py::object(py::str(std::string(eg::los_class_name(e.los_class))));
            d["finding"] = e.has_finding ? py::object(py::str(std::string(eg::finding_name(e.finding.code))))
                                         : py::object(py::none());
            return d;
          },
          py::arg("drg"), py::arg("rec_date"), py::arg("los"),
          "The weight of an episode of DRG text `drg` ('' for none), record date YYYYMMDD and\n"
          "length of stay `los` (negative: unreadable), as a dict: weight and effective_weight\n"
          "(decimal.Decimal or None), los_class and finding (str or None).");

  m.def("count_records",
        [](const py::buffer& block) {
          const py::buffer_info info = byte_buffer(block);
          return eg::count_records(bytes_in(info));
        },
        py::arg("block"),
        "The number of records in a block that starts at a line boundary.");
  m.attr("result_header") = py::str(std::string(eg::Grouper::result_header()));
  m.attr("result_header_with_weights") = py::str(std::string(eg::Grouper::result_header_with_weights()));
  m.attr("MAX_RECORD_BYTES") = eg::kMaxRecordBytes;

  add_episodes(m, table_set);
  add_group_frame(m, table_set);

  py::class_<PyTableRegistry>(m, "TableRegistry",
                              "A registry of table versions: several table sets, each valid over a window of\n"
                              "record dates, every record grouped with the version in force on its date.\n\n"
                              "TableRegistry(path) reads the tab-separated registry file (a header naming name,\n"
                              "directory, valid_from and valid_to; '#' and empty lines skipped; directories\n"
                              "relative to the file's folder; dates YYYYMMDD, inclusive, empty for open) and\n"
                              "opens every version.  It raises TableSetError (kind 'registry', file and line)\n"
                              "on a missing column, a bad name or date, a window ending before it starts,\n"
                              "overlapping windows, a duplicate name or a directory without a loadable set.\n"
                              "A record whose date no window holds, or whose date is blank or unreadable, has\n"
                              "no groups and the finding no_table_version; the rows gain the column tables.")
      .def(py::init([](const py::object& path) {
             eg::Status error;
             std::shared_ptr<const eg::TableRegistry> registry;
             const std::string file = path_of(path);
             {
               py::gil_scoped_release release;
               registry = eg::TableRegistry::open(file, error);
             }
             if (!registry) {
               try {
                 raise_open_error(error);
               } catch (py::error_already_set& e) {
                 e.value().attr("line") = error.line;
                 throw;
               }
             }
             return PyTableRegistry{registry, std::make_unique<eg::RegistryGrouper>(registry)};
           }),
           py::arg("path"))
      .def_property_readonly(
          "versions",
          [](const PyTableRegistry& tr) {
            py::list out;
            for (const eg::TableVersion& v : tr.registry->versions()) {
              py::dict d;
              d["name"] = py::str(v.name);
              d["directory"] = path_to_python(v.directory.string());
              d["valid_from"] = v.valid_from == eg::TableRegistry::kOpenFrom ? py::object(py::none())
                                                                             : py::object(py::int_(v.valid_from));
              d["valid_to"] = v.valid_to == eg::TableRegistry::kOpenTo ? py::object(py::none())
                                                                       : py::object(py::int_(v.valid_to));
              d["line"] = v.line;
              out.append(d);
            }
            return out;
          },
          "The versions, earliest window first: dicts with name, directory, valid_from and valid_to\n"
          "(int YYYYMMDD, None where the window is open) and the registry file's line.")
      .def_property_readonly(
          "warnings", [](const PyTableRegistry& tr) { return tr.registry->warnings(); },
          "One text per gap between windows (no version holds those days).")
      .def(
          "version_of",
          [](const PyTableRegistry& tr, const py::handle& line) {
            std::string keep;
            const int v = tr.registry->version_of(as_bytes_view(line, keep));
            return v < 0 ? py::object(py::none()) : py::object(py::str(tr.registry->versions()[static_cast<size_t>(v)].name));
          },
          py::arg("line"),
          "The name of the version whose window holds the record date of an episode line, read as the\n"
          "grouping reads it, or None (always for a blank or unreadable date).")
      .def(
          "group",
          [](PyTableRegistry& tr, const py::handle& line, const PyWeights* weights) {
            std::string keep;
            return group_one_by_date(tr, *tr.grouper, as_bytes_view(line, keep), weights);
          },
          py::arg("line"), py::arg("weights") = py::none(),
          "Groups one episode line with the version of its date and returns its Result (its\n"
          "`tables` names the version), weighed when a WeightCatalogue is given.")
      .def("group_many", &group_many_by_date, py::arg("lines"), py::arg("threads") = 0,
           py::arg("weights") = py::none(),
           "Groups every line of `lines` on `threads` threads (0: one per core) without the GIL,\n"
           "each with the version of its date, and returns the Results in input order.")
      .def(
          "group_file",
          [](const PyTableRegistry& tr, const py::object& input, const py::object& output, const py::object& results,
             int threads, const std::optional<std::string>& results_format, const PyWeights* weights) {
            return group_file_over(nullptr, tr.registry.get(), input, output, results, threads, results_format,
                                   weights);
          },
          py::arg("input"), py::arg("output"), py::arg("results") = py::none(), py::arg("threads") = 0,
          py::arg("results_format") = py::none(), py::arg("weights") = py::none(),
          "TableSet.group_file with each record grouped by the version of its date: the same bytes\n"
          "as the grouper program's --registry.  Returns the number of records.")
      .def("group_block", &group_block_by_date, py::arg("block"), py::arg("first_record") = 1,
           py::arg("results_format") = py::none(),
           "TableSet.group_block with each record grouped by the version of its date (the rows end\n"
           "with the tables column); weights are not taken here.")
      .def("group_block_into", &group_block_by_date_into, py::arg("block"), py::arg("lines"),
           py::arg("rows") = py::none(), py::arg("first_record") = 1, py::arg("results_format") = py::none(),
           py::kw_only(), py::arg("lines_at") = 0, py::arg("rows_at") = 0,
           "TableSet.group_block_into with each record grouped by the version of its date.");
  m.attr("result_header_with_tables") = py::str(std::string(eg::RegistryGrouper::result_header()));
}
