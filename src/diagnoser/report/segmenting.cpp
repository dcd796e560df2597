#include "diagnoser/report/segmenting.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/report/snapshot.h"

namespace trov {
namespace report {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string number_text(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.4g", v);
  return buffer;
}

std::string range_text(double low, double high) {
  if (low == high) return number_text(low);
  return "[" + number_text(low) + ", " + number_text(high) + "]";
}

void add_missing(Segments& out, const std::vector<uint8_t>& missing) {
  if (std::find(missing.begin(), missing.end(), 1) == missing.end()) return;
  int64_t id = out.count();
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (missing[i]) out.of_row[i] = id;
  }
  out.label.push_back("missing");
  out.low.push_back(kNaN);
  out.high.push_back(kNaN);
}

// The cut nearest `cut` where the sorted values change; ties go down.
int64_t nearest_change(const std::vector<double>& sorted, int64_t cut) {
  if (sorted[cut - 1] != sorted[cut]) return cut;
  int64_t m = static_cast<int64_t>(sorted.size());
  int64_t down = std::lower_bound(sorted.begin(), sorted.end(), sorted[cut]) - sorted.begin();
  int64_t up = std::upper_bound(sorted.begin(), sorted.end(), sorted[cut]) - sorted.begin();
  if (down == 0) return up;  // may be m: no cut
  if (up == m) return down;
  return cut - down <= up - cut ? down : up;
}

// The codes pd.factorize gives, checked before they index anything.
std::vector<int64_t> checked_codes(const py::object& codes, int64_t rows, int64_t values) {
  if (!py::isinstance<py::array>(codes)) throw py::type_error("pd.factorize gave no array");
  py::array a = py::reinterpret_borrow<py::array>(codes);
  char kind = a.dtype().kind();
  if ((kind != 'i' && kind != 'u') || a.ndim() != 1 || a.shape(0) != rows) {
    throw py::value_error("pd.factorize gave codes of an unexpected type or shape");
  }
  py::array_t<int64_t, py::array::c_style | py::array::forcecast> cast(a);
  std::vector<int64_t> out(cast.data(), cast.data() + cast.size());
  for (int64_t c : out) {
    if (c < -1 || c >= values) throw py::value_error("pd.factorize gave a code out of range");
  }
  return out;
}

Segments segment_values(const py::object& values, int64_t rows, int64_t bins) {
  py::tuple factorized = ns("pd").attr("factorize")(values);
  if (py::len(factorized) != 2) throw py::value_error("pd.factorize gave no (codes, uniques)");
  // A tuple of its own: reading each value's text runs Python code.
  py::tuple uniques = snapshot(ns("list")(factorized[1]));
  int64_t distinct = static_cast<int64_t>(py::len(uniques));
  std::vector<int64_t> codes = checked_codes(factorized[0], rows, distinct);
  std::vector<std::string> text;
  for (py::handle u : uniques) text.push_back(text_of(u));

  std::vector<int64_t> count(static_cast<std::size_t>(distinct), 0);
  std::vector<uint8_t> missing(static_cast<std::size_t>(rows), 0);
  for (std::size_t i = 0; i < codes.size(); ++i) {
    if (codes[i] < 0) {
      missing[i] = 1;
    } else {
      ++count[static_cast<std::size_t>(codes[i])];
    }
  }
  // Most frequent first, equal counts by their text: no dependence on row order.
  std::vector<int64_t> rank(static_cast<std::size_t>(distinct));
  std::iota(rank.begin(), rank.end(), 0);
  std::sort(rank.begin(), rank.end(), [&](int64_t x, int64_t y) {
    if (count[x] != count[y]) return count[x] > count[y];
    return text[x] < text[y];
  });
  int64_t kept = distinct <= bins ? distinct : bins - 1;
  std::vector<int64_t> segment_of(static_cast<std::size_t>(distinct), kept);
  Segments out;
  for (int64_t s = 0; s < kept; ++s) {
    segment_of[rank[s]] = s;
    out.label.push_back(text[rank[s]]);
  }
  if (kept < distinct) out.label.push_back("other");
  out.low.assign(out.label.size(), kNaN);
  out.high.assign(out.label.size(), kNaN);
  out.of_row.resize(static_cast<std::size_t>(rows));
  for (std::size_t i = 0; i < codes.size(); ++i) {
    if (codes[i] >= 0) out.of_row[i] = segment_of[codes[i]];
  }
  add_missing(out, missing);
  return out;
}

// Sorts in place with ndarray.sort on a private array: numpy's vectorised sort is
// several times faster than std::sort, and a method of numpy's own type on our
// own array cannot be rebound from Python.
void sort_numbers(std::vector<double>& values) {
  py::array_t<double> buffer(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), buffer.mutable_data());
  buffer.attr("sort")();
  std::copy(buffer.data(), buffer.data() + values.size(), values.begin());
}

}  // namespace

