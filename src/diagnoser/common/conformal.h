// The calibration split and the conformal level shared by both procedures.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace trov {
namespace py = pybind11;

// The four parts `train_x, calib_x, train_y, calib_y` of
// `train_test_split(train_x, train_y, test_size=0.1[, random_state=0])`, and
// then the warning of warn_in_sample_calibration.
struct CalibrationSplit {
  py::object train_x, calib_x, train_y, calib_y;
};
CalibrationSplit calibration_split(const py::object& train_x, const py::object& train_y,
                                   bool seeded);

// True when the caller left either calibration part out.
bool calibration_missing(const py::object& calib_x, const py::object& calib_y);

// The UserWarning that calibration rows taken from the training data make the
// coverage fall short.
void warn_in_sample_calibration();

// ValueError for the `alpha` attribute of `self` equal to 1: its level is 0 and
// every set or interval as narrow as it gets, with no error from numpy. Other
// values outside (0, 1) fail in numpy or LightGBM with a note. Skipped when the
// attribute is missing, so that its later read fails as it would.
void refuse_alpha_one(const py::object& self);

// `np.quantile(scores, (1 - alpha) * (n + 1) / n)`, unclamped, with Python
// arithmetic so that the level is exactly the one the formula gives. numpy's
// error for a level outside [0, 1] gets a note: alpha outside (0, 1), or too few
// calibration rows and the least number that would do.
py::object conformal_quantile(const py::object& scores, const py::object& alpha,
                              const py::object& n);

// The note for an error that an alpha outside (0, 1) may have caused; empty
// when alpha lies inside.
std::string alpha_note(const py::object& alpha);

// `np.ravel(y)`: a flat numpy array for numpy arrays, pandas Series and lists alike.
py::object flatten(const py::object& y);

}  // namespace trov
