// The companion module: `coverage_report` and the `CoverageReport` it returns.
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "diagnoser/common/compat.h"
#include "diagnoser/common/imports.h"
#include "diagnoser/common/method.h"
#include "diagnoser/common/module_def.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/report/comparison.h"
#include "diagnoser/report/coverage_kernels.h"
#include "diagnoser/report/docstrings.h"
#include "diagnoser/report/online.h"
#include "diagnoser/report/report_html.h"
#include "diagnoser/report/shift.h"
#include "diagnoser/report/snapshot.h"
#include "diagnoser/report/tables.h"

namespace py = pybind11;

namespace trov {
namespace report {
namespace {

using py::literals::operator""_a;

constexpr const char* kProcedures = "trov.diagnoser.reliability_evaluation";
constexpr const char* kConformal = "trov.diagnoser.conformal";
constexpr const char* kExpected =
    "a fitted AdaptiveConformalClassifier, ResidualConformalRegressor or Reliability, an "
    "OnlineConformalClassifier or OnlineConformalRegressor that has seen labelled rows, or an "
    "evaluated ConformalClassifier, ConformalRegressor, CrossConformalClassifier or "
    "CrossConformalRegressor";

enum class Kind {
  kClassifier,
  kRegressor,
  kFacade,
  kConformalClassifier,
  kConformalRegressor,
  kCrossClassifier,
  kCrossRegressor,
  kOnlineClassifier,
  kOnlineRegressor,
  kOther
};

// The procedure or conformal class among the object's bases, by module and name,
// so that an instance of any import of those modules is recognised.
Kind kind_of(const py::object& fitted) {
  for (py::handle base : py::type::of(fitted).attr("__mro__")) {
    py::object module = py::getattr(base, "__module__", py::none());
    if (!py::isinstance<py::str>(module)) continue;
    std::string module_name = module.cast<std::string>();
    std::string name = py::getattr(base, "__qualname__", py::str("")).cast<std::string>();
    if (module_name == kConformal) {
      if (name == "ConformalClassifier") return Kind::kConformalClassifier;
      if (name == "ConformalRegressor") return Kind::kConformalRegressor;
      if (name == "CrossConformalClassifier") return Kind::kCrossClassifier;
      if (name == "CrossConformalRegressor") return Kind::kCrossRegressor;
      if (name == "OnlineConformalClassifier") return Kind::kOnlineClassifier;
      if (name == "OnlineConformalRegressor") return Kind::kOnlineRegressor;
      continue;
    }
    if (module_name != kProcedures) continue;
    if (name == "AdaptiveConformalClassifier") return Kind::kClassifier;
    if (name == "ResidualConformalRegressor") return Kind::kRegressor;
    if (name == "Reliability") return Kind::kFacade;
  }
  return Kind::kOther;
}

std::string type_name(const py::object& obj) {
  return py::str(py::type::of(obj).attr("__qualname__")).cast<std::string>();
}

void require_fitted(const py::object& fitted, std::initializer_list<const char*> attributes,
                    const char* step = "fit") {
  for (const char* name : attributes) {
    if (!py::hasattr(fitted, name)) {
      throw py::value_error(type_name(fitted) + " is not " +
                            (std::string(step) == "fit" ? "fitted" : "evaluated") + " (it has no " +
                            name + "): call " + step + " before coverage_report");
    }
  }
}

double checked_confidence(const py::object& value) {
  if (PyBool_Check(value.ptr()) || !PyNumber_Check(value.ptr()) || PyUnicode_Check(value.ptr())) {
    throw py::type_error("confidence must be a number in (0, 1), got " +
                         py::repr(value).cast<std::string>());
  }
  double confidence = py::float_(value);
  if (!(confidence > 0 && confidence < 1)) {
    throw py::value_error("confidence must lie strictly between 0 and 1, got " +
                          py::repr(value).cast<std::string>());
  }
  if (!std::isfinite(two_sided_z(confidence))) {
    throw py::value_error("confidence " + py::repr(value).cast<std::string>() +
                          " is so close to 1 that its normal quantile is not finite: use at "
                          "most 1 - 1e-15");
  }
  return confidence;
}

// An int >= 1, read once; beyond the int64 range it counts as that range's top,
// since no report has more segments than test rows.
int64_t checked_bins(const py::object& value) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
    throw py::type_error("bins must be an integer >= 1, got " +
                         py::repr(value).cast<std::string>());
  }
  py::object bins = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!bins) throw py::error_already_set();
  int overflow = 0;
  long long count = PyLong_AsLongLongAndOverflow(bins.ptr(), &overflow);
  if (count == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow > 0) return INT64_MAX;
  if (overflow < 0 || count < 1) {
    throw py::value_error("bins must be an integer >= 1, got " +
                          py::repr(value).cast<std::string>());
  }
  return static_cast<int64_t>(count);
}

