// Conformal predictive distributions over sorted signed calibration scores
// (Vovk, Gammerman and Shafer, 2005; Vovk et al., 2017 and 2018). Pure C++: every
// answer is a binary search, so memory grows with rows x values, never with rows x
// calibration rows.
#pragma once

#include <cstdint>
#include <vector>

namespace trov {
namespace conformal {

// The sorted scores of every stratum, laid end to end: stratum s holds
// scores[start[s] .. start[s + 1]), ascending. prefix[start[s] + s + i] is the sum
// of the stratum's first i scores (one more entry per stratum than its scores:
// each starts from 0, so one stratum's magnitude costs another no precision), and
// spread[s] the stratum's
// (1/n^2) sum_i (2i - n - 1) a_(i), half its mean absolute difference.
struct SignedStrata {
  std::vector<double> scores;
  std::vector<int64_t> start;
  std::vector<double> prefix;
  std::vector<double> spread;
  int64_t count(int64_t s) const { return start[s + 1] - start[s]; }
  int64_t strata() const { return static_cast<int64_t>(start.size()) - 1; }
};

// Sorts each stratum's scores in place and fills prefix and spread. `start` must be
// set and `scores` hold start.back() values.
void finish_strata(SignedStrata& strata);

// Where each row's distribution is centred and scaled: C = centre + scale * a.
// `scale` may be null (1 for every row); `stratum` may be null (stratum 0).
struct Rows {
  const double* centre;
  const double* scale;
  const int64_t* stratum;
  int64_t count;
};

// Q(x, y) = (#{a_i < A} + tau (#{a_i = A} + 1)) / (n + 1), A = (y - centre) / scale,
// for `k` values of y per row: y[i * row_stride + j] (row_stride 0: the same values
// for every row). tau[i] in (0, 1], one per row for all its values. out is rows x k.
void cdf_values(const SignedStrata& strata, const Rows& rows, const double* tau, const double* y,
                int64_t row_stride, int64_t k, double* out);

// out[i, l] = centre + scale * a_(rank), rank = ranks[stratum * levels + l] among
// that stratum's n sorted scores; rank 0 gives -inf, rank n + 1 +inf.
void quantile_values(const SignedStrata& strata, const Rows& rows, const int64_t* ranks,
                     int64_t levels, double* out);

// The CRPS of each row's empirical distribution of the n values centre + scale * a_i
// at y[i]: scale * [(1/n) sum_i |a_i - z| - spread], z = (y - centre) / scale;
// +inf for a stratum with no scores.
void crps_values(const SignedStrata& strata, const Rows& rows, const double* y, double* out);

}  // namespace conformal
}  // namespace trov
