// The classifier's prediction sets and true labels, read without changing them.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

namespace trov {
namespace py = pybind11;
namespace report {

// One prediction set per test row as runs of class positions: the list of lists
// that fit leaves, or the 2-D or object array a diagnosis made of it.
class PredictionSets {
 public:
  explicit PredictionSets(const py::object& test_class);

  int64_t rows() const { return static_cast<int64_t>(offsets_.size()) - 1; }
  int64_t size(int64_t row) const { return offsets_[row + 1] - offsets_[row]; }
  bool holds(int64_t row, int64_t position) const;
  // The largest position in any set, -1 when all are empty.
  int64_t largest() const { return largest_; }

 private:
  void read_row(PyObject* set);
  void add(int64_t position);

  std::vector<int64_t> values_;
  std::vector<int64_t> offsets_{0};
  int64_t largest_ = -1;
};

// Stands for a set member that is no class position (not an integral number).
constexpr int64_t kNoPosition = INT64_MIN;

// Per test row, the set position its label stands for: its index in `classes`
// (the first one when a label repeats), or, when `classes` is None, the label
// itself where it equals one of the positions 0 .. `positions` - 1; -1 when the
// label matches none. Labels compare as numpy's `==` compares them.
std::vector<int64_t> label_positions(const py::object& test_y, const py::object& classes,
                                     int64_t positions);

}  // namespace report
}  // namespace trov