// The features of the test rows, which stand for the calibration rows beside new_x.
py::object source_rows(const py::object& fitted, const Settings& settings) {
  if (!settings.test_x.is_none()) return settings.test_x;
  for (const char* name : {"test_x_", "test_x"}) {
    py::object rows = attribute_or_none(fitted, name);
    if (!rows.is_none()) return rows;
  }
  throw py::value_error("new_x is compared with the features of the test rows, and the " +
                        type_name(fitted) + " holds none: pass them as test_x");
}

// The density ratio the shift section reads, or a null object for no section.
py::object shift_ratio(const py::object& fitted, Kind kind, const Settings& settings,
                       const py::object& shift, const py::object& new_x, ShiftContext& context) {
  if (!shift.is_none()) {
    context.what = "shift";
    return shift;
  }
  if (!new_x.is_none()) {
    context.what = "DensityRatio(random_state=0)";
    context.source = "test";
    return fit_density_ratio(source_rows(fitted, settings), new_x);
  }
  if (kind != Kind::kConformalClassifier && kind != Kind::kConformalRegressor) return {};
  // The ratio the object was calibrated with, when it is one the section can read.
  py::object own = attribute_or_none(fitted, "shift_");
  if (own.is_none() || !is_density_ratio(own)) return {};
  context.what = "shift_";
  return own;
}

py::object coverage_report(const Args& a) {
  py::object fitted = a["fitted"];
  Settings settings{checked_confidence(a["confidence"]), checked_bins(a["bins"]), a["test_x"]};
  py::object shift = a["shift"], new_x = a["new_x"];
  if (!shift.is_none() && !new_x.is_none()) {
    throw py::value_error(
        "pass shift (a fitted density ratio) or new_x (rows to fit one on), not both");
  }
  if (!shift.is_none() && !is_density_ratio(shift)) {
    throw py::type_error(
        "shift must be a fitted DensityRatio or an object like it, with auc_, "
        "pvalue_ and ess_, got " +
        py::repr(shift).cast<std::string>() +
        ": fit it with DensityRatio().fit(source_x, new_x) from "
        "trov.diagnoser.conformal, or pass new_x instead");
  }
  Kind kind = kind_of(fitted);
  if (kind == Kind::kFacade) {
    require_fitted(fitted, {"reliability"});
    fitted = fitted.attr("reliability");
    kind = kind_of(fitted);
  }
  py::tuple content;
  const char* name;
  if (kind == Kind::kClassifier) {
    require_fitted(fitted, {"alpha", "test_class", "test_y"});
    content = classification_report(fitted, settings);
    name = "classification";
  } else if (kind == Kind::kRegressor) {
    require_fitted(fitted,
                   {"alpha", "test_y", "pred_test", "pred_low", "pred_up", "width", "calib_y"});
    if (settings.test_x.is_none()) require_fitted(fitted, {"test_x"});
    content = regression_report(fitted, settings);
    name = "regression";
  } else if (kind == Kind::kConformalClassifier) {
    require_fitted(fitted, {"alpha", "classes_", "n_calibration_", "sets_", "test_y_", "test_x_"},
                   "evaluate");
    content = conformal_classification_report(fitted, settings);
    name = "classification";
  } else if (kind == Kind::kConformalRegressor) {
    require_fitted(fitted,
                   {"alpha", "n_calibration_", "intervals_", "test_y_", "test_pred_", "test_x_"},
                   "evaluate");
    content = conformal_regression_report(fitted, settings);
    name = "regression";
  } else if (kind == Kind::kCrossClassifier) {
    require_fitted(fitted,
                   {"coverage_bound_", "guarantee_", "n_estimators_", "classes_", "n_calibration_",
                    "sets_", "test_y_", "test_x_"},
                   "evaluate");
    content = cross_classification_report(fitted, settings);
    name = "classification";
  } else if (kind == Kind::kCrossRegressor) {
    require_fitted(fitted,
                   {"coverage_bound_", "guarantee_", "n_estimators_", "n_calibration_",
                    "intervals_", "test_y_", "test_pred_", "test_x_"},
                   "evaluate");
    content = cross_regression_report(fitted, settings);
    name = "regression";
  } else if (kind == Kind::kOnlineClassifier || kind == Kind::kOnlineRegressor) {
    // A stream has no test rows to segment by feature or to compare with new ones:
    // its own martingale tells whether its rows changed.
    if (!settings.test_x.is_none() || !new_x.is_none() || !shift.is_none()) {
      throw py::value_error(
          "test_x, new_x and shift apply to objects evaluated on test rows; the report of " +
          type_name(fitted) +
          " reads its stream alone, and its alarm says whether the rows changed: call "
          "coverage_report(online) without them");
    }
    bool classifier = kind == Kind::kOnlineClassifier;
    content = online_report(fitted, classifier, settings);
    return ns("CoverageReport")(classifier ? "classification" : "regression", settings.confidence,
                                content[0], content[1], content[2]);
  } else {
    throw py::type_error(std::string("coverage_report expects ") + kExpected + ", got " +
                         type_name(fitted));
  }
  ShiftContext context{
      "", "calibration",
      std::string(name) == "classification" ? "ConformalClassifier" : "ConformalRegressor",
      settings.confidence};
  py::object ratio = shift_ratio(fitted, kind, settings, shift, new_x, context);
  if (ratio) add_shift_section(ratio, context, content[0], content[1], content[2]);
  return ns("CoverageReport")(name, settings.confidence, content[0], content[1], content[2]);
}

