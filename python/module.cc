// The Python module episode_grouper._core.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(_core, m) { m.doc() = "The grouper's C++ core."; }
