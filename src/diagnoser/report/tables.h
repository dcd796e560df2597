// The report's content: its summary and tables, computed from a fitted procedure.
#pragma once

#include <pybind11/pybind11.h>

namespace trov {
namespace py = pybind11;
namespace report {

struct Settings {
  double confidence;
  py::object bins;  // int >= 1
};

// The summary dict and the tables dict of a fitted AdaptiveConformalClassifier.
py::tuple classification_report(const py::object& fitted, const Settings& settings);
// ... and of a fitted ResidualConformalRegressor.
py::tuple regression_report(const py::object& fitted, const Settings& settings);

}  // namespace report
}  // namespace trov
