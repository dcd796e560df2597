#include "diagnoser/report/tables.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/prediction_sets.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/report/binomial.h"
#include "diagnoser/report/coverage_kernels.h"
#include "diagnoser/report/feature_tables.h"
#include "diagnoser/report/findings.h"
#include "diagnoser/report/pit.h"
#include "diagnoser/report/rows.h"
#include "diagnoser/report/segmenting.h"
#include "diagnoser/report/snapshot.h"

namespace trov {
namespace report {
namespace {

using py::literals::operator""_a;

// Rows that only mix strata may fall short of the strata's law by this much; without
// a law (the classifier keeps no calibration rows), of the target.
constexpr double kTol = 0.01;
using IntArray = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

// `np.ravel(value)` as float64 in owned memory: Python code that runs later
// cannot change or free it.
std::vector<double> owned_numbers(const py::object& value, const char* what) {
  // ensure() clears numpy's error, so the message says what was expected.
  DoubleArray array = DoubleArray::ensure(ns("np").attr("ravel")(value));
  if (!array) throw py::type_error(std::string(what) + " must be numeric");
  return std::vector<double>(array.data(), array.data() + array.size());
}

// `alpha_`, the level calibrate used, where the object keeps it; else `alpha`.
double alpha_of(const py::object& fitted) {
  py::object used = attribute_or_none(fitted, "alpha_");
  double alpha = py::float_(used.is_none() ? fitted.attr("alpha") : used);
  if (!(alpha > 0 && alpha < 1)) {
    throw py::value_error("the fitted object's alpha must lie in (0, 1), got " +
                          std::to_string(alpha));
  }
  return alpha;
}

// The number of calibration rows, -1 when the object does not hold them.
int64_t calibration_count(const py::object& fitted) {
  py::object calib_y = attribute_or_none(fitted, "calib_y");
  if (calib_y.is_none()) return -1;
  return static_cast<int64_t>(py::len(calib_y));
}

// Coverage, its interval, the target and the calibration law: the opening entries
// of both summaries; fills the matching part of `evidence`.
py::dict summary_head(int64_t n, int64_t covered, double alpha, const Tests& tests,
                      const CalibrationLaw& calib, double confidence, Evidence& evidence) {
  Interval interval = wilson(covered, n, tests.z);
  py::dict summary;
  summary["n"] = py::int_(n);
  summary["alpha"] = py::float_(alpha);
  summary["target"] = py::float_(1 - alpha);
  summary["coverage"] = py::float_(static_cast<double>(covered) / static_cast<double>(n));
  summary["coverage_low"] = py::float_(interval.low);
  summary["coverage_high"] = py::float_(interval.high);
  summary["tol"] = py::float_(tests.tol);
  evidence.confidence = confidence;
  evidence.target = 1 - alpha;
  evidence.n = n;
  evidence.covered = covered;
  evidence.coverage_low = interval.low;
  evidence.coverage_high = interval.high;
  if (calib.n >= 0) {
    summary["n_calib"] = py::int_(calib.n);
    CountRange expected{n, n};
    if (calib.bounded()) {
      expected = beta_binomial_interval(n, static_cast<double>(calib.rank),
                                        static_cast<double>(calib.n + 1 - calib.rank), confidence);
    }
    double rows = static_cast<double>(n);
    summary["expected_low"] = py::float_(static_cast<double>(expected.low) / rows);
    summary["expected_high"] = py::float_(static_cast<double>(expected.high) / rows);
    evidence.n_calib = calib.n;
    evidence.expected_low = expected.low;
    evidence.expected_high = expected.high;
    evidence.calib_low = calib.low;
    evidence.calib_high = calib.high;
  }
  return summary;
}

// How many classes make a full set: the labels in `classes`, else the probability
// columns the sets were taken from, else the module's two.
int64_t class_count(const py::object& fitted, const py::object& classes) {
  if (!classes.is_none()) return static_cast<int64_t>(py::len(classes));
  py::object order = attribute_or_none(fitted, "test_sorted_index");
  py::object shape = attribute_or_none(order, "shape");
  if (!shape.is_none() && py::len(shape) == 2) return shape[py::int_(1)].cast<int64_t>();
  return 2;
}

void add_flagged(Evidence& evidence, const Rows& rows, const std::vector<std::string>& what,
                 RowKind kind) {
  for (std::size_t i = 0; i < rows.size(); ++i) {
    bool tied = i < rows.tied_over.size() && rows.tied_over[i];
    if (rows.flag[i].empty() && !tied) continue;
    evidence.flagged.push_back(
        {what[i], rows.coverage[i], rows.n[i], rows.flag[i] == "under-covered", kind, tied});
  }
}

// The distinct values of `values` in np.unique's order and each row's index among
// them; the inverse is checked before it indexes.
struct UniqueInverse {
  py::list labels;  // a list of its own: its length is `count`
  int64_t count;
  std::vector<int64_t> inverse;
};

UniqueInverse unique_inverse(const py::object& values, int64_t n) {
  py::tuple unique = ns("np").attr("unique")(values, py::arg("return_inverse") = true);
  // Copied: code that runs later (np.ravel below, a label's __str__) may hold and
  // change what tolist() gave, but not this list.
  auto labels = py::reinterpret_steal<py::list>(PySequence_List(unique[0].attr("tolist")().ptr()));
  if (!labels) throw py::error_already_set();
  int64_t count = static_cast<int64_t>(PyList_GET_SIZE(labels.ptr()));
  py::object inverse_object = ns("np").attr("ravel")(unique[1]);
  if (!py::isinstance<py::array>(inverse_object) ||
      std::string("iu").find(py::reinterpret_borrow<py::array>(inverse_object).dtype().kind()) ==
          std::string::npos) {
    throw py::type_error("np.unique gave an inverse that is no integer array");
  }
  IntArray inverse_array(inverse_object);
  std::vector<int64_t> inverse(inverse_array.data(), inverse_array.data() + inverse_array.size());
  if (static_cast<int64_t>(inverse.size()) != n) {
    throw py::value_error("np.unique gave an inverse of another length than the labels");
  }
  for (int64_t g : inverse) {
    if (g < 0 || g >= count) throw py::value_error("np.unique gave an inverse out of range");
  }
  return {labels, count, std::move(inverse)};
}

// Per group of the conformal module's `conditional="group"`: the `by_group` table.
struct GroupRows {
  Rows rows;
  py::list labels;
  std::vector<int64_t> inverse;  // each test row's group
  std::vector<std::string> names;
  bool present = false;
};

void group_rows(GroupRows& out, const Source& source, int64_t n,
                const std::vector<uint8_t>& covered, const std::vector<double>& mean_of,
                const Tests& tests) {
  if (source.groups.is_none()) return;
  py::object groups = ns("np").attr("ravel")(source.groups);
  if (static_cast<int64_t>(py::len(groups)) != n) {
    throw py::value_error("test_groups_ must hold one group per test row");
  }
  auto [labels, count, inverse] = unique_inverse(groups, n);
  std::vector<Stratum> strata =
      group_strata(inverse.data(), n, count, covered.data(), mean_of.data());
  for (std::size_t g = 0; g < strata.size(); ++g) {
    out.rows.add(strata[g], tests);
    out.names.push_back("group " + text_of(labels[py::int_(g)]));
  }
  out.labels = labels;
  out.inverse = std::move(inverse);
  out.present = true;
}

void add_group_table(py::dict& tables, Evidence& evidence, const GroupRows& groups,
                     const char* mean_name) {
  if (!groups.present) return;
  py::dict table;
  table["group"] = groups.labels;
  groups.rows.coverage_columns(table);
  table[mean_name] = float_array(groups.rows.mean);
  groups.rows.test_columns(table);
  tables["by_group"] = data_frame(table);
  add_flagged(evidence, groups.rows, groups.names, RowKind::kGroup);
}

py::list to_py(const std::vector<std::string>& values) { return to_list(values); }

// An int in [low, high] read from the object's state, named in the error.
int64_t state_count(const py::handle& value, int64_t low, int64_t high, const std::string& what,
                    const std::string& step = "calibrate") {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
    throw py::type_error(what + " must be an integer, got " + py::repr(value).cast<std::string>() +
                         ": call " + step + " again");
  }
  int64_t v = py::int_(py::reinterpret_borrow<py::object>(value)).cast<int64_t>();
  if (v < low || v > high) {
    throw py::value_error(what + " is " + std::to_string(v) + ", outside " + std::to_string(low) +
                          " to " + std::to_string(high) + ": call " + step + " again");
  }
  return v;
}

Law marginal_law(const Source& source) {
  Law law;
  law.n = source.n_calib;
  law.k = source.rank > 0 ? source.rank : conformal_rank(source.n_calib, source.alpha);
  return law;
}

// The value of `key` in the dict `d`, or a null object.
py::object item_of(const py::object& d, const py::handle& key) {
  PyObject* v = PyDict_GetItemWithError(d.ptr(), key.ptr());
  if (v == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return py::reinterpret_borrow<py::object>(v);
}

// Each stratum's law from the fitted state. `position` (class calibration): each
// test row's class among `keys`, -1 for a label that is no class; `inverse` (group
// calibration): each test row's group among `keys`.
Laws laws_of(const Source& source, int64_t n, const py::list& keys,
             const std::vector<int64_t>& position) {
  Laws out;
  if (source.n_calib < 0 || source.cross) return out;
  if (!source.marginal && static_cast<int64_t>(position.size()) != n) return out;
  if (source.marginal) {
    out.strata.push_back(marginal_law(source));
    out.of_row.assign(static_cast<std::size_t>(n), 0);
    out.known = true;
    return out;
  }
  py::object counts = attribute_or_none(source.fitted, "stratum_counts_");
  py::object ranks = source.stratum_ranks.is_none()
                         ? attribute_or_none(source.fitted, "stratum_ranks_")
                         : source.stratum_ranks;
  if (!PyDict_Check(counts.ptr()) || !PyDict_Check(ranks.ptr())) return out;
  // A stratum that fell back follows the fallback: the marginal threshold, or sets
  // and intervals that hold everything.
  py::object fallback = attribute_or_none(source.fitted, "fallback");
  Law fallen;
  if (py::isinstance<py::str>(fallback) && fallback.cast<std::string>() == "marginal") {
    fallen = marginal_law(source);
  } else {
    fallen.kind = Law::kCovered;
  }
  fallen.testable = false;
  for (py::handle key : snapshot(keys)) {
    py::object count = item_of(counts, key), k = item_of(ranks, key);
    std::string name = "the stratum " + py::repr(key).cast<std::string>();
    if (!count || !k || k.is_none()) {
      out.strata.push_back(fallen);
      continue;
    }
    Law law;
    law.n = state_count(count, 1, source.n_calib, "stratum_counts_ of " + name);
    law.k = state_count(k, 1, law.n + 1, "stratum_ranks_ of " + name);
    out.strata.push_back(law);
  }
  int64_t known = static_cast<int64_t>(out.strata.size());
  Law missed;
  missed.kind = Law::kUncovered;  // a label that is no class is in no set
  out.strata.push_back(missed);
  out.of_row.resize(static_cast<std::size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    int64_t p = position[i];
    out.of_row[i] = p >= 0 && p < known ? p : known;
  }
  out.known = true;
  return out;
}

// The whole report as one row, tested against its law when one threshold serves all.
Rows overall_row(int64_t n, int64_t covered, const Tests& tests, bool marginal) {
  Rows out;
  Stratum all;
  all.n = n;
  all.covered = covered;
  out.add(all, tests, marginal && tests.laws->known);
  if (marginal && tests.laws->known) {
    std::vector<int64_t> one(static_cast<std::size_t>(n), 0);
    out.test_by_law(one.data(), 1, tests, true);
  }
  return out;
}

// The least shortfall below the target that a row of n test rows, tested by the
// p-value `p` of its covered count, is sure to have flagged: a p-value at most
// level / `family` is flagged whatever the other tests of Holm's family say. NaN
// when even no covered row would be.
template <typename P>
double sure_shortfall(int64_t n, double target, double level, std::size_t family, P p) {
  level /= static_cast<double>(std::max<std::size_t>(family, 1));
  if (p(0) > level) return std::numeric_limits<double>::quiet_NaN();
  int64_t low = 0, high = n;  // p(low) <= level < p(high + 1)
  while (low < high) {
    int64_t mid = low + (high - low + 1) / 2;
    if (p(mid) <= level) {
      low = mid;
    } else {
      high = mid - 1;
    }
  }
  return target - static_cast<double>(low) / static_cast<double>(n);
}

// The smaller of two shortfalls, NaN standing for none.
double least_of(double a, double b) {
  return std::isnan(a) ? b : std::isnan(b) ? a : std::min(a, b);
}

// What the report is sure to see: through the whole's test where it has one; else
// through the rows with tests of their own (each class or group against its own
// law, or every row against the target), for a shortfall they all share.
void least_detectable(const Rows& overall, const Tests& tests, double level, std::size_t family,
                      bool marginal, const std::vector<const Rows*>& split, Evidence& evidence) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Laws& laws = *tests.laws;
  if (!std::isnan(overall.p_under[0])) {
    int64_t n = overall.n[0];
    CountLaw law(laws.strata, {n});
    evidence.least_detectable = sure_shortfall(n, tests.target, level, family, [&](int64_t x) {
      return law.at_most(static_cast<double>(x));
    });
    return;
  }
  double least = nan;
  if (!marginal && laws.known) {
    std::vector<int64_t> m(laws.strata.size(), 0);
    for (int64_t s : laws.of_row) ++m[s];
    for (std::size_t s = 0; s < laws.strata.size(); ++s) {
      const Law& own = laws.strata[s];
      if (!own.testable || own.kind != Law::kDraw || m[s] == 0) continue;
      CountLaw law({own}, {m[s]});
      least = least_of(least, sure_shortfall(m[s], tests.target, level, family, [&](int64_t x) {
                         return law.at_most(static_cast<double>(x));
                       }));
    }
    evidence.detect_in = evidence.conditional;
  } else {
    for (const Rows* rows : split) {
      for (std::size_t i = 0; i < rows->size(); ++i) {
        int64_t n = rows->n[i];
        if (n == 0 || std::isnan(rows->p_under[i])) continue;
        least = least_of(least, sure_shortfall(n, tests.target, level, family, [&](int64_t x) {
                           return binomial_at_most(x, n, tests.target - tests.tol);
                         }));
      }
    }
    evidence.detect_in = "row";
  }
  evidence.least_detectable = least;
}

// Every row of the split tables below the target and none apart from the whole:
// each row's interval holds the whole's coverage, and no row is flagged short
// while the whole is not. Only then is the shortfall one of the whole, which no
// per-class or per-group threshold mends.
bool low_everywhere(const std::vector<const Rows*>& tables, const Rows& whole, double target) {
  double level = whole.coverage[0];
  if (!(level < target)) return false;
  bool whole_short = whole.flag[0] == "under-covered";
  for (const Rows* rows : tables) {
    for (std::size_t i = 0; i < rows->size(); ++i) {
      if (rows->n[i] == 0) continue;
      if (!(rows->coverage[i] < target) || !(rows->coverage_high[i] >= level)) return false;
      if (!whole_short && rows->flag[i] == "under-covered") return false;
    }
  }
  return true;
}

}  // namespace

namespace {

// The levels evaluate measured at: one, or a flat array of them. The rest of the
// report shows one of them: alpha_, whose calibration state the object keeps,
// where it was evaluated at it, else the first.
struct LevelSlice {
  std::vector<double> alpha;
  bool many = false;
  std::size_t shown = 0;
};

// alpha_ is rounded to 12 significant digits, and so are the levels evaluate keeps.
bool same_level(double a, double b) { return std::fabs(a - b) <= 1e-10 * std::max(a, b); }

LevelSlice read_levels(const py::object& fitted) {
  LevelSlice out;
  const double calibrated = alpha_of(fitted);
  py::object given = attribute_or_none(fitted, "test_alpha_");
  if (given.is_none()) {
    out.alpha.push_back(calibrated);
    return out;
  }
  py::array levels = ns("np").attr("asarray")(given, "dtype"_a = "float64");
  if (levels.ndim() > 1 || levels.size() == 0) {
    throw py::value_error(
        "test_alpha_ must be one level or a flat array of them: call evaluate again");
  }
  out.many = levels.ndim() == 1;
  out.alpha = owned_numbers(levels, "test_alpha_");
  for (double a : out.alpha) {
    if (!(a > 0 && a < 1)) {
      throw py::value_error("test_alpha_ must lie in (0, 1), got " + std::to_string(a) +
                            ": call evaluate again");
    }
  }
  for (std::size_t j = 0; j < out.alpha.size(); ++j) {
    if (same_level(out.alpha[j], calibrated)) {
      out.shown = j;
      break;
    }
  }
  return out;
}

// Each level's covered count and mean set size or width, over the test rows.
struct LevelOutcome {
  LevelSlice slice;
  std::vector<int64_t> covered;
  std::vector<double> mean;
};

// Each row covered or not and the size of its set; `test_y` ravelled.
struct SetOutcome {
  py::object test_y;
  std::vector<uint8_t> covered;
  std::vector<int64_t> size_of;
  std::vector<int64_t> position;  // each label's class, -1 for none
  int64_t full;                   // the size of a set that holds every class
  py::list classes;               // the class of each position, when known
  std::vector<uint8_t> cells;     // the conformal module's sets, row by row
};

SetOutcome procedure_sets(const py::object& fitted) {
  SetOutcome out;
  out.test_y = ns("np").attr("ravel")(fitted.attr("test_y"));
  PredictionSets sets(fitted.attr("test_class"));
  int64_t n = sets.rows();
  if (n != static_cast<int64_t>(py::len(out.test_y))) {
    throw py::value_error("the classifier holds " + std::to_string(n) + " prediction sets for " +
                          std::to_string(py::len(out.test_y)) + " test labels");
  }
  if (n == 0) throw py::value_error("the classifier holds no test rows");
  py::object classes = attribute_or_none(fitted, "classes");
  out.full = class_count(fitted, classes);
  // Without `classes` the members are positions themselves; one far past the
  // class count is no class, and mapping labels up to it would allocate for each.
  if (classes.is_none() && sets.largest() >= std::max<int64_t>(out.full, 2)) {
    throw py::value_error("a prediction set holds " + std::to_string(sets.largest()) +
                          ", beyond the " + std::to_string(std::max<int64_t>(out.full, 2)) +
                          " classes the classifier knows: set its `classes` to the labels the "
                          "set positions stand for");
  }
  std::vector<int64_t> position = label_positions(out.test_y, classes, sets.largest() + 1);
  // Mapping the labels reads them again, through the namespace's np.
  if (static_cast<int64_t>(position.size()) != n) {
    throw py::value_error("the test labels changed while being read");
  }
  out.covered.resize(n);
  out.size_of.resize(n);
  for (int64_t i = 0; i < n; ++i) {
    out.covered[i] = sets.holds(i, position[i]);
    out.size_of[i] = sets.size(i);
  }
  out.position = std::move(position);
  return out;
}

// The conformal module's sets: a bool matrix, rows by `classes_`.
SetOutcome conformal_sets(const py::object& fitted, const LevelSlice& slice, LevelOutcome* levels) {
  SetOutcome out;
  out.test_y = ns("np").attr("ravel")(fitted.attr("test_y_"));
  py::object classes = fitted.attr("classes_");
  int64_t n = static_cast<int64_t>(py::len(out.test_y));
  if (n == 0) throw py::value_error("the classifier holds no test rows");
  out.full = static_cast<int64_t>(py::len(classes));
  std::vector<int64_t> position = label_positions(out.test_y, classes, 0);
  if (static_cast<int64_t>(position.size()) != n) {
    throw py::value_error("the test labels changed while being read");
  }
  // Read after the labels: comparing them may run Python code.
  using BoolMatrix = py::array_t<bool, py::array::c_style | py::array::forcecast>;
  BoolMatrix sets = BoolMatrix::ensure(fitted.attr("sets_"));
  const int64_t count = slice.many ? static_cast<int64_t>(slice.alpha.size()) : 1;
  if (!sets || sets.ndim() != (slice.many ? 3 : 2) || sets.shape(0) != n ||
      sets.shape(1) != out.full || (slice.many && sets.shape(2) != count)) {
    PyErr_Clear();
    throw py::value_error("sets_ must be a bool array of " + std::to_string(n) + " rows by " +
                          std::to_string(out.full) + " classes" +
                          (slice.many ? " by " + std::to_string(count) + " levels" : "") +
                          ": call evaluate again");
  }
  // Sets of many levels: (rows, classes, levels); the report shows one level.
  const bool* all = sets.data();
  const std::size_t shown = slice.shown;
  out.cells.resize(static_cast<std::size_t>(n * out.full));
  for (std::size_t c = 0; c < out.cells.size(); ++c) out.cells[c] = all[c * count + shown];
  if (levels != nullptr) {
    levels->slice = slice;
    levels->covered.assign(static_cast<std::size_t>(count), 0);
    levels->mean.assign(static_cast<std::size_t>(count), 0);
    for (int64_t i = 0; i < n; ++i) {
      const bool* row = all + i * out.full * count;
      for (int64_t j = 0; j < count; ++j) {
        int64_t size = 0;
        for (int64_t c = 0; c < out.full; ++c) size += row[c * count + j];
        levels->mean[j] += static_cast<double>(size);
        levels->covered[j] +=
            position[i] >= 0 && position[i] < out.full && row[position[i] * count + j];
      }
    }
    for (double& m : levels->mean) m /= static_cast<double>(n);
  }
  const uint8_t* cell = out.cells.data();
  out.covered.resize(n);
  out.size_of.resize(n);
  for (int64_t i = 0; i < n; ++i, cell += out.full) {
    out.covered[i] = position[i] >= 0 && position[i] < out.full && cell[position[i]];
    out.size_of[i] = std::count(cell, cell + out.full, true);
  }
  out.position = std::move(position);
  out.classes = py::list(classes.attr("tolist")());
  return out;
}

CalibrationLaw law_of(const Source& source, double confidence) {
  // Thresholds per class or group: the marginal law of one threshold does not hold;
  // nor does it for the fits of a cross-conformal method.
  bool one_threshold = source.marginal && !source.cross;
  return calibration_law(one_threshold ? source.n_calib : -1, source.alpha, confidence);
}

// Cross-conformal coverage has no law given the fits: CV+, jackknife+ and their
// sets promise only E[coverage] >= bound over draws of training and test rows
// (Barber, Candes, Ramdas & Tibshirani 2021, "Predictive inference with the
// jackknife+"; Romano, Sesia & Candes 2020, "Classification with valid and adaptive
// coverage"). What that allows is Markov's inequality on the miss rate M of the
// test rows, E[M] <= 1 - bound: P(M >= m) <= (1 - bound) / m, whatever the fit and
// however the test rows depend on each other. It is tight: fits that cover all or
// nothing meet it, so no valid test of one fit does better. The Beta law of split
// conformal does not apply. Only the whole is tested; classes and segments are
// promised nothing, and are described.
double marginal_p(int64_t covered, int64_t n, double bound) {
  if (covered >= n) return 1;
  double miss = static_cast<double>(n - covered) / static_cast<double>(n);
  return std::min(1.0, (1 - bound) / miss);
}

// The most rows covered that the whole's test still flags at `level`, -1 for none.
int64_t most_flagged(int64_t n, double bound, double level) {
  if (marginal_p(0, n, bound) > level) return -1;
  int64_t low = 0, high = n;  // p(low) <= level < p(high + 1)
  while (low < high) {
    int64_t mid = low + (high - low + 1) / 2;
    if (marginal_p(mid, n, bound) <= level) {
      low = mid;
    } else {
      high = mid - 1;
    }
  }
  return low;
}

// Leaves the whole's test against the bound as the report's only one.
void cross_tests(const std::vector<Rows*>& tested, Rows& overall, const Source& source) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (Rows* rows : tested) {
    rows->p_under.assign(rows->size(), nan);
    rows->p_over.assign(rows->size(), nan);
  }
  overall.p_under[0] = marginal_p(overall.covered[0], overall.n[0], source.bound);
}

// One table's rows, their names and what they stand for.
struct Described {
  const Rows* rows;
  std::vector<std::string> what;
  RowKind kind;
};

// The rows this fit covers less than both the bound and the whole: an exact
// one-sided binomial test of each against the lower of the two, Bonferroni over every
// row of the tables. A statement about this fit on these test rows, not about the
// method, which promises nothing per row: said, never flagged.
void add_below(Evidence& evidence, const std::vector<Described>& tables, double confidence) {
  std::size_t family = 0;
  for (const Described& t : tables) {
    family += static_cast<std::size_t>(
        std::count_if(t.rows->n.begin(), t.rows->n.end(), [](int64_t n) { return n > 0; }));
  }
  if (family == 0) return;
  double level = (1 - confidence) / static_cast<double>(family);
  double whole = static_cast<double>(evidence.covered) / static_cast<double>(evidence.n);
  double below = std::min(evidence.bound, whole);
  if (!(below > 0)) return;
  for (const Described& t : tables) {
    const Rows& rows = *t.rows;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows.n[i] == 0 || binomial_at_most(rows.covered[i], rows.n[i], below) > level) continue;
      evidence.below_bound.push_back({t.what[i], rows.coverage[i], rows.n[i], true, t.kind});
    }
  }
}

