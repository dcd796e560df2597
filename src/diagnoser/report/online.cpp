#include "diagnoser/report/online.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/report/binomial.h"
#include "diagnoser/report/coverage_kernels.h"
#include "diagnoser/report/findings.h"
#include "diagnoser/report/rows.h"

namespace trov {
namespace report {
namespace {

using py::literals::operator""_a;
using BoolArray = py::array_t<bool, py::array::c_style | py::array::forcecast>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The rolling window: wide enough that its coverage is not mostly noise (50 rows at
// alpha = 0.1 still swing by 0.04 either way), narrow enough to show a stretch of
// the stream: a twentieth of it, within these.
constexpr int64_t kLeastWindow = 50;
constexpr int64_t kMostWindow = 1000;
// The table behind the figure keeps about this many windows at most.
constexpr int64_t kMostPoints = 2000;

const char* const kRedo = ": replay the stream to rebuild it";

std::string repr_of(const py::handle& value) { return py::repr(value).cast<std::string>(); }

// An array as messages name it: its dtype and shape, or the type of what it is not.
std::string described(const py::object& value) {
  py::array array = py::array::ensure(value);
  if (!array) {
    PyErr_Clear();
    return "a " + text_of(py::type::of(value).attr("__qualname__"));
  }
  std::string shape;
  for (py::ssize_t d = 0; d < array.ndim(); ++d) {
    shape += (d ? ", " : "") + std::to_string(array.shape(d));
  }
  if (array.ndim() == 1) shape += ",";
  return "an array of dtype " + text_of(array.dtype()) + " and shape (" + shape + ")";
}

// Reads the object's state, each attribute once, naming it in every error.
struct Reader {
  const py::object& fitted;
  std::string type;

  py::object get(const char* name) const {
    py::object value = attr_if_present(fitted, name);
    if (!value) {
      throw py::value_error(type + " has no " + name +
                            ": update it with labelled rows (after calibrate, for a warm "
                            "start) before coverage_report");
    }
    return value;
  }

  int64_t count(const char* name) const {
    py::object value = get(name);
    if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
      throw py::type_error(type + "." + name + " must be an integer, got " + repr_of(value) +
                           kRedo);
    }
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || v < 0) {
      throw py::value_error(type + "." + name + " must be a count >= 0, got " + repr_of(value) +
                            kRedo);
    }
    return static_cast<int64_t>(v);
  }

  double alpha() const {
    py::object value = get("alpha_");
    PyObject* v = value.ptr();
    if (PyBool_Check(v) || !PyNumber_Check(v) || PyUnicode_Check(v)) {
      throw py::type_error(type + ".alpha_ must be a number, got " + repr_of(value) + kRedo);
    }
    double a = py::float_(value);
    if (!(a > 0 && a < 1)) {
      throw py::value_error(type + ".alpha_ must lie in (0, 1), got " + repr_of(value) + kRedo);
    }
    return a;
  }

  std::string text(const char* name) const {
    py::object value = attribute_or_none(fitted, name);
    return value.is_none() ? std::string() : text_of(value);
  }

  // A setting the stream started with, which set_params since has not changed; the
  // attribute when the stream keeps none.
  std::string setting(const char* name) const {
    py::object kept = attr_if_present(fitted, "_online_settings");
    if (kept && PyDict_Check(kept.ptr())) {
      auto value = py::reinterpret_borrow<py::object>(PyDict_GetItemString(kept.ptr(), name));
      if (value && PyUnicode_Check(value.ptr())) return text_of(value);
    }
    return text(name);
  }

  // A bool array's bytes as 0 or 1: a bool array viewed from other bytes may hold 2
  // or 255, which a C++ bool may not.
  static std::vector<uint8_t> bytes_of(const py::array& array) {
    BoolArray owned = BoolArray::ensure(array);
    if (!owned) throw py::error_already_set();
    const auto* b = reinterpret_cast<const unsigned char*>(owned.data());
    std::vector<uint8_t> out(static_cast<std::size_t>(owned.size()));
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = b[i] != 0;
    return out;
  }

  // A 1-D bool array of `n` entries, copied.
  std::vector<uint8_t> flags(const char* name, int64_t n) const {
    py::object value = get(name);
    py::array array = py::array::ensure(value);
    if (!array) PyErr_Clear();
    if (!array || array.dtype().kind() != 'b' || array.ndim() != 1) {
      throw py::type_error(type + "." + name + " must be a 1-D bool array, one entry per stream " +
                           "row, got " + described(value) + kRedo);
    }
    if (array.shape(0) != n) {
      throw py::value_error(type + "." + name + " holds " + std::to_string(array.shape(0)) +
                            " entries for n_steps_ = " + std::to_string(n) + " rows" + kRedo);
    }
    return bytes_of(array);
  }

