// Bodies of methods whose procedure is not built yet.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace trov {
namespace py = pybind11;

[[noreturn]] inline void not_implemented(const char* qualname) {
  PyErr_SetString(PyExc_NotImplementedError, (std::string(qualname) + " is not implemented yet").c_str());
  throw py::error_already_set();
}

}  // namespace trov
