// The equal-count segments of a ranking, shared by the feature plot and the report.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

namespace trov {
namespace py = pybind11;

// The rank bounds `int(np.quantile(rank_num, i / bins))` for i in 0 .. bins, of the
// ranks `rank_num` (np.arange(n)); empty when `range(bins)` is. Segment i holds the
// ranks from bound i up to bound i + 1, the last one to the end.
std::vector<py::object> rank_bounds(const py::object& rank_num, const py::object& bins);

// The same for the segment numbers `segments`, the list made from `range(bins)`
// once by the caller: always one bound more than there are segments.
std::vector<py::object> rank_bounds(const py::object& rank_num, const py::list& segments,
                                    const py::object& bins);

}  // namespace trov
