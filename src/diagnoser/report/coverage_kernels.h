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

// The median as numpy takes it: the mean of the two middle values for an even
// count, NaN when any value is NaN or there is none.
double median(std::vector<double> values);

}  // namespace report
}  // namespace trov
