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

namespace {

// BetaBinomial(m, a, b) over the counts where its mass lies (14 standard deviations
// about the mean), as a pmf starting at `first`.
void beta_binomial_pmf(int64_t m, double a, double b, int64_t& first, std::vector<double>& pmf) {
  double mm = static_cast<double>(m), s = a + b;
  double mean = mm * a / s;
  double sd = std::sqrt(mm * a * b * (s + mm) / (s * s * (s + 1)));
  first = std::max<int64_t>(0, static_cast<int64_t>(mean - 14 * sd) - 1);
  int64_t last = std::min<int64_t>(m, static_cast<int64_t>(mean + 14 * sd) + 1);
  double log_norm =
      std::lgamma(mm + 1) - std::lgamma(s + mm) + std::lgamma(s) - std::lgamma(a) - std::lgamma(b);
  pmf.resize(static_cast<std::size_t>(last - first + 1));
  for (int64_t j = first; j <= last; ++j) {
    double jj = static_cast<double>(j);
    pmf[j - first] = std::exp(log_norm - std::lgamma(jj + 1) - std::lgamma(mm - jj + 1) +
                              std::lgamma(jj + a) + std::lgamma(mm - jj + b));
  }
}

// Beyond this many multiplications a row's sum of laws is taken as normal: a row
// spanning thousands of small groups would otherwise cost seconds.
constexpr double kConvolutionBudget = 3e7;

}  // namespace

CountLaw::CountLaw(const std::vector<Law>& strata, const std::vector<int64_t>& m) {
  std::vector<BetaPart> parts;
  int64_t fixed = 0;
  for (std::size_t s = 0; s < strata.size(); ++s) {
    if (m[s] == 0) continue;
    const Law& law = strata[s];
    if (law.kind == Law::kUncovered) continue;
    if (law.kind == Law::kCovered || law.k > law.n) {
      fixed += m[s];
      continue;
    }
    parts.push_back({m[s], static_cast<double>(law.k), static_cast<double>(law.n + 1 - law.k)});
  }
  build(parts, fixed);
}

CountLaw::CountLaw(const std::vector<BetaPart>& parts, int64_t fixed) { build(parts, fixed); }

void CountLaw::build(const std::vector<BetaPart>& parts, int64_t fixed) {
  double variance = 0, work = 0, width = 1;
  mean_ = static_cast<double>(fixed);
  top_ = fixed;
  for (const BetaPart& part : parts) {
    if (part.m == 0) continue;
    double mm = static_cast<double>(part.m), a = part.a, b = part.b;
    double v = mm * a * b * (a + b + mm) / ((a + b) * (a + b) * (a + b + 1));
    mean_ += mm * a / (a + b);
    variance += v;
    top_ += part.m;
    double w = std::min(mm + 1, 28 * std::sqrt(v) + 3);
    work += width * w;
    width += w;
  }
  sd_ = std::sqrt(variance);
  if (work > kConvolutionBudget) return;
  pmf_.assign(1, 1.0);
  first_ = fixed;
  std::vector<double> part_pmf, next;
  for (const BetaPart& part : parts) {
    if (part.m == 0) continue;
    int64_t start = 0;
    beta_binomial_pmf(part.m, part.a, part.b, start, part_pmf);
    next.assign(pmf_.size() + part_pmf.size() - 1, 0.0);
    for (std::size_t i = 0; i < pmf_.size(); ++i) {
      for (std::size_t j = 0; j < part_pmf.size(); ++j) next[i + j] += pmf_[i] * part_pmf[j];
    }
    pmf_.swap(next);
    first_ += start;
  }
}

int64_t CountLaw::quantile(double q) const {
  int64_t low = 0, high = top_;
  while (low < high) {
    int64_t mid = low + (high - low) / 2;
    if (at_most(static_cast<double>(mid)) >= q) {
      high = mid;
    } else {
      low = mid + 1;
    }
  }
  return low;
}

double CountLaw::at_most(double x) const {
  double top = std::floor(x);
  if (pmf_.empty()) {
    if (sd_ == 0) return top >= mean_ ? 1 : 0;
    return 0.5 * std::erfc(-(top + 0.5 - mean_) / (sd_ * std::sqrt(2.0)));  // continuity-corrected
  }
  double sum = 0;
  for (std::size_t j = 0; j < pmf_.size() && static_cast<double>(first_) + j <= top; ++j) {
    sum += pmf_[j];
  }
  return std::min(1.0, sum);
}

double CountLaw::at_least(double x) const {
  double bottom = std::ceil(x);
  if (pmf_.empty()) {
    if (sd_ == 0) return bottom <= mean_ ? 1 : 0;
    return 0.5 * std::erfc((bottom - 0.5 - mean_) / (sd_ * std::sqrt(2.0)));
  }
  // From the top, so that a small upper tail keeps its digits.
  double sum = 0;
  for (std::size_t j = pmf_.size(); j-- > 0 && static_cast<double>(first_) + j >= bottom;) {
    sum += pmf_[j];
  }
  return std::min(1.0, sum);
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
