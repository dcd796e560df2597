// OnlineConformalRegressor and OnlineConformalClassifier: intervals and sets for a
// stream of rows whose labels arrive after their predictions, with a threshold that
// moves with each miss (adaptive conformal inference, or conformal PID control).
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/labels.h"
#include "diagnoser/common/method.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/conformal/calibration.h"
#include "diagnoser/conformal/classes.h"
#include "diagnoser/conformal/docstrings.h"
#include "diagnoser/conformal/estimator.h"
#include "diagnoser/conformal/fitting.h"
#include "diagnoser/conformal/kernels.h"
#include "diagnoser/conformal/online_docstrings.h"
#include "diagnoser/conformal/online_kernels.h"
#include "diagnoser/conformal/scoring.h"

namespace trov {
namespace conformal {
namespace {

using py::literals::operator""_a;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// ACI's step when none is given (Gibbs and Candes, 2021, use 0.005).
constexpr double kAciStep = 0.005;
// The p-values' tie-breaks: a stream of their own.
constexpr int kPvalueStream = 3;

// The settings the stream started with; later calls keep them.
constexpr const char* kSettingsKey = "_online_settings";
constexpr const char* kCarry = "_online_carry";
constexpr const char* kCalibration = "_calibration_scores";
constexpr const char* kSorted = "_sorted_scores";

enum class Kind { kRegressor, kClassifier };

Parameters parameters(Kind kind) {
  return {{"model", "alpha", "method", "score", "lr", "integrator", "window", "scorecaster", "lags",
           "gain", "saturation", "random_state"},
          py::make_tuple(0.1, kind == Kind::kRegressor ? "pid" : "aci",
                         kind == Kind::kRegressor ? "absolute" : "lac", py::none(), true,
                         py::none(), py::none(), 5, py::none(), 1.0, py::none())};
}
Parameters regressor_parameters() { return parameters(Kind::kRegressor); }
Parameters classifier_parameters() { return parameters(Kind::kClassifier); }

// An int >= 1, or None (0).
int64_t positive_count(const py::object& value, const char* name, bool none_allowed) {
  if (none_allowed && value.is_none()) return 0;
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
    throw py::type_error(std::string(name) + " must be an integer >= 1" +
                         (none_allowed ? " or None" : "") + ", got " + repr_of(value));
  }
  int64_t n = saturated(value);
  if (n < 1 || n == INT64_MAX) {
    throw py::value_error(std::string(name) + " must be an integer >= 1 and below 2**63 - 1, got " +
                          repr_of(value));
  }
  return n;
}

// A finite number > 0 (>= 0 with `zero`), or None (NaN).
double positive_number(const py::object& value, const char* name, bool zero = false) {
  if (value.is_none()) return kNaN;
  if (PyBool_Check(value.ptr()) || !PyNumber_Check(value.ptr()) || PyUnicode_Check(value.ptr())) {
    throw py::type_error(std::string(name) + " must be a number or None, got " + repr_of(value));
  }
  double x = py::float_(value);
  if (!std::isfinite(x) || x < 0 || (!zero && x == 0)) {
    throw py::value_error(std::string(name) + " must be a finite number " +
                          (zero ? ">= 0" : "> 0") + ", got " + repr_of(value));
  }
  return x;
}

// What one call works with: the settings the stream started with, checked.
struct Setup {
  Kind kind;
  OnlineSettings s;
  std::string score;
  py::object scorecaster;  // the parameter: None, or an estimator to clone
  int64_t lags = 0;
  int64_t train_window = 0;  // the scorecaster's rows: the last ones, or all (0)
  py::object random_state;   // as given: read by a stream that starts now
  py::object saved;          // the dict the stream keeps: the settings as checked
};

constexpr const char* kSettingNames[] = {"alpha",      "method",     "score",       "lr",
                                         "integrator", "window",     "scorecaster", "lags",
                                         "gain",       "saturation", "random_state"};

// `fresh`: the settings as they stand (a new stream), not those the stream started with.
Setup setup_of(const Snapshot& state, Kind kind, bool fresh = false) {
  py::object saved = fresh ? py::object() : state.get(kSettingsKey);
  py::dict d;
  if (saved && !saved.is_none()) {
    if (!PyDict_Check(saved.ptr())) tampered(std::string(kSettingsKey) + " is not a dict");
    // A copy: the stream's dict is the user's to change while the settings are read.
    PyObject* copy = PyDict_Copy(saved.ptr());
    if (copy == nullptr) throw py::error_already_set();
    d = py::reinterpret_steal<py::dict>(copy);
  } else {
    for (const char* name : kSettingNames) d[name] = state.at(name);
  }
  auto item = [&d](const char* name) -> py::object {
    if (!d.contains(name)) tampered(std::string(kSettingsKey) + " lacks " + name);
    return d[name];
  };
  Setup u;
  u.kind = kind;
  u.s.alpha = rounded_alpha(item("alpha"));
  std::string method = checked_choice(item("method"), "method", {"aci", "pid"});
  u.s.method = method == "aci" ? OnlineMethod::kAci : OnlineMethod::kPid;
  u.score = kind == Kind::kRegressor ? checked_choice(item("score"), "score", {"absolute"})
                                     : checked_choice(item("score"), "score", {"lac", "aps"});
  double lr = positive_number(item("lr"), "lr");
  if (u.s.method == OnlineMethod::kAci) {
    u.s.lr = std::isnan(lr) ? kAciStep : lr;
  } else {
    u.s.lr = lr;  // NaN: a tenth of the scores' range
  }
  u.s.integrator = truth(item("integrator"));
  u.s.gain = positive_number(item("gain"), "gain");
  u.s.saturation = positive_number(item("saturation"), "saturation");
  if (std::isnan(u.s.saturation)) {
    throw py::type_error("saturation must be a number > 0, got None");
  }
  int64_t window = positive_count(item("window"), "window", true);
  u.scorecaster = item("scorecaster");
  u.lags = positive_count(item("lags"), "lags", false);
  if (u.s.method == OnlineMethod::kAci) {
    if (!u.scorecaster.is_none()) {
      throw py::value_error(
          "a scorecaster forecasts the score for method='pid'; method='aci' moves its level, "
          "not a score: drop scorecaster or use method='pid'");
    }
    u.s.window = window;
  } else {
    if (window > 0 && u.scorecaster.is_none()) {
      throw py::value_error(
          "window limits the scores the threshold is read from (method='aci') or the rows a "
          "scorecaster learns from; method='pid' without a scorecaster keeps no scores: drop "
          "window or pass a scorecaster");
    }
    u.train_window = window;
  }
  u.random_state = item("random_state");
  // Later calls read the settings as checked here, not the objects given: a setting
  // whose __float__ or __index__ answers differently each time is read once a stream.
  py::dict kept;
  kept["alpha"] = py::float_(u.s.alpha);
  kept["method"] = py::str(method);
  kept["score"] = py::str(u.score);
  kept["lr"] = std::isnan(lr) ? py::object(py::none()) : py::object(py::float_(lr));
  kept["integrator"] = py::bool_(u.s.integrator);
  kept["window"] = window > 0 ? py::object(py::int_(window)) : py::object(py::none());
  kept["scorecaster"] = u.scorecaster;
  kept["lags"] = py::int_(u.lags);
  kept["gain"] = std::isnan(u.s.gain) ? py::object(py::none()) : py::object(py::float_(u.s.gain));
  kept["saturation"] = py::float_(u.s.saturation);
  kept["random_state"] = u.random_state;
  u.saved = kept;
  return u;
}

// The scores of the label of each row, and what the published steps show of them.
struct Rows {
  std::vector<double> scores;
  // regressor
  std::vector<double> prediction;
  py::array_t<double> y;
  // classifier
  py::array_t<double> proba;  // rows x classes, owned
  py::array labels;           // as given
  std::vector<int64_t> label;
};

py::array_t<double> regressor_predictions(const py::object& model, const py::object& x,
                                          const char* part) {
  py::array given = numpy().attr("asarray")(model.attr("predict")(x));
  bool one_per_row = given.ndim() == 1 || (given.ndim() == 2 && given.shape(1) == 1);
  if (!one_per_row) {
    throw py::value_error("predict returned an array of shape " + text_of(given.attr("shape")) +
                          " for the " + part + " part; expected one prediction per row");
  }
  return exclusive<double>(numbers(flat_array(given), 1, "predict returned", "predictions", part));
}

void require_rows(py::ssize_t values, py::ssize_t rows, const char* name, const char* part) {
  if (values == rows) return;
  throw py::value_error(std::string(name) + " has " + std::to_string(values) +
                        " values but the model predicted " + std::to_string(rows) +
                        " rows for the " + part + " part: give one label per row");
}

// The classes a classifier's stream is read against: the model's classes_, or the
// columns of predict_proba.
py::array model_classes(const py::object& model, py::ssize_t columns) {
  py::object given = attr_if_present(model, "classes_");
  py::array classes = given ? numpy().attr("array")(given) : numpy().attr("arange")(columns);
  if (classes.ndim() != 1 || classes.shape(0) != columns) {
    throw py::value_error("the model has " + std::to_string(classes.size()) +
                          " classes_ but predict_proba returned " + std::to_string(columns) +
                          " columns");
  }
  return classes;
}

ScoreRule rule_for(const Setup& u) {
  ScoreRule r;
  r.score = u.score == "lac" ? Score::kLac : Score::kAps;
  return r;
}

// Gather: the model's answer for x and the labels, checked; the scores computed.
// `classes`: the stream's classes (None before the stream has any).
Rows read_rows(const Setup& u, const py::object& model, const py::object& x, const py::object& y,
               py::object& classes, const char* part) {
  Rows r;
  if (u.kind == Kind::kRegressor) {
    py::array_t<double> pred = regressor_predictions(model, x, part);
    r.y = exclusive<double>(numbers(flat_array(y), 1, "the targets have", "values", part));
    require_rows(r.y.shape(0), pred.shape(0), "y", part);
    pred = exclusive<double>(std::move(pred));
    if (pred.size() != r.y.size()) {
      throw py::value_error("the " + std::string(part) + " rows changed while they were read");
    }
    const auto n = static_cast<std::size_t>(pred.size());
    r.prediction.assign(pred.data(), pred.data() + n);
    r.scores.resize(n);
    const double* target = r.y.data();
    for (std::size_t i = 0; i < n; ++i) r.scores[i] = std::abs(target[i] - r.prediction[i]);
    return r;
  }
  r.proba = probabilities(model, x, part);
  const py::ssize_t columns = r.proba.shape(1);
  if (columns < 2) {
    throw py::value_error("predict_proba returned " + std::to_string(columns) +
                          " column(s); a classifier needs at least two classes");
  }
  if (classes.is_none()) classes = model_classes(model, columns);
  py::array known = classes;
  if (known.ndim() != 1 || known.shape(0) != columns) {
    throw py::value_error("predict_proba returned " + std::to_string(columns) +
                          " columns, but the stream started with " + std::to_string(known.size()) +
                          " classes");
  }
  r.labels = flat_array(y);
  require_rows(r.labels.shape(0), r.proba.shape(0), "y", part);
  py::array_t<int64_t> pos = exclusive<int64_t>(label_positions(r.labels, known, numpy()));
  r.proba = exclusive<double>(std::move(r.proba));
  const py::ssize_t rows = r.proba.shape(0);
  if (pos.size() != rows || r.proba.ndim() != 2 || r.proba.shape(1) != columns) {
    throw py::value_error("the " + std::string(part) + " rows changed while they were read");
  }
  require_distributions(r.proba, part);
  const int64_t* p = pos.data();
  const int64_t* missing = std::find(p, p + rows, kNotAClass);
  if (missing != p + rows) {
    py::ssize_t at = missing - p;
    throw py::value_error(
        "y holds the label " +
        repr_of(r.labels[py::slice(at, at + 1, 1)].attr("tolist")()[py::int_(0)]) +
        ", which is not among the stream's classes " + repr_of(known.attr("tolist")()) +
        ": a stream keeps the classes it started with");
  }
  r.label.assign(p, p + rows);
  r.scores.resize(static_cast<std::size_t>(rows));
  Probabilities pr{r.proba.data(), rows, columns};
  label_scores(pr, r.label.data(), rule_for(u), r.scores.data());
  return r;
}

// A count of the carried state: an int >= 0 and below 2**63 - 1.
int64_t carried_count(const py::handle& value) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
    tampered(std::string(kCarry) + " holds " + repr_of(value) + " for a count");
  }
  int64_t n = saturated(value);
  if (n < 0 || n == INT64_MAX) tampered(std::string(kCarry) + " holds the count " + repr_of(value));
  return n;
}

