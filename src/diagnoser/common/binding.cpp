// Argument binding of the method objects: the checks and messages follow
// CPython's own order.
#include <string>
#include <vector>

#include "diagnoser/common/method_object.h"

namespace trov {
namespace {

[[noreturn]] void type_error(const MethodObject* m, const std::string& what) {
  PyErr_Format(PyExc_TypeError, "%U() %s", m->qualname, what.c_str());
  throw py::error_already_set();
}

// The keyword goes into the message as the str object it is: a name that is
// not valid UTF-8 (a lone surrogate) has no std::string form.
[[noreturn]] void keyword_error(const MethodObject* m, const char* what, PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, "%U() %s '%U'", m->qualname, what, keyword);
  throw py::error_already_set();
}

std::string quoted(PyObject* name) { return "'" + py::str(name).cast<std::string>() + "'"; }

[[noreturn]] void too_many_positional(const MethodObject* m, Py_ssize_t given) {
  Py_ssize_t total = named_count(m);
  Py_ssize_t required = total - defaults_count(m);
  std::string takes = required == total
                          ? std::to_string(total) + " positional argument" + (total == 1 ? "" : "s")
                          : "from " + std::to_string(required) + " to " + std::to_string(total) +
                                " positional arguments";
  type_error(m, "takes " + takes + " but " + std::to_string(given) +
                    (given == 1 ? " was given" : " were given"));
}

// Parameter names are the method's own, ASCII.
[[noreturn]] void missing_arguments(const MethodObject* m, const std::vector<PyObject*>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += quoted(names[i]);
  }
  type_error(m, "missing " + std::to_string(names.size()) + " required positional argument" +
                    (names.size() == 1 ? "" : "s") + ": " + list);
}

Py_ssize_t param_index(const MethodObject* m, PyObject* keyword) {
  Py_ssize_t total = named_count(m);
  for (Py_ssize_t i = 0; i < total; ++i) {
    if (PyTuple_GET_ITEM(m->params, i) == keyword) return i;
  }
  for (Py_ssize_t i = 0; i < total; ++i) {
    int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(m->params, i), keyword, Py_EQ);
    if (eq < 0) throw py::error_already_set();
    if (eq) return i;
  }
  return -1;
}

}  // namespace

std::vector<py::object> bind(const MethodObject* m, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  Py_ssize_t total = named_count(m);
  // Keyword comparisons may run Python code; the defaults stay held throughout.
  py::object defaults = py::reinterpret_borrow<py::object>(m->defaults);
  Py_ssize_t first_default = total - defaults_count(m);
  std::vector<py::object> values(static_cast<std::size_t>(total));
  py::dict extra;  // the keywords **name collects
  for (Py_ssize_t i = 0; i < nargs && i < total; ++i) {
    values[i] = py::reinterpret_borrow<py::object>(args[i]);
  }
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(keyword)) type_error(m, "keywords must be strings");
    Py_ssize_t i = param_index(m, keyword);
    if (i < 0 && m->var_keyword) {
      if (PyDict_SetItem(extra.ptr(), keyword, args[nargs + k]) < 0) throw py::error_already_set();
      continue;
    }
    if (i < 0) keyword_error(m, "got an unexpected keyword argument", keyword);
    if (values[i]) keyword_error(m, "got multiple values for argument", keyword);
    values[i] = py::reinterpret_borrow<py::object>(args[nargs + k]);
  }
  if (nargs > total) too_many_positional(m, nargs);
  std::vector<PyObject*> missing;
  for (Py_ssize_t i = 0; i < first_default; ++i) {
    if (!values[i]) missing.push_back(PyTuple_GET_ITEM(m->params, i));
  }
  if (!missing.empty()) missing_arguments(m, missing);
  for (Py_ssize_t i = first_default; i < total; ++i) {
    if (!values[i]) {
      values[i] = defaults[py::int_(i - first_default)];
    }
  }
  if (m->var_keyword) values.push_back(std::move(extra));
  return values;
}

}  // namespace trov
