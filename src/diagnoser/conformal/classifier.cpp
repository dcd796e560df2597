// ConformalClassifier: prediction sets for any number of classes, from one of four
// scores, with a marginal, per-class or per-group threshold.
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "diagnoser/common/conformal.h"
#include "diagnoser/common/errors.h"
#include "diagnoser/common/labels.h"
#include "diagnoser/common/method.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/conformal/calibration.h"
#include "diagnoser/conformal/classes.h"
#include "diagnoser/conformal/docstrings.h"
#include "diagnoser/conformal/estimator.h"
#include "diagnoser/conformal/kernels.h"
#include "diagnoser/conformal/scoring.h"
#include "diagnoser/conformal/stored.h"
#include "diagnoser/conformal/weighted.h"

namespace trov {
namespace conformal {
namespace {

using py::literals::operator""_a;

std::string repr_of(const py::handle& value) { return py::repr(value).cast<std::string>(); }

// Every setting calibrate saves for the calls after it.
constexpr const char* kSettings[] = {"score", "conditional", "lam",
                                     "k_reg", "randomized",  "random_state"};

// Warns when the exclusive "aps" score has degenerated on the calibration rows: with
// a threshold of 0 every set is the top class alone (coverage is the accuracy); when
// most sets hold every class they say nothing. The randomised score does neither
// (Romano, Sesia and Candes, 2020).
void warn_if_aps_degenerate(const Probabilities& p, const ScoreRule& rule, Conditional mode,
                            const FoundThresholds& found, const int64_t* codes) {
  bool zero = mode == Conditional::kNone
                  ? found.marginal == 0
                  : std::all_of(found.per_group.begin(), found.per_group.end(),
                                [](double tau) { return tau == 0; });
  int64_t full = 0;
  if (!zero) {
    std::unique_ptr<bool[]> sets(new bool[static_cast<std::size_t>(p.rows * p.classes)]);
    std::vector<double> per_row;
    py::gil_scoped_release release;
    Thresholds tau;
    std::vector<double> column(static_cast<std::size_t>(p.classes), found.marginal);
    if (mode == Conditional::kGroup) {
      per_row.resize(static_cast<std::size_t>(p.rows));
      for (int64_t i = 0; i < p.rows; ++i) per_row[i] = found.per_group[codes[i]];
      tau.per_row = per_row.data();
    } else {
      if (mode == Conditional::kClass) column = found.per_group;
      tau.per_column = column.data();
    }
    prediction_sets(p, rule, tau, sets.get());
    for (int64_t i = 0; i < p.rows; ++i) {
      const bool* set = sets.get() + i * p.classes;
      full += std::all_of(set, set + p.classes, [](bool in) { return in; });
    }
  }
  const std::string remedy =
      "; score='aps_randomized' or score='lac' gives sets that keep the coverage and adapt";
  if (zero) {
    warn(
        "score='aps' degenerated on the calibration rows: the threshold is 0, so every set is "
        "the top class alone and the coverage is the model's accuracy" +
        remedy);
  } else if (2 * full > p.rows) {
    warn("score='aps' degenerated on the calibration rows: " + std::to_string(full) + " of " +
         std::to_string(p.rows) + " calibration sets hold every class" + remedy);
  }
}

}  // namespace

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

// The model's probabilities: the documented call, its result checked.
// Owned before the next call into Python, which could free what a view here views.
py::array_t<double> probabilities(const py::object& model, const py::object& x, const char* part) {
  return exclusive<double>(
      numbers(model.attr("predict_proba")(x), 2, "predict_proba returned", "probabilities", part));
}

// How far a probability row may stray from a distribution: what float32 models meet
// (a float32 entry is off by 6e-8 at most, and a sum of a thousand of them by 1e-4).
constexpr double kEntrySlack = 1e-6;
constexpr double kSumSlack = 1e-4;

// Every row in [0, 1] and summing to 1, within the slack above; ValueError naming
// the first row that is not. Reads the buffer the kernel reads, after it is owned.
void require_distributions(const py::array_t<double>& proba, const char* part) {
  const double* p = proba.data();
  const py::ssize_t rows = proba.shape(0), columns = proba.shape(1);
  for (py::ssize_t i = 0; i < rows; ++i) {
    const double* row = p + i * columns;
    double sum = 0;
    bool inside = true;
    for (py::ssize_t k = 0; k < columns; ++k) {
      sum += row[k];
      inside = inside && row[k] >= -kEntrySlack && row[k] <= 1 + kEntrySlack;
    }
    if (inside && std::abs(sum - 1) <= kSumSlack) continue;
    py::list values;
    for (py::ssize_t k = 0; k < columns && k < 20; ++k) values.append(py::float_(row[k]));
    throw py::value_error("predict_proba returned row " + std::to_string(i) + " of the " + part +
                          " part as " + repr_of(values) + (columns > 20 ? " (first 20)" : "") +
                          ", summing to " + repr_of(py::float_(sum)) +
                          ": each row must be probabilities in [0, 1] that sum to 1 (within " +
                          "1e-6 per entry and 1e-4 on the sum); pass the model's predict_proba, "
                          "not scores or logits");
  }
}

namespace {

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

Parameters parameters() {
  return {{"model", "alpha", "score", "conditional", "fallback", "random_state", "lam", "k_reg",
           "randomized"},
          py::make_tuple(0.1, "lac", py::none(), "full", py::none(), 0.01, 1, true)};
}

using Protocol = Estimator<parameters>;

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
  // A copy: calib_y's conversion may resize the model's own array in place after the
  // check below, and classes_ is to be the classes calibrated for.
  py::array classes = given ? np.attr("array")(given) : np.attr("arange")(columns);
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
  py::object shift = checked_shift(a["shift"]);
  py::array_t<double> weights;
  if (!shift.is_none()) weights = shift_weights(shift, x, rows, "calibration");
  // Calibration draws from a stream of their own: independent of the test draws, as
  // the randomised score's validity needs (Romano, Sesia and Candes, 2020).
  // The prediction stream is kept for every score: smoothed p-values draw from it.
  py::object entropy = stream_entropy(state.setting("random_state"));
  py::object stream = py::make_tuple(entropy, py::int_(0));
  StreamKey key{};
  if (r.randomized) key = stream_key(entropy, 0, py::none());
  std::vector<double> u(static_cast<std::size_t>(r.randomized ? rows : 0));
  py::array_t<double> scores(rows);
  proba = exclusive<double>(std::move(proba));
  // Compute: lengths re-read from what the kernel reads.
  Probabilities p = frozen(proba);
  if (p.rows != rows || label.size() != rows) {
    throw py::value_error("the calibration rows changed while they were read");
  }
  require_distributions(proba, "calibration");
  r.rule.u = r.randomized ? u.data() : nullptr;
  {
    const int64_t* l = label.data();
    double* out = scores.mutable_data();
    py::gil_scoped_release release;
    if (r.randomized) uniform_draws(key.word, 0, rows, u.data());
    label_scores(p, l, r.rule, out);
  }
  // Publish, all at once: classes_, then the thresholds, then the settings.
  FoundThresholds found;
  Items fitted = calibrated_state(calibration, scores, mode, codes, values,
                                  mode == Conditional::kClass ? "class" : "group", &found);
  if (r.rule.score == Score::kAps) {
    // Re-read: calibrated_state called into Python.
    Probabilities again = frozen(proba);
    if (again.rows != rows || (mode != Conditional::kNone && codes.size() != rows)) {
      throw py::value_error("the calibration rows changed while they were read");
    }
    warn_if_aps_degenerate(again, r.rule, mode, found,
                           mode == Conditional::kNone ? nullptr : codes.data());
  }
  // As many as calibrated_state checked the codes against: Python ran since.
  const auto strata = static_cast<int64_t>(found.per_group.size());
  Items shifted = weighted_state(shift, scores, weights, strata > 0 ? codes.data() : nullptr,
                                 strata, falling_back(codes, strata, calibration), values,
                                 mode == Conditional::kClass ? "class" : "group");
  fitted.insert(fitted.end(), shifted.begin(), shifted.end());
  Items stored = stored_state(scores, codes, strata, values);
  fitted.insert(fitted.end(), stored.begin(), stored.end());
  fitted.insert(fitted.begin(), {"classes_", classes});
  fitted.emplace_back(kPredictionStream, stream);
  fitted.emplace_back(kCalibratedWith, saved);
  publish(self, fitted);
  return self;
}

struct Predicted {
  py::array_t<bool> sets;      // (rows, classes), or (rows, classes, levels) for many
  py::array_t<bool> fallback;  // (rows), or (rows, levels)
  py::object groups;           // the rows' groups, or None
  py::object weights;          // the rows' weights under a shift, or None
  py::object alpha;            // the alpha_ of the state they were made with
};

}  // namespace

py::object checked_partition(const py::object& partition) {
  if (partition.is_none()) return partition;
  long long number = -1;
  if (!PyBool_Check(partition.ptr()) && PyIndex_Check(partition.ptr())) {
    int overflow = 0;
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(partition.ptr()));
    if (!index) throw py::error_already_set();
    number = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0) number = -1;
  }
  if (number < 0) {
    throw py::value_error(
        "partition must be None or a non-negative integer (the partition's "
        "number), got " +
        repr_of(partition));
  }
  return py::int_(number);
}

