// Per-row loops of AdaptiveConformalClassifier. Each reads numpy buffers and
// Python lists of ints directly; for inputs of any other type it repeats the
// element-wise Python operations, so the results never differ from them.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "diagnoser/common/labels.h"
#include "diagnoser/common/names.h"

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

// The true labels as numbers, when they are a 1-D numpy array of a bool,
// integer or floating dtype whose `==` compares values.
struct NumericLabels {
  enum Kind { kSigned, kUnsigned, kReal } kind;
  py::array values;  // contiguous int64, uint64 or float64
  py::ssize_t size() const { return values.shape(0); }
};
std::optional<NumericLabels> numeric_labels(const py::object& labels);

// The prediction sets as diagnose reads them: the list of lists that fit
// leaves, or the array that a previous diagnose made of it.
class SetTable {
 public:
  explicit SetTable(py::object test_class);

  // `np.array(test_class)`; where the sets differ in length, the 1-D object
  // array of the sets that numpy 2 no longer builds from ragged input.
  py::object as_array() const;
  // `np.unique(test_class)`, under the same rule.
  py::object unique() const;

  // The sets were read into buffers (lists or arrays of small ints).
  bool native() const { return native_; }
  // numpy holds the sets as a 2-D array of class values (all of one length),
  // rather than as a 1-D array of set objects.
  bool flat() const { return flat_; }
  const py::object& source() const { return source_; }
  py::ssize_t rows() const { return static_cast<py::ssize_t>(offsets_.size()) - 1; }
  const int64_t* begin(py::ssize_t row) const { return values_.data() + offsets_[row]; }
  const int64_t* end(py::ssize_t row) const { return values_.data() + offsets_[row + 1]; }
  const py::object& row_object(py::ssize_t row) const { return row_objects_[row]; }

 private:
  bool read_list();
  bool read_array();
  py::object matrix() const;

  py::object source_;
  bool native_ = false;
  bool flat_ = false;
  std::vector<int64_t> values_;
  std::vector<py::ssize_t> offsets_{0};
  // Owned: user code run meanwhile (a label's __eq__) may empty the source list.
  std::vector<py::object> row_objects_;
  mutable py::object matrix_;
};

// Diagnose's row loop: per row the set size, and how many rows hold their label
// (`labels[j] in test_class[j]`). With `positions`, the labels are label_positions
// and kNotAClass is in no set.
struct Coverage {
  py::ssize_t contained = 0;
  py::object sizes;  // int64 array, or the list of Python ints
};
Coverage coverage(const SetTable& sets, const py::object& labels, bool positions);

// Per row, the place in `classes` (`np.unique(test_y)`) of the class whose
// `test_y == class` mask holds the row, or -1; nullopt when the labels are not numeric
// or their count differs from `rows`.
std::optional<std::vector<int32_t>> row_classes(const py::object& test_y, const py::object& classes,
                                                py::ssize_t rows);

// Per class, `np.unique(test_class[test_y == class], return_counts=True)` for the array
// that `sets.as_array()` gave; the sets read natively, `row_class` one per set row.
std::vector<std::pair<py::object, py::object>> sets_by_class(const SetTable& sets,
                                                             const std::vector<int32_t>& row_class,
                                                             std::size_t classes);

// Per class, the number of rows.
std::vector<py::ssize_t> rows_by_class(const std::vector<int32_t>& row_class, std::size_t classes);

}  // namespace classifier
}  // namespace trov
