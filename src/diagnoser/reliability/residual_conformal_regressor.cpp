#include "diagnoser/reliability/residual_conformal_regressor.h"

#include <string>
#include <vector>

#include "diagnoser/common/conformal.h"
#include "diagnoser/common/errors.h"
#include "diagnoser/common/figures.h"
#include "diagnoser/common/finite.h"
#include "diagnoser/common/items.h"
#include "diagnoser/common/method.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/parts.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/common/results.h"
#include "diagnoser/reliability/feature_segments.h"

namespace trov {
namespace {

// Attribute and item reads as plain objects, so that Python operators apply.
py::object get(const py::object& obj, const char* name) { return obj.attr(name); }
py::object at(const py::object& seq, int i) { return seq[py::int_(i)]; }

// `a.reshape(-1, 1)`: a column vector.
py::object column_vector(const py::object& a) { return a.attr("reshape")(-1, 1); }

// LightGBM refuses column names with characters that its model text (JSON)
// reserves, and says neither which column nor what to do.
std::string column_name_note(const py::error_already_set& e, const py::object& train_x) {
  if (text_of(e.value()).find("feature name") == std::string::npos) return "";
  py::object columns = attr_if_present(train_x, "columns");
  if (!columns) return "";
  py::list offending;
  for (py::handle column : columns) {
    std::string name = text_of(column);
    if (name.find_first_of("\",:[]{}\n") != std::string::npos) offending.append(column);
  }
  if (py::len(offending) == 0) return "";
  return "LightGBM refuses the column names " + py::repr(offending).cast<std::string>() +
         ": rename them (for example to letters, digits and underscores) or pass numpy arrays";
}

py::object init(const Args& a) {
  py::object self = a.self();
  self.attr("alpha") = a["alpha"];
  self.attr("depth") = a["depth"];
  self.attr("rand") = a["rand"];
  self.attr("feature_names") = a["feature_names"];
  return py::none();
}

py::object fit(const Args& a) {
  py::object self = a.self();
  py::object model = a["model"];
  py::object train_x = a["train_x"], train_y = a["train_y"];
  py::object test_x = a["test_x"], test_y = a["test_y"];
  py::object calib_x = a["calib_x"], calib_y = a["calib_y"];

  refuse_alpha_one(self);
  require_same_rows(train_x, train_y, test_x, test_y, calib_x, calib_y);
  if (calibration_missing(calib_x, calib_y)) {
    CalibrationSplit split = calibration_split(train_x, train_y, false);
    train_x = split.train_x;
    calib_x = split.calib_x;
    train_y = split.train_y;
    calib_y = split.calib_y;
  }
  self.attr("calib_x") = calib_x;
  py::object flat_calib_y = flatten(calib_y);
  require_finite(flat_calib_y, "the targets have", "values", "calibration");
  self.attr("calib_y") = flat_calib_y;
  self.attr("test_x") = test_x;
  py::object flat_test_y = flatten(test_y);
  require_finite(flat_test_y, "the targets have", "values", "test");
  self.attr("test_y") = flat_test_y;

  py::object pred_calib = flatten(model.attr("predict")(get(self, "calib_x")));
  require_finite(pred_calib, "predict returned", "predictions", "calibration");
  py::object pred_train = flatten(model.attr("predict")(train_x));
  require_finite(pred_train, "predict returned", "predictions", "training");
  py::object flat_train_y = flatten(train_y);
  require_finite(flat_train_y, "the targets have", "values", "training");
  py::object residual_train = flat_train_y - pred_train;
  py::object residual_calib = get(self, "calib_y") - pred_calib;
  py::object pred_test = flatten(model.attr("predict")(get(self, "test_x")));
  require_finite(pred_test, "predict returned", "predictions", "test");
  self.attr("pred_test") = pred_test;
  self.attr("pred_calib") = pred_calib;

  py::dict params;
  params["objective"] = "quantile";
  params["metric"] = "quantile";
  params["max_depth"] = get(self, "depth");
  params["boosting_type"] = "gbdt";
  params["random_state"] = get(self, "rand");

  py::object alpha = get(self, "alpha");
  py::object two = py::int_(2);
  py::list quantiles;
  quantiles.append(alpha / two);
  quantiles.append(0.5);
  quantiles.append(py::int_(1) - alpha / two);

  // Lower quantile, median and upper quantile of the residual, for test and calibration rows.
  py::list calib, pred;
  with_note(
      [&] {
        // A tuple of its own: each level's model runs Python code, which may reach the
        // list and grow it, moving the items an in-place walk points into.
        for (py::handle level : items_of(quantiles)) {
          py::object lgb = ns("LGBMRegressor")(py::arg("alpha") = level, **params);
          lgb.attr("fit")(train_x, residual_train);
          pred.append(lgb.attr("predict")(get(self, "test_x")));
          calib.append(lgb.attr("predict")(get(self, "calib_x")));
        }
      },
      [&](const py::error_already_set& e) {
        std::string names = column_name_note(e, train_x);
        return names.empty() ? alpha_note(alpha) : names;
      });

  // Per calibration row, how far the residual falls outside its predicted band
  // (negative inside it).
  py::list sides;
  sides.append(column_vector(residual_calib - at(calib, 2)));
  sides.append(column_vector(at(calib, 0) - residual_calib));
  py::object joined = ns("np").attr("concatenate")(sides, 1);
  py::object scores = ns("np").attr("max")(joined, 1);
  py::object miscoverage = get(self, "alpha");
  py::object n = get(self, "calib_y").attr("shape")[py::int_(0)];
  py::object q = conformal_quantile(scores, miscoverage, n);

  pred[2] = at(pred, 2) + q;
  pred[0] = at(pred, 0) - q;
  calib[2] = at(calib, 2) + q;
  calib[0] = at(calib, 0) - q;
  self.attr("pred_test_residual") = pred;
  self.attr("pred_calib_residual") = calib;

  self.attr("pred_up") = get(self, "pred_test") + at(get(self, "pred_test_residual"), 2);
  self.attr("pred_low") = get(self, "pred_test") + at(get(self, "pred_test_residual"), 0);
  self.attr("calib_up") = get(self, "pred_calib") + at(get(self, "pred_calib_residual"), 2);
  self.attr("calib_low") = get(self, "pred_calib") + at(get(self, "pred_calib_residual"), 0);

  // Strictly inside: a target on a bound is not covered.
  py::object zero = py::int_(0);
  py::object below_up = compare(get(self, "pred_up") - get(self, "test_y"), zero, Py_GT);
  py::object above_low = compare(get(self, "pred_low") - get(self, "test_y"), zero, Py_LT);
  py::object covered = below_up & above_low;
  py::object rows = get(self, "test_y").attr("shape")[py::int_(0)];
  if (truth(compare(rows, py::int_(0), Py_EQ))) {
    empty_test_part("there are no test rows to measure coverage on");
  }
  self.attr("coverage") = covered.attr("sum")() / rows;
  self.attr("width") = ns("abs")(get(self, "pred_up") - get(self, "pred_low"));

  return py::make_tuple(get(self, "coverage"), get(self, "width"));
}

py::object diagnose(const Args& a) {
  py::object self = a.self();
  py::object order = ns("np").attr("argsort")(get(self, "test_y"));
  py::dict res;
  res["index"] = ns("range")(order.attr("shape")[py::int_(0)]);
  res["Lower Bound"] = get(self, "pred_low")[order];
  res["Upper Bound"] = get(self, "pred_up")[order];
  res["Point Prediction"] = get(self, "pred_test")[order];
  res["True Response"] = get(self, "test_y")[order];
  return std::move(res);
}

// np.mean of the bandwidths is NaN, with numpy's warning, when there are none.
void require_test_rows(const py::object& width) {
  if (truth(compare(ns("np").attr("size")(width), py::int_(0), Py_EQ))) {
    empty_test_part("there are no bandwidths to average");
  }
}

void scatter(const py::object& res, const char* key) {
  ns("plt").attr("scatter")(res["index"], res[key], py::arg("label") = key);
}

py::object plot(const Args& a) {
  py::object self = a.self();
  py::object figsize = a["figsize"];
  py::object res = get(self, "diagnose")();

  new_figure(figsize);
  title(py::str("ResCQR with Depth-{} LGBM").format(get(self, "depth")));
  scatter(res, "Lower Bound");
  scatter(res, "Upper Bound");
  scatter(res, "Point Prediction");
  scatter(res, "True Response");
  xlabel(py::str("Sorted Index"));
  ylabel(py::str("Testing Response y"));
  ns("plt").attr("legend")();
  finish_figure();

  flat_figure(figsize);
  title(py::str("Histogram of Bandwidth"));
  ns("plt").attr("hist")(get(self, "width"));
  require_test_rows(get(self, "width"));
  ns("plt").attr("axvline")(ns("np").attr("mean")(get(self, "width")), py::arg("color") = "red",
                            py::arg("linestyle") = "--");
  finish_figure();

  display_results_header();
  display_coverage(get(self, "coverage"));
  display_bandwidth(ns("np").attr("mean")(get(self, "width")));
  return py::none();
}

// The feature's column of the test inputs. A data frame is read by position,
// as numpy would read it after np.asarray; numpy input is indexed as it is.
py::object feature_column(const py::object& test_x, const py::object& pos) {
  py::object np = ns("np");
  py::object table =
      py::isinstance(test_x, np.attr("ndarray")) ? test_x : np.attr("asarray")(test_x);
  return table[py::make_tuple(all_rows(), pos)];
}

// ax.plot(np.array(x), np.array(y), color=color, label=label), arguments made left to right.
void plot_averages(const py::object& ax, const py::list& x, const py::list& y, const char* color,
                   const char* label) {
  py::object xs = ns("np").attr("array")(x);
  py::object ys = ns("np").attr("array")(y);
  ax.attr("plot")(xs, ys, py::arg("color") = color, py::arg("label") = label);
}

// Why a feature name was not found, and what to pass instead.
std::string unknown_feature_note(const py::object& names, const py::object& name) {
  if (py::len(names) == 0) {
    return "feature_names is empty: give the names of the feature columns to the constructor, "
           "as ResidualConformalRegressor(feature_names=...) or Reliability(..., "
           "feature_names=...)";
  }
  py::object known = ns("np").attr("asarray")(names).attr("tolist")();
  return py::repr(name).cast<std::string>() + " is not among the feature names " +
         py::repr(known).cast<std::string>();
}

py::object plot_feature(const Args& a) {
  py::object self = a.self();
  py::object feature_name = a["feature_name"], bins = a["bins"], figsize = a["figsize"];

  // Names in a list, tuple or pandas Index are compared one by one, as in an
  // array; a result that is still one bool (names numpy cannot compare with the
  // name) is made 1-D, and finding nothing is the IndexError below.
  py::object names = ns("np").attr("asarray")(get(self, "feature_names"));
  py::object found = compare(names, feature_name, Py_EQ);
  py::object pos = with_note(
      [&]() -> py::object {
        return ns("np").attr("where")(ns("np").attr("atleast_1d")(found))[py::int_(0)][py::int_(0)];
      },
      [&](const py::error_already_set& e) -> std::string {
        if (!e.matches(PyExc_IndexError)) return "";
        return unknown_feature_note(get(self, "feature_names"), feature_name);
      });
  py::object column = feature_column(get(self, "test_x"), pos);
  py::object sort_ind = ns("np").attr("argsort")(column.attr("ravel")());
  py::object rank_num = ns("np").attr("arange")(sort_ind.attr("shape")[py::int_(0)]);
  SegmentAverages avg = segment_averages(self, column, sort_ind, rank_num, bins);

  // Mean bandwidth as stems on the left axis; mean response and prediction on the right.
  std::vector<py::object> fig_ax =
      unpack(ns("plt").attr("subplots")(py::arg("figsize") = figsize), 2);
  py::object ax1 = fig_ax[1];
  py::object ax2 = ax1.attr("twinx")();
  plot_averages(ax2, avg.avg_x, avg.avg_pred, "green", "Avg Prediction");
  plot_averages(ax2, avg.avg_x, avg.avg_response, "red", "Avg Response");
  ax2.attr("legend")();
  ax1.attr("set_xlabel")(feature_name, py::arg("fontsize") = 12);
  ax2.attr("set_ylabel")("Avg Response", py::arg("color") = "black", py::arg("fontsize") = 12);
  py::object stem_x = ns("np").attr("array")(avg.avg_x);
  py::object stem_width = ns("np").attr("array")(avg.avg_width);
  std::vector<py::object> stem =
      unpack(ax1.attr("stem")(stem_x, stem_width, "orange", py::arg("basefmt") = " "), 3);
  ns("plt").attr("setp")(stem[1], "linewidth", 5);
  ax1.attr("set_ylabel")("Avg Bandwidth", py::arg("color") = "black", py::arg("fontsize") = 12);
  title(py::str("Segmented Prediction"));
  finish_figure();

  flat_figure(figsize);
  title(py::str("Histogram of {}").format(feature_name));
  ns("plt").attr("hist")(column.attr("ravel")(), py::arg("bins") = bins);
  ns("plt").attr("tight_layout")(py::arg("pad") = 0.8);
  ns("plt").attr("show")();
  return py::none();
}

}  // namespace

py::object create_residual_conformal_regressor(const ModuleContext& module) {
  return ClassBuilder(module, "ResidualConformalRegressor")
      .method("__init__", {"self", "alpha", "depth", "rand", "feature_names"},
              py::make_tuple(0.05, 7, 0, py::list()), init)
      .method("fit",
              {"self", "model", "train_x", "train_y", "test_x", "test_y", "calib_x", "calib_y"},
              py::make_tuple(py::none(), py::none()), fit)
      .method("diagnose", {"self"}, diagnose)
      .method("plot", {"self", "figsize"}, py::make_tuple(module.figsize), plot)
      .method("plot_feature", {"self", "feature_name", "bins", "figsize"},
              py::make_tuple(10, module.figsize), plot_feature)
      .create();
}

}  // namespace trov