namespace {

// `output`, when given, gets the container the caller publishes in.
Predicted predict_once(const py::object& self, const py::object& x, const py::object& groups,
                       const py::object& partition_given, const Levels& levels, const char* part,
                       py::object* classes_read, Output* output) {
  // Gather: the fitted state once, then the model, the groups and the draws.
  py::object partition = checked_partition(partition_given);
  Snapshot state(self);
  require_state(state, "threshold_", "calibrate");
  require_state(state, "classes_", "calibrate");
  if (output != nullptr) *output = wanted_output(state, x);
  if (!levels.given) warn_if_alpha_changed(state);  // given levels do not read alpha
  Rule r = rule_of(state);
  Conditional mode = checked_conditional(state.setting("conditional"), true);
  py::object classes = state.at("classes_");
  // A copy: the model's call may refill classes_ in place, and the sets' columns
  // are the classes as read here.
  py::array known = numpy().attr("array")(classes);
  if (known.ndim() != 1) tampered("classes_ is not one-dimensional");
  // The thresholds come from the very list whose length is checked below.
  py::list names = known.attr("tolist")();
  const py::ssize_t class_count = static_cast<py::ssize_t>(names.size());
  std::vector<double> per_column;
  GroupTable table;
  bool any_fallback = false;
  std::size_t strata = 1;
  if (mode == Conditional::kGroup) {
    table = group_table(state);
    strata += table.tau.size();
  } else if (mode == Conditional::kClass) {
    per_column = class_thresholds(state, names, &any_fallback);
    strata += per_column.size();
  } else {
    per_column.assign(static_cast<std::size_t>(class_count), marginal_threshold(state));
  }
  WeightedTable weighted = weighted_table(state, strata);
  // Levels other than alpha_: thresholds read off the stored scores, per level.
  LevelTable level;
  if (levels.given) {
    refuse_weighted(state, "alpha");
    level = level_table(stored_scores(state, static_cast<int64_t>(strata) - 1), levels,
                        full_fallback_of(state));
  }
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
  py::array_t<double> weights;
  if (weighted.weighted()) weights = shift_weights(weighted.shift, x, rows, part);
  // Each call takes the next `rows` counters of the prediction stream, or a
  // partition's stream from its start: so no two rows share a draw however the
  // rows are split into calls, and a Dask partition gets the same draws whichever
  // worker predicts it, whenever.
  StreamKey key{};
  uint64_t start = 0;
  if (r.randomized) {
    Reserved reserved = partition.is_none() ? reserve_draws(self, static_cast<uint64_t>(rows),
                                                            state.get("threshold_"))
                                            : prediction_stream(state);
    key = stream_key(reserved.entropy, 1, partition);
    start = partition.is_none() ? reserved.start : 0;
  }
  std::vector<double> u(static_cast<std::size_t>(r.randomized ? rows : 0));
  const py::ssize_t count = level.levels;
  out.sets =
      levels.given ? py::array_t<bool>({rows, columns, count}) : py::array_t<bool>({rows, columns});
  out.fallback = levels.given ? py::array_t<bool>({rows, count}) : py::array_t<bool>(rows);
  proba = exclusive<double>(std::move(proba));
  // Compute: nothing read before a call into Python is trusted after it.
  Probabilities p = frozen(proba);
  std::vector<double> per_row;
  bool consistent =
      p.rows == rows && p.classes == class_count &&
      (!weighted.weighted() || weights.size() == rows) &&
      (mode != Conditional::kGroup || code.size() == rows) &&
      (mode == Conditional::kGroup || per_column.size() == static_cast<std::size_t>(class_count));
  if (!consistent) throw py::value_error("the " + std::string(part) + " rows changed while read");
  require_distributions(proba, part);
  r.rule.u = r.randomized ? u.data() : nullptr;
  bool* sets = out.sets.mutable_data();
  bool* marked = out.fallback.mutable_data();
  {
    const int64_t* c = mode == Conditional::kGroup ? code.data() : nullptr;
    py::gil_scoped_release release;
    if (r.randomized) uniform_draws(key.word, start, rows, u.data());
    Thresholds tau;
    if (levels.given) {
      LevelView view = level.view();
      StratumOf stratum;
      std::vector<int64_t> row_stratum, column_stratum;
      if (c != nullptr) {
        row_stratum.resize(static_cast<std::size_t>(rows));
        row_strata(c, rows, static_cast<int64_t>(table.tau.size()), view.unseen,
                   row_stratum.data());
        stratum.per_row = row_stratum.data();
      } else if (mode == Conditional::kClass) {
        for (int64_t k = 0; k < class_count; ++k) column_stratum.push_back(1 + k);
        stratum.per_column = column_stratum.data();
      }
      level_sets(p, r.rule, view, stratum, sets, marked);
    } else if (weighted.weighted()) {
      // Each row's own threshold, from its weight (Tibshirani et al., 2019).
      std::vector<WeightedStratum> kernels = weighted_strata(weighted);
      const double* w = weights.data();
      if (mode == Conditional::kClass) {
        weighted_class_sets(kernels, weighted, p, r.rule, w, sets, marked);
      } else {
        per_row.resize(static_cast<std::size_t>(rows));
        weighted_rows(kernels, weighted, c, w, rows, per_row.data(), marked);
        tau.per_row = per_row.data();
        prediction_sets(p, r.rule, tau, sets);
      }
    } else if (c != nullptr) {
      per_row.resize(static_cast<std::size_t>(rows));
      group_rows(table, c, rows, per_row.data(), marked);
      tau.per_row = per_row.data();
    } else {
      std::fill(marked, marked + rows, any_fallback);
      tau.per_column = per_column.data();
    }
    if (!weighted.weighted() && !levels.given) prediction_sets(p, r.rule, tau, sets);
  }
  if (levels.given && !levels.many) {
    out.sets = py::array_t<bool>(out.sets.attr("reshape")(rows, columns));
    out.fallback = py::array_t<bool>(out.fallback.attr("reshape")(rows));
  }
  if (classes_read != nullptr) *classes_read = known;
  out.alpha = state.at("alpha_");
  out.weights = weighted.weighted() ? py::object(weights) : py::none();
  return out;
}

// A calibrate published while the state was read: read it again, the new one whole.
Predicted predict(const py::object& self, const py::object& x, const py::object& groups,
                  const py::object& partition, const Levels& levels, const char* part,
                  py::object* classes_read, Output* output = nullptr) {
  for (int tries = 1;; ++tries) {
    try {
      return predict_once(self, x, groups, partition, levels, part, classes_read, output);
    } catch (const Recalibrated&) {
      if (tries == 10) {
        throw py::value_error(
            "the object was calibrated again during each of ten tries to read "
            "its state: call predict_sets when calibrate has returned");
      }
    }
  }
}

py::object predict_sets(const Args& a) {
  Output output;
  py::object classes;
  Levels levels = checked_levels(a["alpha"]);
  Predicted p = predict(a.self(), a["new_x"], a["groups"], a["partition"], levels, "prediction",
                        &classes, &output);
  // Publish: the columns are the classes the sets were made for.
  if (levels.many) {
    return published_levels(p.sets, classes, "class", p.fallback, levels, output,
                            a["return_fallback"]);
  }
  return published(p.sets, classes, p.fallback, output, a["return_fallback"]);
}

}  // namespace