// The method, its fits, the bound and the whole's test, in place of the split law.
void describe_cross(const Source& source, const Rows& overall, double level, py::dict& summary,
                    Evidence& evidence) {
  summary.attr("pop")("tol", py::none());  // no row is tested against the target
  summary["n_calib"] = py::int_(source.n_calib);
  if (source.weighted) {
    summary["weighted"] = py::bool_(true);
    summary["calibration_ess"] = py::float_(source.ess);
    if (!source.conditional.empty()) summary["conditional"] = py::str(source.conditional);
    // Rows whose weight left no calibration score at the level, or whose stratum fell back.
    py::object fallback = source.fallback_rows.is_none()
                              ? attribute_or_none(source.fitted, "fallback_rows_")
                              : source.fallback_rows;
    if (!fallback.is_none()) {
      double share = py::float_(ns("np").attr("mean")(fallback, "dtype"_a = "float64"));
      summary["share_fallback"] = py::float_(share);
      evidence.share_fallback = share;
    }
  } else {
    summary["method"] = py::str(source.method);
    summary["n_estimators"] = py::int_(source.fits);
  }
  summary["coverage_bound"] = py::float_(source.bound);
  summary["guarantee"] = py::str(source.guarantee);
  summary["p_adjusted"] = py::float_(overall.p_adjusted[0]);
  summary["flag"] = py::str(overall.flag[0]);
  int64_t n = overall.n[0], most = most_flagged(n, source.bound, level);
  double at_most = most < 0 ? std::numeric_limits<double>::quiet_NaN()
                            : static_cast<double>(most) / static_cast<double>(n);
  summary["flag_at_most"] = py::float_(at_most);
  evidence.cross = true;
  evidence.weighted = source.weighted;
  evidence.calibration_ess = source.ess;
  evidence.n_calib = source.weighted ? source.n_calib : -1;
  evidence.conditional = source.conditional;
  evidence.score = source.score;
  evidence.bound = source.bound;
  evidence.guarantee = source.guarantee;
  evidence.p_whole = overall.p_adjusted[0];
  evidence.flag_at_most = at_most;
  evidence.whole_flag = overall.flag[0];
}

