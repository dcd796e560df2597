// The import statements a module's initialisation runs into its own namespace.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>

namespace trov {
namespace py = pybind11;

// `import module as alias`
void import_as(py::dict globals, const char* module, const char* alias);

struct Imported {
  const char* name;
  const char* alias;
};

// `from module import name [as alias], ...`
void import_from(py::dict globals, const char* module, std::initializer_list<Imported> names);

}  // namespace trov
