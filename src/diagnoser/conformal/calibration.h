// What both conformal classes share: their settings, the exact rank of the
// threshold, thresholds per class or group with their fallback, the groups of
// rows and the random streams.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

namespace trov {
namespace py = pybind11;
namespace conformal {

// alpha in (0, 1) as the exact fraction its shortest decimal spelling names
// (0.1 is 1/10), so that the rank below is exact.
struct ExactAlpha {
  py::object numerator, denominator;  // Python ints
};
ExactAlpha checked_alpha(const py::object& alpha);

// k = ceil((n + 1)(1 - alpha)): the rank of the threshold among n sorted scores,
// which gives coverage of at least 1 - alpha (Vovk et al., 2005; Lei et al., 2018).
int64_t rank_needed(const ExactAlpha& alpha, int64_t n);
// The least n with k <= n.
int64_t least_rows(const ExactAlpha& alpha);

enum class Conditional { kNone, kClass, kGroup };
Conditional checked_conditional(const py::object& value, bool classes_allowed);
// True for "full" (an infinite threshold), false for "marginal".
bool checked_fallback(const py::object& value);

// One of `choices` (a string), else ValueError naming the parameter and the choices.
std::string checked_choice(const py::object& value, const char* parameter,
                           std::initializer_list<const char*> choices);

// `groups` for `rows` rows of `x`: an array, or a callable applied to x; flat.
py::object resolve_groups(const py::object& groups, const py::object& x, py::ssize_t rows,
                          const char* part);

// The distinct groups of the calibration rows, sorted, and each row's index among them.
struct GroupCodes {
  py::object values, codes;
};
GroupCodes group_codes(const py::object& groups, const py::object& x, py::ssize_t rows);

// Sets threshold_, fallback_threshold_, fallback_groups_, n_calibration_ and, when
// conditional, groups_, from the calibration scores; warns of groups that fall back
// or are small. `codes` (one per score, 0 .. len(group_values) - 1) for conditional
// modes; `kind` is "class" or "group" for the messages.
void store_thresholds(const py::object& self, py::array_t<double> scores, Conditional mode,
                      const py::object& codes, const py::object& group_values, const char* kind);

// The thresholds of the calibrated state for `rows` rows: one per row for groups
// (unseen groups get the fallback), the marginal one otherwise. `fallback` marks
// the rows predicted with a fallback threshold.
struct RowThresholds {
  py::array_t<double> per_row;
  py::array_t<bool> fallback;
};
RowThresholds row_thresholds(const py::object& self, Conditional mode, const py::object& groups,
                             py::ssize_t rows);

// One threshold per class column for the classifier (marginal or per class), and
// whether any class falls back.
std::vector<double> class_thresholds(const py::object& self, Conditional mode, py::ssize_t classes,
                                     bool* any_fallback);

// `rows` Uniform(0, 1) draws from stream `stream` (0: calibration, 1: prediction)
// derived from `random_state`; each call restarts the stream.
py::array_t<double> uniforms(const py::object& random_state, int stream, py::ssize_t rows);

// Raises scikit-learn's NotFittedError unless `self` has `attribute`.
void require_state(const py::object& self, const char* attribute, const char* call);

// `x` as a C-contiguous float64 array of `ndim` dimensions, finite, named in errors.
py::array_t<double> numbers(const py::object& x, int ndim, const char* source, const char* what,
                            const char* part);

// The pair (values, mask) when the mask is asked for, else the values.
py::object with_fallback(const py::object& values, const py::object& mask,
                         const py::object& return_fallback);

}  // namespace conformal
}  // namespace trov