py::object init(const Args& a) {
  const py::object& self = a.self();
  self.attr("kind") = a["kind"];
  self.attr("confidence") = a["confidence"];
  self.attr("summary") = a["summary"];
  self.attr("tables") = a["tables"];
  self.attr("findings") = a["findings"].is_none() ? py::list() : py::list(a["findings"]);
  return py::none();
}

// Deeper than this, a value is taken to contain itself.
constexpr int kDeepest = 200;

// A value JSON can hold: numpy scalars as Python numbers, NaN and infinities as None.
py::object plain(const py::handle& value, int depth = 0) {
  PyObject* v = value.ptr();
  if (value.is_none() || PyBool_Check(v) || PyUnicode_Check(v) || PyLong_CheckExact(v)) {
    return py::reinterpret_borrow<py::object>(value);
  }
  if (PyFloat_Check(v)) {
    double x = PyFloat_AsDouble(v);
    return std::isfinite(x) ? py::object(py::float_(x)) : py::object(py::none());
  }
  bool mapping = PyDict_Check(v), sequence = PyList_Check(v) || PyTuple_Check(v);
  if ((mapping || sequence) && depth >= kDeepest) {
    throw py::value_error("the report holds a value nested more than " + std::to_string(kDeepest) +
                          " levels deep or containing itself: it has no plain form");
  }
  if (mapping) {
    py::dict out;
    // Keys taken first: converting the values runs Python code.
    py::dict source = py::reinterpret_borrow<py::dict>(value);
    for (py::handle key : snapshot(source)) out[py::str(key)] = plain(source[key], depth + 1);
    return std::move(out);
  }
  if (sequence) {
    py::list out;
    for (py::handle item : snapshot(value)) {
      out.append(plain(item, depth + 1));
    }
    return std::move(out);
  }
  if (py::isinstance(value, ns("np").attr("generic")))
    return plain(value.attr("item")(), depth + 1);
  if (PyLong_Check(v)) return py::int_(py::reinterpret_borrow<py::object>(value));
  return py::str(value);
}

