// Access to the module namespace from method bodies.
#pragma once

#include <pybind11/pybind11.h>

namespace trov {
namespace py = pybind11;

inline constexpr const char* kModuleName = "trov.diagnoser.reliability_evaluation";

// Looks `name` up in the module namespace when the statement runs, then in the
// builtins; raises NameError when neither has it.
py::object ns(const char* name);

// The module namespace the look-ups read; set while the module is initialised.
void set_namespace(py::handle globals);
py::handle module_namespace();

// The shared `figsize` default (8, 6), created once per import.
py::object default_figsize();
void create_constants();

}  // namespace trov
