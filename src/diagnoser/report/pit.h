// The PIT histogram of a regressor's predictive distributions and its band.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

namespace trov {
namespace py = pybind11;
namespace report {

// Equal-width bins of the PIT values, each with the central range its count keeps
// under calibration, at a level corrected over the bins.
struct PitHistogram {
  std::vector<double> low, high, expected;
  std::vector<int64_t> count, band_low, band_high;
  std::vector<uint8_t> outside;
  int64_t rows = 0;      // test rows in the histogram
  int64_t excluded = 0;  // rows of groups without calibration scores
  int64_t n_calib = 0;   // the calibration rows the band is for (marginal)
  bool by_group = false;
  double band_level = 0;  // each bin's band covers its count with this chance
  int64_t bins_outside() const;
};

// Adds the summary entries, the table "pit" and the findings of a
// ConformalRegressor whose `pit_` and `crps_` are set; nothing otherwise.
void add_predictive_section(const py::object& fitted, int64_t bins, double confidence,
                            py::dict summary, py::dict tables, py::list findings);

// The histogram of `pit` (values in [0, 1]; NaN rows are left out), `stratum[i]`
// the calibration set of row i among `calib` (their sizes), -1 for none. Pure C++.
PitHistogram pit_histogram(const std::vector<double>& pit, const std::vector<int64_t>& stratum,
                           const std::vector<int64_t>& calib, int64_t bins, double confidence);

}  // namespace report
}  // namespace trov
