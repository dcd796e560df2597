#include "diagnoser/report/tables.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "diagnoser/common/names.h"
#include "diagnoser/common/prediction_sets.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/common/segments.h"
#include "diagnoser/report/coverage_kernels.h"

namespace trov {
namespace report {
namespace {

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

// `np.ravel(value)` as contiguous float64, for the native loops.
DoubleArray float_buffer(const py::object& value, const char* what) {
  // ensure() clears numpy's error, so the message says what was expected.
  DoubleArray out = DoubleArray::ensure(ns("np").attr("ravel")(value));
  if (!out) throw py::type_error(std::string(what) + " must be numeric");
  return out;
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

// The columns common to every table, one entry per row.
struct Columns {
  std::vector<int64_t> n;
  std::vector<double> low, high, coverage, coverage_low, coverage_high, mean;
  std::vector<std::string> flag;

  void add(const Stratum& s, double z, double target) {
    Interval interval = wilson(s.covered, s.n, z);
    n.push_back(s.n);
    low.push_back(s.low);
    high.push_back(s.high);
    coverage.push_back(s.coverage());
    coverage_low.push_back(interval.low);
    coverage_high.push_back(interval.high);
    mean.push_back(s.mean());
    flag.push_back(s.n > 0 ? report::flag(interval, target) : "");
  }

  void coverage_columns(py::dict& table) const {
    table["coverage"] = float_array(coverage);
    table["coverage_low"] = float_array(coverage_low);
    table["coverage_high"] = float_array(coverage_high);
  }
};

py::object data_frame(const py::dict& columns) { return ns("pd").attr("DataFrame")(columns); }

// Coverage, its interval and the target: the opening entries of both summaries.
py::dict summary_head(int64_t n, int64_t covered, double alpha, double z) {
  Interval interval = wilson(covered, n, z);
  py::dict summary;
  summary["n"] = py::int_(n);
  summary["alpha"] = py::float_(alpha);
  summary["target"] = py::float_(1 - alpha);
  summary["coverage"] = py::float_(static_cast<double>(covered) / static_cast<double>(n));
  summary["coverage_low"] = py::float_(interval.low);
  summary["coverage_high"] = py::float_(interval.high);
  return summary;
}

double alpha_of(const py::object& fitted) {
  double alpha = py::float_(fitted.attr("alpha"));
  if (!(alpha > 0 && alpha < 1)) {
    throw py::value_error("the fitted object's alpha must lie in (0, 1), got " +
                          std::to_string(alpha));
  }
  return alpha;
}

py::object attribute_or_none(const py::object& obj, const char* name) {
  py::object value = attr_if_present(obj, name);
  return value ? value : py::none();
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

}  // namespace

py::tuple classification_report(const py::object& fitted, const Settings& settings) {
  py::object np = ns("np");
  double alpha = alpha_of(fitted);
  double target = 1 - alpha;
  double z = two_sided_z(settings.confidence);
  py::object test_y = np.attr("ravel")(fitted.attr("test_y"));
  PredictionSets sets(fitted.attr("test_class"));
  int64_t n = sets.rows();
  if (n != static_cast<int64_t>(py::len(test_y))) {
    throw py::value_error("the classifier holds " + std::to_string(n) + " prediction sets for " +
                          std::to_string(py::len(test_y)) + " test labels");
  }
  if (n == 0) throw py::value_error("the classifier holds no test rows");
  py::object classes = attribute_or_none(fitted, "classes");
  std::vector<int64_t> position = label_positions(test_y, classes, sets.largest() + 1);

  int64_t full = class_count(fitted, classes);
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

  // Per true label, in np.unique's order.
  py::tuple unique = np.attr("unique")(test_y, py::arg("return_inverse") = true);
  IntArray inverse(np.attr("ravel")(unique[1]));
  py::list labels = unique[0].attr("tolist")();
  int64_t label_count = static_cast<int64_t>(py::len(labels));
  std::vector<Stratum> per_class =
      group_strata(inverse.data(), n, label_count, covered.data(), size.data());
  Columns by_class;
  double gap = 0;
  int64_t worst = 0;
  for (int64_t c = 0; c < label_count; ++c) {
    by_class.add(per_class[c], z, target);
    gap += std::fabs(per_class[c].coverage() - target);
    if (per_class[c].coverage() < per_class[worst].coverage()) worst = c;
  }
  py::dict class_table;
  class_table["class"] = labels;
  class_table["n"] = int_array(by_class.n);
  by_class.coverage_columns(class_table);
  class_table["mean_set_size"] = float_array(by_class.mean);
  class_table["flag"] = to_list(by_class.flag);

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
  Columns by_size;
  for (const Stratum& s : per_size) by_size.add(s, z, target);
  py::dict size_table;
  size_table["set_size"] = int_array(distinct);
  size_table["n"] = int_array(by_size.n);
  by_size.coverage_columns(size_table);
  size_table["flag"] = to_list(by_size.flag);

  py::dict summary = summary_head(n, contained, alpha, z);
  summary["mean_set_size"] = py::float_(size_sum / rows);
  summary["bandwidth"] = py::float_(1 - inverse_sum / rows);
  summary["share_one_class"] = py::float_(static_cast<double>(one) / rows);
  summary["share_full"] = py::float_(static_cast<double>(whole) / rows);
  summary["share_empty"] = py::float_(static_cast<double>(empty) / rows);
  summary["class_coverage_gap"] = py::float_(gap / static_cast<double>(label_count));
  summary["worst_class"] = labels[py::int_(worst)];

  py::dict tables;
  tables["by_class"] = data_frame(class_table);
  tables["by_set_size"] = data_frame(size_table);
  return py::make_tuple(summary, tables);
}

namespace {

// What every segment table shares: the rows, their coverage and width, the cuts.
struct Segmenting {
  int64_t rows;
  const uint8_t* covered;
  const double* width;
  std::vector<int64_t> bounds;
};

// The segments of `values` along np.argsort(values), as plot_feature ranks them.
std::vector<Stratum> segments_of(const py::object& values, const Segmenting& seg,
                                 const char* what) {
  py::object flat = values.attr("ravel")();
  IntArray order(ns("np").attr("argsort")(flat));
  DoubleArray ranked = float_buffer(flat, what);
  if (order.size() != seg.rows || ranked.size() != seg.rows) {
    throw py::value_error(std::string(what) + " must hold one value per test row");
  }
  try {
    return segment_strata(order.data(), seg.rows, seg.bounds, ranked.data(), seg.covered,
                          seg.width);
  } catch (const std::out_of_range&) {
    throw py::index_error("np.argsort gave an index outside the test rows");
  }
}

// The feature names: `feature_names` when it names every column, else x0, x1, ...
std::vector<std::string> feature_labels(const py::object& fitted, py::ssize_t columns) {
  std::vector<std::string> out;
  py::object names = attribute_or_none(fitted, "feature_names");
  if (!names.is_none() && py::hasattr(names, "__len__") && py::len(names) == std::size_t(columns)) {
    for (py::handle name : names) out.push_back(py::str(name).cast<std::string>());
    return out;
  }
  for (py::ssize_t j = 0; j < columns; ++j) out.push_back("x" + std::to_string(j));
  return out;
}

}  // namespace

py::tuple regression_report(const py::object& fitted, const Settings& settings) {
  py::object np = ns("np");
  double alpha = alpha_of(fitted);
  double target = 1 - alpha;
  double z = two_sided_z(settings.confidence);
  DoubleArray y = float_buffer(fitted.attr("test_y"), "test_y");
  DoubleArray low = float_buffer(fitted.attr("pred_low"), "pred_low");
  DoubleArray up = float_buffer(fitted.attr("pred_up"), "pred_up");
  DoubleArray width = float_buffer(fitted.attr("width"), "width");
  py::object prediction = np.attr("ravel")(fitted.attr("pred_test"));
  int64_t n = y.size();
  if (n == 0) throw py::value_error("the regressor holds no test rows");
  for (const auto& [array, name] : {std::pair<const DoubleArray*, const char*>{&low, "pred_low"},
                                    {&up, "pred_up"},
                                    {&width, "width"}}) {
    if (array->size() != n) {
      throw py::value_error(std::string(name) + " must hold one value per test row");
    }
  }
  int64_t n_calib = static_cast<int64_t>(py::len(fitted.attr("calib_y")));

  // Covered as the regressor counts it: strictly inside the interval.
  std::vector<uint8_t> covered(n);
  int64_t contained = 0;
  double width_sum = 0;
  const double *yv = y.data(), *lv = low.data(), *uv = up.data(), *wv = width.data();
  for (int64_t i = 0; i < n; ++i) {
    covered[i] = (uv[i] - yv[i] > 0) && (lv[i] - yv[i] < 0);
    contained += covered[i];
    width_sum += wv[i];
  }

  py::object table = np.attr("asarray")(fitted.attr("test_x"));
  if (py::len(table.attr("shape")) == 1) table = table.attr("reshape")(-1, 1);
  if (py::len(table.attr("shape")) != 2 || table.attr("shape")[py::int_(0)].cast<int64_t>() != n) {
    throw py::value_error("test_x must be a table with one row per test row");
  }
  py::ssize_t columns = table.attr("shape")[py::int_(1)].cast<py::ssize_t>();
  std::vector<std::string> names = feature_labels(fitted, columns);

  Segmenting seg{n, covered.data(), wv, {}};
  for (const py::object& bound : rank_bounds(np.attr("arange")(n), settings.bins)) {
    seg.bounds.push_back(bound.cast<int64_t>());
  }
  int64_t bins = static_cast<int64_t>(seg.bounds.size()) - 1;

  Columns by_feature, worst_rows;
  std::vector<std::string> feature, worst_feature;
  std::vector<int64_t> segment, worst_segment;
  double fsc = std::nan("");
  std::string fsc_feature;
  int64_t fsc_segment = -1;
  for (py::ssize_t j = 0; j < columns; ++j) {
    py::object column = table[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
    std::vector<Stratum> strata = segments_of(column, seg, "each feature");
    int64_t worst = -1;
    for (int64_t i = 0; i < bins; ++i) {
      by_feature.add(strata[i], z, target);
      feature.push_back(names[j]);
      segment.push_back(i);
      if (strata[i].n > 0 && (worst < 0 || strata[i].coverage() < strata[worst].coverage())) {
        worst = i;
      }
    }
    if (worst < 0) continue;
    worst_rows.add(strata[worst], z, target);
    worst_feature.push_back(names[j]);
    worst_segment.push_back(worst);
    if (fsc_segment < 0 || strata[worst].coverage() < fsc) {
      fsc = strata[worst].coverage();
      fsc_feature = names[j];
      fsc_segment = worst;
    }
  }
  py::dict feature_table;
  feature_table["feature"] = to_list(feature);
  feature_table["segment"] = int_array(segment);
  feature_table["n"] = int_array(by_feature.n);
  feature_table["low"] = float_array(by_feature.low);
  feature_table["high"] = float_array(by_feature.high);
  by_feature.coverage_columns(feature_table);
  feature_table["mean_width"] = float_array(by_feature.mean);
  feature_table["flag"] = to_list(by_feature.flag);

  py::dict worst_table;
  worst_table["feature"] = to_list(worst_feature);
  worst_table["segment"] = int_array(worst_segment);
  worst_table["n"] = int_array(worst_rows.n);
  worst_rows.coverage_columns(worst_table);
  worst_table["flag"] = to_list(worst_rows.flag);

  Columns by_prediction;
  std::vector<Stratum> strata = segments_of(prediction, seg, "pred_test");
  for (const Stratum& s : strata) by_prediction.add(s, z, target);
  std::vector<int64_t> prediction_segment;
  for (int64_t i = 0; i < bins; ++i) prediction_segment.push_back(i);
  py::dict prediction_table;
  prediction_table["segment"] = int_array(prediction_segment);
  prediction_table["n"] = int_array(by_prediction.n);
  prediction_table["low"] = float_array(by_prediction.low);
  prediction_table["high"] = float_array(by_prediction.high);
  by_prediction.coverage_columns(prediction_table);
  prediction_table["mean_width"] = float_array(by_prediction.mean);
  prediction_table["flag"] = to_list(by_prediction.flag);

  double rows = static_cast<double>(n);
  py::dict summary = summary_head(n, contained, alpha, z);
  summary["n_calib"] = py::int_(n_calib);
  summary["band_low"] = py::float_(1 - alpha);
  summary["band_high"] = py::float_(1 - alpha + 1.0 / static_cast<double>(n_calib + 1));
  summary["mean_width"] = py::float_(width_sum / rows);
  summary["median_width"] = py::float_(median(std::vector<double>(wv, wv + n)));
  summary["fsc"] = py::float_(fsc);
  summary["fsc_feature"] = fsc_segment < 0 ? py::object(py::none()) : py::str(fsc_feature);
  summary["fsc_segment"] = fsc_segment < 0 ? py::object(py::none()) : py::int_(fsc_segment);

  py::dict tables;
  tables["by_feature"] = data_frame(feature_table);
  tables["worst_segments"] = data_frame(worst_table);
  tables["by_prediction"] = data_frame(prediction_table);
  return py::make_tuple(summary, tables);
}

}  // namespace report
}  // namespace trov
