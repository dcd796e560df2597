// ConformalClassifier: prediction sets for any number of classes, from one of four
// scores, with a marginal, per-class or per-group threshold.
#include <algorithm>
#include <cmath>
#include <string>

#include "diagnoser/common/conformal.h"
#include "diagnoser/common/errors.h"
#include "diagnoser/common/labels.h"
#include "diagnoser/common/method.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/conformal/calibration.h"
#include "diagnoser/conformal/classes.h"
#include "diagnoser/conformal/kernels.h"

namespace trov {
namespace conformal {
namespace {

std::string repr_of(const py::handle& value) { return py::repr(value).cast<std::string>(); }

// The score and its parameters as the object holds them now.
struct Rule {
  ScoreRule rule;
  bool randomized = false;
};

Rule rule_of(const py::object& self) {
  std::string name =
      checked_choice(self.attr("score"), "score", {"aps", "aps_randomized", "raps", "lac"});
  Rule r;
  if (name == "aps") {
    r.rule.score = Score::kAps;
  } else if (name == "aps_randomized") {
    r.rule.score = Score::kApsRandomized;
    r.randomized = true;
  } else if (name == "lac") {
    r.rule.score = Score::kLac;
  } else {
    r.rule.score = Score::kRaps;
    py::object lam = self.attr("lam"), k_reg = self.attr("k_reg");
    if (PyBool_Check(lam.ptr()) || !PyNumber_Check(lam.ptr()) || PyUnicode_Check(lam.ptr()) ||
        !(py::float_(lam).cast<double>() >= 0) || std::isinf(py::float_(lam).cast<double>())) {
      throw py::value_error("lam must be a finite number >= 0, got " + repr_of(lam));
    }
    if (PyBool_Check(k_reg.ptr()) || !PyIndex_Check(k_reg.ptr()) ||
        py::int_(k_reg).cast<long long>() < 0) {
      throw py::value_error("k_reg must be an integer >= 0, got " + repr_of(k_reg));
    }
    r.rule.lam = py::float_(lam).cast<double>();
    r.rule.k_reg = py::int_(k_reg).cast<int64_t>();
    r.randomized = truth(self.attr("randomized"));
  }
  return r;
}

py::array_t<double> probabilities(const py::object& self, const py::object& x, const char* part) {
  return numbers(self.attr("model").attr("predict_proba")(x), 2, "predict_proba returned",
                 "probabilities", part);
}

// The calibration labels' columns; a label that is no class is a ValueError naming it.
py::array_t<int64_t> label_columns(const py::object& y, const py::object& classes) {
  py::array_t<int64_t> pos = label_positions(y, classes);
  const int64_t* begin = pos.data();
  const int64_t* missing = std::find(begin, begin + pos.size(), kNotAClass);
  if (missing == begin + pos.size()) return pos;
  py::ssize_t at = missing - begin;
  py::object label = y[py::slice(at, at + 1, 1)].attr("tolist")()[py::int_(0)];
  throw py::value_error("calib_y holds the label " + repr_of(label) +
                        ", which is not among the classes " + repr_of(classes.attr("tolist")()) +
                        " (the model's classes_, or the columns 0 .. k - 1 of predict_proba)");
}

void require_rows(py::ssize_t labels, py::ssize_t rows, const char* name, const char* part) {
  if (labels == rows) return;
  throw py::value_error(std::string(name) + " has " + std::to_string(labels) +
                        " labels but predict_proba returned " + std::to_string(rows) +
                        " rows for the " + part + " part: give one label per row");
}

py::object init(const Args& a) {
  const py::object& self = a.self();
  for (const char* name : {"model", "alpha", "score", "conditional", "fallback", "random_state",
                           "lam", "k_reg", "randomized"}) {
    self.attr(name) = a[name];
  }
  return py::none();
}

py::object calibrate(const Args& a) {
  const py::object& self = a.self();
  checked_alpha(self.attr("alpha"));
  Rule r = rule_of(self);
  Conditional mode = checked_conditional(self.attr("conditional"), true);
  checked_fallback(self.attr("fallback"));
  const py::object& x = a["calib_x"];
  py::array_t<double> proba = probabilities(self, x, "calibration");
  const py::ssize_t rows = proba.shape(0), columns = proba.shape(1);
  if (columns < 2) {
    throw py::value_error("predict_proba returned " + std::to_string(columns) +
                          " column(s); a classifier needs at least two classes");
  }
  py::object np = ns("np");
  py::object classes = attr_if_present(self.attr("model"), "classes_");
  classes = classes ? np.attr("asarray")(classes) : np.attr("arange")(columns);
  if (py::len(classes) != static_cast<std::size_t>(columns)) {
    throw py::value_error("the model has " + std::to_string(py::len(classes)) +
                          " classes_ but predict_proba returned " + std::to_string(columns) +
                          " columns");
  }
  py::object y = flatten(a["calib_y"]);
  require_rows(py::len(y), rows, "calib_y", "calibration");
  py::array_t<int64_t> label = label_columns(y, classes);
  py::object codes = py::none(), values = py::none();
  if (mode == Conditional::kGroup) {
    GroupCodes found = group_codes(a["groups"], x, rows);
    values = found.values;
    codes = found.codes;
  } else if (mode == Conditional::kClass) {
    codes = label;
    values = classes;
  }
  py::array_t<double> u;
  if (r.randomized) u = uniforms(self.attr("random_state"), 0, rows);
  py::array_t<double> scores(rows);
  {
    r.rule.u = r.randomized ? u.data() : nullptr;
    Probabilities p{proba.data(), rows, columns};
    double* out = scores.mutable_data();
    py::gil_scoped_release release;
    label_scores(p, label.data(), r.rule, out);
  }
  self.attr("classes_") = classes;
  store_thresholds(self, scores, mode, codes, values,
                   mode == Conditional::kClass ? "class" : "group");
  return self;
}

struct Predicted {
  py::array_t<bool> sets;
  py::array_t<bool> fallback;
  py::object groups;  // the rows' groups, or None
};

Predicted predict(const py::object& self, const py::object& x, const py::object& groups,
                  const char* part) {
  require_state(self, "threshold_", "calibrate");
  require_state(self, "classes_", "calibrate");
  Rule r = rule_of(self);
  Conditional mode = checked_conditional(self.attr("conditional"), true);
  py::array_t<double> proba = probabilities(self, x, part);
  const py::ssize_t rows = proba.shape(0), columns = proba.shape(1);
  py::ssize_t classes = py::len(self.attr("classes_"));
  if (columns != classes) {
    throw py::value_error("predict_proba returned " + std::to_string(columns) +
                          " columns for the " + part + " part, but calibration saw " +
                          std::to_string(classes) + " classes");
  }
  Predicted out;
  bool grouped = mode == Conditional::kGroup || !groups.is_none();
  out.groups = grouped ? resolve_groups(groups, x, rows, part) : py::object(py::none());
  std::vector<double> per_column;
  RowThresholds per_row;
  Thresholds tau;
  if (mode == Conditional::kGroup) {
    per_row = row_thresholds(self, mode, out.groups, rows);
    out.fallback = per_row.fallback;
    tau.per_row = per_row.per_row.data();
  } else {
    bool any_fallback = false;
    per_column = class_thresholds(self, mode, classes, &any_fallback);
    out.fallback = py::array_t<bool>(rows);
    std::fill(out.fallback.mutable_data(), out.fallback.mutable_data() + rows, any_fallback);
    tau.per_column = per_column.data();
  }
  py::array_t<double> u;
  if (r.randomized) u = uniforms(self.attr("random_state"), 1, rows);
  out.sets = py::array_t<bool>({rows, columns});
  r.rule.u = r.randomized ? u.data() : nullptr;
  Probabilities p{proba.data(), rows, columns};
  bool* sets = out.sets.mutable_data();
  {
    py::gil_scoped_release release;
    prediction_sets(p, r.rule, tau, sets);
  }
  return out;
}

py::object predict_sets(const Args& a) {
  Predicted p = predict(a.self(), a["new_x"], a["groups"], "prediction");
  return with_fallback(p.sets, p.fallback, a["return_fallback"]);
}

py::object evaluate(const Args& a) {
  const py::object& self = a.self();
  Predicted p = predict(self, a["test_x"], a["groups"], "test");
  py::object y = flatten(a["test_y"]);
  const py::ssize_t rows = p.sets.shape(0), classes = p.sets.shape(1);
  require_rows(py::len(y), rows, "test_y", "test");
  if (rows == 0) empty_test_part("there are no test rows to measure coverage on");
  // A label that is no class is in no set: it counts as not covered.
  py::array_t<int64_t> label = label_positions(y, self.attr("classes_"));
  SetSummary summary;
  {
    const bool* sets = p.sets.data();
    const int64_t* l = label.data();
    py::gil_scoped_release release;
    summary = summarise_sets(sets, l, rows, classes);
  }
  self.attr("test_x_") = a["test_x"];
  self.attr("test_y_") = y;
  self.attr("test_groups_") = p.groups;
  self.attr("sets_") = p.sets;
  self.attr("fallback_rows_") = p.fallback;
  self.attr("coverage_") = py::float_(summary.coverage);
  self.attr("mean_set_size_") = py::float_(summary.mean_size);
  return self;
}

}  // namespace

py::object create_conformal_classifier(const ModuleContext& module) {
  py::tuple defaults = py::make_tuple(0.1, "aps", py::none(), "full", py::none(), 0.01, 1, true);
  return ClassBuilder(module, "ConformalClassifier")
      .method("__init__",
              {"self", "model", "alpha", "score", "conditional", "fallback", "random_state", "lam",
               "k_reg", "randomized"},
              defaults, init)
      .method("calibrate", {"self", "calib_x", "calib_y", "groups"}, py::make_tuple(py::none()),
              calibrate)
      .method("predict_sets", {"self", "new_x", "groups", "return_fallback"},
              py::make_tuple(py::none(), false), predict_sets)
      .method("evaluate", {"self", "test_x", "test_y", "groups"}, py::make_tuple(py::none()),
              evaluate)
      .create();
}

}  // namespace conformal
}  // namespace trov
