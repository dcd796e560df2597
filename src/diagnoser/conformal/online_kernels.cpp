#include "diagnoser/conformal/online_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace trov {
namespace conformal {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kHalfPi = 1.57079632679489661923;

// An order-free fingerprint of a multiset of doubles: a sum of mixed bit patterns,
// 0 and -0 alike as the comparisons treat them.
uint64_t fingerprint(const double* v, int64_t n) {
  uint64_t sum = 0;
  for (int64_t i = 0; i < n; ++i) {
    double x = v[i] == 0 ? 0.0 : v[i];
    uint64_t z;
    std::memcpy(&z, &x, sizeof z);
    z += 0x9e3779b97f4a7c15ULL;  // splitmix64's finaliser
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    sum += z ^ (z >> 31);
  }
  return sum;
}

}  // namespace

RankedCounts::RankedCounts(const std::vector<double>* universe)
    : universe_(universe), tree_(universe->size() + 1, 0), count_(universe->size(), 0) {
  while (top_bit_ * 2 <= static_cast<int64_t>(universe->size())) top_bit_ *= 2;
}

int64_t RankedCounts::position(double value) const {
  auto at = std::lower_bound(universe_->begin(), universe_->end(), value);
  if (at == universe_->end() || !(*at == value)) return -1;
  return at - universe_->begin();
}

void RankedCounts::add(int64_t position, int64_t delta) {
  count_[static_cast<std::size_t>(position)] += delta;
  size_ += delta;
  const auto n = static_cast<int64_t>(count_.size());
  for (int64_t i = position + 1; i <= n; i += i & -i) tree_[static_cast<std::size_t>(i)] += delta;
}

bool RankedCounts::assign_sorted(const double* sorted, int64_t n) {
  const auto m = static_cast<int64_t>(count_.size());
  std::fill(count_.begin(), count_.end(), 0);
  int64_t at = 0;
  for (int64_t i = 0; i < n; ++i) {
    while (at < m && (*universe_)[static_cast<std::size_t>(at)] < sorted[i]) ++at;
    if (at == m || !((*universe_)[static_cast<std::size_t>(at)] == sorted[i])) return false;
    ++count_[static_cast<std::size_t>(at)];
  }
  // Each node adds itself to its parent: the tree in one pass.
  for (int64_t i = 1; i <= m; ++i) tree_[static_cast<std::size_t>(i)] = count_[i - 1];
  for (int64_t i = 1; i <= m; ++i) {
    int64_t parent = i + (i & -i);
    if (parent <= m) tree_[static_cast<std::size_t>(parent)] += tree_[static_cast<std::size_t>(i)];
  }
  size_ = n;
  return true;
}

int64_t RankedCounts::below(int64_t position) const {
  int64_t total = 0;
  for (int64_t i = position; i > 0; i -= i & -i) total += tree_[static_cast<std::size_t>(i)];
  return total;
}

double RankedCounts::kth(int64_t k) const {
  const auto n = static_cast<int64_t>(count_.size());
  int64_t at = 0;
  for (int64_t bit = top_bit_; bit > 0; bit /= 2) {
    int64_t next = at + bit;
    if (next <= n && tree_[static_cast<std::size_t>(next)] < k) {
      at = next;
      k -= tree_[static_cast<std::size_t>(next)];
    }
  }
  return (*universe_)[static_cast<std::size_t>(at)];
}

int64_t aci_rank(double alpha_t, int64_t n) {
  // The working level is a float sum of steps: a product within rounding of an
  // integer is that integer, as the exact level would give.
  double x = (1 - alpha_t) * static_cast<double>(n + 1);
  return static_cast<int64_t>(std::ceil(x * (1 - 1e-12)));
}

namespace {

template <typename Kth>
double aci_level(double alpha_t, int64_t n, const Kth& kth) {
  if (!(alpha_t > 0)) return kInf;
  if (alpha_t >= 1) return -kInf;
  int64_t k = aci_rank(alpha_t, n);
  if (k > n) return kInf;
  return kth(std::max<int64_t>(k, 1));
}

}  // namespace

double aci_threshold(double alpha_t, const double* sorted, int64_t n) {
  return aci_level(alpha_t, n, [sorted](int64_t k) { return sorted[k - 1]; });
}

namespace {
// While every score seen is 0 their range says nothing; a vanishing scale keeps the
// default step and gain > 0, so that the bounds still hold, and is gone from the
// tracker's state long before a real score moves it.
constexpr double kScaleFloor = 1e-300;
double scale_of(const OnlineCarry& c) { return c.scale > 0 ? c.scale : kScaleFloor; }
}  // namespace