void warn_unknown_labels(const py::array& y, const py::array_t<int64_t>& label,
                         const py::object& classes) {
  std::vector<int64_t> missing;
  const int64_t* l = label.data();
  for (py::ssize_t i = 0; i < label.size(); ++i) {
    if (l[i] == kNotAClass) missing.push_back(i);
  }
  if (missing.empty()) return;
  py::module_ np = numpy();
  py::array_t<int64_t> at(static_cast<py::ssize_t>(missing.size()));
  std::copy(missing.begin(), missing.end(), at.mutable_data());
  py::tuple found = np.attr("unique")(y[at], "return_counts"_a = true);
  py::list names = found[0].attr("tolist")(), counts = found[1].attr("tolist")();
  std::string listed;
  for (std::size_t i = 0; i < names.size() && i < 10; ++i) {
    int64_t n = counts[i].cast<int64_t>();
    listed += (i == 0 ? "" : ", ") + repr_of(names[i]) + " (" + std::to_string(n) +
              (n == 1 ? " row)" : " rows)");
  }
  if (names.size() > 10) listed += ", and " + std::to_string(names.size() - 10) + " more";
  warn("test_y holds labels that are not among the classes " +
       repr_of(py::reinterpret_borrow<py::object>(classes).attr("tolist")()) + ": " + listed +
       "; no set holds them, so they count as not covered");
}

