// Labels mapped to their positions among a classifier's classes, shared by the
// classifier's diagnosis and the coverage report so that both count alike.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

namespace trov {
namespace py = pybind11;

// `a` as a C-contiguous array of T: `a` itself when it already is one.
template <typename T>
py::array_t<T> contiguous(const py::handle& a) {
  auto out = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(a);
  if (!out) {
    if (PyErr_Occurred()) throw py::error_already_set();
    throw py::type_error("labels could not be read as numbers");
  }
  return out;
}

// The position given to a label that is not among the classes: no set holds it.
inline constexpr int64_t kNotAClass = INT64_MIN;

// Per label, the index of the first entry of `classes` (1-D) that equals it, or
// kNotAClass; an int64 array of the labels' shape. Numeric labels and classes are
// matched natively, others by numpy's `==`, one class at a time.
py::array_t<int64_t> label_positions(const py::object& labels, const py::object& classes);
// The same with numpy functions taken from `np` rather than the namespace's `np`.
py::array_t<int64_t> label_positions(const py::object& labels, const py::object& classes,
                                     const py::object& np);

}  // namespace trov
