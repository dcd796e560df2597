// Small pieces the classes that fit estimators share: reading settings, taking rows,
// and the errors for fitted state that fit cannot have left.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

namespace trov {
namespace py = pybind11;
namespace conformal {

std::string repr_of(const py::handle& value);

// ValueError for fitted state that fit cannot have left.
[[noreturn]] void tampered_fit(const std::string& what);

// module.name, imported when the statement runs.
py::object sklearn(const char* module, const char* name);

// An int read once (its __index__ need not answer the same twice), saturated beyond
// int64 so that the range checks after it refuse it by name.
int64_t saturated(const py::handle& value);

// x[rows] for arrays, data frames, lists and sparse matrices alike. x's __getitem__
// gets a copy of the rows: the caller's own are never handed out.
py::object take(const py::object& x, const int64_t* rows, std::size_t count);

// joblib.Parallel(n_jobs)(tasks), under whatever backend the caller chose: the
// fitted `what` (estimator, classifier) of each task, `expected` of them, each as
// its fit returned it; `unit` names what the tasks stand for in the error.
std::vector<py::object> parallel_fits(const py::list& tasks, const py::object& n_jobs,
                                      std::size_t expected, const std::string& what,
                                      const std::string& unit);

py::array_t<double> array_of(const std::vector<double>& values);

}  // namespace conformal
}  // namespace trov
