// Iterating a py::list reads its item array in place, through a pointer taken when
// the loop starts: Python code run in the loop body (a __str__, say) may resize or
// free that array. The report iterates snapshots instead.
#pragma once

#include <pybind11/pybind11.h>

namespace trov {
namespace py = pybind11;
namespace report {

// The items of `sequence` in a tuple of its own, which holds them and cannot change;
// a list (of any type) is copied item by item, as iterating it in place would read it.
inline py::tuple snapshot(const py::handle& sequence) {
  PyObject* items = PyList_Check(sequence.ptr()) ? PyList_AsTuple(sequence.ptr())
                                                 : PySequence_Tuple(sequence.ptr());
  if (items == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::tuple>(items);
}

}  // namespace report
}  // namespace trov
