// The class Reliability_without_uncertain.
#pragma once

#include <pybind11/pybind11.h>

#include "diagnoser/common/names.h"

namespace trov {
namespace py = pybind11;

// Creates the class with its methods and their default objects.
py::object create_significance_check(const ModuleContext& module);

}  // namespace trov
