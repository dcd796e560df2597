#include "diagnoser/reliability/facade.h"

#include "diagnoser/common/method.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"

namespace trov {
namespace {

// `type(value) == list`: exact, so a subclass of list is stored as it is.
bool is_exactly_list(const py::handle& value) {
  py::object type = ns("type")(value);
  return truth(compare(type, ns("list"), Py_EQ));
}

// self.reliability.fit(self.estimator, train_x, train_y, test_x, test_y, calib_x, calib_y)
void fit_procedure(const Args& a) {
  const py::object& self = a.self();
  py::object procedure_fit = self.attr("reliability").attr("fit");
  procedure_fit(self.attr("estimator"), a["train_x"], a["train_y"], a["test_x"], a["test_y"],
                a["calib_x"], a["calib_y"]);
}

py::object init(const Args& a) {
  const py::object& self = a.self();
  self.attr("estimator") = a["estimator"];
  self.attr("alpha") = a["alpha"];
  self.attr("depth") = a["depth"];
  py::object feature_names = a["feature_names"];
  if (is_exactly_list(feature_names)) feature_names = ns("np").attr("array")(feature_names);
  self.attr("feature_names") = feature_names;
  return py::none();
}

py::object fit(const Args& a) {
  const py::object& self = a.self();
  if (truth(ns("is_regressor")(self.attr("estimator")))) {
    // The settings are read in keyword order, as the call lists them.
    py::object procedure_class = ns("ResidualConformalRegressor");
    py::object alpha = self.attr("alpha");
    py::object depth = self.attr("depth");
    py::object feature_names = self.attr("feature_names");
    self.attr("reliability") = procedure_class(py::arg("alpha") = alpha, py::arg("depth") = depth,
                                               py::arg("feature_names") = feature_names);
    fit_procedure(a);
    return py::none();
  }
  if (truth(ns("is_classifier")(self.attr("estimator")))) {
    py::object procedure_class = ns("AdaptiveConformalClassifier");
    py::object alpha = self.attr("alpha");
    self.attr("reliability") = procedure_class(py::arg("alpha") = alpha);
    fit_procedure(a);
    return py::none();
  }
  return py::none();
}

py::object show(const Args& a) {
  a.self().attr("reliability").attr("plot")();
  return py::none();
}

py::object diagnose(const Args& a) { return a.self().attr("reliability").attr("diagnose")(); }

}  // namespace

py::object create_reliability(const ModuleContext& module) {
  return ClassBuilder(module, "Reliability")
      .method("__init__", {"self", "estimator", "alpha", "depth", "feature_names"},
              py::make_tuple(0.1, 7, py::list()), init)
      .method("fit", {"self", "train_x", "train_y", "test_x", "test_y", "calib_x", "calib_y"},
              py::make_tuple(py::none(), py::none()), fit)
      .method("show", {"self"}, show)
      .method("diagnose", {"self"}, diagnose)
      .create();
}

}  // namespace trov
