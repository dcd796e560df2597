// The report of an online conformal object: a stream of labelled rows, each given
// its set or interval by a threshold that moved after every row before it.
#pragma once

#include <pybind11/pybind11.h>

#include "diagnoser/report/tables.h"

namespace trov {
namespace py = pybind11;
namespace report {

// (summary dict, tables dict, findings list) of an OnlineConformalClassifier
// (`classifier` true) or OnlineConformalRegressor that has seen labelled rows. The
// alarm comes from `ExchangeabilityMartingale`, looked up in
// trov.diagnoser.conformal when called.
py::tuple online_report(const py::object& fitted, bool classifier, const Settings& settings);

}  // namespace report
}  // namespace trov
