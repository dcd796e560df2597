// ConformalRegressor: intervals around a fitted regressor's predictions, from
// quantile models of its residuals (cqr) or from its absolute errors.
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
#include "diagnoser/conformal/stored.h"
#include "diagnoser/conformal/weighted.h"

namespace trov {
namespace conformal {
namespace {

bool is_cqr(const py::object& method) {
  return checked_choice(method, "method", {"cqr", "absolute"}) == "cqr";
}

// Every setting calibrate saves for the calls after it.
constexpr const char* kSettings[] = {"method", "conditional"};

// One prediction per row: a flat array, or a single column (n, 1).
py::array_t<double> predictions(const py::object& estimator, const py::object& x,
                                const char* source, const char* part) {
  py::array given = numpy().attr("asarray")(estimator.attr("predict")(x));
  bool one_per_row = given.ndim() == 1 || (given.ndim() == 2 && given.shape(1) == 1);
  if (!one_per_row) {
    throw py::value_error(std::string(source) + " an array of shape " +
                          text_of(given.attr("shape")) + " for the " + part +
                          " part; expected one prediction per row");
  }
  // Owned now: it may view the model's answer, and the next model's predict may free
  // that; a view's address cannot be read again.
  return exclusive<double>(numbers(flat_array(given), 1, source, "predictions", part));
}

void require_rows(py::ssize_t values, py::ssize_t rows, const char* name, const char* part) {
  if (values == rows) return;
  throw py::value_error(std::string(name) + " has " + std::to_string(values) +
                        " values but predict returned " + std::to_string(rows) + " rows for the " +
                        part + " part: give one value per row");
}

// The quantile models' predictions (low, high) for x, when the method uses them.
struct Band {
  py::array_t<double> low, high;
};

Band quantile_band(const py::object& models, const py::object& x, const char* part) {
  std::vector<py::object> pair = unpack(models, 2);
  return {predictions(pair[0], x, "the lower quantile model's predict returned", part),
          predictions(pair[1], x, "the upper quantile model's predict returned", part)};
}

void require_band_rows(const Band& band, py::ssize_t rows) {
  if (band.low.shape(0) != rows || band.high.shape(0) != rows) {
    throw py::value_error("the quantile models predicted " + std::to_string(band.low.shape(0)) +
                          " and " + std::to_string(band.high.shape(0)) + " rows for " +
                          std::to_string(rows) + " rows of x");
  }
}

Parameters parameters() {
  return {{"model", "alpha", "method", "conditional", "fallback", "depth", "quantile_model",
           "random_state"},
          py::make_tuple(0.1, "cqr", py::none(), "full", 7, py::none(), py::none())};
}

using Protocol = Estimator<parameters>;

py::object quantile_estimator(const py::object& self, const py::object& level) {
  py::object factory = self.attr("quantile_model");
  if (!factory.is_none()) return factory(level);
  py::dict params;
  params["objective"] = "quantile";
  params["alpha"] = level;
  params["max_depth"] = self.attr("depth");
  params["random_state"] = self.attr("random_state");
  params["verbose"] = -1;
  return ns("LGBMRegressor")(**params);
}

py::object fit(const Args& a) {
  const py::object& self = a.self();
  double rounded = rounded_alpha(self.attr("alpha"));
  if (!is_cqr(self.attr("method"))) return self;  // the absolute score has nothing to learn
  const py::object& x = a["train_x"];
  py::array_t<double> prediction =
      predictions(self.attr("model"), x, "predict returned", "training");
  py::object y = numbers(flat_array(a["train_y"]), 1, "the targets have", "values", "training");
  require_rows(py::len(y), prediction.shape(0), "train_y", "training");
  py::object residual = y - prediction;
  py::object low = quantile_estimator(self, py::float_(rounded / 2));
  py::object high = quantile_estimator(self, py::float_(1 - rounded / 2));
  low.attr("fit")(x, residual);
  high.attr("fit")(x, residual);
  self.attr("quantile_models_") = py::make_tuple(low, high);
  return self;
}

// The model's predictions and, for cqr, the quantile band, checked against each other.
struct Parts {
  py::array_t<double> prediction;
  Band band;
  bool cqr;
};

Parts parts_of(const Snapshot& state, const py::object& x, const char* part) {
  Parts p;
  p.cqr = is_cqr(state.setting("method"));
  if (p.cqr) require_state(state, "quantile_models_", "fit");
  py::object models = p.cqr ? state.at("quantile_models_") : py::none();
  p.prediction = predictions(state.at("model"), x, "predict returned", part);
  if (p.cqr) {
    p.band = quantile_band(models, x, part);
    require_band_rows(p.band, p.prediction.shape(0));
  }
  return p;
}

// After the last call into Python: each array owned alone, its length re-read.
bool freeze(Parts& p, py::ssize_t rows) {
  p.prediction = exclusive<double>(std::move(p.prediction));
  if (p.cqr) {
    p.band.low = exclusive<double>(std::move(p.band.low));
    p.band.high = exclusive<double>(std::move(p.band.high));
  }
  return p.prediction.size() == rows && p.prediction.ndim() == 1 &&
         (!p.cqr || (p.band.low.size() == rows && p.band.high.size() == rows));
}

py::object calibrate(const Args& a) {
  const py::object& self = a.self();
  // Gather: the settings as they stand now; they are what this calibration saves.
  Snapshot state(self, false);
  py::dict saved;
  for (const char* name : kSettings) saved[name] = state.at(name);
  CalibrationSettings calibration = calibration_settings(state.at("alpha"), state.at("fallback"));
  Conditional mode = checked_conditional(state.at("conditional"), false);
  const py::object& x = a["calib_x"];
  Parts p = parts_of(state, x, "calibration");
  const py::ssize_t rows = p.prediction.shape(0);
  // Owned before the groups' call: a view of calib_y would dangle if that freed it.
  py::array_t<double> y = exclusive<double>(
      numbers(flat_array(a["calib_y"]), 1, "the targets have", "values", "calibration"));
  require_rows(y.shape(0), rows, "calib_y", "calibration");
  py::array_t<int64_t> codes;
  py::object values = py::none();
  if (mode == Conditional::kGroup) {
    GroupCodes found = group_codes(a["groups"], x, rows);
    values = found.values;
    codes = found.codes;
  }
  py::object shift = checked_shift(a["shift"]);
  py::array_t<double> weights;
  if (!shift.is_none()) weights = shift_weights(shift, x, rows, "calibration");
  py::array_t<double> scores(rows);
  y = exclusive<double>(std::move(y));
  if (!freeze(p, rows) || y.size() != rows) {
    throw py::value_error("the calibration rows changed while they were read");
  }
  {
    const double* pred = p.prediction.data();
    const double* target = y.data();
    const double* low = p.cqr ? p.band.low.data() : nullptr;
    const double* high = p.cqr ? p.band.high.data() : nullptr;
    double* out = scores.mutable_data();
    py::gil_scoped_release release;
    for (py::ssize_t i = 0; i < rows; ++i) out[i] = target[i] - pred[i];
    if (low != nullptr) {
      cqr_scores(out, low, high, rows, out);
    } else {
      for (py::ssize_t i = 0; i < rows; ++i) out[i] = std::abs(out[i]);
    }
  }
  FoundThresholds found;
  Items fitted = calibrated_state(calibration, scores, mode, codes, values, "group", &found);
  // As many as calibrated_state checked the codes against: Python ran since.
  const auto strata = static_cast<int64_t>(found.per_group.size());
  Items shifted = weighted_state(shift, scores, weights, strata > 0 ? codes.data() : nullptr,
                                 strata, falling_back(codes, strata, calibration), values, "group");
  fitted.insert(fitted.end(), shifted.begin(), shifted.end());
  Items stored = stored_state(scores, codes, strata, values);
  fitted.insert(fitted.end(), stored.begin(), stored.end());
  fitted.emplace_back(kCalibratedWith, saved);
  publish(self, fitted);
  return self;
}

struct Predicted {
  py::object weights;  // the rows' weights under a shift, or None
  py::array_t<double> prediction;
  py::array_t<double> intervals;
  py::array_t<bool> fallback;
  py::array_t<bool> empty;
  py::object groups;
  py::object alpha;  // the alpha_ of the state they were made with
};

// `output`, when given, gets the container the caller publishes in.
Predicted predict(const py::object& self, const py::object& x, const py::object& groups,
                  const Levels& levels, const char* part, Output* output = nullptr) {
  // Gather: the fitted state once, then the models and the groups.
  Snapshot state(self);
  require_state(state, "threshold_", "calibrate");
  if (output != nullptr) *output = wanted_output(state, x);
  if (!levels.given) warn_if_alpha_changed(state);  // given levels do not read alpha
  Conditional mode = checked_conditional(state.setting("conditional"), false);
  GroupTable table;
  double threshold = 0;
  if (mode == Conditional::kGroup) {
    table = group_table(state);
  } else {
    threshold = marginal_threshold(state);
  }
  WeightedTable weighted = weighted_table(state, 1 + table.tau.size());
  // Levels other than alpha_: thresholds read off the stored scores, per level.
  LevelTable level;
  if (levels.given) {
    refuse_weighted(state, "alpha");
    level = level_table(stored_scores(state, static_cast<int64_t>(table.tau.size())), levels,
                        full_fallback_of(state));
  }
  Parts p = parts_of(state, x, part);
  const py::ssize_t rows = p.prediction.shape(0);
  Predicted out;
  bool grouped = mode == Conditional::kGroup || !groups.is_none();
  out.groups = grouped ? py::object(resolve_groups(groups, x, rows, part)) : py::none();
  py::array_t<int64_t> code;
  if (mode == Conditional::kGroup) {
    code = exclusive<int64_t>(label_positions(out.groups, table.known, numpy()));
  }
  py::array_t<double> weights;
  if (weighted.weighted()) weights = shift_weights(weighted.shift, x, rows, part);
  const py::ssize_t count = level.levels;
  out.intervals = levels.given ? py::array_t<double>({rows, py::ssize_t(2), count})
                               : py::array_t<double>({rows, py::ssize_t(2)});
  out.fallback = levels.given ? py::array_t<bool>({rows, count}) : py::array_t<bool>(rows);
  out.empty = levels.given ? py::array_t<bool>({rows, count}) : py::array_t<bool>(rows);
  std::vector<double> tau(static_cast<std::size_t>(rows), threshold);
  if (!freeze(p, rows) || (mode == Conditional::kGroup && code.size() != rows) ||
      (weighted.weighted() && weights.size() != rows)) {
    throw py::value_error("the " + std::string(part) + " rows changed while they were read");
  }
  out.prediction = p.prediction;
  out.weights = weighted.weighted() ? py::object(weights) : py::none();
  const double* pred = p.prediction.data();
  const double* low = p.cqr ? p.band.low.data() : nullptr;
  const double* high = p.cqr ? p.band.high.data() : nullptr;
  const int64_t* c = mode == Conditional::kGroup ? code.data() : nullptr;
  bool* marked = out.fallback.mutable_data();
  bool* empty = out.empty.mutable_data();
  double* bounds = out.intervals.mutable_data();
  int64_t empties = 0;
  {
    py::gil_scoped_release release;
    std::vector<int64_t> stratum;
    if (levels.given && c != nullptr) {
      stratum.resize(static_cast<std::size_t>(rows));
      row_strata(c, rows, static_cast<int64_t>(table.tau.size()), level.unseen(), stratum.data());
    }
    if (levels.given) {
      empties = level_bands(pred, low, high, level.view(), c != nullptr ? stratum.data() : nullptr,
                            rows, bounds, empty, marked);
    } else if (weighted.weighted()) {
      // Each row's own threshold, from its weight (Tibshirani et al., 2019).
      weighted_rows(weighted_strata(weighted), weighted, c, weights.data(), rows, tau.data(),
                    marked);
    } else if (c != nullptr) {
      group_rows(table, c, rows, tau.data(), marked);
    } else {
      std::fill(marked, marked + rows, false);
    }
    if (!levels.given) empties = bands(pred, low, high, tau.data(), rows, bounds, empty);
  }
  if (levels.given && !levels.many) {
    out.intervals = py::array_t<double>(out.intervals.attr("reshape")(rows, 2));
    out.fallback = py::array_t<bool>(out.fallback.attr("reshape")(rows));
    out.empty = py::array_t<bool>(out.empty.attr("reshape")(rows));
  }
  out.alpha = state.at("alpha_");
  if (empties > 0) {
    // With many levels each row has one interval per level.
    const std::string of = levels.many ? " intervals of " + std::to_string(rows) + " " + part +
                                             " rows at " + std::to_string(level.levels) +
                                             " levels are empty"
                                       : " " + std::string(part) + " rows get an empty interval";
    warn(std::to_string(empties) + " of " + std::to_string(rows * (levels.many ? count : 1)) + of +
         " (the threshold is negative and wider than their quantile "
         "band, so no y has a score at most the threshold): their bounds are NaN, their width "
         "0, and they cover nothing");
  }
  return out;
}

py::object predict_intervals(const Args& a) {
  Output output;
  Levels levels = checked_levels(a["alpha"]);
  Predicted p = predict(a.self(), a["new_x"], a["groups"], levels, "prediction", &output);
  if (levels.many) {
    return published_levels(p.intervals, py::make_tuple("lower", "upper"), "bound", p.fallback,
                            levels, output, a["return_fallback"]);
  }
  return published(p.intervals, py::make_tuple("lower", "upper"), p.fallback, output,
                   a["return_fallback"]);
}

// evaluate at many levels: coverage_ and mean_width_ per level.
py::object evaluate_levels(const py::object& self, const Args& a, const Predicted& p,
                           const Levels& levels, const py::array_t<double>& y) {
  const py::ssize_t rows = p.intervals.shape(0);
  const int64_t count = levels.count();
  py::array_t<double> coverage(count), width(count);
  {
    const double* b = p.intervals.data();
    const bool* empty = p.empty.data();
    const double* target = y.data();
    double* cover = coverage.mutable_data();
    double* wide = width.mutable_data();
    py::gil_scoped_release release;
    level_coverage(b, empty, target, rows, count, cover, wide);
  }
  publish(self, {{"test_x_", a["test_x"]},
                 {"test_y_", y},
                 {"test_groups_", p.groups},
                 {"test_pred_", p.prediction},
                 {"intervals_", p.intervals},
                 {"fallback_rows_", p.fallback},
                 {"empty_rows_", p.empty},
                 {"test_weights_", p.weights},
                 {"coverage_", coverage},
                 {"mean_width_", width},
                 {"test_alpha_", levels.published()}});
  return self;
}

py::object evaluate(const Args& a) {
  const py::object& self = a.self();
  Levels levels = checked_levels(a["alpha"]);
  Predicted p = predict(self, a["test_x"], a["groups"], levels, "test");
  const py::ssize_t rows = p.intervals.shape(0);
  py::array_t<double> y = numbers(flat_array(a["test_y"]), 1, "the targets have", "values", "test");
  require_rows(y.shape(0), rows, "test_y", "test");
  y = exclusive<double>(std::move(y));
  if (rows == 0) empty_test_part("there are no test rows to measure coverage on");
  if (levels.many) return evaluate_levels(self, a, p, levels, y);
  py::ssize_t covered = 0;
  double width = 0;
  {
    const double* b = p.intervals.data();
    const bool* empty = p.empty.data();
    const double* target = y.data();
    py::gil_scoped_release release;
    // Closed intervals: a value on a bound is covered. An empty one covers nothing
    // and is 0 wide, whatever its NaN bounds would compare to.
    for (py::ssize_t i = 0; i < rows; ++i) {
      if (empty[i]) continue;
      covered += b[2 * i] <= target[i] && target[i] <= b[2 * i + 1];
      width += b[2 * i + 1] - b[2 * i];
    }
  }
  publish(self,
          {{"test_x_", a["test_x"]},
           {"test_y_", y},
           {"test_groups_", p.groups},
           {"test_pred_", p.prediction},
           {"intervals_", p.intervals},
           {"fallback_rows_", p.fallback},
           {"empty_rows_", p.empty},
           {"test_weights_", p.weights},
           {"coverage_", py::float_(static_cast<double>(covered) / static_cast<double>(rows))},
           {"mean_width_", py::float_(width / static_cast<double>(rows))},
           {"test_alpha_", levels.given ? levels.published() : p.alpha}});
  return self;
}

}  // namespace

py::object create_conformal_regressor(const ModuleContext& module) {
  Parameters spec = parameters();
  std::vector<const char*> init_params{"self"};
  init_params.insert(init_params.end(), spec.names.begin(), spec.names.end());
  ClassBuilder builder(module, "ConformalRegressor", kRegressorDoc);
  builder.method("__init__", init_params, spec.defaults, Protocol::init, kInitDoc)
      .method("fit", {"self", "train_x", "train_y"}, fit, kFitDoc)
      .method("calibrate", {"self", "calib_x", "calib_y", "groups", "shift"},
              py::make_tuple(py::none(), py::none()), calibrate, kRegressorCalibrateDoc)
      .method("predict_intervals", {"self", "new_x", "groups", "return_fallback", "alpha"},
              py::make_tuple(py::none(), false, py::none()), predict_intervals,
              kPredictIntervalsDoc)
      .method("evaluate", {"self", "test_x", "test_y", "groups", "alpha"},
              py::make_tuple(py::none(), py::none()), evaluate, kRegressorEvaluateDoc);
  return Protocol::add_methods(builder).create();
}

}  // namespace conformal
}  // namespace trov
