#include "diagnoser/conformal/fitting.h"

namespace trov {
namespace conformal {

std::string repr_of(const py::handle& value) { return py::repr(value).cast<std::string>(); }

void tampered_fit(const std::string& what) {
  throw py::value_error(what + ": the fitted state is not what fit leaves; call fit again");
}

py::object sklearn(const char* module, const char* name) {
  return py::module_::import(module).attr(name);
}

int64_t saturated(const py::handle& value) {
  py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!index) throw py::error_already_set();
  int overflow = 0;
  long long out = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (out == -1 && PyErr_Occurred()) throw py::error_already_set();
  return overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : out;
}

py::object take(const py::object& x, const int64_t* rows, std::size_t count) {
  py::array_t<int64_t> copy(static_cast<py::ssize_t>(count), rows);
  return sklearn("sklearn.utils", "_safe_indexing")(x, copy);
}

py::array_t<double> array_of(const std::vector<double>& values) {
  return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

}  // namespace conformal
}  // namespace trov
