// Calibration weighted for a covariate shift: what calibrate stores and what the
// predictions read back. The thresholds themselves are in weighted_kernels.h.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "diagnoser/conformal/calibration.h"
#include "diagnoser/conformal/kernels.h"
#include "diagnoser/conformal/state.h"
#include "diagnoser/conformal/weighted_kernels.h"

namespace trov {
namespace py = pybind11;
namespace conformal {

// `shift` as calibrate takes it: None, or a callable from x to weights (a fitted
// DensityRatio); TypeError otherwise.
py::object checked_shift(const py::object& shift);

// shift(x): one finite weight >= 0 per row, owned alone.
py::array_t<double> shift_weights(const py::object& shift, const py::object& x, py::ssize_t rows,
                                  const char* part);

// What a calibration adds to the fitted state: shift_ (None when not weighted),
// calibration_weights_, ess_ and each stratum's scores ascending with their weights
// (every row first, then one per code 0 .. groups - 1, flagged when it falls back).
// `codes` is null without strata; `falls_back` has one flag per code.
// `names` are the strata's classes or groups (`kind`), for the warning when one
// holds weight 0 only.
Items weighted_state(const py::object& shift, const py::array_t<double>& scores,
                     const py::array_t<double>& weights, const int64_t* codes, int64_t groups,
                     const std::vector<char>& falls_back, const py::object& names,
                     const char* kind);

// Per code 0 .. strata - 1, whether its stratum has fewer rows than alpha needs
// (calibrated_state's fallback rule). `codes` was checked by calibrated_state.
std::vector<char> falling_back(const py::array_t<int64_t>& codes, int64_t strata,
                               const CalibrationSettings& settings);

// A weighted state read back: one stratum per entry, copied and checked.
struct WeightedTable {
  py::object shift;  // None when the calibration was not weighted
  std::vector<std::vector<double>> scores, weights;
  std::vector<char> falls_back;
  bool full_fallback = true;  // fallback="full": strata that fall back get +infinity
  Multiplier b, b_minus_a;    // alpha_ = a / b
  bool weighted() const { return !shift.is_none(); }
  std::size_t strata() const { return scores.size(); }
};
// `strata`: how many entries the mode needs (1 + classes or groups).
WeightedTable weighted_table(const Snapshot& state, std::size_t strata);

// The strata as kernels, built with the GIL released.
std::vector<WeightedStratum> weighted_strata(const WeightedTable& table);

// Per row, the threshold of its stratum for its weight w[i] (pure C++): stratum 0
// (every row) when `code` is null, else the stratum of code[i], or the fallback
// for an unseen code or a stratum that falls back. `marked` flags fallback rows and
// rows whose threshold is infinite.
void weighted_rows(const std::vector<WeightedStratum>& strata, const WeightedTable& table,
                   const int64_t* code, const double* w, int64_t rows, double* tau, bool* marked);
// The sets of each row (rows x classes) when each class has its own stratum: a
// class's threshold for the row's weight w[i], its score under `rule`.
void weighted_class_sets(const std::vector<WeightedStratum>& strata, const WeightedTable& table,
                         const Probabilities& proba, const ScoreRule& rule, const double* w,
                         bool* sets, bool* marked);

// Whether the calibration that made `state` was weighted.
bool is_weighted(const Snapshot& state);

}  // namespace conformal
}  // namespace trov
