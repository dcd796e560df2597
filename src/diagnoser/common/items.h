// Iterating a py::list reads its item array in place, through a pointer taken when
// the loop starts: Python code run in the loop body (a __hash__, a __repr__) may
// resize or free that array, even of a fresh list, which gc.get_referrers reaches.
#pragma once

#include <pybind11/pybind11.h>

namespace trov {
namespace py = pybind11;

// The items of `sequence` in a tuple of its own, which holds them and cannot change.
inline py::tuple items_of(const py::handle& sequence) {
  PyObject* items = PyList_Check(sequence.ptr()) ? PyList_AsTuple(sequence.ptr())
                                                 : PySequence_Tuple(sequence.ptr());
  if (items == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::tuple>(items);
}

// The (key, value) pairs of the dict `d` in a tuple of its own: iterating a dict in
// place hands out borrowed items, which a key's __str__ may replace and free.
inline py::tuple pairs_of(const py::handle& d) {
  py::object pairs = py::reinterpret_steal<py::object>(PyDict_Items(d.ptr()));
  if (!pairs) throw py::error_already_set();
  return items_of(pairs);
}

}  // namespace trov
