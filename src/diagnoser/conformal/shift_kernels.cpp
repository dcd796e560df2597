#include "diagnoser/conformal/shift_kernels.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

namespace trov {
namespace conformal {

bool mann_whitney_exact(int64_t m, int64_t n) {
  const double a = static_cast<double>(std::min(m, n)), b = static_cast<double>(std::max(m, n));
  return a * a * b <= kExactCost && a * b <= kExactPairs;
}

// The counts of U are the coefficients of the Gaussian binomial
// prod_{i=1..a} (1 - q^(b+i)) / (1 - q^i), a = min(m, n), b = max(m, n). Each step
// multiplies by 1 - q^(b+i), divides by 1 - q^i (exact: the result is again a
// polynomial with non-negative coefficients) and scales by i / (b + i), so the
// coefficients stay probabilities instead of counts that overflow (Harding, 1984).
// The coefficients below t depend on no coefficient above it, so the polynomial is
// kept only up to t. Each multiplication subtracts, and its rounding grows with a:
// in doubles the lower half lost 1e-10 of p at a = 450 and 0.02 at 669, so the sums
// run in long double and the cap keeps a at 500 or less.
double mann_whitney_lower_exact(int64_t t, int64_t m, int64_t n) {
  const int64_t a = std::min(m, n), b = std::max(m, n);
  if (t < 0) return 0;
  if (t >= a * b) return 1;
  std::vector<long double> c(static_cast<std::size_t>(t + 1), 0.0L);
  c[0] = 1;
  int64_t degree = 0;
  for (int64_t i = 1; i <= a; ++i) {
    const int64_t shift = b + i, raised = degree + shift;
    for (int64_t u = std::min(raised, t); u >= shift; --u) c[u] -= c[u - shift];
    degree = i * b;
    const int64_t top = std::min(degree, t);
    for (int64_t u = i; u <= top; ++u) c[u] += c[u - i];
    // The quotient has degree i * b: what the division left above it is rounding.
    for (int64_t u = degree + 1; u <= std::min(raised, t); ++u) c[u] = 0;
    const long double scale = static_cast<long double>(i) / static_cast<long double>(shift);
    for (int64_t u = 0; u <= top; ++u) c[u] *= scale;
  }
  long double sum = 0;
  for (int64_t u = 0; u <= std::min(t, degree); ++u) sum += c[u];
  return static_cast<double>(std::min(1.0L, std::max(0.0L, sum)));
}

double mann_whitney_upper(int64_t u, int64_t m, int64_t n) {
  const int64_t pairs = m * n;
  if (u <= 0) return 1;
  if (u > pairs) return 0;
  if (mann_whitney_exact(m, n)) {
    // The law is symmetric about m n / 2: P(U >= u) = P(U <= m n - u). Either way
    // the tail read is the lower half's.
    if (2 * u > pairs) return mann_whitney_lower_exact(pairs - u, m, n);
    return 1 - mann_whitney_lower_exact(u - 1, m, n);
  }
  const double mean = static_cast<double>(pairs) / 2;
  const double sd = std::sqrt(static_cast<double>(pairs) * static_cast<double>(m + n + 1) / 12);
  const double z = (static_cast<double>(u) - 0.5 - mean) / sd;
  return std::min(1.0, std::max(0.0, 0.5 * std::erfc(z / std::sqrt(2.0))));
}

int64_t mann_whitney_count(const double* score, const int64_t* key, const unsigned char* label,
                           int64_t rows, int64_t* order) {
  std::iota(order, order + rows, int64_t{0});
  std::sort(order, order + rows, [&](int64_t i, int64_t j) {
    return score[i] < score[j] || (score[i] == score[j] && key[i] < key[j]);
  });
  int64_t below = 0, count = 0;
  for (int64_t r = 0; r < rows; ++r) {
    if (label[order[r]]) {
      count += below;
    } else {
      ++below;
    }
  }
  return count;
}

double pooled_auc(const double* score, const unsigned char* label, int64_t rows, int64_t* order) {
  std::iota(order, order + rows, int64_t{0});
  std::sort(order, order + rows, [&](int64_t i, int64_t j) { return score[i] < score[j]; });
  double pairs = 0, below = 0, ones = 0;
  for (int64_t r = 0; r < rows;) {
    int64_t end = r;
    double tied0 = 0, tied1 = 0;
    while (end < rows && score[order[end]] == score[order[r]]) {
      (label[order[end]] ? tied1 : tied0) += 1;
      ++end;
    }
    pairs += tied1 * (below + 0.5 * tied0);
    below += tied0;
    ones += tied1;
    r = end;
  }
  if (below == 0 || ones == 0) return std::numeric_limits<double>::quiet_NaN();
  return pairs / (below * ones);
}

void clipped_weights(const double* p, int64_t rows, double clip, double scale, double* out) {
  for (int64_t i = 0; i < rows; ++i) {
    const double q = std::min(1 - clip, std::max(clip, p[i]));
    out[i] = q / (1 - q) * scale;
  }
}

double kish_ess(const double* w, int64_t rows) {
  double largest = 0;
  int64_t infinite = 0;
  for (int64_t i = 0; i < rows; ++i) {
    if (std::isinf(w[i])) ++infinite;
    largest = std::max(largest, w[i]);
  }
  // Infinite weights dominate alike: the limit of equal weights growing without bound.
  if (infinite > 0) return static_cast<double>(infinite);
  if (largest == 0) return std::numeric_limits<double>::quiet_NaN();
  // Scaled by the largest, so that the squares neither overflow nor underflow.
  double sum = 0, squares = 0;
  for (int64_t i = 0; i < rows; ++i) {
    const double v = w[i] / largest;
    sum += v;
    squares += v * v;
  }
  return sum * sum / squares;
}

}  // namespace conformal
}  // namespace trov
