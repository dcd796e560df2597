// The per-row loops of AdaptiveConformalClassifier.fit. Each reads numpy buffers
// directly; for inputs of any other type it repeats the element-wise Python
// operations, so the results never differ from them.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>

namespace trov {
namespace py = pybind11;
namespace classifier {

// Per calibration row i, `np.where(sorted_index[i] == pos[i])[0][0]`, with
// `pos` read by position (a pandas Series is indexed by place, not by label).
// IndexError when a row does not hold its position.
py::object true_class_ranks(const py::object& sorted_index, const py::object& pos);

// Per test row i, `sorted_index[i, :set_end[i] + 1].tolist()`, [1, 0] being written [0, 1].
py::list prediction_sets(const py::object& sorted_index, const py::object& set_end);

// `rows` separate lists [0, 1].
py::list full_sets(py::ssize_t rows);

// Two probability columns in one pass: `np.sort(p, axis=1)[:, ::-1]`,
// `np.argsort(p, axis=1)[:, ::-1]` (of two equal probabilities the higher column
// first) and `np.max(p)`, for a 2-D float64 array with two columns; nullopt for
// any other form.
struct TwoColumnOrder {
  py::array_t<double> value;
  py::array_t<int64_t> index;
  double max = 0;
};
std::optional<TwoColumnOrder> order_two_columns(const py::object& prob);

// The calibration scores `np.cumsum(sorted_value, axis=1)[rows, sorted_pos]`
// from the order of the two columns, `pos` read as true_class_ranks reads it;
// nullopt when `pos` is not an int64 vector or column.
std::optional<py::array_t<double>> two_column_scores(const TwoColumnOrder& order,
                                                     const py::object& pos);

// Per test row the set of the classes down to the first place whose cumulative
// probability reaches `q` (`>=`; place 0 when none does), [1, 0] written [0, 1].
py::list two_column_sets(const TwoColumnOrder& order, double q);

}  // namespace classifier
}  // namespace trov
