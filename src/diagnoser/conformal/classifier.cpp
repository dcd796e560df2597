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

// The settings a call works with, read once.
struct Rule {
  ScoreRule rule;
  bool randomized = false;
};

// Every setting calibrate saves for the calls after it.
constexpr const char* kSettings[] = {"score", "conditional", "lam",
                                     "k_reg", "randomized",  "random_state"};

Rule rule_of(const Snapshot& state) {
  std::string name =
      checked_choice(state.setting("score"), "score", {"aps", "aps_randomized", "raps", "lac"});
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
    py::object lam = state.setting("lam"), k_reg = state.setting("k_reg");
    double lam_value = 0;
    bool lam_number =
        !PyBool_Check(lam.ptr()) && PyNumber_Check(lam.ptr()) && !PyUnicode_Check(lam.ptr());
    if (lam_number) lam_value = py::float_(lam).cast<double>();
    if (!lam_number || !(lam_value >= 0) || std::isinf(lam_value)) {
      throw py::value_error("lam must be a finite number >= 0, got " + repr_of(lam));
    }
    long long k = -1;
    if (!PyBool_Check(k_reg.ptr()) && PyIndex_Check(k_reg.ptr())) {
      int overflow = 0;
      py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(k_reg.ptr()));
      if (!index) throw py::error_already_set();
      k = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
      if (k == -1 && PyErr_Occurred()) throw py::error_already_set();
      if (overflow > 0) k = INT64_MAX;
    }
    if (k < 0) throw py::value_error("k_reg must be an integer >= 0, got " + repr_of(k_reg));
    r.rule.lam = lam_value;
    r.rule.k_reg = static_cast<int64_t>(k);
    r.randomized = truth(state.setting("randomized"));
  }
  return r;
}

// The model's probabilities: the documented call, its result checked and owned.
py::array_t<double> probabilities(const py::object& model, const py::object& x, const char* part) {
  return numbers(model.attr("predict_proba")(x), 2, "predict_proba returned", "probabilities",
                 part);
}