// A float64 vector of the state, checked to hold `n` values.
std::vector<double> state_vector(const Snapshot& state, const char* name, int64_t n) {
  py::object value = state.get(name);
  if (!value) tampered(std::string(name) + " is missing");
  auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(value);
  if (!a || a.ndim() != 1 || a.shape(0) != n) {
    PyErr_Clear();
    tampered(std::string(name) + " does not hold " + std::to_string(n) + " numbers");
  }
  std::vector<double> out(a.data(), a.data() + a.shape(0));
  for (double v : out) {
    if (std::isnan(v)) tampered(std::string(name) + " holds NaN");
  }
  return out;
}

// The stream as it stands: what the kernel carries and every score so far.
struct Stream {
  bool started = false;
  OnlineCarry carry;
  int64_t n_calibration = 0;
  std::vector<double> history;  // calibration scores, then the stream's
  std::vector<double> sorted;
  py::object entropy;
  py::object classes = py::none();
  py::object scorecaster_fit = py::none();
  py::object carry_object;  // the attribute read, to tell a concurrent update
};

Stream read_stream(const Snapshot& state, const Setup& u) {
  Stream st;
  py::object carry = state.get(kCarry);
  if (!carry || carry.is_none()) return st;
  st.started = true;
  st.carry_object = carry;
  std::vector<py::object> c = unpack(carry, 6);
  st.carry.steps = carried_count(c[0]);
  st.carry.misses = carried_count(c[1]);
  st.carry.alpha_t = py::float_(c[2]);
  st.carry.p = py::float_(c[3]);
  st.carry.scale = py::float_(c[4]);
  st.n_calibration = carried_count(c[5]);
  // The level, tracker and scale of a stream are finite: an infinite one would hold
  // every later set full or empty, or make the tracker inf - inf.
  if (st.carry.misses > st.carry.steps || !std::isfinite(st.carry.scale) || st.carry.scale < 0 ||
      !std::isfinite(st.carry.p) || !std::isfinite(st.carry.alpha_t)) {
    tampered(std::string(kCarry) + " is not a state a stream can reach");
  }
  std::vector<double> calib = state_vector(state, kCalibration, st.n_calibration);
  std::vector<double> scores = state_vector(state, "scores_", st.carry.steps);
  st.history = std::move(calib);
  st.history.insert(st.history.end(), scores.begin(), scores.end());
  const auto total = static_cast<int64_t>(st.history.size());
  st.sorted = state_vector(state, kSorted, total);
  st.entropy = state.at("_stream_entropy");
  if (u.kind == Kind::kClassifier) st.classes = state.at("classes_");
  st.scorecaster_fit = state.get("scorecaster_") ? state.at("scorecaster_") : py::none();
  return st;
}

