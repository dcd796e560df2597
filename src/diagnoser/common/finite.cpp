#include "diagnoser/common/finite.h"

#include <pybind11/numpy.h>

#include <cmath>

#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"

namespace trov {
namespace {

using py::literals::operator""_a;

// Rows of a C-contiguous float64 array with a non-finite entry, read in place.
py::ssize_t count_in_buffer(const py::array& a) {
  py::ssize_t rows = a.ndim() == 0 ? 1 : a.shape(0);
  if (rows == 0) return 0;
  py::ssize_t width = a.size() / rows;
  const double* data = static_cast<const double*>(a.data());
  py::ssize_t bad = 0;
  for (py::ssize_t i = 0; i < rows; ++i) {
    const double* row = data + i * width;
    for (py::ssize_t k = 0; k < width; ++k) {
      if (!std::isfinite(row[k])) {
        ++bad;
        break;
      }
    }
  }
  return bad;
}

bool is_numeric_kind(char kind) { return kind == 'f' || kind == 'c'; }

// Bytes in the machine's own order: a big-endian array (as FITS files give) read
// as native doubles would turn NaN into numbers and numbers into NaN.
bool native_order(const py::dtype& dtype) {
#if PY_BIG_ENDIAN
  return dtype.byteorder() != '<';
#else
  return dtype.byteorder() != '>';
#endif
}

// What np.asarray returned, as an array: the name may be rebound to anything.
py::array checked_array(const py::object& value) {
  if (!py::isinstance<py::array>(value)) {
    throw py::type_error("np.asarray returned " +
                         py::repr(py::type::of(value)).cast<std::string>() + ", not a numpy array");
  }
  return py::reinterpret_borrow<py::array>(value);
}

}  // namespace

py::ssize_t non_finite_rows(const py::object& values) {
  if (py::isinstance<py::array>(values)) {
    auto a = py::reinterpret_borrow<py::array>(values);
    char kind = a.dtype().kind();
    if (kind == 'b' || kind == 'i' || kind == 'u') return 0;
    if (kind == 'f' && a.dtype().itemsize() == 8 && native_order(a.dtype()) &&
        (a.flags() & py::array::c_style)) {
      return count_in_buffer(a);
    }
  }
  py::object np = ns("np");
  py::object numbers;
  try {
    numbers = np.attr("asarray")(values);
    char kind = checked_array(numbers).dtype().kind();
    if (kind == 'O') {
      numbers = np.attr("asarray")(numbers, "dtype"_a = ns("float"));
    } else if (!is_numeric_kind(kind)) {
      return 0;
    }
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError)) return 0;
    throw;
  }
  py::array a = checked_array(numbers);
  py::object bad = ~np.attr("isfinite")(a);
  if (a.ndim() == 0) return truth(bad) ? 1 : 0;
  if (a.shape(0) == 0) return 0;
  py::object per_row = bad.attr("reshape")(a.shape(0), -1).attr("any")("axis"_a = 1);
  return per_row.attr("sum")().cast<py::ssize_t>();
}

void require_finite(const py::object& values, const char* source, const char* what,
                    const char* part) {
  py::ssize_t bad = non_finite_rows(values);
  if (bad == 0) return;
  throw py::value_error(std::string(source) + " " + std::to_string(bad) +
                        (bad == 1 ? " row" : " rows") + " with NaN or infinite " + what +
                        " for the " + part + " part");
}

}  // namespace trov
