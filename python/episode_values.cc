#include "episode_values.h"

#include <datetime.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <tuple>

#include "episode/calendar.h"

namespace episode_grouper_python {

py::object episode_error;
py::object field_error_type;

namespace {

using F = eg::EpisodeField;

// The number an episode holds for `field`, or null for a field of text, dates or codes.
std::optional<int32_t>* number_slot(eg::Episode& e, F field) {
  switch (field) {
    case F::kAgeYears: return &e.age_years;
    case F::kAgeDays: return &e.age_days;
    case F::kLos: return &e.los;
    case F::kDischarge: return &e.discharge;
    case F::kBirthWeight: return &e.birth_weight;
    case F::kVentHours: return &e.vent_hours;
    default: return nullptr;
  }
}

bool is_code_list(F field) { return field == F::kSecondary || field == F::kProcedures; }

// Whether `type` (or a base of it) is named `name` after its module path:
// pandas' NaT and NA are told apart without importing pandas.
bool type_named(PyTypeObject* type, std::string_view name) {
  for (; type != nullptr; type = type->tp_base) {
    std::string_view full(type->tp_name);
    const size_t dot = full.rfind('.');
    if ((dot == std::string_view::npos ? full : full.substr(dot + 1)) == name) return true;
  }
  return false;
}

std::string text_of(PyObject* value, bool repr) {
  PyObject* s = repr ? PyObject_Repr(value) : PyObject_Str(value);
  if (!s) {
    PyErr_Clear();
    return "?";
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s, &size);
  std::string t = data ? std::string(data, static_cast<size_t>(size)) : std::string("?");
  if (!data) PyErr_Clear();
  Py_DECREF(s);
  return t;
}

}  // namespace

void set_field_whole(eg::Episode& episode, F field, int64_t value, eg::FieldErrors& errors) {
  std::optional<int32_t>* slot = number_slot(episode, field);
  if (slot && value >= -999'999'999 && value <= 999'999'999) {
    *slot = static_cast<int32_t>(value);
    return;
  }
  char text[24];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  eg::set_field_text(episode, field, std::string_view(text, static_cast<size_t>(end - text)), errors);
}

void set_field_real(eg::Episode& episode, F field, double value, eg::FieldErrors& errors) {
  if (std::isnan(value)) return;
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    set_field_whole(episode, field, static_cast<int64_t>(value), errors);
    return;
  }
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  eg::set_field_text(episode, field, std::string_view(text, static_cast<size_t>(end - text)), errors);
}

void set_field_date(eg::Episode& episode, F field, int32_t yyyymmdd, eg::FieldErrors& errors) {
  if (field == F::kBirthDate) episode.birth_date = yyyymmdd;
  else if (field == F::kRecordDate) episode.record_date = yyyymmdd;
  else eg::set_field_text(episode, field, eg::date_text(yyyymmdd), errors);
}

Cell FieldColumn::bad_cell(PyObject* value, const std::string& why) {
  Cell c;
  c.kind = Cell::kBad;
  c.whole = static_cast<int64_t>(bad.size());
  bad.emplace_back(text_of(value, false), text_of(value, true) + why);
  return c;
}

