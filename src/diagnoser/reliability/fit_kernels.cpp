#include "diagnoser/reliability/fit_kernels.h"

#include <algorithm>
#include <cstdint>
#include <system_error>
#include <vector>

#include "diagnoser/common/compat.h"
#include "diagnoser/common/names.h"
#include "diagnoser/reliability/kernel_access.h"

namespace trov {
namespace classifier {
namespace {

py::ssize_t first_dim(const py::object& obj) {
  return obj.attr("shape")[py::int_(0)].cast<py::ssize_t>();
}

// `slice(None, stop)`
py::object slice_to(const py::object& stop) {
  PyObject* slice = PySlice_New(nullptr, stop.ptr(), nullptr);
  if (slice == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(slice);
}

// A set list holds only ints, so it can be in no reference cycle as built: the
// collector need not track it. Millions of tracked lists would make every
// collection that reaches them walk them: tracked, a million sets double fit +
// diagnose, from the young collections right after fit, and cost some 50 ms in
// every full collection while they live. The price: a cycle the user later builds
// through one is never collected (test_a_cycle_through_a_set_is_collected).
// The list of them likewise, as long as it holds only them.
void untrack(const py::list& set) { PyObject_GC_UnTrack(set.ptr()); }

// A new untracked list of `size` slots that the caller fills. PyList_New would
// track it and zero the slots: a tenth of the time of a million sets. The
// free-threaded build lays out list storage its own way.
PyObject* new_untracked_list(py::ssize_t size) {
#ifdef Py_GIL_DISABLED
  PyObject* made = PyList_New(size);
  if (made != nullptr) PyObject_GC_UnTrack(made);
  return made;
#else
  PyListObject* list = PyObject_GC_New(PyListObject, &PyList_Type);
  if (list == nullptr) return nullptr;
  list->ob_item = size > 0 ? PyMem_New(PyObject*, static_cast<std::size_t>(size)) : nullptr;
  bool stored = size == 0 || list->ob_item != nullptr;
  set_size(reinterpret_cast<PyObject*>(list), stored ? size : 0);
  list->allocated = stored ? size : 0;
  if (!stored) {
    Py_DECREF(list);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(list);
#endif
}

// An untracked list of the given ints.
py::list int_list(const int64_t* begin, const int64_t* end) {
  py::ssize_t size = end - begin;
  auto out = py::reinterpret_steal<py::list>(new_untracked_list(size));
  if (!out) throw py::error_already_set();
  for (py::ssize_t k = 0; k < size; ++k) {
    PyObject* value = PyLong_FromLongLong(begin[k]);
    if (value == nullptr) {
      set_size(out.ptr(), k);  // the slots filled so far
      throw py::error_already_set();
    }
    PyList_SET_ITEM(out.ptr(), k, value);
  }
  return out;
}

py::list pair_list(int64_t first, int64_t second) {
  const int64_t pair[2] = {first, second};
  return int_list(pair, pair + 2);
}

// The true class positions as an int64 vector (or column), read by place.
std::optional<py::array> positions_by_place(const py::object& pos) {
  // Positional view: a pandas object is read by place, not by its index labels.
  py::object by_place = pos;
  if (!is_ndarray(pos) && py::hasattr(pos, "iloc")) by_place = pos.attr("to_numpy")();
  bool column = is_array_of<int64_t>(by_place, 2) &&
                py::reinterpret_borrow<py::array>(by_place).shape(1) == 1;
  if (!(is_array_of<int64_t>(by_place, 1) || column)) return std::nullopt;
  return py::reinterpret_borrow<py::array>(by_place);
}

}  // namespace

py::object true_class_ranks(const py::object& sorted_index, const py::object& pos) {
  std::optional<py::array> place = positions_by_place(pos);
  if (is_array_of<int64_t>(sorted_index, 2) && place) {
    auto order = py::reinterpret_borrow<py::array_t<int64_t>>(sorted_index).unchecked<2>();
    py::array_t<int64_t> ranks(order.shape(0));
    int64_t* out = ranks.mutable_data();
    for (py::ssize_t i = 0; i < order.shape(0); ++i) {
      if (i >= place->shape(0)) index_error(i, place->shape(0));
      int64_t wanted = at<int64_t>(*place, i);
      py::ssize_t k = 0;
      while (k < order.shape(1) && order(i, k) != wanted) ++k;
      if (k == order.shape(1)) index_error(0, 0);
      out[i] = k;
    }
    return std::move(ranks);
  }
  py::object by_place = pos;
  if (!is_ndarray(pos) && py::hasattr(pos, "iloc")) by_place = pos.attr("to_numpy")();
  py::list ranks;
  py::ssize_t rows = first_dim(sorted_index);
  for (py::ssize_t i = 0; i < rows; ++i) {
    py::object equal = py::reinterpret_steal<py::object>(
        PyObject_RichCompare(item(sorted_index, i).ptr(), item(by_place, i).ptr(), Py_EQ));
    if (!equal) throw py::error_already_set();
    ranks.append(item(item(ns("np").attr("where")(equal), 0), 0));
  }
  return std::move(ranks);
}

py::list prediction_sets(const py::object& sorted_index, const py::object& set_end) {
  if (is_array_of<int64_t>(sorted_index, 2) && is_array_of<int64_t>(set_end, 1) &&
      py::reinterpret_borrow<py::array>(set_end).shape(0) >=
          py::reinterpret_borrow<py::array>(sorted_index).shape(0)) {
    auto order = py::reinterpret_borrow<py::array_t<int64_t>>(sorted_index).unchecked<2>();
    auto end = py::reinterpret_borrow<py::array_t<int64_t>>(set_end).unchecked<1>();
    py::ssize_t rows = order.shape(0), classes = order.shape(1);
    // The sets' members in owned memory first, while no Python code runs: making
    // the lists may start a collection, whose finalisers may resize the arrays.
    std::vector<int64_t> members;
    std::vector<py::ssize_t> starts{0};
    starts.reserve(static_cast<std::size_t>(rows) + 1);
    members.reserve(static_cast<std::size_t>(rows));
    for (py::ssize_t i = 0; i < rows; ++i) {
      // `[:stop]` with Python's clamping of the stop
      int64_t stop = end(i) + 1;
      if (stop < 0) stop = std::max<int64_t>(stop + classes, 0);
      stop = std::min<int64_t>(stop, classes);
      std::size_t first = members.size();
      for (int64_t k = 0; k < stop; ++k) members.push_back(order(i, k));
      if (stop == 2 && members[first] == 1 && members[first + 1] == 0) {
        std::swap(members[first], members[first + 1]);
      }
      starts.push_back(static_cast<py::ssize_t>(members.size()));
    }
    py::list sets(rows);
    GcPause pause;
    for (py::ssize_t i = 0; i < rows; ++i) {
      sets[i] = int_list(members.data() + starts[i], members.data() + starts[i + 1]);
    }
    untrack(sets);
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
  untrack(sets);
  return sets;
}

namespace {

// Two float64 columns, read as an unchecked view; nullopt for any other form.
std::optional<py::detail::unchecked_reference<double, 2>> two_columns(const py::object& prob) {
  if (!is_array_of<double>(prob, 2)) return std::nullopt;
  auto p = py::reinterpret_borrow<py::array_t<double>>(prob).unchecked<2>();
  if (p.shape(1) != 2) return std::nullopt;
  return p;
}

// Ascending order puts column 0 first unless it is larger; reversed, a tie puts
// column 1 first.
inline bool column_one_first(double p0, double p1) { return !(p1 < p0); }

}  // namespace

std::optional<py::array_t<double>> two_column_scores(const py::object& prob,
                                                     const py::object& pos) {
  // The positions first: reading a pandas object runs Python code, which may
  // resize the probabilities in place.
  std::optional<py::array> place = positions_by_place(pos);
  auto p = two_columns(prob);
  if (!p || !place) return std::nullopt;
  py::ssize_t rows = p->shape(0);
  py::array_t<double> score(rows);
  double* out = score.mutable_data();
  for (py::ssize_t i = 0; i < rows; ++i) {
    if (i >= place->shape(0)) index_error(i, place->shape(0));
    int64_t wanted = at<int64_t>(*place, i);
    double p0 = (*p)(i, 0), p1 = (*p)(i, 1);
    bool one_first = column_one_first(p0, p1);
    double first = one_first ? p1 : p0, second = one_first ? p0 : p1;
    if (wanted == (one_first ? 1 : 0)) {
      out[i] = first;
    } else if (wanted == (one_first ? 0 : 1)) {
      out[i] = first + second;  // summed in cumsum's order
    } else {
      index_error(0, 0);  // np.where found nothing
    }
  }
  return score;
}

std::optional<TwoColumnTest> two_column_test_part(const py::object& prob, double q) {
  if (!two_columns(prob)) return std::nullopt;
  py::ssize_t rows = py::reinterpret_borrow<py::array>(prob).shape(0);
  TwoColumnTest out{py::array_t<double>({rows, py::ssize_t{2}}),
                    py::array_t<int64_t>({rows, py::ssize_t{2}}), 0, py::object()};
  // From here until the threads are joined nothing calls into Python: no code can
  // change the probabilities, which the caller holds, so both threads read them in
  // place. The Python objects are made before (the arrays) or after (the sets).
  auto p = two_columns(prob);
  if (!p || p->shape(0) != rows) return std::nullopt;
  out.max = rows > 0 ? (*p)(0, 0) : 0;
  for (py::ssize_t i = 0; i < rows; ++i) out.max = std::max({out.max, (*p)(i, 0), (*p)(i, 1)});
  // q at or above every probability: the caller gives every row the full set.
  bool build_sets = !(q >= out.max);
  // Per row, the set as count_two_class_sets numbers it: 0 [0], 1 [0, 1], 2 [1].
  std::vector<uint8_t> kind(build_sets ? static_cast<std::size_t>(rows) : 0);
  double* value = out.value.mutable_data();
  int64_t* index = out.index.mutable_data();
  uint8_t* kinds = build_sets ? kind.data() : nullptr;
  // Reads only the probabilities and writes only memory this call owns.
  auto write_rows = [p, value, index, kinds, q](py::ssize_t begin, py::ssize_t end) {
    for (py::ssize_t i = begin; i < end; ++i) {
      double p0 = (*p)(i, 0), p1 = (*p)(i, 1);
      bool one_first = column_one_first(p0, p1);
      double first = one_first ? p1 : p0, second = one_first ? p0 : p1;
      value[2 * i] = first;
      value[2 * i + 1] = second;
      index[2 * i] = one_first ? 1 : 0;
      index[2 * i + 1] = one_first ? 0 : 1;
      if (kinds == nullptr) continue;
      // The first class alone reaches q, or both are needed (place 0 also when
      // even both fall short, as argmax of no True gives).
      bool alone = first >= q || !(first + second >= q);
      kinds[i] = !alone ? 1 : one_first ? 2 : 0;
    }
  };
  {
    // The second half on a second thread: the new memory of the arrays is paged
    // in on both cores at once.
    Joined helper;
    py::ssize_t split = rows;
    if (rows >= kRowsForTwoThreads) {
      try {
        helper.thread = std::thread(write_rows, rows / 2, rows);
        split = rows / 2;
      } catch (const std::system_error&) {
      }
    }
    write_rows(0, split);
  }
  if (!build_sets) return out;
  // The sets from the kinds alone: making them may start a collection (where the
  // pause does not hold), whose finalisers may resize or free the probabilities.
  out.sets = py::list(rows);
  GcPause pause;
  py::int_ zero(0), one(1);
  for (py::ssize_t i = 0; i < rows; ++i) {
    uint8_t k = kind[static_cast<std::size_t>(i)];
    PyObject* set = new_untracked_list(k == 1 ? 2 : 1);
    if (set == nullptr) throw py::error_already_set();
    if (k == 1) {
      PyList_SET_ITEM(set, 0, zero.inc_ref().ptr());
      PyList_SET_ITEM(set, 1, one.inc_ref().ptr());
    } else {
      PyList_SET_ITEM(set, 0, (k == 2 ? one : zero).inc_ref().ptr());
    }
    PyList_SET_ITEM(out.sets.ptr(), i, set);
  }
  PyObject_GC_UnTrack(out.sets.ptr());
  return out;
}

}  // namespace classifier
}  // namespace trov
