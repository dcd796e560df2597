// The segments of one feature (or of the prediction) for the report's tables.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

namespace trov {
namespace py = pybind11;
namespace report {

// Each row's segment and, per segment, its label and value range (NaN for
// segments of values, `missing` and `other`).
struct Segments {
  std::vector<int64_t> of_row;
  std::vector<std::string> label;
  std::vector<double> low, high;
  int64_t count() const { return static_cast<int64_t>(label.size()); }
};

// Numbers are cut into at most `bins` segments of nearly equal count, each cut
// moved to the nearest change of value so that equal values share a segment; at
// most `bins` distinct values give one segment per value. Other columns are cut
// by value: the `bins` - 1 most frequent values and `other`. NaN and None rows
// form the last segment, `missing`. Depends on the values only, not on their order.
Segments segment_column(const py::object& column, int64_t rows, int64_t bins, const char* what);

// The numeric core of the above, on owned values; NaN is missing.
Segments segment_numbers(const std::vector<double>& values, int64_t bins);

}  // namespace report
}  // namespace trov
