// Weighted split conformal (Tibshirani, Barber, Candes and Ramdas, 2019): under a
// covariate shift with likelihood ratio w, a new row's threshold is the smallest
// calibration score V_(j) whose cumulative weight reaches (1 - alpha)(W + w(x)),
// W the calibration rows' total weight; the new row's own mass sits on +infinity.
// Pure C++: callers run it with the GIL released.
#pragma once

#include <cstdint>
#include <vector>

namespace trov {
namespace conformal {

// An integer as two doubles, hi + lo exactly: alpha's denominator can pass 2^53.
struct Multiplier {
  double hi = 0, lo = 0;
};

// One stratum's calibration scores, ascending, with their weights. With alpha = a / b
// rank j is reached exactly when D_j = b S_j - (b - a) W >= (b - a) w(x), S_j the
// weight of the j smallest scores. D_j is kept as an exact floating-point expansion
// (Shewchuk, 1997): a float cumulative sum of equal weights moves ranks, and with
// equal weights the threshold must be the unweighted k-th score.
class WeightedStratum {
 public:
  // `weights` finite and >= 0, aligned with the ascending `scores`.
  WeightedStratum(const double* scores, const double* weights, int64_t count, Multiplier b,
                  Multiplier b_minus_a);
  // The threshold of a new row of weight `w` (finite, >= 0): +infinity exactly when
  // w > alpha (W + w); at equality the largest score.
  double threshold(double w) const;

 private:
  bool reaches(int64_t j, const std::vector<double>& c) const;  // D_(j + 1) >= c, exactly
  std::vector<double> scores_;
  std::vector<double> approx_;   // D_j rounded, a filter for the search
  std::vector<int64_t> offset_;  // D_j's components are parts_[offset_[j - 1], offset_[j])
  std::vector<double> parts_;
  Multiplier b_minus_a_;
  double scale_ = 1;  // a power of two that brings the weights near 1
  bool weightless_ = false;
};

// Kish's effective sample size (sum w)^2 / sum w^2; 0 when every weight is 0.
double effective_size(const double* weights, int64_t count);

}  // namespace conformal
}  // namespace trov
