// Weighted split conformal (Tibshirani, Barber, Candes and Ramdas, 2019): under a
// covariate shift with likelihood ratio w, a new row's threshold is the smallest
// calibration score V_(j) whose cumulative weight reaches (1 - alpha)(W + w(x)),
// W the calibration rows' total weight; the new row's own mass sits on +infinity.
// Pure C++: callers run it with the GIL released.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
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
  // w > alpha (W + w); at equality the largest score. Safe from several threads.
  double threshold(double w) const;
  // Rank j is reached exactly when w <= D_j / (b - a): these breaks, rounded and
  // ascending, each within slack() of its exact value.
  const std::vector<double>& breaks() const { return breaks_; }
  double slack() const { return slack_; }
  double at_rank(int64_t j) const;  // scores_[j], or +infinity past the last
  // The threshold from the exact D_j; they are built on first use.
  double exact_threshold(double w) const;
  bool weightless() const { return weightless_; }

 private:
  struct Exact {
    std::vector<double> approx;   // D_j rounded, a filter for the search
    std::vector<int64_t> offset;  // D_j's components are parts[offset[j], offset[j + 1])
    std::vector<double> parts;
  };
  void build_exact() const;
  bool reaches(int64_t j, const std::vector<double>& c) const;  // D_j >= c, exactly
  std::vector<double> scores_, scaled_;                         // scaled_: the weights, scaled
  std::vector<double> breaks_;
  double slack_ = 0;
  Multiplier b_, b_minus_a_;
  int exponent_ = 0;  // the weights are scaled by 2^-exponent_, which brings them near 1
  bool weightless_ = false;
  // Most rows never need the exact D_j: they are built once, by whichever thread
  // first needs them.
  std::unique_ptr<std::once_flag> once_ = std::make_unique<std::once_flag>();
  mutable Exact exact_;
};

// Whether `w` lies so near the rounded break `b`, of slack `slack`, that rounding
// may have put it on the wrong side.
bool ambiguous(double w, double b, double slack);

// Where the first element >= x sits in the ascending a[0, n).
int64_t first_at_least(const double* a, int64_t n, double x);

// The thresholds of one row in several columns (a class's stratum each) at once:
// one search over all columns' breaks merged, then a lookup per column.
class WeightedColumns {
 public:
  // columns[k] is null where column k's threshold is +infinity. The strata outlive this.
  explicit WeightedColumns(std::vector<const WeightedStratum*> columns);
  // out[k] for each column; `w` finite and >= 0.
  void thresholds(double w, double* out) const;

 private:
  std::vector<const WeightedStratum*> columns_;
  double slack_ = 0;            // the largest column's
  std::vector<double> merged_;  // every column's breaks, ascending
  std::vector<int32_t> rank_;   // rank_[p * columns + k]: column k's breaks below merged_[p]
  bool tabled_ = false;         // false when the table would be too large: search each column
};

// Kish's effective sample size (sum w)^2 / sum w^2; 0 when every weight is 0.
double effective_size(const double* weights, int64_t count);

}  // namespace conformal
}  // namespace trov
