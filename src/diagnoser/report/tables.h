// The report's content: its summary, tables and findings, computed from a fitted procedure.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace trov {
namespace py = pybind11;
namespace report {

struct Settings {
  double confidence;
  int64_t bins;       // >= 1; larger values than rows make no difference
  py::object test_x;  // None: the fitted object's own, if any
};

// How the fitted object was calibrated, as far as the report needs it.
struct Source {
  py::object fitted;
  double alpha;
  int64_t n_calib;    // -1: not known
  bool marginal;      // one threshold for all rows: the calibration law applies
  py::object groups;  // None, or the group of each test row
  std::string conditional, score;
  int64_t rank = 0;        // of the marginal threshold; 0: from n_calib and alpha
  bool conformal = false;  // an object of the conformal module
  // Tied scores: coverage may then exceed the law of untied ones for real. `ties`
  // says what showed them: calibration scores sharing a threshold, test scores at
  // the threshold, or only the score's name ("" when none did).
  bool tied = false;
  std::string ties = "";
  // Sets that keep the class at which the running probability reaches the
  // threshold: they cover more than the score's law says, as ties do.
  bool inclusive = false;
  // A cross-conformal object: no law given its fits, only a marginal bound.
  bool cross = false;
  double bound = 0;
  std::string method = "", guarantee = "";
  int64_t fits = 0;
  // Weighted split conformal: each row has its own threshold, so it is tested as a
  // cross-conformal object is, against 1 - alpha; `ess` of its calibration weights.
  bool weighted = false;
  double ess = 0;
  // The state of the level the report shows: each stratum's rank, the strata that
  // fell back and the rows they decided. None: the object's own.
  py::object stratum_ranks = py::none(), fallback_groups = py::none(), fallback_rows = py::none();
};

// (summary dict, tables dict, findings list) of a fitted AdaptiveConformalClassifier.
py::tuple classification_report(const py::object& fitted, const Settings& settings);
// ... of a fitted ResidualConformalRegressor.
py::tuple regression_report(const py::object& fitted, const Settings& settings);
// ... and of an evaluated ConformalClassifier or ConformalRegressor.
py::tuple conformal_classification_report(const py::object& fitted, const Settings& settings);
py::tuple conformal_regression_report(const py::object& fitted, const Settings& settings);
// ... and of an evaluated CrossConformalClassifier or CrossConformalRegressor.
py::tuple cross_classification_report(const py::object& fitted, const Settings& settings);
py::tuple cross_regression_report(const py::object& fitted, const Settings& settings);

}  // namespace report
}  // namespace trov
