#include "diagnoser/common/segments.h"

#include <string>

#include "diagnoser/common/items.h"
#include "diagnoser/common/names.h"

namespace trov {

std::vector<py::object> rank_bounds(const py::object& rank_num, const py::object& bins) {
  return rank_bounds(rank_num, py::list(ns("range")(bins)), bins);
}

std::vector<py::object> rank_bounds(const py::object& rank_num, const py::list& segments,
                                    const py::object& bins) {
  py::list levels;
  for (py::handle i : items_of(segments)) levels.append(i / bins);
  std::vector<py::object> out;
  if (py::len(levels) == 0) return out;
  levels.append(py::int_(py::len(levels)) / bins);
  // One np.quantile call for all levels: numpy evaluates each level elementwise
  // exactly as it would alone, and a single partition of the ranks keeps a
  // million rows cheap.
  py::object bounds = ns("np").attr("quantile")(rank_num, ns("np").attr("array")(levels));
  for (py::handle level_bound : bounds) out.push_back(ns("int")(level_bound));
  // np.quantile gives one bound per level, unless the name was rebound.
  if (out.size() != static_cast<std::size_t>(py::len(levels))) {
    throw py::value_error("np.quantile returned " + std::to_string(out.size()) +
                          " rank bounds for " + std::to_string(py::len(levels)) + " levels");
  }
  return out;
}

}  // namespace trov
