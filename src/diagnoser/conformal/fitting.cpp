#include "diagnoser/conformal/fitting.h"

#include "diagnoser/common/items.h"

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

std::vector<py::object> parallel_fits(const py::list& tasks, const py::object& n_jobs,
                                      std::size_t expected, const std::string& what,
                                      const std::string& unit) {
  using py::literals::operator""_a;
  py::object done = sklearn("joblib", "Parallel")("n_jobs"_a = n_jobs)(tasks);
  std::vector<py::object> models;
  for (py::handle model : items_of(done)) {
    if (model.is_none()) {
      throw py::type_error("the " + what + "'s fit returned None: it must return the fitted " +
                           what +
                           " (self), as scikit-learn's estimators do, so that fits run in other "
                           "processes come back");
    }
    models.push_back(py::reinterpret_borrow<py::object>(model));
  }
  if (models.size() != expected) {
    throw py::value_error("joblib returned " + std::to_string(models.size()) + " fits for " +
                          std::to_string(expected) + " " + unit);
  }
  return models;
}

py::array_t<double> array_of(const std::vector<double>& values) {
  return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

}  // namespace conformal
}  // namespace trov
