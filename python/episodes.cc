// Episodes as named fields in Python: the Episode class, always valid (its
// record is built when it is made), EpisodeError with every field error, and
// TableSet.group_episode.
#include <pybind11/pybind11.h>

#include <datetime.h>

#include <string>
#include <tuple>
#include <vector>

#include "episode_grouper/episode.h"
#include "episode_values.h"
#include "module_common.h"

namespace episode_grouper_python {
namespace {

using F = eg::EpisodeField;
using Unknown = std::vector<std::tuple<std::string, std::string, std::string>>;

// An episode and the record built from it.
struct PyEpisode {
  eg::Episode episode;
  std::string record;
};

std::string field_list() {
  std::string names;
  for (int i = 0; i < eg::kEpisodeFields; ++i) {
    if (i > 0) names += ", ";
    names += eg::episode_field_name(static_cast<F>(i));
  }
  return names;
}

// The episode of the named values in `fields` (a dict or the keyword
// arguments); EpisodeError when a name is no field or the record cannot be built.
PyEpisode episode_of(const py::dict& fields) {
  PyEpisode made;
  eg::FieldErrors errors;
  Unknown unknown;
  for (const auto& [key, value] : fields) {
    const std::string name = py::str(key);
    const std::optional<F> field = eg::episode_field_of(name);
    if (!field) {
      unknown.emplace_back(name, std::string(py::str(value)), "not an episode field (the fields: " + field_list() + ")");
      continue;
    }
    FieldColumn column;
    column.field = *field;
    column.read(value.ptr());
    column.apply(0, made.episode, errors);
  }
  made.record.resize(eg::kEpisodeRecordBytes);
  if (!eg::build_record(made.episode, made.record.data(), errors) || !unknown.empty()) {
    raise_episode_error(errors, unknown, "invalid episode");
  }
  return made;
}

// A text of the episode as str: UTF-8, or Latin-1 when it is not UTF-8.
py::object text_value(const std::string& text) {
  if (text.empty()) return py::none();
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  if (s) return py::reinterpret_steal<py::object>(s);
  PyErr_Clear();
  return latin1(text);
}

py::object number_value(const std::optional<int32_t>& v) { return v ? py::object(py::int_(*v)) : py::none(); }

py::object date_value(const std::optional<int32_t>& v) {
  if (!v) return py::none();
  if (!PyDateTimeAPI) PyDateTime_IMPORT;
  PyObject* d = PyDate_FromDate(*v / 10000, *v / 100 % 100, *v % 100);
  if (!d) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(d);
}

py::tuple codes_value(const std::vector<std::string>& codes) {
  py::tuple t(codes.size());
  for (size_t i = 0; i < codes.size(); ++i) t[i] = text_value(codes[i]);
  return t;
}

std::string repr_of(const PyEpisode& p) {
  const eg::Episode& e = p.episode;
  std::string out = "Episode(";
  bool first = true;
  auto add = [&](std::string_view name, const py::object& value) {
    if (value.is_none()) return;
    if (!first) out += ", ";
    first = false;
    out.append(name);
    out += '=';
    out += py::repr(value);
  };
  auto date = [](const std::optional<int32_t>& v) {
    return v ? py::object(py::str(eg::date_text(*v))) : py::object(py::none());
  };
  auto codes = [](const std::vector<std::string>& list) {
    return list.empty() ? py::object(py::none()) : py::object(py::list(codes_value(list)));
  };
  add("id", text_value(e.id));
  add("birth_date", date(e.birth_date));
  add("age_years", number_value(e.age_years));
  add("age_days", number_value(e.age_days));
  add("sex", e.sex ? py::object(py::str(std::string(1, e.sex == 'm' ? 'M' : e.sex == 'f' ? 'F' : e.sex))) : py::object(py::none()));
  add("record_date", date(e.record_date));
  add("los", number_value(e.los));
  add("discharge", number_value(e.discharge));
  add("principal", text_value(e.principal));
  add("secondary", codes(e.secondary));
  add("procedures", codes(e.procedures));
  add("birth_weight", number_value(e.birth_weight));
  add("vent_hours", number_value(e.vent_hours));
  return out + ")";
}

std::string record_bytes(const py::handle& record) {
  if (py::isinstance<py::bytes>(record)) return record.cast<std::string>();
  if (py::isinstance<py::bytearray>(record) || py::isinstance<py::memoryview>(record)) {
    return std::string(py::bytes(py::reinterpret_steal<py::object>(PyBytes_FromObject(record.ptr()))));
  }
  if (py::isinstance<py::str>(record)) {
    PyObject* encoded = PyUnicode_AsLatin1String(record.ptr());
    if (!encoded) throw py::error_already_set();
    return std::string(py::reinterpret_steal<py::bytes>(encoded));
  }
  throw py::type_error("a record is bytes or str, not " + std::string(py::str(record.get_type())));
}

}  // namespace

void add_episodes(py::module_& m, py::class_<PyTableSet>& table_set) {
  field_error_type = py::module_::import("collections")
                         .attr("namedtuple")("FieldError", py::make_tuple("field", "value", "message"),
                                             py::arg("module") = "episode_grouper");
  field_error_type.attr("__doc__") =
      "One error of an episode: the field's name (or a name that is no field), the value as given\n"
      "('' when none was) and what is wrong with it.";
  m.attr("FieldError") = field_error_type;

  episode_error = py::reinterpret_borrow<py::object>(PyErr_NewExceptionWithDoc(
      "episode_grouper.EpisodeError",
      "An episode whose fields cannot be built into a record (a ValueError).\n\n"
      "Attributes: errors, every error of the episode as a list of FieldError\n"
      "(field, value, message) tuples in the order found, and index, the frame's row\n"
      "label when group_frame(errors='raise') raised it (else None).  The message\n"
      "lists them all: \"invalid episode: sex: required; los: 1000 is not from 0 to 999\".",
      PyExc_ValueError, nullptr));
  m.attr("EpisodeError") = episode_error;

  py::class_<PyEpisode>(m, "Episode",
                        "An episode as named fields, always valid: its record was built when it was made.\n\n"
                        "Episode(**fields) takes the fields by name: id, birth_date (or age_years or\n"
                        "age_days), sex, record_date, los, discharge, principal, secondary,\n"
                        "procedures, birth_weight, vent_hours.  A value is None (not given), a str in\n"
                        "the text form the CSV input takes ('2005-05-15' or '20050515', 'M', 'female',\n"
                        "'K35.8', codes separated by '|'), an int, a float with a whole value (NaN:\n"
                        "not given), a datetime.date, datetime or pandas Timestamp for the dates, and a\n"
                        "list or tuple of codes for secondary and procedures.  Raises EpisodeError\n"
                        "with every error (a name that is no field included).\n\n"
                        "The attributes give the fields as they were given: dates as datetime.date,\n"
                        "numbers as int, codes as str (not yet normalised: to_record() writes them\n"
                        "upper-cased without their dot), secondary and procedures as tuples, None\n"
                        "for a field not given.")
      .def(py::init([](const py::kwargs& fields) { return episode_of(fields); }))
      .def_property_readonly("id", [](const PyEpisode& p) { return text_value(p.episode.id); })
      .def_property_readonly("birth_date", [](const PyEpisode& p) { return date_value(p.episode.birth_date); })
      .def_property_readonly("age_years", [](const PyEpisode& p) { return number_value(p.episode.age_years); })
      .def_property_readonly("age_days", [](const PyEpisode& p) { return number_value(p.episode.age_days); })
      .def_property_readonly("sex",
                             [](const PyEpisode& p) {
                               const char s = p.episode.sex;
                               return py::str(std::string(1, s == 'M' || s == 'm' ? 'M' : 'F'));
                             },
                             "'M' or 'F'.")
      .def_property_readonly("record_date", [](const PyEpisode& p) { return date_value(p.episode.record_date); })
      .def_property_readonly("los", [](const PyEpisode& p) { return number_value(p.episode.los); })
      .def_property_readonly("discharge", [](const PyEpisode& p) { return number_value(p.episode.discharge); })
      .def_property_readonly("principal", [](const PyEpisode& p) { return text_value(p.episode.principal); })
      .def_property_readonly("secondary", [](const PyEpisode& p) { return codes_value(p.episode.secondary); })
      .def_property_readonly("procedures", [](const PyEpisode& p) { return codes_value(p.episode.procedures); })
      .def_property_readonly("birth_weight", [](const PyEpisode& p) { return number_value(p.episode.birth_weight); })
      .def_property_readonly("vent_hours", [](const PyEpisode& p) { return number_value(p.episode.vent_hours); })
      .def(
          "to_record", [](const PyEpisode& p) { return py::bytes(p.record); },
          "The 300-character fixed-width record built from the episode, as bytes (no line feed).")
      .def_static(
          "from_record",
          [](const py::handle& record) {
            PyEpisode p;
            eg::FieldErrors errors;
            if (!eg::read_record(record_bytes(record), p.episode, errors)) raise_episode_error(errors, {}, "invalid record");
            p.record.resize(eg::kEpisodeRecordBytes);
            eg::build_record(p.episode, p.record.data(), errors);
            return p;
          },
          py::arg("record"),
          "The episode a fixed-width record holds (bytes, or str of Latin-1 characters; a line\n"
          "feed ends it).  Raises EpisodeError naming each field that cannot be told (a letter\n"
          "in a date, a sex digit that is none of the six, a code that is no code).")
      .def("__eq__", [](const PyEpisode& a, const PyEpisode& b) { return a.episode == b.episode; })
      .def("__repr__", &repr_of);

  table_set.def(
      "group_episode",
      [](PyTableSet& ts, const py::object& episode, const PyWeights* weights, const py::kwargs& fields) {
        if (!episode.is_none() && !fields.empty()) {
          throw py::type_error("group_episode takes an episode or its fields by name, not both");
        }
        if (episode.is_none()) return group_one(ts.set, *ts.grouper, episode_of(fields).record, weights);
        if (py::isinstance<PyEpisode>(episode)) {
          return group_one(ts.set, *ts.grouper, episode.cast<const PyEpisode&>().record, weights);
        }
        if (py::isinstance<py::dict>(episode)) {
          return group_one(ts.set, *ts.grouper, episode_of(episode.cast<py::dict>()).record, weights);
        }
        throw py::type_error("group_episode takes an Episode or a dict of fields, not " +
                             std::string(py::str(episode.get_type())));
      },
      py::arg("episode") = py::none(), py::arg("weights") = py::none(),
      "Groups one episode: an Episode, a dict of its fields, or its fields by name\n"
      "(group_episode(sex='F', ...), as Episode takes them).  Returns the Result that\n"
      "group() gives for the episode's record (weighed with a WeightCatalogue `weights`);\n"
      "raises EpisodeError when the fields cannot be built into a record.");
}

}  // namespace episode_grouper_python
