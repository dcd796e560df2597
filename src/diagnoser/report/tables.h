// The report's content: its summary, tables and findings, computed from a fitted procedure.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

namespace trov {
namespace py = pybind11;
namespace report {

struct Settings {
  double confidence;
  int64_t bins;       // >= 1; larger values than rows make no difference
  py::object test_x;  // None: the fitted object's own, if any
};

// (summary dict, tables dict, findings list) of a fitted AdaptiveConformalClassifier.
py::tuple classification_report(const py::object& fitted, const Settings& settings);
// ... and of a fitted ResidualConformalRegressor.
py::tuple regression_report(const py::object& fitted, const Settings& settings);

}  // namespace report
}  // namespace trov