// The share of test rows whose set a fallback changed. Per group, the rows of a
// group that fell back; per class, the rows whose set holds a class that fell
// back, since that class has no threshold of its own to be there by.
void describe_calibration(const Source& source, const Laws& laws, const SetOutcome* sets,
                          py::dict& summary, Evidence& evidence) {
  evidence.conditional = source.conditional;
  evidence.score = source.score;
  evidence.tied = source.tied;
  evidence.ties = source.ties;
  evidence.inclusive = source.inclusive;
  if (source.marginal) return;
  summary["n_calib"] = py::int_(source.n_calib);
  summary["conditional"] = py::str(source.conditional);
  py::object names = source.fallback_groups.is_none()
                         ? attribute_or_none(source.fitted, "fallback_groups_")
                         : source.fallback_groups;
  if (!names.is_none()) {
    for (py::handle name : names) evidence.fallback_names.push_back(text_of(name));
  }
  double share = -1;
  if (source.conditional == "class" && laws.known && sets != nullptr && !sets->cells.empty()) {
    const std::size_t classes = static_cast<std::size_t>(sets->full);
    const std::size_t rows = sets->cells.size() / classes;
    std::vector<std::size_t> fallen;
    for (std::size_t c = 0; c < classes && c < laws.strata.size(); ++c) {
      if (!laws.strata[c].testable) fallen.push_back(c);
    }
    int64_t changed = 0;
    for (std::size_t i = 0; i < rows; ++i) {
      changed += std::any_of(fallen.begin(), fallen.end(),
                             [&](std::size_t c) { return sets->cells[i * classes + c] != 0; });
    }
    share = static_cast<double>(changed) / static_cast<double>(rows);
  } else {
    py::object fallback = source.fallback_rows.is_none()
                              ? attribute_or_none(source.fitted, "fallback_rows_")
                              : source.fallback_rows;
    if (!fallback.is_none()) {
      share = py::float_(ns("np").attr("mean")(fallback, "dtype"_a = "float64"));
    }
  }
  if (share >= 0) {
    summary["share_fallback"] = py::float_(share);
    evidence.share_fallback = share;
  }
}

