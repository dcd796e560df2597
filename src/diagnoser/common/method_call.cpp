// Calling a method object: argument binding, the body, and on failure one
// traceback entry named after the class and method. No C++ exception leaves
// these functions: they are entered from C.
// Python.h comes before frameobject.h.
#include <Python.h>
#include <frameobject.h>
#include <pybind11/detail/exception_translation.h>

#include <vector>

#include "diagnoser/common/method_object.h"
#include "diagnoser/common/names.h"

namespace trov {
namespace {

// Adds one traceback entry for the method to the pending exception, which is
// otherwise left exactly as it was raised.
void add_traceback_entry(const MethodObject* m, PyObject* globals) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyCodeObject* code = PyCode_NewEmpty(m->file->c_str(), m->trace_name->c_str(), m->line);
  PyFrameObject* frame = nullptr;
  if (code != nullptr) {
    frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
  }
  // Without an entry the exception still propagates unchanged.
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  // On failure it leaves the exception pending (chained to its own): nothing to undo.
  if (frame != nullptr) (void)PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(code);
}

}  // namespace

void restore_current_exception() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (...) {
    try {
      py::detail::try_translate_exceptions();
    } catch (...) {
      PyErr_SetString(PyExc_SystemError, "an exception could not be translated");
    }
  }
}

PyObject* call(MethodObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (m->globals == nullptr || m->defaults == nullptr) {
    // Only a collected cycle clears a method; one that is still called gets an error.
    PyErr_Format(PyExc_ReferenceError, "%U() was cleared with its module and cannot run",
                 m->qualname);
    return nullptr;
  }
  // Held for the call: the body may drop the last other reference to either.
  py::object globals = py::reinterpret_borrow<py::object>(m->globals);
  py::object params = py::reinterpret_borrow<py::object>(m->params);
  NamespaceScope scope(globals.ptr());
  std::vector<py::object> values;
  try {
    values = bind(m, args, nargs, kwnames);
  } catch (...) {
    restore_current_exception();
    return nullptr;
  }
  try {
    py::object result = m->body(Args(params, std::move(values)));
    return result ? result.release().ptr() : py::none().release().ptr();
  } catch (...) {
    restore_current_exception();
  }
  add_traceback_entry(m, globals.ptr());
  return nullptr;
}

#if TROV_VECTORCALL
PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
  return call(reinterpret_cast<MethodObject*>(callable), args, PyVectorcall_NARGS(nargsf), kwnames);
}
#else
// Without vectorcall: the tuple and dict of a classic call, laid out as a vector call.
PyObject* method_call(PyObject* callable, PyObject* args, PyObject* kwargs) try {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
  // Owned: binding compares keywords, which may run code that changes `kwargs`.
  py::tuple kwnames(nkw);
  std::vector<py::object> owned;
  std::vector<PyObject*> stack;
  for (Py_ssize_t i = 0; i < nargs; ++i) stack.push_back(PyTuple_GET_ITEM(args, i));
  Py_ssize_t pos = 0, k = 0;
  PyObject *key, *value;
  while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value)) {
    Py_INCREF(key);
    PyTuple_SET_ITEM(kwnames.ptr(), k++, key);
    owned.push_back(py::reinterpret_borrow<py::object>(value));
    stack.push_back(value);
  }
  return call(reinterpret_cast<MethodObject*>(callable), stack.data(), nargs,
              nkw == 0 ? nullptr : kwnames.ptr());
} catch (...) {
  restore_current_exception();
  return nullptr;
}
#endif

}  // namespace trov
