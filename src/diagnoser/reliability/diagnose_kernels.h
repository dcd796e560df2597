// The per-row loops of AdaptiveConformalClassifier.diagnose. Each reads numpy
// buffers and Python lists of ints directly; for inputs of any other type it
// repeats the element-wise Python operations, so the results never differ from them.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "diagnoser/common/prediction_sets.h"

namespace trov {
namespace py = pybind11;
namespace classifier {

// The true labels as numbers, when they are a 1-D numpy array of a bool,
// integer or floating dtype whose `==` compares values.
struct NumericLabels {
  enum Kind { kSigned, kUnsigned, kReal } kind;
  py::array values;  // contiguous int64, uint64 or float64
  py::ssize_t size() const { return values.shape(0); }
};
std::optional<NumericLabels> numeric_labels(const py::object& labels);

// A 1-D object array holding exactly `items`, one per element.
py::object object_array(const std::vector<py::object>& items);

// A 1-D object array of the sets of `test_class` (an exact list or a 1-D object
// array) at `rows`, in that order.
py::object object_array_of_rows(const py::object& test_class, const std::vector<py::ssize_t>& rows);

// The prediction sets as diagnose reads them: the list of lists that fit
// leaves, or the array that a previous diagnose made of it. Sets that are not
// sequences are left to Python, which raises its own errors about them.
class SetTable {
 public:
  explicit SetTable(py::object test_class);

  // `np.array(test_class)`; where the sets differ in length, the 1-D object
  // array of the sets that numpy 2 no longer builds from ragged input.
  py::object as_array() const;
  // `np.unique(test_class)`, under the same rule.
  py::object unique() const;

  // The sets were read as exact ints: numpy's and Python's answers follow from them.
  bool native() const { return sets_ && sets_->exact(); }
  const PredictionSets& sets() const { return *sets_; }
  const py::object& source() const { return source_; }

 private:
  py::object matrix() const;

  py::object source_;
  std::optional<PredictionSets> sets_;
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

// `np.unique(labels)` counted natively for int64 labels over a short range;
// nullopt for others.
std::optional<py::array_t<int64_t>> unique_small_ints(const py::object& labels);

// The whole diagnosis in one pass for the common case: int64 labels over a short
// range (`class_n` their distinct values), `classes` absent (null) or int64, and
// sets that are all [0], [1] or [0, 1], as exact lists in a list or an object array.
struct TwoClassCounts {
  // Set kinds in the order numpy sorts them: [0], [0, 1], [1].
  static constexpr int kKinds = 3;
  std::vector<uint8_t> kind;                               // per row
  std::array<py::ssize_t, kKinds> first_row{};             // of each kind, -1 when absent
  std::vector<std::array<py::ssize_t, kKinds>> per_class;  // rows per class and kind
  py::ssize_t contained = 0;
  py::ssize_t rows() const { return static_cast<py::ssize_t>(kind.size()); }
  py::ssize_t total(int k) const;
  // numpy would make a 2-D array of the sets: a list of sets of one length.
  bool flat = false;
  // From a list: a 1-D object array with a slot per set, for fill_with_sets.
  py::object cells;
};
// `owner.<name>` is `value`, kept in the instance dict of `owner` and referenced
// `other_refs` times besides, and storing `owner.<name>` replaces that dict entry:
// once it is stored, nothing can see `value` again.
bool held_only_by_attribute(const py::object& owner, const char* name, const py::handle& value,
                            py::ssize_t other_refs);

// Fills the slots of `cells` with the sets of the exact list `test_class`, in
// order. With `take` the list's references move into `cells` and the list is
// left empty: neither a million increments now nor a million decrements when
// the list goes.
void fill_with_sets(const py::object& cells, const py::object& test_class, bool take);

std::optional<TwoClassCounts> count_two_class_sets(const py::object& test_y,
                                                   const py::object& class_n,
                                                   const py::object& test_class,
                                                   const py::object& classes);

}  // namespace classifier
}  // namespace trov
