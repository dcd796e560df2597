#include "diagnoser/conformal/state.h"

#include <cmath>

#include "diagnoser/common/python_ops.h"

namespace trov {
namespace conformal {
namespace {

// The instance dict itself, or None for an object without one.
py::object instance_dict(const py::object& self) {
  PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr);
  if (dict == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
  }
  auto out = py::reinterpret_steal<py::object>(dict);
  return PyDict_Check(dict) ? out : py::object(py::none());
}

py::object item(const py::object& dict, const char* name) {
  if (dict.is_none()) return py::object();
  PyObject* found = PyDict_GetItemString(dict.ptr(), name);
  return py::reinterpret_borrow<py::object>(found);
}

// True when no class on the instance's MRO defines `name`: then setting it is a
// plain store into the instance dict (no descriptor, no user code).
bool plain_attribute(const py::object& self, const char* name) {
  PyObject* mro = Py_TYPE(self.ptr())->tp_mro;
  if (mro == nullptr || !PyTuple_Check(mro)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
    if (dict != nullptr && PyDict_GetItemString(dict, name) != nullptr) return false;
  }
  return true;
}

}  // namespace

Snapshot::Snapshot(const py::object& self, bool saved_settings) : self_(self) {
  py::object dict = instance_dict(self);
  if (!dict.is_none()) {
    PyObject* copy = PyDict_Copy(dict.ptr());
    if (copy == nullptr) throw py::error_already_set();
    dict_ = py::reinterpret_steal<py::object>(copy);
  } else {
    dict_ = py::none();
  }
  // Copied: the saved dict is the instance's own object, which a user may change.
  py::object saved = saved_settings ? get(kCalibratedWith) : py::object();
  saved_ = py::none();
  if (saved && PyDict_CheckExact(saved.ptr())) {
    PyObject* copy = PyDict_Copy(saved.ptr());
    if (copy == nullptr) throw py::error_already_set();
    saved_ = py::reinterpret_steal<py::object>(copy);
  }
}

py::object Snapshot::get(const char* name) const {
  py::object found = item(dict_, name);
  return found ? found : attr_if_present(self_, name);
}

py::object Snapshot::at(const char* name) const {
  py::object found = get(name);
  if (!found) return self_.attr(name);  // raises the AttributeError
  return found;
}

py::object Snapshot::setting(const char* name) const {
  py::object found = item(saved_, name);
  return found ? found : at(name);
}

void publish(const py::object& self, const Items& items) {
  py::object dict = instance_dict(self);
  bool plain = !dict.is_none() && Py_TYPE(self.ptr())->tp_setattro == PyObject_GenericSetAttr;
  for (const auto& entry : items) plain = plain && plain_attribute(self, entry.first);
  if (!plain) {
    for (const auto& entry : items) {
      if (entry.second) {
        self.attr(entry.first) = entry.second;
      } else if (py::hasattr(self, entry.first)) {
        py::delattr(self, entry.first);
      }
    }
    return;
  }
  std::vector<py::str> keys;
  std::vector<py::object> replaced;
  for (const auto& entry : items) {
    keys.emplace_back(entry.first);
    replaced.push_back(item(dict, entry.first));
  }
  // Held until every store is done: releasing a replaced value may run a finaliser.
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!items[i].second) {
      if (replaced[i] && PyDict_DelItem(dict.ptr(), keys[i].ptr()) < 0) {
        throw py::error_already_set();
      }
    } else if (PyDict_SetItem(dict.ptr(), keys[i].ptr(), items[i].second.ptr()) < 0) {
      throw py::error_already_set();
    }
  }
}

void tampered(const std::string& what) {
  throw py::value_error(what +
                        ": the fitted state is not what calibrate leaves; call calibrate "
                        "again to calibrate the object again");
}

double checked_threshold(const py::handle& value, const std::string& what) {
  PyObject* v = value.ptr();
  bool number = PyFloat_Check(v) || (PyLong_Check(v) && !PyBool_Check(v));
  if (!number) {
    // numpy's real scalars (float64, int32, ...), but no strings or other objects.
    py::module_ numpy = py::module_::import("numpy");
    number = !PyBool_Check(v) && (py::isinstance(value, numpy.attr("floating")) ||
                                  py::isinstance(value, numpy.attr("integer")));
  }
  if (!number) tampered(what + " is " + py::repr(value).cast<std::string>() + ", not a number");
  double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  if (std::isnan(d)) tampered(what + " is NaN");
  return d;
}

}  // namespace conformal
}  // namespace trov