// The whole report's test, its least detectable shortfall and the shape of a
// shortfall: what the findings need beyond the flagged rows.
void describe_whole(const Rows& overall, const Tests& tests, double level, std::size_t family,
                    bool marginal, const std::vector<const Rows*>& split, py::dict& summary,
                    Evidence& evidence) {
  evidence.whole_tied_over = overall.tied_over[0];
  if (!std::isnan(overall.p_adjusted[0])) {
    summary["p_adjusted"] = py::float_(overall.p_adjusted[0]);
    summary["flag"] = py::str(overall.flag[0]);
    evidence.whole_flag = overall.flag[0];
  }
  evidence.by_law = tests.laws->known;
  if (!marginal && tests.laws->known) {
    // The whole's count follows the sum of the strata's laws.
    std::vector<int64_t> m(tests.laws->strata.size(), 0);
    for (int64_t s : tests.laws->of_row) ++m[s];
    CountLaw whole(tests.laws->strata, m);
    int64_t n = overall.n[0];
    auto count_at = [&](double q) {
      int64_t low = 0, high = n;  // the least count whose cdf reaches q
      while (low < high) {
        int64_t mid = low + (high - low) / 2;
        if (whole.at_most(static_cast<double>(mid)) >= q) {
          high = mid;
        } else {
          low = mid + 1;
        }
      }
      return low;
    };
    evidence.expected_low = count_at(level / 2);
    evidence.expected_high = count_at(1 - level / 2);
    double rows = static_cast<double>(n);
    summary["expected_low"] = py::float_(static_cast<double>(evidence.expected_low) / rows);
    summary["expected_high"] = py::float_(static_cast<double>(evidence.expected_high) / rows);
  }
  least_detectable(overall, tests, level, family, marginal, split, evidence);
  evidence.low_everywhere = low_everywhere(split, overall, tests.target);
}

