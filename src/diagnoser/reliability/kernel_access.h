// Small reads of numpy arrays and Python containers shared by the classifier's kernels.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <thread>

namespace trov {
namespace py = pybind11;
namespace classifier {

// Exactly a numpy array: a subclass may index or compare otherwise.
inline bool is_ndarray(const py::handle& obj) {
  return Py_TYPE(obj.ptr()) == py::detail::npy_api::get().PyArray_Type_;
}

template <typename T>
bool is_array_of(const py::handle& obj, py::ssize_t ndim) {
  return is_ndarray(obj) && py::isinstance<py::array_t<T>>(obj) &&
         py::reinterpret_borrow<py::array>(obj).ndim() == ndim;
}

// Element i of the first axis, by its stride.
template <typename T>
inline const T& at(const py::array& a, py::ssize_t i) {
  return *reinterpret_cast<const T*>(static_cast<const char*>(a.data()) + i * a.strides(0));
}

// f(i, element i) over a 1-D array of T; a packed array is walked by pointer,
// which the compiler can vectorise.
template <typename T, typename F>
void for_each_element(const py::array& a, F&& f) {
  py::ssize_t size = a.shape(0);
  if (a.strides(0) == static_cast<py::ssize_t>(sizeof(T))) {
    const T* p = static_cast<const T*>(a.data());
    for (py::ssize_t i = 0; i < size; ++i) f(i, p[i]);
  } else {
    for (py::ssize_t i = 0; i < size; ++i) f(i, at<T>(a, i));
  }
}

// Below this many rows a second thread costs more than it saves.
constexpr py::ssize_t kRowsForTwoThreads = 50000;

// Joins the thread however the scope is left: it works on memory the scope owns.
struct Joined {
  std::thread thread;
  ~Joined() {
    if (thread.joinable()) thread.join();
  }
};

[[noreturn]] inline void index_error(py::ssize_t index, py::ssize_t size) {
  throw py::index_error("index " + std::to_string(index) +
                        " is out of bounds for axis 0 with size " + std::to_string(size));
}

inline py::object item(const py::object& container, py::ssize_t i) {
  return container[py::int_(i)];
}

}  // namespace classifier
}  // namespace trov
