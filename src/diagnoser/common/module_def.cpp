#include "diagnoser/common/module_def.h"

#include <pybind11/detail/exception_translation.h>

#include "diagnoser/common/compat.h"

namespace trov {

int exec_module(PyObject* created, Initialise initialise) {
  // Checked before pybind11 is touched: its GIL handling assumes the main interpreter.
  if (!in_main_interpreter()) {
    PyObject* name = PyModule_GetNameObject(created);
    if (name == nullptr) return -1;
    PyErr_Format(PyExc_ImportError,
                 "%U does not support sub-interpreters; import it in the main interpreter", name);
    Py_DECREF(name);
    return -1;
  }
  try {
    initialise(py::reinterpret_borrow<py::module_>(created));
    return 0;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (...) {
    py::detail::try_translate_exceptions();
  }
  return -1;
}

}  // namespace trov
