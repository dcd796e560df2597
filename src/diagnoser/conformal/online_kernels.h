// The sequential loops of the online conformal classes and of the exchangeability
// martingale, over plain buffers. Pure C++: their callers run them with the GIL released.
#pragma once

#include <cstdint>
#include <vector>

namespace trov {
namespace conformal {

// A multiset of values drawn from a sorted universe of distinct values, counted by a
// Fenwick tree: insert, erase, count below and k-th smallest in O(log n).
class RankedCounts {
 public:
  explicit RankedCounts(const std::vector<double>* universe);
  // The position of `value` in the universe, or -1 when it is none of its values.
  int64_t position(double value) const;
  void add(int64_t position, int64_t delta);
  // Counts every value of `sorted` (ascending) in O(n + universe), as n adds would
  // in O(n log n); false when a value is none of the universe's.
  bool assign_sorted(const double* sorted, int64_t n);
  int64_t size() const { return size_; }
  // How many values lie before `position`, and at it.
  int64_t below(int64_t position) const;
  int64_t at(int64_t position) const { return count_[static_cast<std::size_t>(position)]; }
  // The k-th smallest value, k in 1 .. size().
  double kth(int64_t k) const;

 private:
  const std::vector<double>* universe_;
  std::vector<int64_t> tree_, count_;
  int64_t size_ = 0;
  int64_t top_bit_ = 1;
};

enum class OnlineMethod { kAci, kPid };

// What a call reads of the object's settings.
struct OnlineSettings {
  OnlineMethod method = OnlineMethod::kAci;
  double alpha = 0.1;
  // gamma (aci) or eta (pid); pid's eta is lr_scale * scale when lr is NaN.
  double lr = 0;
  double lr_scale = 0.1;
  bool integrator = false;
  double gain = 0;           // K_I; the scale when NaN
  double saturation = 1;     // C_sat
  bool track_scale = false;  // pid: the scale follows the largest |score| seen
  int64_t window = 0;        // aci: the last `window` scores only; 0 for all
};

// What carries over from one call to the next.
struct OnlineCarry {
  int64_t steps = 0;   // labelled stream rows so far
  int64_t misses = 0;  // of them, rows outside their set
  double alpha_t = 0;  // aci: the working level
  double p = 0;        // pid: the quantile tracker
  double scale = 0;    // pid: the scores' range, for the default step and gain
};

// The threshold of `k` = ceil((1 - alpha_t)(n + 1)) among n sorted scores
// (Gibbs and Candes, 2021): +inf for alpha_t <= 0 or k > n, -inf for alpha_t >= 1.
int64_t aci_rank(double alpha_t, int64_t n);
double aci_threshold(double alpha_t, const double* sorted, int64_t n);

// p + r(E) + forecast with E = misses - alpha * steps, and the saturation function
// r_t(x) = K_I tan(x log t / (t C_sat)), infinite outside +-pi/2 (Angelopoulos,
// Candes and Tibshirani, 2023).
// An infinite r decides alone: the set is then full or empty, whatever p and the forecast.
double pid_threshold(const OnlineSettings& s, const OnlineCarry& c, double forecast);
// The step eta pid takes now.
double pid_step(const OnlineSettings& s, const OnlineCarry& c);

// The tracker's step kept within the doubles, so that p stays finite (and p + r never
// inf - inf) however large the scores.
double pid_moved(double p, double step);

// True when `sorted` holds the `n` values of `history` in order.
bool sorted_matches(const double* history, const double* sorted, int64_t n);

struct OnlineInput {
  const double* history = nullptr;  // every score before the call, in time order
  int64_t n_history = 0;
  const double* sorted = nullptr;  // the same, sorted
  const double* scores = nullptr;  // the call's rows' scores, in order
  int64_t rows = 0;
  const double* forecast = nullptr;  // pid: the scorecaster's forecast per row, or null
  const double* u = nullptr;         // per row, a draw in (0, 1] for the p-value's ties
};

struct OnlineOutput {
  double* threshold;           // per row
  bool* miss;                  // per row: score > threshold
  double* level;               // aci: alpha_t per row; may be null
  double* pvalue;              // per row
  std::vector<double> sorted;  // history and rows, sorted
};

// Runs the rows in order, each seeing only the scores before it, and moves `carry`.
// False, with nothing done, when `sorted` is not `history` sorted.
// The p-value of row t is (#{s_i > s_t} + u_t (#{s_i = s_t} + 1)) / (n + 1) over
// the n scores before it (Vovk et al., 2003), whatever the method.
bool run_online(const OnlineSettings& s, OnlineCarry& carry, const OnlineInput& in,
                OnlineOutput& out);

// The martingales' state, after `steps` p-values.
struct MartingaleState {
  int64_t steps = 0;
  double log_value = 0;           // log M after them
  double log_sum = 0;             // mixture: sum of log p
  std::vector<double> histogram;  // plug-in: kernel mass of past p-values per bin
};

enum class Betting { kMixture, kPlugin };

// log M_t after each of `rows` p-values, moving `state`. The mixture bets
// eps * p^(eps - 1) with eps uniform on a grid of midpoints of (0, 1) (Vovk et al.,
// 2003); the plug-in bets the density of the past p-values, a reflected Gaussian kernel
// estimate binned so that it integrates to exactly 1 (Fedorova et al., 2012).
void run_martingale(Betting betting, double bandwidth, MartingaleState& state,
                    const double* pvalues, int64_t rows, double* log_out);

// The bins of the plug-in's density.
constexpr int64_t kPluginBins = 200;

}  // namespace conformal
}  // namespace trov
