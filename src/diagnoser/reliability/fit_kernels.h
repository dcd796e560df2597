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

// The calibration scores `np.cumsum(sorted_value, axis=1)[rows, sorted_pos]` of
// two float64 columns in one pass (of two equal probabilities the higher column
// ranks first), `pos` read as true_class_ranks reads it; nullopt for any other
// form of the probabilities or of `pos`.
std::optional<py::array_t<double>> two_column_scores(const py::object& prob, const py::object& pos);

// The test part of two float64 columns in one pass: `np.sort(p, axis=1)[:, ::-1]`,
// `np.argsort(p, axis=1)[:, ::-1]` (ties as above), and, when `q` is below the
// largest probability `np.max(p)`, each row's set: the classes down to the first
// place whose cumulative probability reaches `q` (`>=`; place 0 when none does),
// [1, 0] written [0, 1]. Otherwise `sets` is null: every set is the full one.
struct TwoColumnTest {
  py::array_t<double> value;
  py::array_t<int64_t> index;
  double max = 0;
  py::object sets;  // a list, or null
};
std::optional<TwoColumnTest> two_column_test_part(const py::object& prob, double q);

}  // namespace classifier
}  // namespace trov
