#include "diagnoser/report/pit.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "diagnoser/common/names.h"
#include "diagnoser/common/python_ops.h"
#include "diagnoser/report/binomial.h"
#include "diagnoser/report/findings.h"
#include "diagnoser/report/rows.h"
#include "diagnoser/report/snapshot.h"

namespace trov {
namespace report {
namespace {

// More bins than this make a histogram nobody reads.
constexpr int64_t kMostBins = 1000;
using IntArray64 = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;

std::string percent(double share) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.4g %%", share * 100);
  return buffer;
}

std::vector<double> owned_values(const py::object& value, const char* what) {
  DoubleArray array = DoubleArray::ensure(ns("np").attr("ravel")(value));
  if (!array) throw py::type_error(std::string(what) + " must be numeric: call evaluate again");
  return std::vector<double>(array.data(), array.data() + array.size());
}

// What the histogram needs from the object, in owned memory.
struct PitInput {
  std::vector<double> pit;
  std::vector<int64_t> stratum;  // of each test row, -1: no calibration scores
  std::vector<int64_t> calib;    // the size of each calibration set
  double crps = 0;
  bool by_group = false;
  int64_t n_calib = 0;
};

int64_t score_count(const py::object& scores) {
  return scores.is_none() ? -1 : static_cast<int64_t>(py::len(scores));
}

// Returns false when the object has no predictive distribution.
bool gather(const py::object& fitted, PitInput& in) {
  py::object pit = attribute_or_none(fitted, "pit_");
  py::object crps = attribute_or_none(fitted, "crps_");
  if (pit.is_none() || crps.is_none()) return false;
  if (PyBool_Check(crps.ptr()) || !PyNumber_Check(crps.ptr()) || PyUnicode_Check(crps.ptr())) {
    throw py::type_error("crps_ must be a number, got " + py::repr(crps).cast<std::string>() +
                         ": call evaluate again");
  }
  in.crps = py::float_(crps);
  in.pit = owned_values(pit, "pit_");
  const int64_t n = static_cast<int64_t>(in.pit.size());
  if (n != static_cast<int64_t>(py::len(fitted.attr("test_y_")))) {
    throw py::value_error("pit_ must hold one value per test row: call evaluate again");
  }
  for (double p : in.pit) {
    if (!std::isnan(p) && !(p >= 0 && p <= 1)) {
      throw py::value_error("pit_ must hold values in [0, 1], got " + std::to_string(p) +
                            ": call evaluate again");
    }
  }
  in.n_calib = score_count(attribute_or_none(fitted, "predictive_scores_"));
  if (in.n_calib < 0) in.n_calib = py::int_(fitted.attr("n_calibration_")).cast<int64_t>();
  py::object conditional = attribute_or_none(fitted, "conditional");
  in.by_group = py::isinstance<py::str>(conditional) && conditional.cast<std::string>() == "group";
  if (!in.by_group) {
    in.calib.push_back(in.n_calib);
    in.stratum.assign(static_cast<std::size_t>(n), 0);
    return true;
  }
  // Each group's PIT values are ranks among its own calibration scores: a draw of
  // its own. Rows of a group never calibrated are ranked against all rows or none,
  // no draw of theirs, and are left out.
  py::object per_group = attribute_or_none(fitted, "predictive_group_scores_");
  if (!PyDict_Check(per_group.ptr())) {
    throw py::value_error("predictive_group_scores_ must be a dict: call calibrate again");
  }
  py::object groups = ns("np").attr("ravel")(fitted.attr("test_groups_"));
  if (static_cast<int64_t>(py::len(groups)) != n) {
    throw py::value_error("test_groups_ must hold one group per test row: call evaluate again");
  }
  py::tuple unique = ns("np").attr("unique")(groups, py::arg("return_inverse") = true);
  py::tuple labels = snapshot(unique[0].attr("tolist")());
  IntArray64 inverse = IntArray64::ensure(ns("np").attr("ravel")(unique[1]));
  if (!inverse || static_cast<int64_t>(inverse.size()) != n) {
    throw py::value_error("np.unique gave an inverse of another length than the groups");
  }
  std::vector<int64_t> of_label;
  for (py::handle label : labels) {
    PyObject* found = PyDict_GetItemWithError(per_group.ptr(), label.ptr());
    if (found == nullptr && PyErr_Occurred()) throw py::error_already_set();
    int64_t count = found ? score_count(py::reinterpret_borrow<py::object>(found)) : -1;
    if (count > 0) {
      of_label.push_back(static_cast<int64_t>(in.calib.size()));
      in.calib.push_back(count);
    } else {
      of_label.push_back(-1);
    }
  }
  const int64_t* code = inverse.data();
  const int64_t labels_count = static_cast<int64_t>(of_label.size());
  in.stratum.resize(static_cast<std::size_t>(n));
  for (int64_t i = 0; i < n; ++i) {
    if (code[i] < 0 || code[i] >= labels_count) {
      throw py::value_error("np.unique gave an inverse out of range");
    }
    in.stratum[i] = of_label[code[i]];
  }
  return true;
}

// Where the counts leave the band tells how the distributions are off.
std::string shape_of(const PitHistogram& h) {
  const std::size_t b = h.count.size();
  auto over = [&](std::size_t k) { return h.outside[k] && h.count[k] > h.band_high[k]; };
  auto under = [&](std::size_t k) { return h.outside[k] && h.count[k] < h.band_low[k]; };
  bool lower = false, upper = false;
  for (std::size_t k = 0; k < b; ++k) {
    lower |= over(k) && h.high[k] <= 0.5;
    upper |= over(k) && h.low[k] >= 0.5;
  }
  if (b >= 3 && over(0) && over(b - 1)) {
    return " Too many PIT values near 0 and 1: the distributions are too narrow for these rows, "
           "whose targets vary more than the calibration rows' did.";
  }
  if (b >= 3 && (under(0) || under(b - 1)) && !over(0) && !over(b - 1)) {
    return " Too few PIT values near 0 and 1: the distributions are too wide for these rows.";
  }
  if (lower && !upper) {
    return " PIT values pile up low: the targets fall below their distributions, the "
           "predictions run high on these rows.";
  }
  if (upper && !lower) {
    return " PIT values pile up high: the targets fall above their distributions, the "
           "predictions run low on these rows.";
  }
  return "";
}

std::vector<std::string> pit_findings(const PitHistogram& h, double crps, double confidence) {
  std::vector<std::string> out;
  const int64_t bins = static_cast<int64_t>(h.count.size());
  std::string law =
      h.by_group
          ? "the sum over groups of BetaBinomial(m_g, w(n_g + 1), (1 - w)(n_g + 1)), each group's "
            "m_g test rows sharing its own calibration draw of n_g rows"
          : "BetaBinomial(m, w(n + 1), (1 - w)(n + 1)) with m = " + std::to_string(h.rows) +
                " test rows and n = " + std::to_string(h.n_calib) +
                " calibration rows: all test rows share one calibration draw, "
                "so a binomial band would be too narrow";
  std::string band = " Each bin's band (w = 1/" + std::to_string(bins) + ") is the central " +
                     percent(h.band_level) + " range of " + law +
                     "; at that level per bin (Bonferroni over the bins) a calibrated model "
                     "leaves some band with chance at most " +
                     percent(1 - confidence) + ".";
  std::string rows = std::to_string(h.rows) + " test rows";
  if (h.excluded > 0) {
    rows += " (" + std::to_string(h.excluded) +
            " rows of groups without calibration rows left out: their distributions are no "
            "draw of a calibration)";
  }
  int64_t outside = h.bins_outside();
  if (h.rows == 0) {
    out.push_back("No PIT histogram: every test row belongs to a group without calibration rows.");
  } else if (outside > 0) {
    std::string which;
    int shown = 0;
    for (std::size_t k = 0; k < h.count.size(); ++k) {
      if (!h.outside[k]) continue;
      if (shown == 3) {
        which += ", ...";
        break;
      }
      which += (shown ? ", " : "") + fixed(h.low[k], 2) + " to " + fixed(h.high[k], 2) + " (" +
               std::to_string(h.count[k]) + " rows, band " + std::to_string(h.band_low[k]) +
               " to " + std::to_string(h.band_high[k]) + ")";
      ++shown;
    }
    out.push_back("The predictive distributions are miscalibrated: the PIT histogram of " + rows +
                  " leaves its band in " + std::to_string(outside) + " of " + std::to_string(bins) +
                  " bins (" + which + ")." + shape_of(h) + band);
  } else {
    out.push_back("The PIT histogram of " + rows + " stays within its band in all " +
                  std::to_string(bins) +
                  " bins: the predictive distributions are as calibrated as these rows can "
                  "tell." +
                  band);
  }
  if (std::isinf(crps)) {
    out.push_back(
        "The mean CRPS is infinite: some test rows belong to groups without calibration rows, "
        "whose distributions hold no calibration score.");
  } else {
    out.push_back("Mean CRPS " + fixed(crps, 4) +
                  " (in the target's units, lower is better): it scores each row's whole "
                  "distribution, calibration and sharpness together, on the empirical "
                  "distribution of the calibration scores; compare it between models on the "
                  "same test rows.");
  }
  return out;
}

}  // namespace

int64_t PitHistogram::bins_outside() const {
  return static_cast<int64_t>(std::count(outside.begin(), outside.end(), 1));
}

// A calibrated predictive system's PIT value of a test row, given the calibration
// scores, is uniform on the gap its score falls in; the chance of a bin of width w
// is then a sum of Dirichlet(1, ..., 1) spacings of n + 1 gaps, Beta(w(n + 1),
// (1 - w)(n + 1)) when w(n + 1) is whole and less spread otherwise. Given the
// draw, the m test rows fall in the bin independently: the count is
// BetaBinomial(m, w(n + 1), (1 - w)(n + 1)) (Vovk, Shen, Manokhin & Xie 2017,
// "Nonparametric predictive distributions based on conformal prediction"; Vovk
// 2012, "Conditional validity of inductive conformal predictors").
PitHistogram pit_histogram(const std::vector<double>& pit, const std::vector<int64_t>& stratum,
                           const std::vector<int64_t>& calib, int64_t bins, double confidence) {
  PitHistogram h;
  const int64_t b = std::max<int64_t>(1, std::min(bins, kMostBins));
  const std::size_t strata = calib.size();
  std::vector<int64_t> rows_of(strata, 0);
  h.count.assign(static_cast<std::size_t>(b), 0);
  for (std::size_t i = 0; i < pit.size(); ++i) {
    int64_t s = stratum[i];
    if (s < 0 || std::isnan(pit[i])) {
      ++h.excluded;
      continue;
    }
    int64_t k = std::min<int64_t>(b - 1, static_cast<int64_t>(pit[i] * static_cast<double>(b)));
    ++h.count[static_cast<std::size_t>(k)];
    ++rows_of[static_cast<std::size_t>(s)];
    ++h.rows;
  }
  const double w = 1.0 / static_cast<double>(b);
  const double tail = (1 - confidence) / static_cast<double>(b) / 2;
  h.band_level = 1 - 2 * tail;
  std::vector<BetaPart> parts;
  for (std::size_t s = 0; s < strata; ++s) {
    if (rows_of[s] == 0) continue;
    double gaps = static_cast<double>(calib[s] + 1);
    parts.push_back({rows_of[s], w * gaps, (1 - w) * gaps});
  }
  // Equal widths: one law serves every bin.
  int64_t band_low = h.rows, band_high = h.rows;
  if (b > 1 && h.rows > 0) {
    CountLaw law(parts, 0);
    band_low = law.quantile(tail);
    band_high = law.quantile(1 - tail);
  }
  for (int64_t k = 0; k < b; ++k) {
    h.low.push_back(static_cast<double>(k) * w);
    h.high.push_back(k + 1 == b ? 1.0 : static_cast<double>(k + 1) * w);
    h.expected.push_back(static_cast<double>(h.rows) * w);
    h.band_low.push_back(band_low);
    h.band_high.push_back(band_high);
    int64_t c = h.count[static_cast<std::size_t>(k)];
    h.outside.push_back(c < band_low || c > band_high);
  }
  return h;
}

void add_predictive_section(const py::object& fitted, int64_t bins, double confidence,
                            py::dict summary, py::dict tables, py::list findings) {
  PitInput in;
  if (!gather(fitted, in)) return;
  PitHistogram h = pit_histogram(in.pit, in.stratum, in.calib, bins, confidence);
  h.n_calib = in.n_calib;
  h.by_group = in.by_group;

  summary["crps"] = py::float_(in.crps);
  summary["pit_rows"] = py::int_(h.rows);
  summary["pit_bins"] = py::int_(static_cast<int64_t>(h.count.size()));
  summary["pit_band_level"] = py::float_(h.band_level);
  summary["pit_bins_outside"] = py::int_(h.bins_outside());
  summary["pit_miscalibrated"] = py::bool_(h.bins_outside() > 0);
  if (h.rows > 0) {
    py::dict table;
    table["bin_low"] = float_array(h.low);
    table["bin_high"] = float_array(h.high);
    table["count"] = int_array(h.count);
    table["expected"] = float_array(h.expected);
    table["band_low"] = int_array(h.band_low);
    table["band_high"] = int_array(h.band_high);
    py::list outside;
    for (uint8_t o : h.outside) outside.append(py::bool_(o != 0));
    table["outside"] = outside;
    tables["pit"] = data_frame(table);
  }
  for (const std::string& sentence : pit_findings(h, in.crps, confidence)) {
    findings.append(py::str(sentence));
  }
}

}  // namespace report
}  // namespace trov