// A stream that starts now: after calibration scores (warm start), or from nothing.
Stream new_stream(const Setup& u, std::vector<double> calibration, const py::object& entropy) {
  Stream st;
  st.started = true;
  st.entropy = entropy;
  st.n_calibration = static_cast<int64_t>(calibration.size());
  st.sorted = calibration;
  std::sort(st.sorted.begin(), st.sorted.end());
  st.history = std::move(calibration);
  st.carry.alpha_t = u.s.alpha;
  const auto n = static_cast<int64_t>(st.sorted.size());
  if (n > 0) {
    // The tracker starts at the split conformal threshold, the scale at the largest
    // finite score (an overflowing one gives no step).
    int64_t k = rank_needed(checked_alpha(py::float_(u.s.alpha)), n);
    st.carry.p = pid_moved(st.sorted[static_cast<std::size_t>(std::min(k, n) - 1)], 0);
    for (double v : st.sorted) {
      if (std::isfinite(v)) st.carry.scale = std::max(st.carry.scale, std::abs(v));
    }
  }
  return st;
}

OnlineSettings kernel_settings(const Setup& u, const Stream& st) {
  OnlineSettings s = u.s;
  // Calibration scores that are all 0 (a model exact on them), or not finite, give no
  // scale either.
  s.track_scale = true;
  for (int64_t i = 0; i < st.n_calibration; ++i) {
    double v = st.history[static_cast<std::size_t>(i)];
    if (std::isfinite(v) && v != 0) s.track_scale = false;
  }
  return s;
}