Segments segment_numbers(const std::vector<double>& values, int64_t bins) {
  std::vector<double> sorted;
  std::vector<uint8_t> missing(values.size(), 0);
  sorted.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (std::isnan(values[i])) {
      missing[i] = 1;
    } else {
      sorted.push_back(values[i]);
    }
  }
  sort_numbers(sorted);
  int64_t m = static_cast<int64_t>(sorted.size());
  // Where each segment starts, as positions in `sorted`.
  std::vector<int64_t> starts;
  if (m > 0) starts.push_back(0);
  int64_t distinct = m > 0 ? 1 : 0;
  for (int64_t r = 1; r < m && distinct <= bins; ++r) distinct += sorted[r] != sorted[r - 1];
  if (distinct <= bins) {
    for (int64_t r = 1; r < m; ++r) {
      if (sorted[r] != sorted[r - 1]) starts.push_back(r);
    }
  } else {
    // Equal-count cuts floor(i m / bins), each moved to the nearest change of value.
    for (int64_t i = 1; i < bins; ++i) {
      auto cut = static_cast<int64_t>(static_cast<long double>(i) * m / bins);
      int64_t moved = nearest_change(sorted, std::max<int64_t>(cut, 1));
      if (moved > starts.back() && moved < m) starts.push_back(moved);
    }
  }
  Segments out;
  std::vector<double> first_value;
  for (std::size_t s = 0; s < starts.size(); ++s) {
    int64_t end = s + 1 < starts.size() ? starts[s + 1] : m;
    first_value.push_back(sorted[starts[s]]);
    out.low.push_back(sorted[starts[s]]);
    out.high.push_back(sorted[end - 1]);
    out.label.push_back(range_text(out.low.back(), out.high.back()));
  }
  out.of_row.resize(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (missing[i]) continue;
    out.of_row[i] = std::upper_bound(first_value.begin(), first_value.end(), values[i]) -
                    first_value.begin() - 1;
  }
  add_missing(out, missing);
  return out;
}

Segments segment_column(const py::object& column, int64_t rows, int64_t bins, const char* what) {
  py::object array = ns("np").attr("asarray")(column);
  if (!py::isinstance<py::array>(array)) {
    throw py::type_error(std::string("np.asarray gave no array for ") + what);
  }
  py::array a = py::reinterpret_borrow<py::array>(array);
  if (a.ndim() != 1 || a.shape(0) != rows) {
    throw py::value_error(std::string(what) + " must hold one value per test row");
  }
  char kind = a.dtype().kind();
  if (kind == 'f' || kind == 'i' || kind == 'u') {
    DoubleArray numbers = DoubleArray::ensure(a);
    if (!numbers) throw py::type_error(std::string(what) + " could not be read as numbers");
    // Owned before anything else runs.
    return segment_numbers(std::vector<double>(numbers.data(), numbers.data() + numbers.size()),
                           bins);
  }
  return segment_values(array, rows, bins);
}

}  // namespace report
}  // namespace trov
