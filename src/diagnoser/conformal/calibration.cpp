#include "diagnoser/conformal/calibration.h"

#include <cmath>
#include <limits>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/finite.h"
#include "diagnoser/common/labels.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/conformal/kernels.h"

namespace trov {
namespace conformal {
namespace {

using py::literals::operator""_a;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Below this many calibration rows a group's coverage varies widely between
// calibration sets: its spread is about sqrt(alpha (1 - alpha) / n).
constexpr int64_t kSmallGroup = 100;

py::object power_of_ten(long exponent) { return py::int_(10).attr("__pow__")(py::int_(exponent)); }

py::object floor_div(const py::object& a, const py::object& b) { return a.attr("__floordiv__")(b); }

std::string repr_of(const py::handle& value) { return py::repr(value).cast<std::string>(); }

}  // namespace

ExactAlpha checked_alpha(const py::object& alpha) {
  PyObject* a = alpha.ptr();
  if (PyBool_Check(a) || PyUnicode_Check(a) || !PyNumber_Check(a)) {
    throw py::type_error("alpha must be a number strictly between 0 and 1, got " + repr_of(alpha));
  }
  double value = py::float_(alpha).cast<double>();
  if (!(value > 0 && value < 1)) {
    throw py::value_error("alpha must lie strictly between 0 and 1, got " + repr_of(alpha));
  }
  // repr gives the shortest decimal that reads back as this float: "0.1", "1e-05".
  std::string text = repr_of(py::float_(value));
  std::string mantissa = text, digits;
  long exponent = 0;
  std::size_t e = text.find_first_of("eE");
  if (e != std::string::npos) {
    mantissa = text.substr(0, e);
    exponent = std::stol(text.substr(e + 1));
  }
  long fraction_digits = 0;
  std::size_t dot = mantissa.find('.');
  if (dot != std::string::npos) fraction_digits = static_cast<long>(mantissa.size() - dot - 1);
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }
  // value = digits * 10^(exponent - fraction_digits), an exponent below 0 as value < 1.
  return {py::int_(py::str(digits)), power_of_ten(fraction_digits - exponent)};
}

int64_t rank_needed(const ExactAlpha& alpha, int64_t n) {
  const py::object& a = alpha.numerator;
  const py::object& b = alpha.denominator;
  py::object k = floor_div(py::int_(n + 1) * (b - a) + b - py::int_(1), b);
  return k.cast<int64_t>();
}

int64_t least_rows(const ExactAlpha& alpha) {
  return floor_div(alpha.denominator - py::int_(1), alpha.numerator).cast<int64_t>();
}

std::string checked_choice(const py::object& value, const char* parameter,
                           std::initializer_list<const char*> choices) {
  std::string names;
  for (const char* choice : choices) {
    if (PyUnicode_Check(value.ptr()) && value.cast<std::string>() == choice) return choice;
    names += (names.empty() ? "'" : ", '") + std::string(choice) + "'";
  }
  throw py::value_error("unknown " + std::string(parameter) + " " + repr_of(value) +
                        ": choose one of " + names);
}

Conditional checked_conditional(const py::object& value, bool classes_allowed) {
  if (value.is_none()) return Conditional::kNone;
  std::string choice = classes_allowed ? checked_choice(value, "conditional", {"class", "group"})
                                       : checked_choice(value, "conditional", {"group"});
  return choice == "class" ? Conditional::kClass : Conditional::kGroup;
}

bool checked_fallback(const py::object& value) {
  return checked_choice(value, "fallback", {"full", "marginal"}) == "full";
}

py::object resolve_groups(const py::object& groups, const py::object& x, py::ssize_t rows,
                          const char* part) {
  if (groups.is_none()) {
    throw py::value_error(std::string("conditional='group' needs the groups of the ") + part +
                          " rows: pass groups=, an array with one group per row or a callable "
                          "that returns it from x");
  }
  py::object values = PyCallable_Check(groups.ptr()) ? groups(x) : groups;
  py::array flat = ns("np").attr("ravel")(ns("np").attr("asarray")(values));
  if (flat.shape(0) != rows) {
    throw py::value_error("groups has " + std::to_string(flat.shape(0)) + " entries for " +
                          std::to_string(rows) + " " + part + " rows: give one group per row");
  }
  return std::move(flat);
}

GroupCodes group_codes(const py::object& groups, const py::object& x, py::ssize_t rows) {
  py::object np = ns("np");
  py::object flat = resolve_groups(groups, x, rows, "calibration");
  py::tuple found = np.attr("unique")(flat, "return_inverse"_a = true);
  return {found[0], np.attr("ravel")(found[1])};
}

namespace {

std::string group_list(const py::list& values) { return repr_of(values); }

void warn(const std::string& message) {
  ns("warnings").attr("warn")(message, py::reinterpret_borrow<py::object>(PyExc_UserWarning));
}

}  // namespace

void store_thresholds(const py::object& self, py::array_t<double> scores, Conditional mode,
                      const py::object& codes, const py::object& group_values, const char* kind) {
  ExactAlpha alpha = checked_alpha(self.attr("alpha"));
  bool full = checked_fallback(self.attr("fallback"));
  const int64_t n = scores.size();
  const int64_t least = least_rows(alpha);
  if (n < least) {
    throw py::value_error("alpha = " + repr_of(self.attr("alpha")) + " needs at least " +
                          std::to_string(least) + " calibration rows, got " + std::to_string(n) +
                          ": give at least " + std::to_string(least) +
                          " calibration rows, or a larger alpha");
  }
  std::vector<double> values(scores.data(), scores.data() + n);
  const int64_t k = rank_needed(alpha, n);
  double marginal;
  {
    py::gil_scoped_release release;
    marginal = kth_smallest(values.data(), n, k);
  }
  const double fallback = full ? kInfinity : marginal;
  py::object threshold = py::float_(marginal);
  py::list fallback_groups;
  if (mode != Conditional::kNone) {
    py::array_t<int64_t> code = contiguous<int64_t>(codes);
    const int64_t groups = py::len(group_values);
    std::vector<int64_t> ranks(static_cast<std::size_t>(groups));
    Grouped grouped;
    {
      py::gil_scoped_release release;
      grouped = group_values_of(scores.data(), code.data(), n, groups);
    }
    for (int64_t g = 0; g < groups; ++g) {
      ranks[g] = grouped.count(g) < least ? 0 : rank_needed(alpha, grouped.count(g));
    }
    std::vector<double> tau(static_cast<std::size_t>(groups), fallback);
    {
      py::gil_scoped_release release;
      for (int64_t g = 0; g < groups; ++g) {
        if (ranks[g] > 0) tau[g] = kth_smallest(grouped.data(g), grouped.count(g), ranks[g]);
      }
    }
    py::list names = group_values.attr("tolist")();
    py::dict per_group;
    py::list small;
    for (int64_t g = 0; g < groups; ++g) {
      per_group[names[g]] = py::float_(tau[g]);
      if (ranks[g] == 0) {
        fallback_groups.append(names[g]);
      } else if (grouped.count(g) < kSmallGroup) {
        small.append(names[g]);
      }
    }
    std::string plural = std::string(kind) == "class" ? "classes" : "groups";
    if (py::len(fallback_groups) > 0) {
      warn(plural + " " + group_list(fallback_groups) +
           " have fewer calibration rows than alpha = " + repr_of(self.attr("alpha")) + " needs (" +
           std::to_string(least) + "); they get the fallback threshold (" +
           (full ? "fallback='full': every class, or an unbounded interval"
                 : "fallback='marginal': the marginal threshold, with no per-" + std::string(kind) +
                       " guarantee") +
           ")");
    }
    if (py::len(small) > 0) {
      warn(plural + " " + group_list(small) + " have fewer than " + std::to_string(kSmallGroup) +
           " calibration rows: their coverage varies widely from one calibration set to "
           "another");
    }
    threshold = per_group;
    self.attr("groups_") = group_values;
  }
  self.attr("threshold_") = threshold;
  self.attr("fallback_threshold_") = py::float_(fallback);
  self.attr("fallback_groups_") = fallback_groups;
  self.attr("n_calibration_") = py::int_(n);
}

RowThresholds row_thresholds(const py::object& self, Conditional mode, const py::object& groups,
                             py::ssize_t rows) {
  py::array_t<double> per_row(rows);
  py::array_t<bool> fallback(rows);
  double* tau = per_row.mutable_data();
  bool* marked = fallback.mutable_data();
  if (mode != Conditional::kGroup) {
    double threshold = py::float_(self.attr("threshold_")).cast<double>();
    std::fill(tau, tau + rows, threshold);
    std::fill(marked, marked + rows, false);
    return {per_row, fallback};
  }
  py::object known = self.attr("groups_");
  py::array_t<int64_t> code = label_positions(groups, known);
  double fallback_tau = py::float_(self.attr("fallback_threshold_")).cast<double>();
  py::list names = known.attr("tolist")();
  py::object thresholds = self.attr("threshold_");
  py::list fallback_groups(self.attr("fallback_groups_"));
  std::vector<double> table;
  std::vector<char> falls_back;
  for (py::handle name : names) {
    table.push_back(py::float_(thresholds[name]).cast<double>());
    falls_back.push_back(fallback_groups.contains(name));
  }
  const int64_t* c = code.data();
  const int64_t count = static_cast<int64_t>(table.size());
  {
    py::gil_scoped_release release;
    for (py::ssize_t i = 0; i < rows; ++i) {
      bool seen = c[i] >= 0 && c[i] < count;
      tau[i] = seen ? table[c[i]] : fallback_tau;
      marked[i] = !seen || falls_back[c[i]];
    }
  }
  return {per_row, fallback};
}

std::vector<double> class_thresholds(const py::object& self, Conditional mode, py::ssize_t classes,
                                     bool* any_fallback) {
  *any_fallback = false;
  if (mode != Conditional::kClass) {
    double threshold = py::float_(self.attr("threshold_")).cast<double>();
    return std::vector<double>(static_cast<std::size_t>(classes), threshold);
  }
  py::object thresholds = self.attr("threshold_");
  std::vector<double> out;
  for (py::handle name : py::list(self.attr("classes_").attr("tolist")())) {
    out.push_back(py::float_(thresholds[name]).cast<double>());
  }
  *any_fallback = py::len(self.attr("fallback_groups_")) > 0;
  return out;
}

py::array_t<double> uniforms(const py::object& random_state, int stream, py::ssize_t rows) {
  py::object random = ns("np").attr("random");
  py::object seeds = with_note(
      [&] { return random.attr("SeedSequence")(random_state).attr("spawn")(2); },
      [&](const py::error_already_set&) -> std::string {
        return "random_state must be None or a non-negative integer, got " + repr_of(random_state);
      });
  py::object generator = random.attr("default_rng")(seeds[py::int_(stream)]);
  return generator.attr("random")(rows);
}

void require_state(const py::object& self, const char* attribute, const char* call) {
  if (py::hasattr(self, attribute)) return;
  std::string name = py::str(py::type::of(self).attr("__qualname__")).cast<std::string>();
  py::object error =
      ns("NotFittedError")("This " + name + " instance has no " + attribute + " yet. Call '" +
                           call + "' with appropriate arguments before using it.");
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

py::array_t<double> numbers(const py::object& x, int ndim, const char* source, const char* what,
                            const char* part) {
  py::object np = ns("np");
  py::array a = np.attr("asarray")(x, "dtype"_a = np.attr("float64"));
  if (a.ndim() != ndim) {
    throw py::value_error(std::string(source) + " " + what + " of shape " +
                          text_of(a.attr("shape")) + " for the " + part + " part; expected " +
                          std::to_string(ndim) + " dimension" + (ndim == 1 ? "" : "s"));
  }
  require_finite(a, source, what, part);
  return py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(a);
}

py::object with_fallback(const py::object& values, const py::object& mask,
                         const py::object& return_fallback) {
  if (truth(return_fallback)) return py::make_tuple(values, mask);
  return values;
}

}  // namespace conformal
}  // namespace trov