// The scorecaster's schedule: refit at 32, 64, ..., 4096 rows, then every 4096.
bool refit_at(int64_t steps) {
  if (steps < 32) return false;
  if (steps <= 4096) return (steps & (steps - 1)) == 0;
  return steps % 4096 == 0;
}

int64_t next_refit(int64_t steps) {
  int64_t t = steps + 1;
  while (!refit_at(t)) ++t;  // at most 4096 steps
  return t;
}

// Rows of lag features: row j holds sequence[at[j] - lags .. at[j] - 1].
py::array_t<double> lag_rows(const std::vector<double>& sequence, int64_t first, int64_t count,
                             int64_t lags) {
  py::array_t<double> out({static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(lags)});
  double* o = out.mutable_data();
  for (int64_t j = 0; j < count; ++j) {
    std::memcpy(o + j * lags, sequence.data() + first + j - lags,
                static_cast<std::size_t>(lags) * sizeof(double));
  }
  return out;
}

// The scorecaster, refit on the stream rows it may learn from (each row's score from
// the `lags` scores before it).
py::object refit(const Setup& u, const std::vector<double>& sequence, int64_t n_calibration,
                 int64_t steps) {
  int64_t first =
      n_calibration + (u.train_window > 0 ? std::max<int64_t>(0, steps - u.train_window) : 0);
  first = std::max(first, u.lags);
  const int64_t end = n_calibration + steps;
  if (end - first < 2) return py::none();
  py::array_t<double> features = lag_rows(sequence, first, end - first, u.lags);
  py::array_t<double> target(end - first);
  std::copy(sequence.begin() + first, sequence.begin() + end, target.mutable_data());
  py::object model = ns("clone")(u.scorecaster);
  model.attr("fit")(features, target);
  return model;
}

