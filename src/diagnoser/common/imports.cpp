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
    if (!py::hasattr(source, n.name)) {
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n.name, module);
      throw py::error_already_set();
    }
    globals[n.alias] = source.attr(n.name);
  }
}

}  // namespace trov
