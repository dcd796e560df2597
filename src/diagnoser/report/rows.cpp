#include "diagnoser/report/rows.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "diagnoser/common/names.h"
#include "diagnoser/report/binomial.h"

namespace trov {
namespace report {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Over-coverage is tested against the target, or the law, plus this margin.
constexpr double kOverMargin = 0.05;
// A row that only mixes strata may fall short of its strata's law by this much.
constexpr double kSplitTol = 0.01;

}  // namespace

py::array_t<double> float_array(const std::vector<double>& values) {
  py::array_t<double> out(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

py::array_t<int64_t> int_array(const std::vector<int64_t>& values) {
  py::array_t<int64_t> out(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

py::object data_frame(const py::dict& columns) { return ns("pd").attr("DataFrame")(columns); }

void Rows::add(const Stratum& s, const Tests& t, bool testable) {
  Interval interval = wilson(s.covered, s.n, t.z);
  n.push_back(s.n);
  covered.push_back(s.covered);
  low.push_back(s.low);
  high.push_back(s.high);
  coverage.push_back(s.coverage());
  coverage_low.push_back(interval.low);
  coverage_high.push_back(interval.high);
  mean.push_back(s.mean());
  bool tested = testable && s.n > 0;
  p_under.push_back(tested ? binomial_at_most(s.covered, s.n, t.target - t.tol) : kNaN);
  bool over = tested && t.target + kOverMargin < 1;
  p_over.push_back(over ? binomial_at_least(s.covered, s.n, t.target + kOverMargin) : kNaN);
}

void Rows::test_by_law(const int64_t* group_of_row, int64_t groups, const Tests& t, bool own) {
  const Laws& laws = *t.laws;
  std::size_t strata = laws.strata.size();
  std::size_t base = size() - static_cast<std::size_t>(groups);
  std::vector<std::vector<int64_t>> mix(static_cast<std::size_t>(groups),
                                        std::vector<int64_t>(strata, 0));
  for (std::size_t i = 0; i < laws.of_row.size(); ++i) ++mix[group_of_row[i]][laws.of_row[i]];
  bool over = t.target + kOverMargin < 1;
  // A stratum that fell back to the marginal threshold shares its draw with the
  // strata whose calibration rows set it: summed with theirs as independent, a mix's
  // law would be too narrow. Its rows count as missed for the under-coverage test
  // and as covered for the over-coverage one, which bounds each tail whatever the
  // dependence.
  std::vector<Law> for_under = laws.strata, for_over = laws.strata;
  for (std::size_t s = 0; s < strata; ++s) {
    if (!laws.strata[s].testable && laws.strata[s].kind == Law::kDraw) {
      for_under[s].kind = Law::kUncovered;
      for_over[s].kind = Law::kCovered;
    }
  }
  for (int64_t g = 0; g < groups; ++g) {
    std::size_t r = base + static_cast<std::size_t>(g);
    if (std::isnan(p_under[r]) && std::isnan(p_over[r])) continue;  // no test by construction
    const std::vector<int64_t>& m = mix[g];
    // A stratum that fell back has no law of its own to test; in a mix its rows
    // follow the fallback's.
    bool testable = true;
    for (std::size_t s = 0; s < strata; ++s)
      testable &= !own || m[s] == 0 || laws.strata[s].testable;
    if (!testable) {
      p_under[r] = p_over[r] = kNaN;
      continue;
    }
    // A stratum of its own is tested against its exact law; a mix of strata (a class
    // under marginal calibration, a feature segment) may differ a little from them.
    double rows = static_cast<double>(n[r]), x = static_cast<double>(covered[r]);
    double allowance = own ? 0 : kSplitTol * rows;
    p_under[r] = CountLaw(for_under, m).at_most(x + allowance);
    p_over[r] = over ? CountLaw(for_over, m).at_least(x - kOverMargin * rows) : kNaN;
  }
}

void Rows::copy_row(const Rows& from, std::size_t i) {
  n.push_back(from.n[i]);
  covered.push_back(from.covered[i]);
  low.push_back(from.low[i]);
  high.push_back(from.high[i]);
  coverage.push_back(from.coverage[i]);
  coverage_low.push_back(from.coverage_low[i]);
  coverage_high.push_back(from.coverage_high[i]);
  mean.push_back(from.mean[i]);
  p_under.push_back(from.p_under[i]);
  p_over.push_back(from.p_over[i]);
  p_adjusted.push_back(from.p_adjusted[i]);
  flag.push_back(from.flag[i]);
  label.push_back(from.label[i]);
  tied_over.push_back(i < from.tied_over.size() ? from.tied_over[i] : 0);
}

void Rows::coverage_columns(py::dict& table) const {
  table["n"] = int_array(n);
  table["coverage"] = float_array(coverage);
  table["coverage_low"] = float_array(coverage_low);
  table["coverage_high"] = float_array(coverage_high);
}

void Rows::range_columns(py::dict& table) const {
  table["label"] = to_list(label);
  table["n"] = int_array(n);
  table["low"] = float_array(low);
  table["high"] = float_array(high);
}

void Rows::test_columns(py::dict& table) const {
  table["p_adjusted"] = float_array(p_adjusted);
  table["flag"] = to_list(flag);
}

std::size_t decide_flags(const std::vector<Rows*>& tables, double level, bool ties) {
  std::vector<double> p, tied;
  for (const Rows* rows : tables) {
    p.insert(p.end(), rows->p_under.begin(), rows->p_under.end());
    if (ties) {
      p.insert(p.end(), rows->size(), kNaN);
      tied.insert(tied.end(), rows->p_over.begin(), rows->p_over.end());
    } else {
      p.insert(p.end(), rows->p_over.begin(), rows->p_over.end());
      tied.insert(tied.end(), rows->size(), kNaN);
    }
  }
  std::vector<double> adjusted = holm(p), tied_adjusted = holm(tied);
  std::size_t at = 0, tied_at = 0;
  for (Rows* rows : tables) {
    std::size_t count = rows->size();
    rows->p_adjusted.assign(count, kNaN);
    rows->flag.assign(count, "");
    rows->tied_over.assign(count, 0);
    for (std::size_t i = 0; i < count; ++i) {
      double under = adjusted[at + i], over = adjusted[at + count + i];
      rows->p_adjusted[i] = std::isnan(under)  ? over
                            : std::isnan(over) ? under
                                               : std::min(under, over);
      if (under <= level) rows->flag[i] = "under-covered";
      if (over <= level) rows->flag[i] = "over-covered";
      rows->tied_over[i] = tied_adjusted[tied_at + i] <= level && rows->flag[i].empty();
    }
    at += 2 * count;
    tied_at += count;
  }
  return static_cast<std::size_t>(
      std::count_if(p.begin(), p.end(), [](double v) { return !std::isnan(v); }));
}

}  // namespace report
}  // namespace trov
