// The class ResidualConformalRegressor.
#pragma once

#include <pybind11/pybind11.h>

#include "diagnoser/common/names.h"

namespace trov {
namespace py = pybind11;

// Creates the class with its methods and their default objects.
py::object create_residual_conformal_regressor(const ModuleContext& module);

}  // namespace trov
