// CrossConformalRegressor and CrossConformalClassifier: every row serves for
// training and for calibration. Clones of an unfitted estimator are fitted per
// fold (or per bootstrap bag) through joblib, and each row's score comes from the
// fits that did not see it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/items.h"
#include "diagnoser/common/labels.h"
#include "diagnoser/common/method.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/conformal/calibration.h"
#include "diagnoser/conformal/classes.h"
#include "diagnoser/conformal/cross_docstrings.h"
#include "diagnoser/conformal/cross_kernels.h"
#include "diagnoser/conformal/docstrings.h"
#include "diagnoser/conformal/estimator.h"
#include "diagnoser/conformal/fitting.h"
#include "diagnoser/conformal/kernels.h"
#include "diagnoser/conformal/scoring.h"

namespace trov {
namespace conformal {
namespace {

using py::literals::operator""_a;

// Prediction matrices of one chunk of test rows stay under this many values
// (128 MiB), however many rows or fits there are.
constexpr int64_t kChunkValues = int64_t{1} << 24;

// The number of rows of x as scikit-learn counts them.
int64_t rows_of(const py::object& x) {
  int64_t rows = saturated(sklearn("sklearn.utils.validation", "_num_samples")(x));
  if (rows < 0) {
    throw py::value_error("x has " + std::to_string(rows) +
                          " rows by its shape: give an array, a data frame or a list of rows");
  }
  return rows;
}

py::object take(const py::object& x, const py::array_t<int64_t>& rows) {
  return conformal::take(x, rows.data(), static_cast<std::size_t>(rows.size()));
}

// A mask marking none of `rows` rows: no row falls back, none is empty.
py::array_t<bool> no_rows(py::ssize_t rows) {
  py::array_t<bool> mask(rows);
  std::fill(mask.mutable_data(), mask.mutable_data() + rows, false);
  return mask;
}

py::array_t<int64_t> row_range(int64_t from, int64_t to) {
  py::array_t<int64_t> rows(to - from);
  int64_t* r = rows.mutable_data();
  for (int64_t i = from; i < to; ++i) r[i - from] = i;
  return rows;
}

// A fit parameter with one value per row (sample_weight and the like) is sliced as
// the rows are; anything else passes through whole.
bool per_row(const py::handle& value, int64_t n) {
  if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || PyDict_Check(value.ptr())) {
    return false;
  }
  if (!py::hasattr(value, "__len__") ||
      !(py::hasattr(value, "shape") || PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()))) {
    return false;
  }
  return static_cast<int64_t>(py::len(value)) == n;
}

// The clones' fits, one per row set, through joblib (n_jobs and any backend the
// caller chose with joblib.parallel_backend). A clone is fitted where joblib runs
// it and comes back as fit returns it.
std::vector<py::object> fitted_clones(const py::object& estimator, const py::object& x,
                                      const py::object& y,
                                      const std::vector<py::array_t<int64_t>>& row_sets,
                                      const py::dict& fit_params, const py::object& n_jobs) {
  const int64_t n = rows_of(x);
  py::object clone = sklearn("sklearn.base", "clone");
  py::object delayed = sklearn("joblib", "delayed");
  py::list tasks;
  for (const auto& rows : row_sets) {
    py::object copy = clone(estimator);
    py::dict params;
    for (py::handle pair : pairs_of(fit_params)) {
      py::tuple item = py::reinterpret_borrow<py::tuple>(pair);
      params[item[0]] = per_row(item[1], n) ? take(item[1], rows) : py::object(item[1]);
    }
    tasks.append(delayed(copy.attr("fit"))(take(x, rows), take(y, rows), **params));
  }
  return parallel_fits(tasks, n_jobs, row_sets.size(), "estimator", "row sets");
}

// One float per row, copied: a view of the model's answer could be freed by the
// next call into Python.
std::vector<double> predicted(const py::object& model, const py::object& x, int64_t rows,
                              const char* part) {
  py::array given = numpy().attr("asarray")(model.attr("predict")(x));
  bool one_per_row = given.ndim() == 1 || (given.ndim() == 2 && given.shape(1) == 1);
  if (!one_per_row) {
    throw py::value_error("predict returned an array of shape " + text_of(given.attr("shape")) +
                          " for the " + part + " part; expected one prediction per row");
  }
  py::array_t<double> values =
      exclusive<double>(numbers(flat_array(given), 1, "predict returned", "predictions", part));
  if (values.size() != rows) {
    throw py::value_error("predict returned " + std::to_string(values.size()) + " values for " +
                          std::to_string(rows) + " rows of the " + part + " part");
  }
  return std::vector<double>(values.data(), values.data() + rows);
}

// `value` as 1-D int64 row indices owned by the call; TypeError naming `what` for
// anything but integers (a cast would truncate floats and turn a mask into 0s and 1s).
py::array_t<int64_t> row_indices(const py::object& value, const std::string& what) {
  py::array given = numpy().attr("asarray")(value);
  const char kind = given.dtype().kind();
  if (given.ndim() == 1 && (given.size() == 0 || kind == 'i' || kind == 'u')) {
    auto rows = py::array_t<int64_t, py::array::forcecast>::ensure(given);
    if (rows) return exclusive<int64_t>(std::move(rows));
  }
  throw py::type_error(what + " an array of shape " + text_of(given.attr("shape")) + " and dtype " +
                       text_of(given.attr("dtype")) + ": give 1-D arrays of integer row indices");
}

// The rank of the bounds, checked before any fit: too few rows is the module's error.
int64_t checked_rank(const ExactAlpha& alpha, const py::object& given, int64_t n) {
  if (n < least_rows_clamped(alpha)) {
    std::string needed = text_of(least_rows(alpha));
    throw py::value_error("alpha = " + repr_of(given) + " needs at least " + needed +
                          " rows, got " + std::to_string(n) + ": give at least " + needed +
                          " rows, or a larger alpha");
  }
  return rank_needed(alpha, n);
}

// The folds of the rows: KFold(cv) with shuffled rows for an int, else any
// splitter's split(x, y, groups). Every row must sit in exactly one test fold.
struct Folds {
  std::vector<py::array_t<int64_t>> train, test;
  std::vector<int64_t> fold_of;  // per row
  bool grouped = false;
};

Folds folds_of(const py::object& cv, const py::object& x, const py::object& y,
               const py::object& groups, const py::object& random_state, int64_t n) {
  py::object splitter = cv;
  if (!PyBool_Check(cv.ptr()) && PyIndex_Check(cv.ptr())) {
    int64_t k = saturated(cv);
    if (k < 2 || k > n) {
      throw py::value_error("cv = " + repr_of(cv) + " folds needs 2 <= cv <= the " +
                            std::to_string(n) + " rows");
    }
    // Shuffled: rows stored in some order (by date, by target) would otherwise give
    // folds unlike each other. With groups, whole groups go to a fold.
    splitter = groups.is_none()
                   ? sklearn("sklearn.model_selection", "KFold")(
                         "n_splits"_a = k, "shuffle"_a = true, "random_state"_a = random_state)
                   : sklearn("sklearn.model_selection", "GroupKFold")("n_splits"_a = k);
  } else if (!py::hasattr(cv, "split")) {
    throw py::type_error("cv must be an int >= 2 or a scikit-learn splitter (with split), got " +
                         repr_of(cv));
  }
  Folds f;
  f.grouped = !groups.is_none();
  f.fold_of.assign(static_cast<std::size_t>(n), -1);
  py::object splits = splitter.attr("split")(x, y, groups);
  for (py::handle pair : py::iter(splits)) {
    std::vector<py::object> parts = unpack(pair, 2);
    int64_t fold = static_cast<int64_t>(f.test.size());
    py::array_t<int64_t> train = row_indices(parts[0], "cv's split gave as training rows");
    py::array_t<int64_t> test = row_indices(parts[1], "cv's split gave as test rows");
    const int64_t* t = test.data();
    for (py::ssize_t j = 0; j < test.size(); ++j) {
      if (t[j] < 0 || t[j] >= n) throw py::value_error("cv gave a test row outside 0 .. n - 1");
      if (f.fold_of[t[j]] != -1) {
        throw py::value_error("cv puts row " + std::to_string(t[j]) +
                              " in two test folds: give a splitter whose test folds partition "
                              "the rows, as KFold, GroupKFold and LeaveOneOut do");
      }
      f.fold_of[t[j]] = fold;
    }
    const int64_t* r = train.data();
    for (py::ssize_t j = 0; j < train.size(); ++j) {
      if (r[j] < 0 || r[j] >= n) throw py::value_error("cv gave a training row outside 0 .. n - 1");
    }
    f.train.push_back(train);
    f.test.push_back(test);
  }
  for (std::size_t fold = 0; fold < f.test.size(); ++fold) {
    const int64_t* r = f.train[fold].data();
    for (py::ssize_t j = 0; j < f.train[fold].size(); ++j) {
      if (f.fold_of[r[j]] == static_cast<int64_t>(fold)) {
        throw py::value_error("cv trains fold " + std::to_string(fold) + " on its own test row " +
                              std::to_string(r[j]) + ": the residuals would not be out of fold");
      }
    }
  }
  auto missing = std::find(f.fold_of.begin(), f.fold_of.end(), -1);
  if (missing != f.fold_of.end()) {
    throw py::value_error("cv leaves row " + std::to_string(missing - f.fold_of.begin()) +
                          " in no test fold: give a splitter whose test folds partition the "
                          "rows, as KFold, GroupKFold and LeaveOneOut do");
  }
  if (f.test.size() < 2) throw py::value_error("cv must give at least 2 folds");
  return f;
}

// The guaranteed coverage and its sentence, for exchangeable rows and a fitting
// algorithm that treats its rows symmetrically. CV+ and jackknife+: Barber,
// Candes, Ramdas and Tibshirani (2021), Theorems 1 and 4; cross-conformal sets:
// Romano, Sesia and Candes (2020), the same bound; jackknife+-after-bootstrap: Kim,
// Xu and Barber (2020), Theorem 1; minmax: Barber et al. (2021), Theorem 2.
struct Guarantee {
  double bound;
  std::string text;
};

std::string decimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

// `sets`: cross-conformal prediction sets rather than intervals.
Guarantee fold_guarantee(const std::string& method, double alpha, const Folds& f, int64_t n,
                         bool sets = false) {
  const double k = static_cast<double>(f.test.size()), rows = static_cast<double>(n);
  std::size_t smallest = f.test[0].size(), largest = smallest;
  for (const auto& t : f.test) {
    smallest = std::min<std::size_t>(smallest, t.size());
    largest = std::max<std::size_t>(largest, t.size());
  }
  const bool jackknife = largest == 1;
  Guarantee g;
  std::string name;
  if (method == "minmax") {
    g.bound = 1 - alpha;
    name = jackknife ? "Jackknife-minmax"
                     : "CV-minmax with " + std::to_string(f.test.size()) + " folds";
  } else {
    double slack = std::min(2 * (1 - 1 / k) / (rows / k + 1), (1 - k / rows) / (k + 1));
    g.bound = jackknife ? 1 - 2 * alpha : 1 - 2 * alpha - slack;
    name = jackknife ? "Jackknife+" : "CV+ with " + std::to_string(f.test.size()) + " folds";
    if (sets) name = "Cross-conformal sets (" + name + ")";
  }
  g.bound = std::max(0.0, g.bound);
  if (f.grouped) {
    // The ranks count rows, but a group's rows are not exchangeable with a new
    // group's row: with few groups coverage falls far below any row-level bound
    // (two groups of 50 miss a third of new rows). No bound is claimed.
    g.bound = 0;
    g.text = name +
             ", each fold whole groups: no coverage is guaranteed, since the rows of a group are "
             "not exchangeable with a row of a new group; with few groups it falls well below " +
             decimal(1 - alpha) + ", and it comes near it only with many groups";
    return g;
  }
  g.text = name + ": coverage of at least " + decimal(g.bound) +
           " for exchangeable rows and a fitting algorithm that treats its rows alike";
  if (!jackknife && smallest != largest) {
    g.text += "; the bound is stated for equal folds, and these hold " + std::to_string(smallest) +
              " to " + std::to_string(largest) + " rows";
  }
  if (method != "minmax") g.text += "; in practice it lands near " + decimal(1 - alpha);
  return g;
}

Guarantee bootstrap_guarantee(double alpha, int64_t fits) {
  Guarantee g{std::max(0.0, 1 - 2 * alpha), ""};
  g.text = "Jackknife+-after-bootstrap with " + std::to_string(fits) +
           " fits: coverage of at least " + decimal(g.bound) +
           " for exchangeable rows and a fitting algorithm that treats its rows alike; in "
           "practice it lands near " +
           decimal(1 - alpha);
  return g;
}

py::array_t<int64_t> fold_array(const Folds& f) {
  return py::array_t<int64_t>(static_cast<py::ssize_t>(f.fold_of.size()), f.fold_of.data());
}

py::list models_list(const std::vector<py::object>& models) {
  py::list out;
  for (const auto& m : models) out.append(m);
  return out;
}

// The sorted lists a prediction selects from, owned by the call.
struct Lists {
  std::vector<double> values;
  std::vector<int64_t> start{0};
  SortedLists view() const {
    return {values.data(), start.data(), static_cast<int64_t>(start.size()) - 1};
  }
  void add(const double* begin, const double* end) {
    std::size_t from = values.size();
    values.insert(values.end(), begin, end);
    std::sort(values.begin() + static_cast<std::ptrdiff_t>(from), values.end());
    start.push_back(static_cast<int64_t>(values.size()));
  }
};

// A fitted list of per-fold arrays (residuals_, scores_), read once and copied.
Lists lists_of(const py::object& value, const char* name, std::size_t count, int64_t n,
               bool infinite_allowed) {
  py::tuple items = items_of(value);
  if (items.size() != count) {
    tampered_fit(std::string(name) + " does not hold one array per fit");
  }
  Lists out;
  for (py::handle item : items) {
    py::array_t<double> a = exclusive<double>(py::array_t<double, py::array::forcecast>::ensure(
        py::reinterpret_borrow<py::object>(item)));
    if (!a || a.ndim() != 1)
      tampered_fit(std::string(name) + " holds something other than 1-D arrays");
    const double* d = a.data();
    for (py::ssize_t j = 0; j < a.size(); ++j) {
      if (std::isnan(d[j]) || (std::isinf(d[j]) && !(infinite_allowed && d[j] > 0))) {
        tampered_fit(std::string(name) + " holds a value fit cannot have left");
      }
    }
    out.add(d, d + a.size());
  }
  if (out.start.back() != n) tampered_fit(std::string(name) + " does not hold n_samples_ values");
  return out;
}

int64_t state_int(const Snapshot& state, const char* name) {
  py::object value = state.at(name);
  if (PyBool_Check(value.ptr()) || !PyLong_Check(value.ptr())) {
    tampered_fit(std::string(name) + " is not an int");
  }
  int overflow = 0;
  long long out = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (out == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0) tampered_fit(std::string(name) + " is out of range");
  return out;
}

// --------------------------------------------------------------------------
// The regressor.

Parameters regressor_parameters() {
  return {{"estimator", "alpha", "method", "cv", "n_bootstraps", "aggregate", "n_jobs",
           "random_state", "bootstrap", "max_samples"},
          py::make_tuple(0.1, "plus", 5, 30, "mean", py::none(), py::none(), true, py::none())};
}

using RegressorProtocol = Estimator<regressor_parameters>;

py::object regressor_repr(const Args& a) {
  return parameters_repr(a.self(), regressor_parameters(), "estimator");
}

bool is_median(const py::object& aggregate) {
  return checked_choice(aggregate, "aggregate", {"mean", "median"}) == "median";
}

// The aggregate of values[b] over the fits b that `in` marks; NaN when none is.
double aggregate_of(const double* values, const char* in, int64_t fits, bool median,
                    std::vector<double>& scratch) {
  scratch.clear();
  double sum = 0;
  for (int64_t b = 0; b < fits; ++b) {
    if (!in[b]) continue;
    scratch.push_back(values[b]);
    sum += values[b];
  }
  if (scratch.empty()) return std::nan("");
  const std::size_t count = scratch.size();
  if (!median) {
    double mean = sum / static_cast<double>(count);
    if (std::isfinite(mean)) return mean;
    // The sum overflowed (predictions near the largest double): an infinite centre
    // would meet a +inf residual as inf - inf. Scaled first, kept within the values.
    mean = 0;
    for (double v : scratch) mean += v / static_cast<double>(count);
    auto range = std::minmax_element(scratch.begin(), scratch.end());
    return std::min(std::max(mean, *range.first), *range.second);
  }
  std::sort(scratch.begin(), scratch.end());
  if (count % 2 == 1) return scratch[count / 2];
  const double a = scratch[count / 2 - 1], b = scratch[count / 2], mid = (a + b) / 2;
  return std::isfinite(mid) ? mid : a / 2 + b / 2;
}

int64_t bag_size(const py::object& max_samples, bool bootstrap, int64_t n) {
  if (max_samples.is_none()) return bootstrap ? n : n / 2;
  int64_t m = -1;
  if (PyFloat_Check(max_samples.ptr())) {
    double share = max_samples.cast<double>();
    if (share > 0 && share <= 1)
      m = static_cast<int64_t>(std::floor(share * static_cast<double>(n)));
  } else if (!PyBool_Check(max_samples.ptr()) && PyIndex_Check(max_samples.ptr())) {
    m = saturated(max_samples);
  }
  if (m < 1 || m > n || (!bootstrap && m == n)) {
    throw py::value_error("max_samples must be None, an int in 1 .. n" +
                          std::string(bootstrap ? "" : " - 1 (subsamples leave a row out)") +
                          " or a float share in (0, 1], got " + repr_of(max_samples) + " for " +
                          std::to_string(n) + " rows");
  }
  return m;
}

// Jackknife+-after-bootstrap (Kim, Xu and Barber, 2020): the number of fits is
// itself drawn, B~ ~ Binomial(B, P(a bag of m misses a given one of n + 1 rows)),
// as the guarantee needs; a fixed number of fits would not carry it.
struct Bags {
  std::vector<py::array_t<int64_t>> rows;
  std::vector<char> out;  // rows x fits, row-major: 1 where the fit's bag misses the row
};

Bags drawn_bags(const py::object& random_state, int64_t bootstraps, int64_t m, bool bootstrap,
                int64_t n) {
  py::object rs = sklearn("sklearn.utils", "check_random_state")(random_state);
  double miss = bootstrap ? std::pow(1 - 1 / static_cast<double>(n + 1), static_cast<double>(m))
                          : 1 - static_cast<double>(m) / static_cast<double>(n + 1);
  int64_t fits = saturated(rs.attr("binomial")(bootstraps, miss));
  if (fits < 0 || fits > bootstraps) {
    throw py::value_error("random_state's binomial drew " + std::to_string(fits) +
                          " fits of n_bootstraps=" + std::to_string(bootstraps) +
                          ": give an int, None or a numpy RandomState");
  }
  if (fits > INT64_MAX / std::max<int64_t>(n, 1)) {
    throw py::value_error(std::to_string(fits) + " fits of " + std::to_string(n) +
                          " rows are more than the out-of-bag table can count: lower n_bootstraps");
  }
  if (fits == 0) {
    throw py::value_error(
        "the number of fits drawn from Binomial(n_bootstraps=" + std::to_string(bootstraps) + ", " +
        decimal(miss) + ") is 0: raise n_bootstraps");
  }
  Bags bags;
  for (int64_t b = 0; b < fits; ++b) {
    py::object drawn =
        bootstrap ? rs.attr("randint")(0, n, m) : rs.attr("choice")(n, m, "replace"_a = false);
    py::array_t<int64_t> rows = row_indices(drawn, "random_state drew as a bag");
    const int64_t* r = rows.data();
    for (py::ssize_t j = 0; j < rows.size(); ++j) {
      if (r[j] < 0 || r[j] >= n) {
        throw py::value_error("random_state drew row " + std::to_string(r[j]) + " of " +
                              std::to_string(n) +
                              " rows for a bag: give an int, None or a numpy RandomState");
      }
    }
    bags.rows.push_back(rows);
  }
  bags.out.assign(static_cast<std::size_t>(n * fits), 1);
  for (int64_t b = 0; b < fits; ++b) {
    const int64_t* r = bags.rows[b].data();
    for (py::ssize_t j = 0; j < bags.rows[b].size(); ++j) bags.out[r[j] * fits + b] = 0;
  }
  return bags;
}

py::object regressor_fit(const Args& a) {
  const py::object& self = a.self();
  // Gather: the settings as they stand now, checked before any fit.
  Snapshot state(self, false);
  py::object alpha_given = state.at("alpha");
  double rounded = rounded_alpha(alpha_given);
  ExactAlpha exact = checked_alpha(py::float_(rounded));
  std::string method =
      checked_choice(state.at("method"), "method", {"plus", "minmax", "after_bootstrap"});
  bool median = is_median(state.at("aggregate"));
  const py::object& x = a["x"];
  py::array_t<double> y =
      exclusive<double>(numbers(flat_array(a["y"]), 1, "the targets have", "values", "training"));
  const int64_t n = y.shape(0);
  if (rows_of(x) != n) {
    throw py::value_error("x has " + std::to_string(rows_of(x)) + " rows but y has " +
                          std::to_string(n) + " values: give one target per row");
  }
  const int64_t k = checked_rank(exact, alpha_given, n);
  py::dict fit_params = py::reinterpret_borrow<py::dict>(a["fit_params"]);
  std::vector<double> target(y.data(), y.data() + n);
  std::vector<double> residual(static_cast<std::size_t>(n));
  Items fitted;
  if (method == "after_bootstrap") {
    py::object given_b = state.at("n_bootstraps");
    int64_t bootstraps = -1;
    if (!PyBool_Check(given_b.ptr()) && PyIndex_Check(given_b.ptr())) {
      bootstraps = saturated(given_b);
    }
    if (bootstraps < 1) {
      throw py::value_error("n_bootstraps must be an int >= 1, got " + repr_of(given_b));
    }
    bool bootstrap = truth(state.at("bootstrap"));
    int64_t m = bag_size(state.at("max_samples"), bootstrap, n);
    Bags bags = drawn_bags(state.at("random_state"), bootstraps, m, bootstrap, n);
    std::vector<py::object> models =
        fitted_clones(state.at("estimator"), x, y, bags.rows, fit_params, state.at("n_jobs"));
    const int64_t fits = static_cast<int64_t>(models.size());
    std::vector<double> pred(static_cast<std::size_t>(n * fits));
    for (int64_t b = 0; b < fits; ++b) {
      std::vector<double> p = predicted(models[b], x, n, "training");
      for (int64_t i = 0; i < n; ++i) pred[i * fits + b] = p[i];
    }
    int64_t everywhere = 0;
    {
      py::gil_scoped_release release;
      std::vector<double> scratch;
      for (int64_t i = 0; i < n; ++i) {
        double centre =
            aggregate_of(pred.data() + i * fits, bags.out.data() + i * fits, fits, median, scratch);
        // In every bag: no fit left the row out, and +inf keeps the bounds valid.
        if (std::isnan(centre)) ++everywhere;
        residual[i] = std::isnan(centre) ? INFINITY : std::abs(target[i] - centre);
      }
    }
    if (everywhere > 0) {
      warn(std::to_string(everywhere) + " of " + std::to_string(n) +
           " rows sit in every bootstrap bag, so no fit left them out: their residuals are "
           "+inf, which keeps coverage but widens intervals; raise n_bootstraps");
    }
    py::array_t<bool> out_of_bag({n, fits});
    std::copy(bags.out.begin(), bags.out.end(), out_of_bag.mutable_data());
    Guarantee g = bootstrap_guarantee(rounded, fits);
    fitted = {{"estimators_", models_list(models)},
              {"residuals_", array_of(residual)},
              {"out_of_bag_", out_of_bag},
              {"folds_", py::object()},
              {"coverage_bound_", py::float_(g.bound)},
              {"guarantee_", py::str(g.text)}};
  } else {
    Folds f = folds_of(state.at("cv"), x, y, a["groups"], state.at("random_state"), n);
    std::vector<py::object> models =
        fitted_clones(state.at("estimator"), x, y, f.train, fit_params, state.at("n_jobs"));
    py::list residuals;
    for (std::size_t fold = 0; fold < models.size(); ++fold) {
      const py::array_t<int64_t>& rows = f.test[fold];
      std::vector<double> p =
          predicted(models[fold], take(x, rows), static_cast<int64_t>(rows.size()), "training");
      std::vector<double> r(p.size());
      const int64_t* t = rows.data();
      for (std::size_t j = 0; j < p.size(); ++j) r[j] = std::abs(target[t[j]] - p[j]);
      residuals.append(array_of(r));
    }
    Guarantee g = fold_guarantee(method, rounded, f, n);
    fitted = {{"estimators_", models_list(models)},
              {"residuals_", residuals},
              {"out_of_bag_", py::object()},
              {"folds_", fold_array(f)},
              {"coverage_bound_", py::float_(g.bound)},
              {"guarantee_", py::str(g.text)}};
  }
  fitted.emplace_back("n_estimators_", py::int_(static_cast<int64_t>(py::len(fitted[0].second))));
  fitted.emplace_back("n_samples_", py::int_(n));
  fitted.emplace_back("n_calibration_", py::int_(n));
  fitted.emplace_back("alpha_", py::float_(rounded));
  fitted.emplace_back("rank_", py::int_(k));
  fitted.emplace_back("method_", py::str(method));
  fitted.emplace_back("aggregate_", py::str(median ? "median" : "mean"));
  publish(self, fitted);
  return self;
}

struct RegressorPrediction {
  py::array_t<double> intervals;
  py::array_t<double> point;
};

RegressorPrediction regressor_predict(const py::object& self, const py::object& x, const char* part,
                                      Output* output = nullptr) {
  // Gather: the fitted state once, each fit's predictions per chunk of rows, copied.
  Snapshot state(self);
  require_state(state, "estimators_", "fit");
  if (output != nullptr) *output = wanted_output(state, x);
  warn_if_alpha_changed(state);
  std::string method =
      checked_choice(state.at("method_"), "method_", {"plus", "minmax", "after_bootstrap"});
  const bool bagged = method == "after_bootstrap";
  const bool median = is_median(state.at("aggregate_"));
  const int64_t n = state_int(state, "n_samples_"), k = state_int(state, "rank_");
  if (k < 1 || k > n) tampered_fit("rank_ is not in 1 .. n_samples_");
  py::tuple models = items_of(state.at("estimators_"));
  const int64_t fits = static_cast<int64_t>(models.size());
  if (fits < 1) tampered_fit("estimators_ is empty");
  // The lists: one per fold, or one per pattern of fits that left a row out.
  Lists lists;
  std::vector<std::vector<char>> patterns;
  if (bagged) {
    py::array_t<double> r = exclusive<double>(
        py::array_t<double, py::array::forcecast>::ensure(state.at("residuals_")));
    py::array_t<bool> oob =
        exclusive<bool>(py::array_t<bool, py::array::forcecast>::ensure(state.at("out_of_bag_")));
    if (!r || !oob) tampered_fit("residuals_ or out_of_bag_ is not an array of numbers");
    if (r.ndim() != 1 || r.shape(0) != n || oob.ndim() != 2 || oob.shape(0) != n ||
        oob.shape(1) != fits) {
      tampered_fit("residuals_ or out_of_bag_ does not match n_samples_ and estimators_");
    }
    std::map<std::vector<char>, std::vector<double>> by_pattern;
    // Bytes, not bools: a bool array viewed from other bytes may hold 2 or 255.
    const auto* o = reinterpret_cast<const unsigned char*>(oob.data());
    const double* rv = r.data();
    for (int64_t i = 0; i < n; ++i) {
      if (std::isnan(rv[i]) || rv[i] < 0)
        tampered_fit("residuals_ holds a value fit cannot have left");
      std::vector<char> pattern(static_cast<std::size_t>(fits));
      for (int64_t b = 0; b < fits; ++b) pattern[b] = o[i * fits + b] != 0;
      by_pattern[pattern].push_back(rv[i]);
    }
    for (auto& entry : by_pattern) {
      patterns.push_back(entry.first);
      lists.add(entry.second.data(), entry.second.data() + entry.second.size());
    }
  } else {
    // +inf: a residual of predictions near the largest double may overflow.
    lists = lists_of(state.at("residuals_"), "residuals_", static_cast<std::size_t>(fits), n, true);
  }
  double quantile = 0;
  if (method == "minmax") {
    std::vector<double> all = lists.values;
    quantile = kth_smallest(all.data(), n, k);
  }
  const int64_t rows = rows_of(x);
  const int64_t groups = static_cast<int64_t>(lists.start.size()) - 1;
  const int64_t per_row = fits + (bagged ? groups : 0);
  const int64_t chunk = std::max<int64_t>(1, kChunkValues / std::max<int64_t>(1, per_row));
  RegressorPrediction out;
  out.intervals = py::array_t<double>({rows, int64_t{2}});
  out.point = py::array_t<double>(rows);
  std::vector<double> pred, centre;
  for (int64_t from = 0; from < rows; from += chunk) {
    const int64_t to = std::min(rows, from + chunk), count = to - from;
    py::object part_x = count == rows ? x : take(x, row_range(from, to));
    pred.assign(static_cast<std::size_t>(count * fits), 0);
    for (int64_t b = 0; b < fits; ++b) {
      std::vector<double> p = predicted(models[b], part_x, count, part);
      for (int64_t i = 0; i < count; ++i) pred[i * fits + b] = p[i];
    }
    // Compute: over what this call owns; the output arrays are re-read, since a
    // collection in the calls above may have run any finaliser.
    double* bounds = out.intervals.mutable_data() + 2 * from;
    double* point = out.point.mutable_data() + from;
    py::gil_scoped_release release;
    std::vector<double> scratch;
    std::vector<char> all(static_cast<std::size_t>(fits), 1);
    for (int64_t i = 0; i < count; ++i) {
      const double* p = pred.data() + i * fits;
      point[i] = aggregate_of(p, all.data(), fits, bagged && median, scratch);
      if (method == "minmax") {
        auto range = std::minmax_element(p, p + fits);
        bounds[2 * i] = *range.first - quantile;
        bounds[2 * i + 1] = *range.second + quantile;
      }
    }
    if (method == "minmax") continue;
    if (bagged) {
      centre.assign(static_cast<std::size_t>(count * groups), 0);
      for (int64_t i = 0; i < count; ++i) {
        for (int64_t g = 0; g < groups; ++g) {
          double c =
              aggregate_of(pred.data() + i * fits, patterns[g].data(), fits, median, scratch);
          // Residuals of rows that no fit left out are +inf: any finite centre does.
          centre[i * groups + g] = std::isnan(c) ? 0 : c;
        }
      }
      plus_bounds(lists.view(), centre.data(), count, k, bounds);
    } else {
      plus_bounds(lists.view(), pred.data(), count, k, bounds);
    }
  }
  return out;
}

py::object regressor_predict_intervals(const Args& a) {
  Output output;
  RegressorPrediction p = regressor_predict(a.self(), a["new_x"], "prediction", &output);
  py::array_t<bool> fallback = no_rows(p.intervals.shape(0));
  return published(p.intervals, py::make_tuple("lower", "upper"), fallback, output,
                   py::bool_(false));
}

py::object regressor_evaluate(const Args& a) {
  const py::object& self = a.self();
  RegressorPrediction p = regressor_predict(self, a["test_x"], "test");
  const py::ssize_t rows = p.intervals.shape(0);
  py::array_t<double> y =
      exclusive<double>(numbers(flat_array(a["test_y"]), 1, "the targets have", "values", "test"));
  if (y.shape(0) != rows) {
    throw py::value_error("test_y has " + std::to_string(y.shape(0)) + " values for " +
                          std::to_string(rows) + " test rows: give one value per row");
  }
  if (rows == 0) empty_test_part("there are no test rows to measure coverage on");
  py::ssize_t covered = 0;
  double width = 0;
  {
    const double* b = p.intervals.data();
    const double* target = y.data();
    py::gil_scoped_release release;
    for (py::ssize_t i = 0; i < rows; ++i) {
      covered += b[2 * i] <= target[i] && target[i] <= b[2 * i + 1];
      width += b[2 * i + 1] - b[2 * i];
    }
  }
  publish(self,
          {{"test_x_", a["test_x"]},
           {"test_y_", y},
           {"test_groups_", py::none()},
           {"test_pred_", p.point},
           {"intervals_", p.intervals},
           {"fallback_rows_", no_rows(rows)},
           {"empty_rows_", no_rows(rows)},
           {"coverage_", py::float_(static_cast<double>(covered) / static_cast<double>(rows))},
           {"mean_width_", py::float_(width / static_cast<double>(rows))}});
  return self;
}

// --------------------------------------------------------------------------
// The classifier.

Parameters classifier_parameters() {
  return {
      {"estimator", "alpha", "score", "cv", "n_jobs", "random_state", "lam", "k_reg", "randomized"},
      py::make_tuple(0.1, "lac", 5, py::none(), py::none(), 0.01, 1, true)};
}

using ClassifierProtocol = Estimator<classifier_parameters>;

py::object classifier_repr(const Args& a) {
  return parameters_repr(a.self(), classifier_parameters(), "estimator");
}

constexpr const char* kScoreSettings[] = {"score", "lam", "k_reg", "randomized", "random_state"};

// A fold model's probabilities with their columns placed at their classes among
// `classes` (a class the fold's training part lacked gets 0), copied.
std::vector<double> aligned_probabilities(const py::object& model, const py::object& x,
                                          int64_t rows, const py::array& classes,
                                          const char* part) {
  const int64_t c = classes.shape(0);
  py::array_t<double> proba = probabilities(model, x, part);
  std::vector<int64_t> column;
  py::object own = attr_if_present(model, "classes_");
  if (own) {
    py::array_t<int64_t> at =
        exclusive<int64_t>(label_positions(numpy().attr("asarray")(own), classes, numpy()));
    column.assign(at.data(), at.data() + at.size());
  } else {
    for (int64_t k = 0; k < c; ++k) column.push_back(k);
  }
  proba = exclusive<double>(std::move(proba));
  if (proba.ndim() != 2 || proba.shape(0) != rows ||
      proba.shape(1) != static_cast<py::ssize_t>(column.size())) {
    throw py::value_error("predict_proba returned " +
                          text_of(py::make_tuple(proba.shape(0), proba.shape(1))) + " for " +
                          std::to_string(rows) + " rows of the " + part + " part and a model of " +
                          std::to_string(column.size()) + " classes");
  }
  for (int64_t col : column) {
    if (col < 0 || col >= c) {
      throw py::value_error("a fitted clone has a class that is not among the labels of y");
    }
  }
  require_distributions(proba, part);
  std::vector<double> out(static_cast<std::size_t>(rows * c), 0.0);
  const double* p = proba.data();
  const int64_t given = static_cast<int64_t>(column.size());
  for (int64_t i = 0; i < rows; ++i) {
    for (int64_t j = 0; j < given; ++j) out[i * c + column[j]] = p[i * given + j];
  }
  return out;
}

py::object classifier_fit(const Args& a) {
  const py::object& self = a.self();
  Snapshot state(self, false);
  py::dict saved;
  for (const char* name : kScoreSettings) saved[name] = state.at(name);
  py::object alpha_given = state.at("alpha");
  double rounded = rounded_alpha(alpha_given);
  ExactAlpha exact = checked_alpha(py::float_(rounded));
  Rule r = rule_of(state);
  const py::object& x = a["x"];
  py::array y = flat_array(a["y"]);
  const int64_t n = y.shape(0);
  if (rows_of(x) != n) {
    throw py::value_error("x has " + std::to_string(rows_of(x)) + " rows but y has " +
                          std::to_string(n) + " labels: give one label per row");
  }
  const int64_t k = checked_rank(exact, alpha_given, n);
  py::array classes = numpy().attr("unique")(y);
  const int64_t c = classes.shape(0);
  if (c < 2)
    throw py::value_error("y holds " + std::to_string(c) + " class: a classifier needs two");
  std::vector<int64_t> label;
  {
    py::array_t<int64_t> l = exclusive<int64_t>(label_positions(y, classes, numpy()));
    label.assign(l.data(), l.data() + l.size());
  }
  if (static_cast<int64_t>(label.size()) != n) throw py::value_error("y changed while it was read");
  // NaN is a class of np.unique but equals no class: its scores would index nothing.
  auto unmatched = std::find(label.begin(), label.end(), kNotAClass);
  if (unmatched != label.end()) {
    const py::ssize_t at = unmatched - label.begin();
    py::object value = y[py::slice(at, at + 1, 1)].attr("tolist")()[py::int_(0)];
    throw py::value_error("y holds the label " + repr_of(value) +
                          ", which equals none of its classes (NaN, or a label whose == is not "
                          "true for itself): give labels that compare equal to themselves");
  }
  Folds f = folds_of(state.at("cv"), x, a["y"], a["groups"], state.at("random_state"), n);
  std::vector<py::object> models =
      fitted_clones(state.at("estimator"), x, a["y"], f.train,
                    py::reinterpret_borrow<py::dict>(a["fit_params"]), state.at("n_jobs"));
  // Row i's U is counter i of the calibration stream, whichever fold holds it: so
  // the draws do not depend on the folds, and agree with the split classifier's.
  py::object entropy, stream;
  std::vector<double> u(static_cast<std::size_t>(r.randomized ? n : 0));
  if (r.randomized) {
    entropy = stream_entropy(state.at("random_state"));
    StreamKey key = stream_key(entropy, 0, py::none());
    stream = py::make_tuple(entropy, py::int_(0));
    uniform_draws(key.word, 0, n, u.data());
  }
  py::list scores;
  for (std::size_t fold = 0; fold < models.size(); ++fold) {
    const py::array_t<int64_t>& rows = f.test[fold];
    const int64_t count = static_cast<int64_t>(rows.size());
    std::vector<double> proba =
        aligned_probabilities(models[fold], take(x, rows), count, classes, "training");
    std::vector<int64_t> l(static_cast<std::size_t>(count));
    std::vector<double> fold_u(r.randomized ? l.size() : 0), s(l.size());
    const int64_t* t = rows.data();
    for (int64_t j = 0; j < count; ++j) {
      l[j] = label[t[j]];
      if (r.randomized) fold_u[j] = u[t[j]];
    }
    ScoreRule rule = r.rule;
    rule.u = r.randomized ? fold_u.data() : nullptr;
    label_scores({proba.data(), count, c}, l.data(), rule, s.data());
    std::sort(s.begin(), s.end());
    scores.append(array_of(s));
  }
  Guarantee g = fold_guarantee("plus", rounded, f, n, true);
  publish(self, {{"classes_", classes},
                 {"estimators_", models_list(models)},
                 {"scores_", scores},
                 {"folds_", fold_array(f)},
                 {"n_estimators_", py::int_(static_cast<int64_t>(models.size()))},
                 {"n_samples_", py::int_(n)},
                 {"n_calibration_", py::int_(n)},
                 {"alpha_", py::float_(rounded)},
                 {"rank_", py::int_(k)},
                 {"method_", py::str("plus")},
                 {"coverage_bound_", py::float_(g.bound)},
                 {"guarantee_", py::str(g.text)},
                 {kPredictionStream, stream},
                 {kCalibratedWith, saved}});
  return self;
}

struct ClassifierPrediction {
  py::array_t<bool> sets;
  py::object classes;
};

ClassifierPrediction classifier_predict_once(const py::object& self, const py::object& x,
                                             const char* part, Output* output) {
  Snapshot state(self);
  require_state(state, "scores_", "fit");
  if (output != nullptr) *output = wanted_output(state, x);
  warn_if_alpha_changed(state);
  Rule r = rule_of(state);
  const int64_t n = state_int(state, "n_samples_"), k = state_int(state, "rank_");
  if (k < 1 || k > n) tampered_fit("rank_ is not in 1 .. n_samples_");
  // A copy: the models' calls may refill classes_ in place.
  py::array classes = numpy().attr("array")(state.at("classes_"));
  if (classes.ndim() != 1 || classes.shape(0) < 2)
    tampered_fit("classes_ is not a 1-D array of classes");
  const int64_t c = classes.shape(0);
  py::tuple models = items_of(state.at("estimators_"));
  const int64_t folds = static_cast<int64_t>(models.size());
  py::object scores_read = state.get("scores_");
  Lists lists = lists_of(scores_read, "scores_", static_cast<std::size_t>(folds), n, true);
  const int64_t rows = rows_of(x);
  StreamKey key{};
  uint64_t start = 0;
  if (r.randomized) {
    Reserved reserved = reserve_draws(self, static_cast<uint64_t>(rows), scores_read, "scores_");
    key = stream_key(reserved.entropy, 1, py::none());
    start = reserved.start;
  }
  ClassifierPrediction out;
  out.classes = classes;
  out.sets = py::array_t<bool>({rows, c});
  const int64_t chunk = std::max<int64_t>(1, kChunkValues / std::max<int64_t>(1, folds * c));
  std::vector<double> proba, score, u;
  for (int64_t from = 0; from < rows; from += chunk) {
    const int64_t to = std::min(rows, from + chunk), count = to - from;
    py::object part_x = count == rows ? x : take(x, row_range(from, to));
    proba.clear();
    for (int64_t f = 0; f < folds; ++f) {
      std::vector<double> p = aligned_probabilities(models[f], part_x, count, classes, part);
      proba.insert(proba.end(), p.begin(), p.end());
    }
    // Compute: one U per row, shared by the fold models; the output re-read.
    bool* sets = out.sets.mutable_data() + from * c;
    py::gil_scoped_release release;
    u.assign(static_cast<std::size_t>(r.randomized ? count : 0), 0);
    if (r.randomized) uniform_draws(key.word, start + static_cast<uint64_t>(from), count, u.data());
    ScoreRule rule = r.rule;
    rule.u = r.randomized ? u.data() : nullptr;
    score.assign(static_cast<std::size_t>(folds * count * c), 0);
    for (int64_t f = 0; f < folds; ++f) {
      class_scores({proba.data() + f * count * c, count, c}, rule, score.data() + f * count * c);
    }
    cross_sets(lists.view(), score.data(), count, c, k, sets);
  }
  return out;
}

ClassifierPrediction classifier_predict(const py::object& self, const py::object& x,
                                        const char* part, Output* output = nullptr) {
  for (int tries = 1;; ++tries) {
    try {
      return classifier_predict_once(self, x, part, output);
    } catch (const Recalibrated&) {
      if (tries == 10) {
        throw py::value_error(
            "the object was fitted again during each of ten tries to read its state: call "
            "predict_sets when fit has returned");
      }
    }
  }
}

py::object classifier_predict_sets(const Args& a) {
  Output output;
  ClassifierPrediction p = classifier_predict(a.self(), a["new_x"], "prediction", &output);
  py::array_t<bool> fallback = no_rows(p.sets.shape(0));
  return published(p.sets, p.classes, fallback, output, py::bool_(false));
}

py::object classifier_evaluate(const Args& a) {
  const py::object& self = a.self();
  ClassifierPrediction p = classifier_predict(self, a["test_x"], "test");
  py::array y = flat_array(a["test_y"]);
  const py::ssize_t rows = p.sets.shape(0), c = p.sets.shape(1);
  if (y.shape(0) != rows) {
    throw py::value_error("test_y has " + std::to_string(y.shape(0)) + " labels for " +
                          std::to_string(rows) + " test rows: give one label per row");
  }
  if (rows == 0) empty_test_part("there are no test rows to measure coverage on");
  py::array_t<int64_t> label = exclusive<int64_t>(label_positions(y, p.classes, numpy()));
  if (label.size() != rows) throw py::value_error("test_y changed while it was read");
  warn_unknown_labels(y, label, p.classes);
  SetSummary summary;
  {
    const bool* sets = p.sets.data();
    const int64_t* l = label.data();
    py::gil_scoped_release release;
    summary = summarise_sets(sets, l, rows, c);
  }
  publish(self, {{"test_x_", a["test_x"]},
                 {"test_y_", y},
                 {"test_groups_", py::none()},
                 {"sets_", p.sets},
                 {"fallback_rows_", no_rows(rows)},
                 {"coverage_", py::float_(summary.coverage)},
                 {"mean_set_size_", py::float_(summary.mean_size)}});
  return self;
}

template <Parameters (*spec)()>
std::vector<const char*> init_params() {
  std::vector<const char*> params{"self"};
  Parameters p = spec();
  params.insert(params.end(), p.names.begin(), p.names.end());
  return params;
}

}  // namespace