  // A float64 array of `rows` by `columns` (0: 1-D), copied row by row.
  std::vector<double> numbers(const char* name, int64_t rows, int64_t columns) const {
    py::object value = get(name);
    py::array array = py::array::ensure(value);
    if (!array) PyErr_Clear();
    const int dims = columns == 0 ? 1 : 2;
    bool numeric = array && std::string("biuf").find(array.dtype().kind()) != std::string::npos;
    if (!numeric || array.ndim() != dims) {
      throw py::type_error(type + "." + name + " must be a " + (dims == 1 ? "1-D" : "2-D") +
                           " float array, got " + described(value) + kRedo);
    }
    if (array.shape(0) != rows || (dims == 2 && array.shape(1) != columns)) {
      std::string wanted =
          std::to_string(rows) + (dims == 2 ? " by " + std::to_string(columns) : "");
      throw py::value_error(type + "." + name + " must be " + wanted + " for n_steps_ = " +
                            std::to_string(rows) + " rows, got " + described(value) + kRedo);
    }
    DoubleArray owned = DoubleArray::ensure(array);
    if (!owned) throw py::error_already_set();
    return std::vector<double>(owned.data(), owned.data() + owned.size());
  }

  // A 2-D bool array of `rows` by `columns`, copied.
  std::vector<uint8_t> cells(const char* name, int64_t rows, int64_t columns) const {
    py::object value = get(name);
    py::array array = py::array::ensure(value);
    if (!array) PyErr_Clear();
    if (!array || array.dtype().kind() != 'b' || array.ndim() != 2 || array.shape(0) != rows ||
        array.shape(1) != columns) {
      throw py::value_error(type + "." + name + " must be a bool array of " + std::to_string(rows) +
                            " rows by " + std::to_string(columns) + " classes (classes_), got " +
                            described(value) + kRedo);
    }
    return bytes_of(array);
  }
};

// What the report reads of the stream, in owned memory.
struct Stream {
  double alpha = 0;
  std::string method, score;
  int64_t n = 0, n_calib = 0;
  std::vector<uint8_t> miss;
  std::vector<double> pvalues;
  // Per row: the interval's width (NaN for an empty one, inf for an unbounded
  // one), or the set's size.
  std::vector<double> size;
  int64_t classes = 0;  // 0 for a regressor
};

Stream read_stream(const py::object& fitted, bool classifier) {
  Reader r{fitted, text_of(py::type::of(fitted).attr("__qualname__"))};
  Stream s;
  s.n = r.count("n_steps_");
  if (s.n == 0) {
    throw py::value_error(r.type +
                          " has seen no labelled rows (n_steps_ is 0): update it with the "
                          "stream's rows and their labels before coverage_report");
  }
  s.alpha = r.alpha();
  s.method = r.setting("method");
  s.score = r.setting("score");
  s.n_calib = r.count("n_calibration_");
  s.miss = r.flags("errors_", s.n);
  s.pvalues = r.numbers("pvalues_", s.n, 0);
  for (double p : s.pvalues) {
    if (!(p > 0 && p <= 1)) {
      throw py::value_error(r.type + ".pvalues_ must lie in (0, 1], one per stream row; it holds " +
                            repr_of(py::float_(p)) + kRedo);
    }
  }
  if (classifier) {
    s.classes = static_cast<int64_t>(py::len(r.get("classes_")));
    if (s.classes < 1) throw py::value_error(r.type + ".classes_ is empty" + kRedo);
    std::vector<uint8_t> cells = r.cells("sets_", s.n, s.classes);
    s.size.resize(static_cast<std::size_t>(s.n));
    for (std::size_t i = 0; i < s.size.size(); ++i) {
      const uint8_t* row = cells.data() + i * static_cast<std::size_t>(s.classes);
      s.size[i] = static_cast<double>(std::count(row, row + s.classes, uint8_t{1}));
    }
    return s;
  }
  std::vector<double> bounds = r.numbers("intervals_", s.n, 2);
  s.size.resize(static_cast<std::size_t>(s.n));
  for (std::size_t i = 0; i < s.size.size(); ++i) {
    double low = bounds[2 * i], high = bounds[2 * i + 1];
    if (std::isnan(low) || std::isnan(high)) {
      s.size[i] = kNaN;
    } else if (std::isinf(low) || std::isinf(high)) {
      s.size[i] = INFINITY;
    } else if (high < low) {
      throw py::value_error(r.type + ".intervals_ holds the interval [" + repr_of(py::float_(low)) +
                            ", " + repr_of(py::float_(high)) + "] at row " + std::to_string(i) +
                            ": an empty interval has NaN bounds" + kRedo);
    } else {
      s.size[i] = high - low;
    }
  }
  return s;
}

struct Alarm {
  int64_t at = -1;  // none
  double log_peak = -INFINITY;
};

// The exchangeability martingale over the stream's p-values, run afresh on all of
// them: its alarm is the same whether the rows came one at a time or in batches.
// A conformal test martingale (Vovk, Nouretdinov & Gammerman 2003, "Testing
// exchangeability on-line") reaches 1 / delta with chance at most delta over the
// whole stream when the rows are exchangeable (Ville 1939): the alarm's level.
Alarm run_martingale(const std::vector<double>& pvalues, double delta) {
  py::object conformal = py::module_::import("trov.diagnoser.conformal");
  py::object type = attr_if_present(conformal, "ExchangeabilityMartingale");
  if (!type) {
    throw py::import_error(
        "trov.diagnoser.conformal has no ExchangeabilityMartingale to test the stream with: "
        "install a trov.diagnoser whose conformal module has the online classes");
  }
  // Mixture betting draws nothing: the same stream gives the same report.
  py::object martingale = type("betting"_a = "mixture");
  // A copy of its own: the martingale reads the p-values checked above.
  martingale.attr("update")(float_array(pvalues));
  const int64_t n = static_cast<int64_t>(pvalues.size());
  const std::string what = "ExchangeabilityMartingale";
  Alarm out;
  py::object at = martingale.attr("alarm")(delta);
  if (!at.is_none()) {
    if (PyBool_Check(at.ptr()) || !PyIndex_Check(at.ptr())) {
      throw py::type_error(what + ".alarm() must give a row index or None, got " + repr_of(at));
    }
    int overflow = 0;
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(at.ptr()));
    if (!index) throw py::error_already_set();
    long long row = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (row == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || row < 0 || row >= n) {
      throw py::value_error(what + ".alarm() gave row " + repr_of(at) + ", outside the " +
                            std::to_string(n) + " rows it was given");
    }
    out.at = static_cast<int64_t>(row);
  }
  DoubleArray log_m = DoubleArray::ensure(martingale.attr("log_martingale_"));
  if (!log_m || log_m.ndim() != 1 || log_m.size() != n) {
    PyErr_Clear();
    throw py::value_error(what + ".log_martingale_ must hold one number per p-value (" +
                          std::to_string(n) + ")");
  }
  for (py::ssize_t i = 0; i < n; ++i) {
    double v = log_m.data()[i];
    if (std::isnan(v)) throw py::value_error(what + ".log_martingale_ holds NaN");
    out.log_peak = std::max(out.log_peak, v);
  }
  return out;
}

// The window of the rolling coverage for a stream of n rows.
int64_t window_for(int64_t n) {
  if (n <= kLeastWindow) return n;
  return std::min(std::max(kLeastWindow, n / 20), kMostWindow);
}

// One consecutive stretch of the stream.
struct Segment {
  int64_t from = 0, to = 0, n = 0, covered = 0, unbounded = 0, empty = 0;
  double coverage = kNaN, low = 0, high = 1, mean = kNaN;
  bool after_alarm = false;
};

struct Figures {
  int64_t misses = 0, window = 0, worst_from = 0;
  double coverage = 0, low = 0, high = 1, p_shortfall = 1, worst = 0;
  bool shortfall = false;
  Segment all;  // the whole stream's sizes
  std::vector<Segment> segments;
  std::vector<int64_t> rolling_row;  // the last row of each window shown
  std::vector<double> rolling_coverage;
};

// The rows [from, to) as one segment. A width is averaged where it is finite:
// unbounded and empty intervals are counted apart.
Segment segment_of(const Stream& s, int64_t from, int64_t to, double z, int64_t alarm) {
  Segment out;
  out.from = from;
  out.to = to - 1;
  out.n = to - from;
  double sum = 0;
  int64_t finite = 0;
  for (int64_t i = from; i < to; ++i) {
    out.covered += !s.miss[static_cast<std::size_t>(i)];
    double v = s.size[static_cast<std::size_t>(i)];
    if (std::isnan(v)) {
      ++out.empty;
    } else if (std::isinf(v)) {
      ++out.unbounded;
    } else {
      sum += v;
      ++finite;
    }
  }
  out.coverage = static_cast<double>(out.covered) / static_cast<double>(out.n);
  Interval interval = wilson(out.covered, out.n, z);
  out.low = interval.low;
  out.high = interval.high;
  out.mean = finite > 0 ? sum / static_cast<double>(finite) : kNaN;
  out.after_alarm = alarm >= 0 && from > alarm;
  return out;
}

// Adaptive conformal inference (Gibbs & Candes 2021, "Adaptive conformal inference
// under distribution shift") and conformal PID control (Angelopoulos, Candes &
// Tibshirani 2023, "Conformal PID control for time series prediction") promise
// coverage 1 - alpha over the long run of any stream, not in each stretch of it:
// segments and windows are described, and only the whole stream is tested.
Figures compute(const Stream& s, const Settings& settings, int64_t alarm) {
  Figures f;
  const int64_t n = s.n;
  const double z = two_sided_z(settings.confidence);
  f.all = segment_of(s, 0, n, z, -1);
  f.misses = n - f.all.covered;
  f.coverage = f.all.coverage;
  f.low = f.all.low;
  f.high = f.all.high;
  // Given the rows before it, a set that holds its label with chance at least
  // 1 - alpha makes its miss a Bernoulli draw of chance at most alpha; a sum of
  // such draws is stochastically below Binomial(n, alpha) however they depend on
  // each other (couple each with a uniform of its own). So the binomial tail is a
  // valid p-value for that null, whatever the order or batches the rows came in.
  f.p_shortfall = binomial_at_least(f.misses, n, s.alpha);
  f.shortfall = f.p_shortfall <= 1 - settings.confidence;

  // Nearly equal counts, in stream order.
  const int64_t count = std::min(settings.bins, n);
  const int64_t q = n / count, r = n % count;
  int64_t from = 0;
  for (int64_t k = 1; k <= count; ++k) {
    int64_t to = k * q + (k * r) / count;
    f.segments.push_back(segment_of(s, from, to, z, alarm));
    from = to;
  }

  // Coverage of rows t - w + 1 .. t, from running counts.
  f.window = window_for(n);
  const int64_t w = f.window, windows = n - w + 1;
  std::vector<int64_t> covered(static_cast<std::size_t>(n) + 1, 0);
  for (int64_t i = 0; i < n; ++i) {
    covered[static_cast<std::size_t>(i) + 1] =
        covered[static_cast<std::size_t>(i)] + !s.miss[static_cast<std::size_t>(i)];
  }
  auto window_coverage = [&](int64_t j) {
    return static_cast<double>(covered[static_cast<std::size_t>(j + w)] -
                               covered[static_cast<std::size_t>(j)]) /
           static_cast<double>(w);
  };
  int64_t worst = 0;
  for (int64_t j = 1; j < windows; ++j) {
    if (window_coverage(j) < window_coverage(worst)) worst = j;
  }
  f.worst = window_coverage(worst);
  f.worst_from = worst;
  // Every stride-th window, the last and the worst: the figure's line.
  const int64_t stride = (windows + kMostPoints - 1) / kMostPoints;
  std::vector<int64_t> shown;
  for (int64_t j = 0; j < windows; j += stride) shown.push_back(j);
  shown.push_back(windows - 1);
  shown.push_back(worst);
  std::sort(shown.begin(), shown.end());
  shown.erase(std::unique(shown.begin(), shown.end()), shown.end());
  for (int64_t j : shown) {
    f.rolling_row.push_back(j + w - 1);
    f.rolling_coverage.push_back(window_coverage(j));
  }
  return f;
}

py::object count_or_none(int64_t v) {
  return v >= 0 ? py::object(py::int_(v)) : py::object(py::none());
}

}  // namespace

