#include "diagnoser/report/binomial.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace trov {
namespace report {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The continued fraction of I_x(a, b) by the modified Lentz method (Press et al.,
// Numerical Recipes, 6.4); converges fast for x < (a + 1) / (a + b + 2).
double beta_fraction(double x, double a, double b) {
  const double tiny = 1e-300, eps = 1e-15;
  double qab = a + b, qap = a + 1, qam = a - 1;
  double c = 1, d = 1 - qab * x / qap;
  if (std::fabs(d) < tiny) d = tiny;
  d = 1 / d;
  double h = d;
  for (int m = 1; m < 100000; ++m) {
    double m2 = 2.0 * m;
    double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
    d = 1 + aa * d;
    if (std::fabs(d) < tiny) d = tiny;
    c = 1 + aa / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1 / d;
    h *= d * c;
    aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
    d = 1 + aa * d;
    if (std::fabs(d) < tiny) d = tiny;
    c = 1 + aa / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1 / d;
    double step = d * c;
    h *= step;
    if (std::fabs(step - 1) < eps) break;
  }
  return h;
}

}  // namespace

double incomplete_beta(double x, double a, double b) {
  if (!(a > 0 && b > 0) || std::isnan(x)) return kNaN;
  if (x <= 0) return 0;
  if (x >= 1) return 1;
  double log_front =
      std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) + b * std::log1p(-x);
  double front = std::exp(log_front);
  if (x < (a + 1) / (a + b + 2)) return front * beta_fraction(x, a, b) / a;
  return 1 - front * beta_fraction(1 - x, b, a) / b;
}

double binomial_at_most(int64_t k, int64_t n, double p) {
  if (k < 0) return 0;
  if (k >= n) return 1;
  return incomplete_beta(1 - p, static_cast<double>(n - k), static_cast<double>(k) + 1);
}

double binomial_at_least(int64_t k, int64_t n, double p) {
  if (k <= 0) return 1;
  if (k > n) return 0;
  return incomplete_beta(p, static_cast<double>(k), static_cast<double>(n - k) + 1);
}

double beta_quantile(double q, double a, double b) {
  double low = 0, high = 1;
  for (int step = 0; step < 200 && high - low > 1e-15; ++step) {
    double mid = (low + high) / 2;
    (incomplete_beta(mid, a, b) < q ? low : high) = mid;
  }
  return (low + high) / 2;
}

int64_t conformal_rank(int64_t n_calib, double alpha) {
  double level = static_cast<double>(n_calib + 1) * (1 - alpha);
  // A hair below an integer is that integer: (n + 1)(1 - alpha) often rounds up.
  return static_cast<int64_t>(std::ceil(level - 1e-9 * level));
}

CalibrationLaw calibration_law(int64_t n_calib, double alpha, double confidence) {
  CalibrationLaw c;
  c.n = n_calib;
  if (n_calib < 0) return c;
  c.rank = conformal_rank(n_calib, alpha);
  if (!c.bounded()) {
    c.low = c.high = 1;  // too few rows for the level: every interval is unbounded
    return c;
  }
  double a = static_cast<double>(c.rank), b = static_cast<double>(n_calib + 1 - c.rank);
  double target = 1 - alpha;
  c.tol = std::max(0.01, target - beta_quantile(1 - confidence, a, b));
  c.low = beta_quantile((1 - confidence) / 2, a, b);
  c.high = beta_quantile(1 - (1 - confidence) / 2, a, b);
  return c;
}

CountRange beta_binomial_interval(int64_t n, double a, double b, double confidence) {
  // The mass lies within a few standard deviations of the mean; sum the pmf there.
  double nn = static_cast<double>(n), s = a + b;
  double mean = nn * a / s;
  double sd = std::sqrt(nn * a * b * (s + nn) / (s * s * (s + 1)));
  int64_t first = std::max<int64_t>(0, static_cast<int64_t>(mean - 14 * sd) - 1);
  int64_t last = std::min<int64_t>(n, static_cast<int64_t>(mean + 14 * sd) + 1);
  double log_norm =
      std::lgamma(nn + 1) - std::lgamma(s + nn) + std::lgamma(s) - std::lgamma(a) - std::lgamma(b);
  double tail = (1 - confidence) / 2, cdf = 0;
  CountRange out{first, last};
  bool low_found = false;
  for (int64_t j = first; j <= last; ++j) {
    double jj = static_cast<double>(j);
    cdf += std::exp(log_norm - std::lgamma(jj + 1) - std::lgamma(nn - jj + 1) +
                    std::lgamma(jj + a) + std::lgamma(nn - jj + b));
    if (!low_found && cdf >= tail) {
      out.low = j;
      low_found = true;
    }
    if (cdf >= 1 - tail) {
      out.high = j;
      break;
    }
  }
  return out;
}

std::vector<double> holm(const std::vector<double>& p) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (!std::isnan(p[i])) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return p[x] < p[y]; });
  std::vector<double> out(p.size(), kNaN);
  double running = 0, m = static_cast<double>(order.size());
  for (std::size_t r = 0; r < order.size(); ++r) {
    running = std::max(running, std::min(1.0, (m - static_cast<double>(r)) * p[order[r]]));
    out[order[r]] = running;
  }
  return out;
}

}  // namespace report
}  // namespace trov
