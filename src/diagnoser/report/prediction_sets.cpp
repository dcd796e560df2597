#include "diagnoser/report/prediction_sets.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>

#include "diagnoser/common/labels.h"
#include "diagnoser/common/names.h"

namespace trov {
namespace report {
namespace {

bool is_ndarray(const py::handle& obj) {
  return PyObject_TypeCheck(obj.ptr(), py::detail::npy_api::get().PyArray_Type_);
}

// A set member as a class position: ints and numpy integers as they are, an
// integral float as its value, anything else as no position.
int64_t position_of(PyObject* member) {
  int overflow = 0;
  if (PyLong_CheckExact(member)) {
    long long v = PyLong_AsLongLongAndOverflow(member, &overflow);
    return overflow != 0 ? kNoPosition : static_cast<int64_t>(v);
  }
  if (PyIndex_Check(member)) {
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(member));
    if (!index) throw py::error_already_set();
    long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return overflow != 0 ? kNoPosition : static_cast<int64_t>(v);
  }
  if (PyFloat_Check(member)) {
    double v = PyFloat_AS_DOUBLE(member);
    bool integral = std::isfinite(v) && std::floor(v) == v && std::fabs(v) < 9e15;
    return integral ? static_cast<int64_t>(v) : kNoPosition;
  }
  return kNoPosition;
}

}  // namespace

PredictionSets::PredictionSets(const py::object& test_class) {
  if (is_ndarray(test_class)) {
    auto a = py::reinterpret_borrow<py::array>(test_class);
    char kind = a.dtype().kind();
    if (a.ndim() == 2 && (kind == 'i' || kind == 'u' || kind == 'b' || a.shape(1) == 0)) {
      // All sets of one length: numpy made a matrix of positions.
      py::ssize_t width = a.shape(1);
      if (kind == 'i' || kind == 'u' || kind == 'b') {
        py::array_t<int64_t, py::array::c_style | py::array::forcecast> m(a);
        values_.assign(m.data(), m.data() + m.size());
        for (int64_t v : values_) largest_ = std::max(largest_, v);
      }
      for (py::ssize_t j = 0; j < a.shape(0); ++j) offsets_.push_back((j + 1) * width);
      return;
    }
  }
  // A list, or an array of set objects: one sequence per row.
  py::object rows = py::reinterpret_steal<py::object>(
      PySequence_Fast(test_class.ptr(), "the prediction sets (test_class) must be a sequence"));
  if (!rows) throw py::error_already_set();
  offsets_.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(rows.ptr())) + 1);
  for (py::ssize_t j = 0; j < PySequence_Fast_GET_SIZE(rows.ptr()); ++j) {
    py::object set = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(rows.ptr(), j));
    read_row(set.ptr());
    offsets_.push_back(static_cast<int64_t>(values_.size()));
  }
}

void PredictionSets::add(int64_t position) {
  values_.push_back(position);
  largest_ = std::max(largest_, position);
}

void PredictionSets::read_row(PyObject* set) {
  if (PyList_CheckExact(set)) {
    // A member's __index__ may run Python code: each is held while it is read,
    // and the size is read again on every step.
    for (py::ssize_t k = 0; k < PyList_GET_SIZE(set); ++k) {
      py::object member = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(set, k));
      add(position_of(member.ptr()));
    }
    return;
  }
  // Array rows and other sequences; the row is held while its members are read.
  py::object row = py::reinterpret_steal<py::object>(
      PySequence_Fast(set, "each prediction set must be a sequence of class positions"));
  if (!row) throw py::error_already_set();
  for (py::ssize_t k = 0; k < PySequence_Fast_GET_SIZE(row.ptr()); ++k) {
    py::object member = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(row.ptr(), k));
    add(position_of(member.ptr()));
  }
}

bool PredictionSets::holds(int64_t row, int64_t position) const {
  if (position < 0) return false;
  const int64_t* begin = values_.data() + offsets_[row];
  const int64_t* end = values_.data() + offsets_[row + 1];
  return std::find(begin, end, position) != end;
}

std::vector<int64_t> label_positions(const py::object& test_y, const py::object& classes,
                                     int64_t positions) {
  // The classifier's own mapping, so that the report counts as its diagnosis does;
  // without `classes` the labels stand for positions themselves.
  py::object np = ns("np");
  py::object known = classes.is_none() ? np.attr("arange")(positions) : classes;
  py::array_t<int64_t> mapped = trov::label_positions(np.attr("ravel")(test_y), known);
  std::vector<int64_t> out(mapped.data(), mapped.data() + mapped.size());
  for (int64_t& position : out) {
    if (position == kNotAClass) position = -1;
  }
  return out;
}

}  // namespace report
}  // namespace trov