py::tuple online_report(const py::object& fitted, bool classifier, const Settings& settings) {
  // Gather: every Python call, the results checked and copied.
  Stream stream = read_stream(fitted, classifier);
  const double delta = 1 - settings.confidence;
  Alarm alarm = run_martingale(stream.pvalues, delta);

  // Compute.
  Figures f = compute(stream, settings, alarm.at);
  OnlineEvidence evidence;
  evidence.confidence = settings.confidence;
  evidence.target = 1 - stream.alpha;
  evidence.n = stream.n;
  evidence.misses = f.misses;
  evidence.coverage = f.coverage;
  evidence.p_shortfall = f.p_shortfall;
  evidence.shortfall = f.shortfall;
  evidence.method = stream.method;
  evidence.window = f.window;
  evidence.worst = f.worst;
  evidence.worst_from = f.worst_from;
  evidence.alarm = alarm.at;
  evidence.log_peak = alarm.log_peak;
  evidence.n_calibration = stream.n_calib;
  std::vector<std::string> said = online_findings(evidence);

  // Publish.
  const double rows = static_cast<double>(stream.n);
  py::dict summary;
  summary["n"] = py::int_(stream.n);
  summary["alpha"] = py::float_(stream.alpha);
  summary["target"] = py::float_(1 - stream.alpha);
  summary["coverage"] = py::float_(f.coverage);
  summary["coverage_low"] = py::float_(f.low);
  summary["coverage_high"] = py::float_(f.high);
  summary["p_shortfall"] = py::float_(f.p_shortfall);
  summary["shortfall"] = py::bool_(f.shortfall);
  summary["method"] = py::str(stream.method);
  summary["score"] = py::str(stream.score);
  summary["n_calib"] = py::int_(stream.n_calib);
  summary["window"] = py::int_(f.window);
  summary["worst_window_coverage"] = py::float_(f.worst);
  summary["worst_window_from"] = py::int_(f.worst_from);
  summary["worst_window_to"] = py::int_(f.worst_from + f.window - 1);
  if (classifier) {
    int64_t full = 0, empty = 0;
    for (double v : stream.size) {
      full += v == static_cast<double>(stream.classes);
      empty += v == 0;
    }
    summary["mean_set_size"] = py::float_(f.all.mean);
    summary["share_full"] = py::float_(static_cast<double>(full) / rows);
    summary["share_empty"] = py::float_(static_cast<double>(empty) / rows);
  } else {
    summary["mean_width"] = py::float_(f.all.mean);
    summary["n_unbounded"] = py::int_(f.all.unbounded);
    summary["n_empty"] = py::int_(f.all.empty);
  }
  summary["alarm"] = count_or_none(alarm.at);
  summary["alarm_threshold"] = py::float_(1 / delta);
  summary["log_martingale_max"] = py::float_(alarm.log_peak);

  std::vector<int64_t> from, to, n;
  std::vector<double> coverage, low, high, mean;
  std::vector<int64_t> unbounded, empty;
  py::array_t<bool> after(static_cast<py::ssize_t>(f.segments.size()));
  for (const Segment& g : f.segments) {
    from.push_back(g.from);
    to.push_back(g.to);
    n.push_back(g.n);
    coverage.push_back(g.coverage);
    low.push_back(g.low);
    high.push_back(g.high);
    mean.push_back(g.mean);
    unbounded.push_back(g.unbounded);
    empty.push_back(g.empty);
    after.mutable_data()[from.size() - 1] = g.after_alarm;
  }
  py::dict segments;
  segments["segment"] = int_array([&] {
    std::vector<int64_t> index(f.segments.size());
    for (std::size_t k = 0; k < index.size(); ++k) index[k] = static_cast<int64_t>(k);
    return index;
  }());
  segments["from"] = int_array(from);
  segments["to"] = int_array(to);
  segments["n"] = int_array(n);
  segments["coverage"] = float_array(coverage);
  segments["coverage_low"] = float_array(low);
  segments["coverage_high"] = float_array(high);
  if (classifier) {
    segments["mean_set_size"] = float_array(mean);
  } else {
    segments["mean_width"] = float_array(mean);
    segments["n_unbounded"] = int_array(unbounded);
    segments["n_empty"] = int_array(empty);
  }
  segments["after_alarm"] = after;
  py::dict rolling;
  rolling["row"] = int_array(f.rolling_row);
  rolling["coverage"] = float_array(f.rolling_coverage);

  py::dict tables;
  tables["rolling_coverage"] = data_frame(rolling);
  tables["segments"] = data_frame(segments);
  py::list findings;
  for (const std::string& text : said) findings.append(py::str(text));
  return py::make_tuple(summary, tables, findings);
}

}  // namespace report
}  // namespace trov
