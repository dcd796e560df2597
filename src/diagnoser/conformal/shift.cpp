// DensityRatio: a domain classifier, cross-fitted, tells source rows from new
// rows. Its held-out probabilities give a test of exchangeability (a classifier
// two-sample test, Lopez-Paz and Oquab, 2017) and the weights dP_new / dP_source
// that weighted conformal prediction needs under covariate shift (Tibshirani,
// Barber, Candes and Ramdas, 2019).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/items.h"
#include "diagnoser/common/method.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/conformal/calibration.h"
#include "diagnoser/conformal/classes.h"
#include "diagnoser/conformal/docstrings.h"
#include "diagnoser/conformal/estimator.h"
#include "diagnoser/conformal/fitting.h"
#include "diagnoser/conformal/scoring.h"
#include "diagnoser/conformal/shift_docstrings.h"
#include "diagnoser/conformal/shift_kernels.h"

namespace trov {
namespace conformal {
namespace {

using py::literals::operator""_a;

// An int setting read once (its __index__ need not answer the same twice),
// saturated beyond int64 so that the range checks refuse it by name; `ok` is false
// for anything that is no int (bools included).
int64_t int_setting(const py::handle& value, bool* ok) {
  *ok = !PyBool_Check(value.ptr()) && PyIndex_Check(value.ptr());
  if (!*ok) return 0;
  return saturated(value);
}

int64_t checked_cv(const py::object& cv) {
  bool ok = false;
  int64_t k = int_setting(cv, &ok);
  if (!ok || k < 2) {
    throw py::value_error("cv must be an int >= 2 (the number of stratified folds), got " +
                          repr_of(cv));
  }
  return k;
}

double checked_clip(const py::object& clip) {
  double value = std::nan("");
  if (!PyBool_Check(clip.ptr()) && (PyFloat_Check(clip.ptr()) || PyLong_Check(clip.ptr()))) {
    value = PyFloat_AsDouble(clip.ptr());
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  }
  if (!(value >= 0 && value < 0.5)) {
    throw py::value_error(
        "clip must be a number with 0 <= clip < 0.5 (the probabilities are kept "
        "in [clip, 1 - clip]), got " +
        repr_of(clip));
  }
  return value;
}

int64_t state_int(const Snapshot& state, const char* name, int64_t least) {
  bool ok = false;
  int64_t value = int_setting(state.at(name), &ok);
  // Row counts are at most half of int64, so that their sum is one too.
  if (!ok || value < least || value > INT64_MAX / 2) {
    tampered_fit(std::string(name) + " is not a count fit leaves");
  }
  return value;
}

// The number of rows of x as scikit-learn counts them.
int64_t rows_of(const py::object& x) {
  bool ok = false;
  int64_t rows = int_setting(sklearn("sklearn.utils.validation", "_num_samples")(x), &ok);
  if (!ok || rows < 0 || rows == INT64_MAX) {
    throw py::value_error(
        "x has no number of rows scikit-learn can read: give an array or a "
        "data frame");
  }
  return rows;
}

py::object take(const py::object& x, const std::vector<int64_t>& rows) {
  return conformal::take(x, rows.data(), rows.size());
}

// `value` as int64 values owned by the call; TypeError naming `what` otherwise.
std::vector<int64_t> int_values(const py::object& value, const std::string& what) {
  py::array given = numpy().attr("asarray")(value);
  const char kind = given.dtype().kind();
  if (given.ndim() == 1 && (given.size() == 0 || kind == 'i' || kind == 'u')) {
    auto values = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(given);
    if (values) return std::vector<int64_t>(values.data(), values.data() + values.size());
  }
  throw py::type_error(what + " an array of shape " + text_of(given.attr("shape")) + " and dtype " +
                       text_of(given.attr("dtype")) + ": expected 1-D integers");
}

bool is_frame(const py::object& x) {
  return py::isinstance(x, py::module_::import("pandas").attr("DataFrame"));
}

// The two parts stacked, source rows first, as the classifier takes them.
struct Stacked {
  py::object x;
  py::object names;  // the columns of data frames, an object array; null for arrays
  int64_t n_source = 0, n_new = 0, features = 0;
};

// `frame`'s columns in the order of `names`; ValueError naming the difference.
py::object columns_as(const py::object& frame, const py::object& names, const char* what) {
  py::object columns = frame.attr("columns");
  if (truth(columns.attr("equals")(py::module_::import("pandas").attr("Index")(names)))) {
    return frame;
  }
  py::list wanted = names.attr("tolist")();
  py::set given(columns), known(wanted);
  py::list missing, extra;
  for (py::handle name : items_of(wanted)) {
    if (!given.contains(name)) missing.append(name);
  }
  for (py::handle name : items_of(columns.attr("tolist")())) {
    if (!known.contains(name)) extra.append(name);
  }
  if (py::len(missing) == 0 && py::len(extra) == 0 &&
      py::len(columns) == static_cast<std::size_t>(py::len(wanted)) &&
      !truth(columns.attr("has_duplicates"))) {
    return frame.attr("__getitem__")(wanted);  // the same columns in another order
  }
  throw py::value_error(std::string(what) + " has columns " + repr_of(columns.attr("tolist")()) +
                        ", not those of source_x " + repr_of(wanted) + " (missing " +
                        repr_of(missing) + ", extra " + repr_of(extra) +
                        "): give data frames with the same columns");
}

py::array two_dimensional(const py::object& x, const char* what) {
  py::array a = numpy().attr("asarray")(x);
  if (a.ndim() != 2) {
    throw py::value_error(std::string(what) + " has shape " + text_of(a.attr("shape")) +
                          ": give a 2-D array or a data frame, one row per sample "
                          "(reshape(-1, 1) for a single feature)");
  }
  return a;
}

Stacked stacked(const py::object& source, const py::object& fresh, int64_t folds) {
  Stacked s;
  const bool frames = is_frame(source), fresh_frame = is_frame(fresh);
  if (frames != fresh_frame) {
    throw py::value_error(std::string("source_x is ") +
                          (frames ? "a data frame" : "no data frame") + " but new_x is " +
                          (fresh_frame ? "one" : "not") +
                          ": give both as data frames with the same columns, or both as arrays");
  }
  if (frames) {
    py::object columns = source.attr("columns");
    if (truth(columns.attr("has_duplicates"))) {
      throw py::value_error("source_x has duplicate column names " +
                            repr_of(columns[columns.attr("duplicated")()].attr("tolist")()) +
                            ": give each feature its own name");
    }
    s.names = columns.attr("to_numpy")("dtype"_a = "object");
    py::object aligned = columns_as(fresh, s.names, "new_x");
    s.x = py::module_::import("pandas").attr("concat")(py::make_tuple(source, aligned),
                                                       "ignore_index"_a = true);
    s.n_source = static_cast<int64_t>(py::len(source));
    s.n_new = static_cast<int64_t>(py::len(aligned));
    s.features = static_cast<int64_t>(py::len(s.names));
    if (static_cast<int64_t>(py::len(s.x)) != s.n_source + s.n_new) {
      throw py::value_error("source_x or new_x changed length while they were stacked");
    }
  } else {
    py::array a = two_dimensional(source, "source_x");
    s.n_source = a.shape(0);
    s.features = a.shape(1);
    py::array b = two_dimensional(fresh, "new_x");
    s.n_new = b.shape(0);
    if (b.shape(1) != s.features) {
      throw py::value_error("source_x has " + std::to_string(s.features) + " features but new_x " +
                            std::to_string(b.shape(1)) + ": give both the same columns");
    }
    py::array both = numpy().attr("concatenate")(py::make_tuple(a, b));
    if (both.ndim() != 2 || both.shape(0) != s.n_source + s.n_new || both.shape(1) != s.features) {
      throw py::value_error("source_x or new_x changed shape while they were stacked");
    }
    s.x = both;
  }
  if (s.features < 1) throw py::value_error("source_x and new_x have no features");
  if (s.n_source < folds || s.n_new < folds) {
    throw py::value_error("source_x has " + std::to_string(s.n_source) + " rows and new_x " +
                          std::to_string(s.n_new) + ", but cv = " + std::to_string(folds) +
                          " stratified folds need at least cv rows of each: give more rows "
                          "or a smaller cv");
  }
  return s;
}

// Each row's held-out P(new | x) from `model`, copied and checked: predict_proba
// of a user's classifier may return any shape, NaN, or no probabilities at all.
std::vector<double> new_probability(const py::object& model, const py::object& x, int64_t rows,
                                    const char* part) {
  py::object given = model.attr("predict_proba")(x);
  py::object converted;
  try {
    converted = numpy().attr("asarray")(given, "dtype"_a = "float64");
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError)) throw;
    std::string type = py::str(py::type::of(given).attr("__qualname__")).cast<std::string>();
    std::string text = "predict_proba returned a " + type + " that numpy cannot read as numbers; " +
                       "it must return an array of shape (rows, 2): the probabilities of source " +
                       "(0) and new (1) rows";
    py::raise_from(error, PyExc_ValueError, text.c_str());
    throw py::error_already_set();
  }
  py::array_t<double> proba =
      exclusive<double>(numbers(converted, 2, "predict_proba returned", "probabilities", part));
  if (proba.shape(0) != rows || proba.shape(1) != 2) {
    throw py::value_error("predict_proba returned an array of shape " +
                          text_of(py::make_tuple(proba.shape(0), proba.shape(1))) + " for " +
                          std::to_string(rows) + " rows of the " + part +
                          " part; expected (rows, 2): a classifier fitted on the labels 0 "
                          "(source) and 1 (new)");
  }
  require_distributions(proba, part);
  py::ssize_t column = 1;
  py::object classes = attr_if_present(model, "classes_");
  if (classes && !classes.is_none()) {
    py::list labels = numpy().attr("asarray")(classes).attr("ravel")().attr("tolist")();
    column = -1;
    for (py::ssize_t j = 0; j < static_cast<py::ssize_t>(py::len(labels)); ++j) {
      py::object label = labels[static_cast<std::size_t>(j)];
      const int equal = PyObject_RichCompareBool(label.ptr(), py::int_(1).ptr(), Py_EQ);
      if (equal < 0) throw py::error_already_set();
      if (equal == 1) column = j;
    }
    if (py::len(labels) != 2 || column < 0) {
      throw py::value_error("a fitted classifier has classes_ " + repr_of(labels) +
                            ": expected the labels [0, 1] of source and new rows");
    }
  }
  // Read after every call into Python: the array is this call's own.
  const double* p = proba.data();
  std::vector<double> out(static_cast<std::size_t>(rows));
  for (int64_t i = 0; i < rows; ++i) out[i] = std::min(1.0, std::max(0.0, p[i * 2 + column]));
  return out;
}

// The folds of the stacked rows: StratifiedKFold on the labels, shuffled.
struct Folds {
  std::vector<std::vector<int64_t>> train, test;
  std::vector<int64_t> fold_of;
};

Folds stratified_folds(int64_t k, const py::object& random_state,
                       const std::vector<int64_t>& label) {
  const int64_t n = static_cast<int64_t>(label.size());
  py::object splitter = sklearn("sklearn.model_selection", "StratifiedKFold")(
      "n_splits"_a = k, "shuffle"_a = true, "random_state"_a = random_state);
  py::array_t<int64_t> y(static_cast<py::ssize_t>(n), label.data());
  py::object placeholder = numpy().attr("zeros")(py::make_tuple(n, 1));
  Folds f;
  f.fold_of.assign(static_cast<std::size_t>(n), -1);
  for (py::handle pair : py::iter(splitter.attr("split")(placeholder, y))) {
    std::vector<py::object> parts = unpack(pair, 2);
    const int64_t fold = static_cast<int64_t>(f.test.size());
    std::vector<int64_t> train = int_values(parts[0], "StratifiedKFold gave as training rows");
    std::vector<int64_t> test = int_values(parts[1], "StratifiedKFold gave as held-out rows");
    for (int64_t row : test) {
      if (row < 0 || row >= n || f.fold_of[row] != -1) {
        throw py::value_error("StratifiedKFold gave held-out rows that do not partition the rows");
      }
      f.fold_of[row] = fold;
    }
    f.train.push_back(std::move(train));
    f.test.push_back(std::move(test));
  }
  if (static_cast<int64_t>(f.test.size()) != k ||
      std::find(f.fold_of.begin(), f.fold_of.end(), -1) != f.fold_of.end()) {
    throw py::value_error("StratifiedKFold gave held-out rows that do not partition the rows");
  }
  for (std::size_t fold = 0; fold < f.train.size(); ++fold) {
    for (int64_t row : f.train[fold]) {
      if (row < 0 || row >= n || f.fold_of[row] == static_cast<int64_t>(fold)) {
        throw py::value_error("StratifiedKFold trained a fold on its own held-out rows");
      }
    }
  }
  return f;
}

// A random permutation of the rows that breaks ties among held-out probabilities.
// Drawn from its own stream (numpy's SeedSequence of the seed), not from the
// generator that shuffled the folds, so that it is independent of them.
std::vector<int64_t> tie_keys(const py::object& random_state, int64_t n) {
  py::module_ np = numpy();
  py::object seed = py::none();
  bool is_int = false;
  int_setting(random_state, &is_int);
  if (is_int) {
    seed = random_state;
  } else if (!random_state.is_none()) {
    py::object rs = sklearn("sklearn.utils", "check_random_state")(random_state);
    seed = rs.attr("randint")(0, 2147483647, "size"_a = 4);
  }
  py::object rng = np.attr("random").attr("default_rng")(seed);
  std::vector<int64_t> keys = int_values(rng.attr("permutation")(n), "the tie-break draw gave");
  std::vector<char> seen(static_cast<std::size_t>(n), 0);
  for (int64_t key : keys) {
    if (key < 0 || key >= n || seen[key]) {
      throw py::value_error("the tie-break draw is no permutation of the rows");
    }
    seen[key] = 1;
  }
  if (static_cast<int64_t>(keys.size()) != n) {
    throw py::value_error("the tie-break draw is no permutation of the rows");
  }
  return keys;
}

// The clones' fits, one per fold, through joblib (n_jobs, under any backend the
// caller chose with joblib.parallel_backend).
std::vector<py::object> fitted_clones(const py::object& classifier, const py::object& x,
                                      const std::vector<int64_t>& label, const Folds& f,
                                      const py::object& n_jobs) {
  py::object clone = sklearn("sklearn.base", "clone");
  py::object delayed = sklearn("joblib", "delayed");
  py::list tasks;
  for (const auto& rows : f.train) {
    py::array_t<int64_t> y(static_cast<py::ssize_t>(rows.size()));
    int64_t* out = y.mutable_data();
    for (std::size_t j = 0; j < rows.size(); ++j) out[j] = label[rows[j]];
    tasks.append(delayed(clone(classifier).attr("fit"))(take(x, rows), y));
  }
  return parallel_fits(tasks, n_jobs, f.train.size(), "classifier", "folds");
}

Parameters density_parameters() {
  return {{"classifier", "cv", "clip", "n_jobs", "random_state"},
          py::make_tuple(py::none(), 5, 0.01, py::none(), py::none())};
}

using DensityProtocol = Estimator<density_parameters>;

py::object density_repr(const Args& a) {
  return parameters_repr(a.self(), density_parameters(), "");
}

py::object density_fit(const Args& a) {
  const py::object& self = a.self();
  // Gather: the settings as they stand, checked before any fit.
  Snapshot state(self, false);
  const int64_t k = checked_cv(state.at("cv"));
  const double clip = checked_clip(state.at("clip"));
  py::object random_state = state.at("random_state");
  py::object classifier = state.at("classifier");
  if (classifier.is_none()) {
    classifier = ns("HistGradientBoostingClassifier")("random_state"_a = random_state);
  } else if (!attr_if_present(classifier, "predict_proba") || !attr_if_present(classifier, "fit")) {
    throw py::type_error(
        "classifier must be a scikit-learn classifier with fit and predict_proba, "
        "got " +
        repr_of(classifier));
  }
  Stacked s = stacked(a["source_x"], a["new_x"], k);
  const int64_t n = s.n_source + s.n_new;
  std::vector<int64_t> label(static_cast<std::size_t>(n), 0);
  std::fill(label.begin() + s.n_source, label.end(), 1);
  Folds f = stratified_folds(k, random_state, label);
  std::vector<int64_t> key = tie_keys(random_state, n);
  std::vector<py::object> models = fitted_clones(classifier, s.x, label, f, state.at("n_jobs"));
  std::vector<double> oof(static_cast<std::size_t>(n));
  for (std::size_t fold = 0; fold < models.size(); ++fold) {
    const std::vector<int64_t>& rows = f.test[fold];
    std::vector<double> p = new_probability(models[fold], take(s.x, rows),
                                            static_cast<int64_t>(rows.size()), "held-out");
    for (std::size_t j = 0; j < rows.size(); ++j) oof[rows[j]] = p[j];
  }
  // Compute: over what this call owns.
  std::vector<double> fold_p(static_cast<std::size_t>(k));
  double auc = 0, ess = 0;
  {
    py::gil_scoped_release release;
    std::vector<double> score;
    std::vector<int64_t> keys, order(static_cast<std::size_t>(n));
    std::vector<unsigned char> is_new;
    for (int64_t fold = 0; fold < k; ++fold) {
      score.clear();
      keys.clear();
      is_new.clear();
      int64_t fresh = 0;
      for (int64_t row : f.test[fold]) {
        score.push_back(oof[row]);
        keys.push_back(key[row]);
        is_new.push_back(static_cast<unsigned char>(label[row]));
        fresh += label[row];
      }
      const int64_t rows = static_cast<int64_t>(score.size()), source = rows - fresh;
      const int64_t u =
          mann_whitney_count(score.data(), keys.data(), is_new.data(), rows, order.data());
      fold_p[fold] = mann_whitney_upper(u, fresh, source);
    }
    std::vector<unsigned char> all(label.begin(), label.end());
    auc = pooled_auc(oof.data(), all.data(), n, order.data());
    std::vector<double> w(static_cast<std::size_t>(s.n_source));
    const double scale = static_cast<double>(s.n_source) / static_cast<double>(s.n_new);
    clipped_weights(oof.data(), s.n_source, clip, scale, w.data());
    ess = kish_ess(w.data(), s.n_source);
  }
  const double smallest = *std::min_element(fold_p.begin(), fold_p.end());
  py::list estimators;
  for (const auto& m : models) estimators.append(m);
  py::dict saved;
  saved["clip"] = state.at("clip");
  // Publish.
  publish(self, {{"estimators_", estimators},
                 {"folds_", py::array_t<int64_t>(static_cast<py::ssize_t>(n), f.fold_of.data())},
                 {"oof_proba_", array_of(oof)},
                 {"auc_", py::float_(auc)},
                 {"fold_pvalues_", array_of(fold_p)},
                 {"pvalue_", py::float_(std::min(1.0, static_cast<double>(k) * smallest))},
                 {"n_source_", py::int_(s.n_source)},
                 {"n_new_", py::int_(s.n_new)},
                 {"ess_", py::float_(ess)},
                 {"n_features_in_", py::int_(s.features)},
                 {"feature_names_in_", s.names},
                 {"_stacked_x", s.x},
                 {kCalibratedWith, saved}});
  return self;
}

// What the methods after fit read of the fitted state, checked.
struct Fitted {
  py::tuple models;
  int64_t n_source = 0, n_new = 0, features = 0;
  py::object names;  // feature_names_in_, or null
};

Fitted fitted_of(const Snapshot& state) {
  require_state(state, "estimators_", "fit");
  Fitted out;
  out.models = items_of(state.at("estimators_"));
  if (out.models.size() < 2) tampered_fit("estimators_ holds fewer than 2 fold models");
  out.n_source = state_int(state, "n_source_", 1);
  out.n_new = state_int(state, "n_new_", 1);
  out.features = state_int(state, "n_features_in_", 1);
  out.names = state.get("feature_names_in_");
  if (out.names) {
    out.names = numpy().attr("asarray")(out.names, "dtype"_a = "object");
    if (static_cast<int64_t>(py::len(out.names)) != out.features) {
      tampered_fit("feature_names_in_ does not name n_features_in_ columns");
    }
  }
  return out;
}

// x as the fold models take it: a data frame's columns in the fitted order.
py::object aligned_rows(const Fitted& fitted, const py::object& x, const char* what) {
  if (fitted.names && is_frame(x)) return columns_as(x, fitted.names, what);
  int64_t columns = 0;
  if (is_frame(x)) {
    columns = static_cast<int64_t>(py::len(x.attr("columns")));
  } else {
    py::array given = two_dimensional(x, what);
    columns = given.shape(1);
  }
  if (columns != fitted.features) {
    throw py::value_error(std::string(what) + " has " + std::to_string(columns) +
                          " features, but the ratio was fitted on " +
                          std::to_string(fitted.features) + ": give rows with the same columns");
  }
  return x;
}

py::object density_call(const Args& a) {
  // Gather: the fitted state once, every fold model's probabilities, copied.
  Snapshot state(a.self());
  Fitted fitted = fitted_of(state);
  const double clip = checked_clip(state.setting("clip"));
  py::object x = aligned_rows(fitted, a["x"], "x");
  const int64_t rows = rows_of(x);
  std::vector<double> sum(static_cast<std::size_t>(rows), 0.0);
  for (py::handle model : fitted.models) {
    std::vector<double> p =
        new_probability(py::reinterpret_borrow<py::object>(model), x, rows, "given");
    for (int64_t i = 0; i < rows; ++i) sum[i] += p[i];
  }
  py::array_t<double> out(static_cast<py::ssize_t>(sum.size()));
  // Compute, into the output re-read after the models' calls.
  double* w = out.mutable_data();
  {
    py::gil_scoped_release release;
    const double folds = static_cast<double>(fitted.models.size());
    for (double& v : sum) v /= folds;
    const double scale = static_cast<double>(fitted.n_source) / static_cast<double>(fitted.n_new);
    clipped_weights(sum.data(), static_cast<int64_t>(sum.size()), clip, scale, w);
  }
  return out;
}

// A copy of `part` with column j's values permuted by `order`.
py::object permuted(const py::object& part, int64_t j, const py::object& order, bool frame) {
  py::object copy = part.attr("copy")();
  if (frame) {
    py::object column = part.attr("iloc")[py::make_tuple(order, py::int_(j))];
    copy.attr("iloc")[py::make_tuple(all_rows(), py::int_(j))] = column.attr("to_numpy")();
  } else {
    copy[py::make_tuple(all_rows(), py::int_(j))] = part[py::make_tuple(order, py::int_(j))];
  }
  return copy;
}

py::object density_feature_importances(const Args& a) {
  // Gather.
  Snapshot state(a.self());
  Fitted fitted = fitted_of(state);
  bool ok = false;
  const int64_t repeats = int_setting(a["n_repeats"], &ok);
  if (!ok || repeats < 1) {
    throw py::value_error("n_repeats must be an int >= 1, got " + repr_of(a["n_repeats"]));
  }
  const int64_t n = fitted.n_source + fitted.n_new, k = static_cast<int64_t>(fitted.models.size());
  std::vector<int64_t> fold_of = int_values(state.at("folds_"), "folds_ is");
  py::array_t<double> oof_read =
      exclusive<double>(py::array_t<double, py::array::forcecast>::ensure(state.at("oof_proba_")));
  if (!oof_read || oof_read.ndim() != 1 || oof_read.shape(0) != n) {
    tampered_fit("oof_proba_ does not hold n_source_ + n_new_ probabilities");
  }
  std::vector<double> baseline(oof_read.data(), oof_read.data() + n);
  py::object x = state.at("_stacked_x");
  const bool frame = is_frame(x);
  if (static_cast<int64_t>(fold_of.size()) != n || static_cast<int64_t>(py::len(x)) != n) {
    tampered_fit("folds_ or the stored rows do not match n_source_ + n_new_");
  }
  // n_features_in_ sizes the drops and bounds the columns permuted: it must be the
  // stored rows' own count, not whatever the attribute says.
  int64_t columns = -1;
  if (frame) {
    columns = static_cast<int64_t>(py::len(x.attr("columns")));
  } else {
    py::array stored = numpy().attr("asarray")(x);
    if (stored.ndim() == 2) columns = stored.shape(1);
  }
  if (columns != fitted.features) {
    tampered_fit("the stored rows do not have the n_features_in_ columns fit saw");
  }
  std::vector<std::vector<int64_t>> rows(static_cast<std::size_t>(k));
  for (int64_t i = 0; i < n; ++i) {
    if (fold_of[i] < 0 || fold_of[i] >= k) tampered_fit("folds_ names a fold with no model");
    if (!std::isfinite(baseline[i])) tampered_fit("oof_proba_ holds a value fit cannot have left");
    rows[fold_of[i]].push_back(i);
  }
  std::vector<py::object> parts;
  for (const auto& r : rows) parts.push_back(take(x, r));
  py::object rs = sklearn("sklearn.utils", "check_random_state")(a["random_state"]);
  std::vector<unsigned char> label(static_cast<std::size_t>(n), 0);
  std::fill(label.begin() + fitted.n_source, label.end(), 1);
  std::vector<int64_t> order(static_cast<std::size_t>(n));
  double reference = 0;
  {
    py::gil_scoped_release release;
    reference = pooled_auc(baseline.data(), label.data(), n, order.data());
  }
  std::vector<double> drop(static_cast<std::size_t>(fitted.features), 0.0), pooled(baseline);
  for (int64_t j = 0; j < fitted.features; ++j) {
    for (int64_t r = 0; r < repeats; ++r) {
      for (int64_t fold = 0; fold < k; ++fold) {
        const int64_t count = static_cast<int64_t>(rows[fold].size());
        py::object shuffled = permuted(parts[fold], j, rs.attr("permutation")(count), frame);
        std::vector<double> p =
            new_probability(fitted.models[fold], shuffled, count, "permuted held-out");
        for (int64_t i = 0; i < count; ++i) pooled[rows[fold][i]] = p[i];
      }
      py::gil_scoped_release release;
      drop[j] += reference - pooled_auc(pooled.data(), label.data(), n, order.data());
    }
    drop[j] /= static_cast<double>(repeats);
  }
  // Publish.
  py::list names;
  if (fitted.names) {
    names = fitted.names.attr("tolist")();
  } else {
    for (int64_t j = 0; j < fitted.features; ++j) names.append(py::str("x" + std::to_string(j)));
  }
  py::object series = py::module_::import("pandas").attr("Series")(
      array_of(drop), "index"_a = names, "name"_a = "auc_drop");
  return series.attr("sort_values")("ascending"_a = false, "kind"_a = "mergesort");
}

}  // namespace

py::object create_density_ratio(const ModuleContext& module) {
  ClassBuilder builder(module, "DensityRatio", kDensityRatioDoc);
  builder
      .method("__init__", {"self", "classifier", "cv", "clip", "n_jobs", "random_state"},
              density_parameters().defaults, DensityProtocol::init, kInitDoc)
      .method("fit", {"self", "source_x", "new_x"}, density_fit, kDensityFitDoc)
      .method("__call__", {"self", "x"}, density_call, kDensityCallDoc)
      .method("feature_importances", {"self", "n_repeats", "random_state"},
              py::make_tuple(5, py::none()), density_feature_importances, kDensityImportancesDoc)
      .method("get_params", {"self", "deep"}, py::make_tuple(true), DensityProtocol::get_params,
              kDensityGetParamsDoc)
      .method("set_params", {"self", "**params"}, DensityProtocol::set_params, kSetParamsDoc)
      .method("__repr__", {"self"}, density_repr);
  return builder.create();
}

}  // namespace conformal
}  // namespace trov
