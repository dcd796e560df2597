// Differences between the interpreters the module supports (3.7 and later),
// kept here so that the classes read the same on all of them.
#pragma once

#include <pybind11/pybind11.h>

namespace trov {
namespace py = pybind11;

// Vectorcall is public API from 3.9; before, the method type is called
// through tp_call alone.
#if PY_VERSION_HEX >= 0x03090000
#define TROV_VECTORCALL 1
#else
#define TROV_VECTORCALL 0
#endif

// Only 3.8 and later know this flag; without it, an attribute call binds
// through tp_descr_get as for any descriptor.
#ifndef Py_TPFLAGS_METHOD_DESCRIPTOR
#define Py_TPFLAGS_METHOD_DESCRIPTOR 0
#endif

// The module's entry point. Before 3.9 PyMODINIT_FUNC does not mark it visible,
// and the module is built with hidden symbols.
#define TROV_MODULE_INIT extern "C" PYBIND11_EXPORT PyObject*

// The reference count of a statically allocated object (Py_SET_REFCNT is 3.9+).
inline void set_refcount(PyObject* object, Py_ssize_t count) {
#if PY_VERSION_HEX >= 0x03090000
  Py_SET_REFCNT(object, count);
#else
  Py_REFCNT(object) = count;
#endif
}

// The length of a variable-size object whose items the caller manages
// (Py_SET_SIZE is 3.9+).
inline void set_size(PyObject* object, Py_ssize_t size) {
  reinterpret_cast<PyVarObject*>(object)->ob_size = size;
}

// Pauses the cyclic garbage collector while many small objects are made: each
// allocation would otherwise count towards a collection that walks them all.
// PyGC_Disable is 3.10+; before, the gc module does the same.
class GcPause {
 public:
  GcPause();
  ~GcPause();
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_ = false;
};

// True when this thread runs in the process's main interpreter: the module's
// static types cannot be shared with sub-interpreters.
bool in_main_interpreter();

}  // namespace trov
