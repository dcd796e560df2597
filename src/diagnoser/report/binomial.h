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

// The central `confidence` interval of BetaBinomial(n, a, b), as counts.
struct CountRange {
  int64_t low, high;
};
CountRange beta_binomial_interval(int64_t n, double a, double b, double confidence);

// Holm's step-down adjustment of `p` (Holm 1979, "A simple sequentially
// rejective multiple test procedure"); NaN entries are no hypothesis and stay NaN.
std::vector<double> holm(const std::vector<double>& p);

}  // namespace report
}  // namespace trov
