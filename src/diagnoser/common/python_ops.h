// Python operations spelled as Python evaluates them, where pybind11's own
// operators differ (truth tests, elementwise comparisons, unpacking).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <vector>

namespace trov {
namespace py = pybind11;

// `if value:`; pybind11's operator bool only tests for a null handle.
bool truth(const py::handle& value);

// `a <op> b`, elementwise for arrays (pybind11's operators reduce to one bool).
py::object compare(const py::handle& a, const py::handle& b, int op);

// `a, b, ... = value` with exactly `n` items, raising Python's unpacking errors.
std::vector<py::object> unpack(const py::handle& value, std::size_t n);

// `getattr(obj, name, None)` that tells a missing attribute (a null object) from
// one set to None; errors other than AttributeError propagate.
py::object attr_if_present(const py::handle& obj, const char* name);

// `getattr(obj, name, None)`.
py::object attribute_or_none(const py::handle& obj, const char* name);

// Contiguous float64, cast from whatever numpy can cast.
using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// `x[0]`
py::object first(const py::handle& x);

// `str(value)`: always an exact str (pybind11's py::str keeps a str subclass such
// as numpy.str_ as it is).
py::str str_of(const py::handle& value);

// The slice `:` of `x[:, j]`.
py::object all_rows();

}  // namespace trov
