// What the classifiers of the module share about scores: the score settings, the
// model's probabilities as checked, and the warning for test labels of no class.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "diagnoser/conformal/kernels.h"
#include "diagnoser/conformal/state.h"

namespace trov {
namespace py = pybind11;
namespace conformal {

// The settings a call works with, read once.
struct Rule {
  ScoreRule rule;
  bool randomized = false;
};

// score, lam, k_reg and randomized as calibrate saved them (or as they stand),
// checked; ValueError naming the bad one.
Rule rule_of(const Snapshot& state);

// model.predict_proba(x), a 2-D float64 array owned by the caller alone.
py::array_t<double> probabilities(const py::object& model, const py::object& x, const char* part);

// Every row in [0, 1] and summing to 1 within float32's slack; ValueError naming
// the first row that is not.
void require_distributions(const py::array_t<double>& proba, const char* part);

// The partition a call predicts for, or None: a non-negative int (ValueError).
py::object checked_partition(const py::object& partition);

// A UserWarning naming the test labels that are no class (label[i] == kNotAClass),
// with their counts.
void warn_unknown_labels(const py::array& y, const py::array_t<int64_t>& label,
                         const py::object& classes);

}  // namespace conformal
}  // namespace trov
