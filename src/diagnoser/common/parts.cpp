#include "diagnoser/common/parts.h"

#include <string>

#include "diagnoser/common/errors.h"
#include "diagnoser/common/python_ops.h"

namespace trov {
namespace {

// `shape[0]` of arrays and data frames, `len()` of other sized objects; a null
// object when the part has no row count.
py::object row_count(const py::object& part) {
  if (part.is_none()) return py::object();
  py::object shape = attr_if_present(part, "shape");
  if (shape && PyTuple_Check(shape.ptr())) {
    if (PyTuple_GET_SIZE(shape.ptr()) == 0) return py::object();
    return first(shape);
  }
  Py_ssize_t length = PyObject_Length(part.ptr());
  if (length < 0) {
    PyErr_Clear();
    return py::object();
  }
  return py::int_(length);
}

}  // namespace

void require_same_rows(const py::object& x, const py::object& y, const char* part,
                       const char* x_name, const char* y_name) {
  py::object x_rows = row_count(x), y_rows = row_count(y);
  if (!x_rows || !y_rows || truth(compare(x_rows, y_rows, Py_EQ))) return;
  throw py::value_error(std::string(x_name) + " has " + text_of(x_rows) + " rows but " + y_name +
                        " has " + text_of(y_rows) + ": the " + part +
                        " part needs one target per row of features");
}

void require_same_rows(const py::object& train_x, const py::object& train_y,
                       const py::object& test_x, const py::object& test_y,
                       const py::object& calib_x, const py::object& calib_y) {
  require_same_rows(train_x, train_y, "training", "train_x", "train_y");
  require_same_rows(test_x, test_y, "test", "test_x", "test_y");
  require_same_rows(calib_x, calib_y, "calibration", "calib_x", "calib_y");
}

}  // namespace trov
