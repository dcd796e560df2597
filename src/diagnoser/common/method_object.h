// The layout of a method object, shared by the three pieces that work on it:
// argument binding, the call, and the type itself (method.cpp).
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "diagnoser/common/compat.h"
#include "diagnoser/common/method.h"

namespace trov {
namespace py = pybind11;

struct MethodObject {
  PyObject_HEAD
#if TROV_VECTORCALL
      vectorcallfunc vectorcall;
#endif
  PyObject* name;       // str
  PyObject* qualname;   // str, "Class.method"
  PyObject* module;     // str
  PyObject* params;     // tuple of str, self first
  PyObject* doc;        // str, or None
  PyObject* defaults;   // tuple, or None when there are none; NULL once cleared
  PyObject* globals;    // the module namespace; NULL once cleared
  PyObject* signature;  // inspect.Signature, made on first request
  Body body;
  int var_keyword;          // 1 when the last parameter collects the other keywords (**name)
  std::string* trace_name;  // "<module>.<Class>.<method>"
  std::string* file;
  int line;
};

// The parameters that take positional or keyword arguments, self included.
inline Py_ssize_t named_count(const MethodObject* m) {
  return PyTuple_GET_SIZE(m->params) - m->var_keyword;
}

inline Py_ssize_t defaults_count(const MethodObject* m) {
  return m->defaults == Py_None ? 0 : PyTuple_GET_SIZE(m->defaults);
}

// The values of all parameters, self first, for the arguments of a vector call:
// CPython's rules and messages. Raises error_already_set with a TypeError.
std::vector<py::object> bind(const MethodObject* m, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

// Runs the method: binds, calls the body and, when it fails, adds the method's
// traceback entry. Never lets a C++ exception out.
PyObject* call(MethodObject* m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The type's call slot: vectorcall where the interpreter has it, else tp_call.
#if TROV_VECTORCALL
PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames);
#else
PyObject* method_call(PyObject* callable, PyObject* args, PyObject* kwargs);
#endif

// Sets the pending Python exception from the C++ exception being handled; call
// it only inside a catch block.
void restore_current_exception();

}  // namespace trov
