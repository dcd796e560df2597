// The report's arithmetic: normal quantiles, Wilson intervals and the per-stratum
// loops over plain buffers. Nothing here touches Python objects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace trov {
namespace report {

// The standard normal quantile: Phi^-1(p) for p in (0, 1).
double normal_quantile(double p);

// z of a two-sided interval at `confidence`: Phi^-1(1 - (1 - confidence) / 2).
double two_sided_z(double confidence);

struct Interval {
  double low, high;
};

// The Wilson score interval of `covered` successes in `n` trials at quantile z;
// [0, 1] when n is 0, since nothing narrows it.
Interval wilson(int64_t covered, int64_t n, double z);

// "under-covered" when the interval lies wholly below the target, "over-covered"
// when it lies above target + 0.05, otherwise "".
const char* flag(const Interval& interval, double target);

// One table row: a class, a set size or a segment.
struct Stratum {
  int64_t n = 0;
  int64_t covered = 0;
  double sum = 0;  // of the set sizes or widths, for the mean
  double low = 0;  // lowest and highest value of the ranked variable
  double high = 0;
  double coverage() const;  // NaN when empty
  double mean() const;      // NaN when empty
};

// Strata of rows grouped by `group[i]` in 0 .. groups - 1; `value` is summed.
std::vector<Stratum> group_strata(const int64_t* group, int64_t rows, int64_t groups,
                                  const uint8_t* covered, const double* value);

// The segments of the ranking `order` (a permutation of 0 .. rows - 1) cut at the
// rank `bounds` (bins + 1 of them): segment i holds ranks bounds[i] .. bounds[i + 1] - 1,
// the last one all ranks from bounds[bins - 1]. `ranked` gives low and high (NaN
// when the segment holds a NaN, as numpy's min and max), `width` is summed.
// Throws std::out_of_range for an index outside 0 .. rows - 1.
std::vector<Stratum> segment_strata(const int64_t* order, int64_t rows,
                                    const std::vector<int64_t>& bounds, const double* ranked,
                                    const uint8_t* covered, const double* width);

// The median as numpy takes it: the mean of the two middle values for an even
// count, NaN when any value is NaN or there is none.
double median(std::vector<double> values);

}  // namespace report
}  // namespace trov