// The calibration labels' columns; a label that is no class is a ValueError naming it.
py::array_t<int64_t> label_columns(const py::array& y, const py::array& classes) {
  py::array_t<int64_t> pos = label_positions(y, classes, numpy());
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

// A probability matrix for the kernel: rows and columns read off the array the
// kernel reads, after the last call into Python.
Probabilities frozen(const py::array_t<double>& proba) {
  return {proba.data(), static_cast<int64_t>(proba.shape(0)), static_cast<int64_t>(proba.shape(1))};
}

py::object calibrate(const Args& a) {
  const py::object& self = a.self();
  // Gather: the settings as they stand now; they are what this calibration saves.
  Snapshot state(self, false);
  py::dict saved;
  for (const char* name : kSettings) saved[name] = state.at(name);
  CalibrationSettings calibration = calibration_settings(state.at("alpha"), state.at("fallback"));
  Rule r = rule_of(state);
  Conditional mode = checked_conditional(state.setting("conditional"), true);
  const py::object& x = a["calib_x"];
  py::object model = state.at("model");
  py::array_t<double> proba = probabilities(model, x, "calibration");
  const py::ssize_t rows = proba.shape(0), columns = proba.shape(1);
  if (columns < 2) {
    throw py::value_error("predict_proba returned " + std::to_string(columns) +
                          " column(s); a classifier needs at least two classes");
  }
  py::module_ np = numpy();
  py::object given = attr_if_present(model, "classes_");
  py::array classes = given ? np.attr("asarray")(given) : np.attr("arange")(columns);
  if (classes.ndim() != 1 || classes.shape(0) != columns) {
    throw py::value_error("the model has " + std::to_string(classes.size()) +
                          " classes_ but predict_proba returned " + std::to_string(columns) +
                          " columns");
  }
  py::array y = flat_array(a["calib_y"]);
  require_rows(y.shape(0), rows, "calib_y", "calibration");
  py::array_t<int64_t> label = exclusive<int64_t>(label_columns(y, classes));
  py::array_t<int64_t> codes;
  py::object values = py::none();
  if (mode == Conditional::kGroup) {
    GroupCodes found = group_codes(a["groups"], x, rows);
    values = found.values;
    codes = found.codes;
  } else if (mode == Conditional::kClass) {
    codes = label;
    values = classes;
  }
  py::array_t<double> u;
  if (r.randomized) u = uniforms(state.setting("random_state"), 0, rows);
  py::array_t<double> scores(rows);
  proba = exclusive<double>(std::move(proba));
  // Compute: lengths re-read from what the kernel reads.
  Probabilities p = frozen(proba);
  if (p.rows != rows || label.size() != rows || (r.randomized && u.size() != rows)) {
    throw py::value_error("the calibration rows changed while they were read");
  }
  r.rule.u = r.randomized ? u.data() : nullptr;
  {
    const int64_t* l = label.data();
    double* out = scores.mutable_data();
    py::gil_scoped_release release;
    label_scores(p, l, r.rule, out);
  }
  // Publish, all at once: classes_, then the thresholds, then the settings.
  Items fitted = calibrated_state(calibration, scores, mode, codes, values,
                                  mode == Conditional::kClass ? "class" : "group");
  fitted.insert(fitted.begin(), {"classes_", classes});
  fitted.emplace_back(kCalibratedWith, saved);
  publish(self, fitted);
  return self;
}

struct Predicted {
  py::array_t<bool> sets;
  py::array_t<bool> fallback;
  py::object groups;  // the rows' groups, or None
};

Predicted predict(const py::object& self, const py::object& x, const py::object& groups,
                  const char* part, py::object* classes_read) {
  // Gather: the fitted state once, then the model, the groups and the draws.
  Snapshot state(self);
  require_state(state, "threshold_", "calibrate");
  require_state(state, "classes_", "calibrate");
  Rule r = rule_of(state);
  Conditional mode = checked_conditional(state.setting("conditional"), true);
  py::object classes = state.at("classes_");
  py::array known = numpy().attr("asarray")(classes);
  if (known.ndim() != 1) tampered("classes_ is not one-dimensional");
  // The thresholds come from the very list whose length is checked below.
  py::list names = known.attr("tolist")();
  const py::ssize_t class_count = static_cast<py::ssize_t>(names.size());
  std::vector<double> per_column;
  GroupTable table;
  bool any_fallback = false;
  if (mode == Conditional::kGroup) {
    table = group_table(state);
  } else if (mode == Conditional::kClass) {
    per_column = class_thresholds(state, names, &any_fallback);
  } else {
    per_column.assign(static_cast<std::size_t>(class_count), marginal_threshold(state));
  }
  py::object random_state = r.randomized ? state.setting("random_state") : py::none();
  py::array_t<double> proba = probabilities(state.at("model"), x, part);
  const py::ssize_t rows = proba.shape(0), columns = proba.shape(1);
  if (columns != class_count) {
    throw py::value_error("predict_proba returned " + std::to_string(columns) +
                          " columns for the " + part + " part, but calibration saw " +
                          std::to_string(class_count) + " classes");
  }
  Predicted out;
  bool grouped = mode == Conditional::kGroup || !groups.is_none();
  out.groups = grouped ? py::object(resolve_groups(groups, x, rows, part)) : py::none();
  py::array_t<int64_t> code;
  if (mode == Conditional::kGroup) {
    code = exclusive<int64_t>(label_positions(out.groups, table.known, numpy()));
  }
  py::array_t<double> u;
  if (r.randomized) u = uniforms(random_state, 1, rows);
  out.sets = py::array_t<bool>({rows, columns});
  out.fallback = py::array_t<bool>(rows);
  proba = exclusive<double>(std::move(proba));
  // Compute: nothing read before a call into Python is trusted after it.
  Probabilities p = frozen(proba);
  std::vector<double> per_row;
  bool consistent =
      p.rows == rows && p.classes == class_count && (!r.randomized || u.size() == rows) &&
      (mode != Conditional::kGroup || code.size() == rows) &&
      (mode == Conditional::kGroup || per_column.size() == static_cast<std::size_t>(class_count));
  if (!consistent) throw py::value_error("the " + std::string(part) + " rows changed while read");
  r.rule.u = r.randomized ? u.data() : nullptr;
  bool* sets = out.sets.mutable_data();
  bool* marked = out.fallback.mutable_data();
  {
    const int64_t* c = mode == Conditional::kGroup ? code.data() : nullptr;
    py::gil_scoped_release release;
    Thresholds tau;
    if (c != nullptr) {
      per_row.resize(static_cast<std::size_t>(rows));
      group_rows(table, c, rows, per_row.data(), marked);
      tau.per_row = per_row.data();
    } else {
      std::fill(marked, marked + rows, any_fallback);
      tau.per_column = per_column.data();
    }
    prediction_sets(p, r.rule, tau, sets);
  }
  if (classes_read != nullptr) *classes_read = known;
  return out;
}

py::object predict_sets(const Args& a) {
  Predicted p = predict(a.self(), a["new_x"], a["groups"], "prediction", nullptr);
  return with_fallback(p.sets, p.fallback, a["return_fallback"]);
}

py::object evaluate(const Args& a) {
  const py::object& self = a.self();
  py::object classes;
  Predicted p = predict(self, a["test_x"], a["groups"], "test", &classes);
  py::array y = flat_array(a["test_y"]);
  const py::ssize_t rows = p.sets.shape(0), class_count = p.sets.shape(1);
  require_rows(y.shape(0), rows, "test_y", "test");
  if (rows == 0) empty_test_part("there are no test rows to measure coverage on");
  // A label that is no class is in no set: it counts as not covered. The classes
  // are those the sets were made for, not classes_ as it stands now.
  py::array_t<int64_t> label = exclusive<int64_t>(label_positions(y, classes, numpy()));
  if (label.size() != rows) throw py::value_error("test_y changed while it was read");
  SetSummary summary;
  {
    const bool* sets = p.sets.data();
    const int64_t* l = label.data();
    py::gil_scoped_release release;
    summary = summarise_sets(sets, l, rows, class_count);
  }
  publish(self, {{"test_x_", a["test_x"]},
                 {"test_y_", y},
                 {"test_groups_", p.groups},
                 {"sets_", p.sets},
                 {"fallback_rows_", p.fallback},
                 {"coverage_", py::float_(summary.coverage)},
                 {"mean_set_size_", py::float_(summary.mean_size)}});
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
