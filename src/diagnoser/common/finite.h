// Refusing NaN and infinite values where they would silently spoil the results.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace trov {
namespace py = pybind11;

// The number of rows (entries along the first axis) of `values` that hold a NaN
// or infinite entry; 0 for values that numpy cannot read as numbers, which the
// steps reading them reject in their own way.
py::ssize_t non_finite_rows(const py::object& values);

// Raises ValueError("<source> <n> rows with NaN or infinite <what> for the <part> part"),
// e.g. "predict_proba returned 3 rows with NaN or infinite probabilities for the test part",
// when `values` has such rows.
void require_finite(const py::object& values, const char* source, const char* what,
                    const char* part);

}  // namespace trov
