// The three HTML results lines that end the two main plots.
#pragma once

#include <pybind11/pybind11.h>

namespace trov {
namespace py = pybind11;

// Shows "<b>Results:</b>", "Empirical Coverage: {}" and "Average Bandwidth: {}",
// each value rounded by np.round to 6 decimals.
void display_results(const py::object& coverage, const py::object& bandwidth);

}  // namespace trov