double pid_step(const OnlineSettings& s, const OnlineCarry& c) {
  return std::isnan(s.lr) ? s.lr_scale * scale_of(c) : s.lr;
}

double pid_threshold(const OnlineSettings& s, const OnlineCarry& c, double forecast) {
  double r = 0;
  double gain = std::isnan(s.gain) ? scale_of(c) : s.gain;
  if (s.integrator && c.steps > 1 && gain > 0) {
    double t = static_cast<double>(c.steps);
    double excess = static_cast<double>(c.misses) - s.alpha * t;
    double angle = excess * std::log(t) / (t * s.saturation);
    if (angle >= kHalfPi) {
      r = kInf;
    } else if (angle <= -kHalfPi) {
      r = -kInf;
    } else {
      r = gain * std::tan(angle);
    }
  }
  if (std::isinf(r)) return r;
  return c.p + r + forecast;
}

double pid_moved(double p, double step) {
  constexpr double kMost = std::numeric_limits<double>::max();
  return std::min(kMost, std::max(-kMost, p + step));
}

// Linear, so that one row's update costs O(history) in passes over memory, not a sort.
bool sorted_matches(const double* history, const double* sorted, int64_t n) {
  if (!std::is_sorted(sorted, sorted + n)) return false;
  return fingerprint(history, n) == fingerprint(sorted, n);
}

bool run_online(const OnlineSettings& s, OnlineCarry& carry, const OnlineInput& in,
                OnlineOutput& out) {
  const int64_t nh = in.n_history, rows = in.rows;
  // A history that is not what `sorted` holds (state changed by hand) is refused
  // before either is merged or counted.
  if (!sorted_matches(in.history, in.sorted, nh)) return false;
  std::vector<double> fresh(in.scores, in.scores + rows);
  std::sort(fresh.begin(), fresh.end());
  out.sorted.resize(static_cast<std::size_t>(nh + rows));
  std::merge(in.sorted, in.sorted + nh, fresh.begin(), fresh.end(), out.sorted.begin());
  std::vector<double> universe(out.sorted);
  universe.erase(std::unique(universe.begin(), universe.end()), universe.end());

  RankedCounts all(&universe);
  if (!all.assign_sorted(in.sorted, nh)) return false;
  const bool windowed = s.method == OnlineMethod::kAci && s.window > 0;
  RankedCounts recent(windowed ? &universe : &fresh);
  if (windowed) {
    for (int64_t i = std::max<int64_t>(0, nh - s.window); i < nh; ++i) {
      recent.add(all.position(in.history[i]), 1);
    }
  }
  const RankedCounts& ranked = windowed ? recent : all;
  auto kth = [&ranked](int64_t k) { return ranked.kth(k); };
  auto score_at = [&in, nh](int64_t i) { return i < nh ? in.history[i] : in.scores[i - nh]; };

  for (int64_t t = 0; t < rows; ++t) {
    double q;
    if (s.method == OnlineMethod::kAci) {
      q = aci_level(carry.alpha_t, ranked.size(), kth);
      if (out.level != nullptr) out.level[t] = carry.alpha_t;
    } else {
      q = pid_threshold(s, carry, in.forecast != nullptr ? in.forecast[t] : 0.0);
    }
    const double v = in.scores[t];
    const bool miss = v > q;
    out.threshold[t] = q;
    out.miss[t] = miss;

    const int64_t at = all.position(v);
    if (at < 0) return false;  // a NaN score: the callers check them finite
    const int64_t equal = all.at(at);
    const int64_t greater = all.size() - all.below(at) - equal;
    out.pvalue[t] = (static_cast<double>(greater) + in.u[t] * static_cast<double>(equal + 1)) /
                    static_cast<double>(all.size() + 1);
    all.add(at, 1);
    if (windowed) {
      recent.add(at, 1);
      if (recent.size() > s.window) {
        recent.add(all.position(score_at(nh + t - s.window)), -1);
      }
    }

    const double err = miss ? 1.0 : 0.0;
    if (s.method == OnlineMethod::kAci) {
      carry.alpha_t += s.lr * (s.alpha - err);
    } else {
      carry.p = pid_moved(carry.p, pid_step(s, carry) * (err - s.alpha));
      // An overflowing score (|y - prediction| beyond the doubles) is a miss, but no
      // scale: an infinite step would turn the tracker into inf - inf.
      if (s.track_scale && std::isfinite(v)) carry.scale = std::max(carry.scale, std::abs(v));
    }
    carry.steps += 1;
    carry.misses += miss ? 1 : 0;
  }
  return true;
}