// `base` as calibrated at `alpha`: the object's own ranks at alpha_, else each
// stratum's rank from its calibration count, as calibrate would set it (None
// where too few rows give one, so that the stratum falls back).
Source level_source(const Source& base, double alpha) {
  Source out = base;
  out.alpha = alpha;
  out.stratum_ranks = out.fallback_groups = py::none();
  if (same_level(alpha, alpha_of(base.fitted))) {
    py::object rank = attribute_or_none(base.fitted, "rank_");
    out.rank = rank.is_none() ? 0 : state_count(rank, 1, out.n_calib + 1, "rank_");
    return out;
  }
  out.rank = 0;
  if (out.marginal) return out;
  py::object counts = attribute_or_none(base.fitted, "stratum_counts_");
  py::dict ranks;
  py::list fallen;
  if (PyDict_Check(counts.ptr())) {
    py::dict held = py::reinterpret_borrow<py::dict>(counts);
    for (py::handle key : snapshot(held)) {
      py::object count = item_of(held, key);
      if (!count) continue;
      int64_t c =
          state_count(count, 1, out.n_calib,
                      "stratum_counts_ of the stratum " + py::repr(key).cast<std::string>());
      int64_t k = conformal_rank(c, alpha);
      if (k <= c) {
        ranks[key] = py::int_(k);
      } else {
        ranks[key] = py::none();
        fallen.append(key);
      }
    }
  }
  out.stratum_ranks = ranks;
  out.fallback_groups = fallen;
  return out;
}

// Over-coverage of a level is tested against its law plus this margin, as a row's is.
constexpr double kLevelOverMargin = 0.05;

// One row per level, each tested against the law of exact split conformal at its
// own alpha (the sum of the strata's laws when conditional), so that the levels
// join the report's one Holm family: the chance of any false flag over all levels
// and tables together stays below 1 - confidence, however the nested sets of the
// levels depend on each other. `range` gets each level's central `confidence`
// range of coverage.
Rows level_rows(const LevelOutcome& levels, const Source& source, int64_t n, const Tests& tests,
                double confidence, const std::function<Laws(const Source&)>& laws_at,
                std::vector<std::pair<double, double>>& range) {
  Rows rows;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double rows_n = static_cast<double>(n);
  for (std::size_t j = 0; j < levels.slice.alpha.size(); ++j) {
    const double alpha = levels.slice.alpha[j];
    Tests own{tests.z, 1 - alpha, kTol, nullptr};
    Stratum s;
    s.n = n;
    s.covered = levels.covered[j];
    s.sum = levels.mean[j] * rows_n;
    rows.add(s, own);
    Laws laws = source.cross ? Laws() : laws_at(level_source(source, alpha));
    if (!laws.known) {
      range.emplace_back(nan, nan);
      continue;
    }
    std::vector<int64_t> m(laws.strata.size(), 0);
    for (int64_t r : laws.of_row) ++m[r];
    // A stratum that fell back to the marginal threshold shares its draw: counted
    // missed for the under test and covered for the over test, as rows.cpp does.
    std::vector<Law> for_under = laws.strata, for_over = laws.strata;
    for (std::size_t k = 0; k < laws.strata.size(); ++k) {
      if (!laws.strata[k].testable && laws.strata[k].kind == Law::kDraw) {
        for_under[k].kind = Law::kUncovered;
        for_over[k].kind = Law::kCovered;
      }
    }
    const double x = static_cast<double>(s.covered);
    rows.p_under[j] = CountLaw(for_under, m).at_most(x);
    rows.p_over[j] = 1 - alpha + kLevelOverMargin < 1
                         ? CountLaw(for_over, m).at_least(x - kLevelOverMargin * rows_n)
                         : nan;
    CountLaw whole(laws.strata, m);
    const double tail = (1 - confidence) / 2;
    range.emplace_back(static_cast<double>(whole.quantile(tail)) / rows_n,
                       static_cast<double>(whole.quantile(1 - tail)) / rows_n);
  }
  return rows;
}

std::string level_text(double alpha) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.6g", alpha);
  return buffer;
}

// The table `levels`, its flagged rows and the finding that says which level the
// rest of the report shows; first among the findings, since it frames them.
void publish_levels(const LevelOutcome& levels, const Rows& rows,
                    const std::vector<std::pair<double, double>>& range, const char* mean_name,
                    double calibrated, double confidence, py::dict& summary, py::dict& tables,
                    Evidence& evidence, std::vector<std::string>& lead) {
  const std::vector<double>& alpha = levels.slice.alpha;
  std::vector<double> target, low, high;
  py::list shown;
  std::vector<std::string> names;
  for (std::size_t j = 0; j < alpha.size(); ++j) {
    target.push_back(1 - alpha[j]);
    low.push_back(range[j].first);
    high.push_back(range[j].second);
    shown.append(py::bool_(j == levels.slice.shown));
    names.push_back("level alpha = " + level_text(alpha[j]));
  }
  py::dict table;
  table["alpha"] = float_array(alpha);
  table["target"] = float_array(target);
  rows.coverage_columns(table);
  table["expected_low"] = float_array(low);
  table["expected_high"] = float_array(high);
  table[mean_name] = float_array(rows.mean);
  table["shown"] = shown;
  rows.test_columns(table);
  tables["levels"] = data_frame(table);
  summary["n_levels"] = py::int_(static_cast<int64_t>(alpha.size()));
  add_flagged(evidence, rows, names, RowKind::kOther);

  std::string listed;
  for (std::size_t j = 0; j < alpha.size(); ++j) {
    listed += (j == 0 ? "" : j + 1 == alpha.size() ? " and " : ", ") + level_text(alpha[j]);
  }
  const double at = alpha[levels.slice.shown];
  std::string which = same_level(at, calibrated)
                          ? "alpha = " + level_text(at) + ", the level calibrated for (alpha_)"
                          : "the first level, alpha = " + level_text(at) +
                                ", since alpha_ = " + level_text(calibrated) +
                                " (the level calibrated for) is not among them";
  char allowed[32];
  std::snprintf(allowed, sizeof allowed, "%.4g %%", (1 - confidence) * 100);
  lead.push_back("Evaluated at " + std::to_string(alpha.size()) + " level" +
                 (alpha.size() == 1 ? "" : "s") + " (alpha " + listed +
                 "): the table levels tests each one's coverage against its own target 1 - "
                 "alpha and the law of its calibration, in one family with every other test "
                 "of the report, so that the chance of any false flag stays below " +
                 allowed + ". The rest of the report shows " + which + ".");
}