Cell FieldColumn::cell_of(PyObject* value, bool in_list) {
  Cell c;
  if (value == Py_None) return c;
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (!data) {
      PyErr_Clear();
      return bad_cell(value, " cannot be written in UTF-8");
    }
    c.kind = Cell::kText;
    c.whole = static_cast<int64_t>(text.size());
    c.size = static_cast<uint32_t>(std::min<Py_ssize_t>(size, UINT32_MAX));
    text.append(data, c.size);
    return c;
  }
  if (PyBytes_Check(value)) {
    c.kind = Cell::kText;
    c.whole = static_cast<int64_t>(text.size());
    c.size = static_cast<uint32_t>(std::min<Py_ssize_t>(PyBytes_GET_SIZE(value), UINT32_MAX));
    text.append(PyBytes_AS_STRING(value), c.size);
    return c;
  }
  if (PyFloat_Check(value)) {
    c.kind = Cell::kReal;
    c.real = PyFloat_AS_DOUBLE(value);
    return c;
  }
  if (PyBool_Check(value)) return bad_cell(value, " is not a value of " + std::string(eg::episode_field_name(field)));
  const bool sequence = PyList_Check(value) || PyTuple_Check(value) || type_named(Py_TYPE(value), "ndarray");
  if (PyLong_Check(value) || (PyIndex_Check(value) && !sequence && !PyDate_Check(value))) {
    PyObject* number = PyNumber_Index(value);
    if (!number) {
      PyErr_Clear();
      return bad_cell(value, " is not a whole number");
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number, &overflow);
    Py_DECREF(number);
    if (overflow != 0) return bad_cell(value, " is not a whole number of at most nine digits");
    c.kind = Cell::kWhole;
    c.whole = v;
    return c;
  }
  if (type_named(Py_TYPE(value), "NaTType") || type_named(Py_TYPE(value), "NAType")) return c;
  if (PyDate_Check(value)) {
    c.kind = Cell::kDate;
    c.whole = PyDateTime_GET_YEAR(value) * 10000 + PyDateTime_GET_MONTH(value) * 100 + PyDateTime_GET_DAY(value);
    return c;
  }
  if (type_named(Py_TYPE(value), "datetime64")) {  // a NumPy date: its text, "2005-05-15" or "NaT"
    py::str shown = py::str(py::handle(value));
    if (std::string_view(PyUnicode_AsUTF8(shown.ptr())) == "NaT") return c;
    return cell_of(shown.ptr(), in_list);
  }
  if (sequence) {
    if (in_list || !is_code_list(field)) {
      return bad_cell(value, in_list ? " is not a code" : " is a list: only secondary and procedures take lists");
    }
    PyObject* copy = PySequence_List(value);
    if (!copy) throw py::error_already_set();
    py::list list = py::reinterpret_steal<py::list>(copy);
    c.kind = Cell::kList;
    c.whole = static_cast<int64_t>(items.size());
    c.size = static_cast<uint32_t>(list.size());
    for (const py::handle& item : list) items.push_back(cell_of(item.ptr(), true));
    return c;
  }
  return bad_cell(value, " (" + std::string(Py_TYPE(value)->tp_name) + ") is not a value of " +
                             std::string(eg::episode_field_name(field)));
}

void FieldColumn::read(PyObject* value) {
  if (!PyDateTimeAPI) PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw py::error_already_set();
  cells.push_back(cell_of(value, false));
}

void FieldColumn::apply_cell(const Cell& c, eg::Episode& episode, eg::FieldErrors& errors) const {
  switch (c.kind) {
    case Cell::kMissing: break;
    case Cell::kText:
      eg::set_field_text(episode, field, std::string_view(text.data() + c.whole, c.size), errors);
      break;
    case Cell::kWhole: set_field_whole(episode, field, c.whole, errors); break;
    case Cell::kReal: set_field_real(episode, field, c.real, errors); break;
    case Cell::kDate: set_field_date(episode, field, static_cast<int32_t>(c.whole), errors); break;
    case Cell::kList:
      for (uint32_t i = 0; i < c.size; ++i) apply_cell(items[static_cast<size_t>(c.whole) + i], episode, errors);
      break;
    case Cell::kBad: {
      const auto& [value, message] = bad[static_cast<size_t>(c.whole)];
      errors.add(field, value, message);
      break;
    }
  }
}

void FieldColumn::apply(size_t row, eg::Episode& episode, eg::FieldErrors& errors) const {
  switch (kind) {
    case kCells: apply_cell(cells[row], episode, errors); break;
    case kWholes:
      if (!missing || !missing[row]) set_field_whole(episode, field, wholes[row], errors);
      break;
    case kReals: set_field_real(episode, field, reals[row], errors); break;
    case kDays:
      if (wholes[row] != INT64_MIN) {
        set_field_date(episode, field, grouper::yyyymmdd_of(grouper::civil_from_days(wholes[row])), errors);
      }
      break;
  }
}

py::str utf8_text(std::string_view text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

void raise_episode_error(const eg::FieldErrors& errors,
                         const std::vector<std::tuple<std::string, std::string, std::string>>& unknown,
                         const std::string& what, const py::object& index) {
  py::list list;
  std::string message = what;
  auto add = [&](std::string_view field, std::string_view value, std::string_view text) {
    list.append(field_error_type(utf8_text(field), utf8_text(value), utf8_text(text)));
    message += list.size() == 1 ? ": " : "; ";
    message.append(field);
    message += ": ";
    message.append(text);
  };
  for (const auto& [field, value, text] : unknown) add(field, value, text);
  for (const eg::FieldError& e : errors) add(eg::episode_field_name(e.field), e.value, e.message);
  py::object exc = episode_error(utf8_text(message));
  exc.attr("errors") = list;
  exc.attr("index") = index ? index : py::none();
  PyErr_SetObject(episode_error.ptr(), exc.ptr());
  throw py::error_already_set();
}

}  // namespace episode_grouper_python
