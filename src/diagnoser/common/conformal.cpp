#include "diagnoser/common/conformal.h"

#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"

namespace trov {

bool calibration_missing(const py::object& calib_x, const py::object& calib_y) {
  return calib_x.is_none() || calib_y.is_none();
}

CalibrationSplit calibration_split(const py::object& train_x, const py::object& train_y,
                                   bool seeded) {
  py::object split = ns("train_test_split");
  py::object parts =
      seeded ? split(train_x, train_y, py::arg("test_size") = 0.1, py::arg("random_state") = 0)
             : split(train_x, train_y, py::arg("test_size") = 0.1);
  std::vector<py::object> part = unpack(parts, 4);
  return {part[0], part[1], part[2], part[3]};
}

py::object conformal_quantile(const py::object& scores, const py::object& alpha,
                              const py::object& n) {
  py::object one = py::int_(1);
  py::object level = (one - alpha) * (n + one) / n;
  return ns("np").attr("quantile")(scores, level);
}

py::object flatten(const py::object& y) { return ns("np").attr("ravel")(y); }

}  // namespace trov
