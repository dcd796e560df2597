#include "diagnoser/common/prediction_sets.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>

#include "diagnoser/common/labels.h"
#include "diagnoser/common/names.h"

namespace trov {
namespace {

// Positions beyond this are left to Python in the classifier: up to it, every numeric
// dtype (float32 included) and every promotion numpy may pick compares them exactly.
constexpr int64_t kLargestExactValue = int64_t{1} << 24;

bool is_ndarray(const py::handle& obj) {
  return Py_TYPE(obj.ptr()) == py::detail::npy_api::get().PyArray_Type_;
}

bool small(int64_t v) { return v <= kLargestExactValue && v >= -kLargestExactValue; }

// The numpy scalar types a member may be; numpy's own, whatever `np` names.
struct ScalarTypes {
  py::object integer, floating;
  ScalarTypes() {
    py::module_ numpy = py::module_::import("numpy");
    integer = numpy.attr("integer");
    floating = numpy.attr("floating");
  }
  // numpy's own scalar types only: a subclass made in Python may override
  // __index__ or __float__, and reading it would run user code.
  bool is(PyObject* member, const py::object& type) const {
    return PyObject_TypeCheck(member, reinterpret_cast<PyTypeObject*>(type.ptr())) != 0 &&
           !PyType_HasFeature(Py_TYPE(member), Py_TPFLAGS_HEAPTYPE);
  }
};

int64_t int_position(PyObject* value) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return overflow != 0 ? kNoPosition : static_cast<int64_t>(v);
}

int64_t float_position(double v) {
  bool integral = std::isfinite(v) && std::floor(v) == v && std::fabs(v) < 9e15;
  return integral ? static_cast<int64_t>(v) : kNoPosition;
}

// A member as a class position, by the rule of PredictionSets; no user code runs.
int64_t position_of(PyObject* member, const ScalarTypes& types) {
  if (PyLong_Check(member) && (PyLong_CheckExact(member) || PyBool_Check(member))) {
    return int_position(member);
  }
  if (types.is(member, types.integer)) {
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(member));
    if (!index) throw py::error_already_set();
    return int_position(index.ptr());
  }
  if (PyFloat_Check(member)) return float_position(PyFloat_AS_DOUBLE(member));
  if (types.is(member, types.floating)) {
    double v = PyFloat_AsDouble(member);
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return float_position(v);
  }
  return kNoPosition;
}

}  // namespace

PredictionSets::PredictionSets(py::object test_class, bool exact_only)
    : source_(std::move(test_class)) {
  if (!(is_ndarray(source_) && read_matrix(source_))) read_rows(exact_only);
  exact_ = exact_ && rows() > 0 && !(flat_ && size(0) == 0);
  if (!exact_ || flat_) row_objects_ = {};
}

void PredictionSets::add(int64_t position) {
  values_.push_back(position);
  largest_ = std::max(largest_, position);
}

bool PredictionSets::read_matrix(const py::object& matrix) {
  auto a = py::reinterpret_borrow<py::array>(matrix);
  char kind = a.dtype().kind();
  bool integral = kind == 'i' || kind == 'b' || (kind == 'u' && a.dtype().itemsize() < 8);
  if (a.ndim() != 2 || !(integral || a.shape(1) == 0)) return false;
  // All sets of one length: numpy made a matrix of positions.
  exact_ = py::isinstance<py::array_t<int64_t>>(a);
  if (integral) {
    py::array_t<int64_t> m = contiguous<int64_t>(a);
    values_.reserve(static_cast<std::size_t>(m.size()));
    for (py::ssize_t k = 0; k < m.size(); ++k) {
      add(m.data()[k]);
      exact_ = exact_ && small(m.data()[k]);
    }
  }
  for (py::ssize_t j = 0; j < a.shape(0); ++j) offsets_.push_back((j + 1) * a.shape(1));
  return true;
}

void PredictionSets::read_rows(bool exact_only) {
  // A list, or an array of set objects: one sequence per row.
  exact_ = PyList_CheckExact(source_.ptr()) ||
           (is_ndarray(source_) && py::reinterpret_borrow<py::array>(source_).ndim() == 1);
  if (exact_only && !exact_) return;
  py::object rows = py::reinterpret_steal<py::object>(
      PySequence_Fast(source_.ptr(), "the prediction sets (test_class) must be a sequence"));
  if (!rows) throw py::error_already_set();
  ScalarTypes types;
  offsets_.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(rows.ptr())) + 1);
  // The size is read again on every step, and each row is held while it is read.
  for (py::ssize_t j = 0; j < PySequence_Fast_GET_SIZE(rows.ptr()); ++j) {
    py::object set = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(rows.ptr(), j));
    // Array rows, tuples and list subclasses are read as sequences, but the
    // answers of numpy and Python about them are left to numpy and Python.
    bool exact_list = PyList_CheckExact(set.ptr());
    exact_ = exact_ && exact_list;
    if (exact_only && !exact_) return;
    py::object row = exact_list ? set
                                : py::reinterpret_steal<py::object>(PySequence_Fast(
                                      set.ptr(), "each prediction set must be a sequence"));
    if (!row) throw py::error_already_set();
    for (py::ssize_t k = 0; k < PySequence_Fast_GET_SIZE(row.ptr()); ++k) {
      // Held: reading a numpy scalar calls into numpy, which may collect garbage.
      py::object member =
          py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(row.ptr(), k));
      bool exact_int = PyLong_CheckExact(member.ptr());
      int64_t position = position_of(member.ptr(), types);
      exact_ = exact_ && exact_int && small(position);
      add(position);
    }
    if (exact_only && !exact_) return;
    offsets_.push_back(static_cast<int64_t>(values_.size()));
    // An array of set objects stays one: numpy flattens only a list.
    flat_ = flat_ && size(j) == size(0) && !is_ndarray(source_);
    if (exact_) row_objects_.push_back(std::move(set));
  }
}

bool PredictionSets::holds(int64_t row, int64_t position) const {
  if (position == kNoPosition || position < 0) return false;
  return std::find(begin(row), end(row), position) != end(row);
}

std::vector<int64_t> label_positions(const py::object& test_y, const py::object& classes,
                                     int64_t positions) {
  // The classifier's own mapping, so that the report counts as its diagnosis does;
  // without `classes` the labels stand for positions themselves.
  py::object np = ns("np");
  py::object known = classes.is_none() ? np.attr("arange")(positions) : classes;
  py::array_t<int64_t> mapped = label_positions(np.attr("ravel")(test_y), known);
  std::vector<int64_t> out(mapped.data(), mapped.data() + mapped.size());
  for (int64_t& position : out) {
    if (position == kNotAClass) position = -1;
  }
  return out;
}

}  // namespace trov
