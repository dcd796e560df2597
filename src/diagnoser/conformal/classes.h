// The module's classes.
#pragma once

#include <pybind11/pybind11.h>

#include "diagnoser/common/names.h"

namespace trov {
namespace py = pybind11;
namespace conformal {

py::object create_conformal_classifier(const ModuleContext& module);
py::object create_conformal_regressor(const ModuleContext& module);
py::object create_cross_conformal_classifier(const ModuleContext& module);
py::object create_cross_conformal_regressor(const ModuleContext& module);
py::object create_density_ratio(const ModuleContext& module);
py::object create_online_regressor(const ModuleContext& module);
py::object create_online_classifier(const ModuleContext& module);
py::object create_exchangeability_martingale(const ModuleContext& module);

}  // namespace conformal
}  // namespace trov
