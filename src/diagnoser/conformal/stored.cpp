#include "diagnoser/conformal/stored.h"

#include <cmath>
#include <limits>
#include <string>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/items.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/conformal/weighted.h"

namespace trov {
namespace conformal {
namespace {

using py::literals::operator""_a;

// Where the kernels' layout is kept: (values, start), as SortedScores holds them.
constexpr const char* kStored = "_calibration_scores";
constexpr double kInfinity = std::numeric_limits<double>::infinity();

std::string repr_of(const py::handle& value) { return py::repr(value).cast<std::string>(); }

template <typename T>
py::array_t<T> array_of(const T* first, int64_t count) {
  py::array_t<T> out(static_cast<py::ssize_t>(count));
  std::copy(first, first + count, out.mutable_data());
  return out;
}

}  // namespace

Items stored_state(const py::array_t<double>& scores, const py::array_t<int64_t>& codes,
                   int64_t groups, const py::object& names) {
  const int64_t n = scores.size();
  // Checked again: Python ran since calibrated_state checked them.
  const int64_t* code = groups > 0 ? codes.data() : nullptr;
  if (code != nullptr && codes.size() != n) {
    throw py::value_error("the calibration groups changed while they were read");
  }
  for (int64_t i = 0; code != nullptr && i < n; ++i) {
    if (code[i] < 0 || code[i] >= groups) {
      throw py::value_error("the calibration groups changed while they were read");
    }
  }
  const py::ssize_t total = code != nullptr ? 2 * n : n;
  py::array_t<double> flat(total);
  py::array_t<int64_t> start(code != nullptr ? groups + 2 : 2);
  {
    const double* s = scores.data();
    double* values = flat.mutable_data();
    int64_t* offsets = start.mutable_data();
    py::gil_scoped_release release;
    sort_strata(s, code, n, groups, values, offsets);
  }
  // Read-only, and shared with calibration_scores_: one copy of the scores in memory
  // (a pickle keeps one too without strata, as it stores a shared object once).
  flat.attr("setflags")("write"_a = false);
  py::object shown = flat;
  if (code != nullptr) {
    py::list listed = names.attr("tolist")();
    if (static_cast<int64_t>(listed.size()) != groups) {
      throw py::value_error("the calibration groups changed while they were read");
    }
    py::dict per_stratum;
    for (int64_t g = 0; g < groups; ++g) {
      py::slice part(static_cast<py::ssize_t>(start.data()[1 + g]),
                     static_cast<py::ssize_t>(start.data()[2 + g]), 1);
      per_stratum[listed[g]] = flat[part];
    }
    shown = per_stratum;
  }
  py::object layout = py::make_tuple(flat, start);
  return {{"calibration_scores_", shown}, {kStored, layout}};
}

SortedScores stored_scores(const Snapshot& state, int64_t strata) {
  py::object layout = state.get(kStored);
  if (!layout) {
    tampered(std::string(kStored) +
             " is missing (an object calibrated before scores were kept, or state removed)");
  }
  if (!PyTuple_CheckExact(layout.ptr()) || PyTuple_GET_SIZE(layout.ptr()) != 2) {
    tampered(std::string(kStored) + " is not the (values, start) pair calibrate sets");
  }
  py::module_ np = numpy();
  // Copies: the model's call may change the instance's arrays in place afterwards.
  auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
      np.attr("array")(layout[py::int_(0)], "dtype"_a = np.attr("float64")));
  auto start = py::array_t<int64_t, py::array::c_style | py::array::forcecast>::ensure(
      np.attr("array")(layout[py::int_(1)], "dtype"_a = np.attr("int64")));
  if (!values || !start) throw py::error_already_set();
  SortedScores out;
  out.values.assign(values.data(), values.data() + values.size());
  out.start.assign(start.data(), start.data() + start.size());
  const auto total = static_cast<int64_t>(out.values.size());
  bool fits = values.ndim() == 1 && start.ndim() == 1 &&
              static_cast<int64_t>(out.start.size()) == strata + 2 && out.start.front() == 0 &&
              out.start.back() == total;
  for (std::size_t s = 0; fits && s + 1 < out.start.size(); ++s) {
    fits = out.start[s] <= out.start[s + 1];
  }
  // Every row is in stratum 0, and with strata in exactly one of them.
  if (fits && strata > 0) fits = 2 * out.start[1] == total;
  if (!fits) tampered(std::string(kStored) + " does not hold the strata the calibration had");
  for (std::size_t s = 0; s + 1 < out.start.size(); ++s) {
    for (int64_t j = out.start[s]; j < out.start[s + 1]; ++j) {
      if (std::isnan(out.values[j]) || (j > out.start[s] && out.values[j - 1] > out.values[j])) {
        tampered(std::string(kStored) + " holds scores that are NaN or out of order");
      }
    }
  }
  return out;
}

py::object Levels::published() const {
  if (!many) return py::float_(rounded.front());
  return array_of(rounded.data(), count());
}

Levels checked_levels(const py::object& alpha) {
  Levels out;
  if (alpha.is_none()) return out;
  out.given = true;
  PyObject* a = alpha.ptr();
  bool scalar = PyUnicode_Check(a) || PyBool_Check(a) ||
                (PyNumber_Check(a) && !PySequence_Check(a)) ||
                (py::isinstance<py::array>(alpha) && py::array(alpha).ndim() == 0);
  py::list items;
  if (scalar) {
    items.append(alpha);
  } else {
    if (!PySequence_Check(a)) {
      throw py::type_error(
          "alpha must be a number strictly between 0 and 1 or a sequence of "
          "them, got " +
          repr_of(alpha));
    }
    items = py::list(alpha);
    out.many = true;
    if (items.empty()) throw py::value_error("alpha is an empty sequence: give at least one level");
  }
  for (py::handle item : items_of(items)) {
    py::object level = py::reinterpret_borrow<py::object>(item);
    // Read once: the published level is the one the thresholds are for.
    out.rounded.push_back(rounded_alpha(level));
    out.exact.push_back(checked_alpha(py::float_(out.rounded.back())));
  }
  return out;
}

LevelTable level_table(const SortedScores& scores, const Levels& levels, bool full_fallback) {
  SortedStrata view = scores.view();
  const int64_t strata = static_cast<int64_t>(scores.start.size()) - 1;
  LevelTable out;
  out.levels = levels.count();
  out.tau.assign(static_cast<std::size_t>((strata + 1) * out.levels), kInfinity);
  out.falls.assign(out.tau.size(), 1);
  const int64_t n = view.count(0);
  for (int64_t j = 0; j < out.levels; ++j) {
    const ExactAlpha& alpha = levels.exact[j];
    const int64_t least = least_rows_clamped(alpha);
    if (n < least) {
      std::string needed = text_of(least_rows(alpha));
      throw py::value_error("alpha = " + repr_of(py::float_(levels.rounded[j])) +
                            " needs at least " + needed +
                            " calibration rows, but the object was "
                            "calibrated on " +
                            std::to_string(n) + ": give a larger alpha, or calibrate on at least " +
                            needed + " rows");
    }
    // The k-th smallest, k = ceil((n + 1)(1 - alpha)), as calibrate finds it.
    const double marginal = view.begin(0)[rank_needed(alpha, n) - 1];
    const double fallback = full_fallback ? kInfinity : marginal;
    for (int64_t s = 0; s <= strata; ++s) {
      const std::size_t at = static_cast<std::size_t>(s * out.levels + j);
      const int64_t count = s < strata ? view.count(s) : 0;
      if (s == 0) {
        out.tau[at] = marginal;
        out.falls[at] = 0;
      } else if (s < strata && count >= least) {
        out.tau[at] = view.begin(s)[rank_needed(alpha, count) - 1];
        out.falls[at] = 0;
      } else {
        out.tau[at] = fallback;  // too few rows, or the unseen groups' entry
      }
    }
  }
  return out;
}

bool full_fallback_of(const Snapshot& state) {
  // calibrate leaves +inf there for "full" only: the marginal threshold is finite.
  return std::isinf(checked_threshold(state.at("fallback_threshold_"), "fallback_threshold_"));
}

void refuse_weighted(const Snapshot& state, const char* what) {
  if (!is_weighted(state)) return;
  throw py::value_error(std::string(what) +
                        " is not available for a calibration with shift: each new row's "
                        "threshold depends on its weight; calibrate once per alpha instead");
}

py::object published_levels(const py::array& values, const py::object& columns,
                            const char* column_name, const py::array_t<bool>& fallback,
                            const Levels& levels, const Output& output,
                            const py::object& return_fallback) {
  if (!output.pandas) return with_fallback(values, fallback, return_fallback);
  py::module_ pd = py::module_::import("pandas");
  py::module_ np = numpy();
  const py::ssize_t rows = values.shape(0);
  py::object alphas = levels.published();
  // Level by level: (rows, levels, columns), then one column per (alpha, column).
  py::object wide = np.attr("moveaxis")(values, 2, 1).attr("reshape")(rows, -1);
  py::object names = pd.attr("MultiIndex")
                         .attr("from_product")(py::make_tuple(alphas, columns),
                                               "names"_a = py::make_tuple("alpha", column_name));
  py::object frame = published(wide, names, fallback, output, py::bool_(false));
  if (!truth(return_fallback)) return frame;
  py::object mask =
      pd.attr("DataFrame")(fallback, "index"_a = frame.attr("index"),
                           "columns"_a = pd.attr("Index")(alphas, "name"_a = "alpha"));
  return py::make_tuple(frame, mask);
}

}  // namespace conformal
}  // namespace trov
