#include "diagnoser/report/coverage_kernels.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace trov {
namespace report {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A rational approximation good to about 1e-9 relative, the starting point of
// the refinement below.
double rough_quantile(double p) {
  static const double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,  -2.759285104469687e+02,
                             1.383577518672690e+02,  -3.066479806614716e+01, 2.506628277459239e+00};
  static const double b[] = {-5.447609879822406e+01, 1.615858368580409e+02, -1.556989798598866e+02,
                             6.680131188771972e+01, -1.328068155288572e+01};
  static const double c[] = {-7.784894002430293e-03, -3.223964580411365e-01, -2.400758277161838e+00,
                             -2.549732539343734e+00, 4.374664141464968e+00,  2.938163982698783e+00};
  static const double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                             3.754408661907416e+00};
  const double low = 0.02425;
  if (p < low) {
    double q = std::sqrt(-2 * std::log(p));
    return (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
           ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
  }
  if (p > 1 - low) return -rough_quantile(1 - p);
  double q = p - 0.5;
  double r = q * q;
  return (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
         (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
}

}  // namespace

double normal_quantile(double p) {
  if (!(p > 0 && p < 1)) return kNaN;
  double x = rough_quantile(p);
  // Halley steps on Phi(x) - p, with Phi from erfc (accurate in both tails).
  const double sqrt2 = std::sqrt(2.0), sqrt2pi = std::sqrt(2 * M_PI);
  for (int step = 0; step < 2; ++step) {
    double e = 0.5 * std::erfc(-x / sqrt2) - p;
    double u = e * sqrt2pi * std::exp(x * x / 2);
    x = x - u / (1 + x * u / 2);
  }
  return x;
}

double two_sided_z(double confidence) { return normal_quantile(1 - (1 - confidence) / 2); }

Interval wilson(int64_t covered, int64_t n, double z) {
  if (n <= 0) return {0.0, 1.0};
  double nn = static_cast<double>(n);
  double p = static_cast<double>(covered) / nn;
  double z2 = z * z;
  double denominator = 1 + z2 / nn;
  double centre = (p + z2 / (2 * nn)) / denominator;
  double half = z / denominator * std::sqrt(p * (1 - p) / nn + z2 / (4 * nn * nn));
  // At p = 0 or 1 one end is exactly 0 or 1; rounding would step a hair past it.
  double low = covered <= 0 ? 0.0 : std::max(0.0, centre - half);
  double high = covered >= n ? 1.0 : std::min(1.0, centre + half);
  return {low, high};
}

double Stratum::coverage() const {
  return n > 0 ? static_cast<double>(covered) / static_cast<double>(n) : kNaN;
}

double Stratum::mean() const { return n > 0 ? sum / static_cast<double>(n) : kNaN; }

std::vector<Stratum> group_strata(const int64_t* group, int64_t rows, int64_t groups,
                                  const uint8_t* covered, const double* value) {
  std::vector<Stratum> out(static_cast<std::size_t>(groups));
  for (int64_t i = 0; i < rows; ++i) {
    Stratum& s = out[static_cast<std::size_t>(group[i])];
    ++s.n;
    s.covered += covered[i];
    s.sum += value[i];
  }
  for (Stratum& s : out) s.low = s.high = kNaN;
  return out;
}

double median(std::vector<double> values) {
  if (values.empty()) return kNaN;
  for (double v : values) {
    if (std::isnan(v)) return kNaN;
  }
  std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + mid, values.end());
  double upper = values[mid];
  if (values.size() % 2 == 1) return upper;
  double lower = *std::max_element(values.begin(), values.begin() + mid);
  return (lower + upper) / 2;
}

}  // namespace report
}  // namespace trov