namespace {

// The mixture's grid of eps.
constexpr int kGrid = 100;

struct Grid {
  double eps[kGrid], log_eps[kGrid];
  Grid() {
    for (int k = 0; k < kGrid; ++k) {
      eps[k] = (k + 0.5) / kGrid;
      log_eps[k] = std::log(eps[k]);
    }
  }
};

double mixture_log(int64_t steps, double log_sum) {
  // log of (1/K) sum_k prod_i eps_k p_i^(eps_k - 1), one term per grid point.
  static const Grid grid;
  double terms[kGrid];
  double top = -kInf;
  const double t = static_cast<double>(steps);
  for (int k = 0; k < kGrid; ++k) {
    terms[k] = t * grid.log_eps[k] + (grid.eps[k] - 1) * log_sum;
    top = std::max(top, terms[k]);
  }
  double sum = 0;
  for (double term : terms) sum += std::exp(term - top);
  return top + std::log(sum / kGrid);
}

// The Gaussian mass of [a, b] around 0, from the near tail's side so that far bins
// keep their tiny mass instead of a difference of two ones.
double interval_mass(double a, double b, double bandwidth) {
  const double root2 = std::sqrt(2.0) * bandwidth;
  auto upper = [root2](double d) { return 0.5 * std::erfc(d / root2); };  // P(Z > d)
  if (a >= 0) return upper(a) - upper(b);
  if (b <= 0) return upper(-b) - upper(-a);
  return 1 - upper(-a) - upper(b);
}

// The plug-in's kernels. A p-value's kernel sits at the midpoint of its bin, so the
// mass it puts on bin j depends on j's offset from each image of that midpoint alone.
class Kernels {
 public:
  explicit Kernels(double bandwidth) : by_offset_(5 * kPluginBins + 1), rows_(kPluginBins) {
    const double width = 1.0 / kPluginBins;
    for (int64_t d = -kOffset; d <= kOffset; ++d) {
      by_offset_[static_cast<std::size_t>(d + kOffset)] =
          interval_mass((static_cast<double>(d) - 0.5) * width,
                        (static_cast<double>(d) + 0.5) * width, bandwidth);
    }
  }

  // The mass per bin of a p-value in bin i, reflected at 0 and 1 (images at 2m +- c)
  // and scaled to sum to exactly 1. No bin gets 0: one p-value there would end the
  // martingale for good.
  const std::vector<double>& of(int64_t i) {
    std::vector<double>& mass = rows_[static_cast<std::size_t>(i)];
    if (!mass.empty()) return mass;
    mass.assign(static_cast<std::size_t>(kPluginBins), 0.0);
    const int64_t b = kPluginBins;
    const int64_t images[] = {i, -i - 1, 2 * b - i - 1, 2 * b + i, i - 2 * b, -2 * b - i - 1};
    double total = 0;
    for (int64_t j = 0; j < b; ++j) {
      double m = 0;
      for (int64_t k : images) {
        int64_t d = j - k;
        if (d >= -kOffset && d <= kOffset) m += by_offset_[static_cast<std::size_t>(d + kOffset)];
      }
      m = std::max(m, 1e-300);
      mass[static_cast<std::size_t>(j)] = m;
      total += m;
    }
    for (double& m : mass) m /= total;
    return mass;
  }

 private:
  static constexpr int64_t kOffset = 5 * kPluginBins / 2;
  std::vector<double> by_offset_;
  std::vector<std::vector<double>> rows_;
};

int64_t bin_of(double p) {
  return std::min<int64_t>(kPluginBins - 1, static_cast<int64_t>(p * kPluginBins));
}

}  // namespace

void run_martingale(Betting betting, double bandwidth, MartingaleState& state,
                    const double* pvalues, int64_t rows, double* log_out) {
  if (betting == Betting::kMixture) {
    for (int64_t t = 0; t < rows; ++t) {
      state.log_sum += std::log(pvalues[t]);
      state.steps += 1;
      state.log_value = mixture_log(state.steps, state.log_sum);
      log_out[t] = state.log_value;
    }
    return;
  }
  state.histogram.resize(static_cast<std::size_t>(kPluginBins), 0.0);
  Kernels kernels(bandwidth);
  for (int64_t t = 0; t < rows; ++t) {
    const double p = pvalues[t];
    // The bet on p_t is the density of p_1 .. p_{t-1} alone: uniform before any.
    if (state.steps > 0) {
      double density = static_cast<double>(kPluginBins) *
                       state.histogram[static_cast<std::size_t>(bin_of(p))] /
                       static_cast<double>(state.steps);
      state.log_value += std::log(density);
    }
    log_out[t] = state.log_value;
    const std::vector<double>& kernel = kernels.of(bin_of(p));
    for (std::size_t j = 0; j < kernel.size(); ++j) state.histogram[j] += kernel[j];
    state.steps += 1;
  }
}

}  // namespace conformal
}  // namespace trov
