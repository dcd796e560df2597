#include "diagnoser/common/compat.h"

namespace trov {

#if PY_VERSION_HEX >= 0x030A0000

GcPause::GcPause() : was_enabled_(PyGC_Disable() == 1) {}

GcPause::~GcPause() {
  if (was_enabled_) PyGC_Enable();
}

#else

namespace {

// gc.<name>(), or nullptr with the error cleared: pausing is only an optimisation.
PyObject* call_gc(const char* name) {
  PyObject* gc = PyImport_ImportModule("gc");
  PyObject* result = gc != nullptr ? PyObject_CallMethod(gc, name, nullptr) : nullptr;
  Py_XDECREF(gc);
  if (result == nullptr) PyErr_Clear();
  return result;
}

}  // namespace

GcPause::GcPause() {
  // The pause must not disturb an exception being handled by the caller.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (PyObject* enabled = call_gc("isenabled")) {
    was_enabled_ = enabled == Py_True;
    Py_DECREF(enabled);
    if (was_enabled_) Py_XDECREF(call_gc("disable"));
  }
  PyErr_Restore(type, value, traceback);
}

GcPause::~GcPause() {
  if (!was_enabled_) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  Py_XDECREF(call_gc("enable"));
  PyErr_Restore(type, value, traceback);
}

#endif

bool in_main_interpreter() {
#if PY_VERSION_HEX >= 0x03090000
  return PyInterpreterState_Get() == PyInterpreterState_Main();
#else
  return PyThreadState_Get()->interp == PyInterpreterState_Main();
#endif
}

}  // namespace trov
