// ConformalRegressor: intervals around a fitted regressor's predictions, from
// quantile models of its residuals (cqr), from its absolute errors, or from those
// scaled by each row's difficulty (normalized).
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
#include "diagnoser/conformal/normalized.h"
#include "diagnoser/conformal/predictive.h"
#include "diagnoser/conformal/predictive_docstrings.h"
#include "diagnoser/conformal/stored.h"
#include "diagnoser/conformal/weighted.h"

namespace trov {
namespace conformal {
namespace {

bool is_cqr(const py::object& method) {
  return checked_choice(method, "method", {"cqr", "absolute", "normalized"}) == "cqr";
}

bool is_normalized(const py::object& method) {
  return checked_choice(method, "method", {"cqr", "absolute", "normalized"}) == "normalized";
}

// Every setting calibrate saves for the calls after it.
constexpr const char* kSettings[] = {"method", "conditional", "difficulty", "fallback"};

// One prediction per row: a flat array, or a single column (n, 1).
py::array_t<double> predictions(const py::object& estimator, const py::object& x,
                                const char* source, const char* part) {
  return one_per_row(estimator.attr("predict")(x), source, part);
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
           "random_state", "difficulty", "beta"},
          py::make_tuple(0.1, "cqr", py::none(), "full", 7, py::none(), py::none(), py::none(),
                         py::none())};
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
  py::object method = self.attr("method");
  // The absolute score has nothing to learn.
  if (!is_cqr(method) && !is_normalized(method)) return self;
  const py::object& x = a["train_x"];
  py::array_t<double> prediction =
      predictions(self.attr("model"), x, "predict returned", "training");
  py::object y = numbers(flat_array(a["train_y"]), 1, "the targets have", "values", "training");
  require_rows(py::len(y), prediction.shape(0), "train_y", "training");
  py::object residual = y - prediction;
  if (is_normalized(method)) {
    publish(self,
            fitted_difficulty(self, x, exclusive<double>(py::array_t<double>::ensure(residual))));
    return self;
  }
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
  bool normalized;
  py::array_t<double> scale;  // normalized: sigma(x), then sigma + beta
};

Parts parts_of(const Snapshot& state, const py::object& x, const char* part) {
  Parts p;
  p.cqr = is_cqr(state.setting("method"));
  p.normalized = is_normalized(state.setting("method"));
  if (p.cqr) require_state(state, "quantile_models_", "fit");
  py::object models = p.cqr ? state.at("quantile_models_") : py::none();
  p.prediction = predictions(state.at("model"), x, "predict returned", part);
  if (p.cqr) {
    p.band = quantile_band(models, x, part);
    require_band_rows(p.band, p.prediction.shape(0));
  }
  if (p.normalized) {
    p.scale = difficulty_of(state, x, part);
    if (p.scale.shape(0) != p.prediction.shape(0)) {
      throw py::value_error("the difficulty gave " + std::to_string(p.scale.shape(0)) +
                            " values for " + std::to_string(p.prediction.shape(0)) + " rows of x");
    }
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
  if (p.normalized) p.scale = exclusive<double>(std::move(p.scale));
  return p.prediction.size() == rows && p.prediction.ndim() == 1 &&
         (!p.cqr || (p.band.low.size() == rows && p.band.high.size() == rows)) &&
         (!p.normalized || p.scale.size() == rows);
}

py::object calibrate(const Args& a) {
  const py::object& self = a.self();
  // Gather: the settings as they stand now; they are what this calibration saves.
  Snapshot state(self, false);
  py::dict saved;
  for (const char* name : kSettings) saved[name] = state.at(name);
  CalibrationSettings calibration = calibration_settings(state.at("alpha"), state.at("fallback"));
  Conditional mode = checked_conditional(state.at("conditional"), false);
  const bool normalized = is_normalized(state.at("method"));
  const double beta = normalized ? calibration_beta(state) : 1.0;
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
  // The signed scores a predictive distribution keeps (not for cqr, nor weighted).
  const bool predictive = !p.cqr && shift.is_none();
  py::array_t<double> signed_scores(predictive ? rows : 0);
  y = exclusive<double>(std::move(y));
  if (!freeze(p, rows) || y.size() != rows) {
    throw py::value_error("the calibration rows changed while they were read");
  }
  {
    const double* pred = p.prediction.data();
    const double* target = y.data();
    const double* low = p.cqr ? p.band.low.data() : nullptr;
    const double* high = p.cqr ? p.band.high.data() : nullptr;
    double* scale = p.normalized ? p.scale.mutable_data() : nullptr;
    double* out = scores.mutable_data();
    double* kept = predictive ? signed_scores.mutable_data() : nullptr;
    py::gil_scoped_release release;
    for (py::ssize_t i = 0; i < rows; ++i) out[i] = target[i] - pred[i];
    if (scale != nullptr) {
      scale_of_rows(scale, rows, beta);
      for (py::ssize_t i = 0; i < rows; ++i) out[i] /= scale[i];
    }
    if (kept != nullptr) std::copy(out, out + rows, kept);
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
  Items kept =
      predictive_state(predictive, signed_scores, mode, codes, values, state.at("random_state"));
  fitted.insert(fitted.end(), kept.begin(), kept.end());
  fitted.emplace_back("beta_", normalized ? py::object(py::float_(beta)) : py::object());
  Items stored = stored_state(scores, codes, strata, values);
  fitted.insert(fitted.end(), stored.begin(), stored.end());
  fitted.emplace_back(kCalibratedWith, saved);
  publish(self, fitted);
  return self;
}

struct Predicted {
  py::object weights;  // the rows' weights under a shift, or None
  py::array_t<double> prediction;
  py::array_t<double> scale;    // normalized: sigma + beta per row
  py::array_t<int64_t> strata;  // each row's stratum of the predictive table
  py::array_t<double> intervals;
  py::array_t<bool> fallback;
  py::array_t<bool> empty;
  py::object groups;
  py::object alpha;  // the alpha_ of the state they were made with
};

// `output`, when given, gets the container the caller publishes in; `predictive`, when
// given, the stored predictive distributions (left empty without them).
Predicted predict(const py::object& self, const py::object& x, const py::object& groups,
                  const Levels& levels, const char* part, Output* output = nullptr,
                  PredictiveTable* predictive = nullptr, bool* has_predictive = nullptr) {
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
  const bool normalized = is_normalized(state.setting("method"));
  const double beta = normalized ? stored_beta(state) : 1.0;
  bool distributions = predictive != nullptr && !is_cqr(state.setting("method")) &&
                       !weighted.weighted() && state.has("predictive_scores_");
  if (distributions) *predictive = predictive_table(state);
  if (has_predictive != nullptr) *has_predictive = distributions;
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
  out.scale = p.scale;
  out.strata = py::array_t<int64_t>(distributions ? rows : 0);
  out.weights = weighted.weighted() ? py::object(weights) : py::none();
  const double* pred = p.prediction.data();
  const double* low = p.cqr ? p.band.low.data() : nullptr;
  const double* high = p.cqr ? p.band.high.data() : nullptr;
  const int64_t* c = mode == Conditional::kGroup ? code.data() : nullptr;
  bool* marked = out.fallback.mutable_data();
  bool* empty = out.empty.mutable_data();
  double* bounds = out.intervals.mutable_data();
  double* scale = normalized ? p.scale.mutable_data() : nullptr;
  int64_t* strata = distributions ? out.strata.mutable_data() : nullptr;
  int64_t empties = 0;
  {
    py::gil_scoped_release release;
    if (strata != nullptr) row_strata(*predictive, c, rows, strata);
    // The interval pred +- tau (sigma + beta); an infinite tau stays infinite.
    if (scale != nullptr) scale_of_rows(scale, rows, beta);
    std::vector<int64_t> stratum;
    if (levels.given && c != nullptr) {
      stratum.resize(static_cast<std::size_t>(rows));
      row_strata(c, rows, static_cast<int64_t>(table.tau.size()), level.unseen(), stratum.data());
    }
    if (levels.given) {
      empties = level_bands(pred, low, high, scale, level.view(),
                            c != nullptr ? stratum.data() : nullptr, rows, bounds, empty, marked);
    } else if (weighted.weighted()) {
      // Each row's own threshold, from its weight (Tibshirani et al., 2019).
      weighted_rows(weighted_strata(weighted), weighted, c, weights.data(), rows, tau.data(),
                    marked);
    } else if (c != nullptr) {
      group_rows(table, c, rows, tau.data(), marked);
    } else {
      std::fill(marked, marked + rows, false);
    }
    if (!levels.given) {
      if (scale != nullptr) {
        for (py::ssize_t i = 0; i < rows; ++i) tau[i] *= scale[i];
      }
      empties = bands(pred, low, high, tau.data(), rows, bounds, empty);
    }
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

// Coverage and mean width of the test part: one per level with many levels.
std::pair<py::object, py::object> measured(const Predicted& p, const Levels& levels,
                                           const py::array_t<double>& y) {
  const py::ssize_t rows = p.intervals.shape(0);
  const double* b = p.intervals.data();
  const bool* empty = p.empty.data();
  const double* target = y.data();
  if (levels.many) {
    const int64_t count = levels.count();
    py::array_t<double> coverage(count), width(count);
    double* cover = coverage.mutable_data();
    double* wide = width.mutable_data();
    {
      py::gil_scoped_release release;
      level_coverage(b, empty, target, rows, count, cover, wide);
    }
    return {coverage, width};
  }
  py::ssize_t covered = 0;
  double width = 0;
  {
    py::gil_scoped_release release;
    // Closed intervals: a value on a bound is covered. An empty one covers nothing
    // and is 0 wide, whatever its NaN bounds would compare to.
    for (py::ssize_t i = 0; i < rows; ++i) {
      if (empty[i]) continue;
      covered += b[2 * i] <= target[i] && target[i] <= b[2 * i + 1];
      width += b[2 * i + 1] - b[2 * i];
    }
  }
  return {py::float_(static_cast<double>(covered) / static_cast<double>(rows)),
          py::float_(width / static_cast<double>(rows))};
}

py::object evaluate(const Args& a) {
  const py::object& self = a.self();
  Levels levels = checked_levels(a["alpha"]);
  PredictiveTable table;
  bool distributions = false;
  Predicted p =
      predict(self, a["test_x"], a["groups"], levels, "test", nullptr, &table, &distributions);
  const py::ssize_t rows = p.intervals.shape(0);
  py::array_t<double> y = numbers(flat_array(a["test_y"]), 1, "the targets have", "values", "test");
  require_rows(y.shape(0), rows, "test_y", "test");
  y = exclusive<double>(std::move(y));
  if (rows == 0) empty_test_part("there are no test rows to measure coverage on");
  std::pair<py::object, py::object> found = measured(p, levels, y);
  Items results{{"test_x_", a["test_x"]},
                {"test_y_", y},
                {"test_groups_", p.groups},
                {"test_pred_", p.prediction},
                {"intervals_", p.intervals},
                {"fallback_rows_", p.fallback},
                {"empty_rows_", p.empty},
                {"test_weights_", p.weights},
                {"coverage_", found.first},
                {"mean_width_", found.second},
                {"test_alpha_", levels.given ? levels.published() : p.alpha}};
  // Removed without a distribution: they would describe another calibration.
  Items scored{{"pit_", py::object()}, {"crps_", py::object()}};
  if (distributions)
    scored = predictive_evaluation(self, table, p.strata, p.prediction, p.scale, y);
  results.insert(results.end(), scored.begin(), scored.end());
  publish(self, results);
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
      .method("predict_cdf", {"self", "new_x", "y", "groups"}, py::make_tuple(py::none()),
              predict_cdf, kPredictCdfDoc)
      .method("predict_quantiles", {"self", "new_x", "levels", "groups"},
              py::make_tuple(py::none()), predict_quantiles, kPredictQuantilesDoc)
      .method("evaluate", {"self", "test_x", "test_y", "groups", "alpha"},
              py::make_tuple(py::none(), py::none()), evaluate, kRegressorEvaluateDoc);
  return Protocol::add_methods(builder).create();
}

}  // namespace conformal
}  // namespace trov
