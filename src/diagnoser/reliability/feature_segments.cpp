#include "diagnoser/reliability/feature_segments.h"

#include <vector>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/common/segments.h"

namespace trov {
SegmentAverages segment_averages(const py::object& self, const py::object& column,
                                 const py::object& sort_ind, const py::object& rank_num,
                                 const py::object& bins) {
  SegmentAverages avg;
  // `range(bins)` once: a `bins` whose __index__ changes between two reads must
  // not make the bounds and the segments disagree in number.
  py::list segments(ns("range")(bins));
  if (py::len(segments) == 0) {
    throw py::value_error("bins must be a positive integer, got " + text_of(bins));
  }
  if (truth(compare(rank_num.attr("shape")[py::int_(0)], py::int_(0), Py_EQ))) {
    empty_test_part("there are no test rows to cut into segments");
  }
  std::vector<py::object> bound = rank_bounds(rank_num, segments, bins);

  py::object np = ns("np");
  const std::size_t count = bound.size() - 1;
  for (std::size_t k = 0; k < count; ++k) {
    const py::object& q = bound[k];
    const py::object& q2 = bound[k + 1];
    // The last of range(bins) is bins - 1: its segment reaches to the end.
    py::object ranks = k + 1 == count ? rank_num[py::slice(q, py::none(), py::none())]
                                      : rank_num[py::slice(q, q2, py::none())];
    py::object tar_ind = sort_ind[ranks];
    if (py::object(tar_ind.attr("shape")[py::int_(0)]).equal(py::int_(0))) {
      avg.avg_width.append(0);
      avg.avg_response.append(0);
      avg.avg_pred.append(0);
    } else {
      avg.avg_width.append(np.attr("mean")(self.attr("width")[tar_ind]));
      avg.avg_response.append(np.attr("mean")(self.attr("test_y")[tar_ind]));
      avg.avg_pred.append(np.attr("mean")(self.attr("pred_test")[tar_ind]));
    }
    avg.avg_x.append(np.attr("median")(column[tar_ind].attr("ravel")()));
  }
  return avg;
}

}  // namespace trov