py::object create_cross_conformal_regressor(const ModuleContext& module) {
  ClassBuilder builder(module, "CrossConformalRegressor", kCrossRegressorDoc);
  builder
      .method("__init__", init_params<regressor_parameters>(), regressor_parameters().defaults,
              RegressorProtocol::init, kInitDoc)
      .method("fit", {"self", "x", "y", "groups", "**fit_params"}, py::make_tuple(py::none()),
              regressor_fit, kCrossRegressorFitDoc)
      .method("predict_intervals", {"self", "new_x"}, regressor_predict_intervals,
              kCrossPredictIntervalsDoc)
      .method("evaluate", {"self", "test_x", "test_y"}, regressor_evaluate,
              kCrossRegressorEvaluateDoc)
      .method("get_params", {"self", "deep"}, py::make_tuple(true), RegressorProtocol::get_params,
              kCrossGetParamsDoc)
      .method("set_params", {"self", "**params"}, RegressorProtocol::set_params, kSetParamsDoc)
      .method("set_output", {"self", "transform"}, py::make_tuple(py::none()),
              RegressorProtocol::set_output, kSetOutputDoc)
      .method("__repr__", {"self"}, regressor_repr);
  return builder.create();
}

py::object create_cross_conformal_classifier(const ModuleContext& module) {
  ClassBuilder builder(module, "CrossConformalClassifier", kCrossClassifierDoc);
  builder
      .method("__init__", init_params<classifier_parameters>(), classifier_parameters().defaults,
              ClassifierProtocol::init, kInitDoc)
      .method("fit", {"self", "x", "y", "groups", "**fit_params"}, py::make_tuple(py::none()),
              classifier_fit, kCrossClassifierFitDoc)
      .method("predict_sets", {"self", "new_x"}, classifier_predict_sets, kCrossPredictSetsDoc)
      .method("evaluate", {"self", "test_x", "test_y"}, classifier_evaluate,
              kCrossClassifierEvaluateDoc)
      .method("get_params", {"self", "deep"}, py::make_tuple(true), ClassifierProtocol::get_params,
              kCrossGetParamsDoc)
      .method("set_params", {"self", "**params"}, ClassifierProtocol::set_params, kSetParamsDoc)
      .method("set_output", {"self", "transform"}, py::make_tuple(py::none()),
              ClassifierProtocol::set_output, kSetOutputDoc)
      .method("__repr__", {"self"}, classifier_repr);
  return builder.create();
}

}  // namespace conformal
}  // namespace trov
