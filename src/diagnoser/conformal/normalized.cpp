#include "diagnoser/conformal/normalized.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/conformal/calibration.h"
#include "diagnoser/conformal/fitting.h"
#include "diagnoser/conformal/predictive.h"

namespace trov {
namespace conformal {
namespace {

// A tenth of the typical residual: rows the difficulty model calls easy (sigma near
// 0) still get about a tenth of a typical width, instead of a point, while sigma's
// spread across rows still sets the widths.
constexpr double kBetaShare = 0.1;

bool plain_callable(const py::object& difficulty) {
  return !difficulty.is_none() && !attr_if_present(difficulty, "fit") &&
         PyCallable_Check(difficulty.ptr());
}

py::object difficulty_estimator(const py::object& self) {
  py::object given = self.attr("difficulty");
  if (!given.is_none()) {
    if (!attr_if_present(given, "fit")) {
      throw py::type_error(
          "difficulty must be None, an estimator with fit and predict, or a "
          "callable sigma(x), got " +
          repr_of(given));
    }
    return ns("clone")(given);
  }
  // Smoother than a model of y: |residual| is noisier than y itself, and a sigma that
  // follows the noise widens the intervals it should narrow.
  py::dict params;
  params["n_estimators"] = 50;
  params["learning_rate"] = 0.05;
  params["min_child_samples"] = 40;
  params["max_depth"] = self.attr("depth");
  params["random_state"] = self.attr("random_state");
  params["verbose"] = -1;
  return ns("LGBMRegressor")(**params);
}

}  // namespace

Items fitted_difficulty(const py::object& self, const py::object& x,
                        const py::array_t<double>& residual) {
  const py::ssize_t rows = residual.size();
  if (rows == 0) throw py::value_error("fit needs at least one row to learn the difficulty from");
  py::array_t<double> target(rows);
  double total = 0;
  {
    const double* r = residual.data();
    double* t = target.mutable_data();
    py::gil_scoped_release release;
    for (py::ssize_t i = 0; i < rows; ++i) {
      t[i] = std::abs(r[i]);
      total += t[i];
    }
  }
  py::object scale = py::float_(total / static_cast<double>(rows));
  py::object difficulty = self.attr("difficulty");
  if (plain_callable(difficulty))
    return {{"difficulty_model_", py::object()}, {"residual_scale_", scale}};
  py::object model = difficulty_estimator(self);
  model.attr("fit")(x, target);
  return {{"difficulty_model_", model}, {"residual_scale_", scale}};
}

double calibration_beta(const Snapshot& state) {
  py::object beta = state.at("beta");
  double value = 0;
  if (beta.is_none()) {
    py::object scale = state.get("residual_scale_");
    if (!scale) {
      throw py::value_error(
          "beta=None takes a tenth of the mean absolute residual on the fit rows, but fit was "
          "not called: call fit(train_x, train_y) on rows other than the calibration rows, or "
          "give beta > 0 in the target's units");
    }
    value = kBetaShare * checked_threshold(scale, "residual_scale_");
  } else {
    PyObject* b = beta.ptr();
    if (PyBool_Check(b) || PyUnicode_Check(b) || !PyNumber_Check(b)) {
      throw py::type_error("beta must be a number > 0 or None, got " + repr_of(beta));
    }
    value = py::float_(beta).cast<double>();
  }
  if (!(value > 0) || !std::isfinite(value)) {
    throw py::value_error(
        "beta must be finite and > 0 (it keeps sigma(x) + beta positive, so that intervals do "
        "not invert and the residuals keep their order), got " +
        repr_of(py::float_(value)) + (beta.is_none() ? " from residual_scale_" : ""));
  }
  return value;
}

double stored_beta(const Snapshot& state) {
  double beta = checked_threshold(state.at("beta_"), "beta_");
  if (!(beta > 0) || !std::isfinite(beta)) tampered("beta_ is not finite and > 0");
  return beta;
}

py::array_t<double> difficulty_of(const Snapshot& state, const py::object& x, const char* part) {
  py::object difficulty = state.setting("difficulty");
  if (plain_callable(difficulty)) {
    return one_per_row(difficulty(x), "the difficulty callable returned", part);
  }
  py::object model = state.get("difficulty_model_");
  if (!model) {
    py::object error = ns("NotFittedError")(
        "method='normalized' needs the difficulty model that fit learns from the residuals of "
        "rows other than the calibration rows: call fit(train_x, train_y) first, or pass "
        "difficulty= a callable sigma(x) (e.g. a fitted model's predict)");
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
  }
  return one_per_row(model.attr("predict")(x), "the difficulty model's predict returned", part);
}

void scale_of_rows(double* sigma, int64_t rows, double beta) {
  for (int64_t i = 0; i < rows; ++i) sigma[i] = std::max(sigma[i], 0.0) + beta;
}

}  // namespace conformal
}  // namespace trov
