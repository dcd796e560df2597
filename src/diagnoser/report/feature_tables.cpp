#include "diagnoser/report/feature_tables.h"

#include <cmath>
#include <limits>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"

namespace trov {
namespace report {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A scipy.sparse matrix or array. Only once scipy.sparse is imported can there be one.
bool is_sparse(const py::object& value) {
  py::dict modules = py::module_::import("sys").attr("modules");
  if (!modules.contains("scipy.sparse")) return false;
  return py::bool_(modules["scipy.sparse"].attr("issparse")(value));
}

// The feature table as columns, with their default names.
struct FeatureSource {
  std::vector<py::object> columns;
  std::vector<std::string> names;  // data frame columns, else x0, x1, ...
};

FeatureSource feature_source(const py::object& test_x, int64_t rows) {
  FeatureSource out;
  int64_t count = 0;
  if (is_sparse(test_x)) {
    // Column by column: the dense table may not fit in memory.
    py::object table = test_x.attr("tocsc")();
    py::tuple shape = table.attr("shape");
    if (py::len(shape) != 2) throw py::value_error("test_x must be a table of rows by features");
    count = shape[0].cast<int64_t>();
    int64_t width = shape[1].cast<int64_t>();
    for (int64_t j = 0; j < width; ++j) {
      out.names.push_back("x" + std::to_string(j));
      py::object column = table[py::make_tuple(all_rows(), py::int_(j))];
      out.columns.push_back(ns("np").attr("ravel")(column.attr("toarray")()));
    }
  } else if (py::isinstance(test_x, ns("pd").attr("DataFrame"))) {
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

}  // namespace

void FeatureTables::add_feature(const std::string& name, const Segments& s,
                                const std::vector<uint8_t>& covered,
                                const std::vector<double>& value, const Tests& tests) {
  std::vector<Stratum> strata = group_strata(s.of_row.data(), static_cast<int64_t>(covered.size()),
                                             s.count(), covered.data(), value.data());
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
  if (tests.laws != nullptr && tests.laws->known) {
    rows.test_by_law(s.of_row.data(), s.count(), tests, false);
  }
  if (any) worst.push_back(lowest);
}

py::tuple FeatureTables::frames(const char* mean_name) {
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

void FeatureTables::summarise(py::dict& summary) const {
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

void segment_features(FeatureTables& out, const py::object& fitted, const py::object& test_x,
                      const std::vector<uint8_t>& covered, const std::vector<double>& value,
                      int64_t bins, const Tests& tests) {
  int64_t rows = static_cast<int64_t>(covered.size());
  FeatureSource source = feature_source(test_x, rows);
  std::vector<std::string> names = feature_labels(fitted, source.names);
  for (std::size_t j = 0; j < source.columns.size(); ++j) {
    Segments s = segment_column(source.columns[j], rows, bins, "each feature");
    out.add_feature(names[j], s, covered, value, tests);
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

}  // namespace report
}  // namespace trov
