#include "diagnoser/conformal/predictive_kernels.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace trov {
namespace conformal {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

inline int64_t stratum_of(const Rows& rows, int64_t i) {
  return rows.stratum != nullptr ? rows.stratum[i] : 0;
}

inline double scale_of(const Rows& rows, int64_t i) {
  return rows.scale != nullptr ? rows.scale[i] : 1.0;
}

}  // namespace

void finish_strata(SignedStrata& strata) {
  const int64_t count = strata.strata();
  strata.prefix.assign(strata.scores.size() + static_cast<std::size_t>(count), 0.0);
  strata.spread.assign(static_cast<std::size_t>(count), 0.0);
  for (int64_t s = 0; s < count; ++s) {
    double* first = strata.scores.data() + strata.start[s];
    const int64_t n = strata.count(s);
    std::sort(first, first + n);
    // Weighted by 2i - n - 1, which sums to 0: the stratum's level cancels out, so
    // large offsets cost no precision beyond the differences themselves.
    double sum = 0.0;
    for (int64_t i = 0; i < n; ++i) sum += static_cast<double>(2 * (i + 1) - n - 1) * first[i];
    if (n > 0) strata.spread[s] = sum / (static_cast<double>(n) * static_cast<double>(n));
    double* prefix = strata.prefix.data() + strata.start[s] + s;
    for (int64_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + first[i];
  }
}

void cdf_values(const SignedStrata& strata, const Rows& rows, const double* tau, const double* y,
                int64_t row_stride, int64_t k, double* out) {
  for (int64_t i = 0; i < rows.count; ++i) {
    const int64_t s = stratum_of(rows, i);
    const double* first = strata.scores.data() + strata.start[s];
    const double* last = first + strata.count(s);
    const double n1 = static_cast<double>(strata.count(s) + 1);
    const double centre = rows.centre[i], scale = scale_of(rows, i);
    for (int64_t j = 0; j < k; ++j) {
      const double a = (y[i * row_stride + j] - centre) / scale;
      const double* below = std::lower_bound(first, last, a);
      const double* through = std::upper_bound(below, last, a);
      out[i * k + j] = (static_cast<double>(below - first) +
                        tau[i] * (static_cast<double>(through - below) + 1.0)) /
                       n1;
    }
  }
}

void quantile_values(const SignedStrata& strata, const Rows& rows, const int64_t* ranks,
                     int64_t levels, double* out) {
  for (int64_t i = 0; i < rows.count; ++i) {
    const int64_t s = stratum_of(rows, i);
    const double* first = strata.scores.data() + strata.start[s];
    const int64_t n = strata.count(s);
    const double centre = rows.centre[i], scale = scale_of(rows, i);
    for (int64_t l = 0; l < levels; ++l) {
      const int64_t r = ranks[s * levels + l];
      out[i * levels + l] = r <= 0 ? -kInfinity : r > n ? kInfinity : centre + scale * first[r - 1];
    }
  }
}

void crps_values(const SignedStrata& strata, const Rows& rows, const double* y, double* out) {
  for (int64_t i = 0; i < rows.count; ++i) {
    const int64_t s = stratum_of(rows, i);
    const int64_t n = strata.count(s);
    const int64_t from = strata.start[s];
    const double* first = strata.scores.data() + from;
    // No scores, or mass at an infinite score: the CRPS is infinite, and the prefix
    // sums would give inf - inf.
    if (n == 0 || std::isinf(first[0]) || std::isinf(first[n - 1])) {
      out[i] = kInfinity;
      continue;
    }
    const double scale = scale_of(rows, i);
    const double z = (y[i] - rows.centre[i]) / scale;
    const int64_t m = std::lower_bound(first, first + n, z) - first;
    // sum |a_i - z| split at z: the m scores below it, and the rest.
    const double* prefix = strata.prefix.data() + from + s;
    const double low = prefix[m];
    const double high = prefix[n] - prefix[m];
    const double distance =
        (static_cast<double>(m) * z - low) + (high - static_cast<double>(n - m) * z);
    out[i] = scale * (distance / static_cast<double>(n) - strata.spread[s]);
  }
}

}  // namespace conformal
}  // namespace trov