py::object to_dict(const Args& a) {
  const py::object& self = a.self();
  py::dict tables;
  py::dict source(self.attr("tables"));
  for (py::handle name : snapshot(source)) {
    tables[name] = plain(source[name].attr("to_dict")("records"));
  }
  py::dict out;
  out["kind"] = plain(self.attr("kind"));
  out["confidence"] = plain(self.attr("confidence"));
  out["summary"] = plain(self.attr("summary"));
  out["tables"] = tables;
  out["findings"] = plain(attribute_or_none(self, "findings"));
  return std::move(out);
}

py::object repr_html(const Args& a) { return py::str(html_fragment(a.self())); }

py::object to_html(const Args& a) {
  write_text(a["path"], html_document(a.self()));
  return py::none();
}

py::object repr(const Args& a) {
  const py::object& self = a.self();
  py::dict summary = self.attr("summary");
  if (summary.contains("window")) {
    // A stream's report carries no flags; its alarm is what to know.
    py::object alarm = summary.contains("alarm") ? py::object(summary["alarm"]) : py::none();
    py::object said = alarm.is_none() ? py::object(py::str("no alarm"))
                                      : py::object(py::str("alarm at row {}").format(alarm));
    return py::str(
               "<CoverageReport {} (online {}): n={}, coverage {:.4f} [{:.4f}, {:.4f}], target "
               "{:.4f}, {}>")
        .format(self.attr("kind"),
                summary.contains("method") ? py::object(summary["method"]) : py::str("?"),
                summary["n"], summary["coverage"], summary["coverage_low"],
                summary["coverage_high"], summary["target"], said);
  }
  py::ssize_t flagged = 0;
  py::dict tables(self.attr("tables"));
  for (py::handle name : snapshot(tables)) {
    if (py::str(name).cast<std::string>() == "worst_segments") continue;
    py::object frame = tables[name];
    if (py::bool_(frame.attr("columns").attr("__contains__")("flag"))) {
      flagged += py::int_(py::object(frame["flag"]).attr("__ne__")("").attr("sum")());
    }
  }
  return py::str(
             "<CoverageReport {}: n={}, coverage {:.4f} [{:.4f}, {:.4f}], target {:.4f}, "
             "{} flagged rows>")
      .format(self.attr("kind"), summary["n"], summary["coverage"], summary["coverage_low"],
              summary["coverage_high"], summary["target"], flagged);
}

py::object create_coverage_report(const ModuleContext& module) {
  return ClassBuilder(module, "CoverageReport", kCoverageReportDoc)
      .method("__init__", {"self", "kind", "confidence", "summary", "tables", "findings"},
              py::make_tuple(py::none()), init, kReportInitDoc)
      .method("to_dict", {"self"}, to_dict, kToDictDoc)
      .method("_repr_html_", {"self"}, repr_html)
      .method("to_html", {"self", "path"}, to_html, kReportToHtmlDoc)
      .method("__repr__", {"self"}, repr)
      .create();
}

void initialise(py::module_ module) {
  ready_method_type();
  ModuleContext context{module.attr("__dict__"), py::str(module.attr("__name__")),
                        py::make_tuple(8, 6)};
  py::dict globals = context.globals;
  import_as(globals, "numpy", "np");
  import_as(globals, "pandas", "pd");
  import_from(globals, "matplotlib.figure", {{"Figure", "Figure"}});
  import_as(globals, "io", "io");
  import_as(globals, "base64", "base64");

  globals["CoverageReport"] = create_coverage_report(context);
  globals["ReportComparison"] = create_report_comparison(context);
  globals["compare_reports"] = create_compare_reports(context);
  globals["coverage_report"] = make_function(
      context, "coverage_report", {"fitted", "confidence", "bins", "test_x", "new_x", "shift"},
      py::make_tuple(0.95, 10, py::none(), py::none(), py::none()), coverage_report,
      kCoverageReportFunctionDoc);
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT,      "report", nullptr, 0,      nullptr,
                          module_slots<initialise>(), nullptr,  nullptr, nullptr};

}  // namespace
}  // namespace report
}  // namespace trov

TROV_MODULE_INIT PyInit_report() { return PyModuleDef_Init(&trov::report::module_def); }
