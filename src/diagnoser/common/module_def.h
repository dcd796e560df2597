// What the package's modules share in their definition: multi-phase
// initialisation, one namespace per module object, no sub-interpreters.
#pragma once

#include <pybind11/pybind11.h>

namespace trov {
namespace py = pybind11;

using Initialise = void (*)(py::module_);

// The exec slot: runs `initialise` on the new module object, turning a C++
// exception into the pending Python one. On failure the import system drops the
// module, so nothing of it stays reachable.
int exec_module(PyObject* created, Initialise initialise);

template <Initialise initialise>
int exec_slot(PyObject* created) {
  return exec_module(created, initialise);
}

// The slots of a module whose exec runs `initialise`.
template <Initialise initialise>
PyModuleDef_Slot* module_slots() {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(exec_slot<initialise>)},
#if PY_VERSION_HEX >= 0x030C0000
      {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
      // The methods keep per-object state in plain attributes, read and set in
      // steps that rely on the GIL to be atomic; a free-threaded interpreter
      // enables the GIL when it imports the module.
      {Py_mod_gil, Py_MOD_GIL_USED},
#endif
      {0, nullptr},
  };
  return slots;
}

}  // namespace trov