py::tuple set_report(const Source& source, const SetOutcome& outcome, const Settings& settings,
                     const LevelOutcome* levels = nullptr) {
  double alpha = source.alpha;
  double target = 1 - alpha;
  double level = 1 - settings.confidence;
  CalibrationLaw calib = law_of(source, settings.confidence);
  Laws laws;
  Tests tests{two_sided_z(settings.confidence), target, kTol, &laws};
  int64_t n = static_cast<int64_t>(outcome.covered.size());
  int64_t full = outcome.full;
  const std::vector<uint8_t>& covered = outcome.covered;
  const std::vector<int64_t>& size_of = outcome.size_of;

  std::vector<double> size(n);
  int64_t contained = 0, one = 0, whole = 0, empty = 0;
  double inverse_sum = 0, size_sum = 0;
  for (int64_t i = 0; i < n; ++i) {
    size[i] = static_cast<double>(size_of[i]);
    contained += covered[i];
    size_sum += size[i];
    // An empty set adds inf, as the procedures' own figure would; the conformal
    // module's report counts it as narrow as one class, so that the mean stays finite.
    inverse_sum += size_of[i] == 0 && source.conformal ? 1 : 1 / size[i];
    one += size_of[i] == 1;
    whole += size_of[i] == full;
    empty += size_of[i] == 0;
  }
  double rows = static_cast<double>(n);

  // Per true label, in np.unique's order.
  auto [labels, label_count, inverse] = unique_inverse(outcome.test_y, n);
  std::vector<Stratum> per_class =
      group_strata(inverse.data(), n, label_count, covered.data(), size.data());
  Rows by_class;
  std::vector<std::string> class_names;
  double gap = 0;
  int64_t worst = 0;
  GroupRows groups;
  group_rows(groups, source, n, outcome.covered, size, tests);
  if (source.conditional == "group") {
    laws = laws_of(source, n, groups.labels, groups.inverse);
  } else {
    laws = laws_of(source, n, outcome.classes, outcome.position);
  }
  for (int64_t c = 0; c < label_count; ++c) {
    by_class.add(per_class[c], tests);
    class_names.push_back("class " + text_of(labels[py::int_(c)]));
    gap += std::fabs(per_class[c].coverage() - target);
    if (per_class[c].coverage() < per_class[worst].coverage()) worst = c;
  }
  if (laws.known)
    by_class.test_by_law(inverse.data(), label_count, tests, source.conditional == "class");
  if (laws.known && groups.present) {
    groups.rows.test_by_law(groups.inverse.data(), static_cast<int64_t>(py::len(groups.labels)),
                            tests, true);
  }

  // Per set size, ascending.
  std::vector<int64_t> distinct(size_of);
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<int64_t> size_group(n);
  for (int64_t i = 0; i < n; ++i) {
    size_group[i] =
        std::lower_bound(distinct.begin(), distinct.end(), size_of[i]) - distinct.begin();
  }
  std::vector<Stratum> per_size = group_strata(
      size_group.data(), n, static_cast<int64_t>(distinct.size()), covered.data(), size.data());
  Rows by_size;
  for (std::size_t k = 0; k < per_size.size(); ++k) {
    // Adaptive sets are small where the model is sure and miss more there by
    // construction (Romano et al. 2020, "Classification with valid and adaptive
    // coverage"): a set size is described, never tested.
    by_size.add(per_size[k], tests, false);
  }

  FeatureTables features;
  bool by_feature = !settings.test_x.is_none();
  if (by_feature) {
    segment_features(features, source.fitted, settings.test_x, covered, size, settings.bins, tests);
  }
  Rows overall = overall_row(n, contained, tests, source.marginal);
  std::vector<Rows*> tested{&overall, &by_class};
  if (by_feature) tested.push_back(&features.rows);
  if (groups.present) tested.push_back(&groups.rows);
  Rows by_level;
  std::vector<std::pair<double, double>> level_range;
  if (levels != nullptr) {
    by_level = level_rows(
        *levels, source, n, tests, settings.confidence,
        [&](const Source& at) {
          return source.conditional == "group" ? laws_of(at, n, groups.labels, groups.inverse)
                                               : laws_of(at, n, outcome.classes, outcome.position);
        },
        level_range);
    tested.push_back(&by_level);
  }
  if (source.cross) cross_tests(tested, overall, source);
  std::size_t family = decide_flags(tested, level, source.tied);
  by_size.p_adjusted.assign(by_size.size(), std::numeric_limits<double>::quiet_NaN());
  by_size.flag.assign(by_size.size(), "");

  py::dict class_table;
  class_table["class"] = labels;
  by_class.coverage_columns(class_table);
  class_table["mean_set_size"] = float_array(by_class.mean);
  by_class.test_columns(class_table);
  py::dict size_table;
  size_table["set_size"] = int_array(distinct);
  by_size.coverage_columns(size_table);
  by_size.test_columns(size_table);

  Evidence evidence;
  py::dict summary = summary_head(n, contained, alpha, tests, calib, settings.confidence, evidence);
  if (source.cross) {
    describe_cross(source, overall, level, summary, evidence);
    std::vector<Described> described{{&by_class, class_names, RowKind::kClass}};
    if (by_feature)
      described.push_back({&features.rows, segment_names(features), RowKind::kSegment});
    add_below(evidence, described, settings.confidence);
  } else {
    describe_calibration(source, laws, &outcome, summary, evidence);
    std::vector<const Rows*> split{&by_class};
    if (by_feature) split.push_back(&features.rows);
    if (groups.present) split.push_back(&groups.rows);
    describe_whole(overall, tests, level, family, source.marginal, split, summary, evidence);
  }
  for (std::size_t k = 0; k < distinct.size(); ++k) {
    if (distinct[k] == 1) {
      evidence.singleton_n = by_size.n[k];
      evidence.singleton_coverage = by_size.coverage[k];
      evidence.singleton_high = by_size.coverage_high[k];
    }
  }
  summary["mean_set_size"] = py::float_(size_sum / rows);
  summary["bandwidth"] = py::float_(1 - inverse_sum / rows);
  summary["share_one_class"] = py::float_(static_cast<double>(one) / rows);
  summary["share_full"] = py::float_(static_cast<double>(whole) / rows);
  summary["share_empty"] = py::float_(static_cast<double>(empty) / rows);
  summary["class_coverage_gap"] = py::float_(gap / static_cast<double>(label_count));
  summary["worst_class"] = labels[py::int_(worst)];
  evidence.share_full = static_cast<double>(whole) / rows;
  evidence.classes = full;
  add_flagged(evidence, by_class, class_names, RowKind::kClass);

  py::dict tables;
  tables["by_class"] = data_frame(class_table);
  tables["by_set_size"] = data_frame(size_table);
  if (by_feature) {
    features.summarise(summary);
    add_flagged(evidence, features.rows, segment_names(features), RowKind::kSegment);
    py::tuple frames = features.frames("mean_set_size");
    tables["by_feature"] = frames[0];
    tables["worst_segments"] = frames[1];
  }
  add_group_table(tables, evidence, groups, "mean_set_size");
  std::vector<std::string> lead;
  if (levels != nullptr) {
    publish_levels(*levels, by_level, level_range, "mean_set_size", alpha_of(source.fitted),
                   settings.confidence, summary, tables, evidence, lead);
  }
  std::vector<std::string> said = findings(evidence);
  lead.insert(lead.end(), said.begin(), said.end());
  return py::make_tuple(summary, tables, to_py(lead));
}

// Bounds, widths and predictions per test row, in owned memory.
struct IntervalOutcome {
  std::vector<double> y, low, up, width, prediction;
  bool closed;  // a y on a bound counts as covered
  py::object test_x;
  const char* names[4];  // of low, up, width and prediction, for messages
};