namespace {

py::object evaluate(const Args& a) {
  const py::object& self = a.self();
  py::object classes;
  Levels levels = checked_levels(a["alpha"]);
  Predicted p = predict(self, a["test_x"], a["groups"], py::none(), levels, "test", &classes);
  py::array y = flat_array(a["test_y"]);
  const py::ssize_t rows = p.sets.shape(0), class_count = p.sets.shape(1);
  require_rows(y.shape(0), rows, "test_y", "test");
  if (rows == 0) empty_test_part("there are no test rows to measure coverage on");
  // A label that is no class is in no set: it counts as not covered. The classes
  // are those the sets were made for, not classes_ as it stands now.
  py::array_t<int64_t> label = exclusive<int64_t>(label_positions(y, classes, numpy()));
  if (label.size() != rows) throw py::value_error("test_y changed while it was read");
  warn_unknown_labels(y, label, classes);
  const int64_t count = levels.many ? levels.count() : 1;
  std::vector<double> coverage(static_cast<std::size_t>(count)), size(coverage.size());
  {
    const bool* sets = p.sets.data();
    const int64_t* l = label.data();
    py::gil_scoped_release release;
    if (!levels.many) {
      SetSummary summary = summarise_sets(sets, l, rows, class_count);
      coverage[0] = summary.coverage;
      size[0] = summary.mean_size;
    } else {
      level_summaries(sets, l, rows, class_count, count, coverage.data(), size.data());
    }
  }
  auto shown = [&](const std::vector<double>& v) -> py::object {
    if (!levels.many) return py::float_(v[0]);
    py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
  };
  publish(self, {{"test_x_", a["test_x"]},
                 {"test_y_", y},
                 {"test_groups_", p.groups},
                 {"sets_", p.sets},
                 {"fallback_rows_", p.fallback},
                 {"test_weights_", p.weights},
                 {"coverage_", shown(coverage)},
                 {"mean_set_size_", shown(size)},
                 {"test_alpha_", levels.given ? levels.published() : p.alpha}});
  return self;
}

}  // namespace

py::object create_conformal_classifier(const ModuleContext& module) {
  Parameters spec = parameters();
  std::vector<const char*> init_params{"self"};
  init_params.insert(init_params.end(), spec.names.begin(), spec.names.end());
  ClassBuilder builder(module, "ConformalClassifier", kClassifierDoc);
  builder.method("__init__", init_params, spec.defaults, Protocol::init, kInitDoc)
      .method("calibrate", {"self", "calib_x", "calib_y", "groups", "shift"},
              py::make_tuple(py::none(), py::none()), calibrate, kClassifierCalibrateDoc)
      .method("predict_sets", {"self", "new_x", "groups", "return_fallback", "partition", "alpha"},
              py::make_tuple(py::none(), false, py::none(), py::none()), predict_sets,
              kPredictSetsDoc)
      .method("predict_pvalues", {"self", "new_x", "smoothed", "groups", "partition"},
              py::make_tuple(true, py::none(), py::none()), predict_pvalues, kPredictPvaluesDoc)
      .method("evaluate", {"self", "test_x", "test_y", "groups", "alpha"},
              py::make_tuple(py::none(), py::none()), evaluate, kClassifierEvaluateDoc);
  return Protocol::add_methods(builder).create();
}

}  // namespace conformal
}  // namespace trov
