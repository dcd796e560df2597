// Several coverage reports of one kind side by side: `compare_reports`.
#pragma once

#include <pybind11/pybind11.h>

#include "diagnoser/common/method.h"

namespace trov {
namespace py = pybind11;
namespace report {

// The `ReportComparison` class and the `compare_reports` function.
py::object create_report_comparison(const ModuleContext& module);
py::object create_compare_reports(const ModuleContext& module);

}  // namespace report
}  // namespace trov
