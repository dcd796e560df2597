#include "diagnoser/report/shift.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/items.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/report/findings.h"
#include "diagnoser/report/rows.h"

namespace trov {
namespace report {
namespace {

using py::literals::operator""_a;

// The table's rows: the features whose permutation lowers the AUC most.
constexpr std::size_t kTopFeatures = 5;
// The finding names at most this many of them.
constexpr std::size_t kNamedFeatures = 3;

std::string repr_of(const py::handle& value) { return py::repr(value).cast<std::string>(); }

[[noreturn]] void not_a_ratio(const std::string& what, const py::object& ratio,
                              const char* missing) {
  throw py::type_error(what +
                       " must be a fitted DensityRatio or an object like it, with auc_, "
                       "pvalue_ and ess_; " +
                       repr_of(ratio) + " has no " + missing +
                       ": fit it with DensityRatio().fit(source_x, new_x) from "
                       "trov.diagnoser.conformal, or pass new_x to coverage_report instead");
}

// A finite number in [low, high], read once.
double ratio_number(const py::object& ratio, const char* name, double low, double high,
                    const std::string& what) {
  py::object value = attr_if_present(ratio, name);
  if (!value) not_a_ratio(what, ratio, name);
  PyObject* v = value.ptr();
  if (PyBool_Check(v) || !PyNumber_Check(v) || PyUnicode_Check(v)) {
    throw py::type_error(what + "." + name + " must be a number, got " + repr_of(value) +
                         ": fit the density ratio again");
  }
  double x = py::float_(value);
  if (!(x >= low && x <= high)) {
    throw py::value_error(what + "." + name + " must lie in [" + repr_of(py::float_(low)) + ", " +
                          repr_of(py::float_(high)) + "], got " + repr_of(value) +
                          ": fit the density ratio again");
  }
  return x;
}

// A row count >= 1, or -1 when the ratio does not say.
int64_t ratio_count(const py::object& ratio, const char* name, const std::string& what) {
  py::object value = attribute_or_none(ratio, name);
  if (value.is_none()) return -1;
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
    throw py::type_error(what + "." + name + " must be an integer, got " + repr_of(value) +
                         ": fit the density ratio again");
  }
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  long long count = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (count == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || count < 1) {
    throw py::value_error(what + "." + name + " must be a row count >= 1, got " + repr_of(value) +
                          ": fit the density ratio again");
  }
  return static_cast<int64_t>(count);
}

// What the section reads of the ratio, in owned memory.
struct Reading {
  double auc = 0, pvalue = 1, ess = 0;
  int64_t n_source = -1, n_new = -1;
  bool importances = false;
  std::vector<std::string> features;
  std::vector<double> drops;
};

Reading read_ratio(const py::object& ratio, const std::string& what) {
  Reading out;
  out.auc = ratio_number(ratio, "auc_", 0, 1, what);
  out.pvalue = ratio_number(ratio, "pvalue_", 0, 1, what);
  // NaN: every source row weighs 0, as clip=0 allows where the classifier is sure.
  py::object ess = attr_if_present(ratio, "ess_");
  bool no_weight = ess && PyFloat_Check(ess.ptr()) && std::isnan(PyFloat_AsDouble(ess.ptr()));
  out.ess = no_weight ? std::nan("") : ratio_number(ratio, "ess_", 0, INFINITY, what);
  out.n_source = ratio_count(ratio, "n_source_", what);
  out.n_new = ratio_count(ratio, "n_new_", what);
  // Kish's size is a count of rows, at most n_source_: finite even where n_source_ is not said.
  if (std::isinf(out.ess)) {
    throw py::value_error(what + ".ess_ is inf, not a count of rows: fit the density ratio again");
  }
  if (out.n_source > 0 && out.ess > static_cast<double>(out.n_source) * (1 + 1e-12)) {
    throw py::value_error(what + ".ess_ is " + repr_of(py::float_(out.ess)) +
                          ", more than its n_source_ = " + std::to_string(out.n_source) +
                          " rows: fit the density ratio again");
  }
  py::object method = attr_if_present(ratio, "feature_importances");
  if (!method || !PyCallable_Check(method.ptr())) return out;
  // Seeded: the same ratio gives the same report.
  py::object series = method("random_state"_a = 0);
  std::string expected = what +
                         ".feature_importances() must give a pandas Series of feature -> "
                         "AUC drop";
  if (!py::isinstance(series, ns("pd").attr("Series"))) {
    throw py::type_error(expected + ", got " + repr_of(series));
  }
  py::tuple index = items_of(series.attr("index").attr("tolist")());
  DoubleArray values =
      with_note([&] { return DoubleArray::ensure(series.attr("to_numpy")("dtype"_a = "float64")); },
                [&](py::error_already_set&) { return expected + ", numbers"; });
  if (!values || values.ndim() != 1) {
    PyErr_Clear();
    throw py::type_error(expected + " numbers, got " + repr_of(series));
  }
  out.drops.assign(values.data(), values.data() + values.size());
  if (out.drops.size() != index.size()) {
    throw py::value_error(what + ".feature_importances() changed while being read");
  }
  for (py::handle name : index) out.features.push_back(text_of(name));
  out.importances = true;
  return out;
}

// The positions of the largest drops, largest first, NaN last; ties keep their order.
std::vector<std::size_t> top_features(const std::vector<double>& drops) {
  std::vector<std::size_t> order(drops.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (std::isnan(drops[b])) return !std::isnan(drops[a]);
    return drops[a] > drops[b];
  });
  if (order.size() > kTopFeatures) order.resize(kTopFeatures);
  return order;
}

// The value of `key` in the dict `d`, or a null object.
py::object item_or_null(const py::dict& d, const char* key) {
  PyObject* v = PyDict_GetItemWithError(d.ptr(), py::str(key).ptr());
  if (v == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return py::reinterpret_borrow<py::object>(v);
}

}  // namespace

bool is_density_ratio(const py::object& value) {
  return attr_if_present(value, "auc_") && attr_if_present(value, "pvalue_");
}

py::object fit_density_ratio(const py::object& source_x, const py::object& new_x) {
  py::object conformal = py::module_::import("trov.diagnoser.conformal");
  py::object type = attr_if_present(conformal, "DensityRatio");
  if (!type) {
    throw py::import_error(
        "trov.diagnoser.conformal has no DensityRatio to compare the new rows with: pass "
        "shift= a fitted density ratio (with auc_, pvalue_ and ess_) instead of new_x");
  }
  py::object ratio = type("random_state"_a = 0);
  with_note([&] { ratio.attr("fit")(source_x, new_x); },
            [](py::error_already_set&) {
              return std::string(
                  "coverage_report fitted DensityRatio(random_state=0) on the features of the "
                  "test rows (the source) and new_x: both must hold the same features");
            });
  return ratio;
}

void add_shift_section(const py::object& ratio, const ShiftContext& context, py::dict summary,
                       py::dict tables, py::list findings) {
  // Gather: every Python call, the results checked and copied.
  Reading reading = read_ratio(ratio, context.what);
  ShiftEvidence evidence;
  evidence.confidence = context.confidence;
  evidence.source = context.source;
  evidence.estimator = context.estimator;
  py::object weighted = item_or_null(summary, "weighted");
  evidence.weighted = weighted && truth(weighted);
  if (evidence.weighted) {
    evidence.calibration_ess = py::float_(summary["calibration_ess"]);
    evidence.n_calib = py::int_(summary["n_calib"]).cast<int64_t>();
  }

  // Compute.
  evidence.auc = reading.auc;
  evidence.pvalue = reading.pvalue;
  evidence.ess = reading.ess;
  evidence.n_source = reading.n_source;
  evidence.n_new = reading.n_new;
  // A test at the report's level; the report's Holm family of flags is apart.
  evidence.detected = reading.pvalue < 1 - context.confidence;
  std::vector<std::size_t> top = top_features(reading.drops);
  std::vector<std::string> feature;
  std::vector<double> drop;
  for (std::size_t i : top) {
    feature.push_back(reading.features[i]);
    drop.push_back(reading.drops[i]);
    // Only a feature whose permutation lowers the AUC tells the rows apart, and one
    // that lowers it a tenth as much as the first is noise beside it.
    const double first = top.empty() ? 0 : reading.drops[top.front()];
    if (reading.drops[i] > 0 && reading.drops[i] >= 0.1 * first &&
        evidence.top.size() < kNamedFeatures) {
      evidence.top.push_back(reading.features[i]);
    }
  }
  std::vector<std::string> said = shift_findings(evidence);

  // Publish.
  summary["shift_auc"] = py::float_(reading.auc);
  summary["shift_pvalue"] = py::float_(reading.pvalue);
  summary["shift_ess"] = py::float_(reading.ess);
  summary["shift_n_source"] =
      reading.n_source > 0 ? py::object(py::int_(reading.n_source)) : py::object(py::none());
  summary["shift_n_new"] =
      reading.n_new > 0 ? py::object(py::int_(reading.n_new)) : py::object(py::none());
  summary["shift_detected"] = py::bool_(evidence.detected);
  if (!evidence.weighted) summary["weighted"] = py::bool_(false);
  if (reading.importances) {
    py::dict table;
    table["feature"] = to_list(feature);
    table["auc_drop"] = float_array(drop);
    tables["shift features"] = data_frame(table);
  }
  // A shift found is what to act on first; an all-clear comes last.
  for (std::size_t k = 0; k < said.size(); ++k) {
    if (evidence.detected) {
      findings.insert(static_cast<py::ssize_t>(k), py::str(said[k]));
    } else {
      findings.append(py::str(said[k]));
    }
  }
}

}  // namespace report
}  // namespace trov
