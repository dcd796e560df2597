// The method objects of the module's classes: a callable type that binds to
// instances like a Python function, binds arguments by the Python rules and
// marks failures with a traceback entry named after the class and method.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "diagnoser/common/names.h"

namespace trov {
namespace py = pybind11;

// The arguments of one call, one per parameter in declaration order (self first),
// defaults already filled in.
class Args {
 public:
  Args(py::handle params, std::vector<py::object> values)
      : params_(params), values_(std::move(values)) {}
  // The argument of the parameter `name`; a name the method does not declare is
  // a programming error.
  const py::object& operator[](const char* name) const;
  const py::object& self() const { return values_[0]; }

 private:
  py::handle params_;  // tuple of str, owned by the method object for the call's duration
  std::vector<py::object> values_;
};

using Body = py::object (*)(const Args&);

// Builds one class of the module `module` as `type(name, (object,), namespace)`,
// methods in the order added. A null `doc` leaves __doc__ None.
class ClassBuilder {
 public:
  ClassBuilder(const ModuleContext& module, const char* name, const char* doc = nullptr);

  // `defaults` belong to the trailing parameters, as in a Python signature; a last
  // parameter "**name" takes the keywords no other parameter does, as a dict.
  ClassBuilder& method(const char* name, std::vector<const char*> params, py::tuple defaults,
                       Body body, const char* doc = nullptr, const char* file = __builtin_FILE(),
                       int line = __builtin_LINE());
  ClassBuilder& method(const char* name, std::vector<const char*> params, Body body,
                       const char* doc = nullptr, const char* file = __builtin_FILE(),
                       int line = __builtin_LINE());

  py::object create();

 private:
  const ModuleContext& module_;
  std::string name_;
  py::dict namespace_;
};

// A module-level function of `module`, of the same type as the methods.
py::object make_function(const ModuleContext& module, const char* name,
                         std::vector<const char*> params, py::tuple defaults, Body body,
                         const char* doc = nullptr, const char* file = __builtin_FILE(),
                         int line = __builtin_LINE());

// Readies the method type; called by every import before any class is built.
void ready_method_type();

}  // namespace trov
