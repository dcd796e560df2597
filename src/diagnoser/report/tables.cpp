#include "diagnoser/report/tables.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/prediction_sets.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/report/binomial.h"
#include "diagnoser/report/coverage_kernels.h"
#include "diagnoser/report/feature_tables.h"
#include "diagnoser/report/findings.h"
#include "diagnoser/report/rows.h"
#include "diagnoser/report/segmenting.h"

namespace trov {
namespace report {
namespace {

using IntArray = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

// `np.ravel(value)` as float64 in owned memory: Python code that runs later
// cannot change or free it.
std::vector<double> owned_numbers(const py::object& value, const char* what) {
  // ensure() clears numpy's error, so the message says what was expected.
  DoubleArray array = DoubleArray::ensure(ns("np").attr("ravel")(value));
  if (!array) throw py::type_error(std::string(what) + " must be numeric");
  return std::vector<double>(array.data(), array.data() + array.size());
}

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

// Coverage, its interval, the target and the calibration law: the opening entries
// of both summaries; fills the matching part of `evidence`.
py::dict summary_head(int64_t n, int64_t covered, double alpha, const Tests& tests,
                      const CalibrationLaw& calib, double confidence, Evidence& evidence) {
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

void add_flagged(Evidence& evidence, const Rows& rows, const std::vector<std::string>& what) {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows.flag[i].empty()) continue;
    evidence.flagged.push_back(
        {what[i], rows.coverage[i], rows.n[i], rows.flag[i] == "under-covered"});
  }
}

py::list to_py(const std::vector<std::string>& values) { return to_list(values); }

}  // namespace

py::tuple classification_report(const py::object& fitted, const Settings& settings) {
  py::object np = ns("np");
  double alpha = alpha_of(fitted);
  double target = 1 - alpha;
  CalibrationLaw calib = calibration_law(calibration_count(fitted), alpha, settings.confidence);
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
    segment_features(features, fitted, settings.test_x, covered, size, settings.bins, tests);

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
  CalibrationLaw calib = calibration_law(static_cast<int64_t>(py::len(fitted.attr("calib_y"))),
                                         alpha, settings.confidence);
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
  segment_features(features, fitted, test_x, covered, width, settings.bins, tests);

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
