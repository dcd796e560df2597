// Exact binomial and beta-binomial laws for the report's flags and findings.
// Nothing here touches Python objects.
#pragma once

#include <cstdint>
#include <vector>

namespace trov {
namespace report {

// The regularised incomplete beta function I_x(a, b), a, b > 0.
double incomplete_beta(double x, double a, double b);

// P(X <= k) and P(X >= k) for X ~ Binomial(n, p).
double binomial_at_most(int64_t k, int64_t n, double p);
double binomial_at_least(int64_t k, int64_t n, double p);

// The q-quantile of Beta(a, b).
double beta_quantile(double q, double a, double b);

// The rank of the conformal quantile among n_calib scores at level alpha:
// k = ceil((n_calib + 1)(1 - alpha)); above n_calib the interval is unbounded.
int64_t conformal_rank(int64_t n_calib, double alpha);

// What the calibration draw allows for: given the calibration part, the coverage of
// exact split conformal follows Beta(k, n_calib + 1 - k) (Vovk 2012, "Conditional
// validity of inductive conformal predictors"; Angelopoulos & Bates 2021, "A gentle introduction to
// conformal prediction").
struct CalibrationLaw {
  int64_t n = -1;  // unknown
  int64_t rank = 0;
  double tol = 0.01;
  double low = 0, high = 1;  // central `confidence` range of that law
  bool bounded() const { return n >= 0 && rank <= n; }
};

// The law of the coverage for `n_calib` calibration rows (-1: not known) at `alpha`.
CalibrationLaw calibration_law(int64_t n_calib, double alpha, double confidence);

// The central `confidence` interval of BetaBinomial(n, a, b), as counts.
struct CountRange {
  int64_t low, high;
};
CountRange beta_binomial_interval(int64_t n, double a, double b, double confidence);

// The law of one stratum's covered count given its m test rows: exact split conformal
// with threshold rank k among n calibration scores covers each test row with the
// same Beta(k, n + 1 - k) probability, so the count is BetaBinomial(m, k, n + 1 - k)
// (Vovk 2012; Angelopoulos & Bates 2021, coverage conditional on the calibration
// set). A rank above n gives unbounded sets or intervals: every row covered.
struct Law {
  enum Kind { kDraw, kCovered, kUncovered } kind = kDraw;
  int64_t n = 0, k = 0;
  bool testable = true;  // false for a stratum that fell back: no law of its own
};

// The covered count of a row whose test rows fall `m[s]` into stratum `s`, the
// strata's draws independent: the sum of their laws.
// One independent part of a count: BetaBinomial(m, a, b) with a, b > 0.
struct BetaPart {
  int64_t m;
  double a, b;
};

class CountLaw {
 public:
  CountLaw(const std::vector<Law>& strata, const std::vector<int64_t>& m);
  // `fixed` rows always counted, plus the independent parts.
  CountLaw(const std::vector<BetaPart>& parts, int64_t fixed);
  double at_most(double x) const;   // P(S <= floor(x))
  double at_least(double x) const;  // P(S >= ceil(x))
  double mean() const { return mean_; }
  // The least count c with P(S <= c) >= q.
  int64_t quantile(double q) const;

 private:
  void build(const std::vector<BetaPart>& parts, int64_t fixed);
  int64_t top_ = 0;  // the largest count
  int64_t first_ = 0;
  std::vector<double> pmf_;  // from first_; empty when the normal approximation is used
  double mean_ = 0, sd_ = 0;
};

// Holm's step-down adjustment of `p` (Holm 1979, "A simple sequentially
// rejective multiple test procedure"); NaN entries are no hypothesis and stay NaN.
std::vector<double> holm(const std::vector<double>& p);

}  // namespace report
}  // namespace trov
