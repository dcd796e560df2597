#include "diagnoser/common/python_ops.h"

namespace trov {

bool truth(const py::handle& value) {
  int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

py::object compare(const py::handle& a, const py::handle& b, int op) {
  PyObject* result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

std::vector<py::object> unpack(const py::handle& value, std::size_t n) {
  std::vector<py::object> items;
  for (py::handle item : value) {
    if (items.size() == n) {
      PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
      throw py::error_already_set();
    }
    items.push_back(py::reinterpret_borrow<py::object>(item));
  }
  if (items.size() < n) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n,
                 items.size());
    throw py::error_already_set();
  }
  return items;
}

py::object attr_if_present(const py::handle& obj, const char* name) {
  PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
  }
  return py::reinterpret_steal<py::object>(value);
}

py::object attribute_or_none(const py::handle& obj, const char* name) {
  py::object value = attr_if_present(obj, name);
  return value ? value : py::none();
}

py::object first(const py::handle& x) { return x[py::int_(0)]; }

py::str str_of(const py::handle& value) {
  py::object text = py::reinterpret_steal<py::object>(PyObject_Str(value.ptr()));
  if (text && !PyUnicode_CheckExact(text.ptr())) {
    text = py::reinterpret_steal<py::object>(PyUnicode_FromObject(text.ptr()));
  }
  if (!text) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text.release());
}

py::object all_rows() {
  PyObject* slice = PySlice_New(nullptr, nullptr, nullptr);
  if (slice == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(slice);
}

}  // namespace trov
