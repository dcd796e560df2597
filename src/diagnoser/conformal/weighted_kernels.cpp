#include "diagnoser/conformal/weighted_kernels.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace trov {
namespace conformal {
namespace {

// Expansions: nonoverlapping components by increasing magnitude, zeros dropped, whose
// sum is a number held exactly (Shewchuk, 1997).
using Expansion = std::vector<double>;

inline void two_sum(double a, double b, double* s, double* e) {
  *s = a + b;
  double bv = *s - a;
  *e = (a - (*s - bv)) + (b - bv);
}

inline void two_product(double a, double b, double* p, double* e) {
  *p = a * b;
  *e = std::fma(a, b, -*p);
}

// e + b.
void grow(const Expansion& e, double b, Expansion* out) {
  out->clear();
  double q = b;
  for (double component : e) {
    double error;
    two_sum(q, component, &q, &error);
    if (error != 0) out->push_back(error);
  }
  if (q != 0) out->push_back(q);
}

// e + f.
Expansion add(Expansion e, const Expansion& f) {
  Expansion next;
  for (double component : f) {
    grow(e, component, &next);
    e.swap(next);
  }
  return e;
}

// e * b.
Expansion scale(const Expansion& e, double b) {
  Expansion out;
  for (double component : e) {
    double p, error;
    two_product(component, b, &p, &error);
    out = add(std::move(out), {error, p});
  }
  Expansion clean;
  for (double component : out) {
    if (component != 0) clean.push_back(component);
  }
  return clean;
}

Expansion times(const Expansion& e, Multiplier m) {
  Expansion out = scale(e, m.hi);
  return m.lo == 0 ? out : add(std::move(out), scale(e, m.lo));
}

Expansion negated(Expansion e) {
  for (double& component : e) component = -component;
  return e;
}

double approximate(const double* begin, const double* end) {
  double sum = 0;
  for (const double* c = begin; c != end; ++c) sum += *c;
  return sum;
}

}  // namespace

WeightedStratum::WeightedStratum(const double* scores, const double* weights, int64_t count,
                                 Multiplier b, Multiplier b_minus_a)
    : scores_(scores, scores + count), b_minus_a_(b_minus_a) {
  // A common power of two scales every weight, the new row's too, exactly: the rule
  // is homogeneous in the weights, and sums then stay far from overflow.
  double largest = count > 0 ? *std::max_element(weights, weights + count) : 0;
  weightless_ = !(largest > 0);
  if (weightless_) return;
  int exponent = 0;
  std::frexp(largest, &exponent);
  scale_ = std::ldexp(1.0, -exponent);
  Expansion total, next;
  for (int64_t i = 0; i < count; ++i) {
    grow(total, weights[i] * scale_, &next);
    total.swap(next);
  }
  const Expansion shifted = negated(times(total, b_minus_a));
  approx_.resize(static_cast<std::size_t>(count));
  offset_.assign(1, 0);
  Expansion prefix;
  for (int64_t j = 0; j < count; ++j) {
    grow(prefix, weights[j] * scale_, &next);
    prefix.swap(next);
    Expansion d = add(times(prefix, b), shifted);
    parts_.insert(parts_.end(), d.begin(), d.end());
    offset_.push_back(static_cast<int64_t>(parts_.size()));
    approx_[j] = approximate(d.data(), d.data() + d.size());
  }
}

bool WeightedStratum::reaches(int64_t j, const Expansion& c) const {
  Expansion d(parts_.begin() + offset_[j], parts_.begin() + offset_[j + 1]);
  Expansion difference = add(std::move(d), negated(c));
  return difference.empty() || difference.back() > 0;
}

double WeightedStratum::threshold(double w) const {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  if (weightless_) return kInfinity;  // no mass below +infinity
  double scaled = w * scale_;
  if (std::isinf(scaled)) return kInfinity;
  const Expansion c = times({scaled}, b_minus_a_);
  const double target = approximate(c.data(), c.data() + c.size());
  // The rounded prefix decides where it is far from the target; the exact one
  // where rounding could have moved it across.
  const double slack = 64 * std::numeric_limits<double>::epsilon();
  auto at_least = [&](int64_t j) {
    double gap = approx_[j] - target, size = std::abs(approx_[j]) + std::abs(target);
    if (gap > slack * size) return true;
    if (gap < -slack * size) return false;
    return reaches(j, c);
  };
  int64_t low = 0, high = static_cast<int64_t>(scores_.size());  // the answer is in [low, high]
  while (low < high) {
    int64_t middle = low + (high - low) / 2;
    if (at_least(middle)) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  const int64_t j = low, n = static_cast<int64_t>(scores_.size());
  return j < n ? scores_[j] : kInfinity;
}

double effective_size(const double* weights, int64_t count) {
  long double sum = 0, squares = 0;
  for (int64_t i = 0; i < count; ++i) {
    sum += weights[i];
    squares += static_cast<long double>(weights[i]) * weights[i];
  }
  return squares > 0 ? static_cast<double>(sum * sum / squares) : 0.0;
}

}  // namespace conformal
}  // namespace trov
