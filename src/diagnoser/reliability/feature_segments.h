// Equal-count segments of the test rows along one feature, and their averages.
#pragma once

#include <pybind11/pybind11.h>

#include "diagnoser/common/names.h"

namespace trov {
namespace py = pybind11;

// One entry per segment, in segment order: mean width, mean true response,
// mean prediction (0 for an empty segment) and median feature value (NaN when empty).
struct SegmentAverages {
  py::list avg_response, avg_width, avg_x, avg_pred;
};

// Cuts the ranking `sort_ind` of the feature values `column` into `bins`
// segments bounded by `int(np.quantile(rank_num, i / bins))` and averages the
// instance's `width`, `test_y` and `pred_test` over each. ValueError for fewer than
// one segment or no test rows, before anything is drawn.
SegmentAverages segment_averages(const py::object& self, const py::object& column,
                                 const py::object& sort_ind, const py::object& rank_num,
                                 const py::object& bins);

}  // namespace trov
