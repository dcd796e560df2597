// method="normalized" of ConformalRegressor: residuals scaled by each row's
// difficulty sigma(x) + beta, sigma from a model of |residual| learnt by fit
// (Papadopoulos, Gammerman and Vovk, 2008; Lei et al., 2018): valid for any sigma
// fixed before the calibration rows are seen.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "diagnoser/conformal/state.h"

namespace trov {
namespace py = pybind11;
namespace conformal {

// What fit publishes for "normalized": the difficulty model fitted on (x, |residual|)
// as difficulty_model_ (removed when `difficulty` is a plain callable, which needs
// no fit) and the fit rows' mean |residual| as residual_scale_.
Items fitted_difficulty(const py::object& self, const py::object& x,
                        const py::array_t<double>& residual);

// The beta a calibration scores with, read from the settings as they stand: beta
// itself, or for None a tenth of residual_scale_. ValueError unless it is finite and
// > 0, since sigma + beta <= 0 would flip the order of the residuals.
double calibration_beta(const Snapshot& state);

// beta_ as calibrate stored it, checked.
double stored_beta(const Snapshot& state);

// sigma(x), one finite value per row, owned alone (unclipped): from difficulty_model_
// or the saved callable.
py::array_t<double> difficulty_of(const Snapshot& state, const py::object& x, const char* part);

// sigma[i] = max(sigma[i], 0) + beta, in place. Pure C++.
void scale_of_rows(double* sigma, int64_t rows, double beta);

}  // namespace conformal
}  // namespace trov
