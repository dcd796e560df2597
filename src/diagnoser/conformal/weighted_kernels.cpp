#include "diagnoser/conformal/weighted_kernels.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

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
    : scores_(scores, scores + count), b_(b), b_minus_a_(b_minus_a) {
  // A common power of two scales every weight, the new row's too, exactly: the rule
  // is homogeneous in the weights, and sums then stay far from overflow. Applied by
  // ldexp, not by a factor: 2^-exponent itself overflows when every weight is below
  // 2^-1024.
  double largest = count > 0 ? *std::max_element(weights, weights + count) : 0;
  weightless_ = !(largest > 0);
  if (weightless_) return;
  int exponent = 0;
  std::frexp(largest, &exponent);
  exponent_ = -exponent;
  scaled_.resize(static_cast<std::size_t>(count));
  for (int64_t i = 0; i < count; ++i) scaled_[i] = std::ldexp(weights[i], exponent_);
  // Compensated prefix sums S_j (Neumaier): each within 2 eps S_j + n eps^2 W.
  std::vector<double> prefix(static_cast<std::size_t>(count));
  double sum = 0, carry = 0;
  for (int64_t j = 0; j < count; ++j) {
    double next, error;
    two_sum(sum, scaled_[j], &next, &error);
    sum = next;
    carry += error;
    prefix[j] = sum + carry;
  }
  const double total = prefix.back();
  // In units of w: D_j / (b - a) = r S_j - W with r = b / (b - a), undoing the scale.
  const double r = (b.hi + b.lo) / (b_minus_a.hi + b_minus_a.lo);
  std::vector<double> breaks(prefix.size());
  for (std::size_t j = 0; j < prefix.size(); ++j) {
    breaks[j] = std::ldexp(r * prefix[j] - total, -exponent_);
    // The exact breaks never decrease; keeping the rounded ones so moves none by
    // more than the slack.
    if (j > 0 && breaks[j] < breaks[j - 1]) breaks[j] = breaks[j - 1];
  }
  breaks_.build(std::move(breaks));
  // r, S_j, W and the product and difference each round: a few eps of (r + 1) W,
  // and n eps^2 W for the sums, far inside this.
  const double eps = std::numeric_limits<double>::epsilon();
  slack_ = std::ldexp((64 * eps + static_cast<double>(count) * eps * eps * 16) * (r + 2) * total,
                      -exponent_);
}

void WeightedStratum::build_exact() const {
  const int64_t count = static_cast<int64_t>(scaled_.size());
  Expansion total, next;
  for (double w : scaled_) {
    grow(total, w, &next);
    total.swap(next);
  }
  const Expansion shifted = negated(times(total, b_minus_a_));
  exact_.approx.resize(static_cast<std::size_t>(count));
  exact_.offset.assign(1, 0);
  exact_.parts.clear();  // a first attempt that threw may have left some
  Expansion prefix;
  for (int64_t j = 0; j < count; ++j) {
    grow(prefix, scaled_[j], &next);
    prefix.swap(next);
    Expansion d = add(times(prefix, b_), shifted);
    exact_.parts.insert(exact_.parts.end(), d.begin(), d.end());
    exact_.offset.push_back(static_cast<int64_t>(exact_.parts.size()));
    exact_.approx[j] = approximate(d.data(), d.data() + d.size());
  }
}

bool WeightedStratum::reaches(int64_t j, const Expansion& c, bool strictly) const {
  Expansion d(exact_.parts.begin() + exact_.offset[j], exact_.parts.begin() + exact_.offset[j + 1]);
  Expansion difference = add(std::move(d), negated(c));
  return difference.empty() ? !strictly : difference.back() > 0;
}