py::tuple interval_report(const Source& source, const IntervalOutcome& o, const Settings& settings,
                          const LevelOutcome* levels = nullptr) {
  double alpha = source.alpha;
  double target = 1 - alpha;
  int64_t n = static_cast<int64_t>(o.y.size());
  if (n == 0) throw py::value_error("the regressor holds no test rows");
  for (const auto& [array, name] :
       {std::pair<const std::vector<double>*, const char*>{&o.low, o.names[0]},
        {&o.up, o.names[1]},
        {&o.width, o.names[2]},
        {&o.prediction, o.names[3]}}) {
    if (static_cast<int64_t>(array->size()) != n) {
      throw py::value_error(std::string(name) + " must hold one value per test row");
    }
  }
  double level = 1 - settings.confidence;
  CalibrationLaw calib = law_of(source, settings.confidence);
  Laws laws;
  Tests tests{two_sided_z(settings.confidence), target, kTol, &laws};

  std::vector<uint8_t> covered(n);
  int64_t contained = 0;
  double width_sum = 0;
  for (int64_t i = 0; i < n; ++i) {
    covered[i] = o.closed ? (o.low[i] <= o.y[i] && o.y[i] <= o.up[i])
                          : (o.up[i] - o.y[i] > 0) && (o.low[i] - o.y[i] < 0);
    contained += covered[i];
    width_sum += o.width[i];
  }

  py::object test_x = settings.test_x.is_none() ? o.test_x : settings.test_x;
  GroupRows groups;
  group_rows(groups, source, n, covered, o.width, tests);
  laws = laws_of(source, n, groups.labels, groups.inverse);
  if (laws.known && groups.present) {
    groups.rows.test_by_law(groups.inverse.data(), static_cast<int64_t>(py::len(groups.labels)),
                            tests, true);
  }
  FeatureTables features;
  segment_features(features, source.fitted, test_x, covered, o.width, settings.bins, tests);

  Segments by_value = segment_numbers(o.prediction, settings.bins);
  std::vector<Stratum> strata =
      group_strata(by_value.of_row.data(), n, by_value.count(), covered.data(), o.width.data());
  Rows by_prediction;
  std::vector<std::string> prediction_names;
  for (int64_t i = 0; i < by_value.count(); ++i) {
    strata[i].low = by_value.low[i];
    strata[i].high = by_value.high[i];
    by_prediction.add(strata[i], tests);
    by_prediction.label.push_back(by_value.label[i]);
    prediction_names.push_back("predictions " + by_value.label[i]);
  }
  if (laws.known) by_prediction.test_by_law(by_value.of_row.data(), by_value.count(), tests, false);
  Rows overall = overall_row(n, contained, tests, source.marginal);
  std::vector<Rows*> tested{&overall, &features.rows, &by_prediction};
  if (groups.present) tested.push_back(&groups.rows);
  Rows by_level;
  std::vector<std::pair<double, double>> level_range;
  if (levels != nullptr) {
    by_level = level_rows(
        *levels, source, n, tests, settings.confidence,
        [&](const Source& at) { return laws_of(at, n, groups.labels, groups.inverse); },
        level_range);
    tested.push_back(&by_level);
  }
  if (source.cross) cross_tests(tested, overall, source);
  std::size_t family = decide_flags(tested, level, source.tied);

  std::vector<int64_t> prediction_segment;
  for (int64_t i = 0; i < by_value.count(); ++i) prediction_segment.push_back(i);
  py::dict prediction_table;
  prediction_table["segment"] = int_array(prediction_segment);
  by_prediction.range_columns(prediction_table);
  by_prediction.coverage_columns(prediction_table);
  prediction_table["mean_width"] = float_array(by_prediction.mean);
  by_prediction.test_columns(prediction_table);

  double rows = static_cast<double>(n);
  Evidence evidence;
  py::dict summary = summary_head(n, contained, alpha, tests, calib, settings.confidence, evidence);
  if (source.cross) {
    describe_cross(source, overall, level, summary, evidence);
    add_below(evidence,
              {{&features.rows, segment_names(features), RowKind::kSegment},
               {&by_prediction, prediction_names, RowKind::kOther}},
              settings.confidence);
  } else {
    describe_calibration(source, laws, nullptr, summary, evidence);
    std::vector<const Rows*> split{&features.rows, &by_prediction};
    if (groups.present) split.push_back(&groups.rows);
    describe_whole(overall, tests, level, family, source.marginal, split, summary, evidence);
  }
  if (calib.n >= 0) {
    summary["band_low"] = py::float_(1 - alpha);
    summary["band_high"] = py::float_(1 - alpha + 1.0 / static_cast<double>(calib.n + 1));
  }
  summary["mean_width"] = py::float_(width_sum / rows);
  summary["median_width"] = py::float_(median(o.width));
  features.summarise(summary);
  add_flagged(evidence, features.rows, segment_names(features), RowKind::kSegment);
  add_flagged(evidence, by_prediction, prediction_names, RowKind::kOther);

  py::tuple frames = features.frames("mean_width");
  py::dict tables;
  tables["by_feature"] = frames[0];
  tables["worst_segments"] = frames[1];
  tables["by_prediction"] = data_frame(prediction_table);
  add_group_table(tables, evidence, groups, "mean_width");
  std::vector<std::string> lead;
  if (levels != nullptr) {
    publish_levels(*levels, by_level, level_range, "mean_width", alpha_of(source.fitted),
                   settings.confidence, summary, tables, evidence, lead);
  }
  std::vector<std::string> said = findings(evidence);
  lead.insert(lead.end(), said.begin(), said.end());
  return py::make_tuple(summary, tables, to_py(lead));
}

Source procedure_source(const py::object& fitted) {
  return Source{fitted, alpha_of(fitted), calibration_count(fitted), true, py::none(), "", "aps"};
}

// A tolerance for "equal" that absorbs the rounding of sums and shifts at this scale.
double tie_tolerance(double scale) { return 1e-10 * std::max(1.0, scale); }

// The calibration scores of the procedures' regressor that equal the one at the
// threshold's rank, each score read back as how far its target falls outside the
// final band; -1 when the object keeps no bands or no rank applies.
int64_t calibration_ties(const py::object& fitted, int64_t n_calib, double alpha) {
  py::object y = attribute_or_none(fitted, "calib_y");
  py::object low = attribute_or_none(fitted, "calib_low"),
             up = attribute_or_none(fitted, "calib_up");
  if (y.is_none() || low.is_none() || up.is_none()) return -1;
  std::vector<double> target = owned_numbers(y, "calib_y");
  std::vector<double> below = owned_numbers(low, "calib_low"),
                      above = owned_numbers(up, "calib_up");
  const std::size_t n = target.size();
  const int64_t k = conformal_rank(n_calib, alpha);
  if (below.size() != n || above.size() != n || static_cast<int64_t>(n) != n_calib || k < 1 ||
      k > n_calib) {
    return -1;
  }
  std::vector<double> score(n);
  double scale = 0;
  for (std::size_t i = 0; i < n; ++i) {
    score[i] = std::max(below[i] - target[i], target[i] - above[i]);
    scale = std::max({scale, std::fabs(target[i]), std::fabs(below[i]), std::fabs(above[i])});
  }
  std::vector<double> order(score);
  std::nth_element(order.begin(), order.begin() + (k - 1), order.end());
  const double at = order[static_cast<std::size_t>(k - 1)], tol = tie_tolerance(scale);
  return std::count_if(score.begin(), score.end(),
                       [&](double v) { return std::fabs(v - at) <= tol; });
}

// Ties known from the data where the object keeps it, else from the score's name:
// the deterministic "aps" and "raps" scores tie wherever probabilities repeat.
// `least`: the count that shows a tie (a single calibration score always meets its
// own threshold).
void find_ties(Source& source, int64_t count, int64_t least, const char* what) {
  if (count >= 0) {
    source.tied = count >= least;
    if (source.tied) source.ties = std::to_string(count) + " " + what;
    return;
  }
  // `randomized` is the "raps" score's own choice.
  py::object randomized = attribute_or_none(source.fitted, "randomized");
  bool raps_tied = source.score == "raps" && !(randomized.is_none() || truth(randomized));
  source.tied = source.score == "aps" || raps_tied;
  if (source.tied) source.ties = "the score \"" + source.score + "\"";
}

// Each row's own threshold from its weight: no law given the calibration draw, only
// the marginal bound 1 - alpha (Tibshirani, Barber, Candes & Ramdas 2019), tested
// as the cross-conformal bound is.
void weigh(Source& source) {
  py::object ess = source.fitted.attr("ess_");
  if (PyBool_Check(ess.ptr()) || !PyNumber_Check(ess.ptr()) || PyUnicode_Check(ess.ptr())) {
    throw py::type_error("ess_ must be a number, got " + py::repr(ess).cast<std::string>() +
                         ": call calibrate again");
  }
  double value = py::float_(ess);
  // Kish's size lies in [1, n] for weights not all 0.
  if (!(value >= 1 && value <= static_cast<double>(source.n_calib) * (1 + 1e-12))) {
    throw py::value_error(
        "ess_ must lie in [1, n_calibration_ = " + std::to_string(source.n_calib) + "], got " +
        py::repr(ess).cast<std::string>() + ": call calibrate again");
  }
  source.weighted = true;
  source.ess = value;
  source.cross = true;
  source.bound = 1 - source.alpha;
  source.method = "weighted";
  char bound[32];
  std::snprintf(bound, sizeof bound, "%.6g", source.bound);
  source.guarantee = std::string("coverage >= ") + bound +
                     " on average over draws of the calibration and test rows, when the "
                     "weights are the density ratio of the test rows to the calibration rows "
                     "and P(y | x) is the same for both (weighted split conformal)";
}

