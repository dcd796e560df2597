#include "diagnoser/reliability/adaptive_conformal_classifier.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "diagnoser/common/conformal.h"
#include "diagnoser/common/errors.h"
#include "diagnoser/common/figures.h"
#include "diagnoser/common/finite.h"
#include "diagnoser/common/labels.h"
#include "diagnoser/common/method.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/parts.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/common/results.h"
#include "diagnoser/reliability/diagnose_kernels.h"
#include "diagnoser/reliability/fit_kernels.h"
#include "diagnoser/reliability/kernel_access.h"

namespace trov {
namespace {

using py::literals::operator""_a;

// `x[:, ::-1]`: each row in descending order.
py::object descending(const py::object& x) {
  py::slice reverse(py::none(), py::none(), py::int_(-1));
  return x[py::make_tuple(all_rows(), reverse)];
}

// `str([0, 1])`: how the full set is named where all sets are full.
py::str full_set_name() {
  py::list full;
  full.append(0);
  full.append(1);
  return py::str(full);
}

bool is_zero(const py::object& count) { return truth(compare(count, py::int_(0), Py_EQ)); }

// self.q >= self.max_test: every set is the full one.
bool all_sets_full(const py::object& self) {
  return truth(compare(self.attr("q"), self.attr("max_test"), Py_GE));
}

// The calibration labels' indices in the estimator's `classes`; a label
// missing from them is a ValueError naming it.
py::object calibration_positions(const py::object& calib_y, const py::object& classes) {
  py::array_t<int64_t> pos = label_positions(calib_y, classes);
  const int64_t* begin = pos.data();
  const int64_t* missing = std::find(begin, begin + pos.size(), kNotAClass);
  if (missing != begin + pos.size()) {
    py::ssize_t at = missing - begin;
    py::object flat = ns("np").attr("asarray")(calib_y).attr("reshape")(-1);
    py::object label = flat[py::slice(at, at + 1, 1)].attr("tolist")()[py::int_(0)];
    throw py::value_error("calib_y holds the label " + py::repr(label).cast<std::string>() +
                          ", which is not among the estimator's classes_ " +
                          py::repr(classes.attr("tolist")()).cast<std::string>());
  }
  return std::move(pos);
}

py::object init(const Args& a) {
  a.self().attr("alpha") = a["alpha"];
  return py::none();
}

// The procedure builds sets for two classes: `[0, 1]` stands for the full set.
void require_two_columns(const py::object& prob, const char* part) {
  py::object shape = ns("np").attr("shape")(prob);
  if (py::len(shape) < 2) return;  // numpy's own error follows
  py::object columns = shape[py::int_(1)];
  if (!truth(compare(columns, py::int_(2), Py_EQ))) {
    throw py::value_error(
        "AdaptiveConformalClassifier builds prediction sets for two classes, but predict_proba "
        "returned " +
        py::str(columns).cast<std::string>() + " columns for the " + part +
        " part; use a two-class model");
  }
}

// Each row's probabilities in descending order, and their column indices.
struct Descending {
  py::object value, index;
};

Descending order_rows(const py::object& prob) {
  return {descending(ns("np").attr("sort")(prob, "axis"_a = 1)),
          descending(ns("np").attr("argsort")(prob, "axis"_a = 1))};
}

// Scores of the calibration rows: the sorted probabilities summed down to the true class.
py::object calibration_scores(const py::object& pred_calib_prob, const py::object& pos) {
  if (auto score = classifier::two_column_scores(pred_calib_prob, pos)) return std::move(*score);
  Descending sorted = order_rows(pred_calib_prob);
  py::object sorted_pos = classifier::true_class_ranks(sorted.index, pos);
  py::object calib_cumsum = ns("np").attr("cumsum")(sorted.value, "axis"_a = 1);
  py::object rows = ns("np").attr("arange")(py::len(calib_cumsum));
  return calib_cumsum[py::make_tuple(rows, sorted_pos)];
}

py::object fit(const Args& a) {
  const py::object& self = a.self();
  const py::object& model = a["model"];
  py::object calib_x = a["calib_x"];
  py::object calib_y = a["calib_y"];
  refuse_alpha_one(self);
  require_same_rows(a["train_x"], a["train_y"], a["test_x"], a["test_y"], calib_x, calib_y);
  if (calibration_missing(calib_x, calib_y)) {
    CalibrationSplit split = calibration_split(a["train_x"], a["train_y"], /*seeded=*/true);
    calib_x = split.calib_x;
    calib_y = split.calib_y;
  }
  py::object pred_calib_prob = model.attr("predict_proba")(calib_x);
  require_finite(pred_calib_prob, "predict_proba returned", "probabilities", "calibration");
  py::object pred_test_prob = model.attr("predict_proba")(a["test_x"]);
  require_finite(pred_test_prob, "predict_proba returned", "probabilities", "test");
  require_two_columns(pred_calib_prob, "calibration");
  require_two_columns(pred_test_prob, "test");
  // A label's position is its column in predict_proba: its index in the estimator's
  // classes_, or else its distance from the smallest calibration label.
  py::object classes = attr_if_present(model, "classes_");
  py::object sub, pos;
  if (classes) {
    classes = ns("np").attr("asarray")(classes);
    pos = calibration_positions(calib_y, classes);
  } else {
    sub = calib_y.attr("min")();
    pos = (calib_y - sub).attr("astype")(ns("int"));
  }
  py::object score = calibration_scores(pred_calib_prob, pos);
  if (!classes) classes = sub + ns("np").attr("arange")(pred_calib_prob.attr("shape")[py::int_(1)]);
  py::object alpha = self.attr("alpha");
  py::object q = conformal_quantile(score, alpha, first(calib_y.attr("shape")));
  // Two float64 columns and a float threshold: order and sets in one pass.
  std::optional<classifier::TwoColumnTest> two;
  if (PyFloat_Check(q.ptr()))
    two = classifier::two_column_test_part(pred_test_prob, q.cast<double>());
  Descending test_sorted = two ? Descending{two->value, two->index} : order_rows(pred_test_prob);
  py::object test_pos;
  if (!two) {
    py::object cumsum = ns("np").attr("cumsum")(test_sorted.value, "axis"_a = 1);
    test_pos = compare(cumsum, q, Py_GE).attr("argmax")("axis"_a = 1);
  }
  py::ssize_t rows = first(test_sorted.value.attr("shape")).cast<py::ssize_t>();
  if (rows == 0) empty_test_part("predict_proba gave no test rows to build prediction sets for");
  if (two) {
    self.attr("max_test") = py::array_t<double>(1, &two->max)[py::int_(0)];
  } else {
    self.attr("max_test") = ns("np").attr("max")(pred_test_prob);
  }
  py::list test_class;
  if (two && two->sets) {
    test_class = py::reinterpret_borrow<py::list>(two->sets);  // built only where q < max_test
  } else if (truth(compare(q, self.attr("max_test"), Py_GE))) {
    test_class = classifier::full_sets(rows);
  } else {
    test_class = classifier::prediction_sets(test_sorted.index, test_pos);
  }
  self.attr("test_class") = test_class;
  self.attr("test_y") = flatten(a["test_y"]);
  self.attr("test_sorted_index") = test_sorted.index;
  self.attr("test_sorted_value") = test_sorted.value;
  self.attr("q") = q;
  self.attr("classes") = classes;
  return py::none();
}

// The classes (`np.unique(test_y)`, which the namespace may rebind) grew after
// their rows were counted.
py::index_error classes_changed() {
  return py::index_error("the classes of test_y changed while being read");
}

// For each true class, how many of its rows received each distinct set, written into
// `class_conf[i]` under the set's text.
void count_sets_per_class(const py::object& test_class, const classifier::SetTable& sets,
                          const py::object& test_y, const py::object& class_n, bool full,
                          const py::dict& class_conf) {
  py::ssize_t classes = py::len(class_n);
  std::optional<std::vector<int32_t>> row_class;
  if (sets.native()) row_class = classifier::row_classes(test_y, class_n, sets.sets().rows());
  std::optional<std::vector<std::pair<py::object, py::object>>> counted;
  std::vector<py::ssize_t> class_rows;
  if (row_class && full) class_rows = classifier::rows_by_class(*row_class, classes);
  if (row_class && !full) counted = classifier::sets_by_class(sets, *row_class, classes);

  std::size_t c = 0;
  for (py::handle i : class_n) {
    // The counts were made for the classes as they were; code run in this loop
    // (a label's __str__ or __hash__, say) may have lengthened them since.
    bool native = full ? row_class.has_value() : counted.has_value();
    if (native && c >= (full ? class_rows.size() : counted->size())) throw classes_changed();
    py::object label, count;
    if (full) {
      label = ns("np").attr("array")(py::list(py::make_tuple(full_set_name())));
      py::object rows = row_class ? py::int_(class_rows[c])
                                  : first(test_class[compare(test_y, i, Py_EQ)].attr("shape"));
      count = ns("np").attr("array")(py::list(py::make_tuple(rows)));
    } else if (counted) {
      label = (*counted)[c].first;
      count = (*counted)[c].second;
    } else {
      std::vector<py::object> found = unpack(
          ns("np").attr("unique")(test_class[compare(test_y, i, Py_EQ)], "return_counts"_a = true),
          2);
      label = found[0];
      count = found[1];
    }
    py::ssize_t distinct = first(label.attr("shape")).cast<py::ssize_t>();
    for (py::ssize_t j = 0; j < distinct; ++j) {
      class_conf[i][str_of(label[py::int_(j)])] = count[py::int_(j)];
    }
    ++c;
  }
}

// Coverage, `width` and the result, from the number of rows holding their label
// and the set sizes (`c_lis`).
py::dict store_coverage(const py::object& self, py::ssize_t contained, const py::object& c_lis,
                        const py::object& rows, const py::dict& class_conf) {
  std::vector<py::object> size_counts =
      unpack(ns("np").attr("unique")(c_lis, "return_counts"_a = true), 2);
  if (is_zero(rows) || is_zero(first(c_lis.attr("shape")))) {
    empty_test_part("there are no test labels or prediction sets to measure coverage on");
  }
  self.attr("coverage") = py::int_(contained) / rows;
  py::object inverse_sum = ns("np").attr("sum")(py::int_(1) / c_lis);
  self.attr("width") = py::int_(1) - inverse_sum / first(c_lis.attr("shape"));
  self.attr("class_conf") = class_conf;
  py::dict result;
  result["number of class"] = size_counts[0];
  result["sample count"] = size_counts[1];
  return result;
}

py::object int64_scalar(int64_t value) { return py::array_t<int64_t>(1, &value)[py::int_(0)]; }

// The diagnosis from sets counted in one pass (all [0], [0, 1] or [1]): what
// numpy's steps give, built without them.
py::object diagnose_two_class(const py::object& self, const classifier::TwoClassCounts& counts,
                              const py::object& test_class, const py::object& class_n,
                              const py::object& test_y, bool full) {
  using Counts = classifier::TwoClassCounts;
  bool ones = counts.total(1) == 0;  // else, when flat, every set is [0, 1]
  py::ssize_t rows = counts.rows();
  if (!full) {
    if (counts.flat) {
      // np.unique of the sets as a 2-D array: the class values present.
      std::vector<int64_t> present;
      if (!ones || counts.total(0) > 0) present.push_back(0);
      if (!ones || counts.total(2) > 0) present.push_back(1);
      py::array_t<int64_t> values(static_cast<py::ssize_t>(present.size()), present.data());
      self.attr("label_list") = values;
    } else {
      std::vector<py::ssize_t> first_rows;
      for (py::ssize_t row : counts.first_row) {
        if (row >= 0) first_rows.push_back(row);
      }
      self.attr("label_list") = classifier::object_array_of_rows(test_class, first_rows);
    }
  }
  if (counts.cells && !counts.flat) {
    // Nothing runs between the filling and the store that replaces the list; the
    // sets move over when only `self` and this call hold the list.
    bool take = classifier::held_only_by_attribute(self, "test_class", test_class, 1);
    classifier::fill_with_sets(counts.cells, test_class, take);
    self.attr("test_class") = counts.cells;
  } else if (!counts.flat) {
    self.attr("test_class") = ns("np").attr("array")(test_class);
  } else {
    py::ssize_t width = ones ? 1 : 2;
    py::array_t<int64_t> matrix({rows, width});
    int64_t* out = matrix.mutable_data();
    for (py::ssize_t j = 0; j < rows; ++j) {
      if (ones) {
        out[j] = counts.kind[j] == 0 ? 0 : 1;
      } else {
        out[2 * j] = 0;
        out[2 * j + 1] = 1;
      }
    }
    self.attr("test_class") = matrix;
  }
  // Per class the sets' texts as str() gives them: of the sets, or of the class
  // values numpy flattened them to.
  static const char* const kSetText[Counts::kKinds] = {"[0]", "[0, 1]", "[1]"};
  py::dict class_conf;
  std::size_t c = 0;
  for (py::handle i : class_n) {
    if (c >= counts.per_class.size()) throw classes_changed();
    const auto& per_kind = counts.per_class[c++];
    py::ssize_t class_rows = per_kind[0] + per_kind[1] + per_kind[2];
    py::dict conf;
    if (full) {
      conf[full_set_name()] = int64_scalar(class_rows);
    } else if (counts.flat && ones) {
      if (per_kind[0] > 0) conf[py::str("0")] = int64_scalar(per_kind[0]);
      if (per_kind[2] > 0) conf[py::str("1")] = int64_scalar(per_kind[2]);
    } else if (counts.flat) {
      conf[py::str("0")] = int64_scalar(class_rows);
      conf[py::str("1")] = int64_scalar(class_rows);
    } else {
      for (int kind = 0; kind < Counts::kKinds; ++kind) {
        if (per_kind[kind] > 0) conf[py::str(kSetText[kind])] = int64_scalar(per_kind[kind]);
      }
    }
    class_conf[i] = conf;
  }
  // Set sizes 1 and 2: their counts stand for `c_lis`, and 1/size sums exactly.
  py::ssize_t one = counts.total(0) + counts.total(2), two = counts.total(1);
  std::vector<int64_t> sizes, size_rows;
  if (one > 0) sizes.push_back(1), size_rows.push_back(one);
  if (two > 0) sizes.push_back(2), size_rows.push_back(two);
  py::ssize_t distinct = static_cast<py::ssize_t>(sizes.size());
  self.attr("coverage") = py::int_(counts.contained) / first(test_y.attr("shape"));
  double inverse_sum = static_cast<double>(one) + 0.5 * static_cast<double>(two);
  py::object sum = py::array_t<double>(1, &inverse_sum)[py::int_(0)];
  self.attr("width") = py::int_(1) - sum / py::int_(rows);
  self.attr("class_conf") = class_conf;
  py::dict result;
  result["number of class"] = py::array_t<int64_t>(distinct, sizes.data());
  result["sample count"] = py::array_t<int64_t>(distinct, size_rows.data());
  return result;
}

py::object diagnose(const Args& a) {
  const py::object& self = a.self();
  py::object test_y = self.attr("test_y");
  std::optional<py::array_t<int64_t>> labels = classifier::unique_small_ints(test_y);
  py::object class_n = labels ? py::object(*labels) : ns("np").attr("unique")(test_y);
  bool full = all_sets_full(self);
  if (full) self.attr("label_list") = py::list(py::make_tuple(full_set_name()));
  py::object test_class = self.attr("test_class");
  // Labels are compared with the set positions through `classes`; state set by
  // hand without it compares them directly.
  py::object classes = attr_if_present(self, "classes");
  if (auto counts = classifier::count_two_class_sets(test_y, class_n, test_class, classes)) {
    return diagnose_two_class(self, *counts, test_class, class_n, test_y, full);
  }
  classifier::SetTable sets(test_class);
  if (!full) self.attr("label_list") = sets.unique();
  py::dict class_conf;
  for (py::handle i : class_n) class_conf[i] = py::dict();
  classifier::Coverage covered =
      classes ? classifier::coverage(sets, label_positions(test_y, classes), true)
              : classifier::coverage(sets, test_y, false);
  self.attr("test_class") = sets.as_array();
  count_sets_per_class(self.attr("test_class"), sets, test_y, class_n, full, class_conf);
  return store_coverage(self, covered.contained, ns("np").attr("array")(covered.sizes),
                        first(test_y.attr("shape")), class_conf);
}

// The bar label of a set: "{" + str(set)[1:-1] + "}". A class value that numpy
// flattened out of one-class sets has no brackets to strip: "{" + str(value) + "}".
py::str set_label(const py::handle& set) {
  py::str text(set);
  bool flattened = py::isinstance(set, py::module_::import("numbers").attr("Number"));
  py::object inner = flattened ? py::object(text) : text[py::slice(1, -1, 1)];
  return py::str(py::str("{") + inner + py::str("}"));
}

// Rows [true class, set label, count] of the chart; a pair that fails (a set the
// class never received) is left out.
py::list chart_rows(const py::object& self, const py::object& class_n) {
  py::list rows;
  for (py::handle i : class_n) {
    for (py::handle j : self.attr("label_list")) {
      try {
        py::str label = set_label(j);
        py::object count = self.attr("class_conf")[i][py::str(j)];
        py::list row;
        row.append(i);
        row.append(label);
        row.append(count);
        rows.append(row);
      } catch (py::error_already_set&) {
      }
    }
  }
  return rows;
}

// Bars within a group: one label as it is, two in order of appearance with
// "{0, 1}" last, otherwise the fixed order.
py::list hue_order_of(const py::object& show_res) {
  py::object labels = show_res.attr("Pred").attr("unique")();
  py::ssize_t distinct = py::len(labels);
  py::list order;
  if (distinct == 1) {
    order.append(first(labels));
  } else if (distinct == 2) {
    order = labels.attr("tolist")();
    py::str both("{0, 1}");
    if (order.contains(both)) {
      order.attr("remove")(both);
      order.append(both);
    }
  } else {
    order.append("{0}");
    order.append("{1}");
    order.append("{0, 1}");
  }
  return order;
}

py::object plot(const Args& a) {
  const py::object& self = a.self();
  self.attr("diagnose")();
  py::object class_n = ns("np").attr("unique")(self.attr("test_y"));
  py::object show_res = chart_rows(self, class_n);
  py::list columns;
  for (const char* name : {"True", "Pred", "Count"}) columns.append(name);
  show_res = ns("pd").attr("DataFrame")(show_res, "columns"_a = columns);
  py::list hue_order = hue_order_of(show_res);
  new_figure(a["figsize"]);
  show_res.attr("Pred") = show_res.attr("Pred").attr("astype")(ns("str"));
  py::object axes = ns("sns").attr("barplot")("data"_a = show_res, "x"_a = "True", "y"_a = "Count",
                                              "hue"_a = "Pred", "hue_order"_a = hue_order);
  axes.attr("set_xlabel")("True", "fontsize"_a = 12);
  axes.attr("set_ylabel")("Count", "fontsize"_a = 12);
  finish_figure();
  display_results_header();
  display_coverage(self.attr("coverage"));
  display_bandwidth(self.attr("width"));
  return py::none();
}

py::object plot_single(const Args& a) {
  const py::object& self = a.self();
  const py::object& index = a["index"];
  new_figure(a["figsize"]);
  py::object bar = ns("plt").attr("bar");
  py::object classes = self.attr("test_sorted_index")[index].attr("astype")(ns("str"));
  py::object cumsum = ns("np").attr("cumsum");
  py::object heights = cumsum(self.attr("test_sorted_value")[index]);
  py::object barlist = bar(classes, heights);
  py::ssize_t in_set = py::len(self.attr("test_class")[index]);
  for (py::ssize_t i = 0; i < in_set; ++i) barlist[py::int_(i)].attr("set_color")("r");
  ns("plt").attr("axhline")(self.attr("q"));
  title(py::str("conformal predcition"));
  xlabel(py::str("class"));
  ylabel(py::str("cumulative softmax output"));
  finish_figure();
  return py::none();
}

}  // namespace

py::object create_adaptive_conformal_classifier(const ModuleContext& module) {
  return ClassBuilder(module, "AdaptiveConformalClassifier")
      .method("__init__", {"self", "alpha"}, py::make_tuple(0.1), init)
      .method("fit",
              {"self", "model", "train_x", "train_y", "test_x", "test_y", "calib_x", "calib_y"},
              py::make_tuple(py::none(), py::none()), fit)
      .method("diagnose", {"self"}, diagnose)
      .method("plot", {"self", "figsize"}, py::make_tuple(module.figsize), plot)
      .method("plot_single", {"self", "index", "figsize"}, py::make_tuple(module.figsize),
              plot_single)
      .create();
}

}  // namespace trov
