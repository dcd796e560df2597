#include "diagnoser/common/conformal.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"

namespace trov {

bool calibration_missing(const py::object& calib_x, const py::object& calib_y) {
  return calib_x.is_none() || calib_y.is_none();
}

void warn_in_sample_calibration() {
  // Errors on the rows a model was fitted on understate its errors on new rows.
  const char* message =
      "calib_x or calib_y is None, so the calibration rows are taken from train_x and "
      "train_y, the data the model was trained on: its errors there are smaller than on new "
      "rows, and the coverage can fall short of 1 - alpha. Pass held-out calib_x and calib_y.";
  if (PyErr_WarnEx(PyExc_UserWarning, message, 1) < 0) throw py::error_already_set();
}

CalibrationSplit calibration_split(const py::object& train_x, const py::object& train_y,
                                   bool seeded) {
  py::object split = ns("train_test_split");
  py::object parts =
      seeded ? split(train_x, train_y, py::arg("test_size") = 0.1, py::arg("random_state") = 0)
             : split(train_x, train_y, py::arg("test_size") = 0.1);
  std::vector<py::object> part = unpack(parts, 4);
  warn_in_sample_calibration();
  return {part[0], part[1], part[2], part[3]};
}

namespace {

py::object level_for(const py::object& alpha, const py::object& n) {
  py::object one = py::int_(1);
  return (one - alpha) * (n + one) / n;
}

bool inside_unit_interval(const py::object& alpha) {
  return truth(compare(alpha, py::int_(0), Py_GT)) && truth(compare(alpha, py::int_(1), Py_LT));
}

}  // namespace

std::string alpha_note(const py::object& alpha) {
  if (inside_unit_interval(alpha)) return "";
  return "alpha must lie strictly between 0 and 1, got " + text_of(alpha);
}

void refuse_alpha_one(const py::object& self) {
  py::object alpha = attr_if_present(self, "alpha");
  if (!alpha) return;
  // Only a single number: what an array alpha does is numpy's matter.
  if (!truth(compare(ns("np").attr("ndim")(alpha), py::int_(0), Py_EQ))) return;
  if (!truth(compare(alpha, py::int_(1), Py_EQ))) return;
  throw py::value_error(alpha_note(alpha) +
                        ": at 1 the conformal level is 0 and the coverage meaningless");
}

namespace {

// The least number of calibration rows whose level is at most 1 for this alpha,
// by the very arithmetic of the level; 0 when there is no sensible count.
long long least_rows(const py::object& alpha) try {
  double a = py::float_(alpha).cast<double>();
  double estimate = std::floor((1 - a) / a);
  if (!std::isfinite(estimate) || estimate > 1e15) return 0;
  // Rounding may move the boundary by a row or so either way.
  for (long long n = std::max(1.0, estimate - 2); n <= estimate + 3; ++n) {
    if (truth(compare(level_for(alpha, py::int_(n)), py::int_(1), Py_LE))) return n;
  }
  return 0;
} catch (py::error_already_set&) {
  return 0;
}

std::string level_note(const py::object& alpha, const py::object& n, const py::object& level) {
  std::string outside = alpha_note(alpha);
  if (!outside.empty()) return outside;
  if (!truth(compare(level, py::int_(1), Py_GT))) return "";
  std::string note = "the conformal level (1 - alpha) * (n + 1) / n is " + text_of(level) +
                     " for n = " + text_of(n) + " calibration rows and alpha = " + text_of(alpha) +
                     ", above 1";
  if (long long least = least_rows(alpha)) {
    note += ": give at least " + std::to_string(least) + " calibration rows for this alpha";
  }
  return note;
}

}  // namespace

py::object conformal_quantile(const py::object& scores, const py::object& alpha,
                              const py::object& n) {
  py::object level = with_note([&] { return level_for(alpha, n); },
                               [&](const py::error_already_set& e) -> std::string {
                                 if (!e.matches(PyExc_ZeroDivisionError)) return "";
                                 return "the calibration part is empty";
                               });
  return with_note([&] { return ns("np").attr("quantile")(scores, level); },
                   [&](const py::error_already_set& e) -> std::string {
                     if (!e.matches(PyExc_ValueError)) return "";
                     return level_note(alpha, n, level);
                   });
}

py::object flatten(const py::object& y) { return ns("np").attr("ravel")(y); }

}  // namespace trov
