// Checks on the data parts a fit is given, made before the estimator is called.
#pragma once

#include <pybind11/pybind11.h>

namespace trov {
namespace py = pybind11;

// ValueError when the features `x` and the targets `y` of the `part` part
// ("training", "test", "calibration") differ in row count, naming both. Parts
// that are None or have no row count (no shape, no length) are left to the
// steps that read them.
void require_same_rows(const py::object& x, const py::object& y, const char* part,
                       const char* x_name, const char* y_name);

// The training, test and calibration pairs of a procedure's fit, in that order.
void require_same_rows(const py::object& train_x, const py::object& train_y,
                       const py::object& test_x, const py::object& test_y,
                       const py::object& calib_x, const py::object& calib_y);

}  // namespace trov
