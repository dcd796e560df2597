// What both conformal classes share: their settings, the exact rank of the
// threshold, thresholds per class or group with their fallback, the groups of
// rows and the random streams.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "diagnoser/conformal/state.h"

namespace trov {
namespace py = pybind11;
namespace conformal {

// alpha in (0, 1), rounded to 12 significant digits so that arithmetic noise such
// as 1 - 0.9 = 0.09999999999999998 reads as the 0.1 meant; TypeError or ValueError
// otherwise. The rounded value is the one calibrated for and stored as alpha_.
double rounded_alpha(const py::object& alpha);

// alpha as the exact fraction the shortest decimal spelling of its rounded value
// names (0.1 is 1/10), so that the rank below is exact.
struct ExactAlpha {
  py::object numerator, denominator;  // Python ints
};
ExactAlpha checked_alpha(const py::object& alpha);

// k = ceil((n + 1)(1 - alpha)): the rank of the threshold among n sorted scores,
// which gives coverage of at least 1 - alpha (Vovk et al., 2005; Lei et al., 2018).
int64_t rank_needed(const ExactAlpha& alpha, int64_t n);
// The least n with k <= n, a Python int (a tiny alpha needs more rows than int64
// counts), and the same clamped to int64 for comparisons with row counts.
py::object least_rows(const ExactAlpha& alpha);
int64_t least_rows_clamped(const ExactAlpha& alpha);

enum class Conditional { kNone, kClass, kGroup };
Conditional checked_conditional(const py::object& value, bool classes_allowed);
// True for "full" (an infinite threshold), false for "marginal".
bool checked_fallback(const py::object& value);

// One of `choices` (a string), else ValueError naming the parameter and the choices.
std::string checked_choice(const py::object& value, const char* parameter,
                           std::initializer_list<const char*> choices);

// numpy itself. The module's own array work is no documented call, so a name
// rebound in its namespace does not reach it; only the estimator's methods and
// the user's callables run user code.
py::module_ numpy();

// `np.ravel(np.array(y))`: flat, and a copy of y's values.
py::array flat_array(const py::object& y);

// `groups` for `rows` rows of `x`: an array, or a callable applied to x; flat. A
// pandas Series is aligned to a pandas x by index (ValueError when the indexes hold
// different labels); otherwise it is read by position.
py::array resolve_groups(const py::object& groups, const py::object& x, py::ssize_t rows,
                         const char* part);

// The distinct groups of the calibration rows, sorted, and each row's index among
// them (checked: one per row, each in 0 .. len(values) - 1).
struct GroupCodes {
  py::array values;
  py::array_t<int64_t> codes;
};
GroupCodes group_codes(const py::object& groups, const py::object& x, py::ssize_t rows);

// What calibrate reads of the object once, before it calls the model.
struct CalibrationSettings {
  py::object alpha;  // as given, for messages
  double rounded;    // alpha_
  ExactAlpha exact;
  bool full_fallback;
};
CalibrationSettings calibration_settings(const py::object& alpha, const py::object& fallback);

// The thresholds calibrated_state found, for checks on the calibration rows.
struct FoundThresholds {
  double marginal = 0;
  std::vector<double> per_group;  // one per group value, the fallback where it applies
};

// The fitted state from the calibration scores, in publishing order: groups_,
// stratum_counts_ and stratum_ranks_ when conditional (removed otherwise), alpha_,
// rank_, threshold_, fallback_threshold_, fallback_groups_, n_calibration_,
// threshold_ties_.
// Warns of groups that fall back or are small. `codes` (one per score, 0 ..
// len(group_values) - 1) for conditional modes; `kind` is "class" or "group".
Items calibrated_state(const CalibrationSettings& settings, const py::array_t<double>& scores,
                       Conditional mode, const py::array_t<int64_t>& codes,
                       const py::object& group_values, const char* kind,
                       FoundThresholds* found = nullptr);

// One threshold per group of a group-conditional state, read and checked once.
struct GroupTable {
  py::object known;  // groups_, a 1-D array
  std::vector<double> tau;
  std::vector<char> falls_back;
  double fallback_tau = 0;
};
GroupTable group_table(const Snapshot& state);

// Per row, the group's threshold (unseen groups, code outside the table, get the
// fallback) and whether it is a fallback one. Pure C++.
void group_rows(const GroupTable& table, const int64_t* code, int64_t rows, double* tau,
                bool* marked);

// The single threshold of a state that is not conditional.
double marginal_threshold(const Snapshot& state);

// One threshold per class of a class-conditional state, in the order of `names`
// (classes_.tolist()), and whether any class falls back.
std::vector<double> class_thresholds(const Snapshot& state, const py::list& names,
                                     bool* any_fallback);

// The random streams. The randomised scores are valid only when every calibration
// and test U is i.i.d. Uniform(0, 1), independent of the data (Romano, Sesia and
// Candes, 2020). A counter-based generator gives that however rows are split into
// calls: each draw is Philox of (key, counter), the key from the entropy and the
// stream (0: calibration, 1: prediction, or (1, partition)), the counter the draw's
// index in its stream, so a U depends on its counter alone, and a call reserves
// its counters in one integer step that threads cannot interleave. Seeding a
// generator per call or per partition (seed + partition) would instead repeat or
// overlap draws.
struct StreamKey {
  uint64_t word[2];
};

// The entropy calibrate stores: random_state itself, or fresh entropy for None
// (TypeError or ValueError, with a note, for anything else). A Python int.
py::object stream_entropy(const py::object& random_state);

// The key of stream `stream` (and of one partition of it, unless `partition` is
// None: a non-negative int) under `entropy`, from numpy's SeedSequence.
StreamKey stream_key(const py::object& entropy, int stream, const py::object& partition);

// Where the prediction stream stands: the attribute holds (entropy, next counter).
constexpr const char* kPredictionStream = "_prediction_stream";

// The prediction stream's entropy and `rows` counters of it, the object's counter
// moved past them in one step that no other thread interleaves with.
struct Reserved {
  py::object entropy;
  uint64_t start = 0;
};
// `calibrated`: the threshold_ the caller's thresholds came from. When the object
// holds another one, a calibrate has published a new stream since the caller read
// its state: old thresholds must not take the new stream's draws (the next call
// would not repeat what a fresh calibrate gives), and Recalibrated is thrown so
// that the caller reads the state again.
struct Recalibrated : std::exception {};
// `identity` names the attribute `calibrated` was read from.
Reserved reserve_draws(const py::object& self, uint64_t rows, const py::object& calibrated,
                       const char* identity = "threshold_");
// The prediction stream as the snapshot holds it, nothing reserved.
Reserved prediction_stream(const Snapshot& state);

// A UserWarning when `alpha` no longer is the alpha_ the object was calibrated for.
void warn_if_alpha_changed(const Snapshot& state);

// warnings.warn(message, UserWarning), as from the caller's line.
void warn(const std::string& message);

// Raises scikit-learn's NotFittedError unless the state has `attribute`.
void require_state(const Snapshot& state, const char* attribute, const char* call);

// `x` as a C-contiguous float64 array of `ndim` dimensions, finite, named in errors.
py::array_t<double> numbers(const py::object& x, int ndim, const char* source, const char* what,
                            const char* part);

// The pair (values, mask) when the mask is asked for, else the values.
py::object with_fallback(const py::object& values, const py::object& mask,
                         const py::object& return_fallback);

}  // namespace conformal
}  // namespace trov
