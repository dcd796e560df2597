#include "diagnoser/common/imports.h"

namespace trov {
namespace {

// Absolute import of `module` with the module namespace as globals.
py::object import(const char* module, py::handle globals, py::handle fromlist = py::none()) {
  PyObject* result = PyImport_ImportModuleLevel(module, globals.ptr(), nullptr, fromlist.ptr(), 0);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

}  // namespace

void import_as(py::dict globals, const char* module, const char* alias) {
  globals[alias] = import(module, globals);
}

void import_from(py::dict globals, const char* module, std::initializer_list<Imported> names) {
  py::list fromlist;
  for (const Imported& n : names) fromlist.append(n.name);
  py::object source = import(module, globals, fromlist);
  for (const Imported& n : names) {
    // As `from module import name`: a missing attribute is an ImportError, any
    // other failure of the look-up propagates as it is.
    PyObject* value = PyObject_GetAttrString(source.ptr(), n.name);
    if (value == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n.name, module);
      throw py::error_already_set();
    }
    globals[n.alias] = py::reinterpret_steal<py::object>(value);
  }
}

}  // namespace trov
