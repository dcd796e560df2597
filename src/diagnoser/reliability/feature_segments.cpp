#include "diagnoser/reliability/feature_segments.h"

#include <vector>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"

namespace trov {
namespace {

// The rank bounds of every segment, i / bins for i in 0 .. bins, in one
// np.quantile call: numpy evaluates each level elementwise exactly as it would
// alone, and a single partition of the ranks keeps a million rows cheap.
std::vector<py::object> rank_bounds(const py::object& rank_num, const py::list& levels) {
  py::object bounds = ns("np").attr("quantile")(rank_num, ns("np").attr("array")(levels));
  std::vector<py::object> out;
  for (py::handle level_bound : bounds) out.push_back(ns("int")(level_bound));
  return out;
}

}  // namespace

SegmentAverages segment_averages(const py::object& self, const py::object& column,
                                 const py::object& sort_ind, const py::object& rank_num,
                                 const py::object& bins) {
  SegmentAverages avg;
  py::object segments = ns("range")(bins);
  py::list levels;
  for (py::handle i : segments) levels.append(i / bins);
  if (py::len(levels) == 0) {
    throw py::value_error("bins must be a positive integer, got " + text_of(bins));
  }
  if (truth(compare(rank_num.attr("shape")[py::int_(0)], py::int_(0), Py_EQ))) {
    empty_test_part("there are no test rows to cut into segments");
  }
  levels.append(py::int_(py::len(levels)) / bins);
  std::vector<py::object> bound = rank_bounds(rank_num, levels);

  py::object last = bins - py::int_(1);
  py::object np = ns("np");
  std::size_t k = 0;
  for (py::handle i : segments) {
    const py::object& q = bound[k];
    const py::object& q2 = bound[k + 1];
    ++k;
    py::object ranks = py::reinterpret_borrow<py::object>(i).equal(last)
                           ? rank_num[py::slice(q, py::none(), py::none())]
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
