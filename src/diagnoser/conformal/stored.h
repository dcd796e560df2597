// The sorted calibration scores calibrate keeps, and what they give without a new
// calibration: p-values, and sets or intervals at levels other than alpha_.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "diagnoser/common/method.h"
#include "diagnoser/conformal/calibration.h"
#include "diagnoser/conformal/estimator.h"
#include "diagnoser/conformal/state.h"
#include "diagnoser/conformal/stored_kernels.h"

namespace trov {
namespace py = pybind11;
namespace conformal {

// What a calibration adds: calibration_scores_ (every score sorted, or a dict class
// or group -> its sorted scores when conditional) and the private layout the
// kernels read (every row first, then one stratum per code 0 .. groups - 1).
// `codes` (one per score, 0 .. groups - 1) is read only when groups > 0.
Items stored_state(const py::array_t<double>& scores, const py::array_t<int64_t>& codes,
                   int64_t groups, const py::object& names);

// The stored scores read back, copied and checked: `strata` of them besides the
// first (classes or groups), each ascending and free of NaN.
SortedScores stored_scores(const Snapshot& state, int64_t strata);

// The levels a call asks for: None (alpha_, as calibrated), one alpha, or a
// sequence of them, each in (0, 1) and rounded as calibrate rounds alpha.
struct Levels {
  bool given = false;  // not None: the thresholds come from the stored scores
  bool many = false;   // a sequence: results get a trailing axis of levels
  std::vector<double> rounded;
  std::vector<ExactAlpha> exact;
  int64_t count() const { return static_cast<int64_t>(rounded.size()); }
  // The levels as published: a float, or a 1-D float array.
  py::object published() const;
};
Levels checked_levels(const py::object& alpha);

// Per stratum and level, the threshold a calibration at that level would find and
// whether the stratum falls back there; stratum 0 is every row, the last one (past
// the strata) is the fallback's, for groups unseen in calibration. (1 + strata + 1)
// x levels, row-major. ValueError when every row together is too few for a level.
struct LevelTable {
  int64_t levels = 0;
  std::vector<double> tau;
  std::vector<char> falls;
  int64_t unseen() const { return static_cast<int64_t>(tau.size()) / levels - 1; }
  LevelView view() const { return {tau.data(), falls.data(), levels, unseen()}; }
};
LevelTable level_table(const SortedScores& scores, const Levels& levels, bool full_fallback);

// Whether the calibration's fallback was "full", read off fallback_threshold_.
bool full_fallback_of(const Snapshot& state);

// ValueError for a weighted calibration: its thresholds depend on each row's
// weight, which the stored scores alone do not give. `what` names the call.
void refuse_weighted(const Snapshot& state, const char* what);

// A (rows, columns, levels) result as the caller's output setting wants it: the
// array itself, or a DataFrame whose columns are the MultiIndex (alpha, column)
// level by level, so that frame[alpha] is that level's (rows, columns) frame. The
// fallback mask (rows, levels) becomes a DataFrame with the alphas as columns.
py::object published_levels(const py::array& values, const py::object& columns,
                            const char* column_name, const py::array_t<bool>& fallback,
                            const Levels& levels, const Output& output,
                            const py::object& return_fallback);

// ConformalClassifier.predict_pvalues.
py::object predict_pvalues(const Args& a);

}  // namespace conformal
}  // namespace trov
