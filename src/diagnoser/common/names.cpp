#include "diagnoser/common/names.h"

namespace trov {
namespace {

// Borrowed: the method whose call set it holds a reference for the whole call.
thread_local PyObject* t_globals = nullptr;

// `mapping[name]`, or nullptr when it is missing; other errors propagate.
PyObject* lookup(PyObject* mapping, PyObject* key) {
  PyObject* found = PyDict_GetItemWithError(mapping, key);
  if (found == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return found;
}

}  // namespace

NamespaceScope::NamespaceScope(PyObject* globals) : previous_(t_globals) { t_globals = globals; }

NamespaceScope::~NamespaceScope() { t_globals = previous_; }

py::object ns(const char* name) {
  py::str key(name);
  if (t_globals != nullptr) {
    if (PyObject* found = lookup(t_globals, key.ptr())) {
      return py::reinterpret_borrow<py::object>(found);
    }
  }
  if (PyObject* builtins = PyEval_GetBuiltins()) {
    if (PyObject* found = lookup(builtins, key.ptr())) {
      return py::reinterpret_borrow<py::object>(found);
    }
  }
  PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  throw py::error_already_set();
}

}  // namespace trov
