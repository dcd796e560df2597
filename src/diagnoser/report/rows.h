// The rows of the report's tables: coverage, Wilson interval and one-sided exact
// tests per row, and the flags decided over every table of a report together.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "diagnoser/report/binomial.h"
#include "diagnoser/report/coverage_kernels.h"

namespace trov {
namespace py = pybind11;
namespace report {

py::array_t<double> float_array(const std::vector<double>& values);
py::array_t<int64_t> int_array(const std::vector<int64_t>& values);

template <typename T>
py::list to_list(const std::vector<T>& values) {
  py::list out;
  for (const T& v : values) out.append(py::cast(v));
  return out;
}

// `pd.DataFrame(columns)`
py::object data_frame(const py::dict& columns);

// The strata with their own threshold and each test row's stratum; `known` false
// when the object does not say how it was calibrated (then rows get fixed tests).
struct Laws {
  bool known = false;
  std::vector<Law> strata;
  std::vector<int64_t> of_row;
};

// What every row's interval and tests need.
struct Tests {
  double z, target, tol;
  const Laws* laws = nullptr;
};

// The rows of one table: their strata, Wilson intervals and one-sided p-values;
// the flags follow once every table's p-values are known.

struct Rows {
  std::vector<int64_t> n, covered;
  std::vector<double> low, high, coverage, coverage_low, coverage_high, mean;
  std::vector<double> p_under, p_over, p_adjusted;
  std::vector<std::string> flag, label;
  // With tied scores: above the law of untied scores beyond chance, said in a
  // finding and never flagged, since ties lift coverage above that law for real.
  std::vector<uint8_t> tied_over;

  std::size_t size() const { return n.size(); }

  // `testable` false: a row covered 0 or 1 by construction carries no test.
  void add(const Stratum& s, const Tests& t, bool testable = true);
  // Replaces the fixed tests of the rows just added, grouped by `group_of_row` (0 ..
  // `groups` - 1, in the order added), with tests against the law of each row's
  // strata. `own`: the rows are the strata themselves, tested without allowance.
  void test_by_law(const int64_t* group_of_row, int64_t groups, const Tests& t, bool own);
  // Row `i` of `from`, flags and all.
  void copy_row(const Rows& from, std::size_t i);
  // n and coverage with its interval.
  void coverage_columns(py::dict& table) const;
  // label, n, low and high.
  void range_columns(py::dict& table) const;
  // p_adjusted and flag.
  void test_columns(py::dict& table) const;
};

// Holm's step-down over both one-sided hypotheses of every row of every table,
// so that the chance of any false flag in the whole report stays below `level`.
// With `ties` the over-coverage tests leave that family: the upper tail of the law
// needs scores without ties. They are then decided in a Holm family of their own
// into `tied_over`. Returns the number of hypotheses the flags were decided over.
std::size_t decide_flags(const std::vector<Rows*>& tables, double level, bool ties);

}  // namespace report
}  // namespace trov
