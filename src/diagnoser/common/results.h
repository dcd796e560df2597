// The three HTML results lines that end the two main plots, shown one
// statement after the other so that each value is read only once the line
// before it is shown.
#pragma once

#include <pybind11/pybind11.h>

namespace trov {
namespace py = pybind11;

// "<b>Results:</b>"
void display_results_header();
// "Empirical Coverage: {}", the value rounded by np.round to 6 decimals.
void display_coverage(const py::object& coverage);
// "Average Bandwidth: {}", the value rounded by np.round to 6 decimals.
void display_bandwidth(const py::object& bandwidth);

}  // namespace trov
