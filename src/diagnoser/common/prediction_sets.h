// The classifier's prediction sets, read once for its diagnosis and for the report.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "diagnoser/common/labels.h"

namespace trov {
namespace py = pybind11;

// Stands for a set member that is no class position.
constexpr int64_t kNoPosition = INT64_MIN;

// One prediction set per test row as runs of class positions: the list of lists
// that fit leaves, or the 2-D or object array a diagnosis made of it.
//
// A member is a class position when it equals an integer by value as Python's `==`
// sees it without running user code: an int, a bool, a numpy integer, or an
// integral float (numpy's scalar types, not subclasses made in Python); anything
// else is kNoPosition. So `holds` answers as `in` does
// for every member but objects of user types.
class PredictionSets {
 public:
  // With `exact_only`, reading stops at the first row that is not exact: the
  // caller then leaves the sets to Python, and no user sequence type is iterated.
  explicit PredictionSets(py::object test_class, bool exact_only = false);

  int64_t rows() const { return static_cast<int64_t>(offsets_.size()) - 1; }
  int64_t size(int64_t row) const { return offsets_[row + 1] - offsets_[row]; }
  bool holds(int64_t row, int64_t position) const;
  // The largest position in any set, -1 when all are empty.
  int64_t largest() const { return largest_; }

  // Every member is an exact int small enough that numpy compares it exactly with
  // labels of any numeric dtype, and the rows are exact lists or an int64 or
  // object array: numpy's and Python's answers can be computed from the values.
  bool exact() const { return exact_; }
  // numpy holds the sets as a 2-D array of class values (all of one length),
  // rather than as a 1-D array of set objects.
  bool flat() const { return flat_; }
  const py::object& source() const { return source_; }
  const int64_t* begin(int64_t row) const { return values_.data() + offsets_[row]; }
  const int64_t* end(int64_t row) const { return values_.data() + offsets_[row + 1]; }
  // The set object of a row; held only for exact sets that are not flat (user code
  // run meanwhile, such as a label's __eq__, may empty the source list).
  const py::object& row_object(int64_t row) const { return row_objects_[row]; }

 private:
  bool read_matrix(const py::object& matrix);
  void read_rows(bool exact_only);
  void add(int64_t position);

  py::object source_;
  bool exact_ = true;
  bool flat_ = true;
  std::vector<int64_t> values_;
  std::vector<int64_t> offsets_{0};
  int64_t largest_ = -1;
  std::vector<py::object> row_objects_;
};

// Per test row, the set position its label stands for: its index in `classes`
// (the first one when a label repeats), or, when `classes` is None, the label
// itself where it equals one of the positions 0 .. `positions` - 1; -1 when the
// label matches none. Labels compare as numpy's `==` compares them.
std::vector<int64_t> label_positions(const py::object& test_y, const py::object& classes,
                                     int64_t positions);

}  // namespace trov