// The scorecaster's forecasts for `count` rows whose sequence positions start at `first`.
std::vector<double> forecasts(const Setup& u, const py::object& model,
                              const std::vector<double>& sequence, int64_t first, int64_t count) {
  std::vector<double> out(static_cast<std::size_t>(count), 0.0);
  if (model.is_none() || count == 0) return out;
  int64_t skip = std::max<int64_t>(0, u.lags - first);  // rows with too few scores before them
  if (skip >= count) return out;
  py::array_t<double> features = lag_rows(sequence, first + skip, count - skip, u.lags);
  py::array_t<double> given =
      exclusive<double>(numbers(flat_array(model.attr("predict")(features)), 1,
                                "the scorecaster's predict returned", "forecasts", "stream"));
  if (given.size() != count - skip) {
    throw py::value_error("the scorecaster predicted " + std::to_string(given.size()) +
                          " values for " + std::to_string(count - skip) + " rows");
  }
  std::copy(given.data(), given.data() + given.size(), out.begin() + skip);
  return out;
}

// Per step of one call, what it publishes.
struct Steps {
  std::vector<double> threshold, pvalue, level;
  std::vector<char> miss;
};

// Runs the rows through the stream in order; Python runs only between chunks, for the
// scorecaster.
Steps advance(const Setup& u, Stream& st, const std::vector<double>& scores) {
  const auto rows = static_cast<int64_t>(scores.size());
  Steps out;
  out.threshold.resize(static_cast<std::size_t>(rows));
  out.pvalue.resize(static_cast<std::size_t>(rows));
  out.level.resize(static_cast<std::size_t>(rows), kNaN);
  std::unique_ptr<bool[]> miss(new bool[static_cast<std::size_t>(rows) + 1]);
  std::vector<double> u01(static_cast<std::size_t>(rows));
  StreamKey key = stream_key(st.entropy, kPvalueStream, py::none());
  const OnlineSettings s = kernel_settings(u, st);
  // The whole sequence, for the scorecaster's lags.
  std::vector<double> sequence;
  const bool forecasting = !u.scorecaster.is_none();
  if (forecasting) {
    sequence = st.history;
    sequence.insert(sequence.end(), scores.begin(), scores.end());
  }
  int64_t done = 0;
  while (done < rows) {
    int64_t count = rows - done;
    std::vector<double> forecast;
    if (forecasting) {
      count = std::min(count, next_refit(st.carry.steps) - st.carry.steps);
      forecast =
          forecasts(u, st.scorecaster_fit, sequence, st.n_calibration + st.carry.steps, count);
    }
    {
      OnlineInput in;
      in.history = st.history.data();
      in.n_history = static_cast<int64_t>(st.history.size());
      in.sorted = st.sorted.data();
      in.scores = scores.data() + done;
      in.rows = count;
      in.forecast = forecasting ? forecast.data() : nullptr;
      in.u = u01.data() + done;
      OnlineOutput o{out.threshold.data() + done,
                     miss.get() + done,
                     s.method == OnlineMethod::kAci ? out.level.data() + done : nullptr,
                     out.pvalue.data() + done,
                     {}};
      const auto start = static_cast<uint64_t>(st.carry.steps);
      bool consistent;
      {
        py::gil_scoped_release release;
        uniform_draws(key.word, start, count, u01.data() + done);
        // Ties are broken by a draw in (0, 1]: a p-value of 0 would end the martingale.
        for (int64_t i = done; i < done + count; ++i) u01[i] = 1 - u01[i];
        consistent = run_online(s, st.carry, in, o);
      }
      if (!consistent) tampered(std::string(kSorted) + " is not the stream's scores sorted");
      st.sorted.swap(o.sorted);
      st.history.insert(st.history.end(), scores.begin() + done, scores.begin() + done + count);
    }
    done += count;
    if (forecasting && refit_at(st.carry.steps)) {
      st.scorecaster_fit = refit(u, sequence, st.n_calibration, st.carry.steps);
    }
  }
  out.miss.assign(miss.get(), miss.get() + rows);
  return out;
}

template <typename T>
py::array_t<T> array_of_vector(const std::vector<T>& v) {
  py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), a.mutable_data());
  return a;
}

// A copy with its own buffer, for what a call both returns and keeps.
template <typename T>
py::array_t<T> copy_of(const py::array_t<T>& a) {
  py::array_t<T> out(std::vector<py::ssize_t>(a.shape(), a.shape() + a.ndim()));
  std::copy(a.data(), a.data() + a.size(), out.mutable_data());
  return out;
}

py::array_t<bool> bool_array(const std::vector<char>& v) {
  py::array_t<bool> a(static_cast<py::ssize_t>(v.size()));
  bool* o = a.mutable_data();
  for (std::size_t i = 0; i < v.size(); ++i) o[i] = v[i] != 0;
  return a;
}

