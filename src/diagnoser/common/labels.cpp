#include "diagnoser/common/labels.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"

namespace trov {
namespace {

using py::literals::operator""_a;

// How labels of this array compare natively: 'i' (bool and signed ints, as
// int64), 'f' (floats up to 64 bits, as double), or 0 (left to numpy).
char native_kind(const py::array& a) {
  char kind = a.dtype().kind();
  if (kind == 'b' || kind == 'i') return 'i';
  if (kind == 'f' && a.dtype().itemsize() <= 8) return 'f';
  return 0;
}

// Integer classes spanning a short range: one table look-up per label.
bool map_by_table(const int64_t* labels, py::ssize_t rows, const int64_t* classes,
                  py::ssize_t count, int64_t* out) {
  constexpr int64_t kLargestSpan = 4096;
  if (count == 0) return false;
  auto [low, high] = std::minmax_element(classes, classes + count);
  if (*high / 2 - *low / 2 >= kLargestSpan / 2) return false;  // halves: no overflow
  std::vector<int64_t> table(static_cast<std::size_t>(*high - *low + 1), kNotAClass);
  for (py::ssize_t k = count - 1; k >= 0; --k) table[classes[k] - *low] = k;
  const uint64_t span = static_cast<uint64_t>(*high - *low);
  for (py::ssize_t j = 0; j < rows; ++j) {
    // Unsigned difference: labels below `low` wrap round to beyond `span`.
    uint64_t offset = static_cast<uint64_t>(labels[j]) - static_cast<uint64_t>(*low);
    out[j] = offset <= span ? table[offset] : kNotAClass;
  }
  return true;
}

template <typename T>
void map_positions(const T* labels, py::ssize_t rows, const T* classes, py::ssize_t count,
                   int64_t* out) {
  if constexpr (std::is_same_v<T, int64_t>) {
    if (map_by_table(labels, rows, classes, count, out)) return;
  }
  std::vector<std::pair<T, int64_t>> sorted;
  for (py::ssize_t k = 0; k < count; ++k) {
    if constexpr (std::is_floating_point_v<T>) {
      if (std::isnan(classes[k])) continue;
    }
    sorted.emplace_back(classes[k], k);
  }
  auto by_value = [](const std::pair<T, int64_t>& a, const std::pair<T, int64_t>& b) {
    return a.first < b.first;
  };
  // Stable: of equal classes the first one comes first, and lower_bound finds it.
  std::stable_sort(sorted.begin(), sorted.end(), by_value);
  for (py::ssize_t j = 0; j < rows; ++j) {
    auto found = std::lower_bound(sorted.begin(), sorted.end(), std::pair<T, int64_t>(labels[j], 0),
                                  by_value);
    out[j] = found != sorted.end() && found->first == labels[j] ? found->second : kNotAClass;
  }
}

template <typename T>
py::array_t<int64_t> native_positions(const py::array& labels, const py::array& classes) {
  py::array_t<T> y = contiguous<T>(labels);
  py::array_t<T> c = contiguous<T>(classes);
  std::vector<py::ssize_t> shape(labels.shape(), labels.shape() + labels.ndim());
  py::array_t<int64_t> out(shape);
  map_positions(y.data(), y.size(), c.data(), c.size(), out.mutable_data());
  return out;
}

py::array_t<int64_t> positions_by(const py::object& labels, const py::object& classes,
                                  const py::object& np, const py::object& boolean) {
  py::array given = np.attr("asarray")(classes);
  // Copied before the labels' call, which may reshape, refill or free what `given` is
  // or views; no later call into Python reaches the copy.
  std::vector<py::ssize_t> shape(given.shape(), given.shape() + given.ndim());
  std::vector<py::ssize_t> strides(given.strides(), given.strides() + given.ndim());
  py::array c(given.dtype(), shape, strides, given.data());
  if (c.ndim() != 1) {
    throw py::value_error("classes must be one-dimensional, got shape " +
                          py::str(c.attr("shape")).cast<std::string>());
  }
  py::array y = np.attr("asarray")(labels);
  char kind = native_kind(y), class_kind = native_kind(c);
  if (kind != 0 && class_kind != 0) {
    // numpy compares an int with a float as two doubles.
    return kind == 'i' && class_kind == 'i' ? native_positions<int64_t>(y, c)
                                            : native_positions<double>(y, c);
  }
  // Strings, objects and the rest: numpy's `==`, last class first so that the first match wins.
  py::object out = np.attr("full")(y.attr("shape"), kNotAClass, "dtype"_a = np.attr("int64"));
  for (py::ssize_t k = c.shape(0) - 1; k >= 0; --k) {
    py::object equal = compare(y, c[py::int_(k)], Py_EQ);
    out[np.attr("asarray")(equal, "dtype"_a = boolean)] = py::int_(k);
  }
  return contiguous<int64_t>(out);
}

}  // namespace

py::array_t<int64_t> label_positions(const py::object& labels, const py::object& classes) {
  return positions_by(labels, classes, ns("np"), ns("bool"));
}

py::array_t<int64_t> label_positions(const py::object& labels, const py::object& classes,
                                     const py::object& np) {
  return positions_by(labels, classes, np, np.attr("bool_"));
}

}  // namespace trov
