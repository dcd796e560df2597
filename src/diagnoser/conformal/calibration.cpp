#include "diagnoser/conformal/calibration.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/finite.h"
#include "diagnoser/common/items.h"
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

double rounded_alpha(const py::object& alpha) {
  PyObject* a = alpha.ptr();
  if (PyBool_Check(a) || PyUnicode_Check(a) || !PyNumber_Check(a)) {
    throw py::type_error("alpha must be a number strictly between 0 and 1, got " + repr_of(alpha));
  }
  double value = py::float_(alpha).cast<double>();
  if (!(value > 0 && value < 1)) {
    throw py::value_error("alpha must lie strictly between 0 and 1, got " + repr_of(alpha));
  }
  // Locale-independent, as Python's own float formatting.
  char* text = PyOS_double_to_string(value, 'g', 12, 0, nullptr);
  if (text == nullptr) throw py::error_already_set();
  double rounded = PyOS_string_to_double(text, nullptr, nullptr);
  PyMem_Free(text);
  if (rounded == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  if (!(rounded > 0 && rounded < 1)) {
    throw py::value_error("alpha must lie strictly between 0 and 1, got " + repr_of(alpha) +
                          ", which is " + repr_of(py::float_(rounded)) +
                          " to 12 significant digits");
  }
  return rounded;
}

ExactAlpha checked_alpha(const py::object& alpha) {
  double value = rounded_alpha(alpha);
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

py::object least_rows(const ExactAlpha& alpha) {
  return floor_div(alpha.denominator - py::int_(1), alpha.numerator);
}

int64_t least_rows_clamped(const ExactAlpha& alpha) {
  int overflow = 0;
  long long least = PyLong_AsLongLongAndOverflow(least_rows(alpha).ptr(), &overflow);
  if (least == -1 && PyErr_Occurred()) throw py::error_already_set();
  return overflow != 0 ? INT64_MAX : static_cast<int64_t>(least);
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

py::module_ numpy() { return py::module_::import("numpy"); }

py::array flat_array(const py::object& y) {
  py::module_ np = numpy();
  // A copy in one call: a view of y would dangle once any collection lets Python code
  // resize y, and the next call into Python may run one.
  py::array copy = np.attr("array")(y);
  if (copy.ndim() == 1) return copy;  // its own buffer, which exclusive() then keeps
  return np.attr("ravel")(copy);
}

namespace {

// pandas when it is imported (else no object can be a pandas one), or null.
py::object pandas_if_loaded() {
  PyObject* module = PyImport_GetModule(py::str("pandas").ptr());
  if (module == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(module);
}

// A Series of groups for a DataFrame x, put in the order of x's rows by label.
py::object aligned_groups(const py::object& values, const py::object& x, const char* part) {
  py::object pd = pandas_if_loaded();
  if (!pd || !py::isinstance(values, pd.attr("Series")) ||
      !py::isinstance(x, pd.attr("DataFrame"))) {
    return values;
  }
  py::object rows = x.attr("index"), labels = values.attr("index");
  if (truth(rows.attr("equals")(labels))) return values;
  py::object missing = rows.attr("difference")(labels);
  py::object extra = labels.attr("difference")(rows);
  const std::string advice =
      ": give groups the index of x, or pass groups.to_numpy() to read it by position";
  if (py::len(missing) > 0 || py::len(extra) > 0) {
    throw py::value_error(
        "groups is a pandas Series whose index differs from the index of the " + std::string(part) +
        " x: " + std::to_string(py::len(missing)) + " labels of x have no group (first " +
        repr_of(missing[py::slice(0, 3, 1)].attr("tolist")()) + "), " +
        std::to_string(py::len(extra)) + " labels of groups are not in x" + advice);
  }
  if (!truth(labels.attr("is_unique"))) {
    throw py::value_error(
        "groups is a pandas Series whose index repeats labels in another "
        "order than the index of the " +
        std::string(part) + " x, so its rows cannot be matched" + advice);
  }
  return values.attr("reindex")(rows);
}

}  // namespace

py::array resolve_groups(const py::object& groups, const py::object& x, py::ssize_t rows,
                         const char* part) {
  if (groups.is_none()) {
    throw py::value_error(std::string("conditional='group' needs the groups of the ") + part +
                          " rows: pass groups=, an array with one group per row or a callable "
                          "that returns it from x");
  }
  py::object values = PyCallable_Check(groups.ptr()) ? groups(x) : groups;
  py::array flat = flat_array(aligned_groups(values, x, part));
  if (flat.ndim() != 1 || flat.shape(0) != rows) {
    throw py::value_error("groups has " + std::to_string(flat.size()) + " entries for " +
                          std::to_string(rows) + " " + part + " rows: give one group per row");
  }
  return flat;
}

GroupCodes group_codes(const py::object& groups, const py::object& x, py::ssize_t rows) {
  py::module_ np = numpy();
  py::array flat = resolve_groups(groups, x, rows, "calibration");
  py::tuple found = np.attr("unique")(flat, "return_inverse"_a = true);
  GroupCodes out{np.attr("asarray")(found[0]), py::array_t<int64_t>(rows)};
  auto inverse = contiguous<int64_t>(np.attr("ravel")(found[1]));
  // The kernel writes by code: each must name one of the values.
  const int64_t groups_found = out.values.ndim() == 1 ? out.values.shape(0) : -1;
  if (inverse.size() != rows || groups_found < 0) {
    throw py::value_error("numpy.unique returned " + std::to_string(inverse.size()) +
                          " group codes for " + std::to_string(rows) + " calibration rows");
  }
  int64_t* code = out.codes.mutable_data();
  const int64_t* source = inverse.data();
  for (py::ssize_t i = 0; i < rows; ++i) {
    if (source[i] < 0 || source[i] >= groups_found) {
      throw py::value_error("numpy.unique returned the group code " + std::to_string(source[i]) +
                            " for " + std::to_string(groups_found) + " groups");
    }
    code[i] = source[i];
  }
  return out;
}

namespace {

std::string group_list(const py::list& values) { return repr_of(values); }

}  // namespace

void warn(const std::string& message) {
  if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw py::error_already_set();
}

CalibrationSettings calibration_settings(const py::object& alpha, const py::object& fallback) {
  // Read once: a second __float__ could answer another alpha than the one stored.
  const double rounded = rounded_alpha(alpha);
  return {alpha, rounded, checked_alpha(py::float_(rounded)), checked_fallback(fallback)};
}

Items calibrated_state(const CalibrationSettings& settings, const py::array_t<double>& scores,
                       Conditional mode, const py::array_t<int64_t>& codes,
                       const py::object& group_values, const char* kind, FoundThresholds* found) {
  const ExactAlpha& alpha = settings.exact;
  const bool full = settings.full_fallback;
  const int64_t n = scores.size();
  const int64_t least = least_rows_clamped(alpha);
  if (n < least) {
    std::string needed = text_of(least_rows(alpha));
    throw py::value_error("alpha = " + repr_of(settings.alpha) + " needs at least " + needed +
                          " calibration rows, got " + std::to_string(n) + ": give at least " +
                          needed + " calibration rows, or a larger alpha");
  }
  // Gather: the group names and counts before any kernel runs.
  py::list names;
  int64_t groups = 0;
  if (mode != Conditional::kNone) {
    names = py::list(py::reinterpret_borrow<py::object>(group_values).attr("tolist")());
    groups = static_cast<int64_t>(names.size());
    if (codes.size() != n) {
      throw py::value_error("got " + std::to_string(codes.size()) + " group codes for " +
                            std::to_string(n) + " calibration scores");
    }
    const int64_t* c = codes.data();
    for (int64_t i = 0; i < n; ++i) {
      if (c[i] < 0 || c[i] >= groups) {
        throw py::value_error("a calibration row has the group code " + std::to_string(c[i]) +
                              " for " + std::to_string(groups) + " groups");
      }
    }
  }
  std::vector<double> values(scores.data(), scores.data() + n);
  std::vector<int64_t> code(codes.data(), codes.data() + (mode != Conditional::kNone ? n : 0));
  const int64_t k = rank_needed(alpha, n);
  std::vector<int64_t> ranks(static_cast<std::size_t>(groups));
  Grouped grouped;
  double marginal;
  {
    py::gil_scoped_release release;
    if (groups > 0) grouped = group_values_of(values.data(), code.data(), n, groups);
    marginal = kth_smallest(values.data(), n, k);
  }
  // rank_needed is Python integer arithmetic: between the kernel passes.
  for (int64_t g = 0; g < groups; ++g) {
    ranks[g] = grouped.count(g) < least ? 0 : rank_needed(alpha, grouped.count(g));
  }
  const double fallback = full ? kInfinity : marginal;
  std::vector<double> tau(static_cast<std::size_t>(groups), fallback);
  // Scores that share a threshold put more rows under it than its rank needs: the
  // report reads this count to know whether coverage may exceed the law of
  // scores without ties.
  int64_t ties = 0;
  {
    py::gil_scoped_release release;
    for (int64_t g = 0; g < groups; ++g) {
      if (ranks[g] > 0) tau[g] = kth_smallest(grouped.data(g), grouped.count(g), ranks[g]);
    }
    auto sharing = [](const double* v, int64_t count, double t) {
      return static_cast<int64_t>(std::count(v, v + count, t));
    };
    if (groups == 0) ties = sharing(values.data(), n, marginal);
    for (int64_t g = 0; g < groups; ++g) {
      if (ranks[g] > 0) ties = std::max(ties, sharing(grouped.data(g), grouped.count(g), tau[g]));
    }
  }
  if (found != nullptr) *found = {marginal, tau};
  Items state;
  py::object threshold = py::float_(marginal);
  py::list fallback_groups;
  py::object counts = py::object(), group_ranks = py::object();  // null: removed
  if (mode != Conditional::kNone) {
    py::dict per_group, count_of, rank_of;
    py::list small;
    for (int64_t g = 0; g < groups; ++g) {
      per_group[names[g]] = py::float_(tau[g]);
      count_of[names[g]] = py::int_(grouped.count(g));
      rank_of[names[g]] = ranks[g] > 0 ? py::object(py::int_(ranks[g])) : py::object(py::none());
      if (ranks[g] == 0) {
        fallback_groups.append(names[g]);
      } else if (grouped.count(g) < kSmallGroup) {
        small.append(names[g]);
      }
    }
    std::string plural = std::string(kind) == "class" ? "classes" : "groups";
    if (py::len(fallback_groups) > 0) {
      warn(plural + " " + group_list(fallback_groups) +
           " have fewer calibration rows than alpha = " + repr_of(settings.alpha) + " needs (" +
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
    counts = count_of;
    group_ranks = rank_of;
  }
  // Left from an earlier conditional calibration, they would describe another one.
  state.emplace_back("groups_", mode != Conditional::kNone ? group_values : py::object());
  state.emplace_back("stratum_counts_", counts);
  state.emplace_back("stratum_ranks_", group_ranks);
  state.emplace_back("alpha_", py::float_(settings.rounded));
  state.emplace_back("rank_", py::int_(k));
  state.emplace_back("threshold_", threshold);
  state.emplace_back("fallback_threshold_", py::float_(fallback));
  state.emplace_back("fallback_groups_", fallback_groups);
  state.emplace_back("n_calibration_", py::int_(n));
  state.emplace_back("threshold_ties_", py::int_(ties));
  return state;
}

namespace {

// A fitted attribute as a 1-D array of its own; tampered state otherwise. Copied:
// the model's call or the groups' may refill the instance's array in place, after
// the thresholds were read by it.
py::array fitted_values(const Snapshot& state, const char* name) {
  py::array a = numpy().attr("array")(state.at(name));
  if (a.ndim() != 1) tampered(std::string(name) + " is not one-dimensional");
  return a;
}

}  // namespace

GroupTable group_table(const Snapshot& state) {
  GroupTable out;
  out.known = fitted_values(state, "groups_");
  out.fallback_tau = checked_threshold(state.at("fallback_threshold_"), "fallback_threshold_");
  py::list names = out.known.attr("tolist")();
  py::object thresholds = state.at("threshold_");
  if (!PyDict_Check(thresholds.ptr())) tampered("threshold_ is no dict of the groups' thresholds");
  py::list fallback_groups(state.at("fallback_groups_"));
  for (py::handle name : items_of(names)) {
    PyObject* tau = PyDict_GetItemWithError(thresholds.ptr(), name.ptr());
    if (tau == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      tampered("threshold_ has no threshold for the group " + repr_of(name));
    }
    // Held: the check may call into numpy.
    py::object value = py::reinterpret_borrow<py::object>(tau);
    out.tau.push_back(checked_threshold(value, "the threshold of the group " + repr_of(name)));
    out.falls_back.push_back(fallback_groups.contains(name));
  }
  return out;
}

void group_rows(const GroupTable& table, const int64_t* code, int64_t rows, double* tau,
                bool* marked) {
  const int64_t count = static_cast<int64_t>(table.tau.size());
  for (int64_t i = 0; i < rows; ++i) {
    bool seen = code[i] >= 0 && code[i] < count;
    tau[i] = seen ? table.tau[code[i]] : table.fallback_tau;
    marked[i] = !seen || table.falls_back[code[i]];
  }
}

double marginal_threshold(const Snapshot& state) {
  py::object threshold = state.at("threshold_");
  if (PyDict_Check(threshold.ptr())) {
    tampered("threshold_ is a dict, but the object was calibrated without conditional");
  }
  return checked_threshold(threshold, "threshold_");
}

std::vector<double> class_thresholds(const Snapshot& state, const py::list& names,
                                     bool* any_fallback) {
  py::object thresholds = state.at("threshold_");
  if (!PyDict_Check(thresholds.ptr())) tampered("threshold_ is no dict of the classes' thresholds");
  std::vector<double> out;
  for (py::handle name : items_of(names)) {
    PyObject* tau = PyDict_GetItemWithError(thresholds.ptr(), name.ptr());
    if (tau == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      tampered("threshold_ has no threshold for the class " + repr_of(name));
    }
    py::object value = py::reinterpret_borrow<py::object>(tau);
    out.push_back(checked_threshold(value, "the threshold of the class " + repr_of(name)));
  }
  Py_ssize_t falling = PyObject_Length(state.at("fallback_groups_").ptr());
  if (falling < 0) {
    PyErr_Clear();
    tampered("fallback_groups_ is no list");
  }
  *any_fallback = falling > 0;
  return out;
}

py::object stream_entropy(const py::object& random_state) {
  py::object random = numpy().attr("random");
  return with_note(
      [&] {
        py::object entropy = random.attr("SeedSequence")(random_state).attr("entropy");
        // SeedSequence takes a sequence of ints too; the documented form is one int.
        if (!PyLong_CheckExact(entropy.ptr())) {
          throw py::type_error("random_state " + repr_of(random_state) + " is no single integer");
        }
        return entropy;
      },
      [&](const py::error_already_set&) -> std::string {
        return "random_state must be None or a non-negative integer, got " + repr_of(random_state);
      });
}

StreamKey stream_key(const py::object& entropy, int stream, const py::object& partition) {
  py::module_ np = numpy();
  py::tuple spawn =
      partition.is_none() ? py::make_tuple(stream) : py::make_tuple(stream, partition);
  py::object sequence = np.attr("random").attr("SeedSequence")(entropy, "spawn_key"_a = spawn);
  py::object words = sequence.attr("generate_state")(2, "dtype"_a = np.attr("uint64"));
  auto key = py::array_t<uint64_t, py::array::c_style>::ensure(words);
  if (!key || key.ndim() != 1 || key.shape(0) != 2 ||
      !py::isinstance<py::array_t<uint64_t>>(words)) {
    PyErr_Clear();
    throw py::value_error("SeedSequence.generate_state returned " + repr_of(words) +
                          " instead of two uint64 words");
  }
  return {{key.data()[0], key.data()[1]}};
}

namespace {

// (entropy, next counter) as calibrate left it; null when either is not so.
bool read_stream(PyObject* value, py::object* entropy, uint64_t* next) {
  if (value == nullptr || !PyTuple_CheckExact(value) || PyTuple_GET_SIZE(value) != 2) return false;
  PyObject* e = PyTuple_GET_ITEM(value, 0);
  PyObject* n = PyTuple_GET_ITEM(value, 1);
  if (!PyLong_CheckExact(e) || !PyLong_CheckExact(n)) return false;
  unsigned long long counter = PyLong_AsUnsignedLongLong(n);
  if (counter == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  *entropy = py::reinterpret_borrow<py::object>(e);
  *next = counter;
  return true;
}

}  // namespace

constexpr int kReserveTries = 1000;

Reserved reserve_draws(const py::object& self, uint64_t rows, const py::object& calibrated,
                       const char* identity) {
  PyObject* dict_ptr = PyObject_GenericGetDict(self.ptr(), nullptr);
  if (dict_ptr == nullptr) throw py::error_already_set();
  py::object dict = py::reinterpret_steal<py::object>(dict_ptr);
  py::str name(kPredictionStream), threshold_key(identity);
  // Compare and swap: making the new tuple may run a collection, and a finaliser
  // may let another thread reserve in between; then read again, a bounded number
  // of times, since a key whose __eq__ replaces the stream on every look-up would
  // otherwise hold the caller here for ever.
  for (int tries = 0;; ++tries) {
    if (tries == kReserveTries) {
      throw py::value_error(std::string(kPredictionStream) + " changed during each of " +
                            std::to_string(kReserveTries) +
                            " tries to reserve draws from it: call calibrate again, and leave "
                            "the fitted attributes to the object");
    }
    PyObject* current = PyDict_GetItemWithError(dict.ptr(), name.ptr());
    if (current == nullptr && PyErr_Occurred()) throw py::error_already_set();
    // Held before the next look-up: a key whose hash matches runs its __eq__, which
    // may replace the stream and free the borrowed one.
    py::object held = py::reinterpret_borrow<py::object>(current);
    // Same object: `calibrated` keeps the old one alive, so its address is not reused.
    PyObject* threshold = PyDict_GetItemWithError(dict.ptr(), threshold_key.ptr());
    if (threshold == nullptr && PyErr_Occurred()) throw py::error_already_set();
    if (threshold != calibrated.ptr()) throw Recalibrated();
    Reserved out;
    if (!read_stream(held.ptr(), &out.entropy, &out.start)) {
      tampered(std::string(kPredictionStream) +
               " is not the (entropy, counter) pair calibrate sets");
    }
    if (rows > UINT64_MAX - out.start) {
      throw py::value_error("the prediction stream is used up: call calibrate again");
    }
    py::object next = py::make_tuple(out.entropy, py::int_(static_cast<size_t>(out.start + rows)));
    PyObject* now = PyDict_GetItemWithError(dict.ptr(), name.ptr());
    if (now == nullptr && PyErr_Occurred()) throw py::error_already_set();
    if (now != held.ptr()) continue;
    if (PyDict_SetItem(dict.ptr(), name.ptr(), next.ptr()) < 0) throw py::error_already_set();
    return out;
  }
}

Reserved prediction_stream(const Snapshot& state) {
  Reserved out;
  py::object value = state.get(kPredictionStream);
  if (!read_stream(value.ptr(), &out.entropy, &out.start)) {
    tampered(std::string(kPredictionStream) + " is not the (entropy, counter) pair calibrate sets");
  }
  return out;
}

void warn_if_alpha_changed(const Snapshot& state) {
  py::object stored = state.get("alpha_"), current = state.get("alpha");
  if (!stored || !current) return;
  bool same = false;
  try {
    same = rounded_alpha(current) == py::float_(stored).cast<double>();
  } catch (const std::exception&) {
    same = false;  // an alpha calibrate would refuse is no alpha the results were made for
  }
  if (same) return;
  warn("alpha is " + repr_of(current) + " but the object was calibrated for alpha_ = " +
       repr_of(stored) + ", which these results still use: call calibrate again for the new alpha");
}

void require_state(const Snapshot& state, const char* attribute, const char* call) {
  if (state.has(attribute)) return;
  std::string name = py::str(py::type::of(state.self()).attr("__qualname__")).cast<std::string>();
  py::object error =
      ns("NotFittedError")("This " + name + " instance has no " + attribute + " yet. Call '" +
                           call + "' with appropriate arguments before using it.");
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

py::array_t<double> numbers(const py::object& x, int ndim, const char* source, const char* what,
                            const char* part) {
  py::module_ np = numpy();
  py::array a = np.attr("asarray")(x, "dtype"_a = np.attr("float64"));
  if (a.ndim() != ndim) {
    throw py::value_error(std::string(source) + " " + what + " of shape " +
                          text_of(a.attr("shape")) + " for the " + part + " part; expected " +
                          std::to_string(ndim) + " dimension" + (ndim == 1 ? "" : "s"));
  }
  // Contiguous first: require_finite then reads the buffer and calls no numpy function.
  auto values = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(a);
  if (!values) throw py::error_already_set();
  require_finite(values, source, what, part);
  return values;
}

py::object with_fallback(const py::object& values, const py::object& mask,
                         const py::object& return_fallback) {
  if (truth(return_fallback)) return py::make_tuple(values, mask);
  return values;
}

}  // namespace conformal
}  // namespace trov
