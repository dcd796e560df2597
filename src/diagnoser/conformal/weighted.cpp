#include "diagnoser/conformal/weighted.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "diagnoser/common/halves.h"
#include "diagnoser/common/items.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/conformal/fitting.h"

namespace trov {
namespace conformal {
namespace {

// Where the strata are kept: a tuple of (scores, weights, falls back) per stratum.
constexpr const char* kStrata = "_weighted_strata";
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Rows per thread below which a second thread costs more than it saves.
constexpr int64_t kRowsPerThread = 16384;

using py::literals::operator""_a;

// The Python int m as hi + lo, both doubles, exactly (m < 2^106).
Multiplier split(const py::object& m) {
  Multiplier out;
  out.hi = py::float_(m).cast<double>();
  py::object rest = m - py::int_(py::float_(out.hi));
  out.lo = py::float_(rest).cast<double>();
  return out;
}

// A 1-D float64 array of the state, copied so that no later call changes it.
std::vector<double> copied(const py::handle& value, const char* what) {
  py::array a = numpy().attr("array")(value, "dtype"_a = numpy().attr("float64"));
  if (a.ndim() != 1) tampered(std::string(what) + " is not one-dimensional");
  auto values = py::array_t<double, py::array::c_style>::ensure(a);
  if (!values) throw py::error_already_set();
  return std::vector<double>(values.data(), values.data() + values.size());
}

// The codes were checked against the strata when calibrated_state read them; a
// count read since may differ.
[[noreturn]] void stale_codes() {
  throw py::value_error("the calibration groups changed while they were read");
}

}  // namespace

py::object checked_shift(const py::object& shift) {
  if (shift.is_none() || PyCallable_Check(shift.ptr())) return shift;
  throw py::type_error(
      "shift must be None, a fitted DensityRatio or a callable from x to "
      "one weight per row, got " +
      repr_of(shift));
}

py::array_t<double> shift_weights(const py::object& shift, const py::object& x, py::ssize_t rows,
                                  const char* part) {
  py::array_t<double> w =
      exclusive<double>(numbers(flat_array(shift(x)), 1, "shift returned", "weights", part));
  if (w.size() != rows) {
    throw py::value_error("shift returned " + std::to_string(w.size()) + " weights for " +
                          std::to_string(rows) + " " + part +
                          " rows: it must give one weight per row");
  }
  const double* v = w.data();
  const double* negative = std::find_if(v, v + rows, [](double value) { return value < 0; });
  if (negative != v + rows) {
    throw py::value_error("shift returned the weight " + repr_of(py::float_(*negative)) +
                          " for row " + std::to_string(negative - v) + " of the " + part +
                          " part: weights are likelihood ratios, >= 0");
  }
  return w;
}

Items weighted_state(const py::object& shift, const py::array_t<double>& scores,
                     const py::array_t<double>& weights, const int64_t* codes, int64_t groups,
                     const std::vector<char>& falls_back, const py::object& names,
                     const char* kind) {
  if (shift.is_none()) {
    return {{"shift_", py::none()},
            {"calibration_weights_", py::object()},
            {"ess_", py::object()},
            {kStrata, py::object()}};
  }
  const int64_t n = scores.size();
  if (weights.size() != n) throw py::value_error("the calibration rows changed while read");
  const double* s = scores.data();
  const double* w = weights.data();
  double total = std::accumulate(w, w + n, 0.0);
  if (!(total > 0)) {
    throw py::value_error(
        "shift gave every calibration row the weight 0: no calibration row "
        "resembles the new rows; check that shift is the density ratio of "
        "the new rows to rows like the calibration rows");
  }
  // Per stratum (every row, then each code), its rows by ascending score.
  std::vector<std::vector<int64_t>> members(static_cast<std::size_t>(groups + 1));
  members[0].resize(static_cast<std::size_t>(n));
  std::iota(members[0].begin(), members[0].end(), 0);
  for (int64_t i = 0; codes != nullptr && i < n; ++i) {
    if (codes[i] < 0 || codes[i] >= groups) stale_codes();
    members[codes[i] + 1].push_back(i);
  }
  {
    py::gil_scoped_release release;
    for (auto& rows : members) {
      std::stable_sort(rows.begin(), rows.end(), [s](int64_t a, int64_t b) { return s[a] < s[b]; });
    }
  }
  py::list strata;
  for (std::size_t g = 0; g < members.size(); ++g) {
    const auto& rows = members[g];
    py::array_t<double> sorted(static_cast<py::ssize_t>(rows.size()));
    py::array_t<double> mass(static_cast<py::ssize_t>(rows.size()));
    for (std::size_t j = 0; j < rows.size(); ++j) {
      sorted.mutable_data()[j] = s[rows[j]];
      mass.mutable_data()[j] = w[rows[j]];
    }
    bool falls = g > 0 && falls_back[g - 1];
    strata.append(py::make_tuple(sorted, mass, py::bool_(falls)));
  }
  // A stratum of weight 0 holds no calibration mass: its new rows get +infinity.
  py::list weightless;
  py::list listed = groups > 0 ? py::list(names.attr("tolist")()) : py::list();
  for (std::size_t g = 1; g < members.size() && g - 1 < listed.size(); ++g) {
    const bool falls = falls_back[g - 1];
    if (!falls &&
        std::all_of(members[g].begin(), members[g].end(), [w](int64_t i) { return w[i] == 0; })) {
      weightless.append(listed[g - 1]);
    }
  }
  if (py::len(weightless) > 0) {
    const bool classes = std::string(kind) == "class";
    warn(std::string(classes ? "classes " : "groups ") + repr_of(weightless) +
         " have calibration rows of weight 0 only: shift finds none of them like the new "
         "rows, so " +
         (classes ? "those classes enter every new row's set"
                  : "their new rows get an unbounded interval or every class"));
  }
  return {{"shift_", shift},
          {"calibration_weights_", weights},
          {"ess_", py::float_(effective_size(w, n))},
          {kStrata, py::tuple(strata)}};
}

std::vector<char> falling_back(const py::array_t<int64_t>& codes, int64_t strata,
                               const CalibrationSettings& settings) {
  std::vector<int64_t> count(static_cast<std::size_t>(strata), 0);
  const int64_t* c = codes ? codes.data() : nullptr;
  for (py::ssize_t i = 0; strata > 0 && i < codes.size(); ++i) {
    if (c[i] < 0 || c[i] >= strata) stale_codes();
    ++count[c[i]];
  }
  const int64_t least = least_rows_clamped(settings.exact);
  std::vector<char> out;
  for (int64_t n : count) out.push_back(n < least);
  return out;
}

bool is_weighted(const Snapshot& state) {
  py::object shift = state.get("shift_");
  return shift && !shift.is_none();
}

WeightedTable weighted_table(const Snapshot& state, std::size_t strata) {
  WeightedTable out;
  out.shift = is_weighted(state) ? state.at("shift_") : py::none();
  if (!out.weighted()) return out;
  if (!PyCallable_Check(out.shift.ptr())) tampered("shift_ is no callable");
  py::object held = state.at(kStrata);
  if (!PyTuple_CheckExact(held.ptr())) tampered(std::string(kStrata) + " is no tuple");
  py::tuple entries = items_of(held);
  if (entries.size() != strata) {
    tampered(std::string(kStrata) + " has " + std::to_string(entries.size()) + " strata, not " +
             std::to_string(strata));
  }
  for (py::handle entry : entries) {
    if (!PyTuple_CheckExact(entry.ptr())) tampered(std::string(kStrata) + " holds a non-tuple");
    py::tuple parts = py::reinterpret_borrow<py::tuple>(entry);
    if (parts.size() != 3) tampered(std::string(kStrata) + " holds an entry that is no triple");
    std::vector<double> s = copied(parts[0], "a stratum's scores");
    std::vector<double> w = copied(parts[1], "a stratum's weights");
    bool ordered =
        s.size() == w.size() && std::is_sorted(s.begin(), s.end()) &&
        std::none_of(s.begin(), s.end(), [](double v) { return std::isnan(v); }) &&
        std::all_of(w.begin(), w.end(), [](double v) { return std::isfinite(v) && v >= 0; });
    if (!ordered) tampered("a stratum's scores or weights are not what calibrate sorted");
    out.scores.push_back(std::move(s));
    out.weights.push_back(std::move(w));
    out.falls_back.push_back(truth(parts[2]));
  }
  out.full_fallback =
      std::isinf(checked_threshold(state.at("fallback_threshold_"), "fallback_threshold_"));
  ExactAlpha alpha = checked_alpha(state.at("alpha_"));
  out.b = split(alpha.denominator);
  out.b_minus_a = split(alpha.denominator - alpha.numerator);
  return out;
}

std::vector<WeightedStratum> weighted_strata(const WeightedTable& table) {
  std::vector<WeightedStratum> out;
  out.reserve(table.strata());
  for (std::size_t g = 0; g < table.strata(); ++g) {
    out.emplace_back(table.scores[g].data(), table.weights[g].data(),
                     static_cast<int64_t>(table.scores[g].size()), table.b, table.b_minus_a);
  }
  return out;
}

void weighted_rows(const std::vector<WeightedStratum>& strata, const WeightedTable& table,
                   const int64_t* code, const double* w, int64_t rows, double* tau, bool* marked) {
  const int64_t groups = static_cast<int64_t>(strata.size()) - 1;
  in_two_halves(rows, kRowsPerThread, [&](int64_t from, int64_t to) {
    for (int64_t i = from; i < to; ++i) {
      bool seen = code == nullptr || (code[i] >= 0 && code[i] < groups);
      bool own = seen && (code == nullptr || !table.falls_back[code[i] + 1]);
      const std::size_t g = code != nullptr && own ? static_cast<std::size_t>(code[i] + 1) : 0;
      tau[i] = own || !table.full_fallback ? strata[g].threshold(w[i]) : kInfinity;
      marked[i] = !own || std::isinf(tau[i]);
    }
  });
}

void weighted_class_sets(const std::vector<WeightedStratum>& strata, const WeightedTable& table,
                         const Probabilities& proba, const ScoreRule& rule, const double* w,
                         bool* sets, bool* marked) {
  const int64_t classes = proba.classes;
  // Each class's own stratum, the marginal one where it falls back, or none (+infinity).
  std::vector<const WeightedStratum*> columns;
  bool any_fallback = false;
  for (int64_t k = 0; k < classes; ++k) {
    bool own = !table.falls_back[k + 1];
    any_fallback = any_fallback || !own;
    columns.push_back(own || !table.full_fallback ? &strata[own ? k + 1 : 0] : nullptr);
  }
  const WeightedColumns lookup(std::move(columns));
  // A block of rows' thresholds at a time, still in cache when the sets read them.
  constexpr int64_t kBlock = 2048;
  in_two_halves(proba.rows, kRowsPerThread, [&](int64_t from, int64_t to) {
    // No larger than the half: one row of many classes needs one row of thresholds.
    std::vector<double> tau(static_cast<std::size_t>(std::min(kBlock, to - from) * classes));
    for (int64_t begin = from; begin < to; begin += kBlock) {
      const int64_t count = std::min(kBlock, to - begin);
      for (int64_t i = 0; i < count; ++i) {
        double* t = tau.data() + i * classes;
        lookup.thresholds(w[begin + i], t);
        marked[begin + i] =
            any_fallback || std::any_of(t, t + classes, [](double v) { return std::isinf(v); });
      }
      ScoreRule part_rule = rule;
      if (part_rule.u != nullptr) part_rule.u += begin;
      Thresholds at;
      at.per_cell = tau.data();
      prediction_sets({proba.p + begin * classes, count, classes}, part_rule, at,
                      sets + begin * classes);
    }
  });
}

}  // namespace conformal
}  // namespace trov