// `old` followed by `added` along the first axis; `added` alone when there is no old.
py::object appended(const Snapshot* state, const char* name, const py::object& added) {
  py::object old = state != nullptr ? state->get(name) : py::object();
  if (!old || old.is_none()) return added;
  return numpy().attr("concatenate")(py::make_tuple(old, added));
}

// The attributes of the stream after a call: the new rows' `steps` after those of
// `state` (none for a new stream), with `shown`, their intervals or sets.
Items stream_items(const Setup& u, const Stream& st, const Snapshot* state, const Steps& steps,
                   const Items& shown) {
  const bool aci = u.s.method == OnlineMethod::kAci;
  Items items;
  std::vector<double> calib(st.history.begin(), st.history.begin() + st.n_calibration);
  std::vector<double> stream(st.history.begin() + st.n_calibration, st.history.end());
  items.emplace_back(kSettingsKey, u.saved);
  items.emplace_back("alpha_", py::float_(u.s.alpha));
  items.emplace_back("n_calibration_", py::int_(st.n_calibration));
  items.emplace_back(kCalibration, array_of_vector(calib));
  items.emplace_back("scores_", array_of_vector(stream));
  items.emplace_back(kSorted, array_of_vector(st.sorted));
  items.emplace_back("thresholds_",
                     appended(state, "thresholds_", array_of_vector(steps.threshold)));
  py::object errors = appended(state, "errors_", bool_array(steps.miss));
  items.emplace_back("errors_", errors);
  items.emplace_back("pvalues_", appended(state, "pvalues_", array_of_vector(steps.pvalue)));
  items.emplace_back("alphas_", aci ? appended(state, "alphas_", array_of_vector(steps.level))
                                    : py::object(py::none()));
  for (const auto& item : shown) {
    items.emplace_back(item.first, appended(state, item.first, item.second));
  }
  const OnlineCarry& c = st.carry;
  items.emplace_back(kCarry,
                     py::make_tuple(c.steps, c.misses, c.alpha_t, c.p, c.scale, st.n_calibration));
  items.emplace_back("n_steps_", py::int_(c.steps));
  items.emplace_back("coverage_",
                     py::float_(c.steps == 0 ? kNaN
                                             : 1.0 - static_cast<double>(c.misses) /
                                                         static_cast<double>(c.steps)));
  items.emplace_back("alpha_t_", aci ? py::object(py::float_(c.alpha_t)) : py::object(py::none()));
  items.emplace_back("quantile_", aci ? py::object(py::none()) : py::object(py::float_(c.p)));
  items.emplace_back("scorecaster_", st.scorecaster_fit);
  items.emplace_back("_stream_entropy", st.entropy);
  if (u.kind == Kind::kClassifier) items.emplace_back("classes_", st.classes);
  return items;
}

void publish_stream(const py::object& self, const Stream& st, const Items& items) {
  // One stream, one writer: a second update that ran meanwhile would be lost.
  py::object now = attr_if_present(self, kCarry);
  bool same = st.carry_object ? (now && now.is(st.carry_object)) : (!now || now.is_none());
  if (!same) {
    throw py::value_error(
        "another call moved this stream while this one ran: feed one stream from one "
        "thread at a time");
  }
  publish(self, items);
}

// The intervals or sets of the new rows from their thresholds, and the arrays that
// go with them.
Items shown_rows(const Setup& u, Rows& r, const Steps& steps, py::object* returned) {
  const auto rows = static_cast<py::ssize_t>(steps.threshold.size());
  if (u.kind == Kind::kRegressor) {
    py::array_t<double> bounds({rows, py::ssize_t(2)});
    std::vector<char> empty(static_cast<std::size_t>(rows));
    {
      double* b = bounds.mutable_data();
      py::gil_scoped_release release;
      bands(r.prediction.data(), nullptr, nullptr, steps.threshold.data(), rows, b,
            reinterpret_cast<bool*>(empty.data()));
    }
    // The caller's own array: changing it must not change the stream's intervals_.
    *returned = copy_of(bounds);
    return {{"intervals_", bounds}, {"predictions_", array_of_vector(r.prediction)}, {"y_", r.y}};
  }
  const int64_t classes = r.proba.shape(1);
  py::array_t<bool> sets({rows, static_cast<py::ssize_t>(classes)});
  {
    Probabilities pr{r.proba.data(), rows, classes};
    ScoreRule rule = rule_for(u);
    Thresholds tau;
    tau.per_row = steps.threshold.data();
    bool* out = sets.mutable_data();
    py::gil_scoped_release release;
    prediction_sets(pr, rule, tau, out);
  }
  *returned = copy_of(sets);
  return {{"sets_", sets}, {"y_", r.labels}};
}