double WeightedStratum::exact_threshold(double w) const {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  if (weightless_) return kInfinity;  // no mass below +infinity
  std::call_once(*once_, [this] { build_exact(); });
  const std::vector<double>& approx = exact_.approx;
  double scaled = std::ldexp(w, exponent_);
  if (std::isinf(scaled)) return kInfinity;
  // A weight so small beside the calibration weights that scaling loses it, or that
  // products with it leave the normal range, counts as infinitely small: D_j >= (b - a) w
  // then holds exactly when D_j > 0, unless some D_j lies in (0, (b - a) w), a tie
  // within 2^-790 of the largest weight.
  const bool infinitesimal =
      w > 0 && (std::ldexp(scaled, -exponent_) != w || scaled < std::ldexp(1.0, -900));
  const Expansion c = infinitesimal ? Expansion{} : times({scaled}, b_minus_a_);
  const double target = approximate(c.data(), c.data() + c.size());
  // The rounded prefix decides where it is far from the target; the exact one
  // where rounding could have moved it across.
  const double slack = 64 * std::numeric_limits<double>::epsilon();
  auto at_least = [&](int64_t j) {
    double gap = approx[j] - target, size = std::abs(approx[j]) + std::abs(target);
    if (gap > slack * size) return true;
    if (gap < -slack * size) return false;
    return reaches(j, c, infinitesimal);
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

double WeightedStratum::at_rank(int64_t j) const {
  return j < static_cast<int64_t>(scores_.size()) ? scores_[static_cast<std::size_t>(j)]
                                                  : std::numeric_limits<double>::infinity();
}

double WeightedStratum::threshold(double w) const {
  if (weightless_) return std::numeric_limits<double>::infinity();
  const std::vector<double>& breaks = breaks_.values();
  const int64_t n = static_cast<int64_t>(breaks.size());
  const int64_t p = breaks_.first_at_least(w);
  if ((p > 0 && ambiguous(w, breaks[p - 1], slack_)) ||
      (p < n && ambiguous(w, breaks[p], slack_))) {
    return exact_threshold(w);
  }
  return at_rank(p);
}

bool ambiguous(double w, double b, double slack) {
  constexpr double kRelative = 64 * std::numeric_limits<double>::epsilon();
  return !(std::abs(w - b) > slack + kRelative * (std::abs(w) + std::abs(b)));
}

int64_t first_at_least(const double* a, int64_t n, double x) {
  if (n == 0) return 0;
  // Branch-free: the answer stays in [base, base + len].
  const double* base = a;
  int64_t len = n;
  while (len > 1) {
    const int64_t half = len / 2;
    base = base[half - 1] < x ? base + half : base;
    len -= half;
  }
  return (base - a) + (*base < x);
}

void SortedIndex::build(std::vector<double> values) {
  values_ = std::move(values);
  start_.clear();
  per_width_ = 0;
  const int64_t n = static_cast<int64_t>(values_.size());
  const double top = n > 0 ? values_.back() : 0;
  if (n > INT32_MAX || !(top > 0) || !std::isfinite(top)) return;
  // About one value per bucket: most searches end within a cache line.
  const int64_t buckets = std::min<int64_t>(n, int64_t{1} << 20);
  per_width_ = static_cast<double>(buckets) / top;
  const double width = top / static_cast<double>(buckets);
  start_.resize(static_cast<std::size_t>(buckets + 1));
  int64_t j = 0;
  for (int64_t k = 0; k <= buckets; ++k) {
    const double bound = static_cast<double>(k) * width;
    while (j < n && values_[j] < bound) ++j;
    start_[k] = static_cast<int32_t>(j);
  }
  if (!(per_width_ > 0) || !std::isfinite(per_width_)) start_.clear(), per_width_ = 0;
}

int64_t SortedIndex::first_at_least(double x) const {
  const int64_t n = static_cast<int64_t>(values_.size());
  if (per_width_ == 0) return conformal::first_at_least(values_.data(), n, x);
  const int64_t buckets = static_cast<int64_t>(start_.size()) - 1;
  // x lies in bucket floor(x / width) up to rounding: the search spans the buckets
  // on either side too, so that the answer is within [from, to] whatever the rounding.
  const double t = x * per_width_;
  int64_t from = 0, to = n;
  if (t < 0) {
    to = start_[1];
  } else if (t < static_cast<double>(buckets)) {
    const int64_t k = static_cast<int64_t>(t);
    from = start_[std::max<int64_t>(k - 1, 0)];
    to = start_[std::min<int64_t>(k + 2, buckets)];
  } else {
    from = start_[buckets - 1];
  }
  return from + conformal::first_at_least(values_.data() + from, to - from, x);
}

WeightedColumns::WeightedColumns(std::vector<const WeightedStratum*> columns)
    : columns_(std::move(columns)) {
  for (auto& c : columns_) {
    if (c != nullptr && c->weightless()) c = nullptr;
    if (c != nullptr) slack_ = std::max(slack_, c->slack());
  }
  const std::size_t k = columns_.size();
  std::size_t total = 0;
  for (const auto* c : columns_) total += c ? c->breaks().size() : 0;
  // Four bytes per column and break: beyond 2^24 entries each column is searched.
  if ((total + 1) * k > (std::size_t{1} << 24)) return;
  tabled_ = true;
  // Each column's breaks are ascending already: merged pairwise, not sorted.
  std::vector<std::pair<double, std::size_t>> all;
  all.reserve(total);
  std::vector<std::size_t> start;
  for (std::size_t c = 0; c < k; ++c) {
    if (columns_[c] == nullptr) continue;
    start.push_back(all.size());
    for (double b : columns_[c]->breaks()) all.emplace_back(b, c);
  }
  start.push_back(all.size());
  for (std::size_t width = 1; width + 1 < start.size(); width *= 2) {
    for (std::size_t i = 0; i + width + 1 < start.size(); i += 2 * width) {
      std::size_t end = start[std::min(i + 2 * width, start.size() - 1)];
      std::inplace_merge(all.begin() + start[i], all.begin() + start[i + width], all.begin() + end);
    }
  }
  std::vector<double> merged;
  merged.reserve(total);
  rank_.assign((total + 1) * k, 0);
  for (std::size_t p = 0; p < total; ++p) {
    merged.push_back(all[p].first);
    std::copy(rank_.begin() + p * k, rank_.begin() + (p + 1) * k, rank_.begin() + (p + 1) * k);
    ++rank_[(p + 1) * k + all[p].second];
  }
  merged_.build(std::move(merged));
}

void WeightedColumns::thresholds(double w, double* out) const {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const std::size_t k = columns_.size();
  if (tabled_) {
    const std::vector<double>& merged = merged_.values();
    const int64_t n = static_cast<int64_t>(merged.size());
    const int64_t p = merged_.first_at_least(w);
    if (!((p > 0 && ambiguous(w, merged[p - 1], slack_)) ||
          (p < n && ambiguous(w, merged[p], slack_)))) {
      const int32_t* rank = rank_.data() + static_cast<std::size_t>(p) * k;
      for (std::size_t c = 0; c < k; ++c) {
        out[c] = columns_[c] ? columns_[c]->at_rank(rank[c]) : kInfinity;
      }
      return;
    }
  }
  for (std::size_t c = 0; c < k; ++c) out[c] = columns_[c] ? columns_[c]->threshold(w) : kInfinity;
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
