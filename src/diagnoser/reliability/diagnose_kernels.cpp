#include "diagnoser/reliability/diagnose_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <system_error>

#include "diagnoser/common/compat.h"
#include "diagnoser/common/labels.h"
#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/reliability/kernel_access.h"

namespace trov {
namespace classifier {
namespace {

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
py::ssize_t count_contained(const PredictionSets& sets, const T* labels, int64_t* sizes) {
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

namespace {

// `out` is a writeable 1-D object array of at least `size` slots. Checked again
// after any Python code has run: a finaliser, say, may have resized or reshaped it
// in place since.
bool has_object_slots(const py::array& out, py::ssize_t size) {
  return out.ndim() == 1 && out.shape(0) >= size && out.dtype().kind() == 'O' &&
         out.itemsize() == static_cast<py::ssize_t>(sizeof(PyObject*)) && out.writeable();
}

py::index_error array_changed() {
  return py::index_error(
      "the object array for the prediction sets changed while it was being filled");
}

// `np.empty(size, dtype=object)`, checked: `np` and `object` are looked up late,
// and pointers are written only into a writeable 1-D object array of this length.
py::array empty_object_array(py::ssize_t size) {
  py::object made = ns("np").attr("empty")(size, py::arg("dtype") = ns("object"));
  if (is_ndarray(made)) {
    auto out = py::reinterpret_borrow<py::array>(made);
    if (has_object_slots(out, size) && out.shape(0) == size) return out;
  }
  throw py::type_error("np.empty(" + std::to_string(size) +
                       ", dtype=object) did not give a writeable 1-D object array of that "
                       "length; bind np to numpy and object to the builtin");
}

// Stores `value` in slot `k` of `out`. The slot's old value is released last, and
// releasing it may run code that changes `out`: the next call checks it again.
void put(py::array& out, py::ssize_t k, const py::handle& value) {
  if (!has_object_slots(out, k + 1)) throw array_changed();
  auto** slot =
      reinterpret_cast<PyObject**>(static_cast<char*>(out.mutable_data()) + k * out.strides(0));
  PyObject* old = *slot;
  *slot = value.inc_ref().ptr();
  Py_XDECREF(old);
}

}  // namespace

py::object object_array(const std::vector<py::object>& items) {
  py::array out = empty_object_array(static_cast<py::ssize_t>(items.size()));
  for (std::size_t k = 0; k < items.size(); ++k) put(out, static_cast<py::ssize_t>(k), items[k]);
  return std::move(out);
}

py::object object_array_of_rows(const py::object& test_class,
                                const std::vector<py::ssize_t>& rows) {
  py::ssize_t count = static_cast<py::ssize_t>(rows.size());
  py::array out = empty_object_array(count);
  bool in_list = PyList_CheckExact(test_class.ptr());
  auto array = in_list ? py::array() : py::reinterpret_borrow<py::array>(test_class);
  for (py::ssize_t k = 0; k < count; ++k) {
    py::ssize_t row = rows[k];
    // Code run by np.empty or by releasing what a slot held (a finaliser) may have
    // shortened or reshaped the sets: their length and layout are read afresh.
    bool readable = in_list || (array.ndim() == 1 && array.dtype().kind() == 'O' &&
                                array.itemsize() == static_cast<py::ssize_t>(sizeof(PyObject*)));
    py::ssize_t size = in_list ? PyList_GET_SIZE(test_class.ptr()) : array.shape(0);
    if (!readable || row >= size) {
      throw py::index_error("the prediction sets changed while being read");
    }
    PyObject* set = in_list ? PyList_GET_ITEM(test_class.ptr(), row) : at<PyObject*>(array, row);
    put(out, k, py::handle(set ? set : Py_None));
  }
  return std::move(out);
}

bool held_only_by_attribute(const py::object& owner, const char* name, const py::handle& value,
                            py::ssize_t other_refs) {
#ifdef Py_GIL_DISABLED
  return false;  // counts are not exact there
#else
  // A __setattr__ or a descriptor might store the new value elsewhere.
  PyTypeObject* type = Py_TYPE(owner.ptr());
  py::str key(name);
  if (type->tp_setattro != PyObject_GenericSetAttr || _PyType_Lookup(type, key.ptr()) != nullptr) {
    return false;
  }
  auto dict = py::reinterpret_steal<py::object>(PyObject_GenericGetDict(owner.ptr(), nullptr));
  if (!dict) {
    PyErr_Clear();
    return false;
  }
  PyObject* held = PyDict_GetItemWithError(dict.ptr(), key.ptr());
  if (held == nullptr) PyErr_Clear();
  return held == value.ptr() && Py_REFCNT(value.ptr()) == other_refs + 1;
#endif
}

void fill_with_sets(const py::object& cells, const py::object& test_class, bool take) {
  auto changed = [] { return py::index_error("the prediction sets changed while being read"); };
  if (!PyList_CheckExact(test_class.ptr())) throw changed();
  py::ssize_t rows = PyList_GET_SIZE(test_class.ptr());
  // Python code has run since np.empty made `cells`: its shape is read afresh.
  auto out = py::reinterpret_borrow<py::array>(cells);
  if (!has_object_slots(out, rows)) throw array_changed();
  if (out.shape(0) != rows) throw changed();
  auto** slot = static_cast<PyObject**>(out.mutable_data());
  bool packed = out.strides(0) == static_cast<py::ssize_t>(sizeof(PyObject*));
  bool blank = packed && std::all_of(slot, slot + rows, [](PyObject* v) { return v == Py_None; });
  if (!blank) {
    // Releasing what np.empty put there may run code: the list is read afresh each
    // time, and put checks `out` again.
    for (py::ssize_t j = 0; j < rows; ++j) {
      if (j >= PyList_GET_SIZE(test_class.ptr())) throw changed();
      put(out, j, PyList_GET_ITEM(test_class.ptr(), j));
    }
    return;
  }
  PyObject** set = reinterpret_cast<PyListObject*>(test_class.ptr())->ob_item;
  for (py::ssize_t j = 0; j < rows; ++j) {
    if (!take) Py_INCREF(set[j]);
    slot[j] = set[j];
  }
  // np.empty's Nones are released in one go: releasing None runs no code.
  for (py::ssize_t j = 0; j < rows; ++j) Py_DECREF(Py_None);
  if (take) set_size(test_class.ptr(), 0);  // the references now belong to `cells`
}

SetTable::SetTable(py::object test_class) : source_(std::move(test_class)) {
  if (PyList_CheckExact(source_.ptr()) || is_ndarray(source_)) {
    sets_.emplace(source_, /*exact_only=*/true);
  }
}

py::object SetTable::matrix() const {
  if (!matrix_) {
    py::ssize_t rows = sets_->rows(), width = sets_->size(0);
    py::array_t<int64_t> m({rows, width});
    std::memcpy(m.mutable_data(), sets_->begin(0), rows * width * sizeof(int64_t));
    matrix_ = m;
  }
  return matrix_;
}

py::object SetTable::as_array() const {
  if (is_ndarray(source_)) return ns("np").attr("array")(source_);
  if (native()) {
    if (sets_->flat()) return matrix();
    std::vector<py::object> rows;
    rows.reserve(static_cast<std::size_t>(sets_->rows()));
    for (int64_t j = 0; j < sets_->rows(); ++j) rows.push_back(sets_->row_object(j));
    return object_array(rows);
  }
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
  py::object np_unique = ns("np").attr("unique");
  if (!native()) return np_unique(is_ndarray(source_) ? source_ : as_array());
  if (sets_->flat()) return np_unique(is_ndarray(source_) ? source_ : matrix());
  std::map<Span, int64_t, SpanLess> distinct;
  for (int64_t j = 0; j < sets_->rows(); ++j) {
    distinct.emplace(Span{sets_->begin(j), sets_->end(j)}, j);
  }
  std::vector<py::object> sets;
  for (const auto& entry : distinct) sets.push_back(sets_->row_object(entry.second));
  return object_array(sets);
}

Coverage coverage(const SetTable& sets, const py::object& test_y, bool positions) {
  std::optional<NumericLabels> labels = numeric_labels(test_y);
  if (sets.native() && labels && labels->size() >= sets.sets().rows()) {
    Coverage result;
    py::array_t<int64_t> sizes(sets.sets().rows());
    const void* y = labels->values.data();
    switch (labels->kind) {
      case NumericLabels::kSigned:
        result.contained =
            count_contained(sets.sets(), static_cast<const int64_t*>(y), sizes.mutable_data());
        break;
      case NumericLabels::kUnsigned:
        result.contained =
            count_contained(sets.sets(), static_cast<const uint64_t*>(y), sizes.mutable_data());
        break;
      case NumericLabels::kReal:
        result.contained =
            count_contained(sets.sets(), static_cast<const double*>(y), sizes.mutable_data());
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

std::vector<std::pair<py::object, py::object>> sets_by_class(const SetTable& table,
                                                             const std::vector<int32_t>& row_class,
                                                             std::size_t classes) {
  const PredictionSets& sets = table.sets();
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

namespace {

// Labels spanning more values than this are counted by numpy.
constexpr int64_t kLargestLabelSpan = int64_t{1} << 16;

struct Range {
  int64_t low, high;
};

// The smallest and largest label, when every label is within a short range.
std::optional<Range> short_range(const py::array& labels) {
  py::ssize_t rows = labels.shape(0);
  if (rows == 0) return std::nullopt;
  Range range{at<int64_t>(labels, 0), at<int64_t>(labels, 0)};
  for_each_element<int64_t>(labels, [&range](py::ssize_t, int64_t v) {
    range.low = std::min(range.low, v);
    range.high = std::max(range.high, v);
  });
  // Halves: no overflow.
  if (range.high / 2 - range.low / 2 >= kLargestLabelSpan / 2) return std::nullopt;
  return range;
}

// The kind of an exact list [0], [0, 1] or [1] (0, 1, 2), or -1.
int set_kind_slow(PyObject* set) {
  if (set == nullptr || !PyList_CheckExact(set)) return -1;
  py::ssize_t size = PyList_GET_SIZE(set);
  if (size < 1 || size > 2) return -1;
  long long members[2] = {-1, -1};
  for (py::ssize_t k = 0; k < size; ++k) {
    PyObject* member = PyList_GET_ITEM(set, k);
    if (!PyLong_CheckExact(member)) return -1;
    int overflow = 0;
    members[k] = PyLong_AsLongLongAndOverflow(member, &overflow);
    if (overflow != 0) return -1;
  }
  if (size == 1 && (members[0] == 0 || members[0] == 1)) return members[0] == 0 ? 0 : 2;
  if (size == 2 && members[0] == 0 && members[1] == 1) return 1;
  return -1;
}

// set_kind_slow, first by identity: the interpreter shares one object for each
// small int, which is what sets built by fit hold.
struct SetKinds {
  PyObject* zero = PyLong_FromLong(0);
  PyObject* one = PyLong_FromLong(1);
  ~SetKinds() {
    Py_XDECREF(zero);
    Py_XDECREF(one);
  }
  // Reads memory only: safe on a second thread while this one holds the GIL.
  int by_identity(PyObject* set) const {
    if (set != nullptr && Py_TYPE(set) == &PyList_Type) {
      PyObject** item = reinterpret_cast<PyListObject*>(set)->ob_item;
      py::ssize_t size = PyList_GET_SIZE(set);
      if (size == 1 && item[0] == zero) return 0;
      if (size == 1 && item[0] == one) return 2;
      if (size == 2 && item[0] == zero && item[1] == one) return 1;
    }
    return -1;
  }
  int operator()(PyObject* set) const {
    int kind = by_identity(set);
    return kind >= 0 ? kind : set_kind_slow(set);
  }
};

}  // namespace

py::ssize_t TwoClassCounts::total(int k) const {
  py::ssize_t sum = 0;
  for (const auto& counts : per_class) sum += counts[k];
  return sum;
}

std::optional<py::array_t<int64_t>> unique_small_ints(const py::object& labels) {
  if (!is_array_of<int64_t>(labels, 1)) return std::nullopt;
  auto y = py::reinterpret_borrow<py::array>(labels);
  std::optional<Range> range = short_range(y);
  if (!range) return std::nullopt;
  std::vector<uint8_t> seen(static_cast<std::size_t>(range->high - range->low + 1), 0);
  for_each_element<int64_t>(y, [&](py::ssize_t, int64_t v) { seen[v - range->low] = 1; });
  py::ssize_t distinct = std::count(seen.begin(), seen.end(), uint8_t{1});
  py::array_t<int64_t> out(distinct);
  int64_t* value = out.mutable_data();
  for (std::size_t k = 0; k < seen.size(); ++k) {
    if (seen[k]) *value++ = range->low + static_cast<int64_t>(k);
  }
  return out;
}

std::optional<TwoClassCounts> count_two_class_sets(const py::object& test_y,
                                                   const py::object& class_n,
                                                   const py::object& test_class,
                                                   const py::object& classes) {
  auto numeric = [&] {
    return is_array_of<int64_t>(test_y, 1) && is_array_of<int64_t>(class_n, 1) &&
           (!classes || is_array_of<int64_t>(classes, 1));
  };
  if (!numeric()) return std::nullopt;
  bool in_list = PyList_CheckExact(test_class.ptr());
  TwoClassCounts out;
  // The slots for the sets come first. np.empty is looked up in the module's
  // namespace and may run any code, which may resize the labels, the classes or the
  // sets in place: all of them are checked and read after it, and no Python code
  // runs again until the counting ends.
  if (in_list) {
    out.cells = empty_object_array(py::reinterpret_borrow<py::array>(test_y).shape(0));
    if (!numeric()) return std::nullopt;
  }
  auto y = py::reinterpret_borrow<py::array>(test_y);
  auto distinct = py::reinterpret_borrow<py::array_t<int64_t>>(class_n);
  py::ssize_t rows = y.shape(0);
  if (in_list && py::reinterpret_borrow<py::array>(out.cells).shape(0) != rows) {
    return std::nullopt;
  }
  bool in_array = is_ndarray(test_class) &&
                  py::reinterpret_borrow<py::array>(test_class).ndim() == 1 &&
                  py::reinterpret_borrow<py::array>(test_class).dtype().kind() == 'O';
  if (!(in_list || in_array) || py::len(test_class) != static_cast<std::size_t>(rows)) {
    return std::nullopt;
  }
  // class_n is np.unique(test_y): its ends bound the labels (checked per row).
  if (distinct.size() == 0) return std::nullopt;
  Range ends{at<int64_t>(distinct, 0), at<int64_t>(distinct, distinct.size() - 1)};
  if (ends.high < ends.low || ends.high / 2 - ends.low / 2 >= kLargestLabelSpan / 2) {
    return std::nullopt;
  }
  // Per label value: its place among class_n, and its set position.
  std::size_t span = static_cast<std::size_t>(ends.high - ends.low + 1);
  std::vector<int32_t> place(span, -1);
  std::vector<int64_t> position(span, kNotAClass);
  for (py::ssize_t c = 0; c < distinct.size(); ++c) {
    int64_t v = at<int64_t>(distinct, c);
    if (v < ends.low || v > ends.high) return std::nullopt;
    place[v - ends.low] = static_cast<int32_t>(c);
  }
  if (classes) {
    auto known = py::reinterpret_borrow<py::array>(classes);
    for (py::ssize_t k = known.shape(0) - 1; k >= 0; --k) {
      int64_t v = at<int64_t>(known, k);
      if (v >= ends.low && v <= ends.high) position[v - ends.low] = k;
    }
  } else {
    for (std::size_t k = 0; k < span; ++k) position[k] = ends.low + static_cast<int64_t>(k);
  }
  out.kind.resize(static_cast<std::size_t>(rows));
  auto array = in_array ? py::reinterpret_borrow<py::array>(test_class) : py::array();
  SetKinds set_kind;
  if (!set_kind.zero || !set_kind.one) throw py::error_already_set();
  // Raw addresses, read while no Python code runs until the counting ends.
  PyObject** listed =
      in_list ? reinterpret_cast<PyListObject*>(test_class.ptr())->ob_item : nullptr;
  const char* cell = in_array ? static_cast<const char*>(array.data()) : nullptr;
  py::ssize_t cell_stride = in_array ? array.strides(0) : 0;
  const char* label_at = static_cast<const char*>(y.data());
  py::ssize_t label_stride = y.strides(0);
  struct Tally {
    std::array<py::ssize_t, TwoClassCounts::kKinds> first_row{-1, -1, -1};
    std::vector<std::array<py::ssize_t, TwoClassCounts::kKinds>> per_class;
    py::ssize_t contained = 0;
  };
  // Counts rows [begin, end) into `tally` and gives the row it stopped at: `end`,
  // or the first row it cannot count (by identity alone, or at all).
  auto count = [&](py::ssize_t begin, py::ssize_t end, bool identity_only, Tally& tally) {
    for (py::ssize_t j = begin; j < end; ++j) {
      PyObject* set =
          listed ? listed[j] : *reinterpret_cast<PyObject* const*>(cell + j * cell_stride);
      int kind = identity_only ? set_kind.by_identity(set) : set_kind(set);
      // Unsigned difference: labels below `low` wrap round to beyond the span.
      auto label =
          static_cast<uint64_t>(*reinterpret_cast<const int64_t*>(label_at + j * label_stride)) -
          static_cast<uint64_t>(ends.low);
      if (kind < 0 || label >= span || place[label] < 0) return j;
      out.kind[j] = static_cast<uint8_t>(kind);
      if (tally.first_row[kind] < 0) tally.first_row[kind] = j;
      ++tally.per_class[place[label]][kind];
      int64_t p = position[label];
      tally.contained += (p == 0 && kind <= 1) || (p == 1 && kind >= 1);
    }
    return end;
  };
  Tally head, tail;
  head.per_class.assign(static_cast<std::size_t>(distinct.size()), {});
  tail.per_class = head.per_class;
  // The second half on a second thread, by identity only (which calls nothing of
  // Python's), while this thread holds the GIL: nothing changes the sets meanwhile.
  py::ssize_t half = rows >= kRowsForTwoThreads ? rows / 2 : rows;
  py::ssize_t tail_counted = half, head_counted = 0;
  {
    Joined helper;
    if (half < rows) {
      try {
        helper.thread = std::thread([&] { tail_counted = count(half, rows, true, tail); });
      } catch (const std::system_error&) {
      }
    }
    head_counted = count(0, half, false, head);
  }
  if (head_counted < half) return std::nullopt;
  // What the second thread left (a set it could not read by identity), or all of it.
  if (tail_counted < rows && count(tail_counted, rows, false, tail) < rows) return std::nullopt;
  for (int k = 0; k < TwoClassCounts::kKinds; ++k) {
    out.first_row[k] = head.first_row[k] >= 0 ? head.first_row[k] : tail.first_row[k];
  }
  out.per_class = head.per_class;
  for (std::size_t c = 0; c < out.per_class.size(); ++c) {
    for (int k = 0; k < TwoClassCounts::kKinds; ++k) out.per_class[c][k] += tail.per_class[c][k];
  }
  out.contained = head.contained + tail.contained;
  out.flat = in_list && (out.total(1) == 0 || (out.total(0) == 0 && out.total(2) == 0));
  return out;
}

}  // namespace classifier
}  // namespace trov
