#include "diagnoser/reliability/classifier_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>

#include "diagnoser/common/compat.h"
#include "diagnoser/common/labels.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"

namespace trov {
namespace classifier {
namespace {

using py::literals::operator""_a;

// Class positions beyond this are left to Python: up to it, every numeric dtype
// (float32 included) and every promotion numpy may pick compares them exactly.
constexpr int64_t kLargestNativeValue = int64_t{1} << 24;

bool is_ndarray(const py::handle& obj) {
  return Py_TYPE(obj.ptr()) == py::detail::npy_api::get().PyArray_Type_;
}

template <typename T>
bool is_array_of(const py::handle& obj, py::ssize_t ndim) {
  return is_ndarray(obj) && py::isinstance<py::array_t<T>>(obj) &&
         py::reinterpret_borrow<py::array>(obj).ndim() == ndim;
}

template <typename T>
const T& at(const py::array& a, py::ssize_t i) {
  return *reinterpret_cast<const T*>(static_cast<const char*>(a.data()) + i * a.strides(0));
}

[[noreturn]] void index_error(py::ssize_t index, py::ssize_t size) {
  throw py::index_error("index " + std::to_string(index) +
                        " is out of bounds for axis 0 with size " + std::to_string(size));
}

py::object item(const py::object& container, py::ssize_t i) { return container[py::int_(i)]; }

py::ssize_t first_dim(const py::object& obj) {
  return obj.attr("shape")[py::int_(0)].cast<py::ssize_t>();
}

// `slice(None, stop)`
py::object slice_to(const py::object& stop) {
  PyObject* slice = PySlice_New(nullptr, stop.ptr(), nullptr);
  if (slice == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(slice);
}

py::list int_list(const int64_t* begin, const int64_t* end) {
  py::list out(end - begin);
  for (py::ssize_t k = 0; begin + k != end; ++k) {
    PyObject* value = PyLong_FromLongLong(begin[k]);
    if (value == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(out.ptr(), k, value);
  }
  return out;
}

py::list pair_list(int64_t first, int64_t second) {
  const int64_t pair[2] = {first, second};
  return int_list(pair, pair + 2);
}

// A 1-D object array holding exactly `items`, one per element.
py::array object_array(const std::vector<py::object>& items) {
  py::array out = ns("np").attr("empty")(items.size(), py::arg("dtype") = ns("object"));
  auto** data = reinterpret_cast<PyObject**>(out.mutable_data());
  for (std::size_t k = 0; k < items.size(); ++k) {
    PyObject* old = data[k];
    data[k] = items[k].inc_ref().ptr();
    Py_XDECREF(old);
  }
  return out;
}

// A set as a run of class values; lists of ints order and compare like this.
struct Span {
  const int64_t* begin;
  const int64_t* end;
};
struct SpanLess {
  bool operator()(const Span& a, const Span& b) const {
    return std::lexicographical_compare(a.begin, a.end, b.begin, b.end);
  }
};

template <typename T>
bool holds(const int64_t* begin, const int64_t* end, T label) {
  for (const int64_t* v = begin; v != end; ++v) {
    if constexpr (std::is_same_v<T, uint64_t>) {
      if (*v >= 0 && static_cast<uint64_t>(*v) == label) return true;
    } else if (static_cast<T>(*v) == label) {
      return true;
    }
  }
  return false;
}

template <typename T>
py::ssize_t count_contained(const SetTable& sets, const T* labels, int64_t* sizes) {
  py::ssize_t contained = 0;
  for (py::ssize_t j = 0; j < sets.rows(); ++j) {
    sizes[j] = sets.end(j) - sets.begin(j);
    if (holds(sets.begin(j), sets.end(j), labels[j])) ++contained;
  }
  return contained;
}

// Each row's place among the sorted distinct `classes`, by `==`; NaN matches nothing.
template <typename T>
std::optional<std::vector<int32_t>> places(const T* labels, py::ssize_t rows, const T* classes,
                                           py::ssize_t count) {
  py::ssize_t ordered = count;
  if constexpr (std::is_floating_point_v<T>) {
    ordered = std::find_if(classes, classes + count, [](T c) { return std::isnan(c); }) - classes;
  }
  for (py::ssize_t c = 1; c < ordered; ++c) {
    if (!(classes[c - 1] < classes[c])) return std::nullopt;
  }
  std::vector<int32_t> place(static_cast<std::size_t>(rows), -1);
  for (py::ssize_t j = 0; j < rows; ++j) {
    const T* found = std::lower_bound(classes, classes + ordered, labels[j]);
    if (found != classes + ordered && *found == labels[j]) place[j] = int32_t(found - classes);
  }
  return place;
}

}  // namespace

py::object true_class_ranks(const py::object& sorted_index, const py::object& pos) {
  // Positional view: a pandas object is read by place, not by its index labels.
  py::object by_place = pos;
  if (!is_ndarray(pos) && py::hasattr(pos, "iloc")) by_place = pos.attr("to_numpy")();
  bool column = is_array_of<int64_t>(by_place, 2) &&
                py::reinterpret_borrow<py::array>(by_place).shape(1) == 1;
  if (is_array_of<int64_t>(sorted_index, 2) && (is_array_of<int64_t>(by_place, 1) || column)) {
    auto order = py::reinterpret_borrow<py::array_t<int64_t>>(sorted_index).unchecked<2>();
    auto place = py::reinterpret_borrow<py::array>(by_place);
    py::array_t<int64_t> ranks(order.shape(0));
    int64_t* out = ranks.mutable_data();
    for (py::ssize_t i = 0; i < order.shape(0); ++i) {
      if (i >= place.shape(0)) index_error(i, place.shape(0));
      int64_t wanted = at<int64_t>(place, i);
      py::ssize_t k = 0;
      while (k < order.shape(1) && order(i, k) != wanted) ++k;
      if (k == order.shape(1)) index_error(0, 0);
      out[i] = k;
    }
    return ranks;
  }
  py::list ranks;
  py::ssize_t rows = first_dim(sorted_index);
  for (py::ssize_t i = 0; i < rows; ++i) {
    py::object equal = py::reinterpret_steal<py::object>(
        PyObject_RichCompare(item(sorted_index, i).ptr(), item(by_place, i).ptr(), Py_EQ));
    if (!equal) throw py::error_already_set();
    ranks.append(item(item(ns("np").attr("where")(equal), 0), 0));
  }
  return ranks;
}

py::list prediction_sets(const py::object& sorted_index, const py::object& set_end) {
  if (is_array_of<int64_t>(sorted_index, 2) && is_array_of<int64_t>(set_end, 1) &&
      py::reinterpret_borrow<py::array>(set_end).shape(0) >=
          py::reinterpret_borrow<py::array>(sorted_index).shape(0)) {
    auto order = py::reinterpret_borrow<py::array_t<int64_t>>(sorted_index).unchecked<2>();
    auto end = py::reinterpret_borrow<py::array_t<int64_t>>(set_end).unchecked<1>();
    py::ssize_t classes = order.shape(1);
    py::list sets(order.shape(0));
    GcPause pause;
    std::vector<int64_t> row(static_cast<std::size_t>(classes));
    for (py::ssize_t i = 0; i < order.shape(0); ++i) {
      // `[:stop]` with Python's clamping of the stop
      int64_t stop = end(i) + 1;
      if (stop < 0) stop = std::max<int64_t>(stop + classes, 0);
      stop = std::min<int64_t>(stop, classes);
      for (int64_t k = 0; k < stop; ++k) row[k] = order(i, k);
      if (stop == 2 && row[0] == 1 && row[1] == 0) std::swap(row[0], row[1]);
      sets[i] = int_list(row.data(), row.data() + stop);
    }
    return sets;
  }
  py::list sets;
  py::list reversed_pair = pair_list(1, 0);
  py::ssize_t rows = first_dim(sorted_index);
  for (py::ssize_t i = 0; i < rows; ++i) {
    py::object stop = item(set_end, i) + py::int_(1);
    py::object res = sorted_index[py::make_tuple(i, slice_to(stop))].attr("tolist")();
    if (res.equal(reversed_pair)) res = pair_list(0, 1);
    sets.append(res);
  }
  return sets;
}

py::list full_sets(py::ssize_t rows) {
  py::list sets(rows);
  GcPause pause;
  for (py::ssize_t i = 0; i < rows; ++i) sets[i] = pair_list(0, 1);
  return sets;
}

std::optional<NumericLabels> numeric_labels(const py::object& labels) {
  if (!is_ndarray(labels)) return std::nullopt;
  auto a = py::reinterpret_borrow<py::array>(labels);
  if (a.ndim() != 1) return std::nullopt;
  char kind = a.dtype().kind();
  if (kind == 'b' || kind == 'i')
    return NumericLabels{NumericLabels::kSigned, contiguous<int64_t>(a)};
  if (kind == 'u') return NumericLabels{NumericLabels::kUnsigned, contiguous<uint64_t>(a)};
  if (kind == 'f' && a.dtype().itemsize() <= 8) {
    return NumericLabels{NumericLabels::kReal, contiguous<double>(a)};
  }
  return std::nullopt;
}

SetTable::SetTable(py::object test_class) : source_(std::move(test_class)) {
  if (PyList_CheckExact(source_.ptr())) {
    native_ = read_list();
  } else if (is_ndarray(source_)) {
    native_ = read_array();
  }
  if (!native_) {
    flat_ = false;
    values_.clear();
    offsets_.assign(1, 0);
    row_objects_.clear();
  }
}

namespace {

// Appends the values of an exact list of small exact ints.
bool read_set(PyObject* set, std::vector<int64_t>& values) {
  if (!PyList_CheckExact(set)) return false;
  for (py::ssize_t k = 0; k < PyList_GET_SIZE(set); ++k) {
    PyObject* value = PyList_GET_ITEM(set, k);
    if (!PyLong_CheckExact(value)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || v > kLargestNativeValue || v < -kLargestNativeValue) return false;
    values.push_back(v);
  }
  return true;
}

}  // namespace

bool SetTable::read_list() {
  py::ssize_t rows = PyList_GET_SIZE(source_.ptr());
  if (rows == 0) return false;
  offsets_.reserve(rows + 1);
  row_objects_.reserve(rows);
  bool one_length = true;
  for (py::ssize_t j = 0; j < rows; ++j) {
    PyObject* set = PyList_GET_ITEM(source_.ptr(), j);
    if (!read_set(set, values_)) return false;
    row_objects_.push_back(py::reinterpret_borrow<py::object>(set));
    offsets_.push_back(static_cast<py::ssize_t>(values_.size()));
    one_length = one_length && offsets_[j + 1] - offsets_[j] == offsets_[1];
  }
  // Sets all empty would make a float array; leave that to numpy.
  flat_ = one_length;
  return !(one_length && offsets_[1] == 0);
}

bool SetTable::read_array() {
  auto a = py::reinterpret_borrow<py::array>(source_);
  if (a.ndim() == 2 && py::isinstance<py::array_t<int64_t>>(a) && a.shape(0) > 0 &&
      a.shape(1) > 0) {
    auto m = a.unchecked<int64_t, 2>();
    values_.reserve(m.shape(0) * m.shape(1));
    for (py::ssize_t j = 0; j < m.shape(0); ++j) {
      for (py::ssize_t k = 0; k < m.shape(1); ++k) {
        int64_t v = m(j, k);
        if (v > kLargestNativeValue || v < -kLargestNativeValue) return false;
        values_.push_back(v);
      }
      offsets_.push_back(static_cast<py::ssize_t>(values_.size()));
    }
    flat_ = true;
    return true;
  }
  if (a.ndim() == 1 && a.dtype().kind() == 'O' && a.shape(0) > 0) {
    for (py::ssize_t j = 0; j < a.shape(0); ++j) {
      PyObject* set = at<PyObject*>(a, j);
      if (set == nullptr || !read_set(set, values_)) return false;
      row_objects_.push_back(py::reinterpret_borrow<py::object>(set));
      offsets_.push_back(static_cast<py::ssize_t>(values_.size()));
    }
    flat_ = false;
    return true;
  }
  return false;
}

py::object SetTable::matrix() const {
  if (!matrix_) {
    py::ssize_t width = offsets_[1];
    py::array_t<int64_t> m({rows(), width});
    std::memcpy(m.mutable_data(), values_.data(), values_.size() * sizeof(int64_t));
    matrix_ = m;
  }
  return matrix_;
}

py::object SetTable::as_array() const {
  if (is_ndarray(source_)) return ns("np").attr("array")(source_);
  if (native_) return flat_ ? matrix() : py::object(object_array(row_objects_));
  try {
    return ns("np").attr("array")(source_);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
  }
  // Sets of different lengths: one element per set.
  std::vector<py::object> owned;
  for (py::handle set : source_) owned.push_back(py::reinterpret_borrow<py::object>(set));
  return object_array(owned);
}

py::object SetTable::unique() const {
  if (!native_) {
    return ns("np").attr("unique")(is_ndarray(source_) ? source_ : as_array());
  }
  if (flat_) return ns("np").attr("unique")(is_ndarray(source_) ? source_ : matrix());
  std::map<Span, py::ssize_t, SpanLess> distinct;
  for (py::ssize_t j = 0; j < rows(); ++j) distinct.emplace(Span{begin(j), end(j)}, j);
  std::vector<py::object> sets;
  for (const auto& entry : distinct) sets.push_back(row_objects_[entry.second]);
  return object_array(sets);
}

Coverage coverage(const SetTable& sets, const py::object& test_y, bool positions) {
  std::optional<NumericLabels> labels = numeric_labels(test_y);
  if (sets.native() && labels && labels->size() >= sets.rows()) {
    Coverage result;
    py::array_t<int64_t> sizes(sets.rows());
    const void* y = labels->values.data();
    switch (labels->kind) {
      case NumericLabels::kSigned:
        result.contained =
            count_contained(sets, static_cast<const int64_t*>(y), sizes.mutable_data());
        break;
      case NumericLabels::kUnsigned:
        result.contained =
            count_contained(sets, static_cast<const uint64_t*>(y), sizes.mutable_data());
        break;
      case NumericLabels::kReal:
        result.contained =
            count_contained(sets, static_cast<const double*>(y), sizes.mutable_data());
        break;
    }
    result.sizes = sizes;
    return result;
  }
  // Other label or set types: Python's `len` and `in`, row by row.
  Coverage result;
  py::list sizes;
  const py::object& source = sets.source();
  py::ssize_t rows = py::len(source);
  for (py::ssize_t j = 0; j < rows; ++j) {
    py::object set = item(source, j);
    sizes.append(py::int_(py::len(set)));
    py::object label = item(test_y, j);
    if (positions && truth(compare(label, py::int_(kNotAClass), Py_EQ))) continue;
    int in = PySequence_Contains(set.ptr(), label.ptr());
    if (in < 0) throw py::error_already_set();
    result.contained += in;
  }
  result.sizes = sizes;
  return result;
}

std::optional<std::vector<int32_t>> row_classes(const py::object& test_y, const py::object& classes,
                                                py::ssize_t rows) {
  std::optional<NumericLabels> labels = numeric_labels(test_y);
  std::optional<NumericLabels> distinct = numeric_labels(classes);
  if (!labels || !distinct || labels->kind != distinct->kind || labels->size() != rows ||
      distinct->size() > INT32_MAX) {
    return std::nullopt;
  }
  const void* y = labels->values.data();
  const void* c = distinct->values.data();
  switch (labels->kind) {
    case NumericLabels::kSigned:
      return places(static_cast<const int64_t*>(y), rows, static_cast<const int64_t*>(c),
                    distinct->size());
    case NumericLabels::kUnsigned:
      return places(static_cast<const uint64_t*>(y), rows, static_cast<const uint64_t*>(c),
                    distinct->size());
    case NumericLabels::kReal:
      return places(static_cast<const double*>(y), rows, static_cast<const double*>(c),
                    distinct->size());
  }
  return std::nullopt;
}

std::vector<std::pair<py::object, py::object>> sets_by_class(const SetTable& sets,
                                                             const std::vector<int32_t>& row_class,
                                                             std::size_t classes) {
  std::vector<std::pair<py::object, py::object>> out;
  if (sets.flat()) {
    // numpy flattens the selected rows: count class values.
    std::vector<std::map<int64_t, int64_t>> counts(classes);
    for (py::ssize_t j = 0; j < sets.rows(); ++j) {
      if (row_class[j] < 0) continue;
      for (const int64_t* v = sets.begin(j); v != sets.end(j); ++v) ++counts[row_class[j]][*v];
    }
    for (const auto& per_class : counts) {
      py::array_t<int64_t> label(per_class.size()), count(per_class.size());
      py::ssize_t k = 0;
      for (const auto& [value, n] : per_class) {
        label.mutable_data()[k] = value;
        count.mutable_data()[k++] = n;
      }
      out.emplace_back(label, count);
    }
    return out;
  }
  struct Seen {
    py::ssize_t first_row;
    int64_t count;
  };
  std::vector<std::map<Span, Seen, SpanLess>> counts(classes);
  for (py::ssize_t j = 0; j < sets.rows(); ++j) {
    if (row_class[j] < 0) continue;
    auto entry = counts[row_class[j]].try_emplace(Span{sets.begin(j), sets.end(j)}, Seen{j, 0});
    ++entry.first->second.count;
  }
  for (const auto& per_class : counts) {
    std::vector<py::object> label;
    py::array_t<int64_t> count(per_class.size());
    py::ssize_t k = 0;
    for (const auto& entry : per_class) {
      label.push_back(sets.row_object(entry.second.first_row));
      count.mutable_data()[k++] = entry.second.count;
    }
    out.emplace_back(object_array(label), count);
  }
  return out;
}

std::vector<py::ssize_t> rows_by_class(const std::vector<int32_t>& row_class, std::size_t classes) {
  std::vector<py::ssize_t> rows(classes, 0);
  for (int32_t c : row_class) {
    if (c >= 0) ++rows[c];
  }
  return rows;
}

}  // namespace classifier
}  // namespace trov
