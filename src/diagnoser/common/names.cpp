#include "diagnoser/common/names.h"

namespace trov {
namespace {

// Process-lifetime references: the module is never torn down, so these are
// deliberately not released at exit (the interpreter may be gone by then).
PyObject* g_globals = nullptr;
PyObject* g_figsize = nullptr;

}  // namespace

py::object ns(const char* name) {
  if (g_globals != nullptr) {
    if (PyObject* found = PyDict_GetItemString(g_globals, name)) {
      return py::reinterpret_borrow<py::object>(found);
    }
  }
  if (PyObject* builtins = PyEval_GetBuiltins()) {
    if (PyObject* found = PyDict_GetItemString(builtins, name)) {
      return py::reinterpret_borrow<py::object>(found);
    }
  }
  PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  throw py::error_already_set();
}

void set_namespace(py::handle globals) {
  Py_XINCREF(globals.ptr());
  Py_XDECREF(g_globals);
  g_globals = globals.ptr();
}

py::handle module_namespace() { return g_globals; }

py::object default_figsize() { return py::reinterpret_borrow<py::object>(g_figsize); }

void create_constants() {
  py::tuple figsize = py::make_tuple(8, 6);
  Py_XDECREF(g_figsize);
  g_figsize = figsize.release().ptr();
}

}  // namespace trov
