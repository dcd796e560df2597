// ConformalRegressor's predictive distributions ("absolute" and "normalized"): what
// calibrate keeps of the signed scores, and the calls that read them back.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "diagnoser/common/method.h"
#include "diagnoser/conformal/calibration.h"
#include "diagnoser/conformal/predictive_kernels.h"
#include "diagnoser/conformal/state.h"

namespace trov {
namespace py = pybind11;
namespace conformal {

// `given` (a model's or a callable's answer) as one float per row: a flat array or
// a single column, finite, owned alone; ValueError naming `source` otherwise.
py::array_t<double> one_per_row(const py::object& given, const char* source, const char* part);

// What calibrate adds for a predictive distribution: predictive_scores_ (every
// row's signed score, ascending), predictive_group_scores_ (group -> its own, when
// by group) and the prediction stream of the CDF's tau. `scores` are the signed
// scores (y - prediction) / scale, `codes` one per score when by group. With `kept`
// false (cqr, or a shift) the same names are removed.
Items predictive_state(bool kept, const py::array_t<double>& scores, Conditional mode,
                       const py::array_t<int64_t>& codes, const py::object& group_values,
                       const py::object& random_state);

// The stored scores as the kernels read them: stratum 0 every row, 1 .. G the
// groups of groups_ in order, G + 1 the stratum of unseen groups (none under
// fallback="full", every row under "marginal").
struct PredictiveTable {
  SignedStrata strata;
  py::object calibrated;  // predictive_scores_ as read, to tell a later calibrate
  py::array known;        // by group: the copy of groups_ the strata follow
  bool by_group = false;
};
// Read and checked once; ValueError naming why there is no distribution.
PredictiveTable predictive_table(const Snapshot& state);

// Per row, its stratum in the table from its group code (code_of_group[i] among
// groups_, anything else unseen). Pure C++.
void row_strata(const PredictiveTable& table, const int64_t* code, int64_t rows, int64_t* out);

// The tau of `rows` rows, 1 - U for the next U of the prediction stream, in (0, 1].
// `start`: the first counter reserve_draws gave. Pure C++.
void cdf_taus(const StreamKey& key, uint64_t start, int64_t rows, double* tau);

// pit_ and crps_ of a test part whose rows `rows` describe, y their targets, for
// evaluate (which publishes them). Reserves the rows' tau; all Python work first.
Items predictive_evaluation(const py::object& self, const PredictiveTable& table,
                            const py::array_t<int64_t>& strata, const py::array_t<double>& centre,
                            const py::array_t<double>& scale, const py::array_t<double>& y);

py::object predict_cdf(const Args& a);
py::object predict_quantiles(const Args& a);

}  // namespace conformal
}  // namespace trov
