// The report's segment tables along features: by_feature and worst_segments.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "diagnoser/report/rows.h"
#include "diagnoser/report/segmenting.h"

namespace trov {
namespace py = pybind11;
namespace report {

// Segments per feature and the lowest of each: by_feature and worst_segments.
struct FeatureTables {
  Rows rows;
  std::vector<std::string> feature;
  std::vector<int64_t> segment;
  std::vector<std::size_t> worst;  // row of each feature's lowest segment
  Rows worst_rows;

  // The segments `s` of one feature, its rows' coverage and the value averaged.
  void add_feature(const std::string& name, const Segments& s, const std::vector<uint8_t>& covered,
                   const std::vector<double>& value, const Tests& tests);

  // (by_feature, worst_segments) as data frames, once the flags are decided.
  py::tuple frames(const char* mean_name);

  // The lowest segment of all: fsc, fsc_feature and fsc_segment in the summary.
  void summarise(py::dict& summary) const;
};

// Fills `out` with the segments of every column of `test_x` (a data frame, an
// array or anything np.asarray takes, one row per test row).
void segment_features(FeatureTables& out, const py::object& fitted, const py::object& test_x,
                      const std::vector<uint8_t>& covered, const std::vector<double>& value,
                      int64_t bins, const Tests& tests);

// Each by_feature row in words: "x0 in [0.1, 0.4]", "city = Oslo".
std::vector<std::string> segment_names(const FeatureTables& t);

}  // namespace report
}  // namespace trov