Source conformal_source(const py::object& fitted, const LevelSlice& slice) {
  Source out{fitted, alpha_of(fitted), -1, true, py::none(), "", ""};
  out.conformal = true;
  out.n_calib = state_count(fitted.attr("n_calibration_"), 1, INT64_MAX - 1, "n_calibration_");
  py::object rank = attribute_or_none(fitted, "rank_");
  if (!rank.is_none()) out.rank = state_count(rank, 1, out.n_calib + 1, "rank_");
  py::object conditional = attribute_or_none(fitted, "conditional");
  if (!conditional.is_none()) {
    out.conditional = py::str(conditional).cast<std::string>();
    out.marginal = false;
  }
  if (out.conditional == "group") out.groups = attribute_or_none(fitted, "test_groups_");
  py::object score = attribute_or_none(fitted, "score");
  if (!score.is_none()) out.score = py::str(score).cast<std::string>();
  py::object ties = attribute_or_none(fitted, "threshold_ties_");
  find_ties(out, ties.is_none() ? -1 : state_count(ties, 0, out.n_calib, "threshold_ties_"), 2,
            "calibration scores share a threshold");
  if (!attribute_or_none(fitted, "shift_").is_none()) weigh(out);
  // The state of the level shown, when it is another than alpha_ or one of many.
  const double shown = slice.alpha[slice.shown];
  if (slice.many || !same_level(shown, out.alpha)) {
    out = level_source(out, shown);
    if (out.weighted) out.bound = 1 - shown;
  }
  py::object fallback = attribute_or_none(fitted, "fallback_rows_");
  if (slice.many && !fallback.is_none()) {
    out.fallback_rows = fallback[py::make_tuple(py::ellipsis(), py::int_(slice.shown))];
  }
  return out;
}

// The state a cross-conformal fit publishes in place of a threshold.
Source cross_source(const py::object& fitted) {
  Source out{fitted, alpha_of(fitted), -1, true, py::none(), "", ""};
  out.conformal = true;
  out.cross = true;
  out.n_calib =
      state_count(fitted.attr("n_calibration_"), 1, INT64_MAX - 1, "n_calibration_", "fit");
  out.fits = state_count(fitted.attr("n_estimators_"), 1, INT64_MAX, "n_estimators_", "fit");
  py::object bound = fitted.attr("coverage_bound_");
  if (PyBool_Check(bound.ptr()) || !PyNumber_Check(bound.ptr()) || PyUnicode_Check(bound.ptr())) {
    throw py::type_error("coverage_bound_ must be a number, got " +
                         py::repr(bound).cast<std::string>() + ": call fit again");
  }
  out.bound = py::float_(bound);
  if (!(out.bound >= 0 && out.bound <= 1)) {
    throw py::value_error("coverage_bound_ must lie in [0, 1], got " +
                          py::repr(bound).cast<std::string>() + ": call fit again");
  }
  for (auto [name, into] : {std::pair<const char*, std::string*>{"method_", &out.method},
                            {"guarantee_", &out.guarantee}}) {
    py::object text = fitted.attr(name);
    if (!py::isinstance<py::str>(text)) {
      throw py::type_error(std::string(name) + " must be a str, got " +
                           py::repr(text).cast<std::string>() + ": call fit again");
    }
    *into = text.cast<std::string>();
  }
  py::object score = attribute_or_none(fitted, "score");
  if (py::isinstance<py::str>(score)) out.score = score.cast<std::string>();
  return out;
}

// The conformal module's intervals: a closed low and high bound per test row.
IntervalOutcome conformal_intervals(const py::object& fitted, const Settings& settings,
                                    const LevelSlice& slice, LevelOutcome* levels) {
  IntervalOutcome o{{}, {},   {},         {},
                    {}, true, py::none(), {"intervals_", "intervals_", "intervals_", "test_pred_"}};
  o.y = owned_numbers(fitted.attr("test_y_"), "test_y_");
  std::vector<double> bounds = owned_numbers(fitted.attr("intervals_"), "intervals_");
  const std::size_t count = slice.many ? slice.alpha.size() : 1, n = o.y.size();
  if (bounds.size() != 2 * n * count) {
    throw py::value_error(std::string("intervals_ must hold a low and a high bound per test row") +
                          (slice.many ? " and level" : "") + ": call evaluate again");
  }
  // Intervals of many levels: (rows, 2, levels); the report shows one level.
  const std::size_t shown = slice.shown;
  for (std::size_t i = 0; i < n; ++i) {
    double low = bounds[2 * i * count + shown], up = bounds[(2 * i + 1) * count + shown];
    o.low.push_back(low);
    o.up.push_back(up);
    o.width.push_back(up - low);
  }
  if (levels != nullptr) {
    levels->slice = slice;
    levels->covered.assign(count, 0);
    levels->mean.assign(count, 0);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < count; ++j) {
        double low = bounds[2 * i * count + j], up = bounds[(2 * i + 1) * count + j];
        // Closed; an empty interval (NaN bounds) covers nothing and is 0 wide.
        levels->covered[j] += low <= o.y[i] && o.y[i] <= up;
        if (up >= low) levels->mean[j] += up - low;
      }
    }
    for (double& m : levels->mean) m /= static_cast<double>(std::max<std::size_t>(n, 1));
  }
  o.prediction = owned_numbers(fitted.attr("test_pred_"), "test_pred_");
  if (settings.test_x.is_none()) o.test_x = fitted.attr("test_x_");
  return o;
}

}  // namespace

py::tuple classification_report(const py::object& fitted, const Settings& settings) {
  Source source = procedure_source(fitted);
  SetOutcome sets = procedure_sets(fitted);
  // Its sets keep the class at which the running sum reaches q: without the random
  // term of Romano, Sesia & Candes (2020) they cover at least what the score's law
  // says, and more wherever that class is likely, so the law's upper tail does not
  // hold even without ties.
  source.inclusive = true;
  source.tied = true;
  return set_report(source, sets, settings);
}

py::tuple conformal_classification_report(const py::object& fitted, const Settings& settings) {
  Settings own = settings;
  if (own.test_x.is_none()) own.test_x = fitted.attr("test_x_");
  LevelSlice slice = read_levels(fitted);
  Source source = conformal_source(fitted, slice);
  LevelOutcome levels;
  SetOutcome sets = conformal_sets(fitted, slice, slice.many ? &levels : nullptr);
  return set_report(source, sets, own, slice.many ? &levels : nullptr);
}

py::tuple regression_report(const py::object& fitted, const Settings& settings) {
  IntervalOutcome o{{}, {},    {},         {},
                    {}, false, py::none(), {"pred_low", "pred_up", "width", "pred_test"}};
  o.y = owned_numbers(fitted.attr("test_y"), "test_y");
  o.low = owned_numbers(fitted.attr("pred_low"), "pred_low");
  o.up = owned_numbers(fitted.attr("pred_up"), "pred_up");
  o.width = owned_numbers(fitted.attr("width"), "width");
  o.prediction = owned_numbers(fitted.attr("pred_test"), "pred_test");
  // Covered as the regressor counts it: strictly inside the interval.
  if (settings.test_x.is_none()) o.test_x = fitted.attr("test_x");
  Source source = procedure_source(fitted);
  source.score = "";
  find_ties(source, calibration_ties(fitted, source.n_calib, source.alpha), 2,
            "calibration scores share the threshold");
  return interval_report(source, o, settings);
}

py::tuple conformal_regression_report(const py::object& fitted, const Settings& settings) {
  LevelSlice slice = read_levels(fitted);
  Source source = conformal_source(fitted, slice);
  LevelOutcome levels;
  IntervalOutcome o = conformal_intervals(fitted, settings, slice, slice.many ? &levels : nullptr);
  py::tuple content = interval_report(source, o, settings, slice.many ? &levels : nullptr);
  add_predictive_section(fitted, settings.bins, settings.confidence, content[0], content[1],
                         content[2]);
  return content;
}

py::tuple cross_classification_report(const py::object& fitted, const Settings& settings) {
  Settings own = settings;
  if (own.test_x.is_none()) own.test_x = fitted.attr("test_x_");
  Source source = cross_source(fitted);
  LevelSlice one;
  one.alpha.push_back(source.alpha);
  return set_report(source, conformal_sets(fitted, one, nullptr), own);
}

py::tuple cross_regression_report(const py::object& fitted, const Settings& settings) {
  Source source = cross_source(fitted);
  LevelSlice one;
  one.alpha.push_back(source.alpha);
  IntervalOutcome o = conformal_intervals(fitted, settings, one, nullptr);
  return interval_report(source, o, settings);
}

}  // namespace report
}  // namespace trov
