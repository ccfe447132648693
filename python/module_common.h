// What the parts of the Python module share: the Python-side objects of a
// table set, a weight catalogue and a result, and the small conversions
// every part uses.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <string_view>

#include "episode_grouper/grouper.h"
#include "episode_grouper/table_set.h"
#include "episode_grouper/weights.h"

namespace episode_grouper_python {

namespace py = pybind11;
namespace eg = episode_grouper;

// A weight catalogue, shared by the Results it weighed.
struct PyWeights {
  std::shared_ptr<const eg::WeightCatalogue> catalogue;
};

// One grouped record as Python sees it: the result and its result line, and
// its weight when it was weighed (`weights` set).
struct PyResult {
  std::shared_ptr<const eg::TableSet> tables;
  eg::Result result;
  std::string line;
  std::shared_ptr<const eg::WeightCatalogue> weights;
  eg::EpisodeWeight weight;
  std::string record;  // the bytes grouped, for Result.impact
  // Grouped through a TableRegistry: its rows end with the tables column,
  // the version's name (`version`, empty when no version held the record,
  // whose `tables` is then null).
  bool registry = false;
  std::string version;
};

// Table sets are held through shared ownership so that a Result or a
// Grouper keeps its set alive.
struct PyTableSet {
  std::shared_ptr<const eg::TableSet> set;
  std::unique_ptr<eg::Grouper> grouper;  // for TableSet.group; used under the GIL
};

// Bytes as a str of Latin-1 characters, so that every byte round-trips.
inline py::str latin1(std::string_view text) {
  PyObject* s = PyUnicode_DecodeLatin1(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

// The threads to use for `threads` (0: one per core); ValueError when negative.
int thread_count(int threads);

// Groups `record` with `g` into a Result (weighed with `weights`, if given).
PyResult group_one(const std::shared_ptr<const eg::TableSet>& tables, eg::Grouper& g, std::string_view record,
                   const PyWeights* weights = nullptr);

// Adds Episode, EpisodeError, FieldError and TableSet.group_episode (episodes.cc).
void add_episodes(py::module_& m, py::class_<PyTableSet>& table_set);

// Adds TableSet.group_frame and TableSet.group_frame_block, and
// invalid_result_line (group_frame.cc).
void add_group_frame(py::module_& m, py::class_<PyTableSet>& table_set);

}  // namespace episode_grouper_python