template <Kind kind>
py::object calibrate(const Args& a) {
  const py::object& self = a.self();
  // A new stream, with the settings as they stand now.
  Snapshot state(self, false);
  Setup u = setup_of(state, kind, true);
  py::object classes = py::none();
  Rows r = read_rows(u, state.at("model"), a["calib_x"], a["calib_y"], classes, "calibration");
  Stream st = new_stream(u, r.scores, stream_entropy(u.random_state));
  st.classes = classes;
  Items items = stream_items(u, st, nullptr, Steps{}, {});
  // The steps of an earlier stream go with it.
  for (const char* name : {"intervals_", "predictions_", "sets_", "y_"}) {
    items.emplace_back(name, py::object());
  }
  publish(self, items);
  return self;
}

// update and replay: the rows in order, each against the threshold of its turn.
template <Kind kind>
py::object feed(const py::object& self, const py::object& x, const py::object& y) {
  Snapshot state(self);
  Setup u = setup_of(state, kind);
  Stream st = read_stream(state, u);
  if (!st.started) {
    st = new_stream(u, {}, stream_entropy(u.random_state));
    st.carry_object = py::object();
  }
  Rows r = read_rows(u, state.at("model"), x, y, st.classes, "stream");
  Steps steps = advance(u, st, r.scores);
  py::object returned;
  Items shown = shown_rows(u, r, steps, &returned);
  Items items = stream_items(u, st, &state, steps, shown);
  publish_stream(self, st, items);
  return returned;
}

template <Kind kind>
py::object update(const Args& a) {
  feed<kind>(a.self(), a["x"], a["y"]);
  return a.self();
}

template <Kind kind>
py::object replay(const Args& a) {
  return feed<kind>(a.self(), a["x"], a["y"]);
}

// The threshold the next row gets, before its label.
double next_threshold(const Setup& u, Stream& st) {
  OnlineSettings s = kernel_settings(u, st);
  if (s.method == OnlineMethod::kAci) {
    const auto n = static_cast<int64_t>(st.history.size());
    if (s.window > 0 && n > s.window) {
      std::vector<double> recent(st.history.end() - s.window, st.history.end());
      std::sort(recent.begin(), recent.end());
      return aci_threshold(st.carry.alpha_t, recent.data(), s.window);
    }
    // As update refuses it: a threshold read from scores that are not the stream's.
    if (!sorted_matches(st.history.data(), st.sorted.data(), n)) {
      tampered(std::string(kSorted) + " is not the stream's scores sorted");
    }
    return aci_threshold(st.carry.alpha_t, st.sorted.data(), n);
  }
  double forecast = 0;
  if (!u.scorecaster.is_none()) {
    forecast =
        forecasts(u, st.scorecaster_fit, st.history, static_cast<int64_t>(st.history.size()), 1)[0];
  }
  return pid_threshold(s, st.carry, forecast);
}

// One row: a 1-D vector of features, or anything of one row.
py::object one_row(const py::object& x) {
  // A pandas Series is a row with its feature names.
  if (py::hasattr(x, "to_frame") && py::hasattr(x, "index")) return x.attr("to_frame")().attr("T");
  py::object shape = attribute_or_none(x, "shape");
  if (!shape.is_none() && py::len(shape) == 1) {
    return numpy().attr("asarray")(x).attr("reshape")(1, -1);
  }
  const py::ssize_t rows = py::len(x);
  if (rows != 1) {
    throw py::value_error("x has " + std::to_string(rows) +
                          " rows, and the next row's threshold depends on the labels before it: "
                          "pass one row, or replay(x, y) for a labelled sequence");
  }
  return x;
}

template <Kind kind>
py::object predict_next(const Args& a) {
  const py::object& self = a.self();
  Snapshot state(self);
  Setup u = setup_of(state, kind);
  Stream st = read_stream(state, u);
  if (!st.started) st = new_stream(u, {}, py::int_(0));
  double q = next_threshold(u, st);
  py::object x = one_row(a["x"]);
  py::object model = state.at("model");
  if (kind == Kind::kRegressor) {
    py::array_t<double> pred = regressor_predictions(model, x, "prediction");
    if (pred.size() != 1) {
      throw py::value_error("predict returned " + std::to_string(pred.size()) +
                            " predictions for one row");
    }
    double p = pred.at(0), bounds[2];
    bool empty = false;
    bands(&p, nullptr, nullptr, &q, 1, bounds, &empty);
    return py::make_tuple(bounds[0], bounds[1]);
  }
  py::array_t<double> proba = exclusive<double>(probabilities(model, x, "prediction"));
  if (proba.ndim() != 2 || proba.shape(0) != 1) {
    throw py::value_error("predict_proba returned " + std::to_string(proba.shape(0)) +
                          " rows for one row");
  }
  require_distributions(proba, "prediction");
  const int64_t classes = proba.shape(1);
  if (!st.classes.is_none() && static_cast<int64_t>(py::len(st.classes)) != classes) {
    throw py::value_error("predict_proba returned " + std::to_string(classes) +
                          " columns, but the stream has " + std::to_string(py::len(st.classes)) +
                          " classes");
  }
  py::array_t<bool> set(static_cast<py::ssize_t>(classes));
  Probabilities pr{proba.data(), 1, classes};
  Thresholds tau;
  tau.per_row = &q;
  prediction_sets(pr, rule_for(u), tau, set.mutable_data());
  return set;
}

