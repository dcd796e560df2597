// The fitted state of a conformal object, read once per call and published at once,
// so that a call running beside `calibrate` sees the old state or the new one whole.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

namespace trov {
namespace py = pybind11;
namespace conformal {

// The instance's attributes as they stood at one moment: a copy of its __dict__,
// with attribute look-up for names the dict lacks (class attributes, properties).
class Snapshot {
 public:
  // `saved_settings`: settings come from what calibrate saved (false for calibrate
  // itself, which reads them as they stand).
  explicit Snapshot(const py::object& self, bool saved_settings = true);
  // The attribute, or a null object when the instance has none.
  py::object get(const char* name) const;
  // The attribute; AttributeError when missing, as `self.name` raises.
  py::object at(const char* name) const;
  bool has(const char* name) const { return static_cast<bool>(get(name)); }
  // A setting as calibrate read it (see kCalibratedWith), else as it stands now.
  py::object setting(const char* name) const;
  const py::object& self() const { return self_; }

 private:
  py::object self_;
  py::object dict_;   // a dict, or None when the instance has no __dict__
  py::object saved_;  // the settings calibrate saved, or None
};

// Where calibrate keeps the settings it calibrated with: a dict of name -> value.
// Readers take the score and the conditional mode from it, not from attributes a
// user may have changed since, or that a concurrent calibrate is changing.
constexpr const char* kCalibratedWith = "_calibrated_with";

using Items = std::vector<std::pair<const char*, py::object>>;

// Sets the attributes in order; a null value removes the attribute. For a plain instance they go
// into its __dict__ in one step that runs no Python code (the replaced values are released after),
// so no other thread sees some of them set and others not.
void publish(const py::object& self, const Items& items);

// ValueError for fitted state that calibrate cannot have left.
[[noreturn]] void tampered(const std::string& what);

// A threshold read from the fitted state: a real number, not NaN (infinity is the
// fallback's "everything"); `what` names it in the error.
double checked_threshold(const py::handle& value, const std::string& what);

// True when no weak reference to `o` exists: a weak reference is not counted in the
// reference count, yet hands out a new strong one to any thread that calls it.
inline bool unreferenced_weakly(PyObject* o) {
  Py_ssize_t offset = Py_TYPE(o)->tp_weaklistoffset;
  if (offset <= 0) return offset == 0;  // a managed list (negative) is not read here: copy
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset) == nullptr;
}

// `a` when nothing but this reference reaches it and it owns its C-contiguous
// buffer (so no Python code can resize or free that buffer), else a copy. Exactly
// an ndarray: a subclass is tracked by the collector, which hands it to any
// gc.get_objects() caller.
template <typename T>
py::array_t<T> exclusive(py::array_t<T> a) {
  if (!a) return a;  // a failed ensure: the caller names what could not be read
  const int owned = py::detail::npy_api::NPY_ARRAY_OWNDATA_;
  bool alone = Py_REFCNT(a.ptr()) == 1 && (a.flags() & owned) && (a.flags() & py::array::c_style) &&
               Py_TYPE(a.ptr()) == py::detail::npy_api::get().PyArray_Type_ &&
               unreferenced_weakly(a.ptr());
  if (alone) return a;
  std::vector<py::ssize_t> shape(a.shape(), a.shape() + a.ndim());
  py::array_t<T> copy(shape);
  auto source = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(a);
  if (!source) throw py::error_already_set();
  std::copy(source.data(), source.data() + source.size(), copy.mutable_data());
  return copy;
}

}  // namespace conformal
}  // namespace trov
