// Conformal predictive distributions (Vovk, Shen, Manokhin and Xie, 2017; Vovk,
// Nouretdinov, Manokhin and Gammerman, 2018): from the signed calibration scores
// a_i = (y_i - prediction_i) / scale_i, the randomised CDF
// Q(x, y) = (#{a_i < A} + tau (#{a_i = A} + 1)) / (n + 1), A = (y - prediction) /
// scale, is exactly uniform at the true y over calibration and test draws together.
// For "absolute" scale is 1: Q does not change with a constant scale, so any would
// do. Kept sorted, every answer is a binary search.
#include "diagnoser/conformal/predictive.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/items.h"
#include "diagnoser/common/labels.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/conformal/fitting.h"
#include "diagnoser/conformal/kernels.h"
#include "diagnoser/conformal/normalized.h"
#include "diagnoser/conformal/weighted.h"

namespace trov {
namespace conformal {
namespace {

using py::literals::operator""_a;

constexpr const char* kScores = "predictive_scores_";
constexpr const char* kGroupScores = "predictive_group_scores_";
// The prediction stream's key, as the classifier's: stream 1 of the entropy.
constexpr int kCdfStream = 1;

// A stored array of scores as a contiguous float64 copy; tampered otherwise.
std::vector<double> stored_scores(const py::object& value, const std::string& what) {
  py::array a = numpy().attr("array")(value, "dtype"_a = numpy().attr("float64"));
  if (a.ndim() != 1) tampered(what + " is not one-dimensional");
  auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(a);
  if (!values) throw py::error_already_set();
  std::vector<double> out(values.data(), values.data() + values.size());
  // Infinite scores are calibrate's own: finite y and predictions whose difference
  // overflows. NaN is no score.
  for (double v : out) {
    if (std::isnan(v)) tampered(what + " holds NaN");
  }
  return out;
}

void append(SignedStrata& strata, const std::vector<double>& values) {
  strata.scores.insert(strata.scores.end(), values.begin(), values.end());
  strata.start.push_back(static_cast<int64_t>(strata.scores.size()));
}

}  // namespace

py::array_t<double> one_per_row(const py::object& given_object, const char* source,
                                const char* part) {
  py::array given = numpy().attr("asarray")(given_object);
  bool one_per_row = given.ndim() == 1 || (given.ndim() == 2 && given.shape(1) == 1);
  if (!one_per_row) {
    throw py::value_error(std::string(source) + " an array of shape " +
                          text_of(given.attr("shape")) + " for the " + part +
                          " part; expected one prediction per row");
  }
  // Owned now: it may view the model's answer, and the next model's predict may free
  // that; a view's address cannot be read again.
  return exclusive<double>(numbers(flat_array(given), 1, source, "predictions", part));
}

Items predictive_state(bool kept, const py::array_t<double>& scores, Conditional mode,
                       const py::array_t<int64_t>& codes, const py::object& group_values,
                       const py::object& random_state) {
  if (!kept) {
    return {
        {kScores, py::object()}, {kGroupScores, py::object()}, {kPredictionStream, py::object()}};
  }
  const int64_t n = scores.size();
  const bool by_group = mode == Conditional::kGroup;
  // Gather: the names and the stream's entropy, before the kernels.
  py::list names;
  if (by_group) names = py::list(group_values.attr("tolist")());
  const auto groups = static_cast<int64_t>(names.size());
  py::object entropy = stream_entropy(random_state);
  if (by_group && codes.size() != n) {
    throw py::value_error("got " + std::to_string(codes.size()) + " group codes for " +
                          std::to_string(n) + " calibration scores");
  }
  std::vector<double> all(scores.data(), scores.data() + n);
  std::vector<int64_t> code(by_group ? codes.data() : nullptr,
                            by_group ? codes.data() + n : nullptr);
  for (int64_t c : code) {
    if (c < 0 || c >= groups) tampered("a calibration row has no group");
  }
  Grouped grouped;
  {
    py::gil_scoped_release release;
    // Grouped while each score still sits beside its code.
    if (by_group) {
      grouped = group_values_of(all.data(), code.data(), n, groups);
      for (int64_t g = 0; g < groups; ++g) {
        std::sort(grouped.data(g), grouped.data(g) + grouped.count(g));
      }
    }
    std::sort(all.begin(), all.end());
  }
  py::object per_group = py::object();  // removed when not by group
  if (by_group) {
    py::dict d;
    for (int64_t g = 0; g < groups; ++g) {
      d[names[g]] = py::array_t<double>(grouped.count(g), grouped.data(g));
    }
    per_group = d;
  }
  return {{kScores, py::array_t<double>(n, all.data())},
          {kGroupScores, per_group},
          {kPredictionStream, py::make_tuple(entropy, py::int_(0))}};
}

PredictiveTable predictive_table(const Snapshot& state) {
  std::string method =
      checked_choice(state.setting("method"), "method", {"cqr", "absolute", "normalized"});
  if (method == "cqr") {
    throw py::value_error(
        "predictive distributions need method='absolute' or 'normalized': cqr's score measures "
        "y from two quantile models, not one centre and scale, so it orders no signed "
        "residuals; calibrate with one of those methods");
  }
  if (is_weighted(state)) {
    throw py::value_error(
        "the object was calibrated with shift, and its predictive distributions are not "
        "weighted: calibrate without shift for them");
  }
  require_state(state, kScores, "calibrate");
  PredictiveTable out;
  out.calibrated = state.at(kScores);
  std::vector<double> all = stored_scores(out.calibrated, kScores);
  out.strata.start.push_back(0);
  append(out.strata, all);
  Conditional mode = checked_conditional(state.setting("conditional"), false);
  out.by_group = mode == Conditional::kGroup;
  if (out.by_group) {
    out.known = numpy().attr("array")(state.at("groups_"));
    if (out.known.ndim() != 1) tampered("groups_ is not one-dimensional");
    py::list names = out.known.attr("tolist")();
    py::object per_group = state.at(kGroupScores);
    if (!PyDict_Check(per_group.ptr())) tampered(std::string(kGroupScores) + " is no dict");
    for (py::handle name : items_of(names)) {
      PyObject* found = PyDict_GetItemWithError(per_group.ptr(), name.ptr());
      if (found == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        tampered(std::string(kGroupScores) + " has no scores for the group " + repr_of(name));
      }
      py::object held = py::reinterpret_borrow<py::object>(found);
      append(out.strata, stored_scores(held, "the scores of the group " + repr_of(name)));
    }
    // A group never calibrated: no scores under "full" (Q uniform, every quantile
    // infinite), every row's under "marginal".
    if (!checked_fallback(state.setting("fallback"))) {
      append(out.strata, all);
    } else {
      out.strata.start.push_back(static_cast<int64_t>(out.strata.scores.size()));
    }
  }
  {
    py::gil_scoped_release release;
    finish_strata(out.strata);
  }
  return out;
}

void row_strata(const PredictiveTable& table, const int64_t* code, int64_t rows, int64_t* out) {
  if (!table.by_group) {
    std::fill(out, out + rows, 0);
    return;
  }
  const int64_t groups = table.strata.strata() - 2;
  for (int64_t i = 0; i < rows; ++i) {
    out[i] = code[i] >= 0 && code[i] < groups ? code[i] + 1 : groups + 1;
  }
}

void cdf_taus(const StreamKey& key, uint64_t start, int64_t rows, double* tau) {
  uniform_draws(key.word, start, rows, tau);
  for (int64_t i = 0; i < rows; ++i) tau[i] = 1.0 - tau[i];
}

namespace {

// tau for `rows` rows from the object's prediction stream; Recalibrated when a
// calibrate published since `table` was read.
std::vector<double> reserved_taus(const py::object& self, const PredictiveTable& table,
                                  int64_t rows) {
  Reserved reserved = reserve_draws(self, static_cast<uint64_t>(rows), table.calibrated, kScores);
  StreamKey key = stream_key(reserved.entropy, kCdfStream, py::none());
  std::vector<double> tau(static_cast<std::size_t>(rows));
  {
    py::gil_scoped_release release;
    cdf_taus(key, reserved.start, rows, tau.data());
  }
  return tau;
}

// Everything a distribution of new rows needs, gathered from one snapshot.
struct Gathered {
  PredictiveTable table;
  py::array_t<double> centre, scale;  // scale empty for "absolute"
  py::array_t<int64_t> strata;
};

Gathered gather(const Snapshot& state, const py::object& x, const py::object& groups,
                const char* part) {
  Gathered g;
  g.table = predictive_table(state);
  const bool normalized = state.setting("method").cast<std::string>() == "normalized";
  const double beta = normalized ? stored_beta(state) : 1.0;
  g.centre = one_per_row(state.at("model").attr("predict")(x), "predict returned", part);
  const py::ssize_t rows = g.centre.shape(0);
  if (normalized) {
    g.scale = difficulty_of(state, x, part);
    if (g.scale.shape(0) != rows) {
      throw py::value_error("the difficulty gave " + std::to_string(g.scale.shape(0)) +
                            " values for " + std::to_string(rows) + " rows of x");
    }
  }
  py::array_t<int64_t> code;
  if (g.table.by_group) {
    code = exclusive<int64_t>(
        label_positions(resolve_groups(groups, x, rows, part), g.table.known, numpy()));
  }
  g.strata = py::array_t<int64_t>(rows);
  g.centre = exclusive<double>(std::move(g.centre));
  if (normalized) g.scale = exclusive<double>(std::move(g.scale));
  if (g.centre.size() != rows || (normalized && g.scale.size() != rows) ||
      (g.table.by_group && code.size() != rows)) {
    throw py::value_error("the " + std::string(part) + " rows changed while they were read");
  }
  {
    double* s = normalized ? g.scale.mutable_data() : nullptr;
    const int64_t* c = g.table.by_group ? code.data() : nullptr;
    int64_t* out = g.strata.mutable_data();
    py::gil_scoped_release release;
    if (s != nullptr) scale_of_rows(s, rows, beta);
    row_strata(g.table, c, rows, out);
  }
  return g;
}

Rows rows_of(const Gathered& g) {
  return {g.centre.data(), g.scale.size() > 0 ? g.scale.data() : nullptr, g.strata.data(),
          static_cast<int64_t>(g.centre.size())};
}

// The levels as exact fractions a / b in (0, 1), in order; `scalar` when one number
// was given.
std::vector<ExactAlpha> checked_levels(const py::object& levels, bool* scalar) {
  py::array given = numpy().attr("asarray")(levels, "dtype"_a = py::none());
  *scalar = given.ndim() == 0;
  if (given.ndim() > 1) {
    throw py::value_error(
        "levels must be a number or a flat list of numbers in (0, 1), got "
        "an array of shape " +
        text_of(given.attr("shape")));
  }
  py::list values =
      *scalar ? py::list(py::make_tuple(given.attr("item")())) : py::list(given.attr("tolist")());
  if (values.size() == 0) throw py::value_error("levels is empty: give at least one level");
  std::vector<ExactAlpha> out;
  for (py::handle value : items_of(values)) {
    PyObject* v = value.ptr();
    bool number = !PyBool_Check(v) && !PyUnicode_Check(v) && PyNumber_Check(v);
    double p = number ? py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>() : 0.0;
    if (!(p > 0 && p < 1)) {
      throw py::value_error("levels must be probabilities strictly between 0 and 1, got " +
                            repr_of(value));
    }
    // From p as read: a second __float__ could answer another level.
    out.push_back(checked_alpha(py::float_(p)));
  }
  return out;
}

}  // namespace

Items predictive_evaluation(const py::object& self, const PredictiveTable& table,
                            const py::array_t<int64_t>& strata, const py::array_t<double>& centre,
                            const py::array_t<double>& scale, const py::array_t<double>& y) {
  const int64_t rows = centre.size();
  std::vector<double> tau;
  try {
    tau = reserved_taus(self, table, rows);
  } catch (const Recalibrated&) {
    throw py::value_error(
        "the object was calibrated again while evaluate read its state: call "
        "evaluate when calibrate has returned");
  }
  py::array_t<double> pit(rows), crps(rows);
  if (centre.size() != rows || strata.size() != rows || y.size() != rows ||
      (scale.size() > 0 && scale.size() != rows)) {
    throw py::value_error("the test rows changed while they were read");
  }
  double total = 0;
  {
    Rows r{centre.data(), scale.size() > 0 ? scale.data() : nullptr, strata.data(), rows};
    double* p = pit.mutable_data();
    double* c = crps.mutable_data();
    const double* target = y.data();
    py::gil_scoped_release release;
    cdf_values(table.strata, r, tau.data(), target, 1, 1, p);
    crps_values(table.strata, r, target, c);
    for (int64_t i = 0; i < rows; ++i) total += c[i];
  }
  return {{"pit_", pit}, {"crps_", py::float_(total / static_cast<double>(rows))}};
}

py::object predict_cdf(const Args& a) {
  const py::object& self = a.self();
  for (int tries = 1;; ++tries) {
    // Gather: the state, the rows and the values, then the draws.
    Snapshot state(self);
    Gathered g = gather(state, a["new_x"], a["groups"], "prediction");
    const int64_t rows = g.centre.size();
    py::array given = numpy().attr("asarray")(a["y"], "dtype"_a = numpy().attr("float64"));
    const int ndim = given.ndim();
    if (ndim > 2) {
      throw py::value_error(
          "y must be a number, one value per row or an array (rows, k), got "
          "shape " +
          text_of(given.attr("shape")));
    }
    py::array_t<double> y =
        exclusive<double>(numbers(given, ndim, "y has", "values", "prediction"));
    if (ndim > 0 && y.shape(0) != rows) {
      throw py::value_error("y has " + std::to_string(y.shape(0)) + " rows for " +
                            std::to_string(rows) +
                            " rows of new_x: give a number, one value per "
                            "row or an array (rows, k)");
    }
    const int64_t k = ndim == 2 ? y.shape(1) : 1;
    std::vector<double> tau;
    try {
      tau = reserved_taus(self, g.table, rows);
    } catch (const Recalibrated&) {
      if (tries == 10) {
        throw py::value_error(
            "the object was calibrated again during each of ten tries to read "
            "its state: call predict_cdf when calibrate has returned");
      }
      continue;
    }
    std::vector<py::ssize_t> shape{rows};
    if (ndim == 2) shape.push_back(k);
    py::array_t<double> out(shape);
    // Re-read: reserving the draws ran Python code.
    if (y.size() != (ndim == 0 ? 1 : rows * k) || g.centre.size() != rows ||
        g.strata.size() != rows) {
      throw py::value_error("the prediction rows changed while they were read");
    }
    {
      Rows r = rows_of(g);
      const double* values = y.data();
      double* o = out.mutable_data();
      const int64_t stride = ndim == 0 ? 0 : k;
      py::gil_scoped_release release;
      cdf_values(g.table.strata, r, tau.data(), values, stride, k, o);
    }
    return out;
  }
}

py::object predict_quantiles(const Args& a) {
  Snapshot state(a.self());
  bool scalar = false;
  std::vector<ExactAlpha> levels = checked_levels(a["levels"], &scalar);
  Gathered g = gather(state, a["new_x"], a["groups"], "prediction");
  const int64_t rows = g.centre.size();
  const auto count = static_cast<int64_t>(levels.size());
  const int64_t strata = g.table.strata.strata();
  // The ranks in exact integers: p (n + 1) rounded up at p >= 1/2, down below it, so
  // that [q(alpha / 2), q(1 - alpha / 2)] covers at least 1 - alpha.
  std::vector<int64_t> ranks(static_cast<std::size_t>(strata * count));
  for (int64_t s = 0; s < strata; ++s) {
    py::int_ n1(g.table.strata.count(s) + 1);
    for (int64_t l = 0; l < count; ++l) {
      const py::object& num = levels[l].numerator;
      const py::object& den = levels[l].denominator;
      py::object product = n1 * num;
      bool upper = truth((py::int_(2) * num).attr("__ge__")(den));
      py::object rank = upper ? (product + den - py::int_(1)).attr("__floordiv__")(den)
                              : product.attr("__floordiv__")(den);
      ranks[s * count + l] = rank.cast<int64_t>();
    }
  }
  std::vector<py::ssize_t> shape{rows};
  if (!scalar) shape.push_back(count);
  py::array_t<double> out(shape);
  {
    Rows r = rows_of(g);
    double* o = out.mutable_data();
    py::gil_scoped_release release;
    quantile_values(g.table.strata, r, ranks.data(), count, o);
  }
  return out;
}

}  // namespace conformal
}  // namespace trov
