#include "diagnoser/report/tables.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/report/binomial.h"
#include "diagnoser/report/coverage_kernels.h"
#include "diagnoser/report/findings.h"
#include "diagnoser/report/prediction_sets.h"
#include "diagnoser/report/segmenting.h"

namespace trov {
namespace report {
namespace {

using IntArray = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Over-coverage is tested against the target plus this margin.
constexpr double kOverMargin = 0.05;

// `np.ravel(value)` as float64 in owned memory: Python code that runs later
// cannot change or free it.
std::vector<double> owned_numbers(const py::object& value, const char* what) {
  // ensure() clears numpy's error, so the message says what was expected.
  DoubleArray array = DoubleArray::ensure(ns("np").attr("ravel")(value));
  if (!array) throw py::type_error(std::string(what) + " must be numeric");
  return std::vector<double>(array.data(), array.data() + array.size());
}

py::array_t<double> float_array(const std::vector<double>& values) {
  py::array_t<double> out(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

py::array_t<int64_t> int_array(const std::vector<int64_t>& values) {
  py::array_t<int64_t> out(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

template <typename T>
py::list to_list(const std::vector<T>& values) {
  py::list out;
  for (const T& v : values) out.append(py::cast(v));
  return out;
}

// What every row's interval and tests need.
struct Tests {
  double z, target, tol;
};

// The rows of one table: their strata, Wilson intervals and one-sided p-values;
// the flags follow once every table's p-values are known.
struct Rows {
  std::vector<int64_t> n, covered;
  std::vector<double> low, high, coverage, coverage_low, coverage_high, mean;
  std::vector<double> p_under, p_over, p_adjusted;
  std::vector<std::string> flag, label;

  std::size_t size() const { return n.size(); }

  // `testable` false: a row covered 0 or 1 by construction carries no test.
  void add(const Stratum& s, const Tests& t, bool testable = true) {
    Interval interval = wilson(s.covered, s.n, t.z);
    n.push_back(s.n);
    covered.push_back(s.covered);
    low.push_back(s.low);
    high.push_back(s.high);
    coverage.push_back(s.coverage());
    coverage_low.push_back(interval.low);
    coverage_high.push_back(interval.high);
    mean.push_back(s.mean());
    bool tested = testable && s.n > 0;
    p_under.push_back(tested ? binomial_at_most(s.covered, s.n, t.target - t.tol) : kNaN);
    bool over = tested && t.target + kOverMargin < 1;
    p_over.push_back(over ? binomial_at_least(s.covered, s.n, t.target + kOverMargin) : kNaN);
  }

  void copy_row(const Rows& from, std::size_t i) {
    n.push_back(from.n[i]);
    covered.push_back(from.covered[i]);
    low.push_back(from.low[i]);
    high.push_back(from.high[i]);
    coverage.push_back(from.coverage[i]);
    coverage_low.push_back(from.coverage_low[i]);
    coverage_high.push_back(from.coverage_high[i]);
    mean.push_back(from.mean[i]);
    p_under.push_back(from.p_under[i]);
    p_over.push_back(from.p_over[i]);
    p_adjusted.push_back(from.p_adjusted[i]);
    flag.push_back(from.flag[i]);
    label.push_back(from.label[i]);
  }

  void coverage_columns(py::dict& table) const {
    table["n"] = int_array(n);
    table["coverage"] = float_array(coverage);
    table["coverage_low"] = float_array(coverage_low);
    table["coverage_high"] = float_array(coverage_high);
  }

  void range_columns(py::dict& table) const {
    table["label"] = to_list(label);
    table["n"] = int_array(n);
    table["low"] = float_array(low);
    table["high"] = float_array(high);
  }

  void test_columns(py::dict& table) const {
    table["p_adjusted"] = float_array(p_adjusted);
    table["flag"] = to_list(flag);
  }
};

// Holm's step-down over both one-sided hypotheses of every row of every table,
// so that the chance of any false flag in the whole report stays below `level`.
void decide_flags(const std::vector<Rows*>& tables, double level) {
  std::vector<double> p;
  for (const Rows* rows : tables) {
    p.insert(p.end(), rows->p_under.begin(), rows->p_under.end());
    p.insert(p.end(), rows->p_over.begin(), rows->p_over.end());
  }
  std::vector<double> adjusted = holm(p);
  std::size_t at = 0;
  for (Rows* rows : tables) {
    std::size_t count = rows->size();
    rows->p_adjusted.assign(count, kNaN);
    rows->flag.assign(count, "");
    for (std::size_t i = 0; i < count; ++i) {
      double under = adjusted[at + i], over = adjusted[at + count + i];
      rows->p_adjusted[i] = std::isnan(under)  ? over
                            : std::isnan(over) ? under
                                               : std::min(under, over);
      if (under <= level) rows->flag[i] = "under-covered";
      if (over <= level) rows->flag[i] = "over-covered";
    }
    at += 2 * count;
  }
}

py::object data_frame(const py::dict& columns) { return ns("pd").attr("DataFrame")(columns); }

double alpha_of(const py::object& fitted) {
  double alpha = py::float_(fitted.attr("alpha"));
  if (!(alpha > 0 && alpha < 1)) {
    throw py::value_error("the fitted object's alpha must lie in (0, 1), got " +
                          std::to_string(alpha));
  }
  return alpha;
}

// The number of calibration rows, -1 when the object does not hold them.
int64_t calibration_count(const py::object& fitted) {
  py::object calib_y = attribute_or_none(fitted, "calib_y");
  if (calib_y.is_none()) return -1;
  return static_cast<int64_t>(py::len(calib_y));
}

// What the calibration draw allows for: given the calibration part, the coverage of
// exact split conformal follows Beta(k, n_calib + 1 - k) (Vovk 2012, "Conditional
// validity of inductive conformal predictors"; Angelopoulos & Bates 2021, section 3.2).
struct Calibration {
  int64_t n = -1;  // unknown
  int64_t rank = 0;
  double tol = 0.01;
  double low = 0, high = 1;  // central `confidence` range of that law
  bool bounded() const { return n >= 0 && rank <= n; }
};

Calibration calibration_law(int64_t n_calib, double alpha, double confidence) {
  Calibration c;
  c.n = n_calib;
  if (n_calib < 0) return c;
  c.rank = conformal_rank(n_calib, alpha);
  if (!c.bounded()) {
    c.low = c.high = 1;  // too few rows for the level: every interval is unbounded
    return c;
  }
  double a = static_cast<double>(c.rank), b = static_cast<double>(n_calib + 1 - c.rank);
  double target = 1 - alpha;
  c.tol = std::max(0.01, target - beta_quantile(1 - confidence, a, b));
  c.low = beta_quantile((1 - confidence) / 2, a, b);
  c.high = beta_quantile(1 - (1 - confidence) / 2, a, b);
  return c;
}

// Coverage, its interval, the target and the calibration law: the opening entries
// of both summaries; fills the matching part of `evidence`.
py::dict summary_head(int64_t n, int64_t covered, double alpha, const Tests& tests,
                      const Calibration& calib, double confidence, Evidence& evidence) {
  Interval interval = wilson(covered, n, tests.z);
  py::dict summary;
  summary["n"] = py::int_(n);
  summary["alpha"] = py::float_(alpha);
  summary["target"] = py::float_(1 - alpha);
  summary["coverage"] = py::float_(static_cast<double>(covered) / static_cast<double>(n));
  summary["coverage_low"] = py::float_(interval.low);
  summary["coverage_high"] = py::float_(interval.high);
  summary["tol"] = py::float_(tests.tol);
  evidence.confidence = confidence;
  evidence.target = 1 - alpha;
  evidence.n = n;
  evidence.covered = covered;
  evidence.coverage_low = interval.low;
  evidence.coverage_high = interval.high;
  if (calib.n >= 0) {
    summary["n_calib"] = py::int_(calib.n);
    CountRange expected{n, n};
    if (calib.bounded()) {
      expected = beta_binomial_interval(n, static_cast<double>(calib.rank),
                                        static_cast<double>(calib.n + 1 - calib.rank), confidence);
    }
    double rows = static_cast<double>(n);
    summary["expected_low"] = py::float_(static_cast<double>(expected.low) / rows);
    summary["expected_high"] = py::float_(static_cast<double>(expected.high) / rows);
    evidence.n_calib = calib.n;
    evidence.expected_low = expected.low;
    evidence.expected_high = expected.high;
    evidence.calib_low = calib.low;
    evidence.calib_high = calib.high;
  }
  return summary;
}

// How many classes make a full set: the labels in `classes`, else the probability
// columns the sets were taken from, else the module's two.
int64_t class_count(const py::object& fitted, const py::object& classes) {
  if (!classes.is_none()) return static_cast<int64_t>(py::len(classes));
  py::object order = attribute_or_none(fitted, "test_sorted_index");
  py::object shape = attribute_or_none(order, "shape");
  if (!shape.is_none() && py::len(shape) == 2) return shape[py::int_(1)].cast<int64_t>();
  return 2;
}

// --- segments along features ---

// The feature table as columns, with their default names.
struct FeatureSource {
  std::vector<py::object> columns;
  std::vector<std::string> names;  // data frame columns, else x0, x1, ...
};

FeatureSource feature_source(const py::object& test_x, int64_t rows) {
  FeatureSource out;
  int64_t count = 0;
  if (py::isinstance(test_x, ns("pd").attr("DataFrame"))) {
    // Column by column, so that each keeps its own dtype.
    count = static_cast<int64_t>(py::len(test_x));
    py::list labels = ns("list")(test_x.attr("columns"));
    py::object by_position = test_x.attr("iloc");
    for (std::size_t j = 0; j < py::len(labels); ++j) {
      out.names.push_back(text_of(labels[j]));
      out.columns.push_back(by_position[py::make_tuple(all_rows(), py::int_(j))]);
    }
  } else {
    py::object table = ns("np").attr("asarray")(test_x);
    if (!py::isinstance<py::array>(table))
      throw py::type_error("np.asarray gave no array for test_x");
    py::array a = py::reinterpret_borrow<py::array>(table);
    if (a.ndim() == 1) {
      table = a.attr("reshape")(-1, 1);
      if (!py::isinstance<py::array>(table)) throw py::type_error("reshape gave no array");
      a = py::reinterpret_borrow<py::array>(table);
    }
    if (a.ndim() != 2) {
      throw py::value_error("test_x must be a table of rows by features");
    }
    count = static_cast<int64_t>(a.shape(0));
    for (py::ssize_t j = 0; j < a.shape(1); ++j) {
      out.names.push_back("x" + std::to_string(j));
      out.columns.push_back(table[py::make_tuple(all_rows(), py::int_(j))]);
    }
  }
  if (count != rows) {
    throw py::value_error("test_x has " + std::to_string(count) +
                          " rows but the fitted test part has " + std::to_string(rows) +
                          ": pass the features of the fitted test rows, in their order");
  }
  return out;
}

// `feature_names` when it names every column (each read once, as str), else `defaults`.
std::vector<std::string> feature_labels(const py::object& fitted,
                                        std::vector<std::string> defaults) {
  py::object names = attribute_or_none(fitted, "feature_names");
  if (names.is_none() || !py::hasattr(names, "__iter__") || !py::hasattr(names, "__len__")) {
    return defaults;
  }
  Py_ssize_t length = PyObject_Length(names.ptr());
  if (length < 0) {
    PyErr_Clear();  // a 0-d array and the like: no names
    return defaults;
  }
  std::vector<std::string> out;
  for (py::handle name : names) out.push_back(text_of(name));
  if (out.size() != static_cast<std::size_t>(length)) {
    throw py::value_error("feature_names gives " + std::to_string(out.size()) +
                          " names when iterated but says len() is " + std::to_string(length));
  }
  return out.size() == defaults.size() ? out : defaults;
}

// Segments per feature and the lowest of each: by_feature and worst_segments.
struct FeatureTables {
  Rows rows;
  std::vector<std::string> feature;
  std::vector<int64_t> segment;
  std::vector<std::size_t> worst;  // row of each feature's lowest segment
  Rows worst_rows;

  void add_feature(const std::string& name, const Segments& s, const std::vector<uint8_t>& covered,
                   const std::vector<double>& value, const Tests& tests) {
    std::vector<Stratum> strata =
        group_strata(s.of_row.data(), static_cast<int64_t>(covered.size()), s.count(),
                     covered.data(), value.data());
    std::size_t lowest = 0;
    bool any = false;
    for (int64_t i = 0; i < s.count(); ++i) {
      strata[i].low = s.low[i];
      strata[i].high = s.high[i];
      rows.add(strata[i], tests);
      rows.label.push_back(s.label[i]);
      feature.push_back(name);
      segment.push_back(i);
      if (!any || strata[i].coverage() < rows.coverage[lowest]) {
        lowest = rows.size() - 1;
        any = true;
      }
    }
    if (any) worst.push_back(lowest);
  }

  // After the flags are decided.
  py::tuple frames(const char* mean_name) {
    std::vector<std::string> worst_feature;
    std::vector<int64_t> worst_segment;
    for (std::size_t i : worst) {
      worst_rows.copy_row(rows, i);
      worst_feature.push_back(feature[i]);
      worst_segment.push_back(segment[i]);
    }
    py::dict all;
    all["feature"] = to_list(feature);
    all["segment"] = int_array(segment);
    rows.range_columns(all);
    rows.coverage_columns(all);
    all[mean_name] = float_array(rows.mean);
    rows.test_columns(all);
    py::dict lowest;
    lowest["feature"] = to_list(worst_feature);
    lowest["segment"] = int_array(worst_segment);
    lowest["label"] = to_list(worst_rows.label);
    worst_rows.coverage_columns(lowest);
    worst_rows.test_columns(lowest);
    return py::make_tuple(data_frame(all), data_frame(lowest));
  }

  // The lowest segment of all: fsc, fsc_feature, fsc_segment in the summary.
  void summarise(py::dict& summary) const {
    std::size_t lowest = 0;
    bool any = false;
    for (std::size_t i : worst) {
      if (!any || rows.coverage[i] < rows.coverage[lowest]) lowest = i;
      any = true;
    }
    summary["fsc"] = py::float_(any ? rows.coverage[lowest] : kNaN);
    summary["fsc_feature"] = any ? py::object(py::str(feature[lowest])) : py::object(py::none());
    summary["fsc_segment"] = any ? py::object(py::int_(segment[lowest])) : py::object(py::none());
  }
};

void segment_features(FeatureTables& out, const py::object& fitted, const py::object& test_x,
                      const std::vector<uint8_t>& covered, const std::vector<double>& value,
                      const Settings& settings, const Tests& tests) {
  int64_t rows = static_cast<int64_t>(covered.size());
  FeatureSource source = feature_source(test_x, rows);
  std::vector<std::string> names = feature_labels(fitted, source.names);
  for (std::size_t j = 0; j < source.columns.size(); ++j) {
    Segments s = segment_column(source.columns[j], rows, settings.bins, "each feature");
    out.add_feature(names[j], s, covered, value, tests);
  }
}

void add_flagged(Evidence& evidence, const Rows& rows, const std::vector<std::string>& what) {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows.flag[i].empty()) continue;
    evidence.flagged.push_back(
        {what[i], rows.coverage[i], rows.n[i], rows.flag[i] == "under-covered"});
  }
}

std::vector<std::string> segment_names(const FeatureTables& t) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < t.rows.size(); ++i) {
    const std::string& label = t.rows.label[i];
    bool range = !std::isnan(t.rows.low[i]) && t.rows.low[i] != t.rows.high[i];
    out.push_back(t.feature[i] + (range ? " in " : " = ") + label);
  }
  return out;
}

py::list to_py(const std::vector<std::string>& values) { return to_list(values); }

}  // namespace

py::tuple classification_report(const py::object& fitted, const Settings& settings) {
  py::object np = ns("np");
  double alpha = alpha_of(fitted);
  double target = 1 - alpha;
  Calibration calib = calibration_law(calibration_count(fitted), alpha, settings.confidence);
  Tests tests{two_sided_z(settings.confidence), target, calib.tol};
  py::object test_y = np.attr("ravel")(fitted.attr("test_y"));
  PredictionSets sets(fitted.attr("test_class"));
  int64_t n = sets.rows();
  if (n != static_cast<int64_t>(py::len(test_y))) {
    throw py::value_error("the classifier holds " + std::to_string(n) + " prediction sets for " +
                          std::to_string(py::len(test_y)) + " test labels");
  }
  if (n == 0) throw py::value_error("the classifier holds no test rows");
  py::object classes = attribute_or_none(fitted, "classes");
  int64_t full = class_count(fitted, classes);
  // Without `classes` the members are positions themselves; one far past the
  // class count is no class, and mapping labels up to it would allocate for each.
  if (classes.is_none() && sets.largest() >= std::max<int64_t>(full, 2)) {
    throw py::value_error("a prediction set holds " + std::to_string(sets.largest()) +
                          ", beyond the " + std::to_string(std::max<int64_t>(full, 2)) +
                          " classes the classifier knows: set its `classes` to the labels the "
                          "set positions stand for");
  }
  std::vector<int64_t> position = label_positions(test_y, classes, sets.largest() + 1);

  std::vector<uint8_t> covered(n);
  std::vector<double> size(n);
  std::vector<int64_t> size_of(n);
  int64_t contained = 0, one = 0, whole = 0, empty = 0;
  double inverse_sum = 0, size_sum = 0;
  for (int64_t i = 0; i < n; ++i) {
    covered[i] = sets.holds(i, position[i]);
    size_of[i] = sets.size(i);
    size[i] = static_cast<double>(size_of[i]);
    contained += covered[i];
    size_sum += size[i];
    inverse_sum += 1 / size[i];  // an empty set adds inf, as the module's own figure would
    one += size_of[i] == 1;
    whole += size_of[i] == full;
    empty += size_of[i] == 0;
  }
  double rows = static_cast<double>(n);

  // Per true label, in np.unique's order; its inverse is checked before it indexes.
  py::tuple unique = np.attr("unique")(test_y, py::arg("return_inverse") = true);
  py::list labels = unique[0].attr("tolist")();
  int64_t label_count = static_cast<int64_t>(py::len(labels));
  py::object inverse_object = np.attr("ravel")(unique[1]);
  if (!py::isinstance<py::array>(inverse_object) ||
      std::string("iu").find(py::reinterpret_borrow<py::array>(inverse_object).dtype().kind()) ==
          std::string::npos) {
    throw py::type_error("np.unique gave an inverse that is no integer array");
  }
  IntArray inverse_array(inverse_object);
  std::vector<int64_t> inverse(inverse_array.data(), inverse_array.data() + inverse_array.size());
  if (static_cast<int64_t>(inverse.size()) != n) {
    throw py::value_error("np.unique gave an inverse of another length than the labels");
  }
  for (int64_t g : inverse) {
    if (g < 0 || g >= label_count) throw py::value_error("np.unique gave an inverse out of range");
  }
  std::vector<Stratum> per_class =
      group_strata(inverse.data(), n, label_count, covered.data(), size.data());
  Rows by_class;
  std::vector<std::string> class_names;
  double gap = 0;
  int64_t worst = 0;
  for (int64_t c = 0; c < label_count; ++c) {
    by_class.add(per_class[c], tests);
    class_names.push_back("class " + text_of(labels[py::int_(c)]));
    gap += std::fabs(per_class[c].coverage() - target);
    if (per_class[c].coverage() < per_class[worst].coverage()) worst = c;
  }

  // Per set size, ascending.
  std::vector<int64_t> distinct(size_of);
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<int64_t> size_group(n);
  for (int64_t i = 0; i < n; ++i) {
    size_group[i] =
        std::lower_bound(distinct.begin(), distinct.end(), size_of[i]) - distinct.begin();
  }
  std::vector<Stratum> per_size = group_strata(
      size_group.data(), n, static_cast<int64_t>(distinct.size()), covered.data(), size.data());
  Rows by_size;
  std::vector<std::string> size_names;
  for (std::size_t k = 0; k < per_size.size(); ++k) {
    // Empty and full sets cover 0 and 1 by construction: nothing to test.
    by_size.add(per_size[k], tests, distinct[k] != 0 && distinct[k] != full);
    size_names.push_back("sets of size " + std::to_string(distinct[k]));
  }

  FeatureTables features;
  bool by_feature = !settings.test_x.is_none();
  if (by_feature)
    segment_features(features, fitted, settings.test_x, covered, size, settings, tests);

  std::vector<Rows*> tested{&by_class, &by_size};
  if (by_feature) tested.push_back(&features.rows);
  decide_flags(tested, 1 - settings.confidence);

  py::dict class_table;
  class_table["class"] = labels;
  by_class.coverage_columns(class_table);
  class_table["mean_set_size"] = float_array(by_class.mean);
  by_class.test_columns(class_table);
  py::dict size_table;
  size_table["set_size"] = int_array(distinct);
  by_size.coverage_columns(size_table);
  by_size.test_columns(size_table);

  Evidence evidence;
  py::dict summary = summary_head(n, contained, alpha, tests, calib, settings.confidence, evidence);
  summary["mean_set_size"] = py::float_(size_sum / rows);
  summary["bandwidth"] = py::float_(1 - inverse_sum / rows);
  summary["share_one_class"] = py::float_(static_cast<double>(one) / rows);
  summary["share_full"] = py::float_(static_cast<double>(whole) / rows);
  summary["share_empty"] = py::float_(static_cast<double>(empty) / rows);
  summary["class_coverage_gap"] = py::float_(gap / static_cast<double>(label_count));
  summary["worst_class"] = labels[py::int_(worst)];
  evidence.share_full = static_cast<double>(whole) / rows;
  evidence.classes = full;
  add_flagged(evidence, by_class, class_names);
  add_flagged(evidence, by_size, size_names);

  py::dict tables;
  tables["by_class"] = data_frame(class_table);
  tables["by_set_size"] = data_frame(size_table);
  if (by_feature) {
    features.summarise(summary);
    add_flagged(evidence, features.rows, segment_names(features));
    py::tuple frames = features.frames("mean_set_size");
    tables["by_feature"] = frames[0];
    tables["worst_segments"] = frames[1];
  }
  return py::make_tuple(summary, tables, to_py(findings(evidence)));
}

py::tuple regression_report(const py::object& fitted, const Settings& settings) {
  double alpha = alpha_of(fitted);
  double target = 1 - alpha;
  std::vector<double> y = owned_numbers(fitted.attr("test_y"), "test_y");
  std::vector<double> low = owned_numbers(fitted.attr("pred_low"), "pred_low");
  std::vector<double> up = owned_numbers(fitted.attr("pred_up"), "pred_up");
  std::vector<double> width = owned_numbers(fitted.attr("width"), "width");
  std::vector<double> prediction = owned_numbers(fitted.attr("pred_test"), "pred_test");
  int64_t n = static_cast<int64_t>(y.size());
  if (n == 0) throw py::value_error("the regressor holds no test rows");
  for (const auto& [array, name] :
       {std::pair<const std::vector<double>*, const char*>{&low, "pred_low"},
        {&up, "pred_up"},
        {&width, "width"},
        {&prediction, "pred_test"}}) {
    if (static_cast<int64_t>(array->size()) != n) {
      throw py::value_error(std::string(name) + " must hold one value per test row");
    }
  }
  Calibration calib = calibration_law(static_cast<int64_t>(py::len(fitted.attr("calib_y"))), alpha,
                                      settings.confidence);
  Tests tests{two_sided_z(settings.confidence), target, calib.tol};

  // Covered as the regressor counts it: strictly inside the interval.
  std::vector<uint8_t> covered(n);
  int64_t contained = 0;
  double width_sum = 0;
  for (int64_t i = 0; i < n; ++i) {
    covered[i] = (up[i] - y[i] > 0) && (low[i] - y[i] < 0);
    contained += covered[i];
    width_sum += width[i];
  }

  py::object test_x =
      settings.test_x.is_none() ? py::object(fitted.attr("test_x")) : settings.test_x;
  FeatureTables features;
  segment_features(features, fitted, test_x, covered, width, settings, tests);

  Segments by_value = segment_numbers(prediction, settings.bins);
  std::vector<Stratum> strata =
      group_strata(by_value.of_row.data(), n, by_value.count(), covered.data(), width.data());
  Rows by_prediction;
  std::vector<std::string> prediction_names;
  for (int64_t i = 0; i < by_value.count(); ++i) {
    strata[i].low = by_value.low[i];
    strata[i].high = by_value.high[i];
    by_prediction.add(strata[i], tests);
    by_prediction.label.push_back(by_value.label[i]);
    prediction_names.push_back("predictions " + by_value.label[i]);
  }
  decide_flags({&features.rows, &by_prediction}, 1 - settings.confidence);

  std::vector<int64_t> prediction_segment;
  for (int64_t i = 0; i < by_value.count(); ++i) prediction_segment.push_back(i);
  py::dict prediction_table;
  prediction_table["segment"] = int_array(prediction_segment);
  by_prediction.range_columns(prediction_table);
  by_prediction.coverage_columns(prediction_table);
  prediction_table["mean_width"] = float_array(by_prediction.mean);
  by_prediction.test_columns(prediction_table);

  double rows = static_cast<double>(n);
  Evidence evidence;
  py::dict summary = summary_head(n, contained, alpha, tests, calib, settings.confidence, evidence);
  summary["band_low"] = py::float_(1 - alpha);
  summary["band_high"] = py::float_(1 - alpha + 1.0 / static_cast<double>(calib.n + 1));
  summary["mean_width"] = py::float_(width_sum / rows);
  summary["median_width"] = py::float_(median(width));
  features.summarise(summary);
  add_flagged(evidence, features.rows, segment_names(features));
  add_flagged(evidence, by_prediction, prediction_names);

  py::tuple frames = features.frames("mean_width");
  py::dict tables;
  tables["by_feature"] = frames[0];
  tables["worst_segments"] = frames[1];
  tables["by_prediction"] = data_frame(prediction_table);
  return py::make_tuple(summary, tables, to_py(findings(evidence)));
}

}  // namespace report
}  // namespace trov