// The steps' misses, read from errors_.
std::vector<char> misses_of(const py::object& self) {
  py::object errors = attr_if_present(self, "errors_");
  if (!errors) {
    throw py::value_error("the stream has no labelled rows yet: call update or replay first");
  }
  auto a = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(errors);
  if (!a || a.ndim() != 1) {
    PyErr_Clear();
    tampered("errors_ is not a flat array of booleans");
  }
  // Bytes, not bools: a bool array viewed from other bytes may hold 2 or 255.
  const auto* bytes = reinterpret_cast<const unsigned char*>(a.data());
  std::vector<char> out(static_cast<std::size_t>(a.shape(0)));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = bytes[i] != 0;
  return out;
}

std::vector<double> rolling(const std::vector<char>& miss, int64_t window) {
  const auto n = static_cast<int64_t>(miss.size());
  if (n == 0) {
    throw py::value_error("the stream has no labelled rows yet: call update or replay first");
  }
  if (window > n) {
    throw py::value_error("window " + std::to_string(window) + " is longer than the " +
                          std::to_string(n) + " labelled rows of the stream");
  }
  std::vector<double> out(static_cast<std::size_t>(n - window + 1));
  int64_t covered = 0;
  for (int64_t i = 0; i < n; ++i) {
    covered += miss[static_cast<std::size_t>(i)] ? 0 : 1;
    if (i >= window) covered -= miss[static_cast<std::size_t>(i - window)] ? 0 : 1;
    if (i >= window - 1) {
      out[static_cast<std::size_t>(i - window + 1)] =
          static_cast<double>(covered) / static_cast<double>(window);
    }
  }
  return out;
}

py::object rolling_coverage(const Args& a) {
  int64_t window = positive_count(a["window"], "window", false);
  return array_of_vector(rolling(misses_of(a.self()), window));
}

py::object window_coverage(const Args& a) {
  int64_t window = positive_count(a["window"], "window", false);
  std::vector<double> r = rolling(misses_of(a.self()), window);
  return py::float_(*std::min_element(r.begin(), r.end()));
}

template <Kind kind>
struct Spec;
template <>
struct Spec<Kind::kRegressor> {
  using Protocol = Estimator<regressor_parameters>;
};
template <>
struct Spec<Kind::kClassifier> {
  using Protocol = Estimator<classifier_parameters>;
};

template <Kind kind>
py::object create(const ModuleContext& module, const char* name, const char* doc,
                  const char* predict_name, const char* predict_doc) {
  using Protocol = typename Spec<kind>::Protocol;
  Parameters spec = parameters(kind);
  std::vector<const char*> init_params{"self"};
  init_params.insert(init_params.end(), spec.names.begin(), spec.names.end());
  ClassBuilder builder(module, name, doc);
  builder.method("__init__", init_params, spec.defaults, Protocol::init, kInitDoc)
      .method("calibrate", {"self", "calib_x", "calib_y"}, calibrate<kind>, kOnlineCalibrateDoc)
      .method(predict_name, {"self", "x"}, predict_next<kind>, predict_doc)
      .method("update", {"self", "x", "y"}, update<kind>, kOnlineUpdateDoc)
      .method("replay", {"self", "x", "y"}, replay<kind>,
              kind == Kind::kRegressor ? kOnlineReplayRegressorDoc : kOnlineReplayClassifierDoc)
      .method("rolling_coverage", {"self", "window"}, rolling_coverage, kRollingCoverageDoc)
      .method("window_coverage", {"self", "window"}, window_coverage, kWindowCoverageDoc);
  return Protocol::add_methods(builder).create();
}

}  // namespace

py::object create_online_regressor(const ModuleContext& module) {
  return create<Kind::kRegressor>(module, "OnlineConformalRegressor", kOnlineRegressorDoc,
                                  "predict_interval", kPredictIntervalDoc);
}

py::object create_online_classifier(const ModuleContext& module) {
  return create<Kind::kClassifier>(module, "OnlineConformalClassifier", kOnlineClassifierDoc,
                                   "predict_set", kPredictSetDoc);
}

}  // namespace conformal
}  // namespace trov
