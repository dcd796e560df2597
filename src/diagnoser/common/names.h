// The namespace of a module, as its methods see it.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace trov {
namespace py = pybind11;

// What a module gives the classes and functions it creates: its namespace (the
// module dict, which every method reads as a Python function reads its
// __globals__), its dotted name and the default objects shared by its methods.
struct ModuleContext {
  py::dict globals;
  std::string name;
  py::object figsize;  // the shared (8, 6)
};

// Makes `globals` the namespace that `ns` reads on this thread until the scope
// ends; scopes nest, so a method calling another module's method is safe.
class NamespaceScope {
 public:
  explicit NamespaceScope(PyObject* globals);
  ~NamespaceScope();
  NamespaceScope(const NamespaceScope&) = delete;
  NamespaceScope& operator=(const NamespaceScope&) = delete;

 private:
  PyObject* previous_;
};

// Looks `name` up in the namespace of the running method's module when the
// statement runs, then in the builtins; raises NameError when neither has it.
py::object ns(const char* name);

}  // namespace trov
