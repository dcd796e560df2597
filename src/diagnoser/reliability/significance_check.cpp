#include "diagnoser/reliability/significance_check.h"

#include <vector>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/figures.h"
#include "diagnoser/common/finite.h"
#include "diagnoser/common/labels.h"
#include "diagnoser/common/method.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/parts.h"
#include "diagnoser/common/python_ops.h"

namespace trov {
namespace {

// `value[:, -1]`: the probability of the positive label, one per row.
py::object last_column(const py::object& value) { return value[py::make_tuple(all_rows(), -1)]; }

// calib_x, te_x, calib_y, te_y = train_test_split(test_x, test_y, test_size=0.8)
// The larger, "test" share is discarded: only a fifth of the rows calibrates.
std::vector<py::object> split(const py::object& test_x, const py::object& test_y) {
  require_same_rows(test_x, test_y, "test", "test_x", "test_y");
  require_finite(test_y, "the targets have", "values", "test");
  return unpack(ns("train_test_split")(test_x, test_y, py::arg("test_size") = 0.8), 4);
}

// q = np.quantile(scores, self.significance_level)
py::object significance_quantile(const py::object& self, const py::object& scores) {
  py::object quantile = ns("np").attr("quantile");
  py::object level = self.attr("significance_level");
  return with_note([&] { return quantile(scores, level); },
                   [&](const py::error_already_set& e) -> std::string {
                     bool inside = truth(compare(level, py::int_(0), Py_GE)) &&
                                   truth(compare(level, py::int_(1), Py_LE));
                     if (!e.matches(PyExc_ValueError) || inside) return "";
                     return "significance_level must lie between 0 and 1, got " + text_of(level);
                   });
}

void fit_regression(const py::object& self, const py::object& test_x, const py::object& test_y) {
  std::vector<py::object> parts = split(test_x, test_y);
  const py::object& calib_x = parts[0];
  const py::object& calib_y = parts[2];
  py::object pred_base = self.attr("estimator").attr("predict")(test_x);
  require_finite(pred_base, "predict returned", "predictions", "test");
  self.attr("pred_base") = pred_base;
  py::object abs = ns("abs");
  py::object pred_calib = self.attr("estimator").attr("predict")(calib_x);
  require_finite(pred_calib, "predict returned", "predictions", "calibration");
  py::object alpha = abs(calib_y - pred_calib);
  py::object q = significance_quantile(self, alpha);
  self.attr("pred_up") = py::object(self.attr("pred_base")) + q;
  self.attr("pred_low") = py::object(self.attr("pred_base")) - q;
}

// What a calibration label is scored as against the probability of the last
// class: 1 for the estimator's classes_[-1], else 0, so that labels {1, 2} or
// {"no", "yes"} group the rows as {0, 1} do. Without classes_, the label itself.
py::object label_scores(const py::object& estimator, const py::object& calib_y) {
  py::object classes = attr_if_present(estimator, "classes_");
  if (!classes || classes.is_none()) return calib_y;
  py::array_t<int64_t> positions = label_positions(calib_y, classes);
  py::object last = py::int_(py::len(ns("np").attr("asarray")(classes)) - 1);
  return compare(positions, last, Py_EQ).attr("astype")(ns("int"));
}

void fit_classification(const py::object& self, const py::object& test_x,
                        const py::object& test_y) {
  std::vector<py::object> parts = split(test_x, test_y);
  const py::object& calib_x = parts[0];
  const py::object& calib_y = parts[2];
  py::object pred_base = last_column(self.attr("estimator").attr("predict_proba")(test_x));
  require_finite(pred_base, "predict_proba returned", "probabilities", "test");
  py::object abs = ns("abs");
  py::object calib_prob = last_column(self.attr("estimator").attr("predict_proba")(calib_x));
  require_finite(calib_prob, "predict_proba returned", "probabilities", "calibration");
  py::object alpha = abs(label_scores(self.attr("estimator"), calib_y) - calib_prob);
  py::object q = significance_quantile(self, alpha);
  py::int_ zero(0);
  py::int_ one(1);
  self.attr("pred_1") = pred_base[compare(pred_base - q, zero, Py_GE)];
  self.attr("pred_0") = pred_base[compare((one - pred_base) - q, zero, Py_GE)];
  py::object below_upper = compare(pred_base - q, zero, Py_LT);
  py::object above_lower = compare((one - pred_base) - q, zero, Py_LT);
  self.attr("pred_uncertain") = pred_base[below_upper & above_lower];
}

py::object init(const Args& a) {
  const py::object& self = a.self();
  self.attr("estimator") = a["estimator"];
  self.attr("significance_level") = a["significance_level"];
  return py::none();
}

py::object fit(const Args& a) {
  const py::object& self = a.self();
  if (truth(ns("is_regressor")(self.attr("estimator")))) {
    fit_regression(self, a["test_x"], a["test_y"]);
  } else if (truth(ns("is_classifier")(self.attr("estimator")))) {
    fit_classification(self, a["test_x"], a["test_y"]);
  }
  return py::none();
}

// plt.plot(range(self.pred_base.shape[0]), self.<name>[order])
void plot_sorted(const py::object& self, const char* name, const py::object& order) {
  py::object plot = ns("plt").attr("plot");
  py::object x = ns("range")(self.attr("pred_base").attr("shape")[py::int_(0)]);
  plot(x, self.attr(name)[order]);
}

py::object count(const py::object& self, const char* name) {
  return self.attr(name).attr("shape")[py::int_(0)];
}

py::object plot(const Args& a) {
  const py::object& self = a.self();
  new_figure(py::make_tuple(8, 6));
  if (truth(ns("is_regressor")(self.attr("estimator")))) {
    py::object order = ns("np").attr("argsort")(self.attr("pred_base"));
    plot_sorted(self, "pred_up", order);
    plot_sorted(self, "pred_base", order);
    plot_sorted(self, "pred_low", order);
  } else if (truth(ns("is_classifier")(self.attr("estimator")))) {
    py::object bar = ns("plt").attr("bar");
    py::list groups;
    groups.append("0");
    groups.append("1");
    groups.append("uncertain");
    py::list heights;
    heights.append(count(self, "pred_0"));
    heights.append(count(self, "pred_1"));
    heights.append(count(self, "pred_uncertain"));
    bar(groups, heights);
  }
  return py::none();
}

}  // namespace

py::object create_significance_check(const ModuleContext& module) {
  return ClassBuilder(module, "Reliability_without_uncertain")
      .method("__init__", {"self", "estimator", "significance_level"}, py::make_tuple(0.95), init)
      .method("fit", {"self", "test_x", "test_y"}, fit)
      .method("plot", {"self"}, plot)
      .create();
}

}  // namespace trov
